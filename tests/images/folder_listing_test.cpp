// SPDX-License-Identifier: GPL-3.0-or-later
// The listing of root folders one level down, on FAT12, FAT32 and exFAT images made at run time:
// names and attributes as the tools wrote them, folders of many clusters cut at the byte bound,
// first clusters that follow one another read in one transfer, and chains that break or loop.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "exfat_tools.h"
#include "fat_image.h"
#include "fat_tools.h"
#include "format/folder_listing.h"
#include "repair/engine.h"

namespace kestrova::testing {
namespace {

using repair::FolderListing;
using repair::RootFile;

// Counts the reads that the listing reports.
class ReadCounter final : public repair::Progress {
 public:
  void Advance(float) override { ++reads; }
  int reads = 0;
};

// Lists `folders` of the image, and counts its reads in `reads`.
std::vector<FolderListing> List(const std::filesystem::path& image,
                                const std::vector<RootFile>& folders, std::size_t maxBytes,
                                int* reads = nullptr, const repair::EntryFilter& keep = {}) {
  auto opened =
      volume::Volume::Open(volume::DriveTarget::OfPath(image.string()), volume::Access::kReadOnly);
  if (!opened) return {};
  const auto layout = repair::Analyse(*opened);
  if (!layout) return {};
  std::vector<const RootFile*> pointers;
  for (const RootFile& folder : folders) pointers.push_back(&folder);
  ReadCounter counter;
  repair::ProgressTrack track(&counter);
  auto listings = repair::ListFolders(*opened, *layout, pointers, maxBytes, track, keep);
  if (reads) *reads = counter.reads;
  return listings;
}

// A root folder of a FAT image, its first cluster as mshowfat prints it ("::/DIR <5-7>").
RootFile FatFolder(const std::filesystem::path& image, const std::string& name) {
  const auto fat = Mtools("mshowfat", image, Quote("::/" + name));
  RootFile folder;
  folder.longName = name;
  folder.attributes = 0x10;
  folder.firstCluster =
      static_cast<std::uint32_t>(std::stoul(fat.output.substr(fat.output.find('<') + 1)));
  return folder;
}

std::vector<std::string> Names(const FolderListing& listing) {
  std::vector<std::string> names;
  for (const RootFile& entry : listing.entries) names.push_back(entry.Name());
  return names;
}

// The files of a folder that spans several clusters: names long enough to take three entries.
std::vector<std::string> ManyNames(int count) {
  std::vector<std::string> names;
  for (int i = 0; i < count; ++i) names.push_back("a file of the big folder " + std::to_string(i));
  return names;
}

const std::vector<std::uint8_t> kBytes = {'M', 'Z'};

class FolderListingTest : public ::testing::TestWithParam<const char*> {
 protected:
  void SetUp() override {
    const bool fat32 = std::string(GetParam()) == "-F 32";
    ASSERT_TRUE(MakeFatImage(image, fat32 ? 65536 : 1440, std::string(GetParam()) + " -s 1"));
    for (const char* folder : {"$RECYCLE.BIN", "Big", "A", "B", "C", "D"}) {
      ASSERT_EQ(Mtools("mmd", image, Quote(std::string("::/") + folder)).status, 0);
    }
    ASSERT_TRUE(PutFile(image, {"/$RECYCLE.BIN/gone.txt", kBytes}));
    ASSERT_TRUE(PutFile(image, {"/$RECYCLE.BIN/msupd.exe", kBytes}, "+h +s"));
    ASSERT_TRUE(PutFile(image, {"/$RECYCLE.BIN/我的照片 2023.jpg", kBytes}));
    ASSERT_EQ(Mtools("mmd", image, Quote("::/$RECYCLE.BIN/Sub Folder")).status, 0);
    ASSERT_EQ(Mtools("mdel", image, Quote("::/$RECYCLE.BIN/gone.txt")).status, 0);
    for (const auto& name : ManyNames(40)) ASSERT_TRUE(PutFile(image, {"/Big/" + name, kBytes}));
  }
  TempDir dir;
  std::filesystem::path image = dir / "stick.img";
};

// Names (a long one in Chinese, a subfolder) and attributes, with "." and ".." and the deleted
// entry left out; a folder of many clusters is listed along its chain whole, and cut off at the
// byte bound.
TEST_P(FolderListingTest, ListsNamesAndAttributesAlongTheChain) {
  const auto listings =
      List(image, {FatFolder(image, "$RECYCLE.BIN"), FatFolder(image, "Big")}, 1 << 20);
  ASSERT_EQ(listings.size(), 2u);
  const FolderListing& recycle = listings[0];
  EXPECT_TRUE(recycle.complete);
  ASSERT_EQ(Names(recycle),
            (std::vector<std::string>{"msupd.exe", "我的照片 2023.jpg", "Sub Folder"}));
  EXPECT_EQ(recycle.entries[0].attributes & 0x16, 0x06);
  EXPECT_EQ(recycle.entries[0].size, kBytes.size());
  EXPECT_EQ(recycle.entries[2].attributes & 0x10, 0x10);
  EXPECT_EQ(recycle.entries[2].firstCluster,
            FatFolder(image, "$RECYCLE.BIN/Sub Folder").firstCluster);
  EXPECT_TRUE(listings[1].complete);
  EXPECT_EQ(Names(listings[1]), ManyNames(40));

  // Filtered: every entry is counted, only the kept ones held, each asked of its own folder.
  std::vector<std::size_t> asked(2);
  const auto kept = List(image, {FatFolder(image, "$RECYCLE.BIN"), FatFolder(image, "Big")},
                         1 << 20, nullptr, [&](std::size_t folder, const RootFile& entry) {
                           ++asked.at(folder);
                           return entry.Name().ends_with(".exe") || entry.Name().ends_with(" 39");
                         });
  ASSERT_EQ(kept.size(), 2u);
  EXPECT_EQ(asked, (std::vector<std::size_t>{3, 40}));
  EXPECT_EQ(Names(kept[0]), std::vector<std::string>{"msupd.exe"});
  EXPECT_EQ(std::make_pair(kept[0].files, kept[0].folders),
            std::make_pair(std::size_t{2}, std::size_t{1}));
  EXPECT_EQ(Names(kept[1]), std::vector<std::string>{ManyNames(40).back()});
  EXPECT_EQ(std::make_pair(kept[1].files, kept[1].folders),
            std::make_pair(std::size_t{40}, std::size_t{0}));
  EXPECT_TRUE(kept[1].complete);

  const auto cut = List(image, {FatFolder(image, "Big")}, 2048);
  ASSERT_EQ(cut.size(), 1u);
  EXPECT_FALSE(cut[0].complete);
  const auto names = Names(cut[0]);
  EXPECT_EQ(names, ManyNames(static_cast<int>(names.size())));
  EXPECT_GE(names.size(), 2u);  // 2,048 bytes hold 64 entries, less "." and ".."
}

// Folders whose first clusters follow one another are read in one transfer, in any order asked.
TEST_P(FolderListingTest, ReadsConsecutiveFirstClustersTogether) {
  int reads = 0;
  const auto listings = List(
      image,
      {FatFolder(image, "D"), FatFolder(image, "B"), FatFolder(image, "C"), FatFolder(image, "A")},
      1 << 20, &reads);
  ASSERT_EQ(listings.size(), 4u);
  for (const auto& listing : listings) {
    EXPECT_TRUE(listing.complete);
    EXPECT_TRUE(listing.entries.empty());
  }
  EXPECT_EQ(reads, 1);
}

INSTANTIATE_TEST_SUITE_P(Fat, FolderListingTest, ::testing::Values("-F 12", "-F 32"));

// A chain that leaves the data clusters, or loops back, stops the listing with what was read.
TEST(FolderListingChain, BrokenOrLoopingChainGivesAnIncompleteListing) {
  TempDir dir;
  const auto image = dir / "stick.img";
  ASSERT_TRUE(MakeFatImage(image, 65536, "-F 32 -s 1"));
  ASSERT_EQ(Mtools("mmd", image, "::/Big").status, 0);
  for (const auto& name : ManyNames(40)) ASSERT_TRUE(PutFile(image, {"/Big/" + name, kBytes}));
  const RootFile big = FatFolder(image, "Big");
  const auto chain = proof::FatImage(image, false).ChainFrom(big.firstCluster);
  ASSERT_GE(chain.size(), 3u);
  for (const std::uint32_t next : {0u, big.firstCluster}) {
    proof::FatImage(image, true).SetNextCluster(chain[1], next);
    const auto listings = List(image, {big}, 1 << 20);
    ASSERT_EQ(listings.size(), 1u);
    EXPECT_FALSE(listings[0].complete);
    // Two clusters of 512 bytes: 32 entries, less "." and "..", of three entries a file.
    EXPECT_EQ(Names(listings[0]), ManyNames(10));
  }
}

// exFAT: entry sets (a Chinese name, a subfolder) and a folder of several clusters, whole and cut.
TEST(FolderListingExfat, ListsEntrySetsAlongTheChain) {
  TempDir dir;
  const auto image = dir / "stick.img";
  ASSERT_TRUE(MakeExfatImage(image, 64, "-c 4096"));
  std::vector<ImageFile> files = {{"/$RECYCLE.BIN/msupd.exe", kBytes},
                                  {"/$RECYCLE.BIN/我的照片 2023.jpg", kBytes}};
  for (const auto& name : ManyNames(100)) files.push_back({"/Big/" + name, kBytes});
  const std::string why =
      MakeFoldersThroughFuse(image, {"$RECYCLE.BIN", "$RECYCLE.BIN/Sub Folder", "Big"}, files);
  if (!why.empty()) GTEST_SKIP() << "exFAT folders cannot be made here: " << why;
  const ExfatRootSets sets(image);
  std::vector<RootFile> folders;
  for (const char* name : {"$RECYCLE.BIN", "Big"}) {
    const auto& set = sets.Named(name);
    RootFile& folder = folders.emplace_back();
    folder.firstCluster = set.first;
    const auto stream = ReadAt(image, set.entries.at(1), 32);
    folder.noFatChain = stream[1] & 0x02;
    for (int i = 7; i >= 0; --i) folder.size = folder.size << 8 | stream[24 + i];
  }
  ASSERT_GT(folders[1].size, 4096u);  // several clusters
  const auto listings = List(image, folders, 1 << 20);
  ASSERT_EQ(listings.size(), 2u);
  EXPECT_TRUE(listings[0].complete);
  auto names = Names(listings[0]);
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"Sub Folder", "msupd.exe", "我的照片 2023.jpg"}));
  EXPECT_TRUE(listings[1].complete);
  EXPECT_EQ(listings[1].entries.size(), 100u);

  const auto cut = List(image, {folders[1]}, 4096);
  ASSERT_EQ(cut.size(), 1u);
  EXPECT_FALSE(cut[0].complete);
  EXPECT_GT(cut[0].entries.size(), 0u);
  EXPECT_LT(cut[0].entries.size(), 100u);
}

}  // namespace
}  // namespace kestrova::testing
