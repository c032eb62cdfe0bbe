// SPDX-License-Identifier: GPL-3.0-or-later
// exFAT volumes built byte by byte in a MemoryVolume, as Fat32Volume builds FAT32 ones: 512-byte
// sectors, 8 per cluster, 1,000 clusters; the allocation bitmap of each FAT in its own cluster
// from cluster 2 on, the root directory in the cluster after them, one cluster long.
#pragma once

#include <cstdint>
#include <string>

#include "exfat_tools.h"
#include "memory_volume.h"

namespace kestrova::testing {

class ExfatVolume {
 public:
  // With two FATs, `activeFat` is the one that the volume flags name.
  ExfatVolume(MemoryVolume& memory, char letter, int fatCount = 1, int activeFat = 0);

  std::uint32_t RootCluster() const { return 2u + fatCount_; }
  // Sets the entry of `cluster` in FAT `fat`, or in every FAT.
  void SetFat(std::uint32_t cluster, std::uint32_t value, int fat = -1);
  // Marks `cluster` used or free in the bitmap of FAT `fat`.
  void SetAllocated(std::uint32_t cluster, bool used, int fat = 0);
  // Writes the entry set of a file named `name` (ASCII, up to 15 characters) at entry `index` of
  // the root: its stream extension has `flags`, `first` and `length`.
  void PutFile(int index, const std::string& name, std::uint8_t flags, std::uint32_t first,
               std::uint64_t length);
  // Writes an entry set, or any bytes, at entry `index` of the root; a root of more than one
  // cluster must have its clusters one after another.
  void PutSet(int index, const ExfatSet& set);
  void PutRootBytes(int index, const std::vector<std::uint8_t>& bytes);

 private:
  void Poke(std::uint64_t offset, const std::vector<std::uint8_t>& bytes);
  MemoryVolume& memory_;
  char letter_;
  int fatCount_;
};

}  // namespace kestrova::testing
