// SPDX-License-Identifier: GPL-3.0-or-later
// Putting back the files that the virus moved into a folder of the root: each entry copied into
// free slots of the root as it is (renamed when the root holds its name), the old one marked
// removed, the root grown when it has no room, and the emptied folder removed.
#include <algorithm>
#include <cstring>
#include <new>
#include <optional>
#include <set>
#include <string>
#include <unordered_set>
#include <vector>

#include "format/codepage.h"
#include "format/exfat.h"
#include "format/exfat_sets.h"
#include "format/fat.h"
#include "format/fat_names.h"
#include "format/fat_table.h"
#include "format/folder_listing.h"
#include "format/problems.h"
#include "format/sector_io.h"
#include "format/sha256.h"
#include "repair/commit.h"
#include "repair/engine.h"
#include "repair/ownership.h"
#include "repair/pass.h"
#include "repair/quarantine.h"
#include "repair/steps.h"
#include "repair/verdicts.h"

namespace kestrova::repair {
namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr std::int64_t kEntry = fat::kDirEntrySize;
constexpr std::size_t kName11 = fat::kNameLength + fat::kExtensionLength;
// The most entries of a FAT directory.
constexpr std::int64_t kMaxDirectoryEntries = 65536;
// The characters that a short name keeps besides letters and digits.
constexpr std::string_view kShortNamePunctuation = "$%'-_@~`!(){}^#&";

Problem Unreadable(const std::string& path) {
  Problem problem = PassProblem(ProblemKind::kFolderUnreadable);
  problem.detail.name = path;
  return problem;
}

// A directory's bytes as read along its chain, with the volume sector of each of its sectors.
struct DirectoryCopy {
  Bytes bytes;
  std::vector<std::int64_t> sectors;
  std::vector<std::int64_t> clusters;
};

// A chain from its first cluster to its end, on FAT: in the volume, without a loop, of at most
// `most` clusters. Nothing when it is not so, or the FAT cannot be read.
std::optional<std::vector<std::int64_t>> Chain(const VolumeLayout& layout, FatReader& fat,
                                               std::int64_t first, std::int64_t most) {
  std::vector<std::int64_t> clusters;
  std::unordered_set<std::int64_t> seen;
  for (std::int64_t c = first;;) {
    if (c < fat::kFirstDataCluster || c >= layout.clusterCount + fat::kFirstDataCluster ||
        !seen.insert(c).second || static_cast<std::int64_t>(clusters.size()) >= most) {
      return std::nullopt;
    }
    clusters.push_back(c);
    const auto raw = fat.Entry(c);
    std::uint32_t next = 0;
    if (!raw) return std::nullopt;
    const Link link = Follow(layout.fileSystem, *raw, next);
    if (link == Link::kEnd) return clusters;
    if (link == Link::kBad) return std::nullopt;
    c = next;
  }
}

// A folder's chain, no longer than a folder can be.
std::optional<std::vector<std::int64_t>> FolderChain(const VolumeLayout& layout, FatReader& fat,
                                                     std::int64_t first) {
  return Chain(layout, fat, first,
               static_cast<std::int64_t>(kMaxFolderBytes) / layout.ClusterBytes());
}

// A file's clusters, as many as its size takes: its chain ending there, or on exFAT its
// contiguous clusters. Nothing when it is not so.
std::optional<std::vector<std::int64_t>> FileChain(const VolumeLayout& layout, FatReader& fat,
                                                   const RootFile& file) {
  const std::int64_t clusterBytes = layout.ClusterBytes();
  const auto need = static_cast<std::int64_t>(
      (file.size + static_cast<std::uint64_t>(clusterBytes) - 1) / clusterBytes);
  if (need == 0 || file.firstCluster == 0) {
    if (need == 0 && file.firstCluster == 0) return std::vector<std::int64_t>{};
    return std::nullopt;
  }
  if (file.noFatChain) {
    if (file.firstCluster < fat::kFirstDataCluster ||
        file.firstCluster + need > layout.clusterCount + fat::kFirstDataCluster) {
      return std::nullopt;
    }
    std::vector<std::int64_t> clusters;
    for (std::int64_t k = 0; k < need; ++k) clusters.push_back(file.firstCluster + k);
    return clusters;
  }
  auto chain = Chain(layout, fat, file.firstCluster, need);
  if (!chain || static_cast<std::int64_t>(chain->size()) != need) return std::nullopt;
  return chain;
}

// Reads a directory whose clusters are `clusters`, a cluster at a time.
std::optional<Problem> ReadDirectory(volume::Volume& volume, const VolumeLayout& layout,
                                     std::vector<std::int64_t> clusters, ProgressTrack& track,
                                     DirectoryCopy& copy) {
  const std::int64_t clusterBytes = layout.ClusterBytes();
  const std::int64_t piece = std::min(clusterBytes, kMaxTransferBytes);
  volume::AlignedBuffer buffer(static_cast<std::size_t>(piece));
  for (const std::int64_t c : clusters) {
    const auto first = ClusterFirstSector(layout, c);
    if (!first) return PassProblem(ProblemKind::kReadFailed);
    for (std::int64_t done = 0; done < clusterBytes; done += piece) {
      const std::int64_t sector = *first + done / layout.bytesPerSector;
      if (const auto failed = ReadSectors(volume, sector, layout.bytesPerSector, buffer.bytes())) {
        return ReadProblem(*failed, sector, layout.bytesPerSector);
      }
      track.Touched();
      copy.bytes.insert(copy.bytes.end(), buffer.bytes().begin(), buffer.bytes().end());
      for (std::int64_t s = 0; s < piece / layout.bytesPerSector; ++s) {
        copy.sectors.push_back(sector + s);
      }
    }
  }
  copy.clusters = std::move(clusters);
  return std::nullopt;
}

// A name as the root compares it: FAT takes no account of the case of ASCII letters.
std::string Folded(std::string_view name) {
  std::string folded(name);
  for (char& c : folded) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return folded;
}

// exFAT's capitals, by the volume's up-case table: what its names are compared and hashed by.
// Without a table, the ASCII letters alone have capitals.
class Capitals {
 public:
  // The table's bytes as stored: its characters in order, a run of characters that stay as they
  // are written as 0xFFFF and the run's length.
  explicit Capitals(std::span<const std::uint8_t> table) {
    for (std::size_t i = 0; i < map_.size(); ++i) {
      map_[i] = static_cast<char16_t>(i >= 'a' && i <= 'z' && table.empty() ? i - 'a' + 'A' : i);
    }
    std::size_t at = 0;
    for (std::size_t i = 0; i + 1 < table.size() && at < map_.size(); i += 2) {
      const std::uint16_t value = fat::Read16(table, i);
      if (value == 0xFFFF && i + 3 < table.size()) {
        i += 2;
        at += fat::Read16(table, i);
        continue;
      }
      map_[at++] = static_cast<char16_t>(value);
    }
  }

