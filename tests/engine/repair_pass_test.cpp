// SPDX-License-Identifier: GPL-3.0-or-later
// The repair pass: which bytes it changes, which sectors it touches and in what order, how it
// reports progress, and how it ends when the volume fails under it.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "disk_facts.h"
#include "fat32_volume.h"
#include "format/fat.h"
#include "memory_stick.h"
#include "memory_volume.h"
#include "repair/engine.h"
#include "repair/journal.h"
#include "repair/journals.h"
#include "words/messages.h"

namespace kestrova::testing {
namespace {

namespace fat = kestrova::fat;
using repair::Problem;
using repair::VolumeLayout;
using Call = MemoryVolume::Call;

constexpr std::uint64_t kSector = 512;
constexpr std::size_t kVolumeSerialOffset = 67;  // in the FAT32 boot sector

// An 8.3 name as stored: the name padded to 8 bytes, then the extension padded to 3.
std::string Name83(const std::string& name, const std::string& extension = "") {
  std::string stored = name;
  stored.resize(8, ' ');
  std::string ext = extension;
  ext.resize(3, ' ');
  return stored + ext;
}

// A name unique to a place in the root, so that a sector written in the wrong place shows.
std::string PlaceName(std::uint64_t sector, int index) {
  char text[16];
  std::snprintf(text, sizeof text, "%05lluE%02d", static_cast<unsigned long long>(sector % 100000),
                index);
  return Name83(text);
}

// What a virus leaves: a folder with hidden and/or system set, and neither the volume-label bit
// nor a bit that no file system defines.
bool VirusAttribute(std::uint8_t attribute) {
  const bool folder = attribute & 0x10;
  const bool hiddenOrSystem = attribute & 0x06;
  const bool labelOrReserved = attribute & 0xC8;
  return folder && hiddenOrSystem && !labelOrReserved;
}

// The attribute of a file (a long-name entry is none) that the virus hid, shown again when its
// name is a document's (as every generated name is): it loses hidden and system.
bool HiddenDocument(std::uint8_t attribute) {
  const bool file = !(attribute & 0x10) && attribute != 0x0F;
  return file && (attribute & 0x06) && !(attribute & 0xC8);
}

// Drive F in memory and a window's run on it, with the calls that the analysis made, so that
// the pass's own calls show.
struct Bench {
  // The calls of the pass only.
  std::vector<DeviceLog::Event> PassEvents() const {
    return {memory.events.begin() + static_cast<std::ptrdiff_t>(analysisEvents),
            memory.events.end()};
  }

  MemoryVolume memory;
  ScopedBackend scoped{memory};
  VolumeLayout layout;
  EngineRun window;
  std::size_t analysisEvents = 0;
};

class RepairPassTest : public ::testing::Test, protected Bench {
 protected:
  void Analyse() {
    AnalyseEntry(layout, window, 0);
    ASSERT_TRUE(window.RepairEnabled())
        << (window.messages.empty() ? std::string() : window.messages.back().text);
    analysisEvents = memory.events.size();
  }
  std::optional<Problem> Repair() { return PassOnEntry(&layout, window, &report); }
  Snapshot Drive() const { return memory.Sectors('F'); }
  std::uint8_t AttributeAt(std::uint64_t sector, int index) const {
    return memory
        .Peek('F', sector * kSector + static_cast<std::uint64_t>(index) * 32 + kAttributeByte, 1)
        .at(0);
  }
  // The reads and writes of the pass.
  std::size_t PassTransfers() const {
    const auto events = PassEvents();
    return static_cast<std::size_t>(std::count_if(events.begin(), events.end(), [](const auto& e) {
      return e.call == Call::kRead || e.call == Call::kWrite;
    }));
  }

