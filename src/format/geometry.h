// SPDX-License-Identifier: GPL-3.0-or-later
// A volume's geometry, as its boot sector and the FAT give it: the file system, the sizes, where
// the FATs, the root directory and the data clusters lie. What every reader and writer of the
// volume's structures works from, and what a pass checks the volume against before it writes.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "format/problem.h"
#include "volume/volume.h"

namespace kestrova::repair {

// The most root-directory clusters that the analysis records.
inline constexpr std::int32_t kRootClusterCapacity = 501;

enum class FileSystem { kFat12, kFat16, kFat32, kExfat };

std::string_view FileSystemName(FileSystem fileSystem);

// A run of sectors of the root directory.
struct RootExtent {
  std::int64_t firstSector = 0;
  std::int32_t sectors = 0;
};

struct VolumeGeometry {
  volume::SectorBuffer bootSector{};  // the first 512 bytes of the volume's sector 0 as last read
  std::int32_t reservedSectors = 0;   // the sector where the first FAT begins
  std::int32_t fatSize = 0;           // sectors per FAT
  std::int32_t dataStart = 0;         // the sector where cluster 2 begins
  std::array<std::int32_t, kRootClusterCapacity> rootClusters{};  // the root's chain, in order
  std::int32_t rootClusterCount = 0;                              // valid entries of rootClusters

  // The rest of the geometry, read from the boot sector.
  FileSystem fileSystem = FileSystem::kFat32;
  std::int32_t bytesPerSector = 0;
  std::int32_t sectorsPerCluster = 0;
  std::int32_t fatCount = 0;
  std::int32_t activeFat = 0;  // the FAT that the chain is read from: 0 unless mirroring is off
  std::int64_t totalSectors = 0;
  std::int64_t clusterCount = 0;  // data clusters, numbered 2 .. clusterCount + 1
  std::int32_t rootCluster = 0;   // the first cluster of the root directory (FAT32, exFAT)
  // FAT12 and FAT16 keep the root in a fixed region between the FATs and cluster 2.
  std::int32_t rootStart = 0;
  std::int32_t rootSectors = 0;
  std::int32_t rootEntries = 0;  // the root-entry count: no entry lies at or past it

  bool RootHasChain() const {
    return fileSystem == FileSystem::kFat32 || fileSystem == FileSystem::kExfat;
  }
  // The first sector of the FAT that chains are read from.
  std::int64_t ActiveFatStart() const {
    return reservedSectors + static_cast<std::int64_t>(activeFat) * fatSize;
  }
  std::int64_t ClusterBytes() const {
    return static_cast<std::int64_t>(sectorsPerCluster) * bytesPerSector;
  }
  // The bytes of the root directory that hold entries: its clusters, or on FAT12 and FAT16 the
  // root-entry count's worth of the fixed region (whose last sector may go on past them).
  std::int64_t RootBytes() const;
};

// The root directory's sectors in order: its clusters, or the fixed region cut into pieces of a
// cluster's size. Empty when the layout does not place it (it was not analysed).
std::vector<RootExtent> RootExtents(const VolumeGeometry& layout);
// Whether a layout is one that an analysis accepted: it places the root and has a sector size.
bool IsAnalysed(const VolumeGeometry& layout);

// Reads the geometry fields of layout.bootSector into layout. Returns the refusal when the boot
// sector is not one of a FAT or exFAT volume that the engine can handle.
std::optional<Problem> ReadGeometry(VolumeGeometry& layout);

// What a sector 0 is, by the exFAT name, the FAT32 type text or the FAT12/FAT16 fields.
enum class BootSectorKind { kOther, kSmallFat, kFat32, kExfat };
BootSectorKind KindOfBootSector(std::span<const std::uint8_t> boot);

// The first sector of data cluster `cluster`, or nothing when it lies outside the data region.
std::optional<std::int64_t> ClusterFirstSector(const VolumeGeometry& layout, std::int64_t cluster);

}  // namespace kestrova::repair
