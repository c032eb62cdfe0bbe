// Volumes whose root directory shares clusters with a file: the FAT tools see the fault, and
// kestrova-cli refuses the repair with status 1 and leaves every byte as it was.
#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "exfat_tools.h"
#include "fat_image.h"
#include "fat_tools.h"
#include "image_tools.h"

namespace kestrova::testing {
namespace {

struct SharedRoot {
  const char* name;
  const char* fsckSays;
  // Makes the volume of `image`; returns what the refusal must say, or empty to skip.
  std::string (*make)(const std::filesystem::path& image);
};

void PrintTo(const SharedRoot& fault, std::ostream* out) { *out << fault.name; }

// FAT32 with FILE.TXT (3,000 bytes) and a hidden folder; `link` rewires the chains.
std::string Fat32(const std::filesystem::path& image,
                  std::string (*link)(proof::FatImage& fat, std::uint32_t root,
                                      const std::vector<std::uint32_t>& file)) {
  if (!MakeFat32Image(image, 64 * 1024, "-s 1")) return {};
  const auto source = image.parent_path() / "file.txt";
  std::ofstream(source) << std::string(3000, 'k');
  for (const auto& [tool, arguments] : {std::pair{"mcopy", Quote(source.string()) + " ::/FILE.TXT"},
                                        std::pair{"mmd", std::string("::/HIDDEN")},
                                        std::pair{"mattrib", std::string("+h +s ::/HIDDEN")}}) {
    EXPECT_EQ(Mtools(tool, image, arguments).status, 0) << tool;
  }
  proof::FatImage fat(image, true);
  const auto root = *fat.RootChain();
  return link(fat, root.back(), fat.ChainFrom(root.back() + 1));  // mcopy puts it right after
}

// exFAT (512-byte clusters) with file.txt (1,500 bytes, contiguous) and a hidden folder; `move`
// rewrites the file's stream extension and the FAT.
std::string Exfat(const std::filesystem::path& image,
                  std::string (*move)(ExfatRootSets& sets, std::uint32_t first)) {
  if (!MakeExfatImage(image, 32, "-c 512") ||
      !MakeFoldersThroughFuse(image, {"HIDDEN"}, {"file.txt"}, 1500).empty()) {
    return {};
  }
  ExfatRootSets sets(image);
  sets.SetAttributes("HIDDEN", 0x16);
  const auto first = ReadAt(image, sets.Named("file.txt").entries.at(1) + 20, 4);
  return move(sets, first[0] | first[1] << 8 | first[2] << 16 | first[3] << 24);
}

class SharedRootTest : public ::testing::TestWithParam<SharedRoot> {
 protected:
  TempDir dir;
  std::filesystem::path image = dir / "volume.img";
  std::filesystem::path before = dir / "before.img";
};

TEST_P(SharedRootTest, IsRefusedWithNothingWritten) {
  const std::string refusal = GetParam().make(image);
  ASSERT_FALSE(HasFailure());
  if (refusal.empty()) GTEST_SKIP() << "no exFAT file through FUSE here";
  const bool exfat = std::string(GetParam().name).starts_with("exfat");
  const auto fsck = testing::Run((exfat ? "fsck.exfat -n " : "fsck.fat -n ") + Quote(image), true);
  EXPECT_NE(fsck.output.find(GetParam().fsckSays), std::string::npos) << fsck.output;
  ASSERT_TRUE(CopySparse(image, before));
  const auto repair = Cli("repair " + Quote(image.string()));
  EXPECT_EQ(repair.status, 1);
  EXPECT_NE(repair.err.find(refusal), std::string::npos) << repair.err;
  EXPECT_TRUE(DifferingOffsets(before, image).empty());
}

INSTANTIATE_TEST_SUITE_P(
    Faults, SharedRootTest,
    ::testing::Values(
        // The root's chain runs on into the file's first cluster.
        SharedRoot{"fat32RootIntoFile", "share clusters",
                   [](const std::filesystem::path& image) {
                     return Fat32(image, [](proof::FatImage& fat, std::uint32_t root,
                                            const std::vector<std::uint32_t>& file) {
                       fat.SetNextCluster(root, file.at(0));
                       return "“FILE.TXT”起始于根目录自身的簇" + std::to_string(file[0]);
                     });
                   }},
        // The file's chain runs on from its first cluster into the root's.
        SharedRoot{"fat32FileIntoRoot", "share clusters",
                   [](const std::filesystem::path& image) {
                     return Fat32(image, [](proof::FatImage& fat, std::uint32_t root,
                                            const std::vector<std::uint32_t>& file) {
                       fat.SetNextCluster(file.at(0), root);
                       return "另一簇链中的簇" + std::to_string(file[0]) + "指向根目录自身的簇" +
                              std::to_string(root);
                     });
                   }},
        // The file goes through the FAT, from its first cluster into the root's.
        SharedRoot{"exfatChainIntoRoot", "already allocated",
                   [](const std::filesystem::path& image) {
                     return Exfat(image, [](ExfatRootSets& sets, std::uint32_t first) {
                       sets.SetStream("file.txt", 0x01, first, 1500);
                       sets.SetFat(first, sets.RootCluster());
                       return "另一簇链中的簇" + std::to_string(first) + "指向根目录自身的簇" +
                              std::to_string(sets.RootCluster());
                     });
                   }},
        // Two contiguous clusters from the one before the root's.
        SharedRoot{"exfatRunOverRoot", "already allocated",
                   [](const std::filesystem::path& image) {
                     return Exfat(image, [](ExfatRootSets& sets, std::uint32_t) {
                       sets.SetStream("file.txt", 0x03, sets.RootCluster() - 1,
                                      2 * sets.ClusterBytes());
                       return "“file.txt”占用的连续簇包含根目录自身的簇" +
                              std::to_string(sets.RootCluster());
                     });
                   }}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace kestrova::testing
