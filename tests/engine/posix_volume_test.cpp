// SPDX-License-Identifier: GPL-3.0-or-later
// Raw volume access through the POSIX devices, on real files presented under a drive letter.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "fat_tools.h"
#include "volume/drives.h"
#include "volume/volume.h"

namespace kestrova::testing {
namespace {

using volume::Access;
using volume::DriveTarget;
using Kind = volume::DeviceErrorKind;

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
    volume::UseDeviceOpener(nullptr);
    std::ofstream out(image, std::ios::binary);
    for (std::uint64_t s = 0; s < kSectors; ++s) {
      const auto bytes = PatternSector(s);
      out.write(reinterpret_cast<const char*>(bytes.data()), kSector);
    }
    out.close();
    ASSERT_TRUE(volume::RegisterDrive('P', image.string()));
  }
  bool Open(Access access = Access::kReadWrite) {
    auto opened = volume::Volume::Open(DriveTarget::OfLetter('P'), access);
    if (!opened) return false;
    open.emplace(std::move(*opened));
    return true;
  }
  // Opens `target` expecting a refusal, and says why it came.
  static volume::DeviceError Refusal(const DriveTarget& target,
                                     Access access = Access::kReadWrite) {
    auto opened = volume::Volume::Open(target, access);
    EXPECT_FALSE(opened) << target.Name() << " opened";
    return opened ? volume::DeviceError{} : opened.error();
  }
  volume::DeviceError Refusal(Access access = Access::kReadWrite) {
    return Refusal(DriveTarget::OfLetter('P'), access);
  }
  void Close() { open.reset(); }
  std::vector<std::uint8_t> ReadSector(std::uint64_t offset) {
    volume::SectorBuffer buffer;
    buffer.fill(0xCC);
    EXPECT_FALSE(open->Read(offset, buffer));
    return {buffer.begin(), buffer.end()};
  }

  TempDir dir;
  std::filesystem::path image = dir / "volume.img";
  std::optional<volume::Volume> open;
};

TEST_F(PosixVolumeTest, PositionAndReadDeliverWholeSectors) {
  ASSERT_TRUE(Open());
  EXPECT_EQ(ReadSector(0), PatternSector(0));
  EXPECT_EQ(ReadSector(5 * kSector), PatternSector(5));
  EXPECT_EQ(ReadSector(0), PatternSector(0));  // back again

  // A buffer that is not aligned for unbuffered transfers.
  std::vector<std::uint8_t> unaligned(kSector + 1, 0xCC);
  ASSERT_FALSE(open->Read(3 * kSector, std::span(unaligned).subspan(1)));
  EXPECT_EQ(std::vector<std::uint8_t>(unaligned.begin() + 1, unaligned.end()), PatternSector(3));
  EXPECT_EQ(unaligned[0], 0xCC);
}

