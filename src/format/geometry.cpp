// SPDX-License-Identifier: GPL-3.0-or-later
// The geometry of a volume from its boot sector: FAT12, FAT16, FAT32 or exFAT.
#include <algorithm>
#include <string>

#include "format/geometry.h"

#include "format/checked.h"
#include "format/exfat.h"
#include "format/fat.h"
#include "format/fat_table.h"
#include "format/problems.h"

namespace kestrova::repair {
namespace {

using fat::Read16;
using fat::Read32;
using fat::Read64;

bool IsPowerOfTwo(std::uint64_t value) { return value != 0 && (value & (value - 1)) == 0; }

bool Matches(std::span<const std::uint8_t> boot, std::size_t offset, std::string_view text) {
  return std::equal(text.begin(), text.end(), boot.begin() + static_cast<std::ptrdiff_t>(offset),
                    [](char c, std::uint8_t b) { return static_cast<std::uint8_t>(c) == b; });
}

// A FAT12 or FAT16 boot sector: a jump to the boot code, a media byte, and the root-entry count
// and 16-bit FAT size that FAT32 leaves at zero. Anything else is not a FAT volume at all.
bool LooksLikeSmallFat(std::span<const std::uint8_t> boot) {
  using namespace fat;
  const bool jump = (boot[0] == kShortJump && boot[2] == kNoOperation) || boot[0] == kNearJump;
  const std::uint8_t media = boot[kMediaOffset];
  const bool mediaByte = media == kMediaFirst || media >= kMediaFixedFirst;
  return jump && mediaByte && Read16(boot, kRootEntryCountOffset) != 0 &&
         Read16(boot, kFatSize16Offset) != 0;
}

std::optional<Problem> CheckSectorSize(std::uint64_t bytesPerSector) {
  if (IsPowerOfTwo(bytesPerSector) && bytesPerSector >= fat::kMinSectorSize &&
      bytesPerSector <= fat::kMaxSectorSize) {
    return std::nullopt;
  }
  return UnsupportedGeometry(DetailKind::kSectorSize, static_cast<std::int64_t>(bytesPerSector));
}

// The fields that FAT12, FAT16 and FAT32 share, checked.
struct FatFields {
  std::uint32_t bytesPerSector = 0;
  std::uint32_t sectorsPerCluster = 0;
  std::uint32_t reservedSectors = 0;
  std::uint32_t fatCount = 0;
  std::uint32_t totalSectors = 0;
  // The FAT size, read where each type keeps it, and the data region that CountClusters places.
  std::uint32_t fatSize = 0;
  std::int64_t dataStart = 0;
  std::int64_t clusterCount = 0;
};

std::optional<Problem> ReadFatFields(std::span<const std::uint8_t> boot, FatFields& f) {
  using namespace fat;
  f.bytesPerSector = Read16(boot, kBytesPerSectorOffset);
  f.sectorsPerCluster = boot[kSectorsPerClusterOffset];
  f.reservedSectors = Read16(boot, kReservedSectorsOffset);
  f.fatCount = boot[kFatCountOffset];
  const std::uint32_t totalSectors16 = Read16(boot, kTotalSectors16Offset);
  f.totalSectors = totalSectors16 != 0 ? totalSectors16 : Read32(boot, kTotalSectors32Offset);
  if (auto problem = CheckSectorSize(f.bytesPerSector)) return problem;
  if (!IsPowerOfTwo(f.sectorsPerCluster) || f.sectorsPerCluster > kMaxSectorsPerCluster) {
    return UnsupportedGeometry(DetailKind::kSectorsPerCluster, f.sectorsPerCluster);
  }
  if (f.reservedSectors == 0) return UnsupportedGeometry(DetailKind::kNoReservedSectors);
  if (f.fatCount == 0) return UnsupportedGeometry(DetailKind::kNoFat);
  return std::nullopt;
}

// Takes the data region as beginning at sector `dataStart` (empty when computing it overflowed)
// and counts its clusters. The region must begin inside the volume, and hold from 1 to
// `maxClusters` clusters: a count outside is a problem of `countKind`.
std::optional<Problem> CountClusters(FatFields& f, std::optional<std::int64_t> dataStart,
                                     std::int64_t maxClusters, DetailKind countKind) {
  if (!dataStart || *dataStart > INT32_MAX || *dataStart >= f.totalSectors) {
    return UnsupportedGeometry(DetailKind::kDataOutsideVolume);
  }
  f.dataStart = *dataStart;
  f.clusterCount = (f.totalSectors - f.dataStart) / f.sectorsPerCluster;
  if (f.clusterCount < 1 || f.clusterCount > maxClusters) {
    return UnsupportedGeometry(countKind, f.clusterCount);
  }
  return std::nullopt;
}

// The FAT must have an entry of `fileSystem` for every cluster, including the two reserved ones.
std::optional<Problem> CheckFatSize(const FatFields& f, FileSystem fileSystem) {
  const std::int64_t fatBytes =
      FatEntryOffset(fileSystem, f.clusterCount + fat::kFirstDataCluster - 1) +
      FatEntryBytes(fileSystem);
  if (std::int64_t{f.fatSize} * f.bytesPerSector < fatBytes) {
    return UnsupportedGeometry(DetailKind::kFatTooSmall);
  }
  return std::nullopt;
}

void StoreFatFields(const FatFields& f, FileSystem fileSystem, VolumeGeometry& layout) {
  layout.fileSystem = fileSystem;
  layout.bytesPerSector = static_cast<std::int32_t>(f.bytesPerSector);
  layout.sectorsPerCluster = static_cast<std::int32_t>(f.sectorsPerCluster);
  layout.reservedSectors = static_cast<std::int32_t>(f.reservedSectors);
  layout.fatCount = static_cast<std::int32_t>(f.fatCount);
  layout.totalSectors = f.totalSectors;
  layout.fatSize = static_cast<std::int32_t>(f.fatSize);
  layout.dataStart = static_cast<std::int32_t>(f.dataStart);
  layout.clusterCount = f.clusterCount;
}

std::optional<Problem> ReadFat32Geometry(VolumeGeometry& layout) {
  using namespace fat;
  const std::span<const std::uint8_t> boot = layout.bootSector;
  FatFields f;
  if (auto problem = ReadFatFields(boot, f)) return problem;
  f.fatSize = Read32(boot, kFatSize32Offset);
  const std::uint32_t rootCluster = Read32(boot, kRootClusterOffset);
  const std::uint32_t extFlags = Read16(boot, kExtFlagsOffset);
  // With mirroring off only one FAT is current; the others may be stale.
  const std::uint32_t activeFat =
      (extFlags & kExtFlagsNoMirroring) ? (extFlags & kExtFlagsActiveFatMask) : 0;
  if (Read16(boot, kRootEntryCountOffset) != 0 || Read16(boot, kFatSize16Offset) != 0) {
    return UnsupportedGeometry(DetailKind::kSmallFatFields);
  }
  if (f.fatSize == 0) return UnsupportedGeometry(DetailKind::kEmptyFat);
  if (activeFat >= f.fatCount) return UnsupportedGeometry(DetailKind::kActiveFat, activeFat);

  // dataStart = reserved + FAT count x FAT size; with two FATs that is the familiar
  // 2 x fatSize + reserved.
  const auto fatsSize = CheckedMul<std::int64_t>(f.fatCount, f.fatSize);
  const auto dataStart =
      fatsSize ? CheckedAdd<std::int64_t>(*fatsSize, f.reservedSectors) : std::nullopt;
  if (auto problem = CountClusters(f, dataStart, kMaxClusterCount, DetailKind::kClusterCount)) {
    return problem;
  }
  if (auto problem = CheckFatSize(f, FileSystem::kFat32)) return problem;
  if (rootCluster < kFirstDataCluster || rootCluster > f.clusterCount + 1) {
    return UnsupportedGeometry(DetailKind::kRootOutsideVolume, rootCluster);
  }

  StoreFatFields(f, FileSystem::kFat32, layout);
  layout.activeFat = static_cast<std::int32_t>(activeFat);
  layout.rootCluster = static_cast<std::int32_t>(rootCluster);
  layout.rootStart = layout.rootSectors = layout.rootEntries = 0;
  return std::nullopt;
}

// FAT12 and FAT16: the root directory is the fixed region after the FATs, and the type follows
// from the number of clusters.
std::optional<Problem> ReadSmallFatGeometry(VolumeGeometry& layout) {
  using namespace fat;
  const std::span<const std::uint8_t> boot = layout.bootSector;
  FatFields f;
  if (auto problem = ReadFatFields(boot, f)) return problem;
  const std::uint32_t rootEntries = Read16(boot, kRootEntryCountOffset);
  f.fatSize = Read16(boot, kFatSize16Offset);
  const std::int64_t rootStart = f.reservedSectors + std::int64_t{f.fatCount} * f.fatSize;
  const std::int64_t rootSectors =
      (std::int64_t{rootEntries} * kDirEntrySize + f.bytesPerSector - 1) / f.bytesPerSector;
  if (auto problem = CountClusters(f, rootStart + rootSectors, kMaxFat16Clusters,
                                   DetailKind::kClusterCountSmallFat)) {
    return problem;
  }
  const FileSystem fileSystem =
      f.clusterCount <= kMaxFat12Clusters ? FileSystem::kFat12 : FileSystem::kFat16;
  if (auto problem = CheckFatSize(f, fileSystem)) return problem;

  StoreFatFields(f, fileSystem, layout);
  layout.activeFat = 0;
  layout.rootCluster = 0;
  layout.rootStart = static_cast<std::int32_t>(rootStart);
  layout.rootSectors = static_cast<std::int32_t>(rootSectors);
  layout.rootEntries = static_cast<std::int32_t>(rootEntries);
  return std::nullopt;
}

std::optional<Problem> ReadExfatGeometry(VolumeGeometry& layout) {
  using namespace exfat;
  const std::span<const std::uint8_t> boot = layout.bootSector;
  const auto zero = boot.subspan(kMustBeZeroOffset, kMustBeZeroLength);
  if (!std::all_of(zero.begin(), zero.end(), [](std::uint8_t b) { return b == 0; })) {
    return UnsupportedGeometry(DetailKind::kExfatNonZeroFields);
  }
  const std::uint32_t sectorShift = boot[kBytesPerSectorShiftOffset];
  const std::uint32_t clusterShift = boot[kSectorsPerClusterShiftOffset];
  const std::uint64_t volumeLength = Read64(boot, kVolumeLengthOffset);
  const std::uint32_t fatOffset = Read32(boot, kFatOffsetOffset);
  const std::uint32_t fatLength = Read32(boot, kFatLengthOffset);
  const std::uint32_t heapOffset = Read32(boot, kClusterHeapOffsetOffset);
  const std::uint32_t clusterCount = Read32(boot, kClusterCountOffset);
  const std::uint32_t rootCluster = Read32(boot, kRootClusterOffset);
  const std::uint32_t fatCount = boot[kFatCountOffset];
  const std::uint32_t activeFat =
      fatCount == 2 && (Read16(boot, kVolumeFlagsOffset) & kVolumeFlagsActiveFat) ? 1 : 0;

  if (sectorShift < kMinBytesPerSectorShift || sectorShift > kMaxBytesPerSectorShift) {
    return CheckSectorSize(sectorShift < 63 ? std::uint64_t{1} << sectorShift : 0);
  }
  if (sectorShift + clusterShift > kMaxClusterShift) {
    return UnsupportedGeometry(DetailKind::kClusterShift, clusterShift);
  }
  if (fatCount != 1 && fatCount != 2) return UnsupportedGeometry(DetailKind::kFatCount);
  if (volumeLength > INT64_MAX || heapOffset > INT32_MAX || fatOffset < kMinFatOffset ||
      std::uint64_t{fatOffset} + std::uint64_t{fatLength} * fatCount > heapOffset ||
      heapOffset >= volumeLength) {
    return UnsupportedGeometry(DetailKind::kFatOrHeapOutsideVolume);
  }
  if (clusterCount < 1 || clusterCount > kMaxClusterCount ||
      clusterCount > (volumeLength - heapOffset) >> clusterShift) {
    return UnsupportedGeometry(DetailKind::kClusterCount, clusterCount);
  }
  if (std::uint64_t{fatLength} << sectorShift <
      (std::uint64_t{clusterCount} + kFirstDataCluster) * kFatEntrySize) {
    return UnsupportedGeometry(DetailKind::kFatTooSmall);
  }
  if (rootCluster < kFirstDataCluster || rootCluster > std::uint64_t{clusterCount} + 1) {
    return UnsupportedGeometry(DetailKind::kRootOutsideVolume, rootCluster);
  }

  layout.fileSystem = FileSystem::kExfat;
  layout.bytesPerSector = static_cast<std::int32_t>(1u << sectorShift);
  layout.sectorsPerCluster = static_cast<std::int32_t>(1u << clusterShift);
  layout.reservedSectors = static_cast<std::int32_t>(fatOffset);
  layout.fatSize = static_cast<std::int32_t>(fatLength);
  layout.fatCount = static_cast<std::int32_t>(fatCount);
  layout.activeFat = static_cast<std::int32_t>(activeFat);
  layout.dataStart = static_cast<std::int32_t>(heapOffset);
  layout.totalSectors = static_cast<std::int64_t>(volumeLength);
  layout.clusterCount = clusterCount;
  layout.rootCluster = static_cast<std::int32_t>(rootCluster);
  layout.rootStart = layout.rootSectors = layout.rootEntries = 0;
  return std::nullopt;
}

}  // namespace

std::string_view FileSystemName(FileSystem fileSystem) {
  switch (fileSystem) {
    case FileSystem::kFat12:
      return "FAT12";
    case FileSystem::kFat16:
      return "FAT16";
    case FileSystem::kFat32:
      return "FAT32";
    case FileSystem::kExfat:
      return "exFAT";
  }
  return {};
}

BootSectorKind KindOfBootSector(std::span<const std::uint8_t> boot) {
  if (Matches(boot, exfat::kFileSystemNameOffset, exfat::kFileSystemName)) {
    return BootSectorKind::kExfat;
  }
  if (Matches(boot, fat::kFileSystemTypeOffset, fat::kFileSystemType)) {
    return BootSectorKind::kFat32;
  }
  return LooksLikeSmallFat(boot) ? BootSectorKind::kSmallFat : BootSectorKind::kOther;
}

std::optional<Problem> ReadGeometry(VolumeGeometry& layout) {
  switch (KindOfBootSector(layout.bootSector)) {
    case BootSectorKind::kExfat:
      return ReadExfatGeometry(layout);
    case BootSectorKind::kFat32:
      return ReadFat32Geometry(layout);
    case BootSectorKind::kSmallFat:
      return ReadSmallFatGeometry(layout);
    case BootSectorKind::kOther:
      break;
  }
  return MakeProblem(ProblemKind::kUnsupportedFileSystem);
}

std::optional<std::int64_t> ClusterFirstSector(const VolumeGeometry& layout, std::int64_t cluster) {
  if (cluster < fat::kFirstDataCluster || cluster > layout.clusterCount + 1) return std::nullopt;
  const auto offset =
      CheckedMul<std::int64_t>(cluster - fat::kFirstDataCluster, layout.sectorsPerCluster);
  return offset ? CheckedAdd<std::int64_t>(*offset, layout.dataStart) : std::nullopt;
}

std::int64_t VolumeGeometry::RootBytes() const {
  if (RootHasChain()) {
    return static_cast<std::int64_t>(std::clamp(rootClusterCount, 0, kRootClusterCapacity)) *
           ClusterBytes();
  }
  return std::min(static_cast<std::int64_t>(rootEntries * fat::kDirEntrySize),
                  static_cast<std::int64_t>(rootSectors) * bytesPerSector);
}

std::vector<RootExtent> RootExtents(const VolumeGeometry& layout) {
  std::vector<RootExtent> extents;
  if (layout.sectorsPerCluster < 1) return extents;
  if (layout.RootHasChain()) {
    const std::int32_t count = std::clamp(layout.rootClusterCount, 0, kRootClusterCapacity);
    for (std::int32_t i = 0; i < count; ++i) {
      const auto first =
          ClusterFirstSector(layout, layout.rootClusters[static_cast<std::size_t>(i)]);
      if (!first) return {};
      extents.push_back({*first, layout.sectorsPerCluster});
    }
    return extents;
  }
  for (std::int32_t done = 0; done < layout.rootSectors; done += layout.sectorsPerCluster) {
    extents.push_back({std::int64_t{layout.rootStart} + done,
                       std::min(layout.sectorsPerCluster, layout.rootSectors - done)});
  }
  return extents;
}

bool IsAnalysed(const VolumeGeometry& layout) {
  return layout.bytesPerSector >= 1 && !RootExtents(layout).empty();
}

}  // namespace kestrova::repair
