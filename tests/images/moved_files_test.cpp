// SPDX-License-Identifier: GPL-3.0-or-later
// The files that a worm moved into its hidden blank folder (a no-break space, a figure space, an
// ideographic space, a space, or `_`) put back into the root on FAT32 and FAT16 images made with
// mkfs.fat and mtools, and on exFAT images made with mkfs.exfat and exfat-fuse: fsck finds nothing
// wrong (a moved FAT folder's ".." names the root, at every level below it the folders as they
// were), mtools or exfat-fuse reads every file at its place in the root with its bytes, a name that
// the root held is numbered, the folder is gone with the virus's desktop.ini, and undo gives the
// image back byte for byte; so also when they lie two blank folders down, and for a thousand files
// that make the root grow. A FAT16 root without room refuses with nothing written.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <fstream>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "exfat_tools.h"
#include "fat_tools.h"
#include "image_tools.h"
#include "infected_sticks.h"
#include "repair/engine.h"
#include "repair/journal.h"
#include "words/messages.h"

namespace kestrova::testing {
namespace {

namespace fs = std::filesystem;
using Files = std::map<std::string, std::vector<std::uint8_t>>;

struct Layout {
  const char* name;
  const char* mkfs;  // mkfs.fat's options; empty for exFAT
  std::uint64_t sizeKiB;
  const char* blank;       // the folder's name
  const char* inner = "";  // the blank folder in it that holds the files, when there is one
  bool exfat() const { return std::string(mkfs).empty(); }
};

void PrintTo(const Layout& layout, std::ostream* out) { *out << layout.name; }

// Makes an image of `layout` that holds `files` in the folders of their paths, and gives the
// root folder `hidden` the attributes hidden and system. Empty, or why exFAT cannot be made here.
std::string MakeImage(const Layout& layout, const fs::path& image,
                      const std::vector<ImageFile>& files, const std::string& hidden) {
  std::vector<std::string> folders;  // from the root, parents first
  for (const ImageFile& file : files) {
    for (std::size_t at = file.path.find('/', 1); at != std::string::npos;
         at = file.path.find('/', at + 1)) {
      const std::string folder = file.path.substr(1, at - 1);
      if (std::find(folders.begin(), folders.end(), folder) == folders.end()) {
        folders.push_back(folder);
      }
    }
  }
  if (layout.exfat()) {
    EXPECT_TRUE(MakeExfatImage(image, layout.sizeKiB / 1024));
    const std::string why = MakeFoldersThroughFuse(image, folders, files);
    if (why.empty()) ExfatRootSets(image).SetAttributes(hidden, 0x16);
    return why;
  }
  EXPECT_TRUE(MakeFatImage(image, layout.sizeKiB, layout.mkfs));
  // One mcopy of the whole tree: a call a file takes long for a thousand files.
  TempDir source;
  for (const std::string& folder : folders) fs::create_directory(source / folder);
  for (const ImageFile& file : files) {
    std::ofstream(source.path().string() + file.path, std::ios::binary)
        .write(reinterpret_cast<const char*>(file.bytes.data()),
               static_cast<std::streamsize>(file.bytes.size()));
  }
  EXPECT_EQ(Mtools("mcopy", image, "-s " + Quote(source.path().string()) + "/* ::/").status, 0);
  EXPECT_EQ(Mtools("mattrib", image, "+h +s " + Quote("::/" + hidden)).status, 0);
  return {};
}

// Every file of the image by its path, as mtools or exfat-fuse reads it; and whether the file
// system's checker finds nothing wrong.
Files ReadImage(const fs::path& image, bool exfat) {
  if (!exfat) return FatFiles(image);
  Files read;
  const std::string why = WithFuseMount(image, [&](const fs::path& mount) {
    read = FilesUnder(mount);
    return std::string();
  });
  EXPECT_EQ(why, "");
  return read;
}
void ExpectChecked(const fs::path& image, bool exfat) {
  const auto fsck =
      testing::Run((exfat ? "fsck.exfat -n " : "fsck.fat -n ") + Quote(image.string()), true);
  EXPECT_EQ(fsck.status, 0) << fsck.output;
}

// The move back on the image, after an analysis of its own.
volume::Expected<repair::MoveBackReport, repair::Problem> MoveBack(
    const fs::path& image, const repair::JournalPlace& place) {
  const auto target = volume::DriveTarget::OfPath(image.string());
  const auto layout = [&]() -> volume::Expected<repair::VolumeLayout, repair::Problem> {
    auto read = volume::Volume::Open(target, volume::Access::kReadOnly);
    if (!read) return repair::OpenProblem(read.error());
    return repair::Analyse(*read);
  }();
  if (!layout) return layout.error();
  auto opened = volume::Volume::Open(target, volume::Access::kReadWrite);
  if (!opened) return repair::OpenProblem(opened.error());
  return repair::MoveBack(*opened, &*layout, nullptr, &place);
}

class MovedFilesTest : public ::testing::TestWithParam<Layout> {
 protected:
  // Makes the image, moves the files back and checks what it found, then that undo gives the
  // image back.
  void MoveAndUndo(const std::vector<ImageFile>& files, const Files& expected) {
    const Layout& layout = GetParam();
    const std::string why = MakeImage(layout, image, files, layout.blank);
    if (!why.empty()) GTEST_SKIP() << "exFAT files cannot be made here: " << why;
    ASSERT_TRUE(CopySparse(image, original));
    const auto moved = MoveBack(image, place);
    ASSERT_TRUE(moved) << static_cast<int>(moved.error().kind);
    report = *moved;
    EXPECT_TRUE(moved->folderRemoved);
    EXPECT_EQ(moved->innerFolder, layout.inner);
    ExpectChecked(image, layout.exfat());
    EXPECT_EQ(ReadImage(image, layout.exfat()), expected);
    const auto journal = repair::ReadJournal(moved->journal);
    ASSERT_TRUE(journal);
    auto opened = volume::Volume::Open(volume::DriveTarget::OfPath(image.string()),
                                       volume::Access::kReadWrite);
    ASSERT_TRUE(opened);
    ASSERT_TRUE(repair::Undo(*opened, *journal));
    EXPECT_EQ(DifferingOffsets(original, image), std::vector<std::uint64_t>());
  }

