// SPDX-License-Identifier: GPL-3.0-or-later
// The removal of the files that the virus left in the root, as a file system driver removes a
// file: their entries marked deleted or not in use, their clusters freed.
#include <algorithm>
#include <map>
#include <new>
#include <optional>
#include <vector>

#include "repair/engine.h"
#include "repair/exfat.h"
#include "repair/fat.h"
#include "repair/file_data.h"
#include "repair/pass.h"
#include "repair/problems.h"
#include "repair/sector_io.h"

namespace kestrova::repair {
namespace {

// The sectors that the removal changes, by their number in the volume: each read once, before
// the first write, and changed in place.
class Changes {
 public:
  Changes(volume::Volume& volume, const VolumeLayout& layout, ProgressTrack& track)
      : volume_(volume), layout_(layout), track_(track) {}

  // The sector's new bytes, read first when it was not yet; nothing when it cannot be read.
  std::optional<Problem> Load(std::int64_t sector) {
    if (sectors.count(sector)) return std::nullopt;
    volume::AlignedBuffer buffer(static_cast<std::size_t>(layout_.bytesPerSector));
    if (const auto failed = ReadSectors(volume_, sector, layout_.bytesPerSector, buffer.bytes())) {
      return ReadProblem(*failed, sector, layout_.bytesPerSector);
    }
    track_.Touched();
    const std::vector<std::uint8_t> bytes(buffer.bytes().begin(), buffer.bytes().end());
    sectors[sector] = {bytes, bytes};
    return std::nullopt;
  }
  // The byte `offset` from the start of the region at `firstSector`, loaded before.
  std::uint8_t& Byte(std::int64_t firstSector, std::int64_t offset) {
    return sectors.at(firstSector + offset / layout_.bytesPerSector)
        .after.at(static_cast<std::size_t>(offset % layout_.bytesPerSector));
  }
  std::optional<Problem> LoadBytes(std::int64_t firstSector, std::int64_t offset,
                                   std::int64_t count) {
    for (std::int64_t s = offset / layout_.bytesPerSector;
         s <= (offset + count - 1) / layout_.bytesPerSector; ++s) {
      if (auto problem = Load(firstSector + s)) return problem;
    }
    return std::nullopt;
  }

  std::map<std::int64_t, SectorChange> sectors;

