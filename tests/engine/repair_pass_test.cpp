// The repair pass: which bytes it changes, which sectors it touches and in what order, how it
// reports progress, and how it ends when the volume fails under it.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "memory_volume.h"
#include "repair/engine.h"
#include "repair/fat32.h"
#include "test_volume.h"

namespace kestrova::testing {
namespace {

namespace fat = kestrova::fat32;
using repair::RepairFailure;
using repair::VolumeLayout;
using Call = MemoryVolume::Call;
using Snapshot = std::map<std::uint64_t, volume::SectorBuffer>;

constexpr std::uint64_t kSector = 512;
constexpr std::size_t kAttribute = 11;
constexpr std::uint8_t kPlainFolder = 0x10;
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

// The byte offsets at which two drive contents differ.
std::vector<std::uint64_t> ChangedBytes(const Snapshot& before, const Snapshot& after) {
  std::set<std::uint64_t> sectors;
  for (const auto& [sector, bytes] : before) sectors.insert(sector);
  for (const auto& [sector, bytes] : after) sectors.insert(sector);
  static const volume::SectorBuffer kZero{};
  std::vector<std::uint64_t> changed;
  for (const std::uint64_t sector : sectors) {
    const auto a = before.find(sector);
    const auto b = after.find(sector);
    const auto& x = a == before.end() ? kZero : a->second;
    const auto& y = b == after.end() ? kZero : b->second;
    for (std::size_t i = 0; i < kSector; ++i) {
      if (x[i] != y[i]) changed.push_back(sector * kSector + i);
    }
  }
  return changed;
}

// What a virus leaves: a folder with hidden and/or system set, perhaps read-only, nothing else.
bool VirusAttribute(std::uint8_t attribute) {
  const bool folder = attribute & 0x10;
  const bool hiddenOrSystem = attribute & 0x06;
  const bool otherBits = attribute & ~0x17;
  return folder && hiddenOrSystem && !otherBits;
}

class RepairPassTest : public ::testing::Test {
 protected:
  void Analyse() {
    repair::List1_ItemCheck(layout, window, 0);
    ASSERT_TRUE(window.RepairEnabled())
        << (window.messages.empty() ? std::string() : window.messages.back().text);
    analysisEvents = log.events.size();
  }
  void Repair() { repair::cmdrepair_Click(layout, window); }
  Snapshot Drive() const { return memory.Sectors('F'); }
  std::uint8_t AttributeAt(std::uint64_t sector, int index) const {
    return memory
        .Peek('F', sector * kSector + static_cast<std::uint64_t>(index) * 32 + kAttribute, 1)
        .at(0);
  }
  // The calls of the pass only.
  std::vector<LoggingBackend::Event> PassEvents() const {
    return {log.events.begin() + static_cast<std::ptrdiff_t>(analysisEvents), log.events.end()};
  }

