// SPDX-License-Identifier: GPL-3.0-or-later
// kestrova-cli on every layout a stick may carry: FAT12 and FAT16 (mkfs.fat, mtools), FAT32 with
// large sectors, and exFAT (mkfs.exfat, folders made through exfat-fuse, attributes set by the
// tests' own writer). The oracles: mattrib, fsck.fat -n, fsck.exfat -n and byte comparisons.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "disk_facts.h"
#include "exfat_tools.h"
#include "fat_tools.h"
#include "image_tools.h"

namespace kestrova::testing {
namespace {

struct FatLayout {
  const char* name;
  std::uint64_t sizeKiB;
  const char* options;
  const char* fileSystem;      // as analyze prints it
  const char* bytesPerSector;  // as analyze prints it
};

void PrintTo(const FatLayout& layout, std::ostream* out) { *out << layout.name; }

class FatLayoutTest : public ::testing::TestWithParam<FatLayout> {
 protected:
  void Mt(const std::string& tool, const std::string& arguments) {
    const auto result = Mtools(tool, image, arguments);
    ASSERT_EQ(result.status, 0) << tool << " " << arguments << ": " << result.output;
  }
  TempDir dir;
  std::filesystem::path image = dir / "volume.img";
  std::filesystem::path before = dir / "before.img";
};

TEST_P(FatLayoutTest, RepairChangesOnlyTheHiddenFoldersAttributes) {
  ASSERT_TRUE(MakeFatImage(image, GetParam().sizeKiB, GetParam().options));
  // Folders as the virus leaves them (one with the archive bit, dotted and long names), and what
  // must stay: a plain folder, a hidden program that nothing names (unsure), a hidden folder below
  // the root.
  const std::vector<std::string> hidden = {"VIRUS", "MY.DIR", "2009.03.30", "Long Folder Name"};
  for (const auto& name : hidden) Mt("mmd", Quote("::/" + name));
  Mt("mmd", "::/PLAIN ::/VIRUS/INNER");
  Mt("mattrib", "+h +s ::/VIRUS ::/MY.DIR ::/VIRUS/INNER " + Quote("::/Long Folder Name"));
  Mt("mattrib", "+a +h ::/2009.03.30");
  Mt("mcopy", "/etc/hostname ::/TOOL.EXE");
  Mt("mattrib", "+h +s ::/TOOL.EXE");
  const auto fsckBefore = testing::Run("fsck.fat -n " + Quote(image.string()), true);
  ASSERT_TRUE(CopySparse(image, before));

  const auto analyze = Cli("analyze " + Quote(image.string()));
  ASSERT_EQ(analyze.status, 0) << analyze.err;
  EXPECT_NE(analyze.out.find(texts::Format(texts::kLayoutFileSystem, GetParam().fileSystem) + "\n"),
            std::string::npos)
      << analyze.out;
  EXPECT_NE(analyze.out.find(Lead(texts::kLayoutSectorBytes) + GetParam().bytesPerSector + "\n"),
            std::string::npos)
      << analyze.out;

  const auto repair = Cli("repair " + Quote(image.string()));
  ASSERT_EQ(repair.status, 0) << repair.err;
  EXPECT_NE(repair.out.find("共恢复4个文件夹"), std::string::npos) << repair.out;
  const auto changed = DifferingOffsets(before, image);
  ASSERT_EQ(changed.size(), hidden.size());
  for (const std::uint64_t offset : changed) {
    EXPECT_EQ(offset % 32, kAttributeByte) << offset;
    const std::uint8_t was = ReadAt(before, offset, 1).at(0);
    EXPECT_EQ(ReadAt(image, offset, 1).at(0), was & ~0x07) << offset;
  }
  for (const auto& name : hidden) {
    EXPECT_EQ(MattribFlags(image, "/" + name), name == "2009.03.30" ? "A" : "") << name;
  }
  EXPECT_EQ(MattribFlags(image, "/TOOL.EXE"), MattribFlags(before, "/TOOL.EXE"));
  EXPECT_EQ(MattribFlags(image, "/VIRUS/INNER"), "SH");
  const auto fsckAfter = testing::Run("fsck.fat -n " + Quote(image.string()), true);
  EXPECT_EQ(fsckAfter.status, fsckBefore.status);
  EXPECT_EQ(fsckAfter.output, fsckBefore.output);

  // A second repair finds nothing and says so, not that folders were restored.
  const auto again = Cli("repair " + Quote(image.string()));
  EXPECT_EQ(again.status, 0) << again.err;
  EXPECT_TRUE(again.out.starts_with("根目录中没有需要恢复的文件夹。\n")) << again.out;
  EXPECT_NE(again.out.find("TOOL.EXE\t" + std::string(texts::Tr(texts::kLeftoverHiddenProgram))),
            std::string::npos)
      << again.out;
}

INSTANTIATE_TEST_SUITE_P(
    Layouts, FatLayoutTest,
    ::testing::Values(FatLayout{"fat12", 8 * 1024, "-F 12", "FAT12", "512"},
                      FatLayout{"fat12Sectors1024", 8 * 1024, "-F 12 -S 1024", "FAT12", "1024"},
                      FatLayout{"fat16", 64 * 1024, "-F 16", "FAT16", "512"},
                      FatLayout{"fat16Sectors2048", 64 * 1024, "-F 16 -S 2048", "FAT16", "2048"},
                      // Enough clusters for FAT32 with one 4 KiB sector each.
                      FatLayout{"fat32Sectors4096", 300 * 1024, "-F 32 -S 4096 -s 1", "FAT32",
                                "4096"}),
    [](const auto& info) { return std::string(info.param.name); });

struct ExfatLayout {
  const char* name;
  std::uint32_t sectorBytes;
  const char* options;
  int fillers;  // folders besides the four named ones, so that the sets reach past a cluster
};

void PrintTo(const ExfatLayout& layout, std::ostream* out) { *out << layout.name; }

class ExfatTest : public ::testing::TestWithParam<ExfatLayout> {
 protected:
  void SetUp() override {
    std::string why;
    if (!MakeExfatImage(image, 32, GetParam().options, GetParam().sectorBytes, &why)) {
      ASSERT_FALSE(why.empty());
      GTEST_SKIP() << why;
    }
    std::vector<std::string> folders = {"资料", "Music.2020", "PLAIN", kLong};
    for (int i = 0; i < GetParam().fillers; ++i) {
      folders.push_back("F" + std::string(static_cast<std::size_t>(i % 12), 'x') +
                        std::to_string(i / 12));
    }
    why = MakeFoldersThroughFuse(image, folders,
                                 {{"/file.txt", std::vector<std::uint8_t>(1500, 'k')}});
    if (!why.empty()) GTEST_SKIP() << "exFAT folders cannot be made here: " << why;
    ExfatRootSets sets(image);
    sets.SetAttributes("资料", 0x16);
    sets.SetAttributes("Music.2020", 0x36);
    sets.SetAttributes(kLong, 0x13);
    for (int i = 0; i < 12; i += 3) sets.SetAttributes("F" + std::string(i, 'x') + "0", 0x12);
    // And every set that runs from one cluster into the next.
    for (const auto& set : sets.sets()) {
      if (set.entries.back() != set.entries.front() + (set.entries.size() - 1) * 32) {
        sets.SetAttributes(set.name, 0x16);
      }
    }
    ASSERT_EQ(testing::Run("fsck.exfat -n " + Quote(image.string())).status, 0)
        << "the test's own writer left a damaged volume";
  }
  static constexpr const char* kLong = "A folder name long enough for several name entries";
  TempDir dir;
  std::filesystem::path image = dir / "exfat.img";
  std::filesystem::path before = dir / "before.img";
};

TEST_P(ExfatTest, RepairChangesOnlyAttributesAndChecksumsAndFsckStaysClean) {
  const ExfatRootSets sets(image);
  std::set<std::string> hidden;
  bool crossesSector = false, crossesCluster = false;
  for (const auto& set : sets.sets()) {
    if (!(set.attributes & 0x10) || !(set.attributes & 0x06)) continue;
    hidden.insert(set.name);
    const auto first = set.entries.front(), last = set.entries.back();
    crossesSector |= first / sets.SectorBytes() != last / sets.SectorBytes();
    crossesCluster |= last != first + (set.entries.size() - 1) * 32;  // not contiguous on disk
  }
  ASSERT_GE(hidden.size(), 7u);
  // With 512-byte sectors the sets cross sector boundaries; a set that is not contiguous on the
  // disk crosses from one cluster into another.
  EXPECT_TRUE((crossesSector || GetParam().sectorBytes > 512) && crossesCluster)
      << "the layout no longer tests set boundaries";
  ASSERT_TRUE(CopySparse(image, before));

  const auto scan = Cli("scan " + Quote(image.string()));
  ASSERT_EQ(scan.status, 0) << scan.err;
  for (const auto& name : hidden) EXPECT_NE(scan.out.find("\t" + name + "\t"), std::string::npos);
  const auto repair = Cli("repair " + Quote(image.string()));
  ASSERT_EQ(repair.status, 0) << repair.err;

  // Only the attributes and checksums of the hidden folders' File entries changed.
  std::set<std::uint64_t> allowed;
  for (const auto& name : hidden) {
    for (std::uint64_t b = 2; b < 6; ++b) allowed.insert(sets.Named(name).entries.front() + b);
  }
  for (const std::uint64_t offset : DifferingOffsets(before, image)) {
    EXPECT_TRUE(allowed.count(offset)) << "byte " << offset << " changed";
  }
  const ExfatRootSets after(image);
  for (const auto& set : sets.sets()) {
    const std::uint16_t expected = hidden.count(set.name) ? set.attributes & ~0x07 : set.attributes;
    EXPECT_EQ(after.Named(set.name).attributes, expected) << set.name;
  }
  const auto fsck = testing::Run("fsck.exfat -n " + Quote(image.string()), true);
  EXPECT_EQ(fsck.status, 0) << fsck.output;
}

TEST_P(ExfatTest, WrongSetChecksumIsRefusedWithNothingWritten) {
  ExfatRootSets(image).SpoilChecksum("PLAIN");
  ASSERT_TRUE(CopySparse(image, before));
  const auto repair = Cli("repair " + Quote(image.string()));
  EXPECT_EQ(repair.status, 1);
  EXPECT_NE(repair.err.find("校验和错误"), std::string::npos) << repair.err;
  EXPECT_TRUE(DifferingOffsets(before, image).empty());
}

// file.txt chained by the FAT from its first cluster into the root's, or its contiguous
// clusters run from the one before the root's over it: fsck.exfat sees the clash.
TEST_P(ExfatTest, RootSharingClustersWithAFileIsRefusedWithNothingWritten) {
  ASSERT_TRUE(CopySparse(image, before));
  for (const bool contiguous : {false, true}) {
    ASSERT_TRUE(CopySparse(before, image));
    ExfatRootSets sets(image);
    const auto at = ReadAt(image, sets.Named("file.txt").entries.at(1) + 20, 4);
    const std::uint32_t first = at[0] | at[1] << 8 | at[2] << 16 | at[3] << 24;
    const std::string root = std::to_string(sets.RootCluster());
    std::string refusal = "另一簇链中的簇" + std::to_string(first) + "指向根目录自身的簇" + root;
    if (contiguous) {
      sets.SetStream("file.txt", 0x03, sets.RootCluster() - 1, 2 * sets.ClusterBytes());
      refusal = "“file.txt”占用的连续簇包含根目录自身的簇" + root;
    } else {
      sets.SetStream("file.txt", 0x01, first, sets.ClusterBytes() + 1);  // two clusters
      sets.SetFat(first, sets.RootCluster());
    }
    const auto fsck = testing::Run("fsck.exfat -n " + Quote(image.string()), true);
    EXPECT_NE(fsck.output.find("already allocated"), std::string::npos) << fsck.output;
    const auto changed = dir / "changed.img";
    ASSERT_TRUE(CopySparse(image, changed));
    const auto repair = Cli("repair " + Quote(image.string()));
    EXPECT_EQ(repair.status, 1);
    EXPECT_NE(repair.err.find(refusal), std::string::npos) << repair.err;
    EXPECT_TRUE(DifferingOffsets(changed, image).empty());
  }
}

INSTANTIATE_TEST_SUITE_P(Layouts, ExfatTest,
                         // Clusters of one sector, so that sets cross cluster boundaries; 4 KiB
                         // sectors from a loop device of that block size.
                         ::testing::Values(ExfatLayout{"sectors512", 512, "-c 512 -L STICK", 12},
                                           ExfatLayout{"sectors4096", 4096, "-c 4096 -L STICK",
                                                       60}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace kestrova::testing
