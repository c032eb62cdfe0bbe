// SPDX-License-Identifier: GPL-3.0-or-later
// Moving back what the virus moved into its hidden folder `_`, on FAT32 and exFAT sticks built in
// memory: the drive after the move is the drive before with exactly the move's bytes changed (each
// entry or entry set copied into the root's next free slots, the old ones marked removed, a moved
// FAT folder's ".." naming the root, the emptied folder and the virus's file in it removed and
// their clusters freed); a name that the root holds is numbered (exFAT: with its name hash and set
// checksum), a FAT short name that it holds made fresh; a full root grows by a cluster; undo gives
// every byte back.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "fat_tools.h"
#include "format/exfat_sets.h"
#include "format/fat_names.h"
#include "memory_stick.h"
#include "repair/engine.h"
#include "repair/journal.h"

namespace kestrova::testing {
namespace {

using Kind = MemoryStick::Kind;
using Item = MemoryStick::Item;
using Bytes = std::vector<std::uint8_t>;
using repair::ProblemKind;

constexpr std::uint64_t kEntry = 32;

std::uint32_t Read32(const Snapshot& drive, std::uint64_t offset) {
  std::uint32_t value = 0;
  for (int i = 3; i >= 0; --i)
    value = value << 8 | ByteAt(drive, offset + static_cast<unsigned>(i));
  return value;
}
Bytes Slice(const Snapshot& drive, std::uint64_t offset, std::size_t count) {
  Bytes bytes(count);
  for (std::size_t i = 0; i < count; ++i) bytes[i] = ByteAt(drive, offset + i);
  return bytes;
}

// The stick as the worm leaves it: the user's files in the hidden folder `_`, beside its
// desktop.ini, and a report in the root of the same name as one in the folder.
struct Moved {
  Item folder, report, photos, photo, inside, notes, desktop;
};

Moved BuildMoved(MemoryStick& s) {
  Moved m;
  m.folder = s.AddFolder("_", 0x16);
  m.report = s.Add({.name = "report.docx", .bytes = Text("PK root")});
  m.photos = s.AddFolder("Photos", 0x10, &m.folder);
  m.photo = s.Add({.name = "IMG_0001.jpg", .bytes = Text("JPEG")}, &m.photos);
  m.inside = s.Add({.name = "report.docx", .bytes = Text("PK moved")}, &m.folder);
  m.notes = s.Add({.name = "NOTES.TXT", .bytes = Text("notes")}, &m.folder);
  m.desktop = s.Add({.name = "desktop.ini", .attributes = 0x26, .bytes = Text("[.ShellClassInfo]")},
                    &m.folder);
  return m;
}

// The name hash of an exFAT stream extension over an ASCII name, whose capitals are its own.
std::uint16_t NameHash(const std::string& name) {
  std::uint16_t hash = 0;
  for (const char c : name) {
    const auto upper = static_cast<std::uint8_t>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c);
    for (const std::uint8_t byte : {upper, std::uint8_t{0}}) {
      hash = static_cast<std::uint16_t>(((hash & 1) ? 0x8000 : 0) + (hash >> 1) + byte);
    }
  }
  return hash;
}

class MoveBackTest : public ::testing::TestWithParam<Kind> {
 protected:
  repair::VolumeLayout Analysed(char letter = 'F') {
    auto opened = OpenDrive(letter);
    EXPECT_TRUE(opened);
    auto layout = repair::Analyse(*opened);
    EXPECT_TRUE(layout);
    return layout ? *layout : repair::VolumeLayout{};
  }
  volume::Expected<repair::MoveBackReport, repair::Problem> MoveBack(char letter = 'F') {
    const auto layout = Analysed(letter);
    auto opened = OpenDrive(letter);
    if (!opened) return repair::OpenProblem(opened.error());
    return repair::MoveBack(*opened, &layout, nullptr, &place);
  }
  bool Exfat() const { return stick.kind() == Kind::kExfat; }
  // Where the root's entry `slot` lies: in its first cluster, then in the one it grew by.
  std::uint64_t RootSlot(std::uint64_t slot) const {
    const std::uint64_t perCluster = stick.ClusterBytes() / kEntry;
    return slot < perCluster ? stick.ClusterOffset(stick.RootCluster()) + slot * kEntry
                             : stick.ClusterOffset(added) + (slot - perCluster) * kEntry;
  }
  // The root slot after an item's entries.
  std::uint64_t SlotAfter(const Item& item) const {
    return (item.entries.back() - stick.ClusterOffset(stick.RootCluster())) / kEntry + 1;
  }
  // The drive as the move leaves it besides the root's new entries: the old entries removed,
  // Photos' ".." the root (FAT), the folder's root entry removed, its cluster and desktop.ini's
  // freed in the FATs and the bitmap (exFAT) or counted free in FSInfo (FAT32).
  Snapshot Expected(Snapshot drive, const Moved& m, std::int32_t freeCountChange) const {
    for (const Item* item : {&m.photos, &m.inside, &m.notes, &m.desktop, &m.folder}) {
      for (const std::uint64_t at : item->entries) {
        Put(drive, at, {static_cast<std::uint8_t>(Exfat() ? ByteAt(drive, at) & 0x7F : 0xE5)});
      }
    }
    for (const std::uint32_t c : {m.folder.First(), m.desktop.First()}) {
      for (const std::uint64_t at : stick.FatEntryOffsets(c)) Put(drive, at, Le32(0));
      if (Exfat()) Allocated(drive, c, false);
    }
    if (Exfat()) return drive;
    const std::uint64_t dotDot = stick.ClusterOffset(m.photos.First()) + kEntry;
    Put(drive, dotDot + 20, {0, 0});
    Put(drive, dotDot + 26, {0, 0});
    const std::uint32_t count = Read32(drive, stick.FreeCountOffset());
    Put(drive, stick.FreeCountOffset(), Le32(count + 2 + freeCountChange));
    return drive;
  }
  void Allocated(Snapshot& drive, std::uint32_t cluster, bool used) const {
    const std::uint64_t at = stick.BitmapByte(cluster);
    const auto bit = static_cast<std::uint8_t>(1u << (cluster - 2) % 8);
    Put(drive, at,
        {static_cast<std::uint8_t>(used ? ByteAt(drive, at) | bit : ByteAt(drive, at) & ~bit)});
  }
  // Copies an item's entries as they were into the root from `slot` on.
  void Copied(Snapshot& expected, const Snapshot& before, const Item& item,
              std::uint64_t slot) const {
    for (std::size_t i = 0; i < item.entries.size(); ++i) {
      Put(expected, RootSlot(slot + i), Slice(before, item.entries[i], kEntry));
    }
  }

