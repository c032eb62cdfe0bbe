// kestrova-cli on a real block device: an image attached to a loop device.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "fat_tools.h"
#include "image_tools.h"

namespace kestrova::testing {
namespace {

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
  }

  void TearDown() override { Detach(); }

  void Detach() {
    if (device.empty()) return;
    const auto detached = testing::Run("losetup -d " + Quote(device), true);
    EXPECT_EQ(detached.status, 0) << detached.output;
    device.clear();
  }

  TempDir dir;
  std::filesystem::path image = dir / "volume.img";
  std::filesystem::path before = dir / "before.img";
  std::string device;
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

TEST_F(LoopDeviceTest, DeviceHeldByAnotherProgramIsRefused) {
  const int held = ::open(device.c_str(), O_RDONLY | O_EXCL | O_CLOEXEC);
  ASSERT_GE(held, 0) << "cannot hold " << device;
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

}  // namespace
}  // namespace kestrova::testing
