// SPDX-License-Identifier: GPL-3.0-or-later
// The journal's codec beyond what a change's journal proves of itself (repair_pass_test.cpp): the
// records it takes, the empty journal and a large one.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "repair/journal.h"

namespace kestrova::testing {
namespace {

using repair::Journal;

Journal Of(std::int32_t sectorBytes, std::int64_t totalSectors, std::vector<std::int64_t> numbers) {
  Journal journal{{repair::FileSystem::kExfat, 0xCAFE0001, totalSectors, sectorBytes}, {}};
  for (const std::int64_t number : numbers) {
    std::vector<std::uint8_t> before(static_cast<std::size_t>(sectorBytes));
    for (std::size_t i = 0; i < before.size(); ++i) {
      before[i] = static_cast<std::uint8_t>(number * 7 + static_cast<std::int64_t>(i));
    }
    std::vector<std::uint8_t> after = before;
    after[static_cast<std::size_t>(number) % after.size()] ^= 0xFF;
    journal.sectors.push_back({number, std::move(before), std::move(after)});
  }
  return journal;
}

bool SameRecords(const Journal& a, const Journal& b) {
  if (a.sectors.size() != b.sectors.size()) return false;
  for (std::size_t i = 0; i < a.sectors.size(); ++i) {
    const auto &x = a.sectors[i], &y = b.sectors[i];
    if (x.sector != y.sector || x.before != y.before || x.after != y.after) return false;
  }
  return true;
}

// A record names a sector of the volume: its last is taken, one past it (or a number that reads
// as negative) refuses the journal.
TEST(JournalTest, RecordsOutsideTheVolumeAreRefused) {
  const auto last = repair::DecodeJournal(repair::EncodeJournal(Of(512, 100, {0, 99})));
  ASSERT_TRUE(last);
  EXPECT_EQ(last->sectors.back().sector, 99);
  for (const std::int64_t outside : {std::int64_t{100}, std::int64_t{1} << 40, std::int64_t{-1}}) {
    repair::JournalFault fault;
    EXPECT_FALSE(repair::DecodeJournal(repair::EncodeJournal(Of(512, 100, {5, outside})), &fault))
        << outside;
  }
}

// Sectors of 512 to 4,096 bytes are journaled; other sizes are no journal of a volume.
TEST(JournalTest, SectorSizesOutsideTheEnginesAreRefused) {
  for (const std::int32_t bytes : {512, 1024, 4096}) {
    const auto read = repair::DecodeJournal(repair::EncodeJournal(Of(bytes, 64, {3})));
    ASSERT_TRUE(read) << bytes;
    EXPECT_EQ(read->volume.bytesPerSector, bytes);
  }
  for (const std::int32_t bytes : {256, 8192}) {
    EXPECT_FALSE(repair::DecodeJournal(repair::EncodeJournal(Of(bytes, 64, {3})))) << bytes;
  }
}

TEST(JournalTest, EmptyAndLargeJournalsReadBackWhole) {
  const Journal empty = Of(4096, 1000, {});
  const auto none = repair::DecodeJournal(repair::EncodeJournal(empty));
  ASSERT_TRUE(none);
  EXPECT_EQ(none->volume, empty.volume);
  EXPECT_TRUE(none->sectors.empty());

  // Four thousand records of 4 KiB, not in the volume's order: read back in the order written,
  // and damage in the last one is placed there.
  std::vector<std::int64_t> numbers;
  for (std::int64_t i = 0; i < 4000; ++i) numbers.push_back((i * 7919) % 1000003);
  const Journal large = Of(4096, 1000003, numbers);
  auto bytes = repair::EncodeJournal(large);
  const auto read = repair::DecodeJournal(bytes);
  ASSERT_TRUE(read);
  EXPECT_EQ(read->volume, large.volume);
  EXPECT_TRUE(SameRecords(*read, large));
  bytes[bytes.size() - 4 - 4 - 100] ^= 1;  // in the last record's bytes after
  repair::JournalFault fault;
  EXPECT_FALSE(repair::DecodeJournal(bytes, &fault));
  EXPECT_TRUE(fault.damaged);
  EXPECT_EQ(fault.record, 3999);
}

}  // namespace
}  // namespace kestrova::testing
