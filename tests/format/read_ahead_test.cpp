// SPDX-License-Identifier: GPL-3.0-or-later
// Reads made ahead: each transfer's own bytes in the order given, a failed read failing only its
// transfer, and an owner that stops early waiting for no read it did not ask for.
#include "format/read_ahead.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "memory_volume.h"

namespace kestrova::testing {
namespace {

using repair::ReadAhead;
using repair::SectorTransfer;

constexpr std::uint32_t kSector = 512;

class ReadAheadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // Sector n holds the byte n + 1 throughout.
    std::vector<std::uint8_t> bytes(64 * kSector);
    for (std::size_t i = 0; i < bytes.size(); ++i)
      bytes[i] = static_cast<std::uint8_t>(i / kSector + 1);
    memory.AddDrive('F', bytes);
  }
  volume::Volume Open() {
    auto opened =
        volume::Volume::Open(volume::DriveTarget::OfLetter('F'), volume::Access::kReadOnly);
    EXPECT_TRUE(opened);
    return std::move(*opened);
  }
  MemoryVolume memory;
  ScopedBackend backend{memory};
};

// Of different sizes and out of order on the volume, one read failing: many transfers read on
// the thread, a few read together at the first Next(). Each arrived transfer is told once, before
// it is handed over.
TEST_F(ReadAheadTest, GivesEachTransferItsOwnBytesInOrderAndFailsOnlyTheOneWhoseReadFailed) {
  struct Case {
    std::vector<SectorTransfer> transfers;
    std::size_t failing;
  };
  const Case cases[] = {
      {{{40, 2 * kSector}, {3, 8 * kSector}, {20, kSector}, {9, 4 * kSector}, {0, kSector}}, 2},
      {{{33, 4 * kSector}, {7, kSector}, {12, 3 * kSector}}, 1}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.transfers.size());
    const int before = memory.Count(MemoryVolume::Call::kRead);
    memory.FailAt(MemoryVolume::Call::kRead, before + static_cast<int>(c.failing) + 1);
    auto volume = Open();
    std::size_t told = 0;
    ReadAhead reads(volume, kSector, c.transfers, [&] { ++told; });
    for (std::size_t i = 0; i < c.transfers.size(); ++i) {
      SCOPED_TRACE(i);
      std::optional<volume::DeviceError> failed;
      const auto bytes = reads.Next(failed);
      ASSERT_TRUE(bytes.has_value());
      EXPECT_EQ(failed.has_value(), i == c.failing);
      EXPECT_EQ(told, i + (i < c.failing ? 1 : 0)) << "told of each that arrived, before it";
      if (failed) continue;
      ASSERT_EQ(bytes->size(), static_cast<std::size_t>(c.transfers[i].bytes));
      for (std::size_t at = 0; at < bytes->size(); at += kSector) {
        EXPECT_EQ((*bytes)[at],
                  c.transfers[i].sector + static_cast<std::int64_t>(at / kSector) + 1);
      }
    }
    std::optional<volume::DeviceError> failed;
    EXPECT_FALSE(reads.Next(failed).has_value());
    EXPECT_EQ(memory.Count(MemoryVolume::Call::kRead) - before,
              static_cast<int>(c.transfers.size()));
  }
}

TEST_F(ReadAheadTest, AnOwnerThatStopsEarlyLeavesTheRestUnread) {
  std::vector<SectorTransfer> transfers;
  for (std::int64_t s = 0; s < 60; ++s) transfers.push_back({s, kSector});
  auto volume = Open();
  {
    ReadAhead reads(volume, kSector, transfers);
    std::optional<volume::DeviceError> failed;
    ASSERT_TRUE(reads.Next(failed).has_value());
    ASSERT_TRUE(reads.Next(failed).has_value());
  }
  // The two taken and at most the one read while the second was looked at.
  EXPECT_GE(memory.Count(MemoryVolume::Call::kRead), 2);
  EXPECT_LE(memory.Count(MemoryVolume::Call::kRead), 3);
}

}  // namespace
}  // namespace kestrova::testing
