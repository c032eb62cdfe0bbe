// SPDX-License-Identifier: GPL-3.0-or-later
// Clean and undo on sticks built in memory, FAT32 and exFAT: the whole drive after a removal is
// the drive before with exactly the removal's bytes changed; a removal that cannot be proved safe
// writes nothing; a write that fails is told, after the journal reached the disk; undo gives back
// every byte, and refuses a journal that is not of the drive as it stands.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "fat_tools.h"
#include "format/exfat.h"
#include "memory_stick.h"
#include "repair/engine.h"
#include "repair/journal.h"
#include "repair/journals.h"
#include "shortcut_writer.h"

namespace kestrova::testing {
namespace {

using Kind = MemoryStick::Kind;
using Item = MemoryStick::Item;
using Bytes = std::vector<std::uint8_t>;
using repair::DetailKind;
using repair::ProblemKind;

constexpr std::uint64_t kSector = volume::kSectorSize;

// Bytes that differ from one file to the next and are never zero.
Bytes Noise(std::size_t size, int seed) {
  Bytes bytes(size);
  for (std::size_t i = 0; i < size; ++i) {
    bytes[i] = static_cast<std::uint8_t>((i * 31 + seed) % 251 + 1);
  }
  return bytes;
}

// The drive as the removal of `items` leaves it: each of their entries marked deleted (FAT) or
// not in use (exFAT), each of their clusters free in every FAT and the bitmap, FAT32's free count
// grown by them. Nothing else changes: not the data, not the "." and ".." entries of a folder.
// `onlyFat`: the one FAT kept current, when they are not mirrored.
Snapshot Removed(const MemoryStick& stick, Snapshot drive, const std::vector<Item>& items,
                 int onlyFat = -1) {
  const bool exfat = stick.kind() == Kind::kExfat;
  std::uint32_t freed = 0;
  for (const Item& item : items) {
    for (const std::uint64_t entry : item.entries) {
      Put(drive, entry, {static_cast<std::uint8_t>(exfat ? ByteAt(drive, entry) & 0x7F : 0xE5)});
    }
    for (const std::uint32_t cluster : item.clusters) {
      const auto fats = stick.FatEntryOffsets(cluster);
      for (std::size_t fat = 0; fat < fats.size(); ++fat) {
        if (onlyFat < 0 || fat == static_cast<std::size_t>(onlyFat)) {
          Put(drive, fats[fat], Bytes(4, 0));
        }
      }
      if (exfat) {
        const std::uint64_t at = stick.BitmapByte(cluster);
        Put(drive, at, {static_cast<std::uint8_t>(ByteAt(drive, at) & ~(1u << (cluster - 2) % 8))});
      }
      ++freed;
    }
  }
  if (!exfat) {
    std::uint32_t count = 0;
    for (int i = 3; i >= 0; --i) count = count << 8 | ByteAt(drive, stick.FreeCountOffset() + i);
    Put(drive, stick.FreeCountOffset(), Le32(count + freed));
  }
  return drive;
}

constexpr const char* kAutorun =
    "[autorun]\r\nopen=sys.exe\r\nshell\\open\\command=RECYCLER\\x.exe\r\n";

// A stick that an autorun worm and a shortcut worm share, with the user's things beside.
struct Infected {
  Item autorun, photos, photo, shortcut, report, sys, recycler, x, sid, y;
  // What clean removes: the root's leftovers and all inside the RECYCLER impostor.
  std::vector<Item> Virus() const { return {autorun, shortcut, sys, recycler, x, sid, y}; }
};

Infected BuildInfected(MemoryStick& s) {
  const std::size_t cluster = s.ClusterBytes();
  Infected i;
  i.autorun = s.Add({.name = "autorun.inf", .attributes = 0x27, .bytes = Text(kAutorun)});
  i.photos = s.AddFolder("Photos", 0x16);
  i.photo = s.Add({.name = "IMG_0001.jpg", .bytes = Noise(2 * cluster, 1)}, &i.photos);
  i.shortcut =
      s.Add({.name = "Photos.lnk",
             .bytes = ShortcutBytes({.localPath = "C:\\Windows\\System32\\cmd.exe",
                                     .arguments = "/c start sys.exe & start explorer Photos"})});
  i.report = s.Add({.name = "report.docx", .bytes = Noise(2 * cluster, 2)});
  i.sys = s.Add(
      {.name = "sys.exe", .attributes = 0x26, .bytes = Noise(2 * cluster + 7, 3), .chained = true});
  i.recycler = s.AddFolder("RECYCLER", 0x16);
  i.x = s.Add({.name = "x.exe", .attributes = 0x26, .bytes = Noise(cluster + 1, 4)}, &i.recycler);
  i.sid = s.AddFolder("S-5-3-42-1", 0x16, &i.recycler);
  i.y = s.Add({.name = "y.dll", .bytes = Noise(100, 5)}, &i.sid);
  return i;
}

// A stick on drive F of a memory volume, and the passes on it, each under its own open.
class StickPasses {
 protected:
  explicit StickPasses(Kind kind) : stick{memory, kind} {}

