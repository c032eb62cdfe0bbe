// SPDX-License-Identifier: GPL-3.0-or-later
// Raw volume access through the POSIX backend, on real files presented under a drive letter.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <stdexcept>
#include <vector>

#include "fat_tools.h"
#include "repair/sector_io.h"
#include "volume/drives.h"
#include "volume/volume.h"

namespace kestrova::testing {
namespace {

using volume::Access;
using volume::hVolume;
using volume::kInvalidHandle;
using Kind = volume::OpenFailureKind;

constexpr std::uint32_t kSector = 512;
constexpr std::uint64_t kSectors = 64;

std::uint8_t PatternByte(std::uint64_t sector, std::size_t i) {
  return static_cast<std::uint8_t>(sector * 7 + i * 13 + 1);
}

std::vector<std::uint8_t> PatternSector(std::uint64_t sector) {
  std::vector<std::uint8_t> bytes(kSector);
  for (std::size_t i = 0; i < kSector; ++i) bytes[i] = PatternByte(sector, i);
  return bytes;
}

class PosixVolumeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    volume::UseVolumeBackend(nullptr);
    std::ofstream out(image, std::ios::binary);
    for (std::uint64_t s = 0; s < kSectors; ++s) {
      const auto bytes = PatternSector(s);
      out.write(reinterpret_cast<const char*>(bytes.data()), kSector);
    }
    out.close();
    ASSERT_TRUE(volume::RegisterDrive('P', image.string()));
  }
  void TearDown() override {
    if (open) volume::CloseVolume();
  }
  bool Open(Access access = Access::kReadWrite) {
    return open = volume::OpenVolume(volume::DevicePath("P"), access);
  }
  // Opens P expecting a refusal, and says why it came.
  volume::OpenFailure Refusal(Access access = Access::kReadWrite) {
    EXPECT_FALSE(Open(access)) << "opened";
    return volume::LastOpenFailure();
  }
  void Close() {
    EXPECT_TRUE(volume::CloseVolume());
    open = false;
  }
  std::vector<std::uint8_t> ReadSector(std::int32_t high, std::int32_t low) {
    volume::SectorBuffer buffer;
    buffer.fill(0xCC);
    std::uint32_t count = 0;
    EXPECT_TRUE(volume::SetVolumePosition(high, low));
    EXPECT_TRUE(volume::ReadVolume(kSector, buffer, count));
    EXPECT_EQ(count, kSector);
    return {buffer.begin(), buffer.end()};
  }

  TempDir dir;
  std::filesystem::path image = dir / "volume.img";
  bool open = false;
};

TEST_F(PosixVolumeTest, PositionAndReadDeliverWholeSectors) {
  ASSERT_TRUE(Open());
  EXPECT_NE(hVolume, kInvalidHandle);
  EXPECT_EQ(ReadSector(0, 0), PatternSector(0));
  EXPECT_EQ(ReadSector(0, 5 * kSector), PatternSector(5));
  EXPECT_EQ(ReadSector(0, 0), PatternSector(0));  // back again

  // A buffer that is not aligned for unbuffered transfers.
  std::vector<std::uint8_t> unaligned(kSector + 1, 0xCC);
  std::uint32_t count = 0;
  ASSERT_TRUE(volume::SetVolumePosition(0, 3 * kSector));
  ASSERT_TRUE(volume::ReadVolume(kSector, std::span(unaligned).subspan(1), count));
  EXPECT_EQ(count, kSector);
  EXPECT_EQ(std::vector<std::uint8_t>(unaligned.begin() + 1, unaligned.end()), PatternSector(3));
  EXPECT_EQ(unaligned[0], 0xCC);
}