TEST_F(PosixVolumeTest, WriteLandsOnThePositionedSectorOnly) {
  ASSERT_TRUE(Open());
  std::vector<std::uint8_t> unaligned(kSector + 3, 0);
  for (std::size_t i = 0; i < kSector; ++i) unaligned[i + 3] = static_cast<std::uint8_t>(255 - i);
  volume::SectorBuffer aligned;
  aligned.fill(0x5A);
  ASSERT_FALSE(open->Write(7 * kSector, aligned));
  ASSERT_FALSE(open->Write(9 * kSector, std::span(unaligned).subspan(3)));
  ASSERT_FALSE(open->Flush());
  ASSERT_TRUE(open->Dismount());
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

TEST_F(PosixVolumeTest, OpenIsExclusiveUntilTheVolumeGoes) {
  ASSERT_TRUE(Open());
  EXPECT_EQ(Refusal().kind, Kind::kBusy);
  volume::Volume moved = std::move(*open);
  Close();  // the moved-from value closes nothing
  EXPECT_EQ(Refusal().kind, Kind::kBusy);
  { const volume::Volume gone = std::move(moved); }
  EXPECT_TRUE(Open()) << "the lock outlived the volume";
}

TEST_F(PosixVolumeTest, TargetsThatNameNoDriveSayWhy) {
  EXPECT_EQ(Refusal(DriveTarget::OfLetter('Y')).kind, Kind::kUnknownLetter);
  EXPECT_EQ(Refusal(DriveTarget::OfLetter('Y')).device, "Y:");
  const auto folder = Refusal(DriveTarget::OfPath(dir.path().string()));
  EXPECT_EQ(folder.kind, Kind::kNotADrive);
  EXPECT_EQ(folder.systemError, EISDIR);
  const auto characterDevice = Refusal(DriveTarget::OfPath("/dev/null"));
  EXPECT_EQ(characterDevice.kind, Kind::kNotADrive);
  EXPECT_EQ(characterDevice.systemError, ENODEV);
  const auto missing = Refusal(DriveTarget::OfPath((dir / "missing.img").string()));
  EXPECT_EQ(missing.kind, Kind::kNoSuchFile);
  EXPECT_EQ(missing.systemError, ENOENT);
  EXPECT_EQ(missing.device, (dir / "missing.img").string());
  for (const char* text : {"p", "P:", "z"}) EXPECT_TRUE(volume::DriveLetter(text)) << text;
  for (const char* text : {"", "B", "PP", "P:\\", "\\\\.\\P:", "1"}) {
    EXPECT_FALSE(volume::DriveLetter(text)) << text;
  }
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
  EXPECT_EQ(ReadSector(2 * kSector), PatternSector(2));
}

TEST_F(PosixVolumeTest, LetterKeepsTheFileItWasGivenUntilTheNextRefresh) {
  const auto replace = [&](const std::filesystem::path& path) {
    std::filesystem::copy_file(image, dir / "new.img");
    std::filesystem::rename(dir / "new.img", path);
  };
  volume::RefreshDrives();
  replace(image);
  EXPECT_EQ(Refusal().kind, Kind::kDriveChanged);
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

// The descriptor of this process that has `path` open, or -1.
int DescriptorOf(const std::filesystem::path& path) {
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    std::error_code error;
    if (std::filesystem::read_symlink(entry.path(), error) == path) {
      return std::stoi(entry.path().filename().string());
    }
  }
  return -1;
}

TEST_F(PosixVolumeTest, UnalignedTransfersOfManySectorsStayUnbuffered) {
  ASSERT_TRUE(Open());
  const int fd = DescriptorOf(std::filesystem::canonical(image));
  ASSERT_GE(fd, 0);
  if (!(::fcntl(fd, F_GETFL) & O_DIRECT)) {
    GTEST_SKIP() << "no O_DIRECT on " << dir.path();
  }
  constexpr std::uint32_t kRun = 8 * kSector;
  std::vector<std::uint8_t> unaligned(kRun + 1);
  ASSERT_FALSE(open->Read(2 * kSector, std::span(unaligned).subspan(1)));
  ASSERT_FALSE(open->Write(30 * kSector, std::span(unaligned).subspan(1)));
  EXPECT_TRUE(::fcntl(fd, F_GETFL) & O_DIRECT) << "an unaligned buffer made the handle buffered";
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

TEST_F(PosixVolumeTest, ReadPastTheEndIsShort) {
  ASSERT_TRUE(Open());
  volume::SectorBuffer buffer{};
  const auto pastEnd = open->Read(kSectors * kSector, buffer);
  ASSERT_TRUE(pastEnd);
  EXPECT_EQ(pastEnd->kind, Kind::kShort);
  std::vector<std::uint8_t> two(2 * kSector);
  const auto acrossEnd = open->Read((kSectors - 1) * kSector, two);
  ASSERT_TRUE(acrossEnd);
  EXPECT_EQ(acrossEnd->kind, Kind::kShort);
  EXPECT_EQ(acrossEnd->bytesMoved, kSector);
  EXPECT_EQ(ReadSector((kSectors - 1) * kSector), PatternSector(kSectors - 1));
}

// Scattered reads handed over together arrive as each would alone, and each is told as it does;
// the first that cannot arrive whole is told by its place, with what moved.
TEST_F(PosixVolumeTest, ReadsHandedOverTogetherArriveAsEachAlone) {
  ASSERT_TRUE(Open());
  volume::AlignedBuffer pages(3 * volume::kBufferAlignment);
  const auto page = [&](std::size_t i, std::uint32_t sectors) {
    return pages.bytes().subspan(i * volume::kBufferAlignment, std::size_t{sectors} * kSector);
  };
  std::vector<std::uint8_t> unaligned(kSector + 1, 0xCC);
  std::vector<volume::ReadRequest> requests = {{40 * kSector, page(0, 8)},
                                               {3 * kSector, page(1, 1)},
                                               {17 * kSector, std::span(unaligned).subspan(1)},
                                               {9 * kSector, page(2, 2)}};
  const std::vector<std::uint64_t> firsts = {40, 3, 17, 9};
  std::vector<std::size_t> told;
  const auto tell = [&](std::size_t i) { told.push_back(i); };
  ASSERT_FALSE(open->ReadMany(requests, tell));
  std::sort(told.begin(), told.end());
  EXPECT_EQ(told, (std::vector<std::size_t>{0, 1, 2, 3}));
  for (std::size_t r = 0; r < requests.size(); ++r) {
    for (std::size_t s = 0; s < requests[r].bytes.size() / kSector; ++s) {
      const auto sector = requests[r].bytes.subspan(s * kSector, kSector);
      EXPECT_EQ(std::vector<std::uint8_t>(sector.begin(), sector.end()),
                PatternSector(firsts[r] + s))
          << "request " << r << ", sector " << s;
    }
  }

  // One across the end, between two that arrive.
  requests = {
      {5 * kSector, page(0, 1)}, {(kSectors - 1) * kSector, page(1, 2)}, {6 * kSector, page(2, 1)}};
  told.clear();
  const auto acrossEnd = open->ReadMany(requests, tell);
  ASSERT_TRUE(acrossEnd);
  EXPECT_EQ(acrossEnd->index, 1u);
  EXPECT_EQ(acrossEnd->error.kind, Kind::kShort);
  EXPECT_EQ(acrossEnd->error.bytesMoved, kSector);
  EXPECT_EQ(acrossEnd->error.device, "P:");
  EXPECT_EQ(std::count(told.begin(), told.end(), 0), 1);
  EXPECT_EQ(std::count(told.begin(), told.end(), 1), 0);
  EXPECT_EQ(std::vector<std::uint8_t>(page(0, 1).begin(), page(0, 1).end()), PatternSector(5));

  // One that no device can be handed: those before it arrive.
  requests = {{2 * kSector, page(0, 1)}, {std::uint64_t{1} << 63, page(1, 1)}};
  const auto refused = open->ReadMany(requests);
  ASSERT_TRUE(refused);
  EXPECT_EQ(refused->index, 1u);
  EXPECT_EQ(refused->error.kind, Kind::kNotStarted);
  EXPECT_EQ(std::vector<std::uint8_t>(page(0, 1).begin(), page(0, 1).end()), PatternSector(2));
}

// Two volumes open at once: each failure comes from the call that failed on its own device, with
// that call's error value and bytes moved, named by its own drive.
TEST_F(PosixVolumeTest, EachOpenTellsItsOwnFailures) {
  const auto other = dir / "other.img";
  std::filesystem::copy_file(image, other);
  ASSERT_TRUE(volume::RegisterDrive('Q', other.string()));
  ASSERT_TRUE(Open(Access::kReadOnly));
  auto writable = volume::Volume::Open(DriveTarget::OfLetter('Q'), Access::kReadWrite);
  ASSERT_TRUE(writable);

  // A descriptor opened for reading refuses the write whole.
  const volume::SectorBuffer sector{};
  const auto refused = open->Write(kSector, sector);
  ASSERT_TRUE(refused);
  EXPECT_EQ(refused->kind, Kind::kIoFailed);
  EXPECT_EQ(refused->systemError, EBADF);
  EXPECT_EQ(refused->bytesMoved, 0u);
  EXPECT_EQ(refused->device, "P:");

  // The other volume's short read after it carries no error value of the refused write.
  std::vector<std::uint8_t> two(2 * kSector);
  const auto acrossEnd = writable->Read((kSectors - 1) * kSector, two);
  ASSERT_TRUE(acrossEnd);
  EXPECT_EQ(acrossEnd->kind, Kind::kShort);
  EXPECT_EQ(acrossEnd->systemError, 0);
  EXPECT_EQ(acrossEnd->bytesMoved, kSector);
  EXPECT_EQ(acrossEnd->device, "Q:");
  EXPECT_FALSE(writable->Write(kSector, sector));
  EXPECT_EQ(ReadSector(kSector), PatternSector(1));
}

TEST_F(PosixVolumeTest, OffsetsPastFourGibibytesReachTheirSectors) {
  // A sparse file with marked sectors at 2 GiB and 4 GiB + 1 sector.
  const std::uint64_t at2GiB = 1ull << 31;
  const std::uint64_t past4GiB = (1ull << 32) + kSector;
  std::filesystem::resize_file(image, past4GiB + 8 * kSector);
  PatchBytes(image, at2GiB, PatternSector(1000));
  PatchBytes(image, past4GiB, PatternSector(2000));
  ASSERT_TRUE(Open());
  EXPECT_EQ(ReadSector(at2GiB), PatternSector(1000));
  EXPECT_EQ(ReadSector(past4GiB), PatternSector(2000));
  EXPECT_EQ(ReadSector(kSector), PatternSector(1));
}

}  // namespace
}  // namespace kestrova::testing