  std::u16string Of(std::u16string text) const {
    for (char16_t& c : text) c = map_[c];
    return text;
  }
  std::string Folded(std::string_view name) const { return Utf16ToUtf8(Of(Utf8ToUtf16(name))); }

  // The name hash of a stream extension: over the name in capitals, each character's low byte,
  // then its high byte.
  std::uint16_t Hash(const std::u16string& name) const {
    std::uint16_t hash = 0;
    for (const char16_t c : Of(name)) {
      for (const std::uint8_t byte :
           {static_cast<std::uint8_t>(c), static_cast<std::uint8_t>(c >> 8)}) {
        hash = static_cast<std::uint16_t>(((hash & 1) ? 0x8000 : 0) + (hash >> 1) + byte);
      }
    }
    return hash;
  }

 private:
  std::vector<char16_t> map_ = std::vector<char16_t>(0x10000);
};

// The up-case table of an exFAT root (its entry names it), read as it lies: in clusters that
// follow one another. Empty when the root names none or it cannot be read.
Bytes ReadCapitalsTable(volume::Volume& volume, const VolumeLayout& layout,
                        std::span<const std::uint8_t> root, ProgressTrack& track) {
  for (std::size_t at = 0; at + kEntry <= root.size(); at += kEntry) {
    const auto entry = root.subspan(at, kEntry);
    if (entry[exfat::kEntryTypeOffset] == exfat::kEndOfDirectory) break;
    if (entry[exfat::kEntryTypeOffset] != exfat::kUpcaseTable) continue;
    const auto first = ClusterFirstSector(layout, fat::Read32(entry, exfat::kFirstClusterOffset));
    const std::uint64_t length = fat::Read64(entry, exfat::kDataLengthOffset);
    if (!first || length == 0 || length > 2 * 0x10000) return {};
    const std::int64_t sectorBytes = layout.bytesPerSector;
    const auto sectors = static_cast<std::int64_t>(length + sectorBytes - 1) / sectorBytes;
    volume::AlignedBuffer buffer(static_cast<std::size_t>(sectors * sectorBytes));
    if (ReadSectors(volume, *first, layout.bytesPerSector, buffer.bytes())) return {};
    track.Touched();
    return Bytes(buffer.bytes().begin(),
                 buffer.bytes().begin() + static_cast<std::ptrdiff_t>(length));
  }
  return {};
}

// An exFAT entry set under the name `name`: its name entries and name length written anew, its
// name hash and set checksum with them; its other secondaries follow as they were.
Bytes RenamedSet(std::span<const std::uint8_t> set, const std::string& name,
                 const Capitals& capitals) {
  std::u16string units = Utf8ToUtf16(name);
  if (units.size() > exfat::kMaxNameLength) units.resize(exfat::kMaxNameLength);
  const std::size_t perEntry = exfat::kFileNameCharsPerEntry;
  const auto stream = static_cast<std::size_t>(kEntry);
  const std::size_t oldNames = (set[stream + exfat::kNameLengthOffset] + perEntry - 1) / perEntry;
  const std::size_t names = (units.size() + perEntry - 1) / perEntry;
  Bytes renamed(set.begin(), set.begin() + 2 * kEntry);
  renamed[stream + exfat::kNameLengthOffset] = static_cast<std::uint8_t>(units.size());
  fat::Write16(std::span(renamed).subspan(stream), exfat::kNameHashOffset, capitals.Hash(units));
  units.resize(names * perEntry, 0);
  for (std::size_t n = 0; n < names; ++n) {
    Bytes entry(kEntry, 0);
    entry[exfat::kEntryTypeOffset] = exfat::kFileName;
    for (std::size_t k = 0; k < perEntry; ++k) {
      fat::Write16(entry, exfat::kFileNameOffset + 2 * k, units[n * perEntry + k]);
    }
    renamed.insert(renamed.end(), entry.begin(), entry.end());
  }
  const auto others = static_cast<std::ptrdiff_t>((2 + oldNames) * kEntry);
  if (others < static_cast<std::ptrdiff_t>(set.size())) {
    renamed.insert(renamed.end(), set.begin() + others, set.end());
  }
  renamed[exfat::kSecondaryCountOffset] = static_cast<std::uint8_t>(renamed.size() / kEntry - 1);
  fat::Write16(renamed, exfat::kSetChecksumOffset, SetChecksum(renamed));
  return renamed;
}

// `name` with " (number)" before its extension (a file's) or at its end (a folder's).
std::string Numbered(const std::string& name, bool folder, int number) {
  const std::size_t dot = folder ? std::string::npos : name.rfind('.');
  const std::string tail = " (" + std::to_string(number) + ")";
  if (dot == std::string::npos || dot == 0) return name + tail;
  return name.substr(0, dot) + tail + name.substr(dot);
}

// The characters of a long name that a short name keeps, in capitals.
std::string ShortNameCharacters(std::string_view text, std::size_t most) {
  std::string kept;
  for (const char c : text) {
    if (kept.size() == most) break;
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
        kShortNamePunctuation.find(c) != std::string_view::npos) {
      kept += static_cast<char>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c);
    }
  }
  return kept;
}

