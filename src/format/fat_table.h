// SPDX-License-Identifier: GPL-3.0-or-later
// The FAT and a file's clusters: the entries' codec (FAT12, FAT16, FAT32 and exFAT), the FAT in use
// read an entry at a time, the one writer of entries that keeps every copy current, and the first
// bytes of a file read along its chain through the open volume.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "format/entry_format.h"
#include "format/exfat_sets.h"
#include "format/geometry.h"
#include "format/problem.h"
#include "format/progress.h"
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
std::int64_t FatEntryOffset(const VolumeGeometry& layout, std::int64_t cluster);
std::int64_t FatEntryBytes(FileSystem fileSystem);
// The first cluster whose entry begins at or after FAT byte `byte`.
std::int64_t FirstClusterAt(FileSystem fileSystem, std::int64_t byte);
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
  FatReader(volume::Volume& volume, const VolumeGeometry& layout, ProgressTrack* track = nullptr);
  // The raw entry of `cluster` (a data cluster of the volume). Nothing when its sectors could not
  // be read.
  std::optional<std::uint32_t> Entry(std::int64_t cluster);

 private:
  volume::Volume& volume_;
  const VolumeGeometry& layout_;
  ProgressTrack* track_;
  volume::AlignedBuffer window_;  // two sectors (a FAT12 entry may run over a sector's end), taken
                                  // at the first lookup
  std::int64_t first_ = -1;       // the FAT sector it holds first, counted from the FAT's start
  std::int64_t count_ = 0;
};

// The sectors that a pass changes, as the writers of the volume's structures see them: each read
// once before the first write, then changed in place. The pass's own collection of changed
// sectors (SectorChanges) is the one there is; nothing is written through this.
class SectorEdits {
 public:
  virtual ~SectorEdits() = default;
  // Reads the sectors that hold `count` bytes from byte `offset` of the region at sector `first`,
  // unless they are held already; the problem when one cannot be read.
  virtual std::optional<Problem> LoadBytes(std::int64_t first, std::int64_t offset,
                                           std::int64_t count) = 0;
  // The new bytes of a held sector.
  virtual std::span<std::uint8_t> After(std::int64_t sector) = 0;
  virtual std::int32_t SectorBytes() const = 0;
};

// The FAT of a volume as a pass changes it: entries set in every FAT kept current (every copy when
// they are mirrored, else the one in use; exFAT's one in use). FAT32 keeps the top four bits of an
// entry as they were.
class FatTable {
 public:
  FatTable(const VolumeGeometry& layout, SectorEdits& changes);

  // Sets the entry of `cluster` to `value` in every FAT kept current.
  std::optional<Problem> Set(std::int64_t cluster, std::uint32_t value);

 private:
  const VolumeGeometry& layout_;
  SectorEdits& changes_;
  std::vector<std::int64_t> starts_;  // the first sector of each FAT kept current
};

// Counts `clusters`, which a pass frees in the FAT, as free where the file system keeps count of
// its free space: FAT32's FSInfo free count grows by their number when it is known (its next-free
// hint stays as it is: nothing was allocated); exFAT's allocation bitmap at `bitmap` has their
// bits cleared, and a missing bitmap, or one too short for them, refuses the change. FAT12 and
// FAT16 keep no count.
std::optional<Problem> CountFree(const VolumeGeometry& layout,
                                 const std::optional<BitmapPlace>& bitmap, SectorEdits& changes,
                                 const std::vector<std::int64_t>& clusters);
// Counts `clusters`, which a pass takes from the free ones, as used: FAT32's FSInfo free count
// shrinks by their number when it is known (its next-free hint stays: it is only where a search
// begins); exFAT's allocation bitmap has their bits set, under the same refusals as CountFree.
std::optional<Problem> CountUsed(const VolumeGeometry& layout,
                                 const std::optional<BitmapPlace>& bitmap, SectorEdits& changes,
                                 const std::vector<std::int64_t>& clusters);

// Up to `limit` bytes from the start of a root file's data (no more than its valid length), read
// along its chain, or its contiguous clusters, through the open volume. Shorter when the chain
// ends, leaves the data clusters or a read fails. `track` hears of every read.
std::vector<std::uint8_t> ReadFileStart(volume::Volume& volume, const VolumeGeometry& layout,
                                        const RootFile& file, std::size_t limit,
                                        ProgressTrack& track);
// A file's whole content as the volume holds it (`size` bytes): what lies past an exFAT file's
// valid data length, or what could not be read, as zeros; `complete` says whether it was all read.
std::vector<std::uint8_t> ReadFileContent(volume::Volume& volume, const VolumeGeometry& layout,
                                          const RootFile& file, ProgressTrack& track,
                                          bool* complete = nullptr);

}  // namespace kestrova::repair