 private:
  volume::Volume& volume_;
  const VolumeLayout& layout_;
  ProgressTrack& track_;
};

// The root directory's bytes in order, and the volume sector of each of its sectors.
struct RootBytes {
  std::vector<std::uint8_t> bytes;
  std::vector<std::int64_t> sectors;
};

std::optional<Problem> ReadRoot(volume::Volume& volume, const VolumeLayout& layout,
                                ProgressTrack& track, RootBytes& root) {
  const std::int64_t sectorSize = layout.bytesPerSector;
  const std::int64_t maxRun = std::max<std::int64_t>(1, kMaxTransferBytes / sectorSize);
  for (const RootExtent& extent : RootExtents(layout)) {
    for (std::int64_t s = 0; s < extent.sectors; s += maxRun) {
      const std::int64_t count = std::min<std::int64_t>(maxRun, extent.sectors - s);
      volume::AlignedBuffer buffer(static_cast<std::size_t>(count * sectorSize));
      const std::int64_t first = extent.firstSector + s;
      if (const auto failed = ReadSectors(volume, first, layout.bytesPerSector, buffer.bytes())) {
        return ReadProblem(*failed, first, sectorSize);
      }
      track.Touched();
      root.bytes.insert(root.bytes.end(), buffer.bytes().begin(), buffer.bytes().end());
      for (std::int64_t i = 0; i < count; ++i) root.sectors.push_back(first + i);
    }
  }
  root.bytes.resize(std::min(root.bytes.size(), static_cast<std::size_t>(layout.RootBytes())));
  return std::nullopt;
}

// A stretch of clusters that an entry owns: from `first`, chained by the FAT or contiguous, as
// many as `length` bytes take.
struct Owned {
  std::uint32_t first = 0;
  std::uint64_t length = 0;
  bool contiguous = false;
};

// The clusters that the root's other entries name, by their entries in the root: on FAT each
// short entry's first cluster, on exFAT those of the bitmap, the up-case table and each File
// entry set's stream extension. `removed` holds the root offsets of the entries to remove.
std::vector<Owned> OtherEntries(const VolumeLayout& layout, std::span<const std::uint8_t> root,
                                const std::vector<bool>& removed) {
  std::vector<Owned> owned;
  const bool exfat = layout.fileSystem == FileSystem::kExfat;
  for (std::size_t at = 0; at + static_cast<std::int64_t>(fat::kDirEntrySize) <= root.size();
       at += static_cast<std::int64_t>(fat::kDirEntrySize)) {
    const auto entry = root.subspan(at, static_cast<std::int64_t>(fat::kDirEntrySize));
    if (entry[0] == 0) break;
    if (removed[at / static_cast<std::int64_t>(fat::kDirEntrySize)]) continue;
    if (exfat) {
      // Entries that own clusters keep the first and the data's length at the same places.
      const std::uint32_t first = fat::Read32(entry, exfat::kFirstClusterOffset);
      const std::uint64_t length = fat::Read64(entry, exfat::kDataLengthOffset);
      const std::uint8_t type = entry[exfat::kEntryTypeOffset];
      if (type == exfat::kAllocationBitmap || type == exfat::kUpcaseTable ||
          type == exfat::kVendorAllocation) {
        owned.push_back({first, length, false});
      } else if (type == exfat::kStreamExtension &&
                 at >= static_cast<std::int64_t>(fat::kDirEntrySize) &&
                 root[at - static_cast<std::int64_t>(fat::kDirEntrySize)] == exfat::kFile) {
        owned.push_back(
            {first, length, (entry[exfat::kSecondaryFlagsOffset] & exfat::kNoFatChain) != 0});
      }
      continue;
    }
    const std::uint8_t attribute = entry[fat::kAttributeOffset];
    if (entry[fat::kNameOffset] == fat::kDeletedEntry || attribute == fat::kAttrLongName ||
        (attribute & fat::kAttrVolumeId)) {
      continue;
    }
    std::uint32_t first = fat::Read16(entry, fat::kFirstClusterLowOffset);
    if (layout.fileSystem == FileSystem::kFat32) {
      first |= static_cast<std::uint32_t>(fat::Read16(entry, fat::kFirstClusterHighOffset)) << 16;
    }
    // A folder's size is 0: its chain is followed to its end.
    owned.push_back({first, UINT64_MAX, false});
  }
  return owned;
}

// A read of the FAT in use that failed, at the sector of `cluster`'s entry.
Problem FatReadProblem(const VolumeLayout& layout, std::int64_t cluster) {
  Problem problem = PassProblem(ProblemKind::kReadFailed);
  problem.sector =
      layout.ActiveFatStart() + FatEntryOffset(layout, cluster) / layout.bytesPerSector;
  return problem;
}

// Who owns each data cluster, as far as the removal needs to know.
enum Owner : std::uint8_t { kFree = 0, kOther = 1, kRemoved = 2 };

// Marks the clusters of the root and of the other entries. A chain of theirs that is damaged is
// followed as far as it goes: it is not this pass's to judge.
std::optional<Problem> MarkOthers(const VolumeLayout& layout, FatReader& fat,
                                  const std::vector<Owned>& others, std::vector<Owner>& owner) {
  const auto inVolume = [&](std::int64_t c) { return c >= 2 && c < layout.clusterCount + 2; };
  for (std::int32_t i = 0; i < layout.rootClusterCount; ++i) {
    const std::int64_t c = layout.rootClusters.at(static_cast<std::size_t>(i));
    if (inVolume(c)) owner[static_cast<std::size_t>(c)] = kOther;
  }
  const std::uint64_t clusterBytes = static_cast<std::uint64_t>(layout.ClusterBytes());
  for (const Owned& entry : others) {
    std::uint64_t count =
        entry.length == UINT64_MAX ? UINT64_MAX : (entry.length + clusterBytes - 1) / clusterBytes;
    std::int64_t c = entry.first;
    for (; count > 0 && inVolume(c) && owner[static_cast<std::size_t>(c)] != kOther; --count) {
      owner[static_cast<std::size_t>(c)] = kOther;
      if (entry.contiguous) {
        ++c;
        continue;
      }
      const auto raw = fat.Entry(c);
      if (!raw) return FatReadProblem(layout, c);
      std::uint32_t next = 0;
      if (Follow(layout.fileSystem, *raw, next) != Link::kNext) break;
      c = next;
    }
  }
  return std::nullopt;
}

Problem ChainProblem(const RootFile& file, DetailKind kind, std::int64_t at, std::int64_t value) {
  Problem problem = PassProblem(ProblemKind::kLeftoverChain, kind);
  problem.detail.name = file.Name();
  problem.detail.at = at;
  problem.detail.value = value;
  return problem;
}

// The clusters of a file to remove, checked: in the volume, none of another entry's or the
// root's, no loop, and as many as its size takes, its chain ending there.
std::optional<Problem> FileClusters(const VolumeLayout& layout, FatReader& fat,
                                    const RootFile& file, std::vector<Owner>& owner,
                                    std::vector<std::int64_t>& clusters) {
  const auto clusterBytes = static_cast<std::uint64_t>(layout.ClusterBytes());
  const auto need = static_cast<std::int64_t>((file.size + clusterBytes - 1) / clusterBytes);
  if (need == 0 || file.firstCluster == 0) {
    if (need == 0 && file.firstCluster == 0) return std::nullopt;
    return ChainProblem(file, DetailKind::kChainLength, file.firstCluster ? 1 : 0, need);
  }
  std::int64_t c = file.firstCluster;
  for (std::int64_t k = 0;; ++k) {
    if (c < 2 || c >= layout.clusterCount + 2) {
      return ChainProblem(file, DetailKind::kLinkOutsideVolume,
                          clusters.empty() ? 0 : clusters.back(), c);
    }
    auto& mark = owner[static_cast<std::size_t>(c)];
    if (mark == kOther) return ChainProblem(file, DetailKind::kChainReachesOther, c, 0);
    if (mark == kRemoved) {
      return ChainProblem(file, DetailKind::kChainLoop, clusters.empty() ? 0 : clusters.back(), c);
    }
    mark = kRemoved;
    clusters.push_back(c);
    if (file.noFatChain) {
      if (k + 1 == need) return std::nullopt;
      ++c;
      continue;
    }
    const auto raw = fat.Entry(c);
    if (!raw) return FatReadProblem(layout, c);
    std::uint32_t next = 0;
    const Link link = Follow(layout.fileSystem, *raw, next);
    if (link == Link::kBad) return ChainProblem(file, DetailKind::kBadClusterLink, c, *raw);
    if (link == Link::kEnd || k + 1 == need) {
      if (link == Link::kEnd && k + 1 == need) return std::nullopt;
      return ChainProblem(file, DetailKind::kChainLength, link == Link::kEnd ? k + 1 : k + 2, need);
    }
    c = next;
  }
}

// Frees `cluster` in the FAT that begins at `fatStart`, loaded before.
void FreeInFat(const VolumeLayout& layout, Changes& changes, std::int64_t fatStart,
               std::int64_t cluster) {
  switch (layout.fileSystem) {
    case FileSystem::kFat12: {
      const std::int64_t at = cluster + cluster / 2;
      std::uint8_t& low = changes.Byte(fatStart, at);
      std::uint8_t& high = changes.Byte(fatStart, at + 1);
      if (cluster % 2) {
        low &= 0x0F;
        high = 0;
      } else {
        low = 0;
        high &= 0xF0;
      }
      return;
    }
    case FileSystem::kFat16:
      changes.Byte(fatStart, cluster * 2) = 0;
      changes.Byte(fatStart, cluster * 2 + 1) = 0;
      return;
    case FileSystem::kFat32:
    case FileSystem::kExfat:
      break;
  }
  for (int i = 0; i < 3; ++i) changes.Byte(fatStart, cluster * 4 + i) = 0;
  // FAT32 keeps the top four bits of an entry as they are.
  std::uint8_t& top = changes.Byte(fatStart, cluster * 4 + 3);
  top = layout.fileSystem == FileSystem::kFat32 ? top & 0xF0 : 0;
}

// The FATs that are kept current: every one when they are mirrored, otherwise the one in use;
// exFAT writes its one in use.
std::vector<std::int64_t> CurrentFats(const VolumeLayout& layout) {
  const bool mirrored =
      layout.fileSystem == FileSystem::kFat12 || layout.fileSystem == FileSystem::kFat16 ||
      (layout.fileSystem == FileSystem::kFat32 &&
       !(fat::Read16(layout.bootSector, fat::kExtFlagsOffset) & fat::kExtFlagsNoMirroring));
  std::vector<std::int64_t> starts;
  if (!mirrored) return {layout.ActiveFatStart()};
  for (std::int32_t i = 0; i < layout.fatCount; ++i) {
    starts.push_back(layout.reservedSectors + static_cast<std::int64_t>(i) * layout.fatSize);
  }
  return starts;
}

// FAT32's FSInfo: its free count grows by `freed` when it is known. Its next-free hint stays as
// it is: nothing was allocated.
std::optional<Problem> CountFreed(const VolumeLayout& layout, Changes& changes,
                                  std::int64_t freed) {
  const std::int64_t sector = fat::Read16(layout.bootSector, fat::kFsInfoSectorOffset);
  if (sector < 1 || sector >= layout.reservedSectors || freed == 0) return std::nullopt;
  if (auto problem = changes.Load(sector)) return problem;
  auto& bytes = changes.sectors.at(sector).after;
  if (bytes.size() < 512 || fat::Read32(bytes, 0) != fat::kFsInfoLead ||
      fat::Read32(bytes, fat::kFsInfoStructOffset) != fat::kFsInfoStruct) {
    changes.sectors.erase(sector);
    return std::nullopt;
  }
  const std::uint32_t count = fat::Read32(bytes, fat::kFsInfoFreeOffset);
  if (count == fat::kFsInfoUnknown ||
      count + static_cast<std::uint64_t>(freed) > static_cast<std::uint64_t>(layout.clusterCount)) {
    changes.sectors.erase(sector);
    return std::nullopt;
  }
  const auto now = static_cast<std::uint32_t>(count + freed);
  for (int i = 0; i < 4; ++i) {
    bytes[fat::kFsInfoFreeOffset + static_cast<std::size_t>(i)] =
        static_cast<std::uint8_t>(now >> (8 * i));
  }
  return std::nullopt;
}

// exFAT: clears the clusters' bits in the allocation bitmap (bit n stands for cluster n + 2).
std::optional<Problem> ClearBits(const VolumeLayout& layout, Changes& changes,
                                 const std::vector<std::int64_t>& clusters) {
  const auto& place = layout.findings.bitmap;
  const auto heap = ClusterFirstSector(layout, place ? place->firstCluster : 0);
  if (!place || !heap) return DamagedDirectory(DetailKind::kNoAllocationBitmap, 0);
  for (const std::int64_t c : clusters) {
    const std::int64_t bit = c - 2;
    if (static_cast<std::uint64_t>(bit / 8) >= place->bytes) {
      return DamagedDirectory(DetailKind::kNoAllocationBitmap, 0);
    }
    if (auto problem = changes.LoadBytes(*heap, bit / 8, 1)) return problem;
    changes.Byte(*heap, bit / 8) &= static_cast<std::uint8_t>(~(1u << (bit % 8)));
  }
  return std::nullopt;
}

// The same leftovers, by where they lie and what they are.
bool SameFiles(const std::vector<Judged>& a, const std::vector<Judged>& b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](const auto& x, const auto& y) {
    return x.file.offset == y.file.offset && x.file.entryCount == y.file.entryCount &&
           x.file.firstCluster == y.file.firstCluster && x.file.size == y.file.size &&
           x.file.Name() == y.file.Name();
  });
}

}  // namespace

