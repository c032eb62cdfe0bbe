// SPDX-License-Identifier: GPL-3.0-or-later
#include "repair/listed_root.h"

#include <algorithm>

#include "format/entries.h"
#include "format/exfat.h"
#include "format/fat.h"
#include "repair/root_source.h"
#include "repair/verdicts.h"
#include "volume/folder_files.h"

namespace kestrova::repair {
namespace {

constexpr std::int64_t kEntryBytes = 32;

// A listed entry as the root's walker would record it; its offsets number the listing's order.
RootFile FileOf(const volume::ListedEntry& entry, std::size_t at) {
  RootFile file;
  file.offset = static_cast<std::int64_t>(at) * kEntryBytes;
  file.main = file.offset;
  file.longName = entry.name;
  file.attributes = static_cast<std::uint16_t>(entry.attributes);
  file.size = entry.size;
  file.validSize = entry.size;
  return file;
}

class ListedRootSource final : public RootSource {
 public:
  explicit ListedRootSource(std::filesystem::path root) : root_(std::move(root)) {}
  std::vector<std::uint8_t> ReadFileStart(const RootFile& file, std::size_t limit) override {
    return volume::ReadFileHead(
        volume::PathIn(root_, file.longName),
        static_cast<std::size_t>(std::min<std::uint64_t>(limit, file.size)));
  }
  std::vector<FolderListing> ListFolders(const std::vector<const RootFile*>& folders,
                                         std::size_t maxBytes, const EntryFilter& keep) override {
    std::vector<FolderListing> listings;
    listings.reserve(folders.size());
    for (std::size_t f = 0; f < folders.size(); ++f) {
      const auto listed = volume::ListFolderFiles(volume::PathIn(root_, folders[f]->longName),
                                                  maxBytes / static_cast<std::size_t>(kEntryBytes));
      FolderListing listing;
      listing.complete = listed.complete;
      for (std::size_t i = 0; i < listed.entries.size(); ++i) {
        RootFile file = FileOf(listed.entries[i], i);
        ++(file.IsFolder() ? listing.folders : listing.files);
        if (!keep || keep(f, file)) listing.entries.push_back(std::move(file));
      }
      listings.push_back(std::move(listing));
    }
    return listings;
  }
  bool SeesAttributes() const override { return seen_; }
  void SetSeen(bool seen) { seen_ = seen; }

 private:
  std::filesystem::path root_;
  bool seen_ = false;
};

// The boot sector's fields that the rules read of a volume: its serial, and no label there (the
// system's label stands in the findings).
void FillBootSector(VolumeLayout& layout, std::uint32_t serial) {
  const bool exfatVolume = layout.fileSystem == FileSystem::kExfat;
  const bool large = layout.fileSystem == FileSystem::kFat32;
  if (!exfatVolume) {
    const std::size_t label = large ? fat::kVolumeLabelOffset : fat::kSmallVolumeLabelOffset;
    std::fill_n(layout.bootSector.begin() + static_cast<std::ptrdiff_t>(label),
                fat::kVolumeLabelLength, std::uint8_t{' '});
  }
  fat::Write32(layout.bootSector,
               exfatVolume ? exfat::kVolumeSerialOffset
               : large     ? fat::kVolumeSerialOffset
                           : fat::kSmallVolumeSerialOffset,
               serial);
}

}  // namespace

std::optional<ListedLook> LookThroughFileSystem(const MountedVolume& volume) {
  const auto root = volume::ListFolderFiles(volume.root, 2 * kMaxRootNames);
  if (!root.complete && root.entries.empty()) return std::nullopt;
  ListedLook look;
  look.attributesSeen = root.attributesSeen;
  VolumeLayout& layout = look.layout;
  layout.fileSystem = volume.fileSystem;
  layout.bytesPerSector = 512;
  layout.sectorsPerCluster =
      static_cast<std::int32_t>(std::max<std::uint32_t>(volume.clusterBytes / 512, 1));
  FillBootSector(layout, volume.serial);
  layout.findings.label = volume.label;

  RootEntries entries;
  for (std::size_t i = 0; i < root.entries.size(); ++i) {
    RootFile file = FileOf(root.entries[i], i);
    if (file.IsFolder()) {
      entries.AddFolder(std::move(file));
    } else {
      entries.AddFile(std::move(file));
    }
  }
  ListedRootSource source(volume.root);
  source.SetSeen(root.attributesSeen);
  const auto keep = JudgeRoot(source, layout, entries);
  // The hidden entries that a repair shows again: those the rules do not keep hidden.
  for (const auto* list : {&entries.folders, &entries.files}) {
    for (const RootFile& file : *list) {
      const bool shownAgain = file.IsFolder() ? IsHiddenFolderAttributes(file.attributes, 0)
                                              : IsHiddenFileAttributes(file.attributes, 0);
      if (!shownAgain || keep.count(file.main)) continue;
      HiddenEntry hidden;
      hidden.offset = file.main;
      hidden.longName = file.longName;
      hidden.attribute = file.attributes;
      hidden.folder = file.IsFolder();
      layout.findings.hidden.push_back(std::move(hidden));
    }
  }
  std::sort(layout.findings.hidden.begin(), layout.findings.hidden.end(),
            [](const HiddenEntry& a, const HiddenEntry& b) { return a.offset < b.offset; });
  return look;
}

}  // namespace kestrova::repair
