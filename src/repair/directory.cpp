// SPDX-License-Identifier: GPL-3.0-or-later
#include "repair/directory.h"

#include <algorithm>
#include <cctype>
#include <string_view>

namespace kestrova::repair {
namespace {

// The folders that Windows itself creates hidden and system in a drive's root.
constexpr std::string_view kWindowsOwnFolders[] = {"System Volume Information", "$RECYCLE.BIN"};

bool SameIgnoringAsciiCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) ==
                  std::tolower(static_cast<unsigned char>(y));
         });
}

}  // namespace

std::unique_ptr<RootWalker> MakeRootWalker(const VolumeLayout& layout, RootFindings& findings,
                                           std::vector<RestoredEntry>* restored,
                                           RootEntries* entries) {
  return layout.fileSystem == FileSystem::kExfat
             ? MakeExfatRootWalker(layout, findings, restored, entries)
             : MakeFatRootWalker(layout, findings, restored, entries);
}

bool IsWindowsOwnFolder(std::string_view name) {
  return std::any_of(std::begin(kWindowsOwnFolders), std::end(kWindowsOwnFolders),
                     [&](std::string_view own) { return SameIgnoringAsciiCase(name, own); });
}

HiddenFolder PlaceOf(const VolumeLayout& layout, const std::vector<RootExtent>& extents,
                     std::int64_t offset) {
  HiddenFolder folder;
  const std::int64_t bytesPerSector = layout.bytesPerSector;
  const std::int64_t perExtent = layout.sectorsPerCluster;
  if (bytesPerSector <= 0 || perExtent <= 0 || offset < 0) return folder;
  // Every extent holds a cluster's worth of sectors but the last of a fixed root.
  const std::int64_t sectorInRoot = offset / bytesPerSector;
  const auto extent = static_cast<std::size_t>(sectorInRoot / perExtent);
  if (extent < extents.size())
    folder.sector = extents[extent].firstSector + sectorInRoot % perExtent;
  folder.index = static_cast<int>(offset % bytesPerSector / 32);
  return folder;
}

}  // namespace kestrova::repair
