// SPDX-License-Identifier: GPL-3.0-or-later
// kestrova-cli and the volume devices on a real block device: an image attached to a loop device.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "fat_tools.h"
#include "image_tools.h"
#include "volume/drives.h"
#include "volume/volume.h"

namespace kestrova::testing {
namespace {

namespace fs = std::filesystem;
using volume::Access;
using Kind = volume::DeviceErrorKind;

// Opens a drive letter expecting a refusal, and says why it came.
volume::DeviceError Refusal(char letter, Access access = Access::kReadWrite) {
  auto opened = volume::Volume::Open(volume::DriveTarget::OfLetter(letter), access);
  EXPECT_FALSE(opened) << letter << ": opened";
  return opened ? volume::DeviceError{} : opened.error();
}

bool Opens(char letter, Access access = Access::kReadWrite) {
  return volume::Volume::Open(volume::DriveTarget::OfLetter(letter), access).has_value();
}

// A file system made on a block device with mkfs.exfat and mounted with the FUSE exFAT driver: a
// fuseblk mount, which holds the device as a mount of the kernel's own drivers does. Unmounted
// when the object goes.
class FuseMount {
 public:
  FuseMount(const std::string& device, const fs::path& at) : at_(at) {
    fs::create_directories(at);
    if (!fs::exists("/dev/fuse") || Run("command -v mount.exfat-fuse mkfs.exfat").status != 0) {
      output_ = "no /dev/fuse, mount.exfat-fuse or mkfs.exfat";
      return;
    }
    const auto made = Run("mkfs.exfat " + Quote(device) + " && mount.exfat-fuse " + Quote(device) +
                              " " + Quote(at.string()),
                          true);
    mounted_ = made.status == 0;
    output_ = made.output;
  }
  ~FuseMount() {
    if (!mounted_) return;
    const auto at = Quote(at_.string());
    const auto unmounted = Run("umount " + at + " || fusermount3 -u " + at, true);
    EXPECT_EQ(unmounted.status, 0) << unmounted.output;
  }
  bool mounted() const { return mounted_; }
  const std::string& output() const { return output_; }

 private:
  fs::path at_;
  bool mounted_ = false;
  std::string output_;
};

class LoopDeviceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(MakeFat32Image(image, 64 * 1024, "-s 1"));
    for (const char* step : {"mmd ::/VIRUS1 ::/PLAIN ::/VIRUS1/SUB", "mattrib +h +s ::/VIRUS1",
                             "mattrib +h ::/VIRUS1/SUB"}) {
      const std::string text = step;
      const auto space = text.find(' ');
      const auto result = Mtools(text.substr(0, space), image, text.substr(space + 1));
      ASSERT_EQ(result.status, 0) << step << ": " << result.output;
    }
    ASSERT_EQ(MattribFlags(image, "/VIRUS1"), "SH");
    ASSERT_TRUE(CopySparse(image, before));
    const auto attached = testing::Run("losetup -f --show " + Quote(image.string()), true);
    if (attached.status != 0) {
      GTEST_SKIP() << "no loop device on this machine (losetup -f --show: " << attached.output
                   << ")";
    }
    device = attached.output.substr(0, attached.output.find('\n'));
    backing = image;
  }

  void TearDown() override { Detach(); }

  void Detach() {
    if (device.empty()) return;
    DetachLoop(device, backing);
    device.clear();
  }

  TempDir dir;
  std::filesystem::path image = dir / "volume.img";
  std::filesystem::path before = dir / "before.img";
  std::string device;
  std::filesystem::path backing;  // the file behind `device`
};

TEST_F(LoopDeviceTest, RepairsThroughTheBlockDevice) {
  const auto scan = Cli("scan " + Quote(device));
  ASSERT_EQ(scan.status, 0) << scan.err;
  EXPECT_NE(scan.out.find("\tVIRUS1\t"), std::string::npos) << scan.out;
  const auto repair = Cli("repair " + Quote(device));
  ASSERT_EQ(repair.status, 0) << repair.err;
  Detach();

  EXPECT_EQ(MattribFlags(image, "/VIRUS1"), "");
  EXPECT_EQ(MattribFlags(image, "/VIRUS1/SUB"), "H");
  EXPECT_EQ(MattribFlags(image, "/PLAIN"), "");
  const auto changed = DifferingOffsets(before, image);
  ASSERT_EQ(changed.size(), 1u);
  EXPECT_EQ(ReadAt(image, changed[0] - 11, 11), ReadAt(before, changed[0] - 11, 11));
  EXPECT_EQ(ReadAt(image, changed[0], 1).at(0), 0x10);
  EXPECT_EQ(testing::Run("fsck.fat -n " + Quote(image.string())).status, 0);
}

