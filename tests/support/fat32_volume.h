// SPDX-License-Identifier: GPL-3.0-or-later
// FAT32 volumes built byte by byte in a MemoryVolume, and a window that records what the engine
// asks of it. The builder writes only what a test names: a boot sector, FAT entries and
// directory entries; everything else stays zero.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "memory_volume.h"
#include "repair/engine.h"

namespace kestrova::testing {

struct Fat32Geometry {
  std::uint16_t bytesPerSector = 512;
  std::uint8_t sectorsPerCluster = 8;
  std::uint16_t reservedSectors = 32;
  std::uint8_t fatCount = 2;
  std::uint32_t fatSize = 64;
  std::uint32_t totalSectors = 0;  // 0: as many as the FAT can describe
  std::uint32_t rootCluster = 2;
  std::string typeText = "FAT32   ";
};

class Fat32Volume {
 public:
  // Writes the boot sector and the two reserved FAT entries; the root is one cluster long.
  Fat32Volume(MemoryVolume& memory, char letter, const Fat32Geometry& geometry);

  std::uint64_t DataStart() const;
  std::uint64_t ClusterCount() const;
  std::uint64_t ClusterSector(std::uint32_t cluster) const;
  std::uint32_t LastCluster() const { return static_cast<std::uint32_t>(ClusterCount() + 1); }
  std::uint64_t TotalSectors() const { return totalSectors_; }

  // Sets the entry of `cluster` in every FAT.
  void SetFat(std::uint32_t cluster, std::uint32_t value);
  // Links the clusters in order and ends the chain with an end mark.
  void Chain(const std::vector<std::uint32_t>& clusters);
  // Writes a 32-byte directory entry: `name11` is the 8.3 name as stored (11 bytes).
  void PutEntry(std::uint64_t sector, int index, const std::string& name11, std::uint8_t attribute);
  // Sets the first cluster of the entry at `index` of `sector`.
  void SetFirstCluster(std::uint64_t sector, int index, std::uint32_t cluster);
  void PokeBoot(std::size_t offset, const std::vector<std::uint8_t>& bytes);

  char letter() const { return letter_; }
  MemoryVolume& memory() { return memory_; }

 private:
  MemoryVolume& memory_;
  char letter_;
  Fat32Geometry geometry_;
  std::uint64_t totalSectors_ = 0;
};

// Little-endian bytes of a 16- or 32-bit value.
std::vector<std::uint8_t> Le16(std::uint16_t value);
std::vector<std::uint8_t> Le32(std::uint32_t value);

// What a front end makes of the engine's runs on a drive of the test devices, recorded: the
// message of each problem (text and title), whether each analysis let the repair go on, and the
// pass's progress.
class EngineRun final : public repair::Progress {
 public:
  struct Message {
    std::string text;
    std::string title;
  };

  std::vector<std::string> entries{"F"};  // the drive letters, as a window lists them
  std::int16_t selected = 0;
  std::vector<bool> enabledHistory;  // false as each analysis begins, true when it succeeded
  std::vector<Message> messages;
  std::vector<float> widths;
  int pumps = 0;
  std::function<void()> onPump;  // runs at every progress step

  bool RepairEnabled() const { return !enabledHistory.empty() && enabledHistory.back(); }
  bool EverEnabled() const;
  void Advance(float percent) override;
  void Tell(const repair::Problem& problem);
};

// The analysis of the drive of run.entries[item], opened with `access`, into `layout`.
void AnalyseEntry(repair::VolumeLayout& layout, EngineRun& run, std::int16_t item = 0,
                  volume::Access access = volume::Access::kReadWrite);
// The pass on the selected drive: against `analysed`, or with the analysis under its own open
// standing alone. The problem when it failed (also told to `run`).
std::optional<repair::Problem> PassOnEntry(const repair::VolumeLayout* analysed, EngineRun& run,
                                           repair::RepairReport* report = nullptr);

}  // namespace kestrova::testing
