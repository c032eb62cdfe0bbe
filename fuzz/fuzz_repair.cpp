// SPDX-License-Identifier: GPL-3.0-or-later
// libFuzzer target: arbitrary boot sectors, FATs and root-directory sectors go through the
// analysis and the repair pass on an in-memory volume.
//
// Input: volume size in sectors (4 bytes), a fault selector (1 byte), the length L of the FAT
// bytes (2 bytes), the boot sector (512 bytes), L bytes placed where the first FAT begins, and
// the rest placed at the first sector of the root directory's cluster.
//
// Checked on every input, beyond the sanitizers: the analysis writes nothing and, when it
// accepts the volume, records the same chain that a separate walk of the FAT finds; the pass
// writes only sectors of the recorded root clusters (never sector 0 or a FAT sector), changes
// only the attribute bytes of hidden or system folder entries (clearing hidden, system and
// read-only; on exFAT only File entries' attributes and set checksums; none past a FAT12/16 root's
// entry count, none of the folders it reports left alone), writes exactly the root
// sectors that change, once each in order, when nothing fails, writes nothing when it says so,
// and leaves the volume closed. The files that the analysis finds the virus left lie in the root
// where their entries are. Any boot sector goes in: FAT12, FAT16, FAT32, exFAT, any sector
// size; an exFAT one gets a valid boot checksum. The volume is as long as the input says, so that
// it may be shorter than its boot sector claims.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <optional>
#include <set>
#include <vector>

#include "format/exfat.h"
#include "memory_volume.h"
#include "repair/directory.h"
#include "repair/engine.h"

namespace {

using kestrova::repair::VolumeLayout;
using kestrova::testing::MemoryVolume;
namespace volume = kestrova::volume;

constexpr char kDrive = 'F';
constexpr std::size_t kVolumeSizeBytes = 4;
constexpr std::size_t kOffFault = 4;
constexpr std::size_t kOffFatLength = 5;
constexpr std::size_t kHeaderBytes = 7;
constexpr std::uint8_t kFaultKinds = 5;
constexpr std::uint64_t kMaxVolumeSectors = 1ull << 24;  // 8 GiB, stored sparsely
constexpr std::uint64_t kSector = 512;
constexpr std::size_t kFatEntry = 4;
constexpr std::size_t kWordBytes = 2;
constexpr std::uint32_t kValueMask = 0x0FFFFFFF;
constexpr std::uint32_t kEndMin = 0x0FFFFFF8;
// Boot-sector fields used to place the input's FAT and directory bytes.
constexpr std::size_t kOffSectorsPerCluster = 13;
constexpr std::size_t kOffReserved = 14;
constexpr std::size_t kOffFatCount = 16;
constexpr std::size_t kOffFatSize = 36;
constexpr std::size_t kOffRootCluster = 44;
constexpr std::uint64_t kFirstCluster = 2;
constexpr std::size_t kAttr = 11;
constexpr std::size_t kEntry = 32;
constexpr std::uint8_t kFolder = 0x10;
constexpr std::uint8_t kReadOnly = 0x01;
constexpr std::uint8_t kHidden = 0x02;
constexpr std::uint8_t kSystem = 0x04;
constexpr std::uint8_t kLabelOrUndefined = 0xC8;
constexpr std::uint8_t kLongName = 0x0F;
constexpr std::uint8_t kExfatFile = 0x85;
constexpr std::size_t kExfatChecksum = 2;
constexpr std::size_t kExfatAttributesEnd = 6;

[[noreturn]] void Fail(const char* what) {
  std::fprintf(stderr, "fuzz invariant broken: %s\n", what);
  std::abort();
}

std::uint32_t Le(const std::uint8_t* p, std::size_t n) {
  std::uint32_t v = 0;
  for (std::size_t i = n; i-- > 0;) v = v << 8 | p[i];
  return v;
}

// The kinds of call that the input can make fail (kFaultKinds of them), and how.
enum FaultKind { kNoFault, kReadFails, kWriteNotStarted, kWriteFails, kFlushFails };

// Plans the n-th call of the kind to fail, over every device that `memory` hands out.
void PlanFault(MemoryVolume& memory, FaultKind kind, int n) {
  using Call = MemoryVolume::Call;
  using Fault = MemoryVolume::Fault;
  switch (kind) {
    case kNoFault:
      break;
    case kReadFails:
      memory.FailAt(Call::kRead, n);
      break;
    case kWriteNotStarted:
      memory.FailAt(Call::kWrite, n, Fault::kNotStarted);
      break;
    case kWriteFails:
      memory.FailAt(Call::kWrite, n);
      break;
    case kFlushFails:
      memory.FailAt(Call::kFlush, n);
      break;
  }
}

// The pass's progress: never outside [0, 100], never back.
class CheckedProgress final : public kestrova::repair::Progress {
 public:
  void Advance(float percent) override {
    if (!(percent >= 0.0f && percent <= 100.0f)) Fail("progress outside [0, 100]");
    if (percent < last_) Fail("progress went back");
    last_ = percent;
  }

