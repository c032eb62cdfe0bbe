// SPDX-License-Identifier: GPL-3.0-or-later
// The FAT's one writer and its entries' places: an entry set in every FAT kept current, its
// neighbours' bits and FAT32's top bits kept, also across a sector's end.
#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <vector>

#include "format/fat.h"
#include "format/fat_table.h"

namespace kestrova::testing {
namespace {

using repair::FileSystem;

// Sectors held in memory, each read as the bytes `fill` gives it.
class MemoryEdits final : public repair::SectorEdits {
 public:
  std::optional<repair::Problem> LoadBytes(std::int64_t first, std::int64_t offset,
                                           std::int64_t count) override {
    for (std::int64_t s = offset / kBytes; s <= (offset + count - 1) / kBytes; ++s) {
      sectors.try_emplace(first + s, kBytes, fill);
    }
    return std::nullopt;
  }
  std::span<std::uint8_t> After(std::int64_t sector) override { return sectors.at(sector); }
  std::int32_t SectorBytes() const override { return kBytes; }

  static constexpr std::int32_t kBytes = 512;
  std::uint8_t fill = 0;
  std::map<std::int64_t, std::vector<std::uint8_t>> sectors;
};

// Two FATs of four sectors each, after one reserved sector.
repair::VolumeGeometry TwoFats(FileSystem fileSystem) {
  repair::VolumeGeometry layout;
  layout.fileSystem = fileSystem;
  layout.bytesPerSector = MemoryEdits::kBytes;
  layout.reservedSectors = 1;
  layout.fatSize = 4;
  layout.fatCount = 2;
  return layout;
}

// The raw entry of `cluster` in the FAT that begins at `start`, as the edits hold it.
std::uint32_t EntryIn(MemoryEdits& edits, const repair::VolumeGeometry& layout, std::int64_t start,
                      std::int64_t cluster) {
  std::vector<std::uint8_t> fat;
  for (std::int64_t s = 0; s < layout.fatSize; ++s) {
    edits.LoadBytes(start + s, 0, 1);
    const auto bytes = edits.After(start + s);
    fat.insert(fat.end(), bytes.begin(), bytes.end());
  }
  return repair::DecodeFatEntry(layout.fileSystem, fat, 0, cluster);
}

TEST(FatTable, Fat12EntriesKeepTheirNeighboursHalvesInBothFatsAcrossASectorEnd) {
  const auto layout = TwoFats(FileSystem::kFat12);
  MemoryEdits edits;
  edits.fill = 0xFF;
  repair::FatTable table(layout, edits);
  // Cluster 341's entry is bytes 511 and 512 of the FAT: the end of its first sector.
  for (const std::int64_t cluster : {3, 4, 341, 342}) {
    ASSERT_FALSE(table.Set(cluster, static_cast<std::uint32_t>(0x100 + cluster)));
  }
  for (const std::int64_t start : {1, 5}) {
    for (const std::int64_t cluster : {3, 4, 341, 342}) {
      EXPECT_EQ(EntryIn(edits, layout, start, cluster), 0x100u + cluster)
          << start << ' ' << cluster;
    }
    EXPECT_EQ(EntryIn(edits, layout, start, 2), 0xFFFu);
    EXPECT_EQ(EntryIn(edits, layout, start, 5), 0xFFFu);
    EXPECT_EQ(EntryIn(edits, layout, start, 340), 0xFFFu);
  }
}

TEST(FatTable, Fat32KeepsTheTopBitsAndWritesOnlyTheFatInUseWhenMirroringIsOff) {
  auto layout = TwoFats(FileSystem::kFat32);
  layout.bootSector[fat::kExtFlagsOffset] = fat::kExtFlagsNoMirroring | 1;
  layout.activeFat = 1;
  MemoryEdits edits;
  edits.fill = 0xF0;
  repair::FatTable table(layout, edits);
  ASSERT_FALSE(table.Set(9, 0));
  EXPECT_EQ(EntryIn(edits, layout, 5, 9), 0xF0000000u);
  EXPECT_EQ(EntryIn(edits, layout, 1, 9), 0xF0F0F0F0u);
}

TEST(FatTable, FirstClusterAtFindsTheEntryThatBeginsAtOrAfterAByte) {
  for (const FileSystem fileSystem : {FileSystem::kFat12, FileSystem::kFat16, FileSystem::kFat32}) {
    for (std::int64_t cluster = 2; cluster < 1000; ++cluster) {
      const std::int64_t at = repair::FatEntryOffset(fileSystem, cluster);
      EXPECT_EQ(repair::FirstClusterAt(fileSystem, at), cluster);
      EXPECT_EQ(repair::FirstClusterAt(fileSystem, at + 1), cluster + 1);
    }
  }
}

}  // namespace
}  // namespace kestrova::testing