// A short name for the long name `name` that `taken` does not hold: its first letters with the
// lowest numeric tail (~1, ~2, ...) that is free, and its extension's first three.
std::string FreshShortName(const std::string& name, bool folder,
                           const std::set<std::string>& taken) {
  const std::size_t dot = folder ? std::string::npos : name.rfind('.');
  const bool split = dot != std::string::npos && dot != 0;
  std::string base = ShortNameCharacters(split ? name.substr(0, dot) : name, fat::kNameLength);
  std::string extension =
      split ? ShortNameCharacters(name.substr(dot + 1), fat::kExtensionLength) : "";
  if (base.empty()) base = "_";
  extension.resize(fat::kExtensionLength, ' ');
  for (int number = 1;; ++number) {
    const std::string tail = "~" + std::to_string(number);
    std::string name11 = base.substr(0, fat::kNameLength - tail.size()) + tail;
    name11.resize(fat::kNameLength, ' ');
    name11 += extension;
    if (!taken.count(name11)) return name11;
  }
}

// The long-name entries of `name` for the short name `name11`, in the order they are stored.
Bytes LongNameEntries(const std::string& name, const std::string& name11) {
  std::u16string units = Utf8ToUtf16(name);
  const std::size_t most = kMaxLongEntries * fat::kLongCharsPerEntry;
  if (units.size() > most) units.resize(most);
  const std::size_t count = (units.size() + fat::kLongCharsPerEntry - 1) / fat::kLongCharsPerEntry;
  if (units.size() % fat::kLongCharsPerEntry) units += kLongNameEnd;
  units.resize(count * fat::kLongCharsPerEntry, kLongNamePad);
  const std::uint8_t sum = ShortNameChecksum(reinterpret_cast<const std::uint8_t*>(name11.data()));
  Bytes bytes(count * kEntry, 0);
  for (std::size_t i = 0; i < count; ++i) {
    const std::size_t ordinal = count - i;
    const auto entry = std::span(bytes).subspan(i * kEntry, kEntry);
    entry[fat::kLongOrdinalOffset] =
        static_cast<std::uint8_t>(ordinal | (i == 0 ? fat::kLastLongEntry : 0));
    entry[fat::kAttributeOffset] = fat::kAttrLongName;
    entry[fat::kLongChecksumOffset] = sum;
    for (std::size_t k = 0; k < fat::kLongCharsPerEntry; ++k) {
      fat::Write16(entry, fat::kLongCharOffsets[k],
                   units[(ordinal - 1) * fat::kLongCharsPerEntry + k]);
    }
  }
  return bytes;
}

// The root's entry slots as the move fills them: which are free, and the clusters it grows by.
class RootSlots {
 public:
  RootSlots(const VolumeLayout& layout, Bytes bytes) : layout_(layout), bytes_(std::move(bytes)) {
    const auto slots = static_cast<std::size_t>(
        std::min<std::int64_t>(static_cast<std::int64_t>(bytes_.size()), layout.RootBytes()) /
        kEntry);
    bytes_.resize(slots * static_cast<std::size_t>(kEntry));
    // Before the end-of-directory mark, the deleted entries are free; from it on, every entry to
    // the end, or, when something follows the mark, to one entry before it, which stays a mark.
    std::size_t end = 0;
    while (end < slots && Lead(end) != fat::kEndOfDirectory) ++end;
    std::size_t tail = end;
    while (tail < slots && Lead(tail) == fat::kEndOfDirectory) ++tail;
    clean_ = tail == slots;
    if (!clean_ && tail > end) --tail;
    // FAT marks a deleted entry with 0xE5, exFAT clears its in-use bit.
    const bool exfat = layout.fileSystem == FileSystem::kExfat;
    free_.resize(slots);
    for (std::size_t i = 0; i < slots; ++i) {
      const std::uint8_t lead = Lead(i);
      free_[i] =
          i < end ? (exfat ? !(lead & exfat::kInUse) : lead == fat::kDeletedEntry) : i < tail;
    }
  }

  // The free slots.
  std::int64_t Free() const { return std::count(free_.begin(), free_.end(), true); }

  // Writes `run` into the first free slots that hold it, growing the root by a cluster at a time
  // when it may (FAT32 and exFAT, with only free slots after its end-of-directory mark, within the
  // most a directory and the analysis take). Its root offset, or nothing when it has no room.
  std::optional<std::int64_t> Put(std::span<const std::uint8_t> run) {
    const std::size_t count = run.size() / static_cast<std::size_t>(kEntry);
    for (;;) {
      std::size_t length = 0;
      for (std::size_t i = 0; i < free_.size(); ++i) {
        length = free_[i] ? length + 1 : 0;
        if (length < count) continue;
        const std::size_t first = i + 1 - count;
        std::copy(run.begin(), run.end(),
                  bytes_.begin() + static_cast<std::ptrdiff_t>(first * kEntry));
        std::fill(free_.begin() + static_cast<std::ptrdiff_t>(first),
                  free_.begin() + static_cast<std::ptrdiff_t>(i + 1), false);
        return static_cast<std::int64_t>(first) * kEntry;
      }
      if (!Grow()) return std::nullopt;
    }
  }

  // Marks the entries from root offset `offset` on removed.
  void MarkRemoved(std::int64_t offset, int count) {
    for (int i = 0; i < count; ++i) {
      EntryFormatOf(layout_.fileSystem).MarkRemoved(Entry(offset + i * kEntry));
    }
  }