  MemoryVolume memory;
  LoggingBackend log{memory};
  ScopedBackend scoped{log};
  VolumeLayout layout;
  RecordingWindow window;
  std::size_t analysisEvents = 0;
};

TEST_F(RepairPassTest, ChangesExactlyTheVirusAttributesOfBlankExtensionEntries) {
  // Every attribute value once, sixteen to a sector, over two clusters.
  Fat32Volume volume(memory, 'F', {});
  volume.Chain({2, 3});
  std::vector<std::uint64_t> expected;
  for (int value = 0; value < 256; ++value) {
    const std::uint64_t sector = volume.ClusterSector(2) + static_cast<std::uint64_t>(value / 16);
    volume.PutEntry(sector, value % 16, PlaceName(sector, value % 16),
                    static_cast<std::uint8_t>(value));
    if (VirusAttribute(static_cast<std::uint8_t>(value))) {
      expected.push_back(sector * kSector + static_cast<std::uint64_t>(value % 16) * 32 +
                         kAttribute);
    }
  }
  ASSERT_EQ(expected.size(), 6u);
  Analyse();
  const Snapshot before = Drive();
  Repair();
  EXPECT_EQ(ChangedBytes(before, Drive()), expected);
  for (const std::uint64_t offset : expected) {
    EXPECT_EQ(memory.Peek('F', offset, 1).at(0), kPlainFolder) << offset;
  }
}

TEST_F(RepairPassTest, ExtensionDecidesAndNameDoesNot) {
  Fat32Volume volume(memory, 'F', {});
  const std::uint64_t s = volume.ClusterSector(2);
  struct Case {
    int index;
    std::string name;
    std::uint8_t attribute;
    bool changes;
  };
  const std::vector<Case> cases = {
      {0, Name83("FIRST"), 0x16, true},  // tested at bytes 8..11
      {1, Name83("MYDOCS"), 0x16, true},
      {2, Name83("ARCHIVE"), 0x36, false},  // archive bit set
      {3, Name83("READONLY"), 0x11, false},
      {4, Name83("MY", "DIR"), 0x12, false},    // an extension
      {5, Name83("TAIL", "  X"), 0x12, false},  // only the last byte of it
      {6, Name83("HEAD", "X"), 0x14, false},
      {7, Name83("FILE", "TXT"), 0x06, false},  // a hidden system file
      {8,
       Name83("\xE5"
              "GONE"),
       0x12, true},                             // deleted
      {9, std::string(11, '\0'), 0x00, false},  // the end of the directory...
      {10, Name83("AFTEREND"), 0x17, true},     // ...does not stop the scan
      {11,
       Name83("\x05"
              "KANJI"),
       0x13, true},
      {12, Name83("LFN", "   "), 0x0F, false},  // a long-name entry
      {13, Name83("VOLUME"), 0x18, false},
      {15, Name83("LAST"), 0x15, true},  // tested at bytes 488..491
  };
  for (const auto& c : cases) volume.PutEntry(s, c.index, c.name, c.attribute);
  Analyse();
  const Snapshot before = Drive();
  Repair();
  std::vector<std::uint64_t> expected;
  for (const auto& c : cases) {
    const std::uint8_t now = AttributeAt(s, c.index);
    EXPECT_EQ(now, c.changes ? kPlainFolder : c.attribute) << "entry " << c.index;
    if (c.changes) {
      expected.push_back(s * kSector + static_cast<std::uint64_t>(c.index) * 32 + kAttribute);
    }
  }
  EXPECT_EQ(ChangedBytes(before, Drive()), expected);
  EXPECT_EQ(expected.front(), s * kSector + 11);
  EXPECT_EQ(expected.back(), s * kSector + 491);
}

TEST_F(RepairPassTest, EverySectorIsReadThenWrittenInChainOrderWithProgressAfterEach) {
  Fat32Volume volume(memory, 'F', {});
  const std::vector<std::uint32_t> chain = {2, 200, 5};
  volume.Chain(chain);
  Analyse();
  std::vector<std::size_t> writesAtPump;
  window.onPump = [&] { writesAtPump.push_back(memory.SectorsWritten().size()); };
  Repair();

  std::vector<std::int64_t> order;
  for (const auto cluster : chain) {
    for (int k = 0; k < 8; ++k) {
      order.push_back(static_cast<std::int64_t>(volume.ClusterSector(cluster)) + k);
    }
  }
  EXPECT_EQ(memory.SectorsWritten(), order);  // even sectors that hold nothing to change

  // The boot sector is compared first; then each sector: position, read, position, write.
  const auto events = PassEvents();
  ASSERT_EQ(events.size(), 1 + 2 + order.size() * 4 + 2);
  EXPECT_EQ(events.front().call, Call::kOpen);
  EXPECT_EQ(events[1].Offset(), 0u);
  EXPECT_EQ(events[2].call, Call::kRead);
  for (std::size_t i = 0; i < order.size(); ++i) {
    const auto* e = &events[3 + i * 4];
    const std::uint64_t offset = static_cast<std::uint64_t>(order[i]) * kSector;
    EXPECT_EQ(e[0].call, Call::kSetPosition);
    EXPECT_EQ(e[0].Offset(), offset);
    EXPECT_EQ(e[1].call, Call::kRead);
    EXPECT_EQ(e[2].call, Call::kSetPosition);
    EXPECT_EQ(e[2].Offset(), offset);
    EXPECT_EQ(e[3].call, Call::kWrite);
  }
  EXPECT_EQ(events[events.size() - 2].call, Call::kDismount);
  EXPECT_EQ(events.back().call, Call::kClose);
  EXPECT_FALSE(memory.IsOpen());

  ASSERT_EQ(window.widths.size(), order.size());
  for (std::size_t i = 0; i < order.size(); ++i) {
    const auto cluster = static_cast<double>(i / 8 + 1);
    EXPECT_FLOAT_EQ(window.widths[i], static_cast<float>(cluster / 3 * 100)) << i;
  }
  std::vector<std::size_t> oneWriteMorePerPump(order.size());
  for (std::size_t i = 0; i < order.size(); ++i) oneWriteMorePerPump[i] = i + 1;
  EXPECT_EQ(writesAtPump, oneWriteMorePerPump);
}

TEST_F(RepairPassTest, QuarterStepsForFourClustersAndASecondPassChangesNothing) {
  Fat32Volume volume(memory, 'F', {});
  volume.Chain({2, 3, 4, 5});
  volume.PutEntry(volume.ClusterSector(5) + 7, 15, Name83("DEEP"), 0x12);
  Analyse();
  Repair();
  ASSERT_EQ(window.widths.size(), 32u);
  for (std::size_t i = 0; i < 32; ++i) {
    EXPECT_FLOAT_EQ(window.widths[i], 25.0f * static_cast<float>(i / 8 + 1)) << i;
  }
  EXPECT_EQ(AttributeAt(volume.ClusterSector(5) + 7, 15), kPlainFolder);

  const Snapshot afterFirst = Drive();
  window.widths.clear();
  Repair();
  EXPECT_TRUE(ChangedBytes(afterFirst, Drive()).empty());
  ASSERT_EQ(window.widths.size(), 32u);
  EXPECT_FLOAT_EQ(window.widths.front(), 25.0f);
  EXPECT_EQ(window.pumps, 64);
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
  Repair();

  std::vector<std::int64_t> order;
  for (const auto cluster : chain) {
    for (int k = 0; k < spc; ++k) {
      order.push_back(static_cast<std::int64_t>(volume.ClusterSector(cluster)) + k);
    }
  }
  EXPECT_EQ(memory.SectorsWritten(), order);
  for (const auto cluster : chain) {
    EXPECT_EQ(AttributeAt(volume.ClusterSector(cluster) + static_cast<std::uint64_t>(spc) - 1, 15),
              kPlainFolder)
        << cluster;
  }
  EXPECT_EQ(AttributeAt(volume.ClusterSector(4), 0), 0x16);
  EXPECT_EQ(window.widths.size(), order.size());
  EXPECT_FLOAT_EQ(window.widths.back(), 100.0f);
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
  Repair();

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
    return e.call == Call::kSetPosition && e.highPart != 0;
  });
  EXPECT_EQ(sawHighPart, needsHighPart);
}