 private:
  float last_ = 0.0f;
};

// Opens the fuzzed drive; the open may be the failing call.
std::optional<volume::Volume> OpenDrive(volume::Access access) {
  auto opened = volume::Volume::Open(volume::DriveTarget::OfLetter(kDrive), access);
  if (!opened) return std::nullopt;
  return std::move(*opened);
}

// The root chain by a separate walk of the first FAT, or nothing when it does not end properly
// within the 501 clusters the engine accepts.
std::optional<std::vector<std::int32_t>> WalkChain(const MemoryVolume& memory,
                                                   const VolumeLayout& layout) {
  std::vector<std::int32_t> chain;
  std::set<std::uint32_t> seen;
  std::uint32_t cluster = static_cast<std::uint32_t>(layout.rootCluster);
  const std::uint64_t fatStart = static_cast<std::uint64_t>(layout.reservedSectors) * kSector;
  const std::uint32_t last = static_cast<std::uint32_t>(layout.clusterCount) + 1;
  for (;;) {
    if (cluster < kFirstCluster || cluster > last || !seen.insert(cluster).second ||
        chain.size() == kestrova::repair::kRootClusterCapacity) {
      return std::nullopt;
    }
    chain.push_back(static_cast<std::int32_t>(cluster));
    const auto raw = memory.Peek(kDrive, fatStart + kFatEntry * cluster, kFatEntry);
    if (raw.size() != kFatEntry) return std::nullopt;
    const std::uint32_t next = Le(raw.data(), kFatEntry) & kValueMask;
    if (next >= kEndMin) return chain;
    cluster = next;
  }
}

// The input holds only sector 0. An exFAT one gets the rest of a valid boot region around it (the
// extended boot sectors' signatures, then the boot checksum over what the volume now holds), so
// that inputs reach past the boot checksum; its refusal is tested with real images.
void CompleteExfatBootRegion(MemoryVolume& memory, const std::uint8_t* boot) {
  namespace exfat = kestrova::exfat;
  using kestrova::repair::BootSectorKind;
  if (kestrova::repair::KindOfBootSector({boot, kSector}) != BootSectorKind::kExfat) return;
  const std::uint32_t shift = boot[exfat::kBytesPerSectorShiftOffset];
  if (shift < exfat::kMinBytesPerSectorShift || shift > exfat::kMaxBytesPerSectorShift) return;
  const std::uint64_t sectorBytes = std::uint64_t{1} << shift;
  const auto word = [](std::uint32_t value) {
    return std::vector<std::uint8_t>{
        static_cast<std::uint8_t>(value), static_cast<std::uint8_t>(value >> 8),
        static_cast<std::uint8_t>(value >> 16), static_cast<std::uint8_t>(value >> 24)};
  };
  for (std::int64_t sector = exfat::kFirstExtendedBootSector;
       sector < exfat::kFirstExtendedBootSector + exfat::kExtendedBootSectors; ++sector) {
    memory.Poke(
        kDrive,
        static_cast<std::uint64_t>(sector + 1) * sectorBytes - exfat::kExtendedBootSignatureSize,
        word(exfat::kExtendedBootSignature));
  }
  const auto checksummed = static_cast<std::size_t>(exfat::kChecksummedSectors * sectorBytes);
  const std::uint32_t sum = kestrova::repair::ExfatBootChecksum(
      memory.Peek(kDrive, 0, checksummed), static_cast<std::size_t>(sectorBytes));
  std::vector<std::uint8_t> words;
  for (std::uint64_t at = 0; at < sectorBytes; at += exfat::kBootChecksumSize) {
    const auto bytes = word(sum);
    words.insert(words.end(), bytes.begin(), bytes.end());
  }
  memory.Poke(kDrive, static_cast<std::uint64_t>(exfat::kBootChecksumSector) * sectorBytes, words);
}

// Whether a pass may leave an entry of the root as `now` where it was `was`: unchanged, or with
// only its attribute byte changed the way a repair changes it. A folder with hidden and/or system,
// and no volume-label or undefined bit, loses hidden, system and read-only (unless its verdict
// keeps it); a file so marked, that is no long-name entry, loses hidden and system (when it is
// the user's). `kept`: the entry is no entry of the root, and nothing of it may change.
bool MayBecome(const std::uint8_t* was, const std::uint8_t* now, bool kept) {
  for (std::size_t i = 0; i < kEntry; ++i) {
    if (i != kAttr && was[i] != now[i]) return false;
  }
  const std::uint8_t attribute = was[kAttr];
  if (now[kAttr] == attribute) return true;
  if (kept || !(attribute & (kHidden | kSystem)) || (attribute & kLabelOrUndefined)) return false;
  if (attribute & kFolder) return now[kAttr] == (attribute & ~(kHidden | kSystem | kReadOnly));
  return attribute != kLongName && now[kAttr] == (attribute & ~(kHidden | kSystem));
}

// Whether a repair may change anything of the sector: it holds an entry that MayBecome allows to
// change.
bool MayChange(const std::vector<std::uint8_t>& sector, const std::set<std::size_t>& kept) {
  for (std::size_t at = 0; at + kEntry <= sector.size(); at += kEntry) {
    const std::uint8_t attribute = sector[at + kAttr];
    if (!kept.count(at) && (attribute & (kHidden | kSystem)) && !(attribute & kLabelOrUndefined) &&
        attribute != kLongName) {
      return true;
    }
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // The same bytes as a journal file, which a user may hand to undo: read or refused, never more.
  if (const auto journal = kestrova::repair::DecodeJournal({data, size})) {
    for (const auto& sector : journal->sectors) {
      if (sector.before.size() != static_cast<std::size_t>(journal->volume.bytesPerSector) ||
          sector.after.size() != sector.before.size()) {
        Fail("a journal sector of the wrong size");
      }
    }
  }
  if (size < kHeaderBytes + kSector) return 0;
  const std::uint64_t volumeSectors = 1 + Le(data, kVolumeSizeBytes) % kMaxVolumeSectors;
  const std::uint8_t fault = data[kOffFault];
  std::size_t fatBytes = Le(data + kOffFatLength, kHeaderBytes - kOffFatLength);
  const std::uint8_t* boot = data + kHeaderBytes;
  const std::uint8_t* rest = boot + kSector;
  std::size_t restSize = size - kHeaderBytes - kSector;
  fatBytes = std::min(fatBytes, restSize);

  MemoryVolume memory;
  memory.AddSparseDrive(kDrive, volumeSectors * kSector);
  memory.Poke(kDrive, 0, std::vector<std::uint8_t>(boot, boot + kSector));
  const std::vector<std::uint8_t> fatPart(rest, rest + fatBytes);
  const std::vector<std::uint8_t> rootPart(rest + fatBytes, rest + restSize);
  // Where the FAT and the root lie, so that the input's bytes land there: as the engine reads the
  // boot sector when it can (this only shapes the input), else as FAT32 with 512-byte sectors.
  VolumeLayout shape;
  std::copy(boot, boot + kSector, shape.bootSector.begin());
  if (!kestrova::repair::ReadGeometry(shape)) {
    const std::uint64_t sectorBytes = static_cast<std::uint64_t>(shape.bytesPerSector);
    memory.Poke(kDrive, static_cast<std::uint64_t>(shape.reservedSectors) * sectorBytes, fatPart);
    const auto rootSector = shape.RootHasChain()
                                ? kestrova::repair::ClusterFirstSector(shape, shape.rootCluster)
                                : std::optional<std::int64_t>(shape.rootStart);
    if (rootSector)
      memory.Poke(kDrive, static_cast<std::uint64_t>(*rootSector) * sectorBytes, rootPart);
  } else {
    const std::uint64_t reserved = Le(boot + kOffReserved, kWordBytes);
    memory.Poke(kDrive, reserved * kSector, fatPart);
    const std::uint64_t spc = boot[kOffSectorsPerCluster];
    const std::uint64_t dataStart =
        reserved + std::uint64_t{boot[kOffFatCount]} * Le(boot + kOffFatSize, kFatEntry);
    const std::uint64_t root = Le(boot + kOffRootCluster, kFatEntry);
    if (root >= kFirstCluster) {
      memory.Poke(kDrive, (dataStart + (root - kFirstCluster) * spc) * kSector, rootPart);
    }
  }

  CompleteExfatBootRegion(memory, boot);

  // The selector modulo the number of kinds chooses the kind of call that fails, the rest which
  // call of that kind.
  const auto kind = static_cast<FaultKind>(fault % kFaultKinds);
  PlanFault(memory, kind, fault / kFaultKinds + 1);
  volume::UseDeviceOpener(&memory);
  std::optional<VolumeLayout> analysed;
  if (auto opened = OpenDrive(volume::Access::kReadWrite)) {
    auto looked = kestrova::repair::Analyse(*opened);
    if (looked) analysed = std::move(*looked);
  }
  if (!memory.SectorsWritten().empty()) Fail("the analysis wrote");
  if (memory.IsOpen()) Fail("the analysis left the volume open");
  if (!analysed) {
    volume::UseDeviceOpener(nullptr);
    return 0;
  }
  const VolumeLayout& layout = *analysed;

  const bool exfat = layout.fileSystem == kestrova::repair::FileSystem::kExfat;
  // The separate walk reads a FAT32 FAT of 512-byte sectors, the first FAT in use.
  const bool plainFat32 = layout.fileSystem == kestrova::repair::FileSystem::kFat32 &&
                          layout.bytesPerSector == kSector && layout.activeFat == 0;
  if (kind == kNoFault && plainFat32) {
    const auto chain = WalkChain(memory, layout);
    if (!chain) Fail("the analysis accepted a chain that does not end properly");
    if (static_cast<std::int32_t>(chain->size()) != layout.rootClusterCount ||
        !std::equal(chain->begin(), chain->end(), layout.rootClusters.begin())) {
      Fail("recorded chain differs from the FAT");
    }
  }

  // Every file that the virus left lies in the root where its entries say: its entries in the
  // root's bytes, its short entry (FAT) or File entry (exFAT) at the place recorded.
  const auto extents = kestrova::repair::RootExtents(layout);
  for (const auto& leftover : layout.findings.leftovers) {
    const auto& file = leftover.file;
    const int most = exfat ? 19 : 21;
    if (file.entryCount < (exfat ? 3 : 1) || file.entryCount > most || file.offset < 0 ||
        file.offset + file.entryCount * static_cast<std::int64_t>(kEntry) > layout.RootBytes()) {
      Fail("a leftover's entries lie outside the root");
    }
    const std::int64_t main =
        exfat ? file.offset
              : file.offset + (file.entryCount - 1) * static_cast<std::int64_t>(kEntry);
    const auto place = kestrova::repair::PlaceOf(layout, extents, main);
    if (place.sector != file.sector || place.index != file.index) {
      Fail("a leftover's place is not its main entry's");
    }
  }

  // The 512-byte units that the pass may write (every unit of every root sector), what they held
  // before, and those a pass must write: the units of each device sector that changes.
  const std::int64_t unitsPerSector = layout.bytesPerSector / static_cast<std::int64_t>(kSector);
  std::vector<std::int64_t> allowed;
  std::vector<std::int64_t> changing;
  std::map<std::int64_t, std::vector<std::uint8_t>> before;
  // What the repair keeps as it is, by unit: the slots past a FAT12/16 root's entry count, and the
  // folders that it leaves alone (Windows' own), whose names the analysis reports.
  std::map<std::int64_t, std::set<std::size_t>> kept;
  for (const auto& left : layout.findings.leftAlone) {
    const auto unitBytes = static_cast<std::int64_t>(kSector);
    const std::int64_t byte =
        static_cast<std::int64_t>(left.folder.index) * static_cast<std::int64_t>(kEntry);
    kept[left.folder.sector * unitsPerSector + byte / unitBytes].insert(
        static_cast<std::size_t>(byte % unitBytes));
  }
  std::int64_t rootByte = 0;  // where the unit begins in the root
  const std::int64_t fatEnd =
      layout.reservedSectors + static_cast<std::int64_t>(layout.fatCount) * layout.fatSize;
  for (const auto& extent : kestrova::repair::RootExtents(layout)) {
    for (std::int64_t k = 0; k < extent.sectors; ++k) {
      const std::int64_t sector = extent.firstSector + k;
      if (sector <= 0 || (sector >= layout.reservedSectors && sector < fatEnd)) {
        Fail("a root sector lies on the boot sector or a FAT");
      }
      bool changes = false;
      for (std::int64_t u = sector * unitsPerSector; u < (sector + 1) * unitsPerSector; ++u) {
        allowed.push_back(u);
        before[u] = memory.Peek(kDrive, static_cast<std::uint64_t>(u) * kSector, kSector);
        for (std::size_t at = 0; at < kSector; at += kEntry) {
          if (rootByte + static_cast<std::int64_t>(at) >= layout.RootBytes()) kept[u].insert(at);
        }
        rootByte += static_cast<std::int64_t>(kSector);
        changes |= MayChange(before[u], kept[u]);
      }
      for (std::int64_t u = sector * unitsPerSector; changes && u < (sector + 1) * unitsPerSector;
           ++u) {
        changing.push_back(u);
      }
    }
  }

  bool failed = true;
  bool anyWritten = false;
  if (auto opened = OpenDrive(volume::Access::kReadWrite)) {
    CheckedProgress progress;
    const auto repaired = kestrova::repair::Repair(*opened, &layout, &progress);
    failed = !repaired;
    anyWritten = failed && repaired.error().anyWritten;
  }
  volume::UseDeviceOpener(nullptr);
  if (memory.IsOpen()) Fail("the pass left the volume open");
  const auto& written = memory.SectorsWritten();
  if (failed && !anyWritten && !written.empty()) Fail("a failure said nothing was written");
  // Which hidden entries are shown again is the verdicts' to say: a pass writes no sector that
  // holds none of them.
  std::vector<std::int64_t> mayChange = changing, wrote = written;
  std::sort(mayChange.begin(), mayChange.end());
  std::sort(wrote.begin(), wrote.end());
  if (!exfat && !std::includes(mayChange.begin(), mayChange.end(), wrote.begin(), wrote.end())) {
    Fail("a pass wrote a sector that holds no hidden entry");
  }
  for (const std::int64_t u : written) {
    const auto found = before.find(u);
    if (found == before.end()) Fail("the pass wrote outside the root directory");
    if (static_cast<std::uint64_t>(u) >= volumeSectors) Fail("write past the volume");
    const auto now = memory.Peek(kDrive, static_cast<std::uint64_t>(u) * kSector, kSector);
    if (!exfat) {
      for (std::size_t at = 0; at + kEntry <= kSector; at += kEntry) {
        if (!MayBecome(&found->second[at], &now[at], kept[u].count(at) != 0)) {
          Fail("a written sector is not its old contents with hidden entries shown again");
        }
      }
      continue;
    }
    // exFAT: only the attributes and the set checksum of File entries change.
    for (std::size_t i = 0; i < kSector; ++i) {
      if (now[i] == found->second[i]) continue;
      const std::size_t inEntry = i % kEntry;
      if (found->second[i - inEntry] != kExfatFile || inEntry < kExfatChecksum ||
          inEntry >= kExfatAttributesEnd) {
        Fail("an exFAT byte other than a File entry's attributes or checksum changed");
      }
    }
  }

  // The removal of the virus's files, on what the repair left: whatever it meets, it leaves the
  // volume closed, writes nothing when it says so, and nothing past the volume.
  const std::size_t writtenBefore = memory.SectorsWritten().size();
  volume::UseDeviceOpener(&memory);
  if (auto opened = OpenDrive(volume::Access::kReadWrite)) {
    CheckedProgress progress;
    const auto cleaned = kestrova::repair::Clean(*opened, nullptr, &progress);
    if (!cleaned && !cleaned.error().anyWritten &&
        memory.SectorsWritten().size() != writtenBefore) {
      Fail("a failed removal said nothing was written");
    }
  }
  volume::UseDeviceOpener(nullptr);
  if (memory.IsOpen()) Fail("the removal left the volume open");
  for (std::size_t i = writtenBefore; i < memory.SectorsWritten().size(); ++i) {
    if (static_cast<std::uint64_t>(memory.SectorsWritten()[i]) >= volumeSectors) {
      Fail("the removal wrote past the volume");
    }
  }
  return 0;
}