  std::span<std::uint8_t> Entry(std::int64_t offset) { return Run(offset, kEntry); }
  std::span<std::uint8_t> Run(std::int64_t offset, std::size_t length) {
    return std::span(bytes_).subspan(static_cast<std::size_t>(offset), length);
  }
  const Bytes& bytes() const { return bytes_; }
  std::int64_t added() const { return added_; }

 private:
  std::uint8_t Lead(std::size_t slot) const { return bytes_[slot * kEntry]; }

  bool Grow() {
    const std::int64_t clusterBytes = layout_.ClusterBytes();
    const std::int64_t most = layout_.fileSystem == FileSystem::kExfat
                                  ? static_cast<std::int64_t>(kMaxFolderBytes)
                                  : kMaxDirectoryEntries * kEntry;
    if (!layout_.RootHasChain() || !clean_ ||
        layout_.rootClusterCount + added_ + 1 > kRootClusterCapacity ||
        static_cast<std::int64_t>(bytes_.size()) + clusterBytes > most) {
      return false;
    }
    bytes_.resize(bytes_.size() + static_cast<std::size_t>(clusterBytes), 0);
    free_.resize(bytes_.size() / kEntry, true);
    ++added_;
    return true;
  }

  const VolumeLayout& layout_;
  Bytes bytes_;
  std::vector<bool> free_;
  bool clean_ = false;  // nothing but free entries follows the end-of-directory mark
  std::int64_t added_ = 0;
};

// The root's names as Windows compares them, and FAT's short names as stored.
struct RootNames {
  std::set<std::string> names;
  std::set<std::string> shortNames;
  const Capitals* capitals = nullptr;  // exFAT's

  RootNames(const VolumeLayout& layout, std::span<const std::uint8_t> root,
            const Capitals* exfatCapitals)
      : capitals(exfatCapitals) {
    for (const RootFile& file : ListEntries(layout, root).entries) {
      names.insert(Fold(file.Name()));
      if (capitals) continue;
      names.insert(Fold(file.shortName));
      const auto at = root.subspan(static_cast<std::size_t>(file.main), kName11);
      shortNames.emplace(at.begin(), at.end());
    }
  }
  std::string Fold(std::string_view name) const {
    return capitals ? capitals->Folded(name) : Folded(name);
  }
  // Whether the root holds `name`; takes it when it does not.
  bool Take(const std::string& name) { return !names.insert(Fold(name)).second; }
};

// An exFAT entry set in the root: as it was, or renamed when the root holds its name. Returns the
// name it has there.
std::string ExfatRootRun(const RootFile& file, std::span<const std::uint8_t> set, RootNames& root,
                         Bytes& run) {
  std::string name = file.Name();
  for (int number = 2; root.Take(name); ++number) {
    name = Numbered(file.Name(), file.IsFolder(), number);
  }
  run = name == file.Name() ? Bytes(set.begin(), set.end()) : RenamedSet(set, name, *root.capitals);
  return name;
}

// The entries of a moved file in the root: as they were, with a fresh short name when the root
// holds its short name (the long-name entries given its checksum), or under a new name when the
// root holds its name. Returns the name it has there.
std::string RootRun(const RootFile& file, std::span<const std::uint8_t> entries, RootNames& root,
                    Bytes& run) {
  const auto shortEntry = entries.last(kEntry);
  std::string name11(reinterpret_cast<const char*>(shortEntry.data()), kName11);
  std::string name = file.Name();
  run.assign(entries.begin(), entries.end());
  if (root.names.count(root.Fold(name))) {
    for (int number = 2;; ++number) {
      name = Numbered(file.Name(), file.IsFolder(), number);
      if (!root.names.count(root.Fold(name))) break;
    }
    name11 = FreshShortName(name, file.IsFolder(), root.shortNames);
    run = LongNameEntries(name, name11);
    run.insert(run.end(), shortEntry.begin(), shortEntry.end());
    // The long name gives the case: the short entry's case bits go.
    run[run.size() - kEntry + fat::kCaseFlagsOffset] = 0;
  } else if (root.shortNames.count(name11)) {
    name11 = FreshShortName(name, file.IsFolder(), root.shortNames);
  }
  auto last = std::span(run).last(kEntry);
  std::copy(name11.begin(), name11.end(), last.begin() + fat::kNameOffset);
  const std::uint8_t sum = ShortNameChecksum(&last[fat::kNameOffset]);
  for (std::size_t at = 0; at + kEntry < run.size(); at += kEntry) {
    run[at + fat::kLongChecksumOffset] = sum;
  }
  root.names.insert(root.Fold(name));
  root.names.insert(root.Fold(DisplayShortName(last)));
  root.shortNames.insert(name11);
  return name;
}

