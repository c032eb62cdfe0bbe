// SPDX-License-Identifier: GPL-3.0-or-later
// A file's clusters: the FAT in use read an entry at a time (FAT12, FAT16, FAT32 and exFAT), and
// the first bytes of a root file read along its chain through the open volume.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "repair/layout.h"
#include "repair/progress.h"
#include "repair/scan.h"
#include "volume/volume.h"

namespace kestrova::repair {

// What a FAT entry says of the next cluster of a chain.
enum class Link { kNext, kEnd, kBad };

// The link in a raw FAT entry of `fileSystem`: `next` is the cluster it names (the top four bits
// of a FAT32 entry are not part of it). A free or reserved value is a kNext outside the data
// clusters, for the caller's range check.
Link Follow(FileSystem fileSystem, std::uint32_t raw, std::uint32_t& next);

// Where the FAT entry of `cluster` begins, in bytes from the FAT's start, and how many bytes hold
// it (a FAT12 entry shares its second byte with the next entry).
std::int64_t FatEntryOffset(FileSystem fileSystem, std::int64_t cluster);
std::int64_t FatEntryOffset(const VolumeLayout& layout, std::int64_t cluster);
std::int64_t FatEntryBytes(FileSystem fileSystem);
// The raw entry of `cluster` from `bytes`, which begin at FAT byte `base` and hold it.
std::uint32_t DecodeFatEntry(FileSystem fileSystem, std::span<const std::uint8_t> bytes,
                             std::int64_t base, std::int64_t cluster);
// Writes `value` as the entry of `cluster` into `bytes`, which begin at FAT byte `base` and hold
// it: a FAT12 entry keeps the half byte of its neighbour, a FAT32 entry its own top four bits.
void EncodeFatEntry(FileSystem fileSystem, std::span<std::uint8_t> bytes, std::int64_t base,
                    std::int64_t cluster, std::uint32_t value);

// The FAT that chains are read from, a sector or two at a time.
class FatReader {
 public:
  // `track`, when given, hears of every read.
  FatReader(volume::Volume& volume, const VolumeLayout& layout, ProgressTrack* track = nullptr);
  // The raw entry of `cluster` (a data cluster of the volume). Nothing when its sectors could not
  // be read.
  std::optional<std::uint32_t> Entry(std::int64_t cluster);

 private:
  volume::Volume& volume_;
  const VolumeLayout& layout_;
  ProgressTrack* track_;
  volume::AlignedBuffer window_;  // two sectors: a FAT12 entry may run over a sector's end
  std::int64_t first_ = -1;       // the FAT sector it holds first, counted from the FAT's start
  std::int64_t count_ = 0;
};

// Up to `limit` bytes from the start of a root file's data (no more than its valid length), read
// along its chain, or its contiguous clusters, through the open volume. Shorter when the chain
// ends, leaves the data clusters or a read fails. `track` hears of every read.
std::vector<std::uint8_t> ReadFileStart(volume::Volume& volume, const VolumeLayout& layout,
                                        const RootFile& file, std::size_t limit,
                                        ProgressTrack& track);

}  // namespace kestrova::repair