// A volume of 512-byte sectors on a device of 4,096-byte blocks: the device refuses unbuffered
// transfers of single sectors (the folder's entry is not in the first 512 bytes of a block), the
// handle goes through the page cache, and the repair comes out as it does on the image file.
TEST_F(LoopDeviceTest, VolumeOfSmallerSectorsThanTheDevicesRepairsAsOnTheImageFile) {
  Detach();
  const auto attached = testing::Run("losetup -b 4096 -f --show " + Quote(image.string()), true);
  if (attached.status != 0)
    GTEST_SKIP() << "no loop device of 4,096-byte blocks: " << attached.output;
  device = attached.output.substr(0, attached.output.find('\n'));
  ASSERT_EQ(testing::Run("blockdev --getss " + Quote(device)).output, "4096\n");
  const auto repair = Cli("repair " + Quote(device));
  ASSERT_EQ(repair.status, 0) << repair.err;
  Detach();

  const fs::path plain = dir / "plain.img";
  ASSERT_TRUE(CopySparse(before, plain));
  ASSERT_EQ(Cli("repair " + Quote(plain.string())).status, 0);
  const auto changed = DifferingOffsets(before, image);
  ASSERT_EQ(changed.size(), 1u);
  EXPECT_NE(changed[0] / 512 % 8, 0u) << "the changed sector begins a device block";
  EXPECT_TRUE(DifferingOffsets(plain, image).empty());
}

TEST_F(LoopDeviceTest, DeviceHeldByAnotherProgramIsRefused) {
  const int held = ::open(device.c_str(), O_RDONLY | O_EXCL | O_CLOEXEC);
  ASSERT_GE(held, 0) << "cannot hold " << device;
  ASSERT_TRUE(volume::RegisterDrive('L', device));
  for (const auto access : {Access::kReadWrite, Access::kReadOnly}) {
    const auto failure = Refusal('L', access);
    EXPECT_EQ(failure.kind, Kind::kBusy);
    EXPECT_EQ(failure.systemError, EBUSY);
    EXPECT_EQ(failure.device, device);
    EXPECT_EQ(failure.mountPoint, "");
  }
  const auto repair = Cli("repair " + Quote(device));
  ::close(held);
  EXPECT_EQ(repair.status, 1);
  EXPECT_NE(repair.err.find("出错啦~~: 获取磁盘参数错误！请检查是否有其他程序占用磁盘。"),
            std::string::npos)
      << repair.err;
  EXPECT_TRUE(DifferingOffsets(before, image).empty());

  // Once the other program lets go, the same device repairs.
  EXPECT_EQ(Cli("repair " + Quote(device)).status, 0);
  Detach();
  EXPECT_EQ(DifferingOffsets(before, image).size(), 1u);
  EXPECT_EQ(MattribFlags(image, "/VIRUS1"), "");
}

// A read-only device (a write-protected stick): looking at it works, the repair says that it is
// write-protected and writes nothing.
TEST_F(LoopDeviceTest, ReadOnlyDeviceIsAnalysedAndScannedButNotRepaired) {
  Detach();
  const auto attached = testing::Run("losetup -r -f --show " + Quote(image.string()), true);
  ASSERT_EQ(attached.status, 0) << attached.output;
  device = attached.output.substr(0, attached.output.find('\n'));
  const std::string target = " " + Quote(device);
  const auto analyze = Cli("analyze" + target);
  EXPECT_EQ(analyze.status, 0) << analyze.err;
  const auto scan = Cli("scan" + target);
  EXPECT_EQ(scan.status, 0) << scan.err;
  EXPECT_NE(scan.out.find("\tVIRUS1\t"), std::string::npos) << scan.out;
  const auto repair = Cli("repair" + target);
  EXPECT_EQ(repair.status, 1);
  EXPECT_NE(repair.err.find("处于写保护（只读）状态"), std::string::npos) << repair.err;
  EXPECT_EQ(repair.err.find("权限"), std::string::npos) << repair.err;
  Detach();
  EXPECT_TRUE(DifferingOffsets(before, image).empty());
}

