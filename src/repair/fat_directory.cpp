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

  // Every short entry is judged, also after the end-of-directory mark.
  std::optional<Problem> Look(std::span<std::uint8_t> window, std::int64_t offset, bool last,
                              std::size_t& done) override {
    return walk_->Look(window, offset, last, done,
                       [this](WalkedEntry& walked) { return Judge(walked); });
  }

 private:
  std::optional<Problem> Judge(WalkedEntry& walked) {
    const auto entry = walked.bytes;
    const std::int64_t at = walked.offset;
    const std::uint8_t attribute = entry[kAttributeOffset];
    const bool deleted = walked.deleted;
    const bool live = !deleted && !walked.afterEnd;
    if (auto problem = CrossLink(entry, live)) return problem;
    if (live && (attribute & kAttrVolumeId)) {
      if (findings_.label.empty()) findings_.label = FatLabelText(entry, kNameOffset);
      return std::nullopt;
    }
    // A hidden folder, or a hidden file in use, is restored here; whether a file stays shown,
    // and a folder in use, is the verdict's to say once the whole root has been seen.
    const bool hiddenFolder = IsHiddenFolderEntry(entry);
    const bool hiddenFile = live && IsHiddenFileEntry(entry);
    LongName& name = walked.name;
    const bool hiddenEntry = hiddenFolder || hiddenFile;
    std::string longName = hiddenEntry && !deleted ? name.text : std::string();
    // A folder's line shows its short name in capitals, a file's as Windows shows it; the name is
    // decoded once for the line and the verdicts.
    std::string shortName;
    if (hiddenEntry) {
      shortName = (attribute & kAttrDirectory) ? DisplayShortName(entry) : ShownShortName(entry);
    }
    // Where the short entry lies, found once for the line and the verdicts.
    HiddenEntry hidden =
        (live && entries_) || hiddenEntry ? PlaceOf(layout_, extents_, at) : HiddenEntry{};
    if (live && entries_) {
      RootFile file = DecodeFatFile(layout_.fileSystem, entry, at, std::move(name),
                                    hiddenEntry ? &shortName : nullptr);
      file.sector = hidden.sector;
      file.index = hidden.index;
      Record(std::move(file));
    }
    if (!hiddenEntry) return std::nullopt;
    hidden.offset = at;
    hidden.folder = hiddenFolder;
    hidden.shortName = std::move(shortName);
    hidden.longName = std::move(longName);
    hidden.attribute = attribute;
    hidden.deleted = deleted;
    hidden.afterEnd = walked.afterEnd;
    findings_.hidden.push_back(std::move(hidden));
    if (restored_) {
      restored_->push_back(RestoredEntry::Of(at, entry));
      FatEntryFormat().SetAttributes(entry, hiddenFolder
                                                ? std::uint16_t{RestoredAttribute(attribute)}
                                                : ShownFileAttributes(attribute));
    }
    return std::nullopt;
  }

  // A file or folder in use, as the format decodes it and placed, for the verdicts.
  void Record(RootFile file) {
    if (file.IsFolder()) {
      entries_->AddFolder(std::move(file));
    } else {
      entries_->AddFile(std::move(file));
    }
  }

  // A root whose chain runs into the clusters of a file or folder that the root itself lists is
  // cross-linked: rewriting the root would rewrite that file's data. A fixed root has no chain.
  // `live`: neither deleted nor after the end.
  std::optional<Problem> CrossLink(std::span<const std::uint8_t> entry, bool live) const {
    if (!live || !layout_.RootHasChain() || (entry[kAttributeOffset] & kAttrVolumeId)) {
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
  const std::unique_ptr<DirectoryWalk> walk_ = MakeDirectoryWalk(layout_.fileSystem);
};

}  // namespace

std::unique_ptr<RootWalker> MakeFatRootWalker(const VolumeLayout& layout, RootFindings& findings,
                                              std::vector<RestoredEntry>* restored,
                                              RootEntries* entries) {
  return std::make_unique<FatWalker>(layout, findings, restored, entries);
}

}  // namespace kestrova::repair
