// Helpers for the image tests: the boot-sector fields of an image, FAT entries and clusters to
// rearrange a volume, and runs of kestrova-cli.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace kestrova::testing {

// The geometry fields of a FAT32 image's boot sector, as stored.
struct BootFields {
  std::uint32_t bytesPerSector = 0;
  std::uint32_t sectorsPerCluster = 0;
  std::uint32_t reservedSectors = 0;
  std::uint32_t fatCount = 0;
  std::uint32_t fatSize = 0;
  std::uint32_t totalSectors = 0;
  std::uint32_t rootCluster = 0;
  std::uint32_t backupBootSector = 0;

  std::uint64_t DataStart() const { return reservedSectors + std::uint64_t{fatCount} * fatSize; }
  std::uint64_t ClusterOffset(std::uint32_t cluster) const;
  std::uint64_t ClusterBytes() const { return std::uint64_t{sectorsPerCluster} * bytesPerSector; }
};

BootFields ReadBoot(const std::filesystem::path& image);

// The entry of `cluster` in the first FAT, and a change of it in every FAT.
std::uint32_t FatEntry(const std::filesystem::path& image, const BootFields& boot,
                       std::uint32_t cluster);
void SetFatEntry(const std::filesystem::path& image, const BootFields& boot, std::uint32_t cluster,
                 std::uint32_t value);
// The clusters of the chain that starts at `first`, as the first FAT links them.
std::vector<std::uint32_t> ChainOf(const std::filesystem::path& image, const BootFields& boot,
                                   std::uint32_t first);
// Moves the data of cluster `from` to the free cluster `to` and links `to` in its place;
// `previous` is the cluster that links to `from`, or 0 when `from` starts the root directory.
void MoveCluster(const std::filesystem::path& image, const BootFields& boot, std::uint32_t previous,
                 std::uint32_t from, std::uint32_t to);

struct CliResult {
  int status = -1;
  std::string out;  // standard output
  std::string err;  // standard error
};
// Runs kestrova-cli with the given (already quoted) arguments.
CliResult Cli(const std::string& arguments);

// Bytes of repeatable pseudo-random content.
std::vector<std::uint8_t> Noise(std::size_t length, std::uint32_t seed);

}  // namespace kestrova::testing