  MemoryVolume memory;
  ScopedBackend scoped{memory};
  MemoryStick stick{memory, GetParam()};
  TempDir dir;
  std::uint32_t added = 0;  // the cluster that the root grew by
  repair::JournalPlace place{dir / "move.journal", {}, "move-back", {}};
};

// The long name in front of the short entry at `slot`, when its entries and checksum are whole.
std::string LongNameAt(const Snapshot& drive, std::uint64_t first, int longEntries) {
  repair::LongNameCollector collector;
  for (int i = 0; i < longEntries; ++i) {
    collector.Add(Slice(drive, first + static_cast<std::uint64_t>(i) * kEntry, kEntry), i * 32);
  }
  return collector
      .Take(Slice(drive, first + static_cast<std::uint64_t>(longEntries) * kEntry, kEntry))
      .text;
}

TEST_P(MoveBackTest, PutsTheFilesBackInTheRootAndUndoGivesEveryByteBack) {
  const Moved m = BuildMoved(stick);
  const Snapshot before = stick.Drive();
  const auto moved = MoveBack();
  ASSERT_TRUE(moved);
  EXPECT_EQ(moved->folder, "_");
  std::vector<std::string> names;
  for (const auto& entry : moved->moved) names.push_back(entry.name);
  EXPECT_EQ(names, (std::vector<std::string>{"Photos", "report (2).docx", "NOTES.TXT"}));
  ASSERT_EQ(moved->stayed.size(), 1u);
  EXPECT_EQ(moved->stayed[0].Path(), "_\\desktop.ini");
  EXPECT_TRUE(moved->folderRemoved);
  EXPECT_EQ(moved->clustersAdded, 0);
  const Snapshot after = stick.Drive();

  // After the root's report: Photos, the renamed report (FAT: two long-name entries and the short
  // entry; exFAT: a set of three), NOTES.TXT.
  const std::uint64_t photos = SlotAfter(m.report);
  const std::uint64_t report = photos + m.photos.entries.size();
  const std::uint64_t notes = report + 3;
  Snapshot expected = Expected(before, m, 0);
  Copied(expected, before, m.photos, photos);
  Copied(expected, before, m.notes, notes);
  const Bytes renamed = Slice(after, RootSlot(report), 3 * kEntry);
  if (Exfat()) {
    // The name entries, name length and hash new, the checksum over them; else as it was.
    const Bytes original = Slice(before, m.inside.entries.front(), 2 * kEntry);
    EXPECT_EQ(repair::NameOf(renamed), "report (2).docx");
    EXPECT_EQ(renamed[1], 2);
    EXPECT_EQ(renamed[2] | renamed[3] << 8, repair::SetChecksum(renamed));
    EXPECT_EQ(renamed[36] | renamed[37] << 8, NameHash("report (2).docx"));
    EXPECT_TRUE(std::equal(renamed.begin() + 4, renamed.begin() + 32, original.begin() + 4));
    EXPECT_TRUE(std::equal(renamed.begin() + 38, renamed.begin() + 64, original.begin() + 38));
  } else {
    const Bytes original = Slice(before, m.inside.entries.back(), kEntry);
    EXPECT_EQ(LongNameAt(after, RootSlot(report), 2), "report (2).docx");
    // A fresh short name, REPORT~1.DOC being the root's; all else of the entry as it was.
    EXPECT_EQ(std::string(renamed.begin() + 64, renamed.begin() + 75), "REPORT~2DOC");
    EXPECT_TRUE(std::equal(renamed.begin() + 75, renamed.end(), original.begin() + 11));
  }
  Put(expected, RootSlot(report), renamed);
  EXPECT_EQ(ChangedBytes(expected, after), std::vector<std::uint64_t>());

  const auto journal = repair::ReadJournal(moved->journal);
  ASSERT_TRUE(journal);
  EXPECT_EQ(moved->sectorsWritten, static_cast<std::int64_t>(journal->sectors.size()));
  auto opened = OpenDrive();
  ASSERT_TRUE(opened);
  ASSERT_TRUE(repair::Undo(*opened, *journal));
  EXPECT_EQ(ChangedBytes(before, stick.Drive()), std::vector<std::uint64_t>());
}

// An entry whose long name the root lacks but whose short name it holds keeps its long name, gets
// a fresh short name, and its long-name entries its checksum.
TEST_P(MoveBackTest, GivesAFreshShortNameWhereOnlyTheShortNameClashes) {
  if (Exfat()) GTEST_SKIP() << "exFAT has no short names";
  const Moved m = BuildMoved(stick);
  const Item plans = stick.Add({.name = "Holiday plans.txt", .bytes = Text("sea")}, &m.folder);
  // Its short name made the root report's, its long-name entries' checksum with it.
  const Snapshot built = stick.Drive();
  const Bytes rootShort = Slice(built, m.report.entries.back(), 11);
  memory.Poke('F', plans.entries.back(), rootShort);
  const std::uint8_t sum = repair::ShortNameChecksum(rootShort.data());
  for (std::size_t i = 0; i + 1 < plans.entries.size(); ++i) {
    memory.Poke('F', plans.entries[i] + 13, {sum});
  }
  const auto moved = MoveBack();
  ASSERT_TRUE(moved);
  ASSERT_EQ(moved->moved.size(), 4u);
  EXPECT_EQ(moved->moved[3].name, "Holiday plans.txt");
  // After NOTES.TXT (slot 8): two long-name entries and the short entry.
  const Snapshot after = stick.Drive();
  EXPECT_EQ(LongNameAt(after, RootSlot(9), 2), "Holiday plans.txt");
  const Bytes shortEntry = Slice(after, RootSlot(11), kEntry);
  EXPECT_EQ(std::string(shortEntry.begin(), shortEntry.begin() + 11), "HOLIDA~1TXT");
}

// A root with one free slot left grows by the first free cluster after its own: chained in every
// FAT, counted in FSInfo or the bitmap, zeroed but for the entries that it takes.
TEST_P(MoveBackTest, GrowsAFullRootByAFreeCluster) {
  Moved m;
  m.folder = stick.AddFolder("_", 0x16);
  Item last = m.folder;
  while (SlotAfter(last) + (Exfat() ? 3 : 1) < stick.ClusterBytes() / kEntry) {
    last = stick.Add({.name = "F" + std::to_string(SlotAfter(last)) + ".TXT"});
  }
  const std::uint64_t free = SlotAfter(last);
  ASSERT_EQ(free + 1, stick.ClusterBytes() / kEntry);
  m.photos = stick.AddFolder("Photos", 0x10, &m.folder);
  m.photo = stick.Add({.name = "IMG_0001.jpg", .bytes = Text("JPEG")}, &m.photos);
  m.inside = stick.Add({.name = "INSIDE.TXT", .bytes = Text("inside")}, &m.folder);
  m.notes = stick.Add({.name = "NOTES.TXT", .bytes = Text("notes")}, &m.folder);
  m.desktop = stick.Add(
      {.name = "desktop.ini", .attributes = 0x26, .bytes = Text("[.ShellClassInfo]")}, &m.folder);
  const Snapshot before = stick.Drive();
  const auto moved = MoveBack();
  ASSERT_TRUE(moved);
  EXPECT_EQ(moved->clustersAdded, 1);
  const Snapshot after = stick.Drive();
  added = Read32(after, stick.FatEntryOffsets(stick.RootCluster())[0]);
  ASSERT_GT(added, m.desktop.First());
  EXPECT_EQ(Read32(before, stick.FatEntryOffsets(added)[0]), 0u);

  Snapshot expected = Expected(before, m, -1);
  for (const std::uint64_t at : stick.FatEntryOffsets(stick.RootCluster())) {
    Put(expected, at, Le32(added));
  }
  for (const std::uint64_t at : stick.FatEntryOffsets(added)) {
    Put(expected, at, Le32(Exfat() ? 0xFFFFFFFF : 0x0FFFFFFF));
  }
  if (Exfat()) Allocated(expected, added, true);
  // Photos straddles the two clusters, then INSIDE.TXT and NOTES.TXT.
  Put(expected, stick.ClusterOffset(added), Bytes(stick.ClusterBytes(), 0));
  Copied(expected, before, m.photos, free);
  Copied(expected, before, m.inside, free + m.photos.entries.size());
  Copied(expected, before, m.notes, free + m.photos.entries.size() + m.inside.entries.size());
  EXPECT_EQ(ChangedBytes(expected, after), std::vector<std::uint64_t>());
}

// The folder must still be the one that the user was shown: one that now starts at another
// cluster, or one gone since, refuses the move with nothing written, not even the journal.
TEST_P(MoveBackTest, RefusesWhenTheFolderIsNoLongerAsShownAndWritesNothing) {
  const Moved m = BuildMoved(stick);
  const auto layout = Analysed();
  const Snapshot built = stick.Drive();
  const std::vector<std::function<void()>> changes = {
      [&] { stick.SetFirstCluster(m.folder, m.photos.First()); },
      [&] { stick.MarkRemoved(m.folder); },
  };
  for (std::size_t i = 0; i < changes.size(); ++i) {
    SCOPED_TRACE(i);
    changes[i]();
    const Snapshot before = stick.Drive();
    ASSERT_FALSE(ChangedBytes(built, before).empty());
    auto opened = OpenDrive();
    ASSERT_TRUE(opened);
    const auto refused = repair::MoveBack(*opened, &layout, nullptr, &place);
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error().kind, ProblemKind::kLayoutChanged);
    EXPECT_FALSE(refused.error().anyWritten);
    EXPECT_EQ(memory.Count(MemoryVolume::Call::kWrite), 0);
    EXPECT_EQ(ChangedBytes(before, stick.Drive()), std::vector<std::uint64_t>());
    EXPECT_FALSE(std::filesystem::exists(place.file));
    stick.SetFirstCluster(m.folder, m.folder.First());
  }
}