// A device that becomes read-only while it is open for writing refuses the write as
// write-protected, with nothing written; a write that fails for another reason is not.
TEST_F(LoopDeviceTest, WriteToADeviceSetReadOnlyIsToldAsWriteProtected) {
  ASSERT_TRUE(volume::RegisterDrive('L', device));
  {
    auto opened = volume::Volume::Open(volume::DriveTarget::OfLetter('L'));
    ASSERT_TRUE(opened);
    const volume::SectorBuffer zeros{};
    ASSERT_EQ(testing::Run("blockdev --setro " + Quote(device)).status, 0);
    const auto refused = opened->Write(0, zeros);
    ASSERT_TRUE(refused);
    EXPECT_EQ(refused->kind, Kind::kReadOnly);
    ASSERT_EQ(testing::Run("blockdev --setrw " + Quote(device)).status, 0);
    // At the device's end nothing more fits.
    const auto size = opened->Size();
    ASSERT_TRUE(size);
    const auto pastEnd = opened->Write(size->bytes, zeros);
    ASSERT_TRUE(pastEnd);
    EXPECT_NE(pastEnd->kind, Kind::kReadOnly);
  }
  Detach();
  EXPECT_TRUE(DifferingOffsets(before, image).empty());
}

TEST_F(LoopDeviceTest, MountedDeviceOrPartitionIsBusyAndSaysWhereItIsMounted) {
  const fs::path at = dir / "mount point";  // mountinfo writes the space as \040
  ASSERT_TRUE(volume::RegisterDrive('L', device));
  {
    const FuseMount mount(device, at);
    if (!mount.mounted()) GTEST_SKIP() << "cannot mount exFAT with FUSE: " << mount.output();
    const auto failure = Refusal('L');
    EXPECT_EQ(failure.kind, Kind::kBusy);
    EXPECT_EQ(failure.mountPoint, at.string());
    // The command line looks at it all the same, beside the mount, and says so; the repair is
    // refused.
    for (const char* command : {"analyze", "scan"}) {
      const auto looked = Cli(std::string(command) + " " + Quote(device));
      EXPECT_EQ(looked.status, 0) << command << ": " << looked.err;
      EXPECT_NE(looked.err.find("磁盘已挂载在“" + at.string() + "”，以下内容是在挂载状态下读取的"),
                std::string::npos)
          << looked.err;
    }
    EXPECT_EQ(Cli("repair " + Quote(device)).status, 1);
  }
  EXPECT_TRUE(Opens('L')) << "still busy after the unmount";

  // A disk one of whose partitions is mounted. An MBR with one partition from sector 2048; the
  // kernel may lack the MBR parser, so partx adds the partition.
  Detach();
  const fs::path disk = dir / "disk.img";
  ASSERT_EQ(testing::Run("truncate -s 64M " + Quote(disk.string())).status, 0);
  PatchBytes(disk, 446, {0, 0, 0, 0, 0x07, 0, 0, 0, 0x00, 0x08, 0, 0, 0x00, 0xF8, 0x01, 0});
  PatchBytes(disk, 510, {0x55, 0xAA});
  const auto attached = testing::Run("losetup -f -P --show " + Quote(disk.string()), true);
  ASSERT_EQ(attached.status, 0) << attached.output;
  device = attached.output.substr(0, attached.output.find('\n'));
  backing = disk;
  const std::string partition = device + "p1";
  if (!fs::exists(partition)) {
    ASSERT_EQ(testing::Run("partx -a " + Quote(device)).status, 0);
  }
  ASSERT_TRUE(volume::RegisterDrive('L', device));
  ASSERT_TRUE(volume::RegisterDrive('Q', partition));
  const FuseMount mount(partition, at);
  ASSERT_TRUE(mount.mounted()) << mount.output();
  const auto partitionFailure = Refusal('Q', Access::kReadOnly);
  EXPECT_EQ(partitionFailure.kind, Kind::kBusy);
  EXPECT_EQ(partitionFailure.mountPoint, at.string());
  // The whole disk is refused for what it is, with the partition to choose, before its mount.
  const auto diskFailure = Refusal('L', Access::kReadShared);
  EXPECT_EQ(diskFailure.kind, Kind::kWholeDisk);
  EXPECT_EQ(diskFailure.partition, partition);
  for (const char* command : {"scan ", "repair ", "repair --unmount "}) {
    const auto refused = Cli(command + Quote(device));
    EXPECT_EQ(refused.status, 1) << command;
    EXPECT_NE(
        refused.err.find("“" + device + "”是整个磁盘，其中含有分区（例如“" + partition + "”）"),
        std::string::npos)
        << command << refused.err;
    EXPECT_EQ(refused.err.find("卸载"), std::string::npos) << command << refused.err;
  }
}