INSTANTIATE_TEST_SUITE_P(Offsets, FarRootTest, ::testing::Values(3ull << 30, 5ull << 30),
                         [](const auto& info) { return std::to_string(info.param >> 30) + "GiB"; });

TEST_F(RepairPassTest, AnotherDiskBehindTheLetterIsRefusedWithNothingWritten) {
  Fat32Volume volume(memory, 'F', {});
  volume.PutEntry(volume.ClusterSector(2), 0, Name83("HIDDEN"), 0x16);
  Analyse();
  volume.PokeBoot(kVolumeSerialOffset, Le32(0x12345678));
  const Snapshot before = Drive();
  try {
    Repair();
    FAIL() << "the pass went ahead on another disk";
  } catch (const RepairFailure& failure) {
    EXPECT_FALSE(failure.anyWritten());
  }
  EXPECT_EQ(memory.Count(Call::kWrite), 0);
  EXPECT_EQ(memory.Count(Call::kDismount), 0);
  EXPECT_FALSE(memory.IsOpen());
  EXPECT_TRUE(ChangedBytes(before, Drive()).empty());
}

TEST_F(RepairPassTest, WithoutAnAnalysisOrASelectionNothingIsOpened) {
  Fat32Volume volume(memory, 'F', {});
  EXPECT_THROW(Repair(), RepairFailure);
  Analyse();
  window.selected = -1;
  EXPECT_THROW(Repair(), RepairFailure);
  EXPECT_EQ(memory.Count(Call::kOpen), 1);  // the analysis' own
  EXPECT_EQ(memory.Count(Call::kWrite), 0);
}

TEST_F(RepairPassTest, WorksOnTheDriveOfTheFirstSelectedEntry) {
  Fat32Volume other(memory, 'E', {});
  Fat32Volume volume(memory, 'F', {});
  other.PutEntry(other.ClusterSector(2), 0, Name83("OTHER"), 0x16);
  volume.PutEntry(volume.ClusterSector(2), 0, Name83("MINE"), 0x16);
  window.entries = {"E", "F"};
  window.selected = 1;
  repair::List1_ItemCheck(layout, window, 1);
  ASSERT_TRUE(window.RepairEnabled());
  Repair();
  EXPECT_EQ(AttributeAt(volume.ClusterSector(2), 0), kPlainFolder);
  EXPECT_EQ(memory.Peek('E', other.ClusterSector(2) * kSector + 11, 1).at(0), 0x16);
}

