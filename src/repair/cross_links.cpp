// SPDX-License-Identifier: GPL-3.0-or-later
// The checks of the root's clusters against the rest of the volume: the FAT's other chains, and
// on exFAT the allocation bitmap.
#include "repair/cross_links.h"

#include <algorithm>
#include <bit>
#include <cstring>

#include "format/exfat.h"
#include "format/fat.h"
#include "format/problems.h"
#include "format/sector_io.h"
#include "repair/engine.h"

namespace kestrova::repair {

RootClusterSet::RootClusterSet(const VolumeLayout& layout)
    : count_(
          static_cast<std::size_t>(std::clamp(layout.rootClusterCount, 0, kRootClusterCapacity))) {
  std::copy_n(layout.rootClusters.begin(), count_, sorted_.begin());
  std::sort(sorted_.begin(), sorted_.begin() + static_cast<std::ptrdiff_t>(count_));
}

bool RootClusterSet::Contains(std::int64_t cluster) const {
  // Most clusters asked about (a free one, the end of a chain) lie outside the root's span.
  if (count_ == 0 || cluster < sorted_[0] || cluster > sorted_[count_ - 1]) return false;
  return std::binary_search(begin(), end(), cluster);
}

std::int64_t RootClusterSet::FirstWithin(std::int64_t first, std::int64_t last) const {
  const auto found = std::lower_bound(begin(), end(), first);
  return found != end() && *found <= last ? *found : 0;
}

AllocationBitmap::AllocationBitmap(volume::Volume& volume, const VolumeLayout& layout,
                                   ProgressTrack& track)
    : volume_(volume),
      layout_(layout),
      track_(track),
      place_(layout.findings.bitmap),
      sector_(static_cast<std::size_t>(layout.bytesPerSector)) {}

std::optional<Problem> AllocationBitmap::Allocated(std::int64_t cluster, bool& used) {
  const auto missing = [] { return DamagedDirectory(DetailKind::kNoAllocationBitmap, 0); };
  const std::int64_t bit = cluster - std::int64_t{exfat::kFirstDataCluster};
  const std::int64_t byte = bit / 8;
  if (!place_ || bit < 0 || static_cast<std::uint64_t>(byte) >= place_->bytes) return missing();
  const std::int64_t sectorSize = layout_.bytesPerSector;
  const std::int64_t clusterBytes = layout_.ClusterBytes();
  const auto first = ClusterFirstSector(layout_, place_->firstCluster + byte / clusterBytes);
  if (!first) return missing();
  const std::int64_t wanted = *first + byte % clusterBytes / sectorSize;
  if (wanted != held_) {
    if (const auto failed = ReadSectors(volume_, wanted, layout_.bytesPerSector, sector_.bytes())) {
      return ReadProblem(*failed, wanted, sectorSize);
    }
    track_.Touched();
    held_ = wanted;
  }
  used = sector_.bytes()[static_cast<std::size_t>(byte % sectorSize)] >> (bit % 8) & 1;
  return std::nullopt;
}

namespace {

// exFAT: refuses a root cluster that the allocation bitmap marks free. The root's clusters in
// order, so that each sector of the bitmap is read once.
std::optional<Problem> CheckRootAllocated(const RootClusterSet& root, AllocationBitmap& bitmap) {
  for (const std::int32_t cluster : root) {
    bool used = false;
    if (auto problem = bitmap.Allocated(cluster, used)) return problem;
    if (!used) return DamagedChain({DetailKind::kRootClusterFree, 0, cluster, {}});
  }
  return std::nullopt;
}

// A FAT entry, little-endian, from raw bytes: one load on the machines the program runs on.
std::uint32_t LoadEntry(const std::uint8_t* bytes) {
  std::uint32_t value;
  std::memcpy(&value, bytes, sizeof value);
  if constexpr (std::endian::native == std::endian::big) value = __builtin_bswap32(value);
  return value;
}

// Looks through FAT sectors `firstSector`.. (counted in the FAT) held in `bytes` for an entry of a
// data cluster outside the root whose next cluster is one of the root's. On exFAT (`bitmap`) the
// entry of a cluster that the bitmap marks free is a leftover, not a link.
std::optional<Problem> ScanFatSectors(const VolumeLayout& layout, const RootClusterSet& root,
                                      AllocationBitmap* bitmap, std::span<const std::uint8_t> bytes,
                                      std::int64_t firstSector) {
  // The top four bits of a FAT32 entry are not part of the link; exFAT uses all 32.
  const std::uint32_t mask =
      layout.fileSystem == FileSystem::kExfat ? 0xFFFFFFFFu : fat::kClusterMask;
  const auto low = static_cast<std::uint32_t>(*root.begin());
  const auto span = static_cast<std::uint32_t>(*(root.end() - 1)) - low;
  const std::int64_t firstCluster = firstSector * layout.bytesPerSector / fat::kFatEntrySize;
  const std::int64_t lastCluster = layout.clusterCount + 1;
  const std::size_t entries = bytes.size() / fat::kFatEntrySize;
  // A block of entries is looked at closely only when one of them links between the lowest and
  // the highest root cluster; the test of a whole block is a loop of fixed length without
  // branches, which the compiler turns into vector instructions.
  constexpr std::size_t kBlock = 64;
  for (std::size_t block = 0; block < entries; block += kBlock) {
    const std::size_t end = std::min(entries, block + kBlock);
    const std::uint8_t* at = bytes.data() + block * fat::kFatEntrySize;
    if (end - block == kBlock) {
      std::uint32_t near = 0;
      for (std::size_t i = 0; i < kBlock; ++i) {
        near |= (LoadEntry(at + i * fat::kFatEntrySize) & mask) - low <= span;
      }
      if (near == 0) continue;
    }
    // Of a block that has some, only the entries that link within the root's span are looked at
    // one by one.
    std::uint64_t nearOnes = 0;
    for (std::size_t i = 0; i < end - block; ++i) {
      nearOnes |= std::uint64_t{(LoadEntry(at + i * fat::kFatEntrySize) & mask) - low <= span} << i;
    }
    for (; nearOnes != 0; nearOnes &= nearOnes - 1) {
      const std::size_t i = block + static_cast<std::size_t>(std::countr_zero(nearOnes));
      const std::uint32_t next = LoadEntry(bytes.data() + i * fat::kFatEntrySize) & mask;
      const std::int64_t cluster = firstCluster + static_cast<std::int64_t>(i);
      if (cluster < fat::kFirstDataCluster || cluster > lastCluster) continue;
      // A root cluster's own entry is the root's chain, which the walk has checked.
      if (!root.Contains(next) || root.Contains(cluster)) continue;
      bool used = true;
      if (bitmap) {
        if (auto problem = bitmap->Allocated(cluster, used)) return problem;
      }
      if (used) return DamagedChain({DetailKind::kFatCrossLink, cluster, next, {}});
    }
  }
  return std::nullopt;
}

}  // namespace

std::int64_t DescribingFatSectors(const VolumeLayout& layout) {
  const std::int64_t sectorSize = layout.bytesPerSector;
  const std::int64_t entryBytes =
      (layout.clusterCount + fat::kFirstDataCluster) * fat::kFatEntrySize;
  return std::min<std::int64_t>(layout.fatSize, (entryBytes + sectorSize - 1) / sectorSize);
}

std::optional<Problem> ReadFatInOrder(volume::Volume& volume, const VolumeLayout& layout,
                                      const FatWindow* window, ProgressTrack& track,
                                      const FatPieceLook& look) {
  const std::int64_t sectorSize = layout.bytesPerSector;
  const std::int64_t sectors = DescribingFatSectors(layout);
  const std::int64_t heldFirst = window ? window->first : -1;
  const std::int64_t heldEnd = window ? std::min(window->first + window->count, sectors) : -1;
  if (heldFirst >= 0 && heldFirst < heldEnd) {
    const auto held =
        window->buffer.bytes().first(static_cast<std::size_t>((heldEnd - heldFirst) * sectorSize));
    if (auto problem = look(held, heldFirst)) return problem;
  }
  const std::int64_t transferSectors =
      std::max<std::int64_t>(1, std::min(kFatScanTransferBytes / sectorSize, sectors));
  volume::AlignedBuffer buffer;  // taken at the first read: often the window held the whole FAT
  const std::int64_t fatStart = layout.ActiveFatStart();
  for (std::int64_t sector = 0; sector < sectors;) {
    if (sector >= heldFirst && sector < heldEnd) {
      sector = heldEnd;
      continue;
    }
    // Up to the window, when it lies ahead.
    const std::int64_t end = sector < heldFirst ? std::min(heldFirst, sectors) : sectors;
    const std::int64_t count = std::min(transferSectors, end - sector);
    if (buffer.bytes().empty()) {
      buffer = volume::AlignedBuffer(static_cast<std::size_t>(transferSectors * sectorSize));
    }
    const auto bytes = buffer.bytes().first(static_cast<std::size_t>(count * sectorSize));
    if (const auto failed = ReadSectors(volume, fatStart + sector, layout.bytesPerSector, bytes)) {
      return ReadProblem(*failed, fatStart + sector, sectorSize);
    }
    track.Moved(static_cast<std::int64_t>(bytes.size()));
    if (auto problem = look(bytes, sector)) return problem;
    sector += count;
  }
  return std::nullopt;
}

std::optional<Problem> CheckOtherChains(volume::Volume& volume, VolumeLayout& layout,
                                        const FatWindow& window, ProgressTrack& track) {
  if (!layout.RootHasChain()) return std::nullopt;
  const RootClusterSet root(layout);
  if (root.begin() == root.end()) return std::nullopt;
  std::optional<AllocationBitmap> bitmap;
  if (layout.fileSystem == FileSystem::kExfat) {
    bitmap.emplace(volume, layout, track);
    if (auto problem = CheckRootAllocated(root, *bitmap)) return problem;
  }
  AllocationBitmap* const marks = bitmap ? &*bitmap : nullptr;
  return ReadFatInOrder(volume, layout, &window, track,
                        [&](std::span<const std::uint8_t> bytes, std::int64_t firstSector) {
                          return ScanFatSectors(layout, root, marks, bytes, firstSector);
                        });
}

std::int64_t FatScanBytes(const VolumeLayout& layout, const FatWindow& window) {
  if (!layout.RootHasChain() || layout.rootClusterCount < 1) return 0;
  const std::int64_t sectors = DescribingFatSectors(layout);
  const std::int64_t heldEnd = std::min(window.first + window.count, sectors);
  const std::int64_t held =
      window.first >= 0 && window.first < heldEnd ? heldEnd - window.first : 0;
  return (sectors - held) * layout.bytesPerSector;
}

}  // namespace kestrova::repair
