// What differs between the file systems' root directories: how the root is checked before it is
// written, how its hidden folders are found and named, and how they are restored. The analysis,
// the pass and the listing go through this and nothing else of the file system's entries.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "repair/layout.h"
#include "repair/messages.h"
#include "repair/scan.h"

namespace kestrova::repair {

class RootDirectory {
 public:
  virtual ~RootDirectory() = default;
  // Refuses a root that must not be written (cross-linked with a file it lists, damaged entries).
  virtual std::optional<Problem> Check(const VolumeLayout& layout) const = 0;
  // The hidden folders of layout.root, in order, with their names.
  virtual std::vector<HiddenFolder> List(const VolumeLayout& layout) const = 0;
  // Restores every hidden folder of a root's bytes in place. Returns the byte offsets of the
  // entries changed, in order; every byte that changed lies in the 32 bytes from one of them.
  virtual std::vector<std::size_t> Restore(std::span<std::uint8_t> root) const = 0;
};

const RootDirectory& FatRootDirectory();
const RootDirectory& ExfatRootDirectory();
const RootDirectory& RootDirectoryOf(FileSystem fileSystem);

// A hidden folder with only its place filled in: the sector and the index in it of the entry at
// byte `offset` of the root, whose extents are `extents` (RootExtents of the layout).
HiddenFolder PlaceOf(const VolumeLayout& layout, const std::vector<RootExtent>& extents,
                     std::size_t offset);

}  // namespace kestrova::repair