  repair::VolumeLayout Analysed() {
    auto opened = OpenDrive();
    EXPECT_TRUE(opened);
    auto layout = repair::Analyse(*opened);
    EXPECT_TRUE(layout);
    return layout ? *layout : repair::VolumeLayout{};
  }
  volume::Expected<repair::CleanReport, repair::Problem> Clean(const repair::VolumeLayout* layout) {
    auto opened = OpenDrive();
    if (!opened) return repair::OpenProblem(opened.error());
    return repair::Clean(*opened, layout, nullptr, &place);
  }
  volume::Expected<repair::UndoReport, repair::Problem> Undo(const repair::Journal& journal) {
    auto opened = OpenDrive();
    if (!opened) return repair::OpenProblem(opened.error());
    return repair::Undo(*opened, journal);
  }
  // The journal of a clean of the infected stick, and the drive after it.
  repair::Journal CleanedJournal() {
    BuildInfected(stick);
    const auto cleaned = Clean(nullptr);
    EXPECT_TRUE(cleaned);
    cleanedDrive = stick.Drive();
    auto journal = repair::ReadJournal(place.file);
    EXPECT_TRUE(journal);
    return journal ? *journal : repair::Journal{};
  }

  MemoryVolume memory;
  ScopedBackend scoped{memory};
  MemoryStick stick;
  TempDir dir;
  int writesWhenSaved = -1;  // the writes to the drive when the journal had reached the disk
  repair::JournalPlace place{
      dir / "change.journal", {}, "clean", [this](const std::filesystem::path&) {
        writesWhenSaved = memory.Count(MemoryVolume::Call::kWrite);
      }};
  Snapshot cleanedDrive;
};

class CleanTest : public ::testing::TestWithParam<Kind>, protected StickPasses {
 protected:
  CleanTest() : StickPasses(GetParam()) {}
};

TEST_P(CleanTest, RemovesExactlyTheLeftoversAndUndoGivesEveryByteBack) {
  const Infected infected = BuildInfected(stick);
  const Snapshot before = stick.Drive();
  const auto layout = Analysed();
  const auto cleaned = Clean(&layout);
  ASSERT_TRUE(cleaned);
  std::vector<std::string> removed;
  for (const auto& entry : cleaned->removed) removed.push_back(entry.Path());
  EXPECT_EQ(removed,
            (std::vector<std::string>{"autorun.inf", "Photos.lnk", "sys.exe", "RECYCLER"}));
  EXPECT_TRUE(cleaned->kept.empty());
  const Snapshot expected = Removed(stick, before, infected.Virus());
  const Snapshot after = stick.Drive();
  EXPECT_EQ(ChangedBytes(expected, after), std::vector<std::uint64_t>());
  ASSERT_FALSE(ChangedBytes(before, after).empty());
  EXPECT_EQ(writesWhenSaved, 0);

  // The journal holds each changed sector once, with its bytes before and after.
  const auto journal = repair::ReadJournal(cleaned->journal);
  ASSERT_TRUE(journal);
  std::set<std::uint64_t> changedSectors;
  for (const std::uint64_t at : ChangedBytes(before, after)) changedSectors.insert(at / kSector);
  ASSERT_EQ(journal->sectors.size(), changedSectors.size());
  EXPECT_EQ(cleaned->sectorsWritten, static_cast<std::int64_t>(changedSectors.size()));

  const std::size_t written = memory.SectorsWritten().size();
  const auto undone = Undo(*journal);
  ASSERT_TRUE(undone);
  EXPECT_FALSE(undone->alreadyUndone);
  EXPECT_EQ(undone->sectorsWritten, static_cast<std::int64_t>(changedSectors.size()));
  EXPECT_EQ(ChangedBytes(before, stick.Drive()), std::vector<std::uint64_t>());
  // Again: every sector holds its old bytes already, and nothing is written. The sectors were
  // read last, those that follow one another in one transfer (exFAT's clean changes some such).
  const auto again = Undo(*journal);
  ASSERT_TRUE(again);
  EXPECT_TRUE(again->alreadyUndone);
  EXPECT_EQ(memory.SectorsWritten().size(), written + changedSectors.size());
  const std::int64_t units = journal->volume.bytesPerSector / 512;
  std::vector<MemoryVolume::Transfer> runs;
  for (const auto& entry : journal->sectors) {
    if (!runs.empty() && runs.back().first + runs.back().count == entry.sector * units) {
      runs.back().count += units;
    } else {
      runs.push_back({entry.sector * units, units});
    }
  }
  const auto& reads = memory.ReadTransfers();
  ASSERT_GE(reads.size(), runs.size());
  EXPECT_EQ(std::vector<MemoryVolume::Transfer>(
                reads.end() - static_cast<std::ptrdiff_t>(runs.size()), reads.end()),
            runs);
}

// The root's first sector full but for one entry: autorun.inf's entries (its long name and short
// entry, or its set) run on into the next sector, and both sectors change.
TEST_P(CleanTest, RemovesEntriesAcrossASectorBoundary) {
  const auto nextSlot = [](const Item& item) { return (item.entries.back() / 32 + 1) % 16; };
  Item filler = stick.Add({.name = "A.TXT", .bytes = Text("a")});
  for (int n = 0; nextSlot(filler) != 15; ++n) {
    filler = stick.Add({.name = "F" + std::to_string(n) + ".TXT", .bytes = Text("f")});
  }
  const Infected infected = BuildInfected(stick);
  ASSERT_NE(infected.autorun.entries.front() / kSector, infected.autorun.entries.back() / kSector);
  const Snapshot before = stick.Drive();
  const auto layout = Analysed();
  ASSERT_TRUE(Clean(&layout));
  EXPECT_EQ(ChangedBytes(Removed(stick, before, infected.Virus()), stick.Drive()),
            std::vector<std::uint64_t>());
}

// A folder of the virus's that holds a document at any depth stays whole, with everything in it.
TEST_P(CleanTest, KeepsAVirusFolderThatHoldsADocument) {
  Infected infected = BuildInfected(stick);
  stick.Add({.name = "Report.docx", .bytes = Text("PK")}, &infected.sid);
  const Snapshot before = stick.Drive();
  const auto layout = Analysed();
  const auto cleaned = Clean(&layout);
  ASSERT_TRUE(cleaned);
  ASSERT_EQ(cleaned->kept.size(), 1u);
  EXPECT_EQ(cleaned->kept[0].folder.Path(), "RECYCLER");
  EXPECT_EQ(cleaned->kept[0].document, "RECYCLER\\S-5-3-42-1\\Report.docx");
  const Snapshot expected =
      Removed(stick, before, {infected.autorun, infected.shortcut, infected.sys});
  EXPECT_EQ(ChangedBytes(expected, stick.Drive()), std::vector<std::uint64_t>());
}

// With FAT32's mirroring off, only the FAT in use (here the second) is kept current.
// The removal takes only the leftovers the user chose, each of which must still be found as it was
// shown: one that is not refuses them all with nothing written.
TEST_P(CleanTest, RemovesOnlyTheChosenLeftovers) {
  const Infected infected = BuildInfected(stick);
  const Snapshot before = stick.Drive();
  repair::VolumeLayout layout = Analysed();
  std::erase_if(layout.findings.leftovers, [](const repair::Judged& leftover) {
    return leftover.Path() != "autorun.inf" && leftover.Path() != "sys.exe";
  });
  ASSERT_EQ(layout.findings.leftovers.size(), 2u);
  repair::VolumeLayout moved = layout;
  moved.findings.leftovers[1].file.offset += 32;
  const auto refused = Clean(&moved);
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error().kind, ProblemKind::kLayoutChanged);
  EXPECT_EQ(memory.Count(MemoryVolume::Call::kWrite), 0);