TEST_F(PosixVolumeTest, WriteLandsOnThePositionedSectorOnly) {
  ASSERT_TRUE(Open());
  std::vector<std::uint8_t> unaligned(kSector + 3, 0);
  for (std::size_t i = 0; i < kSector; ++i) unaligned[i + 3] = static_cast<std::uint8_t>(255 - i);
  volume::SectorBuffer aligned;
  aligned.fill(0x5A);
  ASSERT_TRUE(volume::SetVolumePosition(0, 7 * kSector));
  ASSERT_TRUE(volume::WriteVolume(kSector, aligned));
  ASSERT_TRUE(volume::SetVolumePosition(0, 9 * kSector));
  ASSERT_TRUE(volume::WriteVolume(kSector, std::span(unaligned).subspan(3)));
  ASSERT_TRUE(volume::DismountVolume());
  Close();

  const auto bytes = ReadBytes(image);
  ASSERT_EQ(bytes.size(), kSectors * kSector);
  for (std::uint64_t s = 0; s < kSectors; ++s) {
    const std::vector<std::uint8_t> now(
        bytes.begin() + static_cast<std::ptrdiff_t>(s * kSector),
        bytes.begin() + static_cast<std::ptrdiff_t>((s + 1) * kSector));
    if (s == 7) {
      EXPECT_EQ(now, std::vector<std::uint8_t>(kSector, 0x5A));
    } else if (s == 9) {
      EXPECT_EQ(now, std::vector<std::uint8_t>(unaligned.begin() + 3, unaligned.end()));
    } else {
      EXPECT_EQ(now, PatternSector(s)) << "sector " << s;
    }
  }
}

TEST_F(PosixVolumeTest, OpenIsExclusiveUntilClosed) {
  ASSERT_TRUE(Open());
  const auto first = hVolume;
  EXPECT_FALSE(volume::OpenVolume(volume::DevicePath("P")));
  EXPECT_EQ(hVolume, kInvalidHandle);
  hVolume = first;
  Close();
  EXPECT_TRUE(Open()) << "the lock outlived the handle";
}

TEST_F(PosixVolumeTest, ClosedOrInvalidHandleFailsEveryOperation) {
  ASSERT_TRUE(Open());
  Close();
  volume::SectorBuffer buffer{};
  std::uint32_t count = 0;
  EXPECT_FALSE(volume::SetVolumePosition(0, 0));
  EXPECT_FALSE(volume::ReadVolume(kSector, buffer, count));
  EXPECT_FALSE(volume::WriteVolume(kSector, buffer));
  EXPECT_FALSE(volume::DismountVolume());

  hVolume = kInvalidHandle;
  EXPECT_FALSE(volume::SetVolumePosition(0, 0));
  EXPECT_FALSE(volume::ReadVolume(kSector, buffer, count));
  EXPECT_FALSE(volume::CloseVolume());
  EXPECT_EQ(ReadBytes(image).size(), kSectors * kSector);
}

TEST_F(PosixVolumeTest, OnlyDevicePathsOfKnownDrivesOpen) {
  for (const char* path : {"\\\\.\\Y:", "\\\\.\\P", "P:", "\\\\.\\PP:", "\\\\.\\1:", ""}) {
    EXPECT_FALSE(volume::OpenVolume(path)) << path;
    EXPECT_EQ(hVolume, kInvalidHandle) << path;
  }
  ASSERT_TRUE(volume::RegisterDrive('Y', dir.path().string()));  // a directory
  EXPECT_FALSE(volume::OpenVolume(volume::DevicePath("Y")));
  EXPECT_EQ(volume::LastOpenFailure().kind, Kind::kNotADrive);
  EXPECT_EQ(volume::LastOpenFailure().systemError, EISDIR);
  ASSERT_TRUE(volume::RegisterDrive('Y', "/dev/null"));  // a character device
  EXPECT_FALSE(volume::OpenVolume(volume::DevicePath("Y")));
  EXPECT_EQ(volume::LastOpenFailure().kind, Kind::kNotADrive);
  EXPECT_EQ(volume::LastOpenFailure().systemError, ENODEV);
  ASSERT_TRUE(volume::RegisterDrive('Y', (dir / "missing.img").string()));
  EXPECT_FALSE(volume::OpenVolume(volume::DevicePath("Y")));
  const auto& failure = volume::LastOpenFailure();
  EXPECT_EQ(failure.kind, Kind::kNoSuchFile);
  EXPECT_EQ(failure.systemError, ENOENT);
  EXPECT_EQ(failure.device, (dir / "missing.img").string());
}

