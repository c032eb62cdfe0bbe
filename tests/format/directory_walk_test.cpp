// SPDX-License-Identifier: GPL-3.0-or-later
// The walk of a directory's entries: which entries it shows and how it marks them, where it stops
// in a window, and which damaged exFAT sets refuse the directory; and the listing of a folder's
// entries, which such a set leaves incomplete.
#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "exfat_tools.h"
#include "format/directory_walk.h"
#include "format/exfat.h"
#include "format/fat.h"
#include "format/folder_listing.h"

namespace kestrova::testing {
namespace {

using repair::WalkedEntry;

// What the walk showed of one entry.
struct Seen {
  std::int64_t offset = 0;
  std::size_t bytes = 0;
  bool deleted = false;
  bool afterEnd = false;
  bool set = false;
  bool operator==(const Seen&) const = default;
};

// Walks `bytes` as one window; the entries shown, and the refusal.
std::optional<repair::Problem> Walk(repair::FileSystem fileSystem, std::vector<std::uint8_t>& bytes,
                                    bool last, std::size_t& done, std::vector<Seen>& seen) {
  const auto walk = repair::MakeDirectoryWalk(fileSystem);
  return walk->Look(bytes, 0, last, done, [&](WalkedEntry& entry) {
    seen.push_back({entry.offset, entry.bytes.size(), entry.deleted, entry.afterEnd, entry.set});
    return std::optional<repair::Problem>();
  });
}

// A FAT short entry named `name11` with `attribute`, at entry `index` of `bytes`.
void PutShortEntry(std::vector<std::uint8_t>& bytes, std::size_t index, const std::string& name11,
                   std::uint8_t attribute) {
  std::copy(name11.begin(), name11.end(), bytes.begin() + index * fat::kDirEntrySize);
  bytes[index * fat::kDirEntrySize + fat::kAttributeOffset] = attribute;
}

TEST(DirectoryWalk, FatShowsDeletedEntriesAndThoseAfterTheEndButNotEmptySlots) {
  std::vector<std::uint8_t> root(8 * fat::kDirEntrySize);
  PutShortEntry(root, 0, "PHOTOS     ", fat::kAttrDirectory | fat::kAttrHidden);
  PutShortEntry(root, 1, "\xE5OTES   TXT", fat::kAttrArchive);
  // Entry 2 is the end-of-directory mark, 3 and 4 empty slots after it.
  PutShortEntry(root, 5, "\x01OLD       ", fat::kAttrDirectory | fat::kAttrSystem);
  std::size_t done = 0;
  std::vector<Seen> seen;
  EXPECT_FALSE(Walk(repair::FileSystem::kFat16, root, true, done, seen));
  EXPECT_EQ(done, root.size());
  EXPECT_EQ(seen, (std::vector<Seen>{{0, 32, false, false, false},
                                     {32, 32, true, false, false},
                                     {160, 32, false, true, false}}));
}

TEST(DirectoryWalk, ExfatHoldsASetCutByTheWindowAndRefusesOneCutByTheEnd) {
  const std::vector<std::uint8_t> first = ExfatSetBytes({"Photos", fat::kAttrDirectory, 0, 9, 0});
  const std::vector<std::uint8_t> second = ExfatSetBytes({"Notes.txt", 0, 0, 12, 100});
  std::vector<std::uint8_t> label(exfat::kEntrySize);
  label[exfat::kEntryTypeOffset] = exfat::kVolumeLabel;
  std::vector<std::uint8_t> bytes = label;
  bytes.insert(bytes.end(), first.begin(), first.end());
  bytes.insert(bytes.end(), second.begin(), second.end() - exfat::kEntrySize);

  std::size_t done = 0;
  std::vector<Seen> seen;
  EXPECT_FALSE(Walk(repair::FileSystem::kExfat, bytes, false, done, seen));
  EXPECT_EQ(done, label.size() + first.size());
  EXPECT_EQ(seen, (std::vector<Seen>{{0, 32, false, false, false},
                                     {32, first.size(), false, false, true}}));

  seen.clear();
  const auto cut = Walk(repair::FileSystem::kExfat, bytes, true, done, seen);
  ASSERT_TRUE(cut);
  EXPECT_EQ(cut->kind, repair::ProblemKind::kDamagedDirectory);
  EXPECT_EQ(cut->detail.kind, repair::DetailKind::kIncompleteSet);
  EXPECT_EQ(cut->detail.at, static_cast<std::int64_t>((label.size() + first.size()) / 32));
}

TEST(DirectoryWalk, ExfatRefusesASetWhoseChecksumIsWrong) {
  std::vector<std::uint8_t> set = ExfatSetBytes({"Photos", fat::kAttrDirectory, 0, 9, 0});
  set[exfat::kEntrySize * 2 + 2] ^= 1;  // a character of the name
  std::size_t done = 0;
  std::vector<Seen> seen;
  const auto refused = Walk(repair::FileSystem::kExfat, set, true, done, seen);
  ASSERT_TRUE(refused);
  EXPECT_EQ(refused->detail.kind, repair::DetailKind::kSetChecksum);
  EXPECT_TRUE(seen.empty());
}

// A folder's listing keeps the sets before a damaged one and is incomplete: a set whose checksum
// is wrong is none of its entries, nor is one whose secondaries run past the folder's end.
TEST(FolderListing, ExfatStopsAtASetWhoseChecksumIsWrongOrThatTheFolderCutsOff) {
  repair::VolumeGeometry geometry;
  geometry.fileSystem = repair::FileSystem::kExfat;
  geometry.bytesPerSector = 512;
  const std::vector<std::uint8_t> photos = ExfatSetBytes({"Photos", fat::kAttrDirectory, 0, 9, 0});
  const std::vector<std::uint8_t> notes = ExfatSetBytes({"Notes.txt", 0, 0, 12, 100});
  std::vector<std::uint8_t> folder = photos;
  folder.insert(folder.end(), notes.begin(), notes.end());
  const auto listed = [&](const std::vector<std::uint8_t>& bytes) {
    const repair::FolderListing listing = repair::ListEntries(geometry, bytes);
    std::vector<std::string> names;
    for (const repair::RootFile& entry : listing.entries) names.push_back(entry.Name());
    return std::pair(listing.complete, names);
  };
  EXPECT_EQ(listed(folder), std::pair(true, std::vector<std::string>{"Photos", "Notes.txt"}));
  std::vector<std::uint8_t> spoilt = folder;
  spoilt[photos.size() + exfat::kEntrySize * 2 + 2] ^= 1;  // a character of Notes.txt's name
  EXPECT_EQ(listed(spoilt), std::pair(false, std::vector<std::string>{"Photos"}));
  folder.resize(folder.size() - exfat::kEntrySize);
  EXPECT_EQ(listed(folder), std::pair(false, std::vector<std::string>{"Photos"}));
}

}  // namespace
}  // namespace kestrova::testing
