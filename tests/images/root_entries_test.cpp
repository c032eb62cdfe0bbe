// SPDX-License-Identifier: GPL-3.0-or-later
// What the root's entries decide: exFAT entry sets that are repaired, left alone or refused; sets
// across the transfers in which the root is read; a root larger than the program's memory; the
// end of a FAT16 root at its entry count; the folders that Windows hides itself.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "disk_facts.h"
#include "exfat_tools.h"
#include "fat_tools.h"
#include "image_tools.h"

namespace kestrova::testing {
namespace {

constexpr std::uint16_t kHiddenSystemFolder = 0x16;

enum class Outcome { kRepaired, kUnchanged, kRefused };

struct SetCase {
  const char* name;
  std::string folder = "VIRUSDIR";
  std::uint16_t attributes = kHiddenSystemFolder;
  std::vector<std::uint8_t> extra = {};  // secondaries after the name entries
  int secondaryCount = -1;               // as many as there are
  Outcome outcome = Outcome::kRepaired;
  const char* scanSays = "";  // what scan must print about it
  bool atRootEnd = false;     // the set's last entry is the root's last
};

void PrintTo(const SetCase& c, std::ostream* out) { *out << c.name; }

class ExfatSetTest : public ::testing::TestWithParam<SetCase> {
 protected:
  TempDir dir;
  std::filesystem::path image = dir / "exfat.img";
  std::filesystem::path before = dir / "before.img";
};

// A hidden folder "OTHER" that is always repaired, and the case's set after it.
TEST_P(ExfatSetTest, IsRepairedLeftAloneOrRefusedWhole) {
  const SetCase& c = GetParam();
  ASSERT_TRUE(MakeExfatImage(image, 32, "-c 4096"));
  {
    ExfatRootSets sets(image);
    sets.PutSet(4, {.name = "OTHER", .attributes = kHiddenSystemFolder});
    const std::size_t entries = 3 + c.extra.size() + (c.folder.size() - 1) / 15;
    sets.PutSet(c.atRootEnd ? sets.EntryCount() - entries : 8,
                {.name = c.folder,
                 .attributes = c.attributes,
                 .extra = c.extra,
                 .secondaryCount = c.secondaryCount});
  }
  ASSERT_TRUE(CopySparse(image, before));
  const auto scan = Cli("scan " + Quote(image.string()));
  const auto repair = Cli("repair " + Quote(image.string()));
  if (c.outcome == Outcome::kRefused) {
    EXPECT_EQ(scan.status, 1);
    EXPECT_EQ(repair.status, 1);
    EXPECT_NE(repair.err.find("目录项组"), std::string::npos) << repair.err;
    EXPECT_TRUE(DifferingOffsets(before, image).empty());
    return;
  }
  ASSERT_EQ(scan.status, 0) << scan.err;
  ASSERT_EQ(repair.status, 0) << repair.err;
  EXPECT_EQ(scan.out.find("\t" + c.folder + "\t") != std::string::npos,
            c.outcome == Outcome::kRepaired)
      << scan.out;
  EXPECT_NE(scan.out.find(c.scanSays), std::string::npos) << scan.out;
  const ExfatRootSets was(before), now(image);
  EXPECT_EQ(now.Named("OTHER").attributes, kPlainFolder);
  EXPECT_TRUE(now.ChecksumHolds("OTHER"));
  const std::uint16_t expected = c.outcome == Outcome::kRepaired ? kPlainFolder : c.attributes;
  EXPECT_EQ(now.Named(c.folder).attributes, expected);
  EXPECT_TRUE(now.ChecksumHolds(c.folder));
  // Only File entries' attributes and checksums changed.
  for (const std::uint64_t offset : DifferingOffsets(before, image)) {
    const std::uint64_t file = was.Named("OTHER").entries[0];
    const std::uint64_t other = was.Named(c.folder).entries[0];
    EXPECT_TRUE((offset >= file + 2 && offset < file + 6) ||
                (c.outcome == Outcome::kRepaired && offset >= other + 2 && offset < other + 6))
        << "byte " << offset;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Sets, ExfatSetTest,
    ::testing::Values(
        SetCase{.name = "plain"}, SetCase{.name = "endsAtTheRootsLastByte", .atRootEnd = true},
        SetCase{.name = "longNameAtTheRootsEnd",
                .folder = "A folder name long enough for three name entries",
                .atRootEnd = true},
        SetCase{.name = "benignSecondaryAfterTheName", .extra = {0xE0}},
        // 0x08 is no attribute that exFAT defines: the set is not one the virus made.
        SetCase{.name = "reservedAttributeBit", .attributes = 0x1E, .outcome = Outcome::kUnchanged},
        SetCase{.name = "unknownCriticalSecondary",
                .extra = {0xC2},
                .outcome = Outcome::kUnchanged,
                .scanSays = "0xC2"},
        SetCase{.name = "systemVolumeInformation",
                .folder = "System Volume Information",
                .outcome = Outcome::kUnchanged,
                .scanSays = "System Volume Information"},
        SetCase{.name = "recycleBin",
                .folder = "$Recycle.Bin",
                .outcome = Outcome::kUnchanged,
                .scanSays = "$Recycle.Bin"},
        SetCase{.name = "oneSecondary", .secondaryCount = 1, .outcome = Outcome::kRefused},
        SetCase{.name = "lastSecondaryNotInUse", .extra = {0x60}, .outcome = Outcome::kRefused},
        SetCase{.name = "nameEntriesMissing",
                .folder = "A name of two name entries",
                .secondaryCount = 2,
                .outcome = Outcome::kRefused},
        SetCase{.name = "secondStreamExtension", .extra = {0xC0}, .outcome = Outcome::kRefused}),
    [](const auto& info) { return std::string(info.param.name); });

// The root is read in transfers of 1 MiB: sets that run from one into the next are repaired, with
// the sector of their File entry kept from the transfer before.
TEST(ExfatTransfersTest, SetsAcrossTransfersAreRepaired) {
  TempDir dir;
  const auto image = dir / "exfat.img", before = dir / "before.img";
  ASSERT_TRUE(MakeExfatImage(image, 64, "-c 4M"));
  constexpr std::size_t kPerMiB = (1 << 20) / 32;
  {
    ExfatRootSets sets(image);
    sets.PutSet(kPerMiB - 1,
                {.name = "FIRST", .attributes = kHiddenSystemFolder});  // File | stream, name
    sets.PutSet(2 * kPerMiB - 2,
                {.name = "SECOND", .attributes = kHiddenSystemFolder});  // File, stream | name
    sets.PutSet(4 * kPerMiB - 3,
                {.name = "LAST", .attributes = kHiddenSystemFolder});  // the root's last entries
  }
  ASSERT_TRUE(CopySparse(image, before));
  const auto repair = Cli("repair " + Quote(image.string()));
  ASSERT_EQ(repair.status, 0) << repair.err;
  const ExfatRootSets now(image);
  for (const char* name : {"FIRST", "SECOND", "LAST"}) {
    EXPECT_EQ(now.Named(name).attributes, kPlainFolder) << name;
    EXPECT_TRUE(now.ChecksumHolds(name)) << name;
  }
  // Only the attributes and checksums of their File entries changed.
  const ExfatRootSets was(before);
  for (const std::uint64_t offset : DifferingOffsets(before, image)) {
    bool inFileEntry = false;
    for (const char* name : {"FIRST", "SECOND", "LAST"}) {
      const std::uint64_t file = was.Named(name).entries[0];
      inFileEntry |= offset >= file + 2 && offset < file + 6;
    }
    EXPECT_TRUE(inFileEntry) << "byte " << offset;
  }
}

// A root of one 32 MiB cluster is looked at in bounded memory: scan and repair work in an address
// space smaller than the cluster.
TEST(ExfatTransfersTest, RootLargerThanTheProgramsMemoryIsScannedAndRepaired) {
  SKIP_WHEN_SANITIZED();
  TempDir dir;
  const auto image = dir / "exfat.img";
  ASSERT_TRUE(MakeExfatImage(image, 512, "-c 32M"));
  {
    ExfatRootSets sets(image);
    ASSERT_EQ(sets.EntryCount(), (32u << 20) / 32);
    sets.PutSet(sets.EntryCount() - 3, {.name = "DEEP", .attributes = kHiddenSystemFolder});
  }
  const auto scan = CliInLittleMemory("scan " + Quote(image.string()));
  ASSERT_EQ(scan.status, 0) << scan.output;
  EXPECT_NE(scan.output.find("\tDEEP\t"), std::string::npos) << scan.output;
  const auto repair = CliInLittleMemory("repair " + Quote(image.string()));
  ASSERT_EQ(repair.status, 0) << repair.output;
  EXPECT_EQ(ExfatRootSets(image).Named("DEEP").attributes, kPlainFolder);
}

// Hidden folders in every sector of a 32 MiB root: the sectors the repair would change do not fit
// in the address space, and the repair is refused with its own message, nothing written.
TEST(ExfatTransfersTest, RepairThatDoesNotFitInMemoryIsRefused) {
  SKIP_WHEN_SANITIZED();
  TempDir dir;
  const auto image = dir / "exfat.img", before = dir / "before.img";
  ASSERT_TRUE(MakeExfatImage(image, 512, "-c 32M"));
  ExfatRootSets sets(image);
  // The second sector of the root: a set, then unused entries up to the next set.
  sets.PutSet(16, {.name = "X", .attributes = kHiddenSystemFolder});
  sets.PutSet(32, {.name = "X", .attributes = kHiddenSystemFolder});
  const auto sector = ReadAt(image, sets.EntryPlace(16), 512);
  std::vector<std::uint8_t> rest;
  for (std::size_t i = 32; i < sets.EntryCount(); i += 16) {
    rest.insert(rest.end(), sector.begin(), sector.end());
  }
  PatchBytes(image, sets.EntryPlace(32), rest);
  ASSERT_TRUE(CopySparse(image, before));
  const auto repair = CliInLittleMemory("repair " + Quote(image.string()));
  EXPECT_EQ(repair.status, 1) << repair.output;
  EXPECT_NE(repair.output.find("内存不足"), std::string::npos) << repair.output;
  EXPECT_TRUE(DifferingOffsets(before, image).empty());
}

// FAT12 and FAT16 roots hold as many entries as the boot sector counts; the last sector of the
// region may go on past them, and what lies there is no entry.
TEST(FixedRootTest, EntriesEndAtTheRootEntryCount) {
  TempDir dir;
  const auto image = dir / "fat16.img", before = dir / "before.img";
  ASSERT_TRUE(MakeFatImage(image, 16 * 1024, "-F 16 -r 512"));
  const auto boot = ReadAt(image, 0, 512);
  const std::uint64_t reserved = boot[14] | boot[15] << 8;
  const std::uint64_t fatSize = boot[22] | boot[23] << 8;
  const std::uint64_t root = (reserved + boot[16] * fatSize) * 512;
  PatchBytes(image, 17, {500 & 0xFF, 500 >> 8});  // 500 entries: 31.25 sectors
  auto entry = [](const std::string& name11) {
    std::vector<std::uint8_t> bytes(name11.begin(), name11.end());
    bytes.resize(32, 0);
    bytes[11] = kHiddenSystemFolder;
    return bytes;
  };
  PatchBytes(image, root + 499 * 32, entry("LASTSLOT   "));
  PatchBytes(image, root + 505 * 32, entry("PASTEND    "));
  ASSERT_TRUE(CopySparse(image, before));

  const auto scan = Cli("scan " + Quote(image.string()));
  ASSERT_EQ(scan.status, 0) << scan.err;
  EXPECT_NE(scan.out.find("LASTSLOT"), std::string::npos) << scan.out;
  EXPECT_EQ(scan.out.find("PASTEND"), std::string::npos) << scan.out;
  ASSERT_EQ(Cli("repair " + Quote(image.string())).status, 0);
  EXPECT_EQ(DifferingOffsets(before, image), (std::vector<std::uint64_t>{root + 499 * 32 + 11}));
}

// Windows creates these hidden and system itself; shown, they look like strange new folders.
TEST(WindowsFoldersTest, StayHiddenAndScanSaysWhy) {
  TempDir dir;
  const auto image = dir / "fat32.img";
  ASSERT_TRUE(MakeFat32Image(image, 40 * 1024));
  const std::string svi = Quote("::/System Volume Information");
  for (const std::string& args :
       {svi + " ::/\\$RECYCLE.BIN ::/VIRUS", "+h +s " + svi + " ::/\\$RECYCLE.BIN ::/VIRUS"}) {
    const auto made = Mtools(args.starts_with('+') ? "mattrib" : "mmd", image, args);
    ASSERT_EQ(made.status, 0) << made.output;
  }
  const auto scan = Cli("scan " + Quote(image.string()));
  ASSERT_EQ(scan.status, 0) << scan.err;
  for (const char* name : {"System Volume Information", "$RECYCLE.BIN"}) {
    EXPECT_NE(
        scan.out.find(std::string(name) + "\t" + texts::Tr(texts::kSystemWindowsFolder) + "\n"),
        std::string::npos)
        << scan.out;
  }
  ASSERT_EQ(Cli("repair " + Quote(image.string())).status, 0);
  EXPECT_EQ(MattribFlags(image, "/System Volume Information"), "SH");
  EXPECT_EQ(MattribFlags(image, "/$RECYCLE.BIN"), "SH");
  EXPECT_EQ(MattribFlags(image, "/VIRUS"), "");
}

}  // namespace
}  // namespace kestrova::testing