// Free clusters for the root to grow by, the first ones after its last, then from the start: free
// in the FAT, or on exFAT in the allocation bitmap (whose clusters follow one another), which
// alone says so there. Nothing when what says so cannot be read.
std::optional<std::vector<std::int64_t>> FreeClusters(volume::Volume& volume,
                                                      const VolumeLayout& layout, FatReader& fat,
                                                      std::int64_t count, ProgressTrack& track) {
  Bytes bitmap;
  if (layout.fileSystem == FileSystem::kExfat) {
    const auto& place = layout.findings.bitmap;
    const auto heap = ClusterFirstSector(layout, place ? place->firstCluster : 0);
    const std::int64_t sectorBytes = layout.bytesPerSector;
    if (!heap || static_cast<std::int64_t>(place->bytes) * 8 < layout.clusterCount) {
      return std::nullopt;
    }
    const auto sectors = static_cast<std::int64_t>(place->bytes + sectorBytes - 1) / sectorBytes;
    const std::int64_t most = std::max<std::int64_t>(kMaxTransferBytes / sectorBytes, 1);
    volume::AlignedBuffer buffer(static_cast<std::size_t>(most * sectorBytes));
    for (std::int64_t s = 0; s < sectors; s += most) {
      const auto piece =
          buffer.bytes().first(static_cast<std::size_t>(std::min(most, sectors - s) * sectorBytes));
      if (ReadSectors(volume, *heap + s, layout.bytesPerSector, piece)) return std::nullopt;
      track.Touched();
      bitmap.insert(bitmap.end(), piece.begin(), piece.end());
    }
  }
  std::vector<std::int64_t> found;
  const std::int64_t first = fat::kFirstDataCluster;
  const std::int64_t end = layout.clusterCount + first;
  const std::int64_t start =
      layout.rootClusterCount > 0 ? layout.rootClusters[layout.rootClusterCount - 1] + 1 : first;
  for (std::int64_t k = 0;
       k < layout.clusterCount && static_cast<std::int64_t>(found.size()) < count; ++k) {
    const std::int64_t c = first + (start - first + k) % (end - first);
    if (!bitmap.empty()) {
      const std::int64_t bit = c - first;
      if (!(bitmap[static_cast<std::size_t>(bit / 8)] >> (bit % 8) & 1)) found.push_back(c);
      continue;
    }
    const auto raw = fat.Entry(c);
    if (!raw) return std::nullopt;
    // A FAT32 entry's top four bits are no part of its value.
    if ((*raw & fat::kClusterMask) == 0) found.push_back(c);
  }
  return found;
}

// Chains `clusters` one after another from `previous` (0: none), the last one ending the chain.
std::optional<Problem> ChainUp(const VolumeLayout& layout, FatTable& table, std::int64_t previous,
                               const std::vector<std::int64_t>& clusters) {
  for (const std::int64_t c : clusters) {
    if (previous != 0) {
      if (auto problem = table.Set(previous, static_cast<std::uint32_t>(c))) return problem;
    }
    previous = c;
  }
  if (clusters.empty()) return std::nullopt;
  return table.Set(
      previous, layout.fileSystem == FileSystem::kExfat ? exfat::kEndOfChain : fat::kClusterMask);
}

// The root grown by `added`: chained after its last cluster in every FAT, counted used.
std::optional<Problem> GrowRoot(const VolumeLayout& now, FatTable& table, SectorChanges& changes,
                                const std::vector<std::int64_t>& added) {
  if (added.empty()) return std::nullopt;
  const std::int64_t last =
      now.rootClusterCount > 0 ? now.rootClusters[now.rootClusterCount - 1] : 0;
  if (auto problem = ChainUp(now, table, last, added)) return problem;
  return CountUsed(now, now.findings.bitmap, changes, added);
}

// What a move back reads and finds before it changes anything: the folder's clusters and
// entries, the root's slots as the moved entries fill them, and whether they had room.
struct MovePlan {
  std::vector<std::int64_t> chain;  // the folder's clusters
  DirectoryCopy outer;              // its entries
  // When the files lie one level further down: the blank folder there, its clusters and entries.
  std::optional<RootFile> inner;
  std::vector<std::int64_t> innerChain;
  DirectoryCopy inside;  // the entries that move: the inner folder's, or the folder's
  std::optional<RootSlots> slots;
  std::int64_t freeSlots = 0;  // before the move
  std::int64_t needed = 0;     // the slots that the moved entries take
  bool roomy = true;
};

Problem RootFull(const MovePlan& plan) {
  Problem problem = PassProblem(ProblemKind::kRootFull);
  problem.detail.at = plan.needed;
  problem.detail.value = plan.freeSlots;
  return problem;
}

// Reads a folder whole: its clusters, and its entries in `copy`. Nothing when it cannot be read.
std::optional<FolderListing> ReadFolder(volume::Volume& volume, const VolumeLayout& now,
                                        FatReader& fat, ProgressTrack& track,
                                        const RootFile& folder, std::vector<std::int64_t>& chain,
                                        DirectoryCopy& copy) {
  const bool exfat = now.fileSystem == FileSystem::kExfat;
  // An exFAT folder's size says how long it is, and its clusters may follow one another without
  // a chain.
  const auto clusters = !exfat ? FolderChain(now, fat, folder.firstCluster)
                        : folder.size <= kMaxFolderBytes ? FileChain(now, fat, folder)
                                                         : std::nullopt;
  if (!clusters || clusters->empty()) return std::nullopt;
  chain = *clusters;
  if (ReadDirectory(volume, now, chain, track, copy)) return std::nullopt;
  if (exfat) copy.bytes.resize(std::min<std::size_t>(copy.bytes.size(), folder.size));
  FolderListing listing = ListEntries(now, copy.bytes);
  if (!listing.complete) return std::nullopt;
  return listing;
}