// Sets (or with F_UNLCK drops) an open-file-description lock on the whole file; false when
// another holds a conflicting one.
bool OfdLock(int fd, short type) {
  struct flock range {};
  range.l_type = type;
  range.l_whence = SEEK_SET;
  return ::fcntl(fd, F_OFD_SETLK, &range) == 0;
}

TEST_F(PosixVolumeTest, LocksOfOtherProgramsMakeTheImageBusy) {
  const int other = ::open(image.c_str(), O_RDWR | O_CLOEXEC);
  ASSERT_GE(other, 0);
  // A shared flock keeps out writers, not readers.
  ASSERT_EQ(::flock(other, LOCK_SH), 0);
  EXPECT_EQ(Refusal().kind, Kind::kBusy);
  EXPECT_TRUE(Open(Access::kReadOnly));
  Close();
  ASSERT_EQ(::flock(other, LOCK_UN), 0);
  // So does a read lock of the other kind; its write lock keeps out readers too.
  ASSERT_TRUE(OfdLock(other, F_RDLCK));
  EXPECT_EQ(Refusal().kind, Kind::kBusy);
  EXPECT_TRUE(Open(Access::kReadOnly));
  Close();
  ASSERT_TRUE(OfdLock(other, F_WRLCK));
  EXPECT_EQ(Refusal(Access::kReadOnly).kind, Kind::kBusy);
  ASSERT_TRUE(OfdLock(other, F_UNLCK));

  // Our own open holds both kinds: exclusive for writing, shared for reading.
  ASSERT_TRUE(Open());
  EXPECT_FALSE(OfdLock(other, F_RDLCK));
  EXPECT_NE(::flock(other, LOCK_SH | LOCK_NB), 0);
  Close();
  ASSERT_TRUE(Open(Access::kReadOnly));
  EXPECT_TRUE(OfdLock(other, F_RDLCK));
  EXPECT_FALSE(OfdLock(other, F_WRLCK));
  EXPECT_NE(::flock(other, LOCK_EX | LOCK_NB), 0);
  EXPECT_EQ(::close(other), 0);
}

TEST_F(PosixVolumeTest, FileThatCannotBeWrittenOpensOnlyForReading) {
  // Root writes any file whatever its mode; an immutable one it cannot.
  const std::string quoted = Quote(image.string());
  if (testing::Run("chattr +i " + quoted, true).status != 0) {
    GTEST_SKIP() << "chattr +i does not work on " << dir.path();
  }
  struct Mutable {
    std::string file;
    ~Mutable() { EXPECT_EQ(testing::Run("chattr -i " + file).status, 0); }
  } again{quoted};
  const auto failure = Refusal();
  EXPECT_EQ(failure.kind, Kind::kReadOnly);
  EXPECT_EQ(failure.systemError, EPERM);
  ASSERT_TRUE(Open(Access::kReadOnly));
  EXPECT_EQ(ReadSector(0, 2 * kSector), PatternSector(2));
}

TEST_F(PosixVolumeTest, LetterKeepsTheFileItWasGivenUntilTheNextRefresh) {
  const auto replace = [&](const std::filesystem::path& path) {
    std::filesystem::copy_file(image, dir / "new.img");
    std::filesystem::rename(dir / "new.img", path);
  };
  volume::RefreshDrives();
  replace(image);
  EXPECT_EQ(Refusal().kind, Kind::kDriveChanged);
  EXPECT_EQ(hVolume, kInvalidHandle);
  volume::RefreshDrives();
  ASSERT_TRUE(Open());
  Close();

  // A path registered before it exists is bound to the file that its first open finds.
  const auto later = dir / "later.img";
  ASSERT_TRUE(volume::RegisterDrive('P', later.string()));
  EXPECT_EQ(Refusal().kind, Kind::kNoSuchFile);
  std::filesystem::copy_file(image, later);
  ASSERT_TRUE(Open());
  Close();
  replace(later);
  EXPECT_EQ(Refusal().kind, Kind::kDriveChanged);
}

