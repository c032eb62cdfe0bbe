// SPDX-License-Identifier: GPL-3.0-or-later
// The analysis of a drive: which sectors it reads, what it records, and what it refuses.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "exfat_volume.h"
#include "fat32_volume.h"
#include "format/fat.h"
#include "format/sector_io.h"
#include "memory_stick.h"
#include "memory_volume.h"
#include "repair/engine.h"
#include "volume/volume.h"
#include "words/messages.h"

namespace kestrova::testing {
namespace {

namespace fat = kestrova::fat;
using repair::VolumeLayout;
using Call = MemoryVolume::Call;

constexpr const char* kUnsupportedFileSystemText =
    "此版本的程序仅支持FAT12、FAT16、FAT32和exFAT文件系统！";
constexpr const char* kOpenFailedText = "获取磁盘参数错误！请检查是否有其他程序占用磁盘。";
// Sector 0 is read 4,096 bytes long, one sector of every size the engine handles.
constexpr std::int64_t kBootRead = 8;

class AnalysisTest : public ::testing::Test {
 protected:
  std::vector<std::int32_t> Recorded() const {
    return {layout.rootClusters.begin(), layout.rootClusters.begin() + layout.rootClusterCount};
  }
  void Analyse(volume::Access access = volume::Access::kReadWrite) {
    AnalyseEntry(layout, window, 0, access);
  }
  // The reads of the FAT: those between the boot sector and the data region.
  std::vector<MemoryVolume::Transfer> FatReads(std::uint64_t dataStart) const {
    std::vector<MemoryVolume::Transfer> reads;
    for (const auto& read : memory.ReadTransfers()) {
      if (read.first > 0 && static_cast<std::uint64_t>(read.first) < dataStart) {
        reads.push_back(read);
      }
    }
    return reads;
  }
  using Reads = std::vector<MemoryVolume::Transfer>;

  // A refusal: one critical message, Repair never enabled, nothing written, volume closed.
  void ExpectRefused(const std::string& title) {
    ASSERT_EQ(window.messages.size(), 1u);
    EXPECT_EQ(window.messages[0].title, title);
    EXPECT_FALSE(window.EverEnabled());
    EXPECT_EQ(memory.Count(Call::kWrite), 0);
    EXPECT_FALSE(memory.IsOpen());
  }

  // Analyses afresh: Repair enabled when `refusal` is empty, else a refusal that says it.
  void ExpectAnalysis(const std::string& refusal) {
    window = EngineRun{};
    Analyse();
    const std::string text = window.messages.empty() ? "" : window.messages[0].text;
    if (refusal.empty()) {
      EXPECT_TRUE(window.RepairEnabled()) << text;
    } else {
      ExpectRefused("错误");
      EXPECT_NE(text.find(refusal), std::string::npos) << text;
    }
  }