// Reads the moved-files folder `folder` of the volume analysed as `now`, whose root is `root`,
// and places each of its entries but the virus's in the root's slots, renamed where the root
// holds its name: done.folder, .moved and .stayed say what. A folder that holds nothing of the
// user's but one more blank folder (a worm that moved the root two levels down) gives the entries
// of that one instead. The problem when a folder cannot be read whole.
std::optional<Problem> PlanMove(volume::Volume& volume, const VolumeLayout& now,
                                const Bytes& rootBytes, FatReader& fat, ProgressTrack& track,
                                const Judged& folder, MoveBackReport& done, MovePlan& plan) {
  const bool exfat = now.fileSystem == FileSystem::kExfat;
  done.folder = folder.file.Name();
  const auto outer = ReadFolder(volume, now, fat, track, folder.file, plan.chain, plan.outer);
  if (!outer) return Unreadable(done.folder);
  std::vector<RootFile> users;
  for (const RootFile& file : outer->entries) {
    const auto virus = std::find_if(
        now.findings.judged.begin(), now.findings.judged.end(), [&](const Judged& judged) {
          return judged.folder == done.folder && judged.file.offset == file.offset &&
                 VerdictOf(judged.evidence) == Verdict::kVirus;
        });
    if (virus != now.findings.judged.end()) {
      done.stayed.push_back(*virus);
    } else {
      users.push_back(file);
    }
  }
  if (users.size() == 1 && users.front().IsFolder() && IsBlankName(users.front().Name())) {
    plan.inner = users.front();
    done.innerFolder = plan.inner->Name();
    const auto inner =
        ReadFolder(volume, now, fat, track, *plan.inner, plan.innerChain, plan.inside);
    if (!inner) return Unreadable(done.folder + '\\' + done.innerFolder);
    users = inner->entries;
  } else {
    plan.inside = plan.outer;
  }
  const DirectoryCopy& inside = plan.inside;

  // The root's new entries, in the folder's order; the virus's stay.
  RootSlots& slots = plan.slots.emplace(now, rootBytes);
  const Capitals capitals(exfat ? ReadCapitalsTable(volume, now, rootBytes, track) : Bytes{});
  // The root's entries only, not the rest of its last sector.
  RootNames names(now, slots.bytes(), exfat ? &capitals : nullptr);
  plan.freeSlots = slots.Free();
  for (const RootFile& file : users) {
    Bytes run;
    const auto entries = std::span(inside.bytes)
                             .subspan(static_cast<std::size_t>(file.offset),
                                      static_cast<std::size_t>(file.entryCount * kEntry));
    std::string name =
        exfat ? ExfatRootRun(file, entries, names, run) : RootRun(file, entries, names, run);
    plan.needed += static_cast<std::int64_t>(run.size()) / kEntry;
    plan.roomy = plan.roomy && slots.Put(run).has_value();
    done.moved.push_back({file, std::move(name), file.IsFolder()});
  }
  return std::nullopt;
}

}  // namespace

const Judged* MovedFilesFolder(const RootFindings& findings) {
  for (const Judged& judged : findings.judged) {
    if (judged.folder.empty() && judged.evidence == Evidence::kMovedFilesFolder) return &judged;
  }
  return nullptr;
}

std::optional<Problem> MoveFilesBack(volume::Volume& volume, const VolumeLayout& now,
                                     const Judged& folder, const std::vector<std::string>& keep,
                                     RootEdit& root, SectorChanges& changes, ProgressTrack& track,
                                     Plan& whole, std::optional<Problem>& refused,
                                     std::vector<RemovedFile>& removed) {
  const bool exfat = now.fileSystem == FileSystem::kExfat;
  MoveBackReport& done = whole.moveBack;
  // Everything is read and checked before the first write: the root was, by the analysis.
  FatReader fat(volume, now, &track);
  MovePlan plan;
  if (auto problem = PlanMove(volume, now, root.bytes, fat, track, folder, done, plan)) {
    refused = std::move(problem);
    return std::nullopt;
  }
  if (!plan.roomy) {
    refused = RootFull(plan);
    return std::nullopt;
  }
  const std::vector<std::int64_t>& chain = plan.chain;
  const DirectoryCopy& inside = plan.inside;
  RootSlots& slots = *plan.slots;
  std::vector<std::int64_t> added;
  if (slots.added() > 0) {
    const auto clusters = FreeClusters(volume, now, fat, slots.added(), track);
    if (!clusters) return PassProblem(ProblemKind::kReadFailed);
    if (static_cast<std::int64_t>(clusters->size()) < slots.added()) {
      refused = RootFull(plan);
      return std::nullopt;
    }
    added = *clusters;
  }

  // The folder goes when only the virus's files stay in it, none of them kept, with their chains,
  // once nothing else of the volume is proved to own a cluster of them.
  RemovalPlan removal;
  std::vector<std::int64_t> fatChained;  // the freed clusters that the FAT chains
  const bool onlyFiles = std::none_of(done.stayed.begin(), done.stayed.end(), [&](const Judged& j) {
    return j.file.IsFolder() || std::find(keep.begin(), keep.end(), j.Path()) != keep.end();
  });
  if (onlyFiles) {
    removal.rootOffsets.insert(folder.file.offset);
    removal.names.push_back(done.folder);
    bool whole = true;
    for (const std::int64_t c : chain) whole = whole && !removal.freed.Add(c, 0);
    if (!folder.file.noFatChain) fatChained = chain;
    // The blank folder inside, which the files came out of, goes with it.
    if (plan.inner) {
      const std::size_t owner = removal.names.size();
      removal.names.push_back(done.folder + '\\' + done.innerFolder);
      for (const std::int64_t c : plan.innerChain) {
        whole = whole && !removal.freed.Add(c, owner);
        if (!plan.inner->noFatChain) fatChained.push_back(c);
      }
    }
    for (const Judged& judged : done.stayed) {
      const std::size_t owner = removal.names.size();
      removal.names.push_back(judged.Path());
      const auto clusters = FileChain(now, fat, judged.file);
      whole = whole && clusters;
      for (const std::int64_t c : clusters.value_or(std::vector<std::int64_t>{})) {
        whole = whole && !removal.freed.Add(c, owner);
        if (!judged.file.noFatChain) fatChained.push_back(c);
      }
      if (!whole) {
        done.folderKept = PassProblem(ProblemKind::kLeftoverChain, DetailKind::kChainLength);
        done.folderKept->detail.name = judged.Path();
        break;
      }
    }
    removal.freed.Seal();
    if (whole) {
      done.folderKept = ProveNothingElseOwns(volume, now, slots.bytes(), removal, track);
    }
    done.folderRemoved = !done.folderKept;
  }

  // The root: its new bytes, and the clusters it grows by.
  if (done.folderRemoved) slots.MarkRemoved(folder.file.offset, folder.file.entryCount);
  root.bytes = slots.bytes();
  root.added = added;
  const std::int64_t sectorBytes = now.bytesPerSector;
  const auto sectorSize = static_cast<std::size_t>(sectorBytes);

  // The old entries in the folder, those of the virus's files too when it goes with them.
  const auto markRemoved = [&](const DirectoryCopy& in, const RootFile& file) {
    for (int i = 0; i < file.entryCount; ++i) {
      const std::int64_t at = file.offset + i * kEntry;
      const auto index = static_cast<std::size_t>(at / sectorBytes);
      const std::int64_t sector = in.sectors.at(index);
      changes.Hold(sector, std::span(in.bytes).subspan(index * sectorSize, sectorSize));
      EntryFormatOf(now.fileSystem).MarkRemoved(changes.Bytes(sector, at % sectorBytes, kEntry));
    }
  };
  if (done.folderRemoved) {
    for (const Judged& judged : done.stayed) {
      const auto entries = std::span(plan.outer.bytes)
                               .subspan(static_cast<std::size_t>(judged.file.offset),
                                        static_cast<std::size_t>(judged.file.entryCount * kEntry));
      removed.push_back({judged, {entries.begin(), entries.end()}});
      markRemoved(plan.outer, judged.file);
    }
    if (plan.inner) markRemoved(plan.outer, *plan.inner);
  }
  // Each moved folder's ".." names the root now (exFAT's folders have none).
  for (const MovedBack& moved : done.moved) {
    markRemoved(inside, moved.file);
    if (exfat || !moved.folder || moved.file.firstCluster == 0) continue;
    const auto first = ClusterFirstSector(now, moved.file.firstCluster);
    if (!first) continue;
    if (auto problem = changes.Load(*first)) return problem;
    const auto dotDot = changes.Bytes(*first, kEntry, kEntry);
    if (std::memcmp(dotDot.data(), fat::kDotDotName.data(), kName11) != 0) continue;
    fat::Write16(dotDot, fat::kFirstClusterLowOffset, 0);
    if (now.fileSystem == FileSystem::kFat32) fat::Write16(dotDot, fat::kFirstClusterHighOffset, 0);
  }

  // The FATs, FSInfo: the root's new clusters chained after its last, the folder's freed.
  FatTable table(now, changes);
  if (auto problem = GrowRoot(now, table, changes, added)) return problem;
  if (done.folderRemoved) {
    for (const std::int64_t c : fatChained) {
      if (auto problem = table.Set(c, 0)) return problem;
    }
    if (auto problem = CountFree(now, now.findings.bitmap, changes, removal.freed.Clusters())) {
      return problem;
    }
  }
  done.clustersAdded = static_cast<std::int64_t>(added.size());
  return std::nullopt;
}