TEST_F(PosixVolumeTest, UnalignedTransfersOfManySectorsStayUnbuffered) {
  ASSERT_TRUE(Open());
  if (!(::fcntl(static_cast<int>(hVolume), F_GETFL) & O_DIRECT)) {
    GTEST_SKIP() << "no O_DIRECT on " << dir.path();
  }
  constexpr std::uint32_t kRun = 8 * kSector;
  std::vector<std::uint8_t> unaligned(kRun + 1);
  std::uint32_t count = 0;
  ASSERT_TRUE(volume::SetVolumePosition(0, 2 * kSector));
  ASSERT_TRUE(volume::ReadVolume(kRun, std::span(unaligned).subspan(1), count));
  EXPECT_EQ(count, kRun);
  ASSERT_TRUE(volume::SetVolumePosition(0, 30 * kSector));
  ASSERT_TRUE(volume::WriteVolume(kRun, std::span(unaligned).subspan(1)));
  EXPECT_TRUE(::fcntl(static_cast<int>(hVolume), F_GETFL) & O_DIRECT)
      << "an unaligned buffer made the handle buffered";
  Close();
  const auto bytes = ReadBytes(image);
  for (std::uint64_t s = 0; s < 8; ++s) {
    EXPECT_EQ(std::vector<std::uint8_t>(unaligned.begin() + 1 + s * kSector,
                                        unaligned.begin() + 1 + (s + 1) * kSector),
              PatternSector(2 + s));
    EXPECT_EQ(std::vector<std::uint8_t>(bytes.begin() + (30 + s) * kSector,
                                        bytes.begin() + (31 + s) * kSector),
              PatternSector(2 + s));
  }
}

TEST_F(PosixVolumeTest, TransfersCheckTheBufferSize) {
  ASSERT_TRUE(Open());
  std::vector<std::uint8_t> small(kSector - 1);
  std::uint32_t count = 0;
  EXPECT_THROW(volume::ReadVolume(kSector, small, count), std::out_of_range);
  EXPECT_THROW(volume::WriteVolume(kSector, small), std::out_of_range);
  EXPECT_THROW(volume::ReadVolume(0, std::span<std::uint8_t>(), count), std::out_of_range);
}

TEST_F(PosixVolumeTest, ReadPastTheEndIsShortAndTheEngineRefusesIt) {
  ASSERT_TRUE(Open());
  volume::SectorBuffer buffer{};
  std::uint32_t count = 99;
  ASSERT_TRUE(volume::SetVolumePosition(0, static_cast<std::int32_t>(kSectors * kSector)));
  EXPECT_TRUE(volume::ReadVolume(kSector, buffer, count));
  EXPECT_EQ(count, 0u);
  EXPECT_FALSE(repair::ReadSectorAt(static_cast<std::int64_t>(kSectors), buffer, count));
  EXPECT_TRUE(repair::ReadSectorAt(static_cast<std::int64_t>(kSectors - 1), buffer, count));
  EXPECT_EQ(std::vector<std::uint8_t>(buffer.begin(), buffer.end()), PatternSector(kSectors - 1));
}

TEST_F(PosixVolumeTest, BothHalvesOfThePositionCount) {
  // A sparse file with marked sectors at 2 GiB and 4 GiB + 1 sector.
  const std::uint64_t at2GiB = 1ull << 31;
  const std::uint64_t past4GiB = (1ull << 32) + kSector;
  std::filesystem::resize_file(image, past4GiB + 8 * kSector);
  PatchBytes(image, at2GiB, PatternSector(1000));
  PatchBytes(image, past4GiB, PatternSector(2000));
  ASSERT_TRUE(Open());
  EXPECT_EQ(ReadSector(0, INT32_MIN), PatternSector(1000));  // 0x80000000 in the low half
  EXPECT_EQ(ReadSector(1, static_cast<std::int32_t>(kSector)), PatternSector(2000));
  EXPECT_EQ(ReadSector(0, static_cast<std::int32_t>(kSector)), PatternSector(1));
}

}  // namespace
}  // namespace kestrova::testing
