// The root directory of exFAT: entry sets of a File entry and its secondaries, each set guarded by
// a checksum that a changed attribute makes the pass recompute.
#include <algorithm>
#include <string>
#include <utility>

#include "repair/codepage.h"
#include "repair/cross_links.h"
#include "repair/directory.h"
#include "repair/exfat.h"
#include "repair/fat.h"
#include "repair/problems.h"

namespace kestrova::repair {
namespace {

using namespace exfat;
using fat::Read16;
using fat::Read32;
using fat::Write16;

constexpr std::uint16_t kHiddenOrSystem = kAttrHidden | kAttrSystem;
constexpr std::uint16_t kCleared = kAttrHidden | kAttrSystem | kAttrReadOnly;

bool IsHiddenFolder(std::uint16_t attributes) {
  return (attributes & kAttrDirectory) && (attributes & kHiddenOrSystem) &&
         !(attributes & kAttrReserved);
}

// The set checksum over the File entry and its secondaries, skipping the checksum's own bytes.
std::uint16_t SetChecksum(std::span<const std::uint8_t> set) {
  std::uint16_t sum = 0;
  for (std::size_t i = 0; i < set.size(); ++i) {
    if (i == kSetChecksumOffset || i == kSetChecksumOffset + 1) continue;
    sum = static_cast<std::uint16_t>(((sum & 1) ? 0x8000 : 0) + (sum >> 1) + set[i]);
  }
  return sum;
}

// Walks the in-use entries of the root up to the end-of-directory entry. Calls `onSet` with the
// offset and the size of each whole, consistent File entry set and `onEntry` for every other
// in-use entry; returns the problem when a set is cut off or its checksum is wrong.
template <typename OnSet, typename OnEntry>
std::optional<Problem> Walk(std::span<const std::uint8_t> root, OnSet onSet, OnEntry onEntry) {
  for (std::size_t offset = 0; offset + kEntrySize <= root.size();) {
    const std::uint8_t type = root[offset + kEntryTypeOffset];
    if (type == kEndOfDirectory) break;
    if (type != kFile) {
      if (type & kInUse) onEntry(offset, root.subspan(offset, kEntrySize));
      offset += kEntrySize;
      continue;
    }
    const std::uint32_t secondaries = root[offset + kSecondaryCountOffset];
    const std::size_t setBytes = (1 + std::size_t{secondaries}) * kEntrySize;
    const auto entry = static_cast<std::int64_t>(offset / kEntrySize);
    if (secondaries < kMinSecondaryCount || secondaries > kMaxSecondaryCount ||
        offset + setBytes > root.size()) {
      return DamagedDirectory(DetailKind::kIncompleteSet, entry);
    }
    const auto set = root.subspan(offset, setBytes);
    for (std::size_t i = 1; i <= secondaries; ++i) {
      const std::uint8_t secondary = set[i * kEntrySize + kEntryTypeOffset];
      const bool inUseSecondary = (secondary & (kInUse | kSecondary)) == (kInUse | kSecondary);
      if (!inUseSecondary || (i == 1 && secondary != kStreamExtension)) {
        return DamagedDirectory(DetailKind::kIncompleteSet, entry);
      }
    }
    if (SetChecksum(set) != Read16(set, kSetChecksumOffset)) {
      return DamagedDirectory(DetailKind::kSetChecksum, entry);
    }
    onSet(offset, setBytes);
    for (std::size_t i = 1; i <= secondaries; ++i) {
      onEntry(offset + i * kEntrySize, set.subspan(i * kEntrySize, kEntrySize));
    }
    offset += setBytes;
  }
  return std::nullopt;
}

// The name of a set: its name entries' characters, as long as the stream extension says.
std::string NameOf(std::span<const std::uint8_t> set) {
  const std::size_t length = set[kEntrySize + kNameLengthOffset];
  std::u16string name;
  for (std::size_t entry = 2; entry * kEntrySize < set.size() && name.size() < length; ++entry) {
    const auto bytes = set.subspan(entry * kEntrySize, kEntrySize);
    if (bytes[kEntryTypeOffset] != kFileName) break;
    for (std::size_t i = 0; i < kFileNameCharsPerEntry && name.size() < length; ++i) {
      name += static_cast<char16_t>(Read16(bytes, kFileNameOffset + 2 * i));
    }
  }
  return Utf16ToUtf8(name);
}

// Refuses an entry that owns a cluster of the root without going through the FAT: the first
// cluster of every entry that owns clusters, and every cluster of a contiguous run (allocation
// bitmap, up-case table, a stream extension that the FAT does not chain) of as many clusters as
// its data needs; a run of no bytes owns none. The FAT's links from there on are the FAT scan's.
// `set` is the File entry set that the entry belongs to, or empty; `number` is the entry number
// of the set's File entry, or of the entry itself.
std::optional<Problem> CheckOwnedClusters(std::span<const std::uint8_t> entry,
                                          std::span<const std::uint8_t> set, std::int64_t number,
                                          const RootClusterSet& root, std::int64_t clusterBytes) {
  const std::uint8_t type = entry[kEntryTypeOffset];
  const bool contiguous =
      type == kAllocationBitmap || type == kUpcaseTable ||
      (type == kStreamExtension && (entry[kSecondaryFlagsOffset] & kNoFatChain));
  if (!contiguous && type != kStreamExtension) return std::nullopt;
  const std::int64_t first = Read32(entry, kFirstClusterOffset);
  std::int64_t clash = 0;
  if (!contiguous) {
    clash = root.Contains(first) ? first : 0;
  } else if (const std::uint64_t length = fat::Read64(entry, kDataLengthOffset); length != 0) {
    // At most 2^55 clusters of 512 bytes: the sum stays far from the limits of 64 bits.
    const auto clusters =
        static_cast<std::int64_t>((length - 1) / static_cast<std::uint64_t>(clusterBytes));
    clash = root.FirstWithin(first, first + clusters);
  }
  if (clash == 0) return std::nullopt;
  const std::string name = set.empty() ? std::string() : NameOf(set);
  if (contiguous) return DamagedChain({DetailKind::kContiguousCrossLink, number, clash, name});
  if (name.empty()) return DamagedChain({DetailKind::kEntryCrossLink, number, clash, {}});
  return DamagedChain({DetailKind::kNamedCrossLink, number, clash, name});
}

class ExfatRoot final : public RootDirectory {
 public:
  // The sets must be whole and their checksums right; no in-use entry may own a cluster of the
  // root's own chain.
  std::optional<Problem> Check(const VolumeLayout& layout) const override {
    const RootClusterSet rootClusters(layout);
    const auto root = layout.root.bytes();
    std::size_t setOffset = 0, setSize = 0;  // the set whose secondaries follow
    std::optional<Problem> crossLink;
    auto problem = Walk(
        root,
        [&](std::size_t offset, std::size_t size) {
          setOffset = offset;
          setSize = size;
        },
        [&](std::size_t offset, std::span<const std::uint8_t> entry) {
          if (crossLink) return;
          const bool inSet = offset > setOffset && offset < setOffset + setSize;
          const std::size_t number = (inSet ? setOffset : offset) / kEntrySize;
          crossLink = CheckOwnedClusters(
              entry, inSet ? root.subspan(setOffset, setSize) : std::span<const std::uint8_t>(),
              static_cast<std::int64_t>(number), rootClusters, layout.ClusterBytes());
        });
    return problem ? problem : crossLink;
  }

