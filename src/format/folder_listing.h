// SPDX-License-Identifier: GPL-3.0-or-later
// The entries of the root's folders, one level down, read through the open volume: what the
// analysis looks at to judge a hidden folder. Reads, never writes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <vector>

#include "format/entry_format.h"
#include "format/geometry.h"
#include "format/progress.h"
#include "volume/volume.h"

namespace kestrova::repair {

// The most bytes of one folder: a FAT folder holds at most 65,536 entries of 32 bytes, an exFAT
// one at most 256 MiB. A folder that goes on past it is damaged.
inline constexpr std::size_t kMaxFolderBytes = std::size_t{256} << 20;

// What one root folder holds, as far as the analysis reads it.
struct FolderListing {
  std::vector<RootFile> entries;  // its entries in use, in order, without "." and ".." (those that
                                  // the listing's EntryFilter kept); each with shortName/longName/
                                  // attributes/firstCluster/size/validSize/noFatChain as the root
                                  // walker fills them; offset is its first entry's byte offset in
                                  // the folder, sector and index where its short entry or File
                                  // entry lies
  std::size_t files = 0;          // the files and the folders it holds, as far as read, kept or not
  std::size_t folders = 0;
  bool complete = true;  // false when the listing stopped early: at the byte bound, at a read that
                         // failed, at a damaged entry set, or at a chain that is broken, loops or
                         // leaves the data clusters
};

// Looks at each entry of a folder as it is read, and says whether the listing keeps it; `folder`
// is the folder's place among those listed. What is not kept is counted and let go, so that a
// folder of any size is looked at in the memory of what is kept. Empty: every entry is kept.
using EntryFilter = std::function<bool(std::size_t folder, const RootFile& entry)>;

// Lists each folder of `folders` (root entries of the analysed `layout` that are folders), reading
// at most `maxBytes` of each along its cluster chain through the open volume (FAT12/16/32: the FAT
// in use chains it, a folder's size field is 0 so the chain decides; exFAT: the stream extension's
// data length, contiguous when noFatChain, else chained). Never refuses: a folder that cannot be
// read gets an incomplete (possibly empty) listing. Results in the order of `folders`.
// Every folder's first cluster is read first, the folders sorted by it: clusters that follow one
// another go out in one transfer of up to kMaxTransferBytes (sector_io.h). Only then are the
// chains followed of the folders whose listing goes on past their first cluster, again a run of
// consecutive clusters at a time. `track` hears of every read (track.Touched()).
std::vector<FolderListing> ListFolders(volume::Volume& volume, const VolumeGeometry& layout,
                                       const std::vector<const RootFile*>& folders,
                                       std::size_t maxBytes, ProgressTrack& track,
                                       const EntryFilter& keep = {});

// The entries of a folder whose bytes are at hand, in order (the root as a pass read it): as
// ListFolders gives them, except that `sector` and `index` are not set.
FolderListing ListEntries(const VolumeGeometry& layout, std::span<const std::uint8_t> bytes);

}  // namespace kestrova::repair
