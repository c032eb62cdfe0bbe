#include "exfat_volume.h"

#include "exfat_tools.h"
#include "fat32_volume.h"
#include "repair/exfat.h"

namespace kestrova::testing {
namespace {

namespace ex = kestrova::exfat;

constexpr std::uint64_t kSector = 512;
constexpr std::uint64_t kCluster = 8 * kSector;
constexpr std::uint32_t kFatOffset = 24, kFatLength = 8, kHeapOffset = 64, kClusters = 1000;
constexpr std::uint32_t kEnd = 0xFFFFFFFF;

}  // namespace

ExfatVolume::ExfatVolume(MemoryVolume& memory, char letter, std::uint8_t fatCount, int activeFat)
    : memory_(memory), letter_(letter), fatCount_(fatCount) {
  memory.AddSparseDrive(letter, kHeapOffset * kSector + kClusters * kCluster);
  const std::string name(ex::kFileSystemName);
  memory.Poke(letter, ex::kFileSystemNameOffset,
              std::vector<std::uint8_t>(name.begin(), name.end()));
  const auto volumeLength = Le32(kHeapOffset + kClusters * 8);
  memory.Poke(letter, ex::kVolumeLengthOffset, volumeLength);
  memory.Poke(letter, ex::kFatOffsetOffset, Le32(kFatOffset));
  memory.Poke(letter, ex::kFatLengthOffset, Le32(kFatLength));
  memory.Poke(letter, ex::kClusterHeapOffsetOffset, Le32(kHeapOffset));
  memory.Poke(letter, ex::kClusterCountOffset, Le32(kClusters));
  memory.Poke(letter, ex::kRootClusterOffset, Le32(RootCluster()));
  memory.Poke(letter, ex::kVolumeFlagsOffset, Le16(static_cast<std::uint16_t>(activeFat)));
  memory.Poke(letter, ex::kBytesPerSectorShiftOffset, {9, 3, fatCount});
  SetFat(0, 0xFFFFFFF8);
  SetFat(1, kEnd);
  for (std::uint32_t cluster = 2; cluster <= RootCluster(); ++cluster) {
    SetFat(cluster, kEnd);
    for (int fat = 0; fat < fatCount; ++fat) SetAllocated(cluster, true, fat);
  }
  for (std::uint8_t fat = 0; fat < fatCount; ++fat) {
    std::vector<std::uint8_t> entry(ex::kEntrySize, 0);
    entry[ex::kEntryTypeOffset] = ex::kAllocationBitmap;
    entry[ex::kBitmapFlagsOffset] = fat;
    entry[ex::kFirstClusterOffset] = static_cast<std::uint8_t>(2 + fat);
    entry[ex::kDataLengthOffset] = kClusters / 8;
    memory.Poke(letter, ClusterOffset(RootCluster()) + fat * ex::kEntrySize, entry);
  }
}

std::uint64_t ExfatVolume::ClusterOffset(std::uint32_t cluster) const {
  return kHeapOffset * kSector + (cluster - 2) * kCluster;
}

void ExfatVolume::SetFat(std::uint32_t cluster, std::uint32_t value) {
  for (std::uint32_t fat = 0; fat < fatCount_; ++fat) {
    memory_.Poke(letter_, (kFatOffset + fat * kFatLength) * kSector + cluster * 4ull, Le32(value));
  }
}

void ExfatVolume::Chain(const std::vector<std::uint32_t>& clusters) {
  for (std::size_t i = 0; i < clusters.size(); ++i) {
    SetFat(clusters[i], i + 1 < clusters.size() ? clusters[i + 1] : kEnd);
  }
}

void ExfatVolume::SetAllocated(std::uint32_t cluster, bool used, int fat) {
  const std::uint64_t byte = ClusterOffset(2 + fat) + (cluster - 2) / 8;
  const auto bit = static_cast<std::uint8_t>(1u << ((cluster - 2) % 8));
  const std::uint8_t was = memory_.Peek(letter_, byte, 1).at(0);
  memory_.Poke(letter_, byte, {static_cast<std::uint8_t>(used ? was | bit : was & ~bit)});
}

void ExfatVolume::PutFile(int index, const std::string& name, std::uint16_t attributes,
                          std::uint8_t flags, std::uint32_t first, std::uint64_t length) {
  std::vector<std::uint8_t> set(3 * ex::kEntrySize, 0);
  set[0] = ex::kFile;
  set[ex::kSecondaryCountOffset] = 2;
  set[ex::kFileAttributesOffset] = static_cast<std::uint8_t>(attributes);
  set[ex::kFileAttributesOffset + 1] = static_cast<std::uint8_t>(attributes >> 8);
  const auto stream = set.begin() + ex::kEntrySize;
  stream[0] = ex::kStreamExtension;
  stream[ex::kSecondaryFlagsOffset] = flags;
  stream[ex::kNameLengthOffset] = static_cast<std::uint8_t>(name.size());
  const auto first4 = Le32(first), low = Le32(static_cast<std::uint32_t>(length)),
             high = Le32(static_cast<std::uint32_t>(length >> 32));
  std::copy(first4.begin(), first4.end(), stream + ex::kFirstClusterOffset);
  std::copy(low.begin(), low.end(), stream + ex::kDataLengthOffset);
  std::copy(high.begin(), high.end(), stream + ex::kDataLengthOffset + 4);
  set[2 * ex::kEntrySize] = ex::kFileName;
  for (std::size_t i = 0; i < name.size(); ++i) {
    set[2 * ex::kEntrySize + ex::kFileNameOffset + 2 * i] = static_cast<std::uint8_t>(name[i]);
  }
  const auto sum = Le16(ExfatSetChecksum(set));
  std::copy(sum.begin(), sum.end(), set.begin() + ex::kSetChecksumOffset);
  memory_.Poke(letter_, ClusterOffset(RootCluster()) + index * ex::kEntrySize, set);
}

}  // namespace kestrova::testing
