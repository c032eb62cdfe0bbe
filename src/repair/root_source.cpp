// SPDX-License-Identifier: GPL-3.0-or-later
#include "repair/root_source.h"

#include "format/fat_table.h"

namespace kestrova::repair {

std::vector<std::uint8_t> VolumeRootSource::ReadFileStart(const RootFile& file, std::size_t limit) {
  return repair::ReadFileStart(volume_, layout_, file, limit, track_);
}

std::vector<FolderListing> VolumeRootSource::ListFolders(
    const std::vector<const RootFile*>& folders, std::size_t maxBytes, const EntryFilter& keep) {
  return repair::ListFolders(volume_, layout_, folders, maxBytes, track_, keep);
}

}  // namespace kestrova::repair