  ASSERT_TRUE(Clean(&layout));
  EXPECT_EQ(ChangedBytes(Removed(stick, before, {infected.autorun, infected.sys}), stick.Drive()),
            std::vector<std::uint64_t>());
}

// A file of the virus's inside a root folder that stays goes alone: the program that a worm put
// at the top of Windows' recycle bin, whose folders of the user's deleted files stay, and the
// script that a worm's shortcut runs inside the user's folder that it poses as, which is shown.
TEST_P(CleanTest, RemovesTheVirussFilesInsideAFolderThatStays) {
  const std::size_t cluster = stick.ClusterBytes();
  Item bin = stick.AddFolder("$RECYCLE.BIN", 0x16);
  Item user = stick.AddFolder("S-1-5-21-3623811015-3361044348-30300820-1001", 0x16, &bin);
  stick.Add({.name = "desktop.ini", .attributes = 0x26, .bytes = Text("[.ShellClassInfo]")}, &user);
  stick.Add({.name = "$I4KQ2.exe", .bytes = Noise(544, 6)}, &user);
  stick.Add({.name = "$R4KQ2.exe", .bytes = Noise(cluster + 9, 7)}, &user);
  const Item dropped =
      stick.Add({.name = "svchost.exe", .attributes = 0x26, .bytes = Noise(cluster, 8)}, &bin);
  Item music = stick.AddFolder("Music", 0x16);
  stick.Add({.name = "song.mp3", .bytes = Noise(2 * cluster, 9)}, &music);
  const Item script =
      stick.Add({.name = "~wx.vbs", .attributes = 0x26, .bytes = Noise(300, 10)}, &music);
  const Item shortcut =
      stick.Add({.name = "Music.lnk",
                 .bytes = ShortcutBytes(
                     {.localPath = "C:\\Windows\\System32\\cmd.exe",
                      .arguments = "/c start wscript Music\\~wx.vbs&start explorer Music"})});
  const Snapshot before = stick.Drive();
  const auto layout = Analysed();
  const auto cleaned = Clean(&layout);
  ASSERT_TRUE(cleaned) << static_cast<int>(cleaned.error().kind);
  std::vector<std::string> removed;
  for (const auto& entry : cleaned->removed) removed.push_back(entry.Path());
  EXPECT_EQ(removed,
            (std::vector<std::string>{"Music.lnk", "$RECYCLE.BIN\\svchost.exe", "Music\\~wx.vbs"}));
  EXPECT_EQ(ChangedBytes(Removed(stick, before, {shortcut, dropped, script}), stick.Drive()),
            std::vector<std::uint64_t>());
  const auto journal = repair::ReadJournal(cleaned->journal);
  ASSERT_TRUE(journal);
  ASSERT_TRUE(Undo(*journal));
  EXPECT_EQ(ChangedBytes(before, stick.Drive()), std::vector<std::uint64_t>());
}

TEST(CleanMirroringTest, FreesTheChainsInTheFatInUseOnly) {
  MemoryVolume memory;
  ScopedBackend scoped{memory};
  MemoryStick stick(memory, Kind::kFat32);
  const Infected infected = BuildInfected(stick);
  memory.Poke('F', 40, {0x81, 0x00});  // the boot sector's flags: no mirroring, FAT 1 in use
  const Snapshot before = stick.Drive();
  auto opened = OpenDrive();
  ASSERT_TRUE(opened);
  ASSERT_TRUE(repair::Clean(*opened, nullptr));
  EXPECT_EQ(ChangedBytes(Removed(stick, before, infected.Virus(), 1), stick.Drive()),
            std::vector<std::uint64_t>());
}

// The volume's last cluster is a data cluster like any other: a removed file's chain may end
// there, and a folder of the user's may run on into it, its entries there walked whole.
TEST_P(CleanTest, FreesAChainThatEndsInTheVolumesLastCluster) {
  const std::uint32_t last = stick.LastCluster();
  const Item autorun =
      stick.Add({.name = "autorun.inf", .bytes = Text("[autorun]\r\nopen=go.exe")});
  const Item go = stick.Add({.name = "go.exe",
                             .attributes = 0x26,
                             .bytes = Noise(2 * stick.ClusterBytes(), 8),
                             .clusters = {last - 1, last}});
  const Snapshot before = stick.Drive();
  const auto layout = Analysed();
  const auto cleaned = Clean(&layout);
  ASSERT_TRUE(cleaned) << static_cast<int>(cleaned.error().detail.kind);
  ASSERT_EQ(cleaned->removed.size(), 2u);
  EXPECT_EQ(ChangedBytes(Removed(stick, before, {autorun, go}), stick.Drive()),
            std::vector<std::uint64_t>());
}

TEST(CleanLastClusterTest, WalksAFolderWhoseChainRunsIntoTheVolumesLastCluster) {
  MemoryVolume memory;
  ScopedBackend scoped{memory};
  MemoryStick stick(memory, Kind::kFat32);
  Item photos = stick.AddFolder("Photos", 0x16);
  // "." and ".." and these fill its first cluster: the entries go on in the next.
  for (std::uint64_t n = 2; n < stick.ClusterBytes() / 32; ++n) {
    stick.Add({.name = "F" + std::to_string(n) + ".TXT"}, &photos);
  }
  stick.GrowFolder(photos, stick.LastCluster());
  stick.Add({.name = "Report.docx", .bytes = Text("PK")}, &photos);
  stick.Add({.name = "autorun.inf", .bytes = Text("[autorun]\r\nopen=go.exe")});
  stick.Add({.name = "go.exe", .attributes = 0x26, .bytes = Text("MZ")});
  auto opened = OpenDrive();
  ASSERT_TRUE(opened);
  const auto cleaned = repair::Clean(*opened, nullptr);
  ASSERT_TRUE(cleaned) << static_cast<int>(cleaned.error().kind) << " "
                       << cleaned.error().detail.name;
  EXPECT_EQ(cleaned->removed.size(), 2u);
}

// exFAT's allocation bitmap, its up-case table and a vendor allocation entry own their clusters
// without the FAT: a removed chain that runs into one of them refuses the removal, nothing written.
TEST(CleanExfatTablesTest, AChainIntoTheBitmapTheUpcaseTableOrAVendorAllocationIsRefused) {
  const auto put = [](Bytes& bytes, std::size_t at, std::uint64_t value, int size) {
    for (int i = 0; i < size; ++i) bytes.at(at + i) = static_cast<std::uint8_t>(value >> 8 * i);
  };
  for (const char* table : {"bitmap", "upcase", "vendor"}) {
    SCOPED_TRACE(table);
    MemoryVolume memory;
    ScopedBackend scoped{memory};
    MemoryStick stick(memory, Kind::kExfat);
    const std::uint32_t upcase = stick.TakeCluster(), vendor = stick.TakeCluster();
    Bytes upcaseEntry(exfat::kEntrySize);
    put(upcaseEntry, exfat::kEntryTypeOffset, exfat::kUpcaseTable, 1);
    put(upcaseEntry, exfat::kFirstClusterOffset, upcase, 4);
    put(upcaseEntry, exfat::kDataLengthOffset, stick.ClusterBytes(), 8);
    stick.AddRootEntries(upcaseEntry);
    Bytes notes = ExfatSetBytes({.name = "Notes.txt", .extra = {exfat::kVendorAllocation}});
    const std::size_t at = notes.size() - exfat::kEntrySize;
    put(notes, at + exfat::kFirstClusterOffset, vendor, 4);
    put(notes, at + exfat::kDataLengthOffset, stick.ClusterBytes(), 8);
    put(notes, exfat::kSetChecksumOffset, ExfatSetChecksum(notes), 2);
    stick.AddRootEntries(notes);
    const Infected infected = BuildInfected(stick);
    const std::uint32_t into = std::string(table) == "bitmap"   ? 2
                               : std::string(table) == "upcase" ? upcase
                                                                : vendor;
    stick.Link(infected.sys.clusters[1], into);
    const Snapshot before = stick.Drive();
    auto opened = OpenDrive();
    ASSERT_TRUE(opened);
    const auto cleaned = repair::Clean(*opened, nullptr);
    EXPECT_FALSE(cleaned);
    if (cleaned) continue;
    EXPECT_EQ(cleaned.error().kind, ProblemKind::kLeftoverChain);
    EXPECT_EQ(cleaned.error().detail.kind, DetailKind::kClusterOfTable);
    EXPECT_EQ(cleaned.error().detail.at, into);
    EXPECT_EQ(memory.Count(MemoryVolume::Call::kWrite), 0);
    EXPECT_EQ(ChangedBytes(before, stick.Drive()), std::vector<std::uint64_t>());
  }
}

// A write that fails is told as such, with anyWritten; the journal had reached the disk before
// the first write, and undoing it gives the drive back whichever write failed.
TEST_P(CleanTest, FailedWriteIsToldAfterTheJournalAndUndoMendsIt) {
  BuildInfected(stick);
  const Snapshot original = stick.Drive();
  const auto layout = Analysed();
  ASSERT_TRUE(Clean(&layout));
  const int writes = memory.Count(MemoryVolume::Call::kWrite);
  ASSERT_GE(writes, 3);
  for (int n = 1; n <= writes; ++n) {
    SCOPED_TRACE("failing write " + std::to_string(n));
    MemoryVolume fresh;
    ScopedBackend backend{fresh};
    MemoryStick again(fresh, GetParam());
    BuildInfected(again);
    int savedAfter = -1;
    const repair::JournalPlace journalTo{
        dir / ("clean" + std::to_string(n)), {}, "clean", [&](const std::filesystem::path&) {
          savedAfter = fresh.Count(MemoryVolume::Call::kWrite);
        }};
    fresh.FailAt(MemoryVolume::Call::kWrite, n);
    auto opened = OpenDrive();
    ASSERT_TRUE(opened);
    const auto failed = repair::Clean(*opened, nullptr, nullptr, &journalTo);
    ASSERT_FALSE(failed);
    EXPECT_EQ(failed.error().kind, ProblemKind::kWriteFailed);
    EXPECT_TRUE(failed.error().anyWritten);
    EXPECT_EQ(failed.error().earlierWritten, n > 1);
    EXPECT_EQ(savedAfter, 0);
    EXPECT_EQ(fresh.Count(MemoryVolume::Call::kWrite), n);
    const auto journal = repair::ReadJournal(journalTo.file);
    ASSERT_TRUE(journal);
    ASSERT_TRUE(repair::Undo(*opened, *journal));
    EXPECT_EQ(ChangedBytes(original, again.Drive()), std::vector<std::uint64_t>());
  }
}

// What the stick suffers between the analysis and the removal, and how the removal refuses it:
// the problem and the detail on FAT32 and on exFAT (where the user's file is contiguous, so a
// chain into its middle reaches it rather than being linked from it).
struct Refusal {
  const char* name;
  std::function<void(MemoryStick&, const Infected&)> damage;
  ProblemKind kind;
  DetailKind fat32;
  DetailKind exfat;
  const char* other = "";  // what else owns the cluster, where the detail names it
};

void PrintTo(const Refusal& refusal, std::ostream* out) { *out << refusal.name; }

class CleanRefusalTest : public ::testing::TestWithParam<std::tuple<Kind, Refusal>>,
                         protected StickPasses {
 protected:
  CleanRefusalTest() : StickPasses(std::get<0>(GetParam())) {}
};

const Refusal kRefusals[] = {
    {"chainRunsIntoAUsersFile",
     [](MemoryStick& s, const Infected& i) { s.Link(i.sys.clusters[0], i.report.clusters[0]); },
     ProblemKind::kLeftoverChain, DetailKind::kChainReachesOther, DetailKind::kChainReachesOther,
     "report.docx"},
    {"chainRunsIntoTheMiddleOfAUsersFile",
     [](MemoryStick& s, const Infected& i) { s.Link(i.sys.clusters[0], i.report.clusters[1]); },
     ProblemKind::kLeftoverChain, DetailKind::kChainLinkedFrom, DetailKind::kChainReachesOther},
    {"chainLoops",
     [](MemoryStick& s, const Infected& i) { s.Link(i.sys.clusters[1], i.sys.clusters[0]); },
     ProblemKind::kLeftoverChain, DetailKind::kChainLoop, DetailKind::kChainLoop},
    {"chainEndsEarly",
     [](MemoryStick& s, const Infected& i) {
       s.Link(i.sys.clusters[1], s.kind() == Kind::kFat32 ? 0x0FFFFFFF : 0xFFFFFFFF);
     },
     ProblemKind::kLeftoverChain, DetailKind::kChainLength, DetailKind::kChainLength},
    // A file of the user's whose chain runs on into the lowest cluster that the removal frees:
    // autorun.inf's, the first that the stick handed out.
    {"usersChainRunsIntoTheLowestFreedCluster",
     [](MemoryStick& s, const Infected& i) {
       const Item notes =
           s.Add({.name = "notes.txt", .bytes = Noise(2 * s.ClusterBytes(), 7), .chained = true});
       s.Link(notes.clusters[1], i.autorun.clusters[0]);
     },
     ProblemKind::kLeftoverChain, DetailKind::kChainLinkedFrom, DetailKind::kChainLinkedFrom},
    {"clusterOwnedByAnotherFile",
     [](MemoryStick& s, const Infected& i) {
       s.Add({.name = "copy.docx", .bytes = Text("PK"), .clusters = {i.sys.clusters[2]}});
     },
     ProblemKind::kLeftoverChain, DetailKind::kChainReachesOther, DetailKind::kChainReachesOther,
     "copy.docx"},
    {"shownFileStartsAtAnotherClusterSinceTheAnalysis",
     [](MemoryStick& s, const Infected& i) {
       // A copy of it in a cluster that nothing owns now, as a deleted file leaves it on exFAT.
       const Item lost = s.Add({.name = "LOST.TXT", .bytes = Text(kAutorun)});
       s.MarkRemoved(lost);
       s.SetFirstCluster(i.autorun, lost.First());
     },
     ProblemKind::kLayoutChanged, DetailKind::kRootFailsCheck, DetailKind::kRootFailsCheck},
    {"shownFileGoneSinceTheAnalysis",
     [](MemoryStick& s, const Infected& i) { s.MarkRemoved(i.autorun); },
     ProblemKind::kLayoutChanged, DetailKind::kRootFailsCheck, DetailKind::kRootFailsCheck},
};

TEST_P(CleanRefusalTest, WritesNothing) {
  const auto& [kind, refusal] = GetParam();
  const Infected infected = BuildInfected(stick);
  const auto layout = Analysed();
  refusal.damage(stick, infected);
  const Snapshot before = stick.Drive();
  const auto cleaned = Clean(&layout);
  ASSERT_FALSE(cleaned);
  const repair::Problem& problem = cleaned.error();
  EXPECT_EQ(problem.kind, refusal.kind);
  EXPECT_EQ(problem.detail.kind, kind == Kind::kFat32 ? refusal.fat32 : refusal.exfat);
  if (*refusal.other) {
    EXPECT_EQ(problem.detail.other, refusal.other);
  }
  EXPECT_FALSE(problem.anyWritten);
  EXPECT_EQ(memory.Count(MemoryVolume::Call::kWrite), 0);
  EXPECT_TRUE(memory.SectorsWritten().empty());
  EXPECT_EQ(ChangedBytes(before, stick.Drive()), std::vector<std::uint64_t>());
  EXPECT_FALSE(std::filesystem::exists(place.file));
}

class UndoTest : public CleanTest {};

// A journal is undone only on its own volume: any field of the identity that differs refuses it.
TEST_P(UndoTest, RefusesAJournalOfAnotherVolume) {
  const repair::Journal journal = CleanedJournal();
  const std::vector<std::function<void(repair::VolumeIdentity&)>> others = {
      [](auto& v) { v.serial ^= 1; },
      [](auto& v) { ++v.totalSectors; },
      [](auto& v) { v.bytesPerSector = 4096; },
      [](auto& v) {
        v.fileSystem = v.fileSystem == repair::FileSystem::kExfat ? repair::FileSystem::kFat32
                                                                  : repair::FileSystem::kExfat;
      },
  };
  const int writes = memory.Count(MemoryVolume::Call::kWrite);
  for (std::size_t i = 0; i < others.size(); ++i) {
    repair::Journal other = journal;
    others[i](other.volume);
    const auto undone = Undo(other);
    ASSERT_FALSE(undone) << i;
    EXPECT_EQ(undone.error().kind, ProblemKind::kJournalOtherVolume) << i;
    EXPECT_FALSE(undone.error().anyWritten);
  }
  EXPECT_EQ(memory.Count(MemoryVolume::Call::kWrite), writes);
  EXPECT_EQ(ChangedBytes(cleanedDrive, stick.Drive()), std::vector<std::uint64_t>());
}

// A sector that no longer holds what the change wrote (nor its old bytes) refuses the whole undo,
// even when it is the journal's last: all are read before the first write.
TEST_P(UndoTest, RefusesWhenTheDriveChangedSinceAndWritesNothing) {
  const repair::Journal journal = CleanedJournal();
  ASSERT_GE(journal.sectors.size(), 2u);
  const repair::JournalSector& last = journal.sectors.back();
  std::size_t at = 0;
  while (at + 1 < last.before.size() && last.before[at] != last.after[at]) ++at;
  memory.Poke('F', static_cast<std::uint64_t>(last.sector) * kSector + at,
              {static_cast<std::uint8_t>(~last.after[at])});
  const Snapshot changed = stick.Drive();
  const int writes = memory.Count(MemoryVolume::Call::kWrite);
  const auto undone = Undo(journal);
  ASSERT_FALSE(undone);
  EXPECT_EQ(undone.error().kind, ProblemKind::kJournalSectorChanged);
  EXPECT_EQ(undone.error().sector, last.sector);
  EXPECT_FALSE(undone.error().anyWritten);
  EXPECT_EQ(memory.Count(MemoryVolume::Call::kWrite), writes);
  EXPECT_EQ(ChangedBytes(changed, stick.Drive()), std::vector<std::uint64_t>());
}

// An undo cut short leaves its mark beside the journal: the next pass does not take the change
// for one cut short and write it again; the undo run again finishes it.
TEST_P(UndoTest, AnUndoCutShortIsNotWrittenForwardByTheNextPass) {
  BuildInfected(stick);
  const Snapshot before = stick.Drive();
  ASSERT_TRUE(Clean(nullptr));
  const auto journal = repair::ReadJournal(place.file);
  ASSERT_TRUE(journal);
  ASSERT_GE(journal->sectors.size(), 2u);
  const repair::JournalSector& first = journal->sectors.front();
  memory.Poke('F', static_cast<std::uint64_t>(first.sector) * kSector, first.before);
  std::ofstream(repair::UndoMarkOf(place.file)).close();
  const Snapshot cut = stick.Drive();
  {
    auto opened = OpenDrive();
    ASSERT_TRUE(opened);
    const auto finished = repair::FinishCutShort(*opened, repair::JournalFolderFiles(dir.path()));
    ASSERT_TRUE(finished);
    EXPECT_FALSE(*finished);
  }
  EXPECT_EQ(ChangedBytes(cut, stick.Drive()), std::vector<std::uint64_t>());
  ASSERT_TRUE(Undo(*journal));
  EXPECT_EQ(ChangedBytes(before, stick.Drive()), std::vector<std::uint64_t>());
}

// The repair's journal undoes it too: the attributes and, on exFAT, the set checksums come back.
TEST_P(UndoTest, UndoesARepair) {
  const Item photos = stick.AddFolder("Photos", 0x16);
  stick.Add({.name = "IMG_0001.jpg", .bytes = Noise(300, 6)}, &photos);
  stick.Add({.name = "Report.docx", .attributes = 0x26, .bytes = Text("PK")});
  stick.AddFolder("Work", 0x12);
  const Snapshot before = stick.Drive();
  {
    auto opened = OpenDrive();
    ASSERT_TRUE(opened);
    const auto repaired = repair::Repair(*opened, nullptr, nullptr, &place);
    ASSERT_TRUE(repaired);
    EXPECT_EQ(repaired->restored.size(), 3u);
  }
  ASSERT_FALSE(ChangedBytes(before, stick.Drive()).empty());
  const auto journal = repair::ReadJournal(place.file);
  ASSERT_TRUE(journal);
  ASSERT_TRUE(Undo(*journal));
  EXPECT_EQ(ChangedBytes(before, stick.Drive()), std::vector<std::uint64_t>());
}

const auto kKinds = ::testing::Values(Kind::kFat32, Kind::kExfat);

INSTANTIATE_TEST_SUITE_P(Sticks, CleanTest, kKinds, KindTestName());
INSTANTIATE_TEST_SUITE_P(Sticks, UndoTest, kKinds, KindTestName());
INSTANTIATE_TEST_SUITE_P(Damage, CleanRefusalTest,
                         ::testing::Combine(kKinds, ::testing::ValuesIn(kRefusals)),
                         KindTestName());

}  // namespace
}  // namespace kestrova::testing
