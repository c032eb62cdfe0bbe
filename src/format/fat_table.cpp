// SPDX-License-Identifier: GPL-3.0-or-later
#include "format/fat_table.h"

#include <algorithm>

#include "format/exfat.h"
#include "format/fat.h"
#include "format/problems.h"
#include "format/sector_io.h"

namespace kestrova::repair {

std::int64_t FatEntryOffset(FileSystem fileSystem, std::int64_t cluster) {
  switch (fileSystem) {
    case FileSystem::kFat12:
      return cluster + cluster / 2;
    case FileSystem::kFat16:
      return cluster * 2;
    case FileSystem::kFat32:
    case FileSystem::kExfat:
      break;
  }
  return cluster * fat::kFatEntrySize;
}

std::int64_t FatEntryOffset(const VolumeGeometry& layout, std::int64_t cluster) {
  return FatEntryOffset(layout.fileSystem, cluster);
}

std::int64_t FatEntryBytes(FileSystem fileSystem) {
  return fileSystem == FileSystem::kFat12 || fileSystem == FileSystem::kFat16 ? 2
                                                                              : fat::kFatEntrySize;
}

std::int64_t FirstClusterAt(FileSystem fileSystem, std::int64_t byte) {
  switch (fileSystem) {
    case FileSystem::kFat12:
      return (byte * 2 + 2) / 3;
    case FileSystem::kFat16:
      return (byte + 1) / 2;
    case FileSystem::kFat32:
    case FileSystem::kExfat:
      break;
  }
  return (byte + fat::kFatEntrySize - 1) / fat::kFatEntrySize;
}

std::uint32_t DecodeFatEntry(FileSystem fileSystem, std::span<const std::uint8_t> bytes,
                             std::int64_t base, std::int64_t cluster) {
  const auto at = static_cast<std::size_t>(FatEntryOffset(fileSystem, cluster) - base);
  switch (fileSystem) {
    case FileSystem::kFat12: {
      const std::uint32_t pair = fat::Read16(bytes, at);
      return cluster % 2 ? pair >> 4 : pair & 0xFFF;
    }
    case FileSystem::kFat16:
      return fat::Read16(bytes, at);
    case FileSystem::kFat32:
    case FileSystem::kExfat:
      break;
  }
  return fat::Read32(bytes, at);
}

void EncodeFatEntry(FileSystem fileSystem, std::span<std::uint8_t> bytes, std::int64_t base,
                    std::int64_t cluster, std::uint32_t value) {
  const auto put = [&](std::size_t at, std::uint8_t byte) { bytes[at] = byte; };
  const auto at = static_cast<std::size_t>(FatEntryOffset(fileSystem, cluster) - base);
  switch (fileSystem) {
    case FileSystem::kFat12: {
      const std::uint32_t v = value & 0xFFF;
      if (cluster % 2) {
        put(at, static_cast<std::uint8_t>((bytes[at] & 0x0F) | (v << 4 & 0xF0)));
        put(at + 1, static_cast<std::uint8_t>(v >> 4));
      } else {
        put(at, static_cast<std::uint8_t>(v));
        put(at + 1, static_cast<std::uint8_t>((bytes[at + 1] & 0xF0) | (v >> 8)));
      }
      return;
    }
    case FileSystem::kFat16:
      put(at, static_cast<std::uint8_t>(value));
      put(at + 1, static_cast<std::uint8_t>(value >> 8));
      return;
    case FileSystem::kFat32:
    case FileSystem::kExfat:
      break;
  }
  std::uint32_t v = value;
  // FAT32 keeps the top four bits of an entry as they are.
  if (fileSystem == FileSystem::kFat32) {
    v = (v & fat::kClusterMask) | (fat::Read32(bytes, at) & ~fat::kClusterMask);
  }
  for (std::size_t i = 0; i < 4; ++i) put(at + i, static_cast<std::uint8_t>(v >> (8 * i)));
}

Link Follow(FileSystem fileSystem, std::uint32_t raw, std::uint32_t& next) {
  switch (fileSystem) {
    case FileSystem::kExfat:
      next = raw;
      if (raw == exfat::kEndOfChain) return Link::kEnd;
      if (raw == exfat::kBadCluster) return Link::kBad;
      return Link::kNext;
    case FileSystem::kFat32:
      next = raw & fat::kClusterMask;
      if (next >= fat::kEndOfChain) return Link::kEnd;
      if (next == fat::kBadCluster) return Link::kBad;
      return Link::kNext;
    case FileSystem::kFat16:
      next = raw;
      if (next >= fat::kFat16EndOfChain) return Link::kEnd;
      if (next == fat::kFat16BadCluster) return Link::kBad;
      return Link::kNext;
    case FileSystem::kFat12:
      break;
  }
  next = raw;
  if (next >= fat::kFat12EndOfChain) return Link::kEnd;
  if (next == fat::kFat12BadCluster) return Link::kBad;
  return Link::kNext;
}

FatReader::FatReader(volume::Volume& volume, const VolumeGeometry& layout, ProgressTrack* track)
    : volume_(volume), layout_(layout), track_(track) {}

std::optional<std::uint32_t> FatReader::Entry(std::int64_t cluster) {
  const std::int64_t sectorSize = layout_.bytesPerSector;
  const std::int64_t offset = FatEntryOffset(layout_, cluster);
  const std::int64_t sector = offset / sectorSize;
  const std::int64_t lastSector = (offset + FatEntryBytes(layout_.fileSystem) - 1) / sectorSize;
  if (cluster < 0 || lastSector >= layout_.fatSize) return std::nullopt;
  if (sector < first_ || lastSector >= first_ + count_) {
    // Taken at the first lookup: a listing that follows no chain needs none.
    if (window_.size() == 0)
      window_ = volume::AlignedBuffer(2 * static_cast<std::size_t>(sectorSize));
    const std::int64_t count = std::min<std::int64_t>(2, layout_.fatSize - sector);
    const auto bytes = window_.bytes().first(static_cast<std::size_t>(count * sectorSize));
    first_ = -1;
    if (ReadSectors(volume_, layout_.ActiveFatStart() + sector, layout_.bytesPerSector, bytes)) {
      return std::nullopt;
    }
    if (track_) track_->Touched();
    first_ = sector;
    count_ = count;
  }
  return DecodeFatEntry(layout_.fileSystem, window_.bytes(), first_ * sectorSize, cluster);
}

namespace {

// The FATs that are kept current: every one when they are mirrored, otherwise the one in use;
// exFAT writes its one in use.
std::vector<std::int64_t> CurrentFats(const VolumeGeometry& layout) {
  const bool mirrored =
      layout.fileSystem == FileSystem::kFat12 || layout.fileSystem == FileSystem::kFat16 ||
      (layout.fileSystem == FileSystem::kFat32 &&
       !(fat::Read16(layout.bootSector, fat::kExtFlagsOffset) & fat::kExtFlagsNoMirroring));
  if (!mirrored) return {layout.ActiveFatStart()};
  std::vector<std::int64_t> starts;
  for (std::int32_t i = 0; i < layout.fatCount; ++i) {
    starts.push_back(layout.reservedSectors + static_cast<std::int64_t>(i) * layout.fatSize);
  }
  return starts;
}

}  // namespace

FatTable::FatTable(const VolumeGeometry& layout, SectorEdits& changes)
    : layout_(layout), changes_(changes), starts_(CurrentFats(layout)) {}

std::optional<Problem> FatTable::Set(std::int64_t cluster, std::uint32_t value) {
  const std::int64_t at = FatEntryOffset(layout_, cluster);
  const std::int64_t entryBytes = FatEntryBytes(layout_.fileSystem);
  const std::int64_t sectorBytes = changes_.SectorBytes();
  const std::int64_t first = at / sectorBytes;
  const std::int64_t last = (at + entryBytes - 1) / sectorBytes;
  for (const std::int64_t start : starts_) {
    if (auto problem = changes_.LoadBytes(start, at, entryBytes)) return problem;
    // The entry's sectors as one piece, changed and put back.
    std::vector<std::uint8_t> bytes;
    for (std::int64_t s = first; s <= last; ++s) {
      const auto after = changes_.After(start + s);
      bytes.insert(bytes.end(), after.begin(), after.end());
    }
    EncodeFatEntry(layout_.fileSystem, bytes, first * sectorBytes, cluster, value);
    for (std::int64_t s = first; s <= last; ++s) {
      const auto from = bytes.begin() + (s - first) * sectorBytes;
      std::copy(from, from + sectorBytes, changes_.After(start + s).begin());
    }
  }
  return std::nullopt;
}

namespace {

// FAT32's FSInfo, which fills the first 512 bytes of its sector: its free count changes by `freed`
// (fewer when negative) when it is known.
std::optional<Problem> CountFreeInFsInfo(const VolumeGeometry& layout, SectorEdits& changes,
                                         std::int64_t freed) {
  const std::int64_t sector = fat::Read16(layout.bootSector, fat::kFsInfoSectorOffset);
  if (sector < 1 || sector >= layout.reservedSectors || freed == 0) return std::nullopt;
  if (auto problem = changes.LoadBytes(sector, 0, 1)) return problem;
  const auto bytes = changes.After(sector);
  if (bytes.size() < fat::kMinSectorSize || fat::Read32(bytes, 0) != fat::kFsInfoLead ||
      fat::Read32(bytes, fat::kFsInfoStructOffset) != fat::kFsInfoStruct) {
    return std::nullopt;
  }
  const std::uint32_t count = fat::Read32(bytes, fat::kFsInfoFreeOffset);
  if (count == fat::kFsInfoUnknown || count + freed < 0 || count + freed > layout.clusterCount) {
    return std::nullopt;
  }
  const auto now = static_cast<std::uint32_t>(count + freed);
  for (int i = 0; i < 4; ++i) {
    bytes[fat::kFsInfoFreeOffset + static_cast<std::size_t>(i)] =
        static_cast<std::uint8_t>(now >> (8 * i));
  }
  return std::nullopt;
}

// exFAT: clears the clusters' bits in the allocation bitmap (bit n stands for cluster n + 2), or
// sets them when `used`.
std::optional<Problem> SetBitmapBits(const VolumeGeometry& layout,
                                     const std::optional<BitmapPlace>& place, SectorEdits& changes,
                                     const std::vector<std::int64_t>& clusters, bool used) {
  const auto heap = ClusterFirstSector(layout, place ? place->firstCluster : 0);
  if (!place || !heap) return DamagedDirectory(DetailKind::kNoAllocationBitmap, 0);
  const std::int64_t sectorBytes = changes.SectorBytes();
  for (const std::int64_t c : clusters) {
    const std::int64_t bit = c - std::int64_t{exfat::kFirstDataCluster};
    const std::int64_t byte = bit / 8;
    if (static_cast<std::uint64_t>(byte) >= place->bytes) {
      return DamagedDirectory(DetailKind::kNoAllocationBitmap, 0);
    }
    if (auto problem = changes.LoadBytes(*heap, byte, 1)) return problem;
    auto& bits =
        changes.After(*heap + byte / sectorBytes)[static_cast<std::size_t>(byte % sectorBytes)];
    const auto mask = static_cast<std::uint8_t>(1u << (bit % 8));
    bits = static_cast<std::uint8_t>(used ? bits | mask : bits & ~mask);
  }
  return std::nullopt;
}

}  // namespace

std::optional<Problem> CountFree(const VolumeGeometry& layout,
                                 const std::optional<BitmapPlace>& bitmap, SectorEdits& changes,
                                 const std::vector<std::int64_t>& clusters) {
  switch (layout.fileSystem) {
    case FileSystem::kFat32:
      return CountFreeInFsInfo(layout, changes, static_cast<std::int64_t>(clusters.size()));
    case FileSystem::kExfat:
      return SetBitmapBits(layout, bitmap, changes, clusters, false);
    case FileSystem::kFat12:
    case FileSystem::kFat16:
      break;
  }
  return std::nullopt;
}

std::optional<Problem> CountUsed(const VolumeGeometry& layout,
                                 const std::optional<BitmapPlace>& bitmap, SectorEdits& changes,
                                 const std::vector<std::int64_t>& clusters) {
  switch (layout.fileSystem) {
    case FileSystem::kFat32:
      return CountFreeInFsInfo(layout, changes, -static_cast<std::int64_t>(clusters.size()));
    case FileSystem::kExfat:
      return SetBitmapBits(layout, bitmap, changes, clusters, true);
    case FileSystem::kFat12:
    case FileSystem::kFat16:
      break;
  }
  return std::nullopt;
}

std::vector<std::uint8_t> ReadFileContent(volume::Volume& volume, const VolumeGeometry& layout,
                                          const RootFile& file, ProgressTrack& track,
                                          bool* complete) {
  std::vector<std::uint8_t> bytes = ReadFileStart(volume, layout, file, file.size, track);
  if (complete) *complete = bytes.size() == std::min(file.size, file.validSize);
  bytes.resize(file.size);
  return bytes;
}

std::vector<std::uint8_t> ReadFileStart(volume::Volume& volume, const VolumeGeometry& layout,
                                        const RootFile& file, std::size_t limit,
                                        ProgressTrack& track) {
  const std::int64_t sectorSize = layout.bytesPerSector;
  const std::int64_t clusterBytes = layout.ClusterBytes();
  const auto want = static_cast<std::int64_t>(std::min<std::uint64_t>(limit, file.validSize));
  std::vector<std::uint8_t> data;
  if (want <= 0 || sectorSize <= 0 || clusterBytes <= 0) return data;
  // The most that one cluster gives of what is wanted, in whole sectors.
  const std::int64_t pieceBytes =
      std::min(clusterBytes, (want + sectorSize - 1) / sectorSize * sectorSize);
  volume::AlignedBuffer buffer(static_cast<std::size_t>(pieceBytes));
  FatReader fat(volume, layout, &track);
  std::int64_t cluster = file.firstCluster;
  while (static_cast<std::int64_t>(data.size()) < want) {
    const auto sector = ClusterFirstSector(layout, cluster);
    if (!sector) break;
    const std::int64_t rest = want - static_cast<std::int64_t>(data.size());
    const std::int64_t piece =
        std::min(clusterBytes, (rest + sectorSize - 1) / sectorSize * sectorSize);
    const auto bytes = buffer.bytes().first(static_cast<std::size_t>(piece));
    if (ReadSectors(volume, *sector, layout.bytesPerSector, bytes)) break;
    track.Touched();
    data.insert(data.end(), bytes.begin(),
                bytes.begin() + static_cast<std::ptrdiff_t>(std::min(piece, rest)));
    if (static_cast<std::int64_t>(data.size()) >= want) break;
    if (file.noFatChain) {
      ++cluster;
      continue;
    }
    const auto raw = fat.Entry(cluster);
    std::uint32_t next = 0;
    if (!raw || Follow(layout.fileSystem, *raw, next) != Link::kNext) break;
    cluster = next;
  }
  return data;
}

}  // namespace kestrova::repair
