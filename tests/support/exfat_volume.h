// exFAT volumes built byte by byte in a MemoryVolume, as Fat32Volume builds FAT32 ones: 512-byte
// sectors, 8 per cluster, 1,000 clusters; the allocation bitmap of each FAT in its own cluster
// from cluster 2 on, the root directory in the cluster after them. Everything a test does not
// name stays zero.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "memory_volume.h"

namespace kestrova::testing {

class ExfatVolume {
 public:
  // Writes the boot sector, the FAT entries and bitmap bits of the bitmaps and the root, and the
  // bitmap entries. With two FATs, `activeFat` is the one that the volume flags name.
  ExfatVolume(MemoryVolume& memory, char letter, std::uint8_t fatCount = 1, int activeFat = 0);

  std::uint32_t RootCluster() const { return 2u + fatCount_; }
  std::uint64_t ClusterOffset(std::uint32_t cluster) const;
  // Sets the entry of `cluster` in every FAT.
  void SetFat(std::uint32_t cluster, std::uint32_t value);
  // Links the clusters in order and ends the chain.
  void Chain(const std::vector<std::uint32_t>& clusters);
  // Marks `cluster` used or free in the bitmap of FAT `fat`.
  void SetAllocated(std::uint32_t cluster, bool used, int fat = 0);
  // Writes a File entry set for `name` (ASCII, up to 15 characters) at entry `index` of the root:
  // the File entry, the stream extension with `flags`, `first` and `length`, one name entry, and
  // the set checksum.
  void PutFile(int index, const std::string& name, std::uint16_t attributes, std::uint8_t flags,
               std::uint32_t first, std::uint64_t length);

 private:
  MemoryVolume& memory_;
  char letter_;
  std::uint8_t fatCount_;
};

}  // namespace kestrova::testing