  TempDir dir;
  fs::path image = dir / "stick.img";
  fs::path original = dir / "original.img";
  repair::JournalPlace place{dir / "move.journal", {}, "moveback", {}};
  repair::MoveBackReport report;
};

TEST_P(MovedFilesTest, PutsEveryFileBackAndUndoGivesTheImageBack) {
  const Layout& layout = GetParam();
  const std::string folder = std::string("/") + layout.blank;
  const std::string deep = folder + (*layout.inner ? std::string("/") + layout.inner : "");
  std::vector<ImageFile> files = {
      {"/report.docx", Noise(700, 1)},
      {deep + "/report.docx", Noise(900, 2)},
      {deep + "/Photos/2024/summer/IMG_0001.jpg", Noise(5000, 3)},
      {deep + "/Photos/2024/notes.txt", Noise(20, 4)},
      {deep + "/Photos/readme.txt", Noise(30, 5)},
      {deep + "/Work/plan.xlsx", Noise(1500, 6)},
      {folder + "/desktop.ini", Noise(40, 7)},
  };
  // exFAT compares names by the volume's up-case table, which gives "ü" its capital.
  if (layout.exfat()) {
    files.push_back({"/\u00DCbung.txt", Noise(50, 8)});
    files.push_back({deep + "/\u00FCbung.txt", Noise(60, 9)});
  }
  const std::map<std::string, std::string> renamed = {{"/report.docx", "/report (2).docx"},
                                                      {"/\u00FCbung.txt", "/\u00FCbung (2).txt"}};
  Files expected;
  for (const ImageFile& file : files) {
    if (!file.path.starts_with(folder + "/")) {
      expected[file.path] = file.bytes;
    } else if (!file.path.ends_with("desktop.ini")) {
      const std::string path = file.path.substr(deep.size());
      expected[renamed.count(path) ? renamed.at(path) : path] = file.bytes;
    }
  }
  MoveAndUndo(files, expected);
  if (IsSkipped()) return;
  EXPECT_EQ(report.moved.size(), layout.exfat() ? 4u : 3u);
}

// A thousand files moved into the folder: the root grows by clusters of its own (FAT32, exFAT).
TEST_P(MovedFilesTest, AThousandFilesGrowTheRoot) {
  const Layout& layout = GetParam();
  if (!std::string(layout.mkfs).starts_with("-F 32") && !layout.exfat()) {
    GTEST_SKIP() << "a fixed root does not grow";
  }
  const std::string deep =
      std::string("/") + layout.blank + (*layout.inner ? std::string("/") + layout.inner : "");
  std::vector<ImageFile> files;
  Files expected;
  // mtools takes long to give a thousand long names short ones: most are short names there.
  for (int n = 1000; n < 2000; ++n) {
    const bool longName = layout.exfat() || n % 10 == 0;
    const std::string name = longName ? "/holiday picture number " + std::to_string(n) + ".txt"
                                      : "/P" + std::to_string(n) + ".TXT";
    files.push_back({deep + name, Noise(10, static_cast<std::uint32_t>(n))});
    expected[name] = files.back().bytes;
  }
  MoveAndUndo(files, expected);
  if (IsSkipped()) return;
  EXPECT_EQ(report.moved.size(), 1000u);
  EXPECT_GT(report.clustersAdded, 0);
}

INSTANTIATE_TEST_SUITE_P(
    Images, MovedFilesTest,
    ::testing::Values(Layout{"fat32NoBreakSpace", "-F 32", 40000, "\u00A0"},
                      Layout{"fat32FigureSpace", "-F 32", 40000, "\u2007"},
                      Layout{"fat16IdeographicSpace", "-F 16", 16384, "\u3000"},
                      Layout{"fat16Underscore", "-F 16", 16384, "_"},
                      Layout{"exfatNoBreakSpace", "", 65536, "\u00A0"},
                      Layout{"exfatIdeographicSpace", "", 65536, "\u3000"},
                      Layout{"exfatSpace", "", 65536, " "},
                      Layout{"fat32TwoLevels", "-F 32", 40000, "\u00A0", "\u2007"},
                      Layout{"exfatTwoLevels", "", 65536, "\u3000", "\u00A0"}),
    [](const auto& info) { return std::string(info.param.name); });

// A FAT16 root of 16 entries (unaligned, so that it keeps that size) with one free: the three
// files need three, and nothing is written.
TEST(MovedFilesFullRootTest, Fat16RefusesWithTheFreeSlotsAndWritesNothing) {
  TempDir dir;
  const auto image = dir / "stick.img";
  std::vector<ImageFile> files;
  for (int n = 1; n <= 14; ++n) files.push_back({"/F" + std::to_string(n) + ".TXT", {1}});
  for (const char* name : {"/_/A.TXT", "/_/B.TXT", "/_/C.TXT"}) files.push_back({name, {2}});
  ASSERT_EQ(MakeImage({"fat16", "-F 16 -r 16 -a", 16384, "_"}, image, files, "_"), "");
  const auto original = dir / "original.img";
  ASSERT_TRUE(CopySparse(image, original));
  const repair::JournalPlace place{dir / "move.journal", {}, "moveback", {}};
  const auto refused = MoveBack(image, place);
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error().kind, repair::ProblemKind::kRootFull);
  EXPECT_EQ(refused.error().detail.value, 1);
  EXPECT_EQ(refused.error().detail.at, 3);
  EXPECT_FALSE(refused.error().anyWritten);
  EXPECT_EQ(DifferingOffsets(original, image), std::vector<std::uint64_t>());
  EXPECT_FALSE(fs::exists(place.file));
}

// The command line: scan names what a move back would rename, move-back says what it moved under
// which names and that the folder went, in text and in JSON, and its undo command gives the image
// back.
TEST(MovedFilesCliTest, ScanTellsTheRenamesAndMoveBackAndUndoRunAsPrinted) {
  using texts::Format;
  TempDir dir;
  const auto image = dir / "stick.img";
  const auto journal = dir / "move.journal";
  ASSERT_EQ(MakeImage({"fat32", "-F 32", 40000, "\u00A0"}, image,
                      {{"/report.docx", Noise(10, 1)},
                       {"/\u00A0/report.docx", Noise(20, 2)},
                       {"/\u00A0/Photos/IMG_0001.jpg", Noise(3000, 3)},
                       {"/\u00A0/desktop.ini", Noise(30, 4)}},
                      "\u00A0"),
            "");
  const auto original = dir / "original.img";
  ASSERT_TRUE(CopySparse(image, original));
  const std::string target = Quote(image.string());

  const auto scan = Cli("scan " + target);
  ASSERT_EQ(scan.status, 0) << scan.err;
  EXPECT_NE(scan.out.find(Format(texts::kWouldRename, "[U+00A0]\\report.docx", "report (2).docx")),
            std::string::npos)
      << scan.out;
  EXPECT_NE(scan.err.find(Format(texts::kFixHint, "kestrova-cli fix " + image.string())),
            std::string::npos)
      << scan.err;
  const auto scanJson = nlohmann::json::parse(Cli("scan --json " + target).out, nullptr, false);
  ASSERT_TRUE(scanJson.contains("move_back"));
  EXPECT_EQ(scanJson["move_back"]["renamed"][0]["name"], "report (2).docx");
  // The folder holds two files and one folder.
  const auto shown = std::find_if(scanJson["verdicts"].begin(), scanJson["verdicts"].end(),
                                  [](const auto& verdict) { return verdict["path"] == "\u00A0"; });
  ASSERT_NE(shown, scanJson["verdicts"].end());
  EXPECT_EQ((*shown)["files"], 2);
  EXPECT_EQ((*shown)["folders"], 1);

  const auto moved = Cli("move-back --journal " + Quote(journal.string()) + " " + target);
  ASSERT_EQ(moved.status, 0) << moved.err;
  const std::string folder = repair::messages::FolderName("\u00A0");
  for (const std::string& line :
       {Format(texts::kMovedBack, "Photos"),
        Format(texts::kMovedBackRenamed, "report.docx", "report (2).docx"),
        Format(texts::kMovedBackCount, folder, Format(texts::kFilesCount, 1),
               Format(texts::kFoldersCount, 1)),
        Format(texts::kMovedFolderRemoved, folder)}) {
    EXPECT_NE(moved.out.find(line), std::string::npos) << line << "\n" << moved.out;
  }
  ExpectChecked(image, false);
  const std::string undo = "undo " + journal.string() + " " + image.string();
  EXPECT_NE(moved.out.find(Format(texts::kUndoHint, "kestrova-cli " + undo)), std::string::npos);
  ASSERT_EQ(Cli(undo).status, 0);
  EXPECT_EQ(DifferingOffsets(original, image), std::vector<std::uint64_t>());

  // A repair shows the folder again; the move back after it still finds it by its blank name.
  ASSERT_EQ(
      Cli("repair --journal " + Quote((dir / "repair.journal").string()) + " " + target).status, 0);
  const auto json = nlohmann::json::parse(
      Cli("move-back --json --journal " + Quote((dir / "again.journal").string()) + " " + target)
          .out,
      nullptr, false);
  ASSERT_FALSE(json.is_discarded());
  EXPECT_EQ(json["exit_status"], 0);
  EXPECT_EQ(json["folder"], "\u00A0");
  EXPECT_EQ(json["moved"].size(), 2u);
  EXPECT_EQ(json["stayed"][0]["evidence"], "in_hiding_folder");
  EXPECT_EQ(json["folder_removed"], true);
}

// Files that lie two blank folders down: move-back's JSON names each by its path through both.
TEST(MovedFilesCliTest, MoveBackJsonNamesTheFilesThroughBothBlankFolders) {
  TempDir dir;
  const auto image = dir / "stick.img";
  ASSERT_EQ(MakeImage({"fat32", "-F 32", 40000, "\u00A0"}, image,
                      {{"/\u00A0/\u2007/report.docx", Noise(20, 1)},
                       {"/\u00A0/\u2007/Photos/IMG_0001.jpg", Noise(3000, 2)},
                       {"/\u00A0/desktop.ini", Noise(30, 3)}},
                      "\u00A0"),
            "");
  const auto json = nlohmann::json::parse(
      Cli("move-back --json --journal " + Quote((dir / "move.journal").string()) + " " +
          Quote(image.string()))
          .out,
      nullptr, false);
  ASSERT_FALSE(json.is_discarded());
  EXPECT_EQ(json["inner_folder"], "\u2007");
  std::set<std::string> paths;
  for (const auto& moved : json["moved"]) paths.insert(moved["path"]);
  EXPECT_EQ(paths,
            (std::set<std::string>{"\u00A0\\\u2007\\report.docx", "\u00A0\\\u2007\\Photos"}));
}

// The blank-folder worm's sticks of the corpus (FAT32, FAT16 and exFAT, each blank character, and
// a folder that keeps only its short entry): one move-back puts every file of the user's back at
// its place in the root with its bytes, the worm's files in the folder go with it, the checker
// finds the stick clean, and undo gives it back.
class BlankFolderStickTest : public ::testing::TestWithParam<InfectedStick> {};

TEST_P(BlankFolderStickTest, OneMoveBackPutsEveryFileBack) {
  const InfectedStick& stick = GetParam();
  const bool exfat = stick.fs == StickFs::kExfat;
  TempDir dir;
  const auto image = dir / "stick.img";
  const std::string why = MakeStick(stick, image);
  if (!why.empty()) GTEST_SKIP() << why;
  const auto original = dir / "original.img";
  ASSERT_TRUE(CopySparse(image, original));
  const auto journal = dir / "move.journal";
  const auto moved =
      Cli("move-back --journal " + Quote(journal.string()) + " " + Quote(image.string()));
  ASSERT_EQ(moved.status, 0) << moved.err;
  ExpectChecked(image, exfat);
  // The folder is the first item; what is in it comes up one level, but the worm's.
  const std::string folder = stick.items.front().path + "/";
  Files expected;
  for (const StickItem& item : stick.items) {
    if (item.folder()) continue;
    if (!item.path.starts_with(folder)) {
      expected["/" + item.path] = *item.bytes;
    } else if (item.verdict != "virus") {
      expected["/" + item.path.substr(folder.size())] = *item.bytes;
    }
  }
  EXPECT_EQ(ReadImage(image, exfat), expected);
  ASSERT_EQ(Cli("undo " + Quote(journal.string()) + " " + Quote(image.string())).status, 0);
  EXPECT_EQ(DifferingOffsets(original, image), std::vector<std::uint64_t>());
}

std::vector<InfectedStick> BlankFolderSticks() {
  std::vector<InfectedStick> sticks;
  for (const StickFs fs : {StickFs::kFat32, StickFs::kFat16, StickFs::kExfat}) {
    for (const char* blank : {"\u00A0", "\u2007", "\u3000"}) {
      sticks.push_back(BlankFolderStick(fs, blank));
    }
  }
  sticks.push_back(BlankFolderStick(StickFs::kFat32, "\u00A0", 0xFF));
  return sticks;
}

INSTANTIATE_TEST_SUITE_P(Corpus, BlankFolderStickTest, ::testing::ValuesIn(BlankFolderSticks()),
                         [](const auto& info) {
                           return info.param.family + "_" + StickFsName(info.param.fs);
                         });

}  // namespace
}  // namespace kestrova::testing
