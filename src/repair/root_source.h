// SPDX-License-Identifier: GPL-3.0-or-later
// Where the rules read what they look at besides the root's entries: a file's first bytes and one
// level of a folder. Either the raw volume, through the analysed layout (the repair's way), or a
// file system that the system mounted (the guard's way, which needs no raw access).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "format/folder_listing.h"
#include "format/progress.h"
#include "repair/layout.h"
#include "volume/volume.h"

namespace kestrova::repair {

class RootSource {
 public:
  virtual ~RootSource() = default;
  // Up to `limit` bytes from the start of the root file `file`; fewer when it is shorter or a
  // read fails.
  virtual std::vector<std::uint8_t> ReadFileStart(const RootFile& file, std::size_t limit) = 0;
  // One level inside each root folder of `folders`, at most `maxBytes` of directory entries of
  // each (32 bytes an entry), in the order of `folders`, each listing holding the entries that
  // `keep` keeps (folder_listing.h). Never refuses: a folder that cannot be read gets an
  // incomplete listing.
  virtual std::vector<FolderListing> ListFolders(const std::vector<const RootFile*>& folders,
                                                 std::size_t maxBytes, const EntryFilter& keep) = 0;
  // Whether the entries' hidden and system bits are what the stick holds; false where the
  // system's driver does not show them (every entry then seems visible).
  virtual bool SeesAttributes() const = 0;
};

// The raw volume: the files' chains and the folders' clusters as the analysed `layout` places
// them. `track` hears of every read.
class VolumeRootSource final : public RootSource {
 public:
  VolumeRootSource(volume::Volume& volume, const VolumeGeometry& layout, ProgressTrack& track)
      : volume_(volume), layout_(layout), track_(track) {}
  std::vector<std::uint8_t> ReadFileStart(const RootFile& file, std::size_t limit) override;
  std::vector<FolderListing> ListFolders(const std::vector<const RootFile*>& folders,
                                         std::size_t maxBytes, const EntryFilter& keep) override;
  bool SeesAttributes() const override { return true; }

 private:
  volume::Volume& volume_;
  const VolumeGeometry& layout_;
  ProgressTrack& track_;
};

}  // namespace kestrova::repair
