// SPDX-License-Identifier: GPL-3.0-or-later
// The root's clusters that something else reaches too: another chain of the FAT that links into
// them, and on exFAT a root cluster that the allocation bitmap marks free. Rewriting such a root
// would rewrite that other file's bytes as well. The entries' own first clusters and contiguous
// runs are checked by each file system's root walker.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>

#include "format/problem.h"
#include "format/progress.h"
#include "repair/layout.h"

namespace kestrova::repair {

// The root's clusters, sorted, for the question "is this one of them".
class RootClusterSet {
 public:
  explicit RootClusterSet(const VolumeLayout& layout);
  bool Contains(std::int64_t cluster) const;
  // The lowest root cluster in first..last, or 0 when none lies there.
  std::int64_t FirstWithin(std::int64_t first, std::int64_t last) const;
  const std::int32_t* begin() const { return sorted_.data(); }
  const std::int32_t* end() const { return sorted_.data() + count_; }

 private:
  std::array<std::int32_t, kRootClusterCapacity> sorted_{};
  std::size_t count_ = 0;
};

// The sectors of the FAT in use that the root chain's walk read last, kept for the scan below.
struct FatWindow {
  volume::AlignedBuffer buffer;
  std::int64_t first = -1;  // the first FAT sector it holds, counted from the FAT's start
  std::int64_t count = 0;   // the number of sectors it holds
};

// The exFAT allocation bitmap's bits, read a sector at a time when asked for.
class AllocationBitmap {
 public:
  AllocationBitmap(volume::Volume& volume, const VolumeLayout& layout, ProgressTrack& track);
  // Whether the bitmap marks `cluster` in use; the refusal when there is no bitmap that covers
  // it or its sector cannot be read. Bit n of the bitmap stands for cluster n + 2.
  std::optional<Problem> Allocated(std::int64_t cluster, bool& used);

 private:
  volume::Volume& volume_;
  const VolumeLayout& layout_;
  ProgressTrack& track_;
  std::optional<BitmapPlace> place_;
  volume::AlignedBuffer sector_;
  std::int64_t held_ = -1;  // the volume sector that sector_ holds
};

// The FAT sectors that hold the entries of clusters 0 .. clusterCount + 1; the rest of the FAT
// describes no cluster.
std::int64_t DescribingFatSectors(const VolumeLayout& layout);

// Looks at a piece of the FAT in use: `bytes`, from its sector `firstSector` (counted from the
// FAT's start). A problem ends the reading.
using FatPieceLook =
    std::function<std::optional<Problem>(std::span<const std::uint8_t>, std::int64_t)>;

// Reads the sectors of the FAT in use that describe the volume's clusters once, in order, in
// transfers of up to kFatScanTransferBytes, and gives each piece to `look`; the sectors that
// `window` holds (when given) are taken from it and not read again. FAT12 and FAT16 tables are
// never larger than one transfer: they come as one piece from sector 0. `track` hears of every
// read.
std::optional<Problem> ReadFatInOrder(volume::Volume& volume, const VolumeLayout& layout,
                                      const FatWindow* window, ProgressTrack& track,
                                      const FatPieceLook& look);

// Refuses a root that another chain reaches (FAT32 and exFAT; a fixed root has no chain): a FAT
// entry outside the root's own chain that links into it, and on exFAT a root cluster that the
// allocation bitmap of the FAT in use marks free, or a missing bitmap. Reads the FAT in use once,
// in large transfers, in order, taking the sectors that `window` holds from it; on exFAT also the
// sectors of the bitmap that it asks about. Runs after the root directory was read, which names
// the bitmap. `track` hears of every read; the FAT's are planned (FatScanBytes).
std::optional<Problem> CheckOtherChains(volume::Volume& volume, VolumeLayout& layout,
                                        const FatWindow& window, ProgressTrack& track);
// The bytes of the FAT that CheckOtherChains reads, known once the root chain's walk has filled
// `window`: for the track's plan before the root directory is read.
std::int64_t FatScanBytes(const VolumeLayout& layout, const FatWindow& window);

}  // namespace kestrova::repair