// A name that the root holds in another case is the root's (FAT folds ASCII letters, exFAT its
// up-case table): the moved one is numbered. A name of 15 characters numbered so takes a second
// exFAT name entry: the set counts it, and its checksum and hash cover it.
TEST_P(MoveBackTest, NumbersANameTheRootHoldsInAnotherCase) {
  const Item folder = stick.AddFolder("_", 0x16);
  stick.AddFolder("Photos", 0x10);
  const Item pics = stick.Add({.name = "Holiday pics.md", .bytes = Text("root")});
  const Item photos = stick.AddFolder("photos", 0x10, &folder);
  stick.Add({.name = "IMG_0001.jpg", .bytes = Text("JPEG")}, &photos);
  stick.Add({.name = "holiday pics.md", .bytes = Text("moved")}, &folder);
  const auto moved = MoveBack();
  ASSERT_TRUE(moved);
  ASSERT_EQ(moved->moved.size(), 2u);
  EXPECT_EQ(moved->moved[0].name, "photos (2)");
  EXPECT_EQ(moved->moved[1].name, "holiday pics (2).md");
  const Snapshot after = stick.Drive();
  const std::uint64_t first = SlotAfter(pics);
  if (!Exfat()) {
    EXPECT_EQ(LongNameAt(after, RootSlot(first), 1), "photos (2)");
    EXPECT_EQ(LongNameAt(after, RootSlot(first + 2), 2), "holiday pics (2).md");
    return;
  }
  EXPECT_EQ(repair::NameOf(Slice(after, RootSlot(first), 3 * kEntry)), "photos (2)");
  const Bytes renamed = Slice(after, RootSlot(first + 3), 4 * kEntry);
  EXPECT_EQ(renamed[1], 3);
  EXPECT_EQ(repair::NameOf(renamed), "holiday pics (2).md");
  EXPECT_EQ(renamed[2] | renamed[3] << 8, repair::SetChecksum(renamed));
  EXPECT_EQ(renamed[36] | renamed[37] << 8, NameHash("holiday pics (2).md"));
}