// The machine's own system disk, when the root file system sits on a block device here: refused
// for what it is, whatever is asked, and never told to unmount "/".
TEST(SystemDiskTest, IsRefusedBeforeAnyQuestionOfMounting) {
  std::string rootDevice;
  std::ifstream mounts("/proc/self/mountinfo");
  for (std::string line; std::getline(mounts, line);) {
    std::istringstream fields(line);
    std::vector<std::string> field;
    for (std::string word; fields >> word;) field.push_back(word);
    if (field.size() > 4 && field[4] == "/" && field[field.size() - 2].starts_with("/dev/")) {
      rootDevice = field[field.size() - 2];
    }
  }
  struct stat info {};
  if (rootDevice.empty() || ::stat(rootDevice.c_str(), &info) != 0 || !S_ISBLK(info.st_mode)) {
    GTEST_SKIP() << "the root file system is not on a block device here";
  }
  ASSERT_TRUE(volume::RegisterDrive('S', rootDevice));
  const auto failure = Refusal('S', Access::kReadShared);
  EXPECT_EQ(failure.kind, Kind::kSystemDisk);
  EXPECT_EQ(failure.mountPoint, "/");
  for (const char* command : {"analyze ", "repair ", "repair --unmount "}) {
    const auto refused = Cli(command + Quote(rootDevice));
    EXPECT_EQ(refused.status, 1) << command;
    EXPECT_NE(refused.err.find("“" + rootDevice + "”属于本机的系统磁盘（挂载在“/”）"),
              std::string::npos)
        << command << refused.err;
    EXPECT_EQ(refused.err.find("卸载"), std::string::npos) << command << refused.err;
  }
}

TEST_F(LoopDeviceTest, ImageBehindALoopDeviceIsRefused) {
  ASSERT_TRUE(volume::RegisterDrive('M', image.string()));
  EXPECT_EQ(Refusal('M').kind, Kind::kLoopBacked);
  EXPECT_EQ(Refusal('M', Access::kReadOnly).kind, Kind::kLoopBacked);

  // Reached through another link after its first name was removed, it is still the same file;
  // a new file under the old name is not.
  const fs::path linked = dir / "linked.img";
  fs::create_hard_link(image, linked);
  fs::remove(image);
  backing = linked;
  ASSERT_TRUE(volume::RegisterDrive('M', linked.string()));
  EXPECT_EQ(Refusal('M').kind, Kind::kLoopBacked);
  ASSERT_TRUE(CopySparse(before, image));
  ASSERT_TRUE(volume::RegisterDrive('N', image.string()));
  EXPECT_TRUE(Opens('N'));

  Detach();
  EXPECT_TRUE(Opens('M')) << "refused after the loop device let go";
}

TEST_F(LoopDeviceTest, LetterRefusesAnotherDiskOnTheSameDeviceNode) {
  ASSERT_TRUE(volume::RegisterDrive('L', device));
  ASSERT_TRUE(Opens('L', Access::kReadOnly));
  const std::string node = device;
  Detach();
  // Detached, the node stays but holds nothing: the drive is gone, not replaced. (Other tests
  // running beside this one take free loop devices, this one too.)
  const Kind gone = Refusal('L', Access::kReadOnly).kind;
  if (testing::Run("losetup " + Quote(node), true).status == 0) {
    GTEST_SKIP() << node << " was taken meanwhile";
  }
  EXPECT_EQ(gone, Kind::kNotFound);
  const auto attached = testing::Run("losetup " + Quote(node) + " " + Quote(before.string()), true);
  if (attached.status != 0) GTEST_SKIP() << node << " was taken meanwhile: " << attached.output;
  device = node;
  backing = before;
  EXPECT_EQ(Refusal('L', Access::kReadOnly).kind, Kind::kDriveChanged);
  volume::RefreshDrives();
  EXPECT_TRUE(Opens('L', Access::kReadOnly));
}

}  // namespace
}  // namespace kestrova::testing
