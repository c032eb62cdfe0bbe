// SPDX-License-Identifier: GPL-3.0-or-later
#include "exfat_volume.h"
#include "disk_facts.h"

#include "exfat_tools.h"
#include "format/exfat.h"
#include "format/fat.h"
#include "repair/engine.h"

namespace kestrova::testing {
namespace {

namespace ex = kestrova::exfat;

constexpr std::uint64_t kSector = 512, kCluster = 8 * kSector;
constexpr std::uint32_t kFatOffset = 24, kFatLength = 8, kHeapOffset = 64, kClusters = 1000;

void Put(std::vector<std::uint8_t>& bytes, std::size_t at, std::uint64_t value, int size) {
  for (int i = 0; i < size; ++i) bytes.at(at + i) = static_cast<std::uint8_t>(value >> (8 * i));
}

std::uint64_t ClusterOffset(std::uint32_t cluster) {
  return kHeapOffset * kSector + (cluster - 2) * kCluster;
}

}  // namespace

ExfatVolume::ExfatVolume(MemoryVolume& memory, char letter, int fatCount, int activeFat)
    : memory_(memory), letter_(letter), fatCount_(fatCount) {
  memory.AddSparseDrive(letter, kHeapOffset * kSector + kClusters * kCluster);
  std::vector<std::uint8_t> boot(kSector);
  std::copy(ex::kFileSystemName.begin(), ex::kFileSystemName.end(),
            boot.begin() + ex::kFileSystemNameOffset);
  Put(boot, ex::kVolumeLengthOffset, kHeapOffset + kClusters * kCluster / kSector, 8);
  Put(boot, ex::kFatOffsetOffset, kFatOffset, 4);
  Put(boot, ex::kFatLengthOffset, kFatLength, 4);
  Put(boot, ex::kClusterHeapOffsetOffset, kHeapOffset, 4);
  Put(boot, ex::kClusterCountOffset, kClusters, 4);
  Put(boot, ex::kRootClusterOffset, RootCluster(), 4);
  Put(boot, ex::kVolumeFlagsOffset, static_cast<std::uint64_t>(activeFat), 2);
  Put(boot, ex::kBytesPerSectorShiftOffset, 0x0309, 2);  // 512-byte sectors, 8 per cluster
  Put(boot, ex::kFatCountOffset, static_cast<std::uint64_t>(fatCount), 1);
  // The main boot region: signatures, and sector 11 full of the checksum of sectors 0 to 10.
  Put(boot, fat::kBootSignatureOffset, fat::kBootSignature, 2);
  std::vector<std::uint8_t> region(boot);
  region.resize((ex::kBootChecksumSector + 1) * kSector);
  for (std::int64_t s = ex::kFirstExtendedBootSector; s < ex::kExtendedBootSectors + 1; ++s) {
    Put(region, static_cast<std::size_t>((s + 1) * kSector) - ex::kExtendedBootSignatureSize,
        ex::kExtendedBootSignature, 4);
  }
  const std::uint32_t sum = repair::ExfatBootChecksum(
      std::span(region).first(ex::kChecksummedSectors * kSector), kSector);
  for (std::size_t at = ex::kBootChecksumSector * kSector; at < region.size(); at += 4) {
    Put(region, at, sum, 4);
  }
  Poke(0, region);
  SetFat(0, 0xFFFFFFF8);
  for (std::uint32_t cluster = 1; cluster <= RootCluster(); ++cluster) {
    SetFat(cluster, kExfatEndMark);
    for (int fat = 0; fat < fatCount && cluster > 1; ++fat) SetAllocated(cluster, true, fat);
  }
  for (int fat = 0; fat < fatCount; ++fat) {
    std::vector<std::uint8_t> entry(ex::kEntrySize);
    Put(entry, ex::kEntryTypeOffset, ex::kAllocationBitmap, 1);
    Put(entry, ex::kBitmapFlagsOffset, static_cast<std::uint64_t>(fat), 1);
    Put(entry, ex::kFirstClusterOffset, 2u + static_cast<std::uint32_t>(fat), 4);
    Put(entry, ex::kDataLengthOffset, kClusters / 8, 8);
    Poke(ClusterOffset(RootCluster()) + static_cast<std::uint64_t>(fat) * ex::kEntrySize, entry);
  }
}

void ExfatVolume::SetFat(std::uint32_t cluster, std::uint32_t value, int only) {
  std::vector<std::uint8_t> bytes(4);
  Put(bytes, 0, value, 4);
  for (int fat = 0; fat < fatCount_; ++fat) {
    if (only >= 0 && fat != only) continue;
    Poke((kFatOffset + static_cast<std::uint64_t>(fat) * kFatLength) * kSector + cluster * 4ull,
         bytes);
  }
}

void ExfatVolume::SetAllocated(std::uint32_t cluster, bool used, int fat) {
  const std::uint64_t byte =
      ClusterOffset(2u + static_cast<std::uint32_t>(fat)) + (cluster - 2) / 8;
  const auto bit = static_cast<std::uint8_t>(1u << ((cluster - 2) % 8));
  const std::uint8_t was = memory_.Peek(letter_, byte, 1).at(0);
  Poke(byte, {static_cast<std::uint8_t>(used ? was | bit : was & ~bit)});
}

void ExfatVolume::PutFile(int index, const std::string& name, std::uint8_t flags,
                          std::uint32_t first, std::uint64_t length) {
  PutSet(index, {.name = name, .flags = flags, .first = first, .length = length});
}

void ExfatVolume::PutSet(int index, const ExfatSet& set) {
  PutRootBytes(index, ExfatSetBytes(set));
}

void ExfatVolume::PutRootBytes(int index, const std::vector<std::uint8_t>& bytes) {
  Poke(ClusterOffset(RootCluster()) + static_cast<std::uint64_t>(index) * ex::kEntrySize, bytes);
}

void ExfatVolume::Poke(std::uint64_t offset, const std::vector<std::uint8_t>& bytes) {
  memory_.Poke(letter_, offset, bytes);
}

}  // namespace kestrova::testing
