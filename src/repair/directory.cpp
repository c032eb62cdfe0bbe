// SPDX-License-Identifier: GPL-3.0-or-later
#include "repair/directory.h"

namespace kestrova::repair {

std::unique_ptr<RootWalker> MakeRootWalker(const VolumeLayout& layout, RootFindings& findings,
                                           std::vector<RestoredEntry>* restored,
                                           RootEntries* entries) {
  return layout.fileSystem == FileSystem::kExfat
             ? MakeExfatRootWalker(layout, findings, restored, entries)
             : MakeFatRootWalker(layout, findings, restored, entries);
}

HiddenEntry PlaceOf(const VolumeLayout& layout, const std::vector<RootExtent>& extents,
                    std::int64_t offset) {
  HiddenEntry folder;
  const std::int64_t bytesPerSector = layout.bytesPerSector;
  const std::int64_t perExtent = layout.sectorsPerCluster;
  if (bytesPerSector <= 0 || perExtent <= 0 || offset < 0) return folder;
  // Every extent holds a cluster's worth of sectors but the last of a fixed root.
  const std::int64_t sectorInRoot = offset / bytesPerSector;
  const auto extent = static_cast<std::size_t>(sectorInRoot / perExtent);
  if (extent < extents.size())
    folder.sector = extents[extent].firstSector + sectorInRoot % perExtent;
  folder.index =
      static_cast<int>(offset % bytesPerSector / static_cast<std::int64_t>(fat::kDirEntrySize));
  return folder;
}

}  // namespace kestrova::repair
