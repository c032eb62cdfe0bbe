// SPDX-License-Identifier: GPL-3.0-or-later
// The root directory of FAT12, FAT16 and FAT32: 8.3 entries with long names in front of them.
#include <algorithm>
#include <array>
#include <span>

#include "format/codepage.h"
#include "format/entries.h"
#include "format/fat.h"
#include "format/fat_names.h"
#include "format/problems.h"
#include "repair/cross_links.h"
#include "repair/directory.h"
#include "repair/engine.h"
#include "repair/label.h"

namespace kestrova::repair {
namespace {

using namespace fat;

// A restored entry's old bytes are one whole directory entry.
static_assert(std::tuple_size_v<decltype(RestoredEntry::before)> == kDirEntrySize);

class FatWalker final : public RootWalker {
 public:
  FatWalker(const VolumeLayout& layout, RootFindings& findings,
            std::vector<RestoredEntry>* restored, RootEntries* entries)
      : layout_(layout),
        extents_(RootExtents(layout)),
        rootClusters_(layout),
        findings_(findings),
        restored_(restored),
        entries_(entries) {}

  // Every 32-byte slot is visited, also after the end-of-directory mark.
  std::optional<Problem> Look(std::span<std::uint8_t> window, std::int64_t offset, bool,
                              std::size_t& done) override {
    for (done = 0; done + kDirEntrySize <= window.size(); done += kDirEntrySize) {
      const auto entry = window.subspan(done, kDirEntrySize);
      const std::int64_t at = offset + static_cast<std::int64_t>(done);
      const std::uint8_t lead = entry[kNameOffset];
      const std::uint8_t attribute = entry[kAttributeOffset];
      if (lead == kEndOfDirectory) ended_ = true;
      // Past the end, a slot with no attributes is neither a folder nor part of a long name: the
      // most common slot of a large root. A run of them is passed over at once.
      if (ended_ && attribute == 0) {
        while (done + 2 * kDirEntrySize <= window.size() &&
               window[done + kDirEntrySize + kAttributeOffset] == 0) {
          done += kDirEntrySize;
        }
        longName_.Reset();
        continue;
      }
      if (auto problem = CrossLink(entry)) return problem;
      if (attribute == kAttrLongName && lead != kDeletedEntry) {
        longName_.Add(entry, at);
        continue;
      }
      const bool deleted = lead == kDeletedEntry;
      const bool live = !deleted && !ended_;
      if (live && (attribute & kAttrVolumeId)) {
        if (findings_.label.empty()) findings_.label = FatLabelText(entry, kNameOffset);
        longName_.Reset();
        continue;
      }
      // A hidden folder, or a hidden file in use, is restored here; whether a file stays shown,
      // and a folder in use, is the verdict's to say once the whole root has been seen.
      const bool hiddenFolder = IsHiddenFolderEntry(entry);
      const bool hiddenFile = live && IsHiddenFileEntry(entry);
      if (!hiddenFolder && !hiddenFile && !(live && entries_)) {
        longName_.Reset();
        continue;
      }
      LongName name = longName_.Take(entry);
      const bool hiddenEntry = hiddenFolder || hiddenFile;
      std::string longName = hiddenEntry && !deleted ? name.text : std::string();
      if (live && entries_) Record(DecodeFatFile(layout_.fileSystem, entry, at, std::move(name)));
      if (!hiddenEntry) continue;
      HiddenEntry hidden = PlaceOf(layout_, extents_, at);
      hidden.offset = at;
      hidden.folder = hiddenFolder;
      // A folder's line shows its short name in capitals, a file's as Windows shows it.
      hidden.shortName =
          (attribute & kAttrDirectory) ? DisplayShortName(entry) : ShownShortName(entry);
      hidden.longName = std::move(longName);
      hidden.attribute = attribute;
      hidden.deleted = deleted;
      hidden.afterEnd = ended_;
      findings_.hidden.push_back(std::move(hidden));
      if (restored_) {
        restored_->push_back(RestoredEntry::Of(at, entry));
        FatEntryFormat().SetAttributes(entry, hiddenFolder
                                                  ? std::uint16_t{RestoredAttribute(attribute)}
                                                  : ShownFileAttributes(attribute));
      }
    }
    return std::nullopt;
  }

 private:
  // A file or folder in use, as the format decodes it, for the verdicts.
  void Record(RootFile file) {
    const HiddenEntry place = PlaceOf(layout_, extents_, file.main);
    file.sector = place.sector;
    file.index = place.index;
    if (file.IsFolder()) {
      entries_->AddFolder(std::move(file));
    } else {
      entries_->AddFile(std::move(file));
    }
  }

  // A root whose chain runs into the clusters of a file or folder that the root itself lists is
  // cross-linked: rewriting the root would rewrite that file's data. A fixed root has no chain.
  std::optional<Problem> CrossLink(std::span<const std::uint8_t> entry) const {
    const std::uint8_t lead = entry[kNameOffset];
    if (ended_ || !layout_.RootHasChain() || lead == kDeletedEntry ||
        (entry[kAttributeOffset] & kAttrVolumeId)) {  // also long names
      return std::nullopt;
    }
    const std::uint32_t first = EntryFirstCluster(layout_.fileSystem, entry);
    if (!rootClusters_.Contains(first)) return std::nullopt;
    return DamagedChain({DetailKind::kNamedCrossLink, 0, first, DisplayShortName(entry)});
  }

  const VolumeLayout& layout_;
  const std::vector<RootExtent> extents_;
  const RootClusterSet rootClusters_;
  RootFindings& findings_;
  std::vector<RestoredEntry>* restored_;
  RootEntries* entries_;
  LongNameCollector longName_;
  bool ended_ = false;
};

}  // namespace

std::unique_ptr<RootWalker> MakeFatRootWalker(const VolumeLayout& layout, RootFindings& findings,
                                              std::vector<RestoredEntry>* restored,
                                              RootEntries* entries) {
  return std::make_unique<FatWalker>(layout, findings, restored, entries);
}

}  // namespace kestrova::repair