Expected<CleanReport, Problem> Clean(volume::Volume& volume, const VolumeLayout* analysed,
                                     Progress* progress, const JournalPlace* journal) {
  if (analysed && !IsAnalysed(*analysed)) {
    return PassProblem(ProblemKind::kNotAnalysed);
  }
  PassEnd pass(volume, PassKind::kClean);
  ProgressTrack track(progress);
  VolumeLayout now;
  if (auto problem = Reanalyse(volume, analysed, now, nullptr, track)) {
    return pass.Fail(std::move(*problem));
  }
  // The files removed are the ones the user was shown.
  if (analysed && !SameFiles(analysed->findings.leftovers, now.findings.leftovers)) {
    return pass.Fail(PassProblem(ProblemKind::kLayoutChanged, DetailKind::kRootFailsCheck));
  }
  CleanReport done;
  if (now.findings.leftovers.empty()) {
    if (auto problem = pass.Finish()) return std::move(*problem);
    return done;
  }
  Changes changes(volume, now, track);
  std::vector<std::int64_t> freed;       // every cluster of the removed files
  std::vector<std::int64_t> fatChained;  // those of them that the FAT chains
  try {
    // Everything is read and checked before the first write.
    RootBytes root;
    if (auto problem = ReadRoot(volume, now, track, root)) return pass.Fail(std::move(*problem));
    std::vector<bool> removed(root.bytes.size() / static_cast<std::int64_t>(fat::kDirEntrySize));
    for (const Judged& leftover : now.findings.leftovers) {
      const auto first = static_cast<std::size_t>(leftover.file.offset /
                                                  static_cast<std::int64_t>(fat::kDirEntrySize));
      for (int i = 0; i < leftover.file.entryCount && first + i < removed.size(); ++i) {
        removed[first + static_cast<std::size_t>(i)] = true;
      }
    }
    FatReader fat(volume, now, &track);
    std::vector<Owner> owner(static_cast<std::size_t>(now.clusterCount + 2), kFree);
    if (auto problem = MarkOthers(now, fat, OtherEntries(now, root.bytes, removed), owner)) {
      return pass.Fail(std::move(*problem));
    }
    for (const Judged& leftover : now.findings.leftovers) {
      std::vector<std::int64_t> clusters;
      if (auto problem = FileClusters(now, fat, leftover.file, owner, clusters)) {
        return pass.Fail(std::move(*problem));
      }
      freed.insert(freed.end(), clusters.begin(), clusters.end());
      if (!leftover.file.noFatChain) {
        fatChained.insert(fatChained.end(), clusters.begin(), clusters.end());
      }
    }
    // The root's entries.
    const std::int64_t sectorSize = now.bytesPerSector;
    const bool exfat = now.fileSystem == FileSystem::kExfat;
    for (std::size_t e = 0; e < removed.size(); ++e) {
      if (!removed[e]) continue;
      const auto at = static_cast<std::int64_t>(e) * static_cast<std::int64_t>(fat::kDirEntrySize);
      const std::int64_t sector = root.sectors.at(static_cast<std::size_t>(at / sectorSize));
      if (!changes.sectors.count(sector)) {
        const auto from = root.bytes.begin() + at / sectorSize * sectorSize;
        const std::vector<std::uint8_t> bytes(from, from + sectorSize);
        changes.sectors[sector] = {bytes, bytes};
      }
      std::uint8_t& type = changes.Byte(sector, at % sectorSize);
      type = exfat ? static_cast<std::uint8_t>(type & ~exfat::kInUse) : fat::kDeletedEntry;
    }
    // The FATs, FSInfo and the allocation bitmap.
    for (const std::int64_t fatStart :
         exfat ? std::vector{now.ActiveFatStart()} : CurrentFats(now)) {
      for (const std::int64_t c : fatChained) {
        const std::int64_t at = FatEntryOffset(now, c);
        if (auto problem = changes.LoadBytes(fatStart, at, FatEntryBytes(now.fileSystem))) {
          return pass.Fail(std::move(*problem));
        }
        FreeInFat(now, changes, fatStart, c);
      }
    }
    if (now.fileSystem == FileSystem::kFat32) {
      if (auto problem = CountFreed(now, changes, static_cast<std::int64_t>(freed.size()))) {
        return pass.Fail(std::move(*problem));
      }
    }
    if (exfat) {
      if (auto problem = ClearBits(now, changes, freed)) return pass.Fail(std::move(*problem));
    }
  } catch (const std::bad_alloc&) {
    return pass.Fail(PassProblem(ProblemKind::kOutOfMemory));
  }
  done.removed = now.findings.leftovers;
  done.clustersFreed = static_cast<std::int64_t>(freed.size());
  std::erase_if(changes.sectors, [](const auto& s) { return s.second.before == s.second.after; });

  // The journal reaches the disk before the volume is touched.
  if (journal) {
    Journal record{IdentityOf(now), {}};
    for (const auto& [sector, change] : changes.sectors) {
      record.sectors.push_back({sector, change.before, change.after});
    }
    auto written = WriteJournal(*journal, now, record);
    if (!written) return pass.Fail(std::move(written.error()));
    done.journal = std::move(*written);
  }
  const auto sectorBytes = static_cast<std::uint32_t>(now.bytesPerSector);
  track.Plan(static_cast<std::int64_t>(changes.sectors.size()) * sectorBytes);
  // Adjacent changed sectors go out as one transfer, in the volume's order.
  const std::int64_t maxRun = std::max<std::int64_t>(1, kMaxTransferBytes / sectorBytes);
  for (auto next = changes.sectors.begin(); next != changes.sectors.end();) {
    const std::int64_t first = next->first;
    std::vector<std::uint8_t> run;
    for (; next != changes.sectors.end() &&
           next->first == first + static_cast<std::int64_t>(run.size() / sectorBytes) &&
           static_cast<std::int64_t>(run.size() / sectorBytes) < maxRun;
         ++next) {
      run.insert(run.end(), next->second.after.begin(), next->second.after.end());
    }
    volume::AlignedBuffer buffer(run.size());
    std::copy(run.begin(), run.end(), buffer.bytes().begin());
    if (auto problem = WriteRun(pass, volume, first, sectorBytes, buffer.bytes())) {
      return std::move(*problem);
    }
    done.sectorsWritten += static_cast<std::int64_t>(run.size() / sectorBytes);
    track.Moved(static_cast<std::int64_t>(run.size()));
  }
  track.Finish();
  if (auto problem = pass.Finish()) return std::move(*problem);
  return done;
}

}  // namespace kestrova::repair