  std::vector<HiddenFolder> List(const VolumeLayout& layout) const override {
    std::vector<HiddenFolder> found;
    const auto extents = RootExtents(layout);
    const auto root = layout.root.bytes();
    Walk(
        root,
        [&](std::size_t offset, std::size_t size) {
          const auto set = root.subspan(offset, size);
          const std::uint16_t attributes = Read16(set, kFileAttributesOffset);
          if (!IsHiddenFolder(attributes)) return;
          HiddenFolder folder = PlaceOf(layout, extents, offset);
          folder.longName = NameOf(set);
          folder.attribute = attributes;
          found.push_back(std::move(folder));
        },
        [](std::size_t, std::span<const std::uint8_t>) {});
    return found;
  }

  std::vector<std::size_t> Restore(std::span<std::uint8_t> root) const override {
    // The sets to restore, found before anything changes: a damaged root (which Check refuses)
    // is left as it is.
    std::vector<std::pair<std::size_t, std::size_t>> sets;
    const auto problem = Walk(
        root,
        [&](std::size_t offset, std::size_t size) {
          if (IsHiddenFolder(Read16(root.subspan(offset, size), kFileAttributesOffset))) {
            sets.emplace_back(offset, size);
          }
        },
        [](std::size_t, std::span<const std::uint8_t>) {});
    if (problem) return {};
    std::vector<std::size_t> changed;
    for (const auto& [offset, size] : sets) {
      const auto set = root.subspan(offset, size);
      const std::uint16_t attributes = Read16(set, kFileAttributesOffset);
      Write16(set, kFileAttributesOffset, static_cast<std::uint16_t>(attributes & ~kCleared));
      Write16(set, kSetChecksumOffset, SetChecksum(set));
      changed.push_back(offset);
    }
    return changed;
  }
};

}  // namespace

const RootDirectory& ExfatRootDirectory() {
  static const ExfatRoot root;
  return root;
}

}  // namespace kestrova::repair