  repair::RepairReport report;
};

TEST_F(RepairPassTest, ChangesExactlyTheHiddenFolderAndDocumentAttributes) {
  // Every attribute value once, sixteen to a sector, over two clusters.
  Fat32Volume volume(memory, 'F', {});
  volume.Chain({2, 3});
  std::vector<std::uint64_t> expected;
  for (int value = 0; value < 256; ++value) {
    const std::uint64_t sector = volume.ClusterSector(2) + static_cast<std::uint64_t>(value / 16);
    volume.PutEntry(sector, value % 16, PlaceName(sector, value % 16),
                    static_cast<std::uint8_t>(value));
    if (VirusAttribute(static_cast<std::uint8_t>(value)) ||
        HiddenDocument(static_cast<std::uint8_t>(value))) {
      expected.push_back(sector * kSector + static_cast<std::uint64_t>(value % 16) * 32 +
                         kAttributeByte);
    }
  }
  ASSERT_EQ(expected.size(), 24u);
  Analyse();
  const Snapshot before = Drive();
  ASSERT_FALSE(Repair());
  EXPECT_EQ(ChangedBytes(before, Drive()), expected);
  for (const std::uint64_t offset : expected) {
    // A folder loses hidden, system and read-only, a document hidden and system; the directory,
    // archive and (for a file) read-only bits stay.
    const std::uint8_t was = before.at(offset / kSector)[offset % kSector];
    EXPECT_EQ(memory.Peek('F', offset, 1).at(0), was & (was & 0x10 ? 0x30 : 0x39)) << offset;
  }
  EXPECT_EQ(report.restored.size(), 24u);
  EXPECT_EQ(report.sectorsWritten, 4);  // the sectors of attributes 0x00..0x3F
}

// The verdicts decide which hidden entries come back, and the sectors keep the others' bytes: a
// hidden document and a hidden folder are shown again; autorun.inf that only names an icon, a
// hidden desktop.ini, a hidden program nothing names and Windows' own RECYCLER stay as they were.
TEST_F(RepairPassTest, HiddenEntriesComeBackByTheirVerdicts) {
  Fat32Volume volume(memory, 'F', {});
  volume.Chain({3});
  const std::uint64_t s = volume.ClusterSector(2);
  const std::string icon = "[autorun]\r\nicon=stick.ico\r\n";
  memory.Poke('F', volume.ClusterSector(3) * kSector, {icon.begin(), icon.end()});
  struct Case {
    std::string name;
    std::uint8_t attribute;
    std::uint8_t after;
  };
  const std::vector<Case> cases = {
      {Name83("AUTORUN", "INF"), 0x27, 0x27}, {Name83("README", "TXT"), 0x23, 0x21},
      {Name83("DESKTOP", "INI"), 0x26, 0x26}, {Name83("TOOL", "EXE"), 0x26, 0x26},
      {Name83("RECYCLER"), 0x16, 0x16},       {Name83("PHOTOS"), 0x16, 0x10},
  };
  for (std::size_t i = 0; i < cases.size(); ++i) {
    volume.PutEntry(s, static_cast<int>(i), cases[i].name, cases[i].attribute);
  }
  volume.SetFirstCluster(s, 0, 3);
  memory.Poke('F', s * kSector + 28, Le32(static_cast<std::uint32_t>(icon.size())));
  Analyse();
  ASSERT_FALSE(Repair());
  for (std::size_t i = 0; i < cases.size(); ++i) {
    EXPECT_EQ(AttributeAt(s, static_cast<int>(i)), cases[i].after) << cases[i].name;
  }
  ASSERT_EQ(report.restored.size(), 2u);
  EXPECT_FALSE(report.restored[0].folder);
  EXPECT_TRUE(report.restored[1].folder);
  EXPECT_EQ(report.sectorsWritten, 1);
}

TEST_F(RepairPassTest, NeitherNameNorExtensionDecides) {
  Fat32Volume volume(memory, 'F', {});
  const std::uint64_t s = volume.ClusterSector(2);
  struct Case {
    int index;
    std::string name;
    std::uint8_t attribute;
    std::uint8_t after;
  };
  const std::vector<Case> cases = {
      {0, Name83("FIRST"), 0x16, 0x10},  // tested at byte 11
      {1, Name83("ARCHIVE"), 0x36, 0x30},
      {2, Name83("READONLY"), 0x11, 0x11},  // neither hidden nor system
      {3, Name83("MY", "DIR"), 0x12, 0x10},
      {4, Name83("2009", "30"), 0x37, 0x30},
      {5, Name83("FILE", "TXT"), 0x06, 0x00},  // a hidden system document: shown again
      {6,
       Name83("\xE5"
              "GONE"),
       0x12, 0x10},                            // deleted
      {7, std::string(11, '\0'), 0x00, 0x00},  // the end of the directory...
      {8, Name83("AFTEREND"), 0x17, 0x10},     // ...does not stop the scan
      {9, Name83("LFN", "   "), 0x0F, 0x0F},   // a long-name entry
      {10, Name83("LFNDIR"), 0x1F, 0x1F},      // a directory bit does not make it a folder
      {11, Name83("VOLUME"), 0x18, 0x18},
      {12, Name83("RESERVED"), 0x52, 0x52},
      {13, Name83("RESERVE2"), 0x92, 0x92},
      {14, Name83("\xD7\xCA\xC1\xCF"), 0x16, 0x10},  // 资料 as Chinese Windows stores it
      {15, Name83("LAST"), 0x15, 0x10},              // tested at byte 491
  };
  for (const auto& c : cases) volume.PutEntry(s, c.index, c.name, c.attribute);
  Analyse();
  const Snapshot before = Drive();
  ASSERT_FALSE(Repair());
  std::vector<std::uint64_t> expected;
  for (const auto& c : cases) {
    EXPECT_EQ(AttributeAt(s, c.index), c.after) << "entry " << c.index;
    if (c.after != c.attribute) {
      expected.push_back(s * kSector + static_cast<std::uint64_t>(c.index) * 32 + kAttributeByte);
    }
  }
  EXPECT_EQ(ChangedBytes(before, Drive()), expected);
  EXPECT_EQ(expected.front(), s * kSector + 11);
  EXPECT_EQ(expected.back(), s * kSector + 491);
  ASSERT_EQ(report.restored.size(), expected.size());
  EXPECT_EQ(report.restored[2].shortName, "MY.DIR");
  EXPECT_EQ(report.restored[3].shortName, "2009.30");
  EXPECT_EQ(report.restored[7].shortName, "资料");
}

TEST_F(RepairPassTest, ReadsTheWholeRootThenWritesOnlyChangedSectorsInChainOrder) {
  Fat32Volume volume(memory, 'F', {});
  const std::vector<std::uint32_t> chain = {2, 200, 5};
  volume.Chain(chain);
  const auto at = [&](std::uint32_t cluster, int k) {
    return static_cast<std::int64_t>(volume.ClusterSector(cluster)) + k;
  };
  // Two adjacent sectors of cluster 200 go out as one transfer.
  for (const auto& [cluster, k] :
       std::vector<std::pair<std::uint32_t, int>>{{2, 7}, {200, 3}, {200, 4}, {5, 0}}) {
    volume.PutEntry(static_cast<std::uint64_t>(at(cluster, k)), 5, PlaceName(cluster, k), 0x16);
  }
  Analyse();
  std::vector<std::size_t> writesAtPump;
  window.onPump = [&] { writesAtPump.push_back(memory.SectorsWritten().size()); };
  ASSERT_FALSE(Repair());
  EXPECT_EQ(memory.SectorsWritten(),
            (std::vector<std::int64_t>{at(2, 7), at(200, 3), at(200, 4), at(5, 0)}));
  EXPECT_EQ(report.sectorsWritten, 4);

  // Under its open the pass reads the boot sector, asks the device's size, reads the FAT (one
  // window holds the whole chain) and the root's three runs; then writes; then flushes,
  // dismounts and closes.
  const auto events = PassEvents();
  std::vector<Call> calls;
  std::vector<std::uint64_t> writeOffsets;
  for (const auto& event : events) {
    calls.push_back(event.call);
    if (event.call == Call::kWrite) writeOffsets.push_back(event.offset);
  }
  using enum MemoryVolume::Call;
  std::vector<Call> expected = {kOpen, kRead, kSize, kRead, kRead, kRead, kRead};
  expected.insert(expected.end(), {kWrite, kWrite, kWrite, kFlush, kDismount, kClose});
  EXPECT_EQ(calls, expected);
  EXPECT_EQ(writeOffsets, (std::vector<std::uint64_t>{at(2, 7) * kSector, at(200, 3) * kSector,
                                                      at(5, 0) * kSector}));
  EXPECT_FALSE(memory.IsOpen());

  // The bar steps after every transfer, each of which leaves the window its input: after the boot
  // sector and the FAT (which the plan leaves out) it stays at 0, then every root run and every
  // write moves it, up to the end.
  EXPECT_EQ(writesAtPump, (std::vector<std::size_t>{0, 0, 0, 0, 0, 1, 3, 4}));
  ASSERT_EQ(window.widths.size(), writesAtPump.size());
  EXPECT_EQ(window.widths[0], 0.0f);
  EXPECT_EQ(window.widths[1], 0.0f);
  for (std::size_t i = 2; i < window.widths.size(); ++i) {
    EXPECT_GT(window.widths[i], window.widths[i - 1]) << "step " << i;
  }
  EXPECT_EQ(window.widths.back(), 100.0f);
}

TEST_F(RepairPassTest, OneTrackOverReadsAndWritesAndASecondPassWritesNothing) {
  Fat32Volume volume(memory, 'F', {});
  volume.Chain({2, 3, 4, 5});
  volume.PutEntry(volume.ClusterSector(5) + 7, 15, Name83("DEEP"), 0x12);
  Analyse();
  ASSERT_FALSE(Repair());
  // The boot sector, the FAT, the root in one run, the write.
  ASSERT_EQ(window.widths.size(), 4u);
  EXPECT_GT(window.widths[2], 0.0f);
  EXPECT_LT(window.widths[2], 100.0f);
  EXPECT_EQ(window.widths.back(), 100.0f);
  EXPECT_EQ(AttributeAt(volume.ClusterSector(5) + 7, 15), kPlainFolder);
  EXPECT_EQ(memory.SectorsWritten().size(), 1u);

  const Snapshot afterFirst = Drive();
  window.widths.clear();
  const int flushes = memory.Count(Call::kFlush);
  const int dismounts = memory.Count(Call::kDismount);
  ASSERT_FALSE(Repair());
  EXPECT_TRUE(ChangedBytes(afterFirst, Drive()).empty());
  EXPECT_EQ(memory.SectorsWritten().size(), 1u);
  EXPECT_TRUE(report.restored.empty());
  EXPECT_EQ(memory.Count(Call::kFlush), flushes);           // nothing to flush
  EXPECT_EQ(memory.Count(Call::kDismount), dismounts + 1);  // but the system still re-reads
  // With nothing to write, the root's read ends the track.
  EXPECT_EQ(window.widths, (std::vector<float>{0.0f, 0.0f, 100.0f}));
  EXPECT_EQ(window.pumps, 7);
}

class ClusterSizeTest : public RepairPassTest, public ::testing::WithParamInterface<int> {};

TEST_P(ClusterSizeTest, EachClusterIsItsOwnNumberOfSectors) {
  const int spc = GetParam();
  Fat32Volume volume(memory, 'F', {.sectorsPerCluster = static_cast<std::uint8_t>(spc)});
  const std::vector<std::uint32_t> chain = {2, 7, 3};
  volume.Chain(chain);
  // The last entry of each cluster's last sector, and the first of the cluster after the root's.
  for (const auto cluster : chain) {
    volume.PutEntry(volume.ClusterSector(cluster) + static_cast<std::uint64_t>(spc) - 1, 15,
                    PlaceName(cluster, 15), 0x16);
  }
  volume.PutEntry(volume.ClusterSector(4), 0, Name83("OUTSIDE"), 0x16);
  Analyse();
  EXPECT_EQ(layout.sectorsPerCluster, spc);
  ASSERT_FALSE(Repair());

  std::vector<std::int64_t> lastSectors;
  for (const auto cluster : chain) {
    lastSectors.push_back(static_cast<std::int64_t>(volume.ClusterSector(cluster)) + spc - 1);
  }
  EXPECT_EQ(memory.SectorsWritten(), lastSectors);
  for (const auto cluster : chain) {
    EXPECT_EQ(AttributeAt(volume.ClusterSector(cluster) + static_cast<std::uint64_t>(spc) - 1, 15),
              kPlainFolder)
        << cluster;
  }
  EXPECT_EQ(AttributeAt(volume.ClusterSector(4), 0), 0x16);
  EXPECT_EQ(window.widths.size(), PassTransfers());
  EXPECT_EQ(window.widths.back(), 100.0f);
}

INSTANTIATE_TEST_SUITE_P(Sizes, ClusterSizeTest, ::testing::Values(1, 2, 4, 16, 32, 64, 128));

// A root cluster whose byte offset needs more than 31 bits, or more than 32.
class FarRootTest : public RepairPassTest, public ::testing::WithParamInterface<std::uint64_t> {};

TEST_P(FarRootTest, IsReachedThroughBothHalvesOfThePosition) {
  const std::uint64_t target = GetParam();
  const std::uint32_t totalSectors = static_cast<std::uint32_t>((target + (64ull << 20)) / kSector);
  const std::uint32_t fatSize = totalSectors / 8 / 128 + 2;
  Fat32Volume volume(memory, 'F', {.fatSize = fatSize, .totalSectors = totalSectors});
  const auto root = static_cast<std::uint32_t>((target / kSector - volume.DataStart() + 7) / 8 + 2);
  volume.SetFat(2, 0);
  volume.PokeBoot(fat::kRootClusterOffset, Le32(root));
  volume.Chain({root, root + 1});
  const std::uint64_t first = volume.ClusterSector(root);
  ASSERT_GE(first * kSector, target);
  volume.PutEntry(first, 0, Name83("FAR"), 0x16);
  volume.PutEntry(first + 15, 15, Name83("FARTHER"), 0x17);
  // What a 32-bit offset would wrap to.
  const std::uint64_t wrapped = (first * kSector) & 0xFFFFFFFFull;
  Analyse();
  const Snapshot before = Drive();
  ASSERT_FALSE(Repair());

  EXPECT_EQ(AttributeAt(first, 0), kPlainFolder);
  EXPECT_EQ(AttributeAt(first + 15, 15), kPlainFolder);
  EXPECT_EQ(ChangedBytes(before, Drive()),
            (std::vector<std::uint64_t>{first * kSector + 11, (first + 15) * kSector + 491}));
  EXPECT_EQ(memory.SectorsWritten().front(), static_cast<std::int64_t>(first));
  const bool needsHighPart = first * kSector >= (1ull << 32);
  if (needsHighPart) {
    EXPECT_TRUE(memory.Peek('F', wrapped, 512) == std::vector<std::uint8_t>(512, 0));
  }
  const auto events = PassEvents();
  const bool sawHighPart = std::any_of(events.begin(), events.end(), [](const auto& e) {
    return (e.call == Call::kRead || e.call == Call::kWrite) && e.offset >= (1ull << 32);
  });
  EXPECT_EQ(sawHighPart, needsHighPart);
}

INSTANTIATE_TEST_SUITE_P(Offsets, FarRootTest, ::testing::Values(3ull << 30, 5ull << 30),
                         [](const auto& info) { return std::to_string(info.param >> 30) + "GiB"; });

// The volume changes between the analysis and the pass.
struct Change {
  const char* name;
  std::function<void(Fat32Volume&, MemoryVolume&)> apply;
  const char* says;  // a phrase of the message
};

void PrintTo(const Change& change, std::ostream* out) { *out << change.name; }

class ChangeTest : public RepairPassTest, public ::testing::WithParamInterface<Change> {};

TEST_P(ChangeTest, IsFoundUnderTheLockAndNothingIsWritten) {
  Fat32Volume volume(memory, 'F', {});
  volume.Chain({2, 3});
  // A file whose data lies in cluster 4, and hidden folders in both root clusters.
  volume.PutEntry(volume.ClusterSector(2), 0, Name83("DATA", "BIN"), 0x20);
  volume.SetFirstCluster(volume.ClusterSector(2), 0, 4);
  volume.PutEntry(volume.ClusterSector(4), 1, Name83("FILEDATA"), 0x16);
  volume.PutEntry(volume.ClusterSector(2), 1, Name83("HIDDEN"), 0x16);
  volume.PutEntry(volume.ClusterSector(3), 1, Name83("HIDDEN2"), 0x16);
  Analyse();
  GetParam().apply(volume, memory);
  const Snapshot before = Drive();
  const auto failure = Repair();
  ASSERT_TRUE(failure) << "the pass went ahead on a changed volume";
  EXPECT_FALSE(failure->anyWritten);
  const std::string text = repair::messages::Text(*failure);
  EXPECT_NE(text.find(GetParam().says), std::string::npos) << text;
  EXPECT_EQ(memory.Count(Call::kWrite), 0);
  EXPECT_EQ(memory.Count(Call::kDismount), 0);
  EXPECT_FALSE(memory.IsOpen());
  EXPECT_TRUE(ChangedBytes(before, Drive()).empty());
}

INSTANTIATE_TEST_SUITE_P(
    Changes, ChangeTest,
    ::testing::Values(
        Change{"anotherDisk",
               [](Fat32Volume& v, MemoryVolume&) {
                 v.PokeBoot(kVolumeSerialOffset, Le32(0x12345678));
               },
               "请重新选择盘符"},
        // The root grew into the file's cluster: rewriting the recorded chain would miss it, and
        // a chain that runs into a file must not be written at all.
        Change{"rootGrewIntoAFile",
               [](Fat32Volume& v, MemoryVolume&) {
                 v.Chain({2, 3, 4});
               },
               "请重新选择盘符"},
        Change{"rootGrew",
               [](Fat32Volume& v, MemoryVolume&) {
                 v.Chain({2, 3, 7});
               },
               "请重新选择盘符"},
        Change{"rootShrank", [](Fat32Volume& v, MemoryVolume&) { v.Chain({2}); }, "请重新选择盘符"},
        Change{"rootMoved",
               [](Fat32Volume& v, MemoryVolume&) {
                 v.Chain({2, 5});
               },
               "请重新选择盘符"},
        Change{"chainBroken", [](Fat32Volume& v, MemoryVolume&) { v.SetFat(3, 0x0FFFFFF7); },
               "请重新选择盘符"},
        // The device ends inside the root: it no longer holds the volume, so nothing is written.
        Change{"deviceShorter",
               [](Fat32Volume& v, MemoryVolume& m) {
                 m.Truncate('F', (v.ClusterSector(3) + 4) * kSector);
               },
               "小于其引导扇区记录的文件系统容量"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(RepairPassTest, FlushDecidesWhetherThePassSucceeded) {
  Fat32Volume volume(memory, 'F', {});
  volume.PutEntry(volume.ClusterSector(2), 0, Name83("HIDDEN"), 0x16);
  Analyse();
  memory.FailAt(Call::kFlush, memory.Count(Call::kFlush) + 1);
  const auto failure = Repair();
  ASSERT_TRUE(failure) << "a failed flush was reported as success";
  EXPECT_TRUE(failure->anyWritten);
  EXPECT_NE(repair::messages::Text(*failure).find("可能没有全部到达磁盘"), std::string::npos);
  EXPECT_FALSE(memory.IsOpen());

  // A dismount that fails after a good flush is not a failure: the sectors are on the disk.
  volume.PutEntry(volume.ClusterSector(2), 0, Name83("HIDDEN"), 0x16);
  memory.FailAt(Call::kDismount, memory.Count(Call::kDismount) + 1);
  EXPECT_FALSE(Repair());
  EXPECT_EQ(AttributeAt(volume.ClusterSector(2), 0), kPlainFolder);
}

// Whether the system refuses a write-protected drive's open for writing or only its first write,
// the window's pass and the command line's say that it is write-protected (never that rights are
// missing), and nothing is written, flushed or dismounted.
TEST_F(RepairPassTest, WriteProtectedDriveIsToldAsSuchAndNothingIsWritten) {
  Fat32Volume volume(memory, 'F', {});
  volume.PutEntry(volume.ClusterSector(2), 0, Name83("HIDDEN"), 0x16);
  Analyse();
  const Snapshot before = Drive();
  for (const auto how :
       {MemoryVolume::Protection::kRefusesOpen, MemoryVolume::Protection::kRefusesWrites}) {
    memory.ProtectDrive('F', how);
    for (const bool windowPass : {true, false}) {
      SCOPED_TRACE(std::to_string(static_cast<int>(how)) + (windowPass ? " window" : " cli"));
      const auto failure = windowPass ? Repair() : PassOnEntry(nullptr, window);
      ASSERT_TRUE(failure.has_value());
      EXPECT_FALSE(failure->anyWritten);
      const std::string text = repair::messages::Text(*failure);
      EXPECT_NE(text.find("处于写保护（只读）状态"), std::string::npos) << text;
      EXPECT_EQ(text.find("权限"), std::string::npos) << text;
      EXPECT_FALSE(memory.IsOpen());
    }
  }
  EXPECT_EQ(memory.Count(Call::kWrite), 2);  // the first write of each pass that opened
  EXPECT_TRUE(memory.SectorsWritten().empty());
  EXPECT_EQ(memory.Count(Call::kFlush), 0);
  EXPECT_EQ(memory.Count(Call::kDismount), 0);
  EXPECT_TRUE(ChangedBytes(before, Drive()).empty());
}

TEST_F(RepairPassTest, WithoutAnAnalysisNothingIsRead) {
  Fat32Volume volume(memory, 'F', {});
  const auto failure = Repair();
  ASSERT_TRUE(failure);
  EXPECT_EQ(failure->kind, repair::ProblemKind::kNotAnalysed);
  EXPECT_EQ(memory.Count(Call::kRead), 0);
  EXPECT_EQ(memory.Count(Call::kWrite), 0);
}

TEST_F(RepairPassTest, WorksOnTheDriveOfTheFirstSelectedEntry) {
  Fat32Volume other(memory, 'E', {});
  Fat32Volume volume(memory, 'F', {});
  other.PutEntry(other.ClusterSector(2), 0, Name83("OTHER"), 0x16);
  volume.PutEntry(volume.ClusterSector(2), 0, Name83("MINE"), 0x16);
  window.entries = {"E", "F"};
  window.selected = 1;
  AnalyseEntry(layout, window, 1);
  ASSERT_TRUE(window.RepairEnabled());
  ASSERT_FALSE(Repair());
  EXPECT_EQ(AttributeAt(volume.ClusterSector(2), 0), kPlainFolder);
  EXPECT_EQ(memory.Peek('E', other.ClusterSector(2) * kSector + 11, 1).at(0), 0x16);
}

// Fault injection at every call of one kind that a pass makes.
struct PassFault {
  const char* name;
  Call call;
  MemoryVolume::Fault fault = MemoryVolume::Fault::kFails;
};

void PrintTo(const PassFault& fault, std::ostream* out) { *out << fault.name; }

class PassFaultTest : public ::testing::TestWithParam<PassFault> {};

// One drive, analysed, with a distinct hidden folder in every root sector.
struct Rig : Bench {
  Rig() : volume(memory, 'F', {.sectorsPerCluster = 4}) {
    volume.Chain({2, 9});
    for (const std::uint32_t cluster : {2u, 9u}) {
      for (std::uint64_t k = 0; k < 4; ++k) {
        const std::uint64_t s = volume.ClusterSector(cluster) + k;
        rootSectors.push_back(s);
        volume.PutEntry(s, static_cast<int>(k), PlaceName(s, 0), 0x12);
        volume.PutEntry(s, 9, PlaceName(s, 9), 0x07);
      }
    }
    AnalyseEntry(layout, window, 0);
    analysisEvents = memory.events.size();
    original = memory.Sectors('F');
  }

  Fat32Volume volume;
  std::vector<std::uint64_t> rootSectors;
  Snapshot original;
};

TEST_P(PassFaultTest, EveryFailurePointEndsThePassCleanly) {
  const PassFault fault = GetParam();
  // How many calls of this kind a clean pass makes, and what it leaves.
  Snapshot repaired;
  int callsInPass = 0;
  {
    Rig clean;
    ASSERT_TRUE(clean.window.RepairEnabled());
    const int before = clean.memory.Count(fault.call);
    ASSERT_FALSE(PassOnEntry(&clean.layout, clean.window));
    callsInPass = clean.memory.Count(fault.call) - before;
    repaired = clean.memory.Sectors('F');
  }
  ASSERT_GT(callsInPass, 0);

  for (int n = 1; n <= callsInPass; ++n) {
    SCOPED_TRACE("failing call " + std::to_string(n) + " of " + std::to_string(callsInPass));
    Rig rig;
    rig.memory.FailAt(fault.call, rig.memory.Count(fault.call) + n, fault.fault);
    const auto failure = PassOnEntry(&rig.layout, rig.window);
    ASSERT_TRUE(failure.has_value()) << "the pass did not report the failure";
    EXPECT_FALSE(rig.memory.IsOpen());

    const auto events = rig.PassEvents();
    // The first failed call, and what the pass did after it. Once it had begun to write, it
    // flushes what it wrote, dismounts and closes; before that it only closes. A write that
    // never began has not begun to write.
    const auto failed =
        std::find_if(events.begin(), events.end(), [](const auto& e) { return !e.ok; });
    ASSERT_NE(failed, events.end());
    EXPECT_EQ(failed->call, fault.call);
    const auto wrote = failed + (fault.fault == MemoryVolume::Fault::kNotStarted ? 0 : 1);
    const bool began =
        std::any_of(events.begin(), wrote, [](const auto& e) { return e.call == Call::kWrite; });
    EXPECT_EQ(failure->anyWritten, began);
    std::vector<Call> after;
    for (auto e = failed + 1; e != events.end(); ++e) after.push_back(e->call);
    if (fault.call == Call::kFlush) {
      EXPECT_EQ(after, (std::vector<Call>{Call::kDismount, Call::kClose}));
    } else if (began) {
      EXPECT_EQ(after, (std::vector<Call>{Call::kFlush, Call::kDismount, Call::kClose}));
    } else {
      EXPECT_EQ(after, (fault.call == Call::kOpen ? std::vector<Call>{}
                                                  : std::vector<Call>{Call::kClose}));
    }

    // Every byte of the drive is as it was or as a whole pass leaves it: no sector was written
    // from a buffer that held another sector, and the sectors that the pass did not write are
    // untouched.
    const Snapshot now = rig.memory.Sectors('F');
    for (const std::uint64_t offset : ChangedBytes(rig.original, now)) {
      const std::uint64_t sector = offset / kSector;
      ASSERT_TRUE(repaired.count(sector)) << offset;
      EXPECT_EQ(now.at(sector)[offset % kSector], repaired.at(sector)[offset % kSector]) << offset;
    }
    const auto& written = rig.memory.SectorsWritten();
    for (const std::uint64_t sector : rig.rootSectors) {
      if (std::find(written.begin(), written.end(), static_cast<std::int64_t>(sector)) ==
          written.end()) {
        EXPECT_EQ(now.at(sector), rig.original.at(sector)) << "sector " << sector;
      }
    }
  }
}

using Fault = MemoryVolume::Fault;
INSTANTIATE_TEST_SUITE_P(
    Calls, PassFaultTest,
    ::testing::Values(PassFault{"open", Call::kOpen}, PassFault{"read", Call::kRead},
                      PassFault{"shortRead", Call::kRead, Fault::kShort},
                      PassFault{"readNotStarted", Call::kRead, Fault::kNotStarted},
                      PassFault{"write", Call::kWrite},
                      PassFault{"shortWrite", Call::kWrite, Fault::kShort},
                      PassFault{"writeNotStarted", Call::kWrite, Fault::kNotStarted},
                      PassFault{"flush", Call::kFlush}, PassFault{"size", Call::kSize}),
    [](const auto& info) { return std::string(info.param.name); });

// A journal proves itself: it reads back as written, any one byte changed, any cut and any byte
// added is refused (a change within a record names it), and a journal of the first format, which
// had no checksums, is still read.
TEST(JournalTest, ProvesItselfAndReadsTheFirstFormat) {
  repair::Journal journal{{repair::FileSystem::kFat32, 0x1A2B3C4D, 4096, 512}, {}};
  for (const std::int64_t number : {7, 9}) {
    journal.sectors.push_back({number, std::vector<std::uint8_t>(512, 0x11),
                               std::vector<std::uint8_t>(512, static_cast<std::uint8_t>(number))});
  }
  const auto bytes = repair::EncodeJournal(journal);
  const auto read = repair::DecodeJournal(bytes);
  ASSERT_TRUE(read);
  EXPECT_EQ(read->volume, journal.volume);
  ASSERT_EQ(read->sectors.size(), 2u);
  EXPECT_EQ(read->sectors[1].after, journal.sectors[1].after);
  const std::size_t firstRecord = bytes.size() - 4 - 2 * (8 + 1024 + 4);
  for (std::size_t at = 0; at < bytes.size(); ++at) {
    auto changed = bytes;
    changed[at] ^= 0x20;
    repair::JournalFault fault;
    ASSERT_FALSE(repair::DecodeJournal(changed, &fault)) << at;
    if (at >= firstRecord && at < bytes.size() - 4) {
      EXPECT_TRUE(fault.damaged) << at;
      EXPECT_EQ(fault.record, static_cast<std::int64_t>((at - firstRecord) / (8 + 1024 + 4))) << at;
    }
  }
  for (std::size_t length = 0; length < bytes.size(); length += 37) {
    EXPECT_FALSE(repair::DecodeJournal(std::span(bytes).first(length))) << length;
  }
  auto longer = bytes;
  longer.push_back(0);
  EXPECT_FALSE(repair::DecodeJournal(longer));

  // The first format: its magic line, the fields without the length, the records without their
  // checksums.
  const std::string firstMagic = "KESTROVA JOURNAL 1\n";
  const std::size_t fields = 1 + 4 + 8 + 4 + 4;
  std::vector<std::uint8_t> first(firstMagic.begin(), firstMagic.end());
  const std::size_t header = std::string("KESTROVA JOURNAL 2\n").size();
  first.insert(first.end(), bytes.begin() + header, bytes.begin() + header + fields);
  for (std::size_t record = 0; record < 2; ++record) {
    const auto from =
        bytes.begin() + static_cast<std::ptrdiff_t>(firstRecord + record * (8 + 1024 + 4));
    first.insert(first.end(), from, from + 8 + 1024);
  }
  first.insert(first.end(), bytes.end() - 4, bytes.end());
  const auto old = repair::DecodeJournal(first);
  ASSERT_TRUE(old);
  EXPECT_EQ(old->sectors[0].before, journal.sectors[0].before);
}

// A journal's name says the command, the volume's label and serial number and the time: a label
// loses what a file name cannot hold on Linux or Windows and its blanks and dots at either end,
// and a volume without one gets a fixed word; the reader of names reads each of its facts back.
TEST(JournalTest, NameSaysCommandVolumeAndTime) {
  std::tm time{};
  time.tm_year = 2026 - 1900;
  time.tm_mon = 11;
  time.tm_mday = 8;
  time.tm_hour = 10;
  time.tm_min = 32;
  time.tm_sec = 59;
  EXPECT_EQ(repair::JournalFileName("clean", "KINGSTON", 0x1A2B3C4D, time),
            "clean-KINGSTON-1A2B3C4D-20261208-103259.journal");
  EXPECT_EQ(repair::JournalFileName("repair", " .My/St\\ick:*?\"<>|\x01\x7F. ", 0xABC, time, 3),
            "repair-My_St_ick_________-00000ABC-20261208-103259-3.journal");
  EXPECT_EQ(repair::JournalFileName("clean", "照片 2026", 1, time),
            "clean-照片_2026-00000001-20261208-103259.journal");
  for (const char* none : {"", "  ", " . "}) {
    EXPECT_EQ(repair::JournalFileName("clean", none, 1, time),
              "clean-NONAME-00000001-20261208-103259.journal");
  }
  // Read back, a label that holds dashes, a serial number and a time too; a first version's name
  // says no serial number, and neither does a name that is not of either form.
  const auto read = [](const std::string& file) {
    const repair::JournalName name = repair::ReadJournalName(file);
    char serial[16] = "-";
    if (name.serial)
      std::snprintf(serial, sizeof serial, "%08X", static_cast<unsigned>(*name.serial));
    return name.command + " " + name.label + " " + serial + " " + name.stamp + " " +
           std::to_string(name.number);
  };
  EXPECT_EQ(
      read(repair::JournalFileName("move-back", "A-0000BEEF-20250101-000000", 0xAB, time, 12)),
      "move back-A-0000BEEF-20250101-000000 000000AB 20261208-103259 12");
  EXPECT_EQ(read("clean-KINGSTON-1A2B3C4D-20261208-103259.quarantine"),
            "clean KINGSTON 1A2B3C4D 20261208-103259 1");
  EXPECT_EQ(read("repair-20261208-103259-4242-2.journal"), "repair  - 20261208-103259 2");
  for (const char* other : {"mine.journal", "repair-20261208-103259-4242.quarantine",
                            "clean-KINGSTON-1a2b3c4d-20261208-103259.journal"}) {
    EXPECT_EQ(read(other), "  -  1") << other;
  }
}

}  // namespace
}  // namespace kestrova::testing
