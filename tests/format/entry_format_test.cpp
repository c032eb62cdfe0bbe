// SPDX-License-Identifier: GPL-3.0-or-later
// How each file system's entries change: a removal's mark and a repair's attributes touch only
// the bytes they mean to, and an exFAT set stays one that its checksum proves.
#include <gtest/gtest.h>

#include <cstdint>
#include <numeric>
#include <span>
#include <vector>

#include "exfat_tools.h"
#include "format/entry_format.h"
#include "format/exfat.h"
#include "format/fat.h"
#include "format/fat_names.h"

namespace kestrova::testing {
namespace {

// The positions at which two byte strings of one length differ.
std::vector<std::size_t> Differences(const std::vector<std::uint8_t>& a,
                                     const std::vector<std::uint8_t>& b) {
  std::vector<std::size_t> at;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (a[i] != b[i]) at.push_back(i);
  }
  return at;
}

TEST(EntryFormat, FatMarksTheLeadByteAndSetsTheAttributeByteOnly) {
  const repair::EntryFormat& entries = repair::EntryFormatOf(repair::FileSystem::kFat16);
  EXPECT_EQ(&entries, &repair::FatEntryFormat());
  EXPECT_FALSE(entries.SizesFolders());
  std::vector<std::uint8_t> entry(fat::kDirEntrySize);
  std::iota(entry.begin(), entry.end(), std::uint8_t{0x41});
  const std::vector<std::uint8_t> before = entry;

  entries.SetAttributes(entry, fat::kAttrDirectory | 0x100);  // a high byte FAT has no room for
  EXPECT_EQ(Differences(before, entry), std::vector<std::size_t>{fat::kAttributeOffset});
  EXPECT_EQ(entry[fat::kAttributeOffset], fat::kAttrDirectory);

  entries.MarkRemoved(entry);
  EXPECT_EQ(entry[fat::kNameOffset], fat::kDeletedEntry);
  EXPECT_EQ(Differences(before, entry),
            (std::vector<std::size_t>{fat::kNameOffset, fat::kAttributeOffset}));
}

// A short name decoded once and handed to DecodeFatFile gives the file the name it decodes itself,
// whether it was decoded in capitals (a folder's line) or as Windows shows it (a file's).
TEST(EntryFormat, FatFileTakesItsShortNameDecodedOnceAsItWouldDecodeIt) {
  std::vector<std::uint8_t> entry(fat::kDirEntrySize, 0);
  const char name11[] = "READ ME TXT";
  std::copy_n(name11, 11, entry.begin());
  for (const std::uint8_t flags : {0x00, 0x08, 0x10, 0x18}) {
    entry[fat::kCaseFlagsOffset] = flags;
    const repair::RootFile own =
        repair::DecodeFatFile(repair::FileSystem::kFat32, entry, 64, repair::LongName{});
    for (const std::string& decoded :
         {repair::DisplayShortName(entry), repair::ShownShortName(entry)}) {
      const repair::RootFile given = repair::DecodeFatFile(repair::FileSystem::kFat32, entry, 64,
                                                           repair::LongName{}, &decoded);
      EXPECT_EQ(given.shortName, own.shortName) << int{flags};
    }
  }
  EXPECT_EQ(repair::DisplayShortName(entry), "READ ME.TXT");
  EXPECT_EQ(repair::ShownShortName(entry), "read me.txt");
}

TEST(EntryFormat, ExfatKeepsTheSetChecksumAndClearsOnlyTheInUseBit) {
  const repair::EntryFormat& entries = repair::EntryFormatOf(repair::FileSystem::kExfat);
  EXPECT_EQ(&entries, &repair::ExfatEntryFormat());
  EXPECT_TRUE(entries.SizesFolders());
  const std::uint16_t hidden = fat::kAttrHidden | fat::kAttrSystem | fat::kAttrDirectory;
  std::vector<std::uint8_t> set = ExfatSetBytes({"Photos 2024", hidden, 0, 9, 4096});
  const std::vector<std::uint8_t> before = set;

  entries.SetAttributes(set, fat::kAttrDirectory);
  EXPECT_EQ(fat::Read16(set, exfat::kFileAttributesOffset), fat::kAttrDirectory);
  EXPECT_EQ(fat::Read16(set, exfat::kSetChecksumOffset), ExfatSetChecksum(set));
  for (const std::size_t at : Differences(before, set)) {
    EXPECT_TRUE(at / 2 == exfat::kFileAttributesOffset / 2 ||
                at / 2 == exfat::kSetChecksumOffset / 2)
        << "byte " << at;
  }

  const std::vector<std::uint8_t> shown = set;
  for (std::size_t at = 0; at < set.size(); at += exfat::kEntrySize) {
    entries.MarkRemoved(std::span(set).subspan(at, exfat::kEntrySize));
    EXPECT_EQ(set[at + exfat::kEntryTypeOffset],
              shown[at + exfat::kEntryTypeOffset] & ~exfat::kInUse);
  }
  EXPECT_EQ(Differences(shown, set).size(), set.size() / exfat::kEntrySize);
}

}  // namespace
}  // namespace kestrova::testing