  MemoryVolume memory;
  ScopedBackend scoped{memory};
  VolumeLayout layout;
  EngineRun window;
};

TEST_F(AnalysisTest, OneClusterRootReadsTheBootSectorOneFatSectorAndTheCluster) {
  Fat32Volume volume(memory, 'F', {.reservedSectors = 38});
  Analyse();
  EXPECT_TRUE(window.messages.empty());
  ASSERT_EQ(window.enabledHistory, (std::vector<bool>{false, true}));
  // The FAT is read a window at a time (here all 64 sectors of it); the cluster in one transfer.
  const auto root = static_cast<std::int64_t>(volume.ClusterSector(2));
  EXPECT_EQ(memory.ReadTransfers(), (Reads{{0, kBootRead}, {38, 64}, {root, 8}}));
  EXPECT_EQ(layout.rootClusterCount, 1);
  EXPECT_EQ(layout.rootClusters[0], 2);
  EXPECT_EQ(memory.Count(Call::kOpen), 1);
  EXPECT_EQ(memory.Count(Call::kClose), 1);
  EXPECT_EQ(memory.Count(Call::kWrite), 0);
  EXPECT_FALSE(memory.IsOpen());
  EXPECT_EQ(layout.bootSector[510], 0x55);
}

TEST_F(AnalysisTest, ChainWithinTheFirstFatSectorReadsItOnce) {
  Fat32Volume volume(memory, 'F', {});
  volume.Chain({2, 3, 4});
  Analyse();
  EXPECT_TRUE(window.RepairEnabled());
  EXPECT_EQ(FatReads(volume.DataStart()), (Reads{{32, 64}}));
  EXPECT_EQ(Recorded(), (std::vector<std::int32_t>{2, 3, 4}));
}

TEST_F(AnalysisTest, RootIsReadARunOfContiguousClustersAtATime) {
  Fat32Volume volume(memory, 'F', {});
  volume.Chain({2, 3, 4, 9, 10, 6});
  Analyse();
  ASSERT_TRUE(window.RepairEnabled());
  // Boot sector, FAT; then 2-4, 9-10 and 6.
  const auto at = [&](std::uint32_t c) {
    return static_cast<std::int64_t>(volume.ClusterSector(c));
  };
  EXPECT_EQ(memory.ReadTransfers(),
            (Reads{{0, kBootRead}, {32, 64}, {at(2), 24}, {at(9), 16}, {at(6), 8}}));
  EXPECT_EQ(layout.RootBytes(), 6 * 8 * 512);
}

// Clusters of 512 KiB: the run of five is read in transfers of at most 1 MiB, not whole.
// Transfers of at most `limit` units that cover `count` units from `first`, in order.
std::vector<MemoryVolume::Transfer> Pieces(std::int64_t first, std::int64_t count,
                                           std::int64_t limit) {
  std::vector<MemoryVolume::Transfer> pieces;
  for (std::int64_t at = 0; at < count; at += limit) {
    pieces.push_back({first + at, std::min(limit, count - at)});
  }
  return pieces;
}

TEST_F(AnalysisTest, RootIsReadInTransfersOfTheLargestSize) {
  Fat32Volume volume(memory, 'F', {.bytesPerSector = 4096, .sectorsPerCluster = 128});
  volume.Chain({2, 3, 4, 5, 6});
  Analyse();
  ASSERT_TRUE(window.RepairEnabled());
  // Counted in 512-byte units, as the memory volume counts: 5 clusters of 1,024.
  const auto root = static_cast<std::int64_t>(volume.ClusterSector(2)) * 8;
  const Reads expected = Pieces(root, 5 * 1024, repair::kMaxTransferBytes / 512);
  ASSERT_LT(expected.size(), memory.ReadTransfers().size());
  const Reads reads(memory.ReadTransfers().end() - static_cast<std::ptrdiff_t>(expected.size()),
                    memory.ReadTransfers().end());
  EXPECT_EQ(reads, expected);
}

// A FAT that fits one of the scan's transfers is read whole, once, by the root chain's walk.
TEST_F(AnalysisTest, SmallFatIsReadWholeOnce) {
  Fat32Volume volume(memory, 'F', {.sectorsPerCluster = 1, .fatSize = 1009});
  volume.Chain({2, 1000, 5, 20000, 30000, 127});
  Analyse();
  EXPECT_TRUE(window.RepairEnabled());
  EXPECT_EQ(FatReads(volume.DataStart()), (Reads{{32, 1009}}));
  EXPECT_EQ(Recorded(), (std::vector<std::int32_t>{2, 1000, 5, 20000, 30000, 127}));
}

TEST_F(AnalysisTest, LargeFatIsReadAWindowAtATimeAndAgainWhenTheChainComesBack) {
  Fat32Volume volume(memory, 'F', {.sectorsPerCluster = 1, .fatSize = 4099});
  // 1000 lies in FAT sector 7, inside the first window of 128 sectors; 20000 in sector 156, and
  // 30000 in sector 234 of the window that 20000 loaded; 127 is back in the first window. The
  // scan for links into the root then reads the rest of the FAT in the largest transfers.
  volume.Chain({2, 1000, 5, 20000, 30000, 127});
  Analyse();
  EXPECT_TRUE(window.RepairEnabled());
  Reads expected{{32, 128}, {32 + 156, 128}, {32, 128}};
  for (const auto& piece : Pieces(32 + 128, 4099 - 128, repair::kFatScanTransferBytes / 512)) {
    expected.push_back(piece);
  }
  EXPECT_EQ(FatReads(volume.DataStart()), expected);
  EXPECT_EQ(Recorded(), (std::vector<std::int32_t>{2, 1000, 5, 20000, 30000, 127}));

  // The last window stops at the end of the FAT.
  volume.Chain({2, 4099 * 128 - 1});
  window = EngineRun{};
  const std::size_t before = memory.ReadTransfers().size();
  Analyse();
  EXPECT_TRUE(window.RepairEnabled());
  EXPECT_EQ(memory.ReadTransfers().at(before + 2), (MemoryVolume::Transfer{32 + 4098, 1}));
}

// Short names as the reports show them: the parts without their padding, a deleted entry's lost
// first byte as '?', a GBK name whose first byte 0xE5 is stored as 0x05, control bytes as '?'.
TEST_F(AnalysisTest, ShortNamesAreShownAsTheUserWouldReadThem) {
  Fat32Volume volume(memory, 'F', {});
  const std::uint64_t root = volume.ClusterSector(2);
  const std::vector<std::pair<std::string, std::string>> names = {
      {"MY      DIR", "MY.DIR"},
      {"\xE5OLD       ", "?OLD"},
      {"\x05\xD0      TXT", "\xE9\x80\x8D.TXT"},  // 0xE5 0xD0 is 逍
      {"A\x01"
       "B        ",
       "A?B"}};
  for (std::size_t i = 0; i < names.size(); ++i) {
    volume.PutEntry(root, static_cast<int>(i), names[i].first, 0x16);
  }
  Analyse();
  ASSERT_TRUE(window.RepairEnabled());
  std::vector<std::string> shown;
  for (const auto& folder : layout.findings.hidden) shown.push_back(folder.shortName);
  std::vector<std::string> expected;
  for (const auto& name : names) expected.push_back(name.second);
  EXPECT_EQ(shown, expected);
}

TEST_F(AnalysisTest, DataStartFollowsReservedSectorsAndFatSize) {
  Fat32Volume volume(memory, 'F', {.reservedSectors = 38, .fatSize = 1009});
  Analyse();
  EXPECT_TRUE(window.RepairEnabled());
  EXPECT_EQ(layout.reservedSectors, 38);
  EXPECT_EQ(layout.fatSize, 1009);
  EXPECT_EQ(layout.dataStart, 2056);
}

TEST_F(AnalysisTest, WideFieldsAreReadWhole) {
  // Reserved count above one byte and a FAT larger than 16 bits can count.
  Fat32Volume volume(memory, 'F',
                     {.sectorsPerCluster = 1, .reservedSectors = 300, .fatSize = 70000});
  const std::uint32_t far = 65536 * 2 + 7;  // its entry lies in FAT sector 2048
  volume.Chain({2, far});
  Analyse();
  ASSERT_TRUE(window.RepairEnabled()) << (window.messages.empty() ? "" : window.messages[0].text);
  EXPECT_EQ(layout.reservedSectors, 300);
  EXPECT_EQ(layout.fatSize, 70000);
  EXPECT_EQ(layout.dataStart, 300 + 2 * 70000);
  EXPECT_EQ(layout.sectorsPerCluster, 1);
  const Reads walk = FatReads(volume.DataStart());
  ASSERT_GE(walk.size(), 2u);
  EXPECT_EQ(Reads(walk.begin(), walk.begin() + 2), (Reads{{300, 128}, {300 + far * 4 / 512, 128}}));
  EXPECT_EQ(Recorded(), (std::vector<std::int32_t>{2, static_cast<std::int32_t>(far)}));
}

class TypeTextTest : public AnalysisTest, public ::testing::WithParamInterface<std::string> {};

TEST_P(TypeTextTest, AnythingButFat32WithThreeSpacesIsRefused) {
  Fat32Volume volume(memory, 'F', {.typeText = GetParam()});
  Analyse();
  ExpectRefused("错误");
  EXPECT_EQ(window.messages[0].text, kUnsupportedFileSystemText);
  EXPECT_EQ(memory.ReadTransfers(), (Reads{{0, kBootRead}}));
}

INSTANTIATE_TEST_SUITE_P(Types, TypeTextTest,
                         ::testing::Values(std::string("FAT16   "), std::string("fat32   "),
                                           std::string("FAT32  X"), std::string("FAT32\0\0\0", 8),
                                           std::string("XAT32   ")));

TEST_F(AnalysisTest, HeldDriveShowsTheOpenFailureAndLeavesEverythingAsItWas) {
  Fat32Volume volume(memory, 'F', {});
  volume.Chain({2, 3});
  Analyse();
  ASSERT_TRUE(window.RepairEnabled());

  memory.HoldDrive('F');
  window.enabledHistory.clear();
  Analyse();
  ExpectRefused("出错啦~~");
  EXPECT_EQ(window.messages[0].text, kOpenFailedText);
  EXPECT_EQ(window.enabledHistory, (std::vector<bool>{false}));
  EXPECT_EQ(layout.rootClusterCount, 2);  // the previous analysis' layout stays
}

TEST_F(AnalysisTest, OpenFailuresSayWhy) {
  window.entries = {"Q"};
  Analyse();
  ExpectRefused("出错啦~~");
  EXPECT_NE(window.messages[0].text.find("找不到磁盘"), std::string::npos);

  // A write-protected drive: refused for the repair, analysed when only looked at.
  Fat32Volume volume(memory, 'F', {});
  memory.ProtectDrive('F');
  window = EngineRun{};
  Analyse();
  ExpectRefused("出错啦~~");
  EXPECT_NE(window.messages[0].text.find("写保护"), std::string::npos);
  window = EngineRun{};
  Analyse(volume::Access::kReadOnly);
  EXPECT_TRUE(window.RepairEnabled());
  EXPECT_EQ(memory.OpenAccess(), volume::Access::kReadOnly);
}

// The root lists a file whose first cluster is one of the root's own: the chain runs into the
// file's data, and rewriting the root would rewrite the file.
TEST_F(AnalysisTest, RootCrossLinkedWithAFileItListsIsRefused) {
  Fat32Volume volume(memory, 'F', {});
  volume.Chain({2, 3});
  const std::uint64_t root = volume.ClusterSector(2);
  volume.PutEntry(root, 0, "DELETED TXT", 0x20);
  volume.SetFirstCluster(root, 0, 3);
  memory.Poke('F', root * 512, {0xE5});  // deleted: its clusters are free to reuse
  volume.PutEntry(root, 1, "LONGNAMEPAR", 0x0F);
  volume.SetFirstCluster(root, 1, 3);  // long-name entries hold no cluster
  volume.PutEntry(root, 2, "KESTROVA   ", 0x08);
  volume.SetFirstCluster(root, 2, 3);  // nor does the volume label
  volume.PutEntry(root, 3, "DATA    BIN", 0x20);
  volume.SetFirstCluster(root, 3, 9);
  Analyse();
  ASSERT_TRUE(window.RepairEnabled()) << window.messages.at(0).text;

  volume.SetFirstCluster(root, 3, 3);
  window = EngineRun{};
  Analyse();
  ExpectRefused("错误");
  EXPECT_NE(window.messages[0].text.find("DATA.BIN"), std::string::npos) << window.messages[0].text;
  EXPECT_NE(window.messages[0].text.find("簇链交叉"), std::string::npos);

  // After the end-of-directory mark no entry is in use.
  memory.Poke('F', root * 512 + 2 * 32, {0x00});
  window = EngineRun{};
  Analyse();
  EXPECT_TRUE(window.RepairEnabled());
}

// The root's runs are read together, but told in the root's order: what the walker finds in a
// run comes before the failed read of a run after it, as when each is read after the other.
TEST_F(AnalysisTest, FailedReadOfALaterRootRunIsToldAfterTheRunsBeforeIt) {
  Fat32Volume volume(memory, 'F', {});
  volume.Chain({2, 9});  // two runs
  volume.PutEntry(volume.ClusterSector(2), 0, "DATA    BIN", 0x20);
  volume.SetFirstCluster(volume.ClusterSector(2), 0, 9);  // cross-linked with the root
  const int before = memory.Count(Call::kRead);
  memory.FailAt(Call::kRead, before + 4);  // the boot sector, the FAT, then the second run
  Analyse();
  ExpectRefused("错误");
  EXPECT_NE(window.messages[0].text.find("簇链交叉"), std::string::npos) << window.messages[0].text;

  volume.SetFirstCluster(volume.ClusterSector(2), 0, 20);
  window = EngineRun{};
  memory.FailAt(Call::kRead, memory.Count(Call::kRead) + 4);
  Analyse();
  ExpectRefused("错误");
  EXPECT_NE(window.messages[0].text.find("读取磁盘第"), std::string::npos)
      << window.messages[0].text;
}

// Another chain that reaches a root cluster past its first: the FAT entry that links into the
// root lies beyond the FAT sectors that the chain's walk read, and its top four bits are not
// part of the link. The root's own link 2 -> 3 does not count.
TEST_F(AnalysisTest, ChainLinkingIntoTheRootIsRefused) {
  Fat32Volume volume(memory, 'F', {.sectorsPerCluster = 1, .fatSize = 1009});
  volume.Chain({2, 3});
  volume.PutEntry(volume.ClusterSector(2), 0, "FILE    TXT", 0x20);
  volume.SetFirstCluster(volume.ClusterSector(2), 0, 9);
  volume.Chain({9, 20000, 5});
  volume.SetFat(6, 0x0FFFFFF7);
  ExpectAnalysis("");
  volume.SetFat(20000, 0xF0000003);
  ExpectAnalysis("另一簇链中的簇20000指向根目录自身的簇3");
}

// A FAT32 first cluster is 32 bits: an entry that matches a root cluster only in its low word
// is no cross-link.
TEST_F(AnalysisTest, HighWordOfTheFirstClusterCounts) {
  Fat32Volume volume(memory, 'F', {.sectorsPerCluster = 1, .fatSize = 1009});
  volume.Chain({2, 0x10003});
  const std::uint64_t root = volume.ClusterSector(2);
  volume.PutEntry(root, 0, "DATA    BIN", 0x20);
  volume.SetFirstCluster(root, 0, 0x00003);
  ExpectAnalysis("");
  volume.SetFirstCluster(root, 0, 0x10003);
  ExpectAnalysis("“DATA.BIN”起始于根目录自身的簇65539");
}

// exFAT with two FATs, the second in use: a file that begins at a root cluster; a FAT link into
// the root, which counts only from a cluster that the bitmap marks used (else it is a leftover);
// a root cluster that the bitmap of the FAT in use marks free; no bitmap of the FAT in use.
TEST_F(AnalysisTest, ExfatRootThatSomethingElseReachesIsRefused) {
  ExfatVolume volume(memory, 'F', 2, 1);
  volume.SetFat(volume.RootCluster(), 9);
  volume.SetFat(9, 0xFFFFFFFF);
  volume.SetAllocated(9, true, 1);
  volume.SetFat(30, 9);
  volume.PutFile(2, "file.txt", 0x01, 20, 4096);
  ExpectAnalysis("");
  volume.PutFile(2, "file.txt", 0x01, 9, 4096);
  ExpectAnalysis("“file.txt”起始于根目录自身的簇9");
  volume.PutFile(2, "file.txt", 0x01, 20, 4096);
  volume.SetAllocated(30, true, 1);
  ExpectAnalysis("另一簇链中的簇30指向根目录自身的簇9");
  volume.SetAllocated(30, false, 1);
  volume.SetAllocated(9, false, 1);
  volume.SetAllocated(9, true, 0);
  ExpectAnalysis("根目录的簇9在分配位图中标记为空闲");
  volume.PutFile(1, "file.txt", 0x01, 20, 4096);  // over the bitmap entry of the FAT in use
  ExpectAnalysis("没有可用的分配位图");
}

// The bytes that the analysis keeps of each sector it restores, for the journal, are the sector as
// it was read: several folders to a sector, and sets that run over the end of a transfer, whose
// sectors come again at the front of the next one.
TEST_F(AnalysisTest, RestoredSectorsKeepEachSectorAsItWasRead) {
  ExfatVolume volume(memory, 'F');
  const std::uint32_t root = volume.RootCluster();
  constexpr std::uint32_t kClusterBytes = 4096;
  const auto clusters = static_cast<std::uint32_t>(2 * repair::kMaxTransferBytes / kClusterBytes);
  for (std::uint32_t c = root; c < root + clusters; ++c) {
    volume.SetFat(c, c + 1 < root + clusters ? c + 1 : 0xFFFFFFFF);
    volume.SetAllocated(c, true);
  }
  // After the bitmap's entry an unused one, then hidden folders of three entries: one runs over
  // each transfer's end.
  std::vector<std::uint8_t> unused(32);
  unused[0] = 0x05;  // a File entry no longer in use
  volume.PutRootBytes(1, unused);
  const int slots = static_cast<int>(clusters * kClusterBytes / 32);
  int folders = 0;
  for (int index = 2; index + 3 <= slots; index += 3, ++folders) {
    volume.PutSet(index, {.name = "F" + std::to_string(index),
                          .attributes = static_cast<std::uint16_t>(0x16 + index % 2),
                          .flags = 0x03,
                          .first = 900,
                          .length = kClusterBytes});
  }
  const auto before = memory.Sectors('F');
  auto opened = OpenDrive();
  ASSERT_TRUE(opened);
  repair::RestoredSectors restored;
  const auto analysed = repair::Analyse(*opened, &restored);
  ASSERT_TRUE(analysed) << repair::messages::Text(analysed.error());
  EXPECT_EQ(analysed->findings.hidden.size(), static_cast<std::size_t>(folders));
  const auto rootSector = static_cast<std::uint64_t>(analysed->dataStart) +
                          (root - 2) * static_cast<std::uint64_t>(analysed->sectorsPerCluster);
  std::size_t changedSectors = 0;
  for (std::uint64_t sector = 0; sector < clusters * kClusterBytes / 512; ++sector) {
    const auto kept = restored.sectors.find(static_cast<std::int64_t>(sector));
    if (kept == restored.sectors.end()) continue;
    ++changedSectors;
    const auto& was = before.at(rootSector + sector);
    EXPECT_TRUE(
        std::equal(was.begin(), was.end(), kept->second.before.begin(), kept->second.before.end()))
        << sector;
    EXPECT_NE(kept->second.after, kept->second.before) << sector;
  }
  // Every sector of the root holds the File entry of some folder.
  EXPECT_EQ(changedSectors, clusters * kClusterBytes / 512);
  EXPECT_EQ(restored.sectors.size(), changedSectors);
  // What it keeps to write restores every folder, those over a transfer's end too.
  const auto repaired = repair::Repair(*opened, &*analysed, nullptr, nullptr);
  ASSERT_TRUE(repaired) << repair::messages::Text(repaired.error());
  EXPECT_EQ(repaired->restored.size(), static_cast<std::size_t>(folders));
  const auto again = repair::Analyse(*opened);
  ASSERT_TRUE(again);
  EXPECT_TRUE(again->findings.hidden.empty());
}

// exFAT with two FATs: the root's chain is read from the one that the volume flags name.
TEST_F(AnalysisTest, ExfatChainIsReadFromTheActiveFat) {
  for (const int active : {0, 1}) {
    MemoryVolume memory;
    ScopedBackend scoped{memory};
    ExfatVolume volume(memory, 'F', 2, active);
    volume.SetFat(volume.RootCluster(), 9, 1);
    volume.SetFat(9, 0xFFFFFFFF, 1);
    volume.SetAllocated(9, true, 1);
    repair::VolumeLayout analysed;
    EngineRun shown;
    AnalyseEntry(analysed, shown, 0);
    ASSERT_TRUE(shown.RepairEnabled()) << active;
    const auto root = static_cast<std::int32_t>(volume.RootCluster());
    const std::vector<std::int32_t> expected =
        active == 1 ? std::vector<std::int32_t>{root, 9} : std::vector<std::int32_t>{root};
    EXPECT_EQ(std::vector<std::int32_t>(analysed.rootClusters.begin(),
                                        analysed.rootClusters.begin() + analysed.rootClusterCount),
              expected);
  }
}

// A FAT value that ends the chain after cluster 3; the top four bits are not part of it.
class EndMarkTest : public AnalysisTest, public ::testing::WithParamInterface<std::uint32_t> {};

TEST_P(EndMarkTest, EndsTheChain) {
  Fat32Volume volume(memory, 'F', {});
  volume.SetFat(2, 3);
  volume.SetFat(3, GetParam());
  Analyse();
  EXPECT_TRUE(window.RepairEnabled());
  EXPECT_EQ(Recorded(), (std::vector<std::int32_t>{2, 3}));
}

INSTANTIATE_TEST_SUITE_P(Marks, EndMarkTest,
                         ::testing::Values(0x0FFFFFF8u, 0x0FFFFFFCu, 0x0FFFFFFFu, 0xFFFFFFFFu,
                                           0x1FFFFFF8u, 0xAFFFFFF9u));

TEST_F(AnalysisTest, TopFourBitsOfALinkAreIgnored) {
  Fat32Volume volume(memory, 'F', {});
  volume.SetFat(2, 0xF0000003u);
  volume.SetFat(3, 0xA0000200u);
  volume.SetFat(0x200, 0x0FFFFFFFu);
  Analyse();
  EXPECT_TRUE(window.RepairEnabled());
  EXPECT_EQ(Recorded(), (std::vector<std::int32_t>{2, 3, 0x200}));
}

struct DamagedChain {
  const char* name;
  std::vector<std::uint32_t> links;  // FAT values of clusters 2, 3, ... in turn
  bool pastLastCluster;              // the last link is replaced by the volume's last cluster + 1
};

void PrintTo(const DamagedChain& chain, std::ostream* out) { *out << chain.name; }

class DamagedChainTest : public AnalysisTest, public ::testing::WithParamInterface<DamagedChain> {};

TEST_P(DamagedChainTest, IsRefusedWithoutWriting) {
  Fat32Volume volume(memory, 'F', {});
  auto links = GetParam().links;
  if (GetParam().pastLastCluster) links.back() = volume.LastCluster() + 1;
  for (std::size_t i = 0; i < links.size(); ++i) {
    volume.SetFat(static_cast<std::uint32_t>(2 + i), links[i]);
  }
  Analyse();
  ExpectRefused("错误");
  EXPECT_NE(window.messages[0].text.find("根目录的簇链已损坏"), std::string::npos)
      << window.messages[0].text;
}

INSTANTIATE_TEST_SUITE_P(Chains, DamagedChainTest,
                         ::testing::Values(DamagedChain{"free", {0}, false},
                                           DamagedChain{"one", {3, 1}, false},
                                           DamagedChain{"bad", {3, 0x0FFFFFF7}, false},
                                           DamagedChain{"badHighBits", {0xFFFFFFF7}, false},
                                           DamagedChain{"reservedLow", {0x0FFFFFF0}, false},
                                           DamagedChain{"reservedHigh", {3, 0x0FFFFFF6}, false},
                                           DamagedChain{"pastLast", {3, 0}, true},
                                           DamagedChain{"selfLoop", {2}, false},
                                           DamagedChain{"loopBack", {3, 4, 5, 3}, false},
                                           // Back below the highest cluster, to one recorded.
                                           DamagedChain{"backThenLoop", {6, 2, 0, 0, 3}, false},
                                           DamagedChain{"backToHighest", {4, 4, 3}, false}),
                         [](const auto& info) { return std::string(info.param.name); });

// A chain that goes back to clusters below those recorded, none of them twice, is whole.
TEST_F(AnalysisTest, RootChainThatGoesBackwardWithoutLoopingIsWhole) {
  Fat32Volume volume(memory, 'F', {});
  volume.Chain({2, 9, 5, 7, 3});
  Analyse();
  EXPECT_TRUE(window.RepairEnabled());
  EXPECT_EQ(Recorded(), (std::vector<std::int32_t>{2, 9, 5, 7, 3}));
}

TEST_F(AnalysisTest, LastClusterOfTheVolumeIsAValidLink) {
  Fat32Volume volume(memory, 'F', {});
  volume.Chain({2, volume.LastCluster()});
  Analyse();
  EXPECT_TRUE(window.RepairEnabled());
  EXPECT_EQ(layout.rootClusters[1], static_cast<std::int32_t>(volume.LastCluster()));
}

TEST_F(AnalysisTest, RootInTheVolumesLastClusterIsRead) {
  Fat32Volume volume(memory, 'F', {});
  const std::uint32_t last = volume.LastCluster();
  volume.PokeBoot(fat::kRootClusterOffset, Le32(last));
  volume.SetFat(last, 0x0FFFFFFF);
  Analyse();
  ASSERT_TRUE(window.RepairEnabled());
  EXPECT_EQ(Recorded(), (std::vector<std::int32_t>{static_cast<std::int32_t>(last)}));
  const MemoryVolume::Transfer root{static_cast<std::int64_t>(volume.ClusterSector(last)), 8};
  EXPECT_NE(std::find(memory.ReadTransfers().begin(), memory.ReadTransfers().end(), root),
            memory.ReadTransfers().end());
}

// A chain of `length` clusters 2, 3, ...
void MakeLongRoot(Fat32Volume& volume, std::uint32_t length) {
  std::vector<std::uint32_t> clusters(length);
  for (std::uint32_t i = 0; i < length; ++i) clusters[i] = 2 + i;
  volume.Chain(clusters);
}

TEST_F(AnalysisTest, RootOfFiveHundredOneClustersIsRecordedWhole) {
  Fat32Volume volume(memory, 'F', {.sectorsPerCluster = 1});
  MakeLongRoot(volume, 501);
  Analyse();
  ASSERT_TRUE(window.RepairEnabled());
  EXPECT_EQ(layout.rootClusterCount, 501);
  EXPECT_EQ(layout.rootClusters[500], 502);
}

TEST_F(AnalysisTest, RootOfFiveHundredTwoClustersIsRefused) {
  Fat32Volume volume(memory, 'F', {.sectorsPerCluster = 1});
  MakeLongRoot(volume, 502);
  Analyse();
  ExpectRefused("错误");
  EXPECT_NE(window.messages[0].text.find("501"), std::string::npos);
}

struct BadGeometry {
  const char* name;
  std::size_t offset;
  std::vector<std::uint8_t> bytes;
};

void PrintTo(const BadGeometry& geometry, std::ostream* out) { *out << geometry.name; }

class GeometryTest : public AnalysisTest, public ::testing::WithParamInterface<BadGeometry> {};

TEST_P(GeometryTest, IsRefusedAfterReadingOnlyTheBootSector) {
  Fat32Volume volume(memory, 'F', {});
  volume.PokeBoot(GetParam().offset, GetParam().bytes);
  Analyse();
  ExpectRefused("错误");
  EXPECT_NE(window.messages[0].text.find("引导扇区参数不受支持"), std::string::npos)
      << window.messages[0].text;
  EXPECT_EQ(memory.ReadTransfers(), (Reads{{0, kBootRead}}));
}

INSTANTIATE_TEST_SUITE_P(
    Fields, GeometryTest,
    ::testing::Values(BadGeometry{"bytesPerSector768", fat::kBytesPerSectorOffset, Le16(768)},
                      BadGeometry{"bytesPerSector8192", fat::kBytesPerSectorOffset, Le16(8192)},
                      BadGeometry{"bytesPerSector256", fat::kBytesPerSectorOffset, Le16(256)},
                      BadGeometry{"bytesPerSector0", fat::kBytesPerSectorOffset, Le16(0)},
                      BadGeometry{"sectorsPerCluster0", fat::kSectorsPerClusterOffset, {0}},
                      BadGeometry{"sectorsPerCluster3", fat::kSectorsPerClusterOffset, {3}},
                      BadGeometry{"sectorsPerCluster255", fat::kSectorsPerClusterOffset, {255}},
                      BadGeometry{"reserved0", fat::kReservedSectorsOffset, Le16(0)},
                      BadGeometry{"noFat", fat::kFatCountOffset, {0}},
                      BadGeometry{"fatSize0", fat::kFatSize32Offset, Le32(0)},
                      BadGeometry{"totalBelowData", fat::kTotalSectors32Offset, Le32(100)},
                      BadGeometry{"totalAtData", fat::kTotalSectors32Offset, Le32(160)},
                      BadGeometry{"fatTooSmall", fat::kFatSize32Offset, Le32(1)},
                      BadGeometry{"fat16RootEntries", fat::kRootEntryCountOffset, Le16(512)},
                      BadGeometry{"fat16FatSize", fat::kFatSize16Offset, Le16(9)},
                      BadGeometry{"rootCluster0", fat::kRootClusterOffset, Le32(0)},
                      BadGeometry{"rootCluster1", fat::kRootClusterOffset, Le32(1)},
                      BadGeometry{"rootClusterPastEnd", fat::kRootClusterOffset, Le32(0x00100000)},
                      BadGeometry{"dataStartOverflow", fat::kFatSize32Offset, Le32(0xFFFFFFFF)}),
    [](const auto& info) { return std::string(info.param.name); });

// The device must hold the whole volume and take transfers of the volume's sectors, as the system
// tells it; nothing past the boot sector is read otherwise.
struct DeviceFault {
  const char* name;
  std::function<void(MemoryVolume&)> make;
  const char* expected;
};

void PrintTo(const DeviceFault& fault, std::ostream* out) { *out << fault.name; }

class DeviceTest : public AnalysisTest, public ::testing::WithParamInterface<DeviceFault> {};

TEST_P(DeviceTest, IsRefusedAfterReadingOnlyTheBootSector) {
  Fat32Volume volume(memory, 'F', {});  // 65,680 sectors: 33,628,160 bytes
  GetParam().make(memory);
  Analyse();
  ASSERT_NO_FATAL_FAILURE(ExpectRefused("错误"));
  EXPECT_NE(window.messages[0].text.find(GetParam().expected), std::string::npos)
      << window.messages[0].text;
  EXPECT_EQ(memory.ReadTransfers(), (Reads{{0, kBootRead}}));

  // The same volume on a device that holds it, and more, of sectors no larger than its own.
  memory.Truncate('F', volume.TotalSectors() * 512 + 4096);
  memory.SetDeviceSectorSize('F', 512);
  window = EngineRun{};
  Analyse();
  EXPECT_TRUE(window.RepairEnabled()) << window.messages.at(0).text;
}

INSTANTIATE_TEST_SUITE_P(
    Devices, DeviceTest,
    ::testing::Values(
        DeviceFault{"eightMiB", [](MemoryVolume& m) { m.Truncate('F', 8 << 20); },
                    "磁盘的容量只有8388608字节（8.0 MiB），小于其引导扇区记录的文件系统容量"
                    "33628160字节（32.1 MiB）。"},
        DeviceFault{"oneSectorShort", [](MemoryVolume& m) { m.Truncate('F', 33628160 - 512); },
                    "只有33627648字节（32.1 MiB），小于"},
        DeviceFault{"sizeUnknown", [](MemoryVolume& m) { m.FailAt(Call::kSize, 1); },
                    "读取磁盘容量失败！"},
        DeviceFault{"largerSectors", [](MemoryVolume& m) { m.SetDeviceSectorSize('F', 4096); },
                    "每扇区512字节，小于磁盘本身的扇区大小4096字节"}),
    [](const auto& info) { return std::string(info.param.name); });

// A read that fails, comes up short or cannot begin, at the n-th call.
struct ReadFault {
  const char* name;
  int n;
  MemoryVolume::Fault fault;
};

void PrintTo(const ReadFault& fault, std::ostream* out) { *out << fault.name; }

class ReadFaultTest : public AnalysisTest, public ::testing::WithParamInterface<ReadFault> {};

TEST_P(ReadFaultTest, RefusesInsteadOfUsingAStaleBuffer) {
  // A first drive fills the buffers with a good boot sector and a good chain; the second drive's
  // own sectors must be the ones analysed, or nothing.
  Fat32Volume first(memory, 'E', {});
  first.Chain({2, 3, 4});
  window.entries = {"E"};
  Analyse();
  ASSERT_TRUE(window.RepairEnabled());
  const int before = memory.Count(Call::kRead);

  Fat32Volume second(memory, 'F', {});
  window.entries = {"F"};
  window.enabledHistory.clear();
  memory.FailAt(Call::kRead, before + GetParam().n, GetParam().fault);
  Analyse();
  ExpectRefused("错误");
  const bool pastTheBootSector = GetParam().n > 1;
  const char* expected = GetParam().fault == MemoryVolume::Fault::kShort && pastTheBootSector
                             ? "之前就结束了"
                             : "读取磁盘第";
  EXPECT_NE(window.messages[0].text.find(expected), std::string::npos) << window.messages[0].text;
}

using Fault = MemoryVolume::Fault;
INSTANTIATE_TEST_SUITE_P(Faults, ReadFaultTest,
                         ::testing::Values(ReadFault{"bootReadFails", 1, Fault::kFails},
                                           ReadFault{"bootReadShort", 1, Fault::kShort},
                                           ReadFault{"bootReadNotStarted", 1, Fault::kNotStarted},
                                           ReadFault{"fatReadFails", 2, Fault::kFails},
                                           ReadFault{"fatReadShort", 2, Fault::kShort},
                                           ReadFault{"fatReadNotStarted", 2, Fault::kNotStarted},
                                           ReadFault{"rootReadFails", 3, Fault::kFails},
                                           ReadFault{"rootReadShort", 3, Fault::kShort},
                                           ReadFault{"rootReadNotStarted", 3, Fault::kNotStarted}),
                         [](const auto& info) { return std::string(info.param.name); });

// FAT12 and FAT16 take their type from the cluster count: up to 4,084 clusters FAT12, up to
// 65,524 FAT16, more is no FAT12/16 volume. One sector per cluster, 512 root entries.
struct SmallFatCase {
  std::uint32_t clusters;
  const char* type;  // empty: refused
};

void PrintTo(const SmallFatCase& c, std::ostream* out) { *out << c.clusters; }

class SmallFatTypeTest : public AnalysisTest, public ::testing::WithParamInterface<SmallFatCase> {};

TEST_P(SmallFatTypeTest, FollowsTheClusterCount) {
  const std::uint32_t clusters = GetParam().clusters;
  const std::uint32_t fatBytes =
      clusters + 2 <= 4086 ? (clusters + 2) * 3 / 2 + 1 : (clusters + 2) * 2;
  const std::uint32_t fatSize = (fatBytes + 511) / 512;
  const std::uint32_t total = 1 + 2 * fatSize + 32 + clusters;
  memory.AddSparseDrive('F', std::uint64_t{total} * 512);
  auto boot = [&](std::size_t offset, const std::vector<std::uint8_t>& bytes) {
    memory.Poke('F', offset, bytes);
  };
  boot(0, {0xEB, 0x3C, 0x90});
  boot(fat::kBytesPerSectorOffset, Le16(512));
  boot(fat::kSectorsPerClusterOffset, {1});
  boot(fat::kReservedSectorsOffset, Le16(1));
  boot(fat::kFatCountOffset, {2});
  boot(fat::kRootEntryCountOffset, Le16(512));
  boot(fat::kMediaOffset, {0xF8});
  boot(fat::kFatSize16Offset, Le16(static_cast<std::uint16_t>(fatSize)));
  boot(fat::kTotalSectors32Offset, Le32(total));
  boot(510, {0x55, 0xAA});
  Analyse();
  const std::string type = GetParam().type;
  ASSERT_EQ(window.RepairEnabled(), !type.empty());
  if (type.empty()) return;
  EXPECT_EQ(repair::FileSystemName(layout.fileSystem), type);
  EXPECT_EQ(layout.clusterCount, clusters);
  EXPECT_EQ(layout.RootBytes(), 512 * 32);
}

INSTANTIATE_TEST_SUITE_P(Counts, SmallFatTypeTest,
                         ::testing::Values(SmallFatCase{4084, "FAT12"}, SmallFatCase{4085, "FAT16"},
                                           SmallFatCase{65524, "FAT16"}, SmallFatCase{65525, ""}));

// With FAT mirroring off, only the FAT that the extended flags name is current; the chain must be
// read from it, not from a stale first FAT.
using ActiveFatTest = AnalysisTest;

TEST_F(ActiveFatTest, ChainIsReadFromTheFatInUse) {
  Fat32Volume volume(memory, 'F', {.reservedSectors = 32, .fatSize = 64});
  volume.Chain({2, 3, 4});
  // The first FAT still says the root is one cluster long.
  memory.Poke('F', 32 * 512 + 2 * 4, Le32(0x0FFFFFFF));
  volume.PokeBoot(40, Le16(0x0081));  // mirroring off, FAT 1 in use
  Analyse();
  ASSERT_TRUE(window.RepairEnabled());
  EXPECT_EQ(layout.rootClusterCount, 3);
  EXPECT_EQ(memory.ReadTransfers().at(1).first, 32 + 64);
  EXPECT_EQ(memory.Count(MemoryVolume::Call::kRead), 3);
}

TEST_F(ActiveFatTest, FatNumberBeyondTheFatCountIsRefused) {
  Fat32Volume volume(memory, 'F', {.fatCount = 2});
  volume.PokeBoot(40, Le16(0x0082));
  Analyse();
  ExpectRefused("错误");
}

}  // namespace
}  // namespace kestrova::testing