// Fault injection at every call of one kind that a pass makes.
struct PassFault {
  const char* name;
  Call call;
  bool shortTransfer;
};

void PrintTo(const PassFault& fault, std::ostream* out) { *out << fault.name; }

class PassFaultTest : public ::testing::TestWithParam<PassFault> {};

// One drive, analysed, with a distinct hidden folder in every root sector.
struct Rig {
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
    repair::List1_ItemCheck(layout, window, 0);
    analysisEvents = log.events.size();
    original = memory.Sectors('F');
  }

  MemoryVolume memory;
  LoggingBackend log{memory};
  ScopedBackend scoped{log};
  Fat32Volume volume;
  VolumeLayout layout;
  RecordingWindow window;
  std::vector<std::uint64_t> rootSectors;
  std::size_t analysisEvents = 0;
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
    repair::cmdrepair_Click(clean.layout, clean.window);
    callsInPass = clean.memory.Count(fault.call) - before;
    repaired = clean.memory.Sectors('F');
  }
  ASSERT_GT(callsInPass, 0);

  for (int n = 1; n <= callsInPass; ++n) {
    SCOPED_TRACE("failing call " + std::to_string(n) + " of " + std::to_string(callsInPass));
    Rig rig;
    rig.memory.FailAt(fault.call, rig.memory.Count(fault.call) + n, fault.shortTransfer);
    std::optional<RepairFailure> failure;
    try {
      repair::cmdrepair_Click(rig.layout, rig.window);
    } catch (const RepairFailure& thrown) {
      failure = thrown;
    }
    ASSERT_TRUE(failure.has_value()) << "the pass did not report the failure";
    EXPECT_FALSE(rig.memory.IsOpen());

    const std::vector<LoggingBackend::Event> events(
        rig.log.events.begin() + static_cast<std::ptrdiff_t>(rig.analysisEvents),
        rig.log.events.end());
    // The first failed call, and what the pass did after it: dismount only when it had written,
    // then close; nothing else.
    const auto failed =
        std::find_if(events.begin(), events.end(), [](const auto& e) { return !e.ok; });
    ASSERT_NE(failed, events.end());
    EXPECT_EQ(failed->call, fault.call);
    const auto written = std::count_if(
        events.begin(), failed, [](const auto& e) { return e.call == Call::kWrite && e.ok; });
    EXPECT_EQ(failure->anyWritten(), written > 0);
    std::vector<Call> after;
    for (auto e = failed + 1; e != events.end(); ++e) after.push_back(e->call);
    if (written > 0) {
      EXPECT_EQ(after, (std::vector<Call>{Call::kDismount, Call::kClose}));
    } else {
      EXPECT_EQ(after, (fault.call == Call::kOpen ? std::vector<Call>{}
                                                  : std::vector<Call>{Call::kClose}));
    }

    // Every byte of the drive is as it was or as a whole pass leaves it: no sector was written
    // from a buffer that held another sector, and the sectors after the failure are untouched.
    const Snapshot now = rig.memory.Sectors('F');
    for (const std::uint64_t offset : ChangedBytes(rig.original, now)) {
      const std::uint64_t sector = offset / kSector;
      ASSERT_TRUE(repaired.count(sector)) << offset;
      EXPECT_EQ(now.at(sector)[offset % kSector], repaired.at(sector)[offset % kSector]) << offset;
    }
    for (std::size_t i = 0; i < rig.rootSectors.size(); ++i) {
      const bool rewritten = static_cast<std::ptrdiff_t>(i) < written;
      // A short write leaves part of its sector rewritten; the byte check above covers it.
      const bool partly = fault.call == Call::kWrite && fault.shortTransfer &&
                          static_cast<std::ptrdiff_t>(i) == written;
      if (partly) continue;
      const auto& expected = rewritten ? repaired : rig.original;
      EXPECT_EQ(now.at(rig.rootSectors[i]), expected.at(rig.rootSectors[i])) << "sector " << i;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Calls, PassFaultTest,
                         ::testing::Values(PassFault{"open", Call::kOpen, false},
                                           PassFault{"position", Call::kSetPosition, false},
                                           PassFault{"read", Call::kRead, false},
                                           PassFault{"shortRead", Call::kRead, true},
                                           PassFault{"write", Call::kWrite, false},
                                           PassFault{"shortWrite", Call::kWrite, true}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace kestrova::testing
