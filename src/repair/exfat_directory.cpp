// SPDX-License-Identifier: GPL-3.0-or-later
// The root directory of exFAT: entry sets of a File entry and its secondaries, each set guarded by
// a checksum that a changed attribute makes the pass recompute.
#include <algorithm>
#include <string>
#include <utility>

#include "format/codepage.h"
#include "format/entries.h"
#include "format/exfat.h"
#include "format/exfat_sets.h"
#include "format/fat.h"
#include "format/problems.h"
#include "repair/cross_links.h"
#include "repair/directory.h"

namespace kestrova::repair {
namespace {

using namespace exfat;
using fat::Read16;
using fat::Read32;
using fat::Write16;

bool IsHiddenFolder(std::uint16_t attributes) {
  return IsHiddenFolderAttributes(attributes, kAttrReserved);
}

// The number of the entry at a root offset.
std::int64_t EntryNumber(std::int64_t offset) {
  return offset / static_cast<std::int64_t>(kEntrySize);
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

// A restored set changes its File entry only (attributes and checksum): its old bytes are that
// entry's.
static_assert(std::tuple_size_v<decltype(RestoredEntry::before)> == kEntrySize &&
              kFileAttributesOffset + 2 <= kEntrySize && kSetChecksumOffset + 2 <= kEntrySize);

class ExfatWalker final : public RootWalker {
 public:
  ExfatWalker(const VolumeLayout& layout, RootFindings& findings,
              std::vector<RestoredEntry>* restored, RootEntries* entries)
      : layout_(layout),
        extents_(RootExtents(layout)),
        rootClusters_(layout),
        findings_(findings),
        restored_(restored),
        entries_(entries) {}

  // The in-use entries up to the end-of-directory entry: no entry may own a cluster of the root's
  // own chain (the walk refuses sets that are not whole or fail their checksums).
  std::optional<Problem> Look(std::span<std::uint8_t> window, std::int64_t offset, bool last,
                              std::size_t& done) override {
    return walk_->Look(window, offset, last, done, [this](WalkedEntry& walked) {
      return walked.set ? LookAtSet(walked.offset, walked.bytes, walked.shape)
                        : LookAtEntry(walked.offset, walked.bytes);
    });
  }

 private:
  // An in-use entry outside a set, or a secondary of the set `set` at entry `setAt`.
  std::optional<Problem> LookAtEntry(std::int64_t at, std::span<const std::uint8_t> entry,
                                     std::span<const std::uint8_t> set = {},
                                     std::int64_t setAt = 0) {
    const std::uint8_t type = entry[kEntryTypeOffset];
    if (type == kVolumeLabel && !labelSeen_) {
      findings_.label = ExfatLabelText(entry);
      labelSeen_ = true;
    }
    // The allocation bitmap of the FAT in use (a volume with two FATs has one for each).
    const std::int32_t ofFat = (entry[kBitmapFlagsOffset] & kBitmapOfSecondFat) ? 1 : 0;
    if (type == kAllocationBitmap && ofFat == layout_.activeFat && !findings_.bitmap) {
      findings_.bitmap =
          BitmapPlace{Read32(entry, kFirstClusterOffset), fat::Read64(entry, kDataLengthOffset)};
    }
    return CheckOwnedClusters(entry, set, EntryNumber(set.empty() ? at : setAt), rootClusters_,
                              layout_.ClusterBytes());
  }

  // A whole set whose checksum is right, and its shape.
  std::optional<Problem> LookAtSet(std::int64_t at, std::span<std::uint8_t> set,
                                   const SetShape& shape) {
    for (std::size_t i = 1; i < set.size() / kEntrySize; ++i) {
      const std::int64_t entryAt = at + static_cast<std::int64_t>(i * kEntrySize);
      if (auto problem = LookAtEntry(entryAt, set.subspan(i * kEntrySize, kEntrySize), set, at)) {
        return problem;
      }
    }
    const std::uint16_t attributes = Read16(set, kFileAttributesOffset);
    if (entries_) Record(at, set, shape);
    // A hidden folder, or a hidden file, is restored here; whether a file stays shown, and a
    // folder, is the verdict's to say once the whole root has been seen.
    const bool folder = IsHiddenFolder(attributes);
    if (!folder && !IsHiddenFileAttributes(attributes, kAttrReserved)) return std::nullopt;
    HiddenEntry hidden = PlaceOf(layout_, extents_, at);
    hidden.offset = at;
    hidden.folder = folder;
    hidden.longName = NameOf(set);
    hidden.attribute = attributes;
    if (shape.unknownCritical != 0) {
      if (folder) {
        findings_.leftAlone.push_back(
            {std::move(hidden), LeftAloneReason::kUnknownCriticalEntry, shape.unknownCritical});
      }
      return std::nullopt;
    }
    findings_.hidden.push_back(std::move(hidden));
    if (restored_) {
      restored_->push_back(RestoredEntry::Of(at, set));
      ExfatEntryFormat().SetAttributes(
          set, folder ? RestoredAttributes(attributes) : ShownFileAttributes(attributes));
    }
    return std::nullopt;
  }

  // A file or folder at root offset `at`, as the format decodes it, for the verdicts. An entry
  // whose set holds a critical entry that this program does not know is not one it could change
  // or remove: it is left out.
  void Record(std::int64_t at, std::span<const std::uint8_t> set, const SetShape& shape) {
    if (shape.unknownCritical != 0) return;
    RootFile file = DecodeExfatSet(set, at);
    const HiddenEntry place = PlaceOf(layout_, extents_, at);
    file.sector = place.sector;
    file.index = place.index;
    if (file.IsFolder()) {
      entries_->AddFolder(std::move(file));
    } else {
      entries_->AddFile(std::move(file));
    }
  }

  const VolumeLayout& layout_;
  const std::vector<RootExtent> extents_;
  const RootClusterSet rootClusters_;
  RootFindings& findings_;
  std::vector<RestoredEntry>* restored_;
  RootEntries* entries_;
  const std::unique_ptr<DirectoryWalk> walk_ = MakeDirectoryWalk(layout_.fileSystem);
  bool labelSeen_ = false;
};

}  // namespace

std::unique_ptr<RootWalker> MakeExfatRootWalker(const VolumeLayout& layout, RootFindings& findings,
                                                std::vector<RestoredEntry>* restored,
                                                RootEntries* entries) {
  return std::make_unique<ExfatWalker>(layout, findings, restored, entries);
}

}  // namespace kestrova::repair
