#include "image_tools.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <iterator>

#include "fat_tools.h"
#include "repair/fat.h"

namespace kestrova::testing {
namespace {

namespace fat = kestrova::fat;

constexpr std::size_t kBackupBootOffset = 50;  // 16 bits: the sector of the boot sector's copy
constexpr std::uint32_t kChainLimit = 100000;

std::uint32_t Le(const std::vector<std::uint8_t>& bytes, std::size_t offset, int length) {
  std::uint32_t value = 0;
  for (int i = length - 1; i >= 0; --i) value = value << 8 | bytes.at(offset + i);
  return value;
}

std::vector<std::uint8_t> Le32Bytes(std::uint32_t value) {
  return {static_cast<std::uint8_t>(value), static_cast<std::uint8_t>(value >> 8),
          static_cast<std::uint8_t>(value >> 16), static_cast<std::uint8_t>(value >> 24)};
}

std::uint64_t FatEntryOffset(const BootFields& boot, std::uint32_t copy, std::uint32_t cluster) {
  return (boot.reservedSectors + std::uint64_t{copy} * boot.fatSize) * boot.bytesPerSector +
         std::uint64_t{cluster} * fat::kFatEntrySize;
}

}  // namespace

std::uint64_t BootFields::ClusterOffset(std::uint32_t cluster) const {
  return (DataStart() + std::uint64_t{cluster - 2} * sectorsPerCluster) * bytesPerSector;
}

BootFields ReadBoot(const std::filesystem::path& image) {
  const auto boot = ReadAt(image, 0, fat::kMinSectorSize);
  BootFields fields;
  if (boot.size() < fat::kMinSectorSize) return fields;
  fields.bytesPerSector = Le(boot, fat::kBytesPerSectorOffset, 2);
  fields.sectorsPerCluster = boot[fat::kSectorsPerClusterOffset];
  fields.reservedSectors = Le(boot, fat::kReservedSectorsOffset, 2);
  fields.fatCount = boot[fat::kFatCountOffset];
  fields.fatSize = Le(boot, fat::kFatSize32Offset, 4);
  fields.totalSectors = Le(boot, fat::kTotalSectors32Offset, 4);
  fields.rootCluster = Le(boot, fat::kRootClusterOffset, 4);
  fields.backupBootSector = Le(boot, kBackupBootOffset, 2);
  return fields;
}

std::uint32_t FatEntry(const std::filesystem::path& image, const BootFields& boot,
                       std::uint32_t cluster) {
  return Le(ReadAt(image, FatEntryOffset(boot, 0, cluster), fat::kFatEntrySize), 0, 4);
}

void SetFatEntry(const std::filesystem::path& image, const BootFields& boot, std::uint32_t cluster,
                 std::uint32_t value) {
  for (std::uint32_t copy = 0; copy < boot.fatCount; ++copy) {
    PatchBytes(image, FatEntryOffset(boot, copy, cluster), Le32Bytes(value));
  }
}

std::vector<std::uint32_t> ChainOf(const std::filesystem::path& image, const BootFields& boot,
                                   std::uint32_t first) {
  std::vector<std::uint32_t> chain{first};
  for (std::uint32_t next = FatEntry(image, boot, first) & fat::kClusterMask;
       next >= fat::kFirstDataCluster && next < fat::kBadCluster && chain.size() < kChainLimit;
       next = FatEntry(image, boot, next) & fat::kClusterMask) {
    chain.push_back(next);
  }
  return chain;
}

void MoveCluster(const std::filesystem::path& image, const BootFields& boot, std::uint32_t previous,
                 std::uint32_t from, std::uint32_t to) {
  ASSERT_EQ(FatEntry(image, boot, to), 0u) << "cluster " << to << " is not free";
  const auto data = ReadAt(image, boot.ClusterOffset(from), boot.ClusterBytes());
  ASSERT_EQ(data.size(), boot.ClusterBytes());
  PatchBytes(image, boot.ClusterOffset(to), data);
  PatchBytes(image, boot.ClusterOffset(from), std::vector<std::uint8_t>(data.size(), 0));
  SetFatEntry(image, boot, to, FatEntry(image, boot, from));
  SetFatEntry(image, boot, from, 0);
  if (previous != 0) {
    SetFatEntry(image, boot, previous, to);
  } else {
    PatchBytes(image, fat::kRootClusterOffset, Le32Bytes(to));
    if (boot.backupBootSector != 0) {
      PatchBytes(
          image,
          std::uint64_t{boot.backupBootSector} * boot.bytesPerSector + fat::kRootClusterOffset,
          Le32Bytes(to));
    }
  }
}

CliResult Cli(const std::string& arguments) {
  char pattern[] = "/tmp/kestrova-cli-err-XXXXXX";
  const int fd = ::mkstemp(pattern);
  if (fd >= 0) ::close(fd);
  CliResult result;
  const auto run = Run(Quote(CliPath()) + " " + arguments + " 2>" + Quote(pattern));
  result.status = run.status;
  result.out = run.output;
  std::ifstream err(pattern, std::ios::binary);
  result.err.assign(std::istreambuf_iterator<char>(err), std::istreambuf_iterator<char>());
  ::unlink(pattern);
  return result;
}

std::vector<std::uint8_t> Noise(std::size_t length, std::uint32_t seed) {
  std::vector<std::uint8_t> bytes(length);
  std::uint32_t state = seed * 2654435761u + 1;
  for (auto& b : bytes) {
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    b = static_cast<std::uint8_t>(state);
  }
  return bytes;
}

}  // namespace kestrova::testing