// A file of the virus's in the folder whose cluster a user's file elsewhere holds too: the folder
// stays with it, and the user's cluster stays allocated.
TEST_P(MoveBackTest, KeepsTheFolderWhenAVirusFileInItSharesAClusterWithAUsersFile) {
  const Moved m = BuildMoved(stick);
  stick.Add({.name = "copy.docx", .bytes = Text("PK"), .clusters = {m.desktop.First()}});
  const Snapshot before = stick.Drive();
  const auto moved = MoveBack();
  ASSERT_TRUE(moved);
  EXPECT_EQ(moved->moved.size(), 3u);
  EXPECT_FALSE(moved->folderRemoved);
  EXPECT_TRUE(moved->folderKept);
  const Snapshot after = stick.Drive();
  for (const std::uint64_t at : stick.FatEntryOffsets(m.desktop.First())) {
    EXPECT_EQ(Read32(after, at), Read32(before, at));
  }
  if (Exfat()) {
    const std::uint64_t at = stick.BitmapByte(m.desktop.First());
    EXPECT_EQ(ByteAt(after, at), ByteAt(before, at));
  }
  for (const std::uint64_t at : m.desktop.entries) EXPECT_EQ(ByteAt(after, at), ByteAt(before, at));
}

// The root's only room lies between its end-of-directory mark and an entry left behind it: the
// last of those slots stays a mark, so the file that would fill them all finds no room, and
// nothing is written.
TEST_P(MoveBackTest, KeepsAnEndMarkBeforeEntriesThatFollowTheOldOne) {
  const Item folder = stick.AddFolder("_", 0x16);
  const Item gap = stick.Add({.name = "B.TXT"});
  stick.Add({.name = "STALE.TXT", .bytes = Text("old")});
  for (const std::uint64_t at : gap.entries) memory.Poke('F', at, Bytes(kEntry, 0));
  stick.Add({.name = "A.TXT", .bytes = Text("a")}, &folder);
  const Snapshot before = stick.Drive();
  const auto refused = MoveBack();
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error().kind, ProblemKind::kRootFull);
  EXPECT_EQ(refused.error().detail.at, static_cast<std::int64_t>(gap.entries.size()));
  EXPECT_EQ(refused.error().detail.value, static_cast<std::int64_t>(gap.entries.size()) - 1);
  EXPECT_EQ(memory.Count(MemoryVolume::Call::kWrite), 0);
  EXPECT_EQ(ChangedBytes(before, stick.Drive()), std::vector<std::uint64_t>());
}