std::optional<Problem> PutBackFiles(volume::Volume& volume, const VolumeLayout& now,
                                    const std::vector<const QuarantinedFile*>& files,
                                    RootEdit& root, SectorChanges& changes, ProgressTrack& track,
                                    std::vector<MovedBack>& restored) {
  const bool exfat = now.fileSystem == FileSystem::kExfat;
  FatReader fat(volume, now, &track);
  RootSlots slots(now, root.bytes);
  const Capitals capitals(exfat ? ReadCapitalsTable(volume, now, root.bytes, track) : Bytes{});
  RootNames names(now, slots.bytes(), exfat ? &capitals : nullptr);
  const std::int64_t clusterBytes = now.ClusterBytes();
  // Each file's entries as they were, in free slots of the root, renamed where the root holds the
  // name; then as many free clusters as their content takes.
  // A file that is in the root already, under its name or a numbered one with its bytes (a restore
  // that was cut short and finished since), is not put back twice.
  std::vector<const QuarantinedFile*> todo;
  const std::vector<RootFile> present = ListEntries(now, root.bytes).entries;
  for (const QuarantinedFile* file : files) {
    const std::string name = file->longName.empty() ? file->shortName : file->longName;
    const auto there = std::find_if(present.begin(), present.end(), [&](const RootFile& entry) {
      if (entry.IsFolder() || entry.size != file->size) return false;
      bool named = names.Fold(entry.Name()) == names.Fold(name);
      for (int number = 2; !named && number < 100; ++number) {
        named = names.Fold(entry.Name()) == names.Fold(Numbered(name, false, number));
      }
      return named && Sha256Of(ReadFileContent(volume, now, entry, track)) == file->digest;
    });
    if (there == present.end()) {
      todo.push_back(file);
    } else {
      restored.push_back({*there, there->Name(), false});
    }
  }
  std::vector<std::int64_t> places;
  std::vector<std::size_t> lengths;
  std::int64_t wanted = 0;
  for (const QuarantinedFile* file : todo) {
    RootFile was;
    was.longName = file->longName;
    was.shortName = file->shortName;
    was.attributes = file->attributes;
    was.size = file->size;
    Bytes run;
    std::string name = exfat ? ExfatRootRun(was, file->entries, names, run)
                             : RootRun(was, file->entries, names, run);
    const auto at = slots.Put(run);
    if (!at) {
      Problem problem = PassProblem(ProblemKind::kRootFull);
      problem.detail.at = static_cast<std::int64_t>(run.size()) / kEntry;
      problem.detail.value = slots.Free();
      return problem;
    }
    places.push_back(*at);
    lengths.push_back(run.size());
    wanted +=
        static_cast<std::int64_t>((file->size + static_cast<std::uint64_t>(clusterBytes) - 1) /
                                  static_cast<std::uint64_t>(clusterBytes));
    restored.push_back({was, std::move(name), false});
  }
  const auto free = FreeClusters(volume, now, fat, wanted + slots.added(), track);
  if (!free) return PassProblem(ProblemKind::kReadFailed);
  if (static_cast<std::int64_t>(free->size()) < wanted + slots.added()) {
    Problem problem = PassProblem(ProblemKind::kVolumeFull);
    problem.detail.at = wanted + slots.added();
    problem.detail.value = static_cast<std::int64_t>(free->size());
    return problem;
  }
  // The root's growth first: the clusters after its last are the first found.
  root.added.assign(free->begin(), free->begin() + slots.added());
  FatTable table(now, changes);
  if (auto problem = GrowRoot(now, table, changes, root.added)) return problem;
  auto next = free->begin() + slots.added();
  const std::int64_t sectorBytes = now.bytesPerSector;
  std::vector<std::int64_t> used;
  for (std::size_t i = 0; i < todo.size(); ++i) {
    const QuarantinedFile& file = *todo[i];
    const auto count =
        static_cast<std::int64_t>((file.size + static_cast<std::uint64_t>(clusterBytes) - 1) /
                                  static_cast<std::uint64_t>(clusterBytes));
    const std::vector<std::int64_t> clusters(next, next + count);
    next += count;
    // The content, cluster by cluster; what follows its end in the last cluster is zeros.
    for (std::int64_t k = 0; k < count; ++k) {
      const auto first = ClusterFirstSector(now, clusters[static_cast<std::size_t>(k)]);
      if (!first) return PassProblem(ProblemKind::kReadFailed);
      for (std::int64_t s = 0; s < now.sectorsPerCluster; ++s) {
        if (auto problem = changes.Load(*first + s)) return problem;
        const auto sector = changes.After(*first + s);
        std::fill(sector.begin(), sector.end(), 0);
        const std::int64_t from = k * clusterBytes + s * sectorBytes;
        if (from < static_cast<std::int64_t>(file.bytes.size())) {
          const auto length = std::min<std::int64_t>(
              sectorBytes, static_cast<std::int64_t>(file.bytes.size()) - from);
          std::copy_n(file.bytes.begin() + from, length, sector.begin());
        }
      }
    }
    if (auto problem = ChainUp(now, table, 0, clusters)) return problem;
    used.insert(used.end(), clusters.begin(), clusters.end());
    // The entries name the new clusters, and show the file: no hidden or system bit.
    const auto run = slots.Run(places[i], lengths[i]);
    const std::uint32_t firstCluster =
        clusters.empty() ? 0 : static_cast<std::uint32_t>(clusters.front());
    if (exfat) {
      const std::uint16_t attributes = fat::Read16(run, exfat::kFileAttributesOffset);
      fat::Write16(run, exfat::kFileAttributesOffset,
                   static_cast<std::uint16_t>(attributes & ~fat::kAttrHiddenOrSystem));
      const auto stream = run.subspan(kEntry, kEntry);
      stream[exfat::kSecondaryFlagsOffset] &= static_cast<std::uint8_t>(~exfat::kNoFatChain);
      fat::Write32(stream, exfat::kFirstClusterOffset, firstCluster);
      fat::Write64(stream, exfat::kValidDataLengthOffset, file.size);
      fat::Write64(stream, exfat::kDataLengthOffset, file.size);
      fat::Write16(run, exfat::kSetChecksumOffset, SetChecksum(run));
    } else {
      const auto entry = run.last(kEntry);
      entry[fat::kAttributeOffset] &= static_cast<std::uint8_t>(~fat::kAttrHiddenOrSystem);
      fat::Write16(entry, fat::kFirstClusterLowOffset,
                   static_cast<std::uint16_t>(firstCluster & 0xFFFF));
      fat::Write16(entry, fat::kFirstClusterHighOffset,
                   now.fileSystem == FileSystem::kFat32
                       ? static_cast<std::uint16_t>(firstCluster >> 16)
                       : std::uint16_t{0});
    }
  }
  if (auto problem = CountUsed(now, now.findings.bitmap, changes, used)) return problem;
  root.bytes = slots.bytes();
  return std::nullopt;
}

