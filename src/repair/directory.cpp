#include "repair/directory.h"

namespace kestrova::repair {

const RootDirectory& RootDirectoryOf(FileSystem fileSystem) {
  return fileSystem == FileSystem::kExfat ? ExfatRootDirectory() : FatRootDirectory();
}

std::vector<HiddenFolder> ListHiddenFolders(const VolumeLayout& layout) {
  return RootDirectoryOf(layout.fileSystem).List(layout);
}

HiddenFolder PlaceOf(const VolumeLayout& layout, const std::vector<RootExtent>& extents,
                     std::size_t offset) {
  HiddenFolder folder;
  const auto bytesPerSector = static_cast<std::size_t>(layout.bytesPerSector);
  const auto perExtent = static_cast<std::size_t>(layout.sectorsPerCluster);
  if (bytesPerSector == 0 || perExtent == 0) return folder;
  // Every extent holds a cluster's worth of sectors but the last of a fixed root.
  const std::size_t sectorInRoot = offset / bytesPerSector;
  const std::size_t extent = sectorInRoot / perExtent;
  if (extent < extents.size()) {
    folder.sector =
        extents[extent].firstSector + static_cast<std::int64_t>(sectorInRoot % perExtent);
  }
  folder.index = static_cast<int>(offset % bytesPerSector / 32);
  return folder;
}

}  // namespace kestrova::repair