// A FAT32 stick of more than 65536 clusters, whose root has one free slot and whose folder lies
// at cluster 70000: the root grows by the first cluster that its 32-bit FAT entry, top four bits
// dropped, says is free (not the one before it, whose entry links to cluster 65536), and the
// moved folder's ".." names the root in both halves of its cluster number.
TEST_P(MoveBackTest, OnALargeFat32StickGrowsByAFreeClusterAndMovedDotDotNamesTheRoot) {
  if (Exfat()) GTEST_SKIP() << "FAT32's cluster numbers and entries";
  MemoryStick large(memory, Kind::kFat32, 'G', 1024);
  const auto clusterBytes = static_cast<std::size_t>(large.ClusterBytes());
  const Item big =
      large.Add({.name = "BIG.BIN", .bytes = Bytes(2 * clusterBytes, 7), .clusters = {3, 65536}});
  large.Link(4, 0xF0000000);
  large.AllocateFrom(70000);
  const Item folder = large.AddFolder("_", 0x16);
  for (std::uint64_t n = 2; n + 1 < clusterBytes / kEntry; ++n) {
    large.Add({.name = "F" + std::to_string(n) + ".TXT"});
  }
  const Item photos = large.AddFolder("Photos", 0x10, &folder);
  large.Add({.name = "IMG_0001.jpg", .bytes = Text("JPEG")}, &photos);
  large.Add({.name = "NOTES.TXT", .bytes = Text("notes")}, &folder);
  ASSERT_EQ(folder.First(), 70000u);
  const auto moved = MoveBack('G');
  ASSERT_TRUE(moved);
  EXPECT_EQ(moved->clustersAdded, 1);
  const Snapshot after = large.Drive();
  EXPECT_EQ(Read32(after, large.FatEntryOffsets(2)[0]) & 0x0FFFFFFF, 4u);
  EXPECT_EQ(Read32(after, large.FatEntryOffsets(big.First())[0]), 65536u);
  const Bytes dotDot = Slice(after, large.ClusterOffset(photos.First()) + kEntry, kEntry);
  EXPECT_EQ(std::string(dotDot.begin(), dotDot.begin() + 11), "..         ");
  EXPECT_EQ(dotDot[20] | dotDot[21] << 8 | dotDot[26] | dotDot[27] << 8, 0);
}

INSTANTIATE_TEST_SUITE_P(Sticks, MoveBackTest, ::testing::Values(Kind::kFat32, Kind::kExfat),
                         KindTestName());

}  // namespace
}  // namespace kestrova::testing