std::optional<Problem> HoldRoot(const VolumeLayout& now, const RootEdit& root,
                                SectorChanges& changes) {
  const std::int64_t sectorBytes = now.bytesPerSector;
  const auto sectorSize = static_cast<std::size_t>(sectorBytes);
  const Bytes& image = root.bytes;
  const Bytes& read = root.read.bytes;
  for (std::size_t i = 0; i < root.read.sectors.size(); ++i) {
    const std::size_t from = i * sectorSize;
    if (from >= image.size() || from >= read.size()) break;
    const std::size_t length = std::min({sectorSize, image.size() - from, read.size() - from});
    if (std::equal(image.begin() + static_cast<std::ptrdiff_t>(from),
                   image.begin() + static_cast<std::ptrdiff_t>(from + length),
                   read.begin() + static_cast<std::ptrdiff_t>(from))) {
      continue;
    }
    if (read.size() - from < sectorSize) {
      // The root's last sector, held past its entries: read whole.
      if (auto problem = changes.Load(root.read.sectors[i])) return problem;
    } else {
      changes.Hold(root.read.sectors[i], std::span(read).subspan(from, sectorSize));
    }
    std::copy_n(image.begin() + static_cast<std::ptrdiff_t>(from), length,
                changes.After(root.read.sectors[i]).begin());
  }
  const std::int64_t clusterBytes = now.ClusterBytes();
  const auto rootBytes = static_cast<std::int64_t>(read.size());
  for (std::size_t k = 0; k < root.added.size(); ++k) {
    const auto first = ClusterFirstSector(now, root.added[k]);
    if (!first) return PassProblem(ProblemKind::kReadFailed);
    for (std::int64_t s = 0; s < now.sectorsPerCluster; ++s) {
      if (auto problem = changes.Load(*first + s)) return problem;
      const std::int64_t from =
          rootBytes + static_cast<std::int64_t>(k) * clusterBytes + s * sectorBytes;
      std::copy_n(image.begin() + static_cast<std::ptrdiff_t>(from), sectorSize,
                  changes.After(*first + s).begin());
    }
  }
  return std::nullopt;
}

}  // namespace kestrova::repair
