// SPDX-License-Identifier: GPL-3.0-or-later
// A stick as the virus leaves it, made at run time on FAT12, FAT32 and exFAT: hidden folders, a
// shortcut for a folder that runs cmd.exe, one that runs a program on the stick, one named like a
// visible folder, a damaged one named like the label, autorun.inf and the program it runs, a
// hidden script that a shortcut runs, a hidden program, and beside them what the user owns: a
// document shortcut, visible programs and files, a blank-named folder with the moved files.
// scan lists exactly the virus's files, each with why; the engine records where each lies. On
// FAT16, clean frees chains that end with either end mark.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "exfat_tools.h"
#include "fat_tools.h"
#include "image_tools.h"
#include "repair/directory.h"
#include "repair/engine.h"
#include "shortcut_writer.h"
#include "words/messages.h"
#include "words/shell_words.h"

namespace kestrova::testing {
namespace {

using texts::Format;
using texts::Tr;

constexpr const char* kLabel = "KINGSTON";
constexpr const char* kHostCommand =
    "C:\\Windows\\System32\\cmd.exe /c start x.vbs & start explorer Photos";

// The root's files, in the order they are made; the hidden ones (hidden and system) are named in
// kHidden. `serial` is the volume's serial number, which the shortcut to a program on the stick
// records.
const std::vector<std::string> kHidden = {"/autorun.inf", "/sys.exe", "/x.vbs", "/svchost.exe",
                                          "/desktop.ini"};
std::vector<ImageFile> InfectedFiles(std::uint32_t serial, const std::string& blank) {
  const auto text = [](const std::string& s) {
    return std::vector<std::uint8_t>(s.begin(), s.end());
  };
  auto cut = ShortcutBytes({.localPath = "C:\\Windows\\System32\\cmd.exe", .arguments = "/c x"});
  cut.resize(0x50);
  return {
      {"/Photos.lnk", ShortcutBytes({.idList = {"C:\\", "Windows", "System32", "cmd.exe"},
                                     .localPath = "C:\\Windows\\System32\\cmd.exe",
                                     .arguments = "/c start x.vbs & start explorer Photos",
                                     .iconLocation = "%SystemRoot%\\System32\\shell32.dll,3"})},
      {"/Work.lnk", ShortcutBytes({.idList = {"F:\\", "RECYCLER", "x.exe"},
                                   .localPath = "F:\\RECYCLER\\x.exe",
                                   .driveSerial = serial,
                                   .driveType = 2,
                                   .unicode = false})},
      {"/Music.lnk", ShortcutBytes({.idList = {"C:\\", "Users", "me", "Music"}})},
      {"/KINGSTON.lnk", cut},
      {"/autorun.inf", text("[AutoRun]\r\nopen=sys.exe\r\nicon=sys.exe,0\r\n"
                            "shell\\open\\command=sys.exe\r\n")},
      {"/sys.exe", text("MZ autorun's")},
      {"/x.vbs", text("CreateObject(\"WScript.Shell\")")},
      {"/svchost.exe", text("MZ hidden")},
      // The user's own.
      {"/notes.lnk", ShortcutBytes({.idList = {"C:\\", "Users", "me", "notes.txt"},
                                    .localPath = "C:\\Users\\me\\notes.txt",
                                    .workingDirectory = "C:\\Users\\me"})},
      {"/setup.exe", text("MZ the user's")},
      {"/report.docx", text("PK")},
      {"/desktop.ini", text("[.ShellClassInfo]")},
      {"/" + blank + "/holiday.jpg", {0xFF, 0xD8, 0xFF}},
  };
}

// What scan must say of the virus's files. The shortcut named like a visible folder that opens it,
// and the damaged one named like the label, are no evidence; the hidden program that nothing runs
// is unsure.
std::vector<std::string> ExpectedLeftovers() {
  return {
      "Photos.lnk\t" + Format(texts::kReasonCommand, Tr(texts::kLeftoverRunsHost), kHostCommand),
      "Work.lnk\t" +
          Format(texts::kReasonCommand, Tr(texts::kLeftoverRunsFromDrive), "F:\\RECYCLER\\x.exe"),
      "autorun.inf\t" + Format(texts::kReasonCommand, Tr(texts::kLeftoverAutorun), "open=sys.exe"),
      "sys.exe\t" + Format(texts::kLeftoverNamedByAutorun, "open=sys.exe"),
      "x.vbs\t" + Format(texts::kReasonCommand,
                         Format(texts::kLeftoverNamedByShortcut, "Photos.lnk"), kHostCommand),
  };
}

// The lines of scan's list under the virus's heading (a name, a tab and why), sorted.
std::vector<std::string> LeftoverLines(const std::string& scan) {
  std::vector<std::string> leftovers;
  std::istringstream lines(scan);
  bool inSection = false;
  for (std::string line; std::getline(lines, line);) {
    if (line.find('\t') == std::string::npos) {
      inSection = line == texts::Tr(texts::kHeadingVirus);
    } else if (inSection) {
      leftovers.push_back(line);
    }
  }
  std::sort(leftovers.begin(), leftovers.end());
  return leftovers;
}

struct Layout {
  const char* name;
  const char* mkfs;  // mkfs.fat's options, or mkfs.exfat's for exFAT
  std::uint64_t sizeKiB;
  std::uint64_t serialOffset;  // where the boot sector keeps the serial number
  const char* blank;           // the blank folder's name
  bool exfat() const { return serialOffset == 100; }
};

void PrintTo(const Layout& layout, std::ostream* out) { *out << layout.name; }

class LeftoversTest : public ::testing::TestWithParam<Layout> {
 protected:
  void SetUp() override {
    const Layout& layout = GetParam();
    const std::string blank = layout.blank;
    ASSERT_TRUE(layout.exfat() ? MakeExfatImage(image, layout.sizeKiB / 1024, layout.mkfs)
                               : MakeFatImage(image, layout.sizeKiB, layout.mkfs));
    const auto serial = ReadAt(image, layout.serialOffset, 4);
    files = InfectedFiles(
        serial[0] | serial[1] << 8 | serial[2] << 16 | static_cast<std::uint32_t>(serial[3]) << 24,
        blank);
    const std::vector<std::string> folders = {"Photos", "Work", "Music", blank};
    if (layout.exfat()) {
      const std::string why = MakeFoldersThroughFuse(image, folders, files);
      if (!why.empty()) GTEST_SKIP() << "exFAT files cannot be made here: " << why;
      ExfatRootSets sets(image);
      for (const std::string folder : {"Photos", "Work", blank.c_str()}) {
        sets.SetAttributes(folder, 0x16);
      }
      for (const std::string& hidden : kHidden) sets.SetAttributes(hidden.substr(1), 0x26);
      return;
    }
    for (const std::string& folder : folders) {
      ASSERT_EQ(Mtools("mmd", image, Quote("::/" + folder)).status, 0);
    }
    ASSERT_EQ(Mtools("mattrib", image, "+h +s ::/Photos ::/Work " + Quote("::/" + blank)).status,
              0);
    // A file that was deleted leaves a free cluster in front: the shortcut after it is split.
    ASSERT_TRUE(PutFile(image, {"/GAP.BIN", {1}}) && PutFile(image, {"/KEEP.BIN", {2}}));
    ASSERT_EQ(Mtools("mdel", image, "::/GAP.BIN").status, 0);
    if (std::string(layout.mkfs).starts_with("-F 32")) {
      // FAT32's hint of the next free cluster would send mcopy past the gap: it is unknown now.
      const auto info = ReadAt(image, 48, 2);
      PatchBytes(image, (info.at(0) | info.at(1) << 8) * 512ull + 0x1EC, {0xFF, 0xFF, 0xFF, 0xFF});
    }
    for (const ImageFile& file : files) {
      const bool hidden = std::count(kHidden.begin(), kHidden.end(), file.path) != 0;
      ASSERT_TRUE(PutFile(image, file, hidden ? "+h +s" : ""));
    }
  }

  TempDir dir;
  std::filesystem::path image = dir / "stick.img";
  std::vector<ImageFile> files;
};

// scan lists exactly the virus's files with why; each carries what its removal needs: where its
// entries lie, its first cluster and size, by the tools' reading of the image (mshowfat; the
// tests' own exFAT reader). The blank folder shows by its code points in scan and in repair.
TEST_P(LeftoversTest, ScanListsExactlyTheVirussFilesWithWhyAndWhereTheyLie) {
  const auto scan = Cli("scan " + Quote(image.string()));
  ASSERT_EQ(scan.status, 0) << scan.err;
  EXPECT_EQ(LeftoverLines(scan.out), ExpectedLeftovers()) << scan.out;
  EXPECT_NE(scan.err.find(Format(texts::kLeftoverCount, 5)), std::string::npos) << scan.err;

  const auto layout = [&] {
    auto opened = volume::Volume::Open(volume::DriveTarget::OfPath(image.string()),
                                       volume::Access::kReadOnly);
    return opened ? repair::Analyse(*opened) : repair::OpenProblem(std::move(opened.error()));
  }();
  ASSERT_TRUE(layout);
  ASSERT_EQ(layout->findings.leftovers.size(), 5u);
  for (const auto& leftover : layout->findings.leftovers) {
    const repair::RootFile& file = leftover.file;
    SCOPED_TRACE(file.Name());
    const auto made = std::find_if(files.begin(), files.end(),
                                   [&](const ImageFile& f) { return f.path == "/" + file.Name(); });
    ASSERT_NE(made, files.end());
    EXPECT_EQ(file.size, made->bytes.size());
    const auto first = repair::PlaceOf(*layout, repair::RootExtents(*layout), file.offset);
    const std::int64_t sectorBytes = layout->bytesPerSector;
    const auto entry = static_cast<std::uint64_t>(file.sector * sectorBytes + file.index * 32);
    const auto firstEntry =
        static_cast<std::uint64_t>(first.sector * sectorBytes + first.index * 32);
    if (GetParam().exfat()) {
      const ExfatRootSets sets(image);
      const auto& set = sets.Named(file.Name());
      EXPECT_EQ(std::vector({entry, firstEntry}), std::vector(2, set.entries.front()));
      EXPECT_EQ(static_cast<std::size_t>(file.entryCount), set.entries.size());
      continue;
    }
    // The short entry holds the attributes; a long name's entries run in front of it, the last
    // of them (its ordinal with 0x40) first.
    EXPECT_EQ(ReadAt(image, entry + 11, 1).at(0), file.attributes);
    EXPECT_EQ(ReadAt(image, firstEntry, 1).at(0),
              file.entryCount > 1 ? 0x40 | (file.entryCount - 1) : ReadAt(image, entry, 1).at(0));
    const auto fat = Mtools("mshowfat", image, Quote("::/" + file.Name()));
    EXPECT_NE(fat.output.find("<" + std::to_string(file.firstCluster)), std::string::npos)
        << fat.output;
  }

  const std::string shown =
      Format(texts::kBlankFolder, GetParam().exfat() ? "[U+00A0]" : "[U+3000]");
  EXPECT_NE(scan.out.find("\t" + shown + "\t"), std::string::npos) << scan.out;
  const auto repair = Cli("repair " + Quote(image.string()));
  ASSERT_EQ(repair.status, 0) << repair.err;
  EXPECT_NE(repair.out.find(Format(texts::kRestoredFolder, shown) + "\n"), std::string::npos)
      << repair.out;
  // The virus's files stay, listed after the report with the command that removes them.
  for (const auto& line : ExpectedLeftovers()) {
    EXPECT_NE(repair.out.find(line + "\n"), std::string::npos) << line;
  }
  EXPECT_TRUE(repair.out.ends_with(
      repair::messages::CleanHint(words::CommandLine({"kestrova-cli", "clean", image.string()})) +
      "\n"))
      << repair.out;
}

// The files of the image and its free bytes, as the file system's own tools see them: mcopy and
// fsck.fat's cluster count, or exfat-fuse.
struct ToolsView {
  std::map<std::string, std::vector<std::uint8_t>> files;
  std::int64_t freeBytes = -1;
};
ToolsView ViewOf(const std::filesystem::path& image, bool exfat, std::int64_t clusterBytes) {
  ToolsView view;
  if (exfat) {
    WithFuseMount(image, [&](const std::filesystem::path& mount) {
      view.files = FilesUnder(mount);
      view.freeBytes = static_cast<std::int64_t>(std::filesystem::space(mount).free);
      return std::string();
    });
    return view;
  }
  view.files = FatFiles(image);
  // "stick.img: 14 files, 30/80628 clusters"
  const auto fsck = testing::Run("fsck.fat -n " + Quote(image.string()));
  long long used = 0, total = 0;
  const auto counts = fsck.output.rfind(", ");
  if (counts != std::string::npos &&
      std::sscanf(fsck.output.c_str() + counts, ", %lld/%lld", &used, &total) == 2) {
    view.freeBytes = (total - used) * clusterBytes;
  }
  return view;
}

// clean removes exactly the virus's files: the file system's checker finds nothing wrong, every
// other file reads as before, the free space grows by their clusters; undo puts every byte back
// and a second undo finds nothing to do.
TEST_P(LeftoversTest, CleanRemovesExactlyTheVirussFilesAndUndoPutsEveryByteBack) {
  const bool exfat = GetParam().exfat();
  // exfat-fuse writes contiguous files that the FAT does not chain: sys.exe is chained instead.
  std::uint64_t sysEntry = 0;
  if (exfat) {
    ExfatRootSets sets(image);
    const std::uint32_t sys = sets.Named("sys.exe").first;
    sets.SetStream("sys.exe", 0x01, sys, std::string("MZ autorun's").size());
    sets.SetFat(sys, 0xFFFFFFFF);
    const auto fat = ReadAt(image, 80, 4);  // the FAT's offset in sectors
    sysEntry = (fat.at(0) | fat.at(1) << 8 | fat.at(2) << 16 | std::uint64_t{fat.at(3)} << 24) *
                   sets.SectorBytes() +
               sys * 4ull;
  }
  const auto before = dir / "before.img";
  ASSERT_TRUE(CopySparse(image, before));
  const auto layout = [&] {
    auto opened = volume::Volume::Open(volume::DriveTarget::OfPath(image.string()),
                                       volume::Access::kReadOnly);
    return opened ? repair::Analyse(*opened) : repair::OpenProblem(std::move(opened.error()));
  }();
  ASSERT_TRUE(layout);
  const std::int64_t clusterBytes = layout->ClusterBytes();
  const ToolsView was = ViewOf(image, exfat, clusterBytes);
  ASSERT_FALSE(was.files.empty());
  ASSERT_GE(was.freeBytes, 0);

  const auto journal = dir / "clean.journal";
  const auto clean =
      Cli("clean --journal " + Quote(journal.string()) + " " + Quote(image.string()));
  ASSERT_EQ(clean.status, 0) << clean.err;
  for (const std::string& line : ExpectedLeftovers()) {
    EXPECT_NE(clean.out.find(line + "\n"), std::string::npos) << line;
  }
  EXPECT_NE(clean.out.find(Format(texts::kRemovedCount, 5)), std::string::npos) << clean.out;
  EXPECT_NE(clean.out.find(Format(
                texts::kUndoHint,
                words::CommandLine({"kestrova-cli", "undo", journal.string(), image.string()}))),
            std::string::npos)
      << clean.out;
  const auto fsck =
      testing::Run((exfat ? "fsck.exfat -n " : "fsck.fat -n ") + Quote(image.string()), true);
  EXPECT_EQ(fsck.status, 0) << fsck.output;
  if (exfat) {
    EXPECT_EQ(ReadAt(image, sysEntry, 4), std::vector<std::uint8_t>(4, 0));
  }

  // What is left is every file but the virus's, each with its bytes.
  std::map<std::string, std::vector<std::uint8_t>> expected = was.files;
  std::int64_t clusters = 0;
  for (const std::string& line : ExpectedLeftovers()) {
    const std::string name = "/" + line.substr(0, line.find('\t'));
    ASSERT_TRUE(expected.count(name)) << name;
    clusters +=
        (static_cast<std::int64_t>(expected[name].size()) + clusterBytes - 1) / clusterBytes;
    expected.erase(name);
  }
  const ToolsView is = ViewOf(image, exfat, clusterBytes);
  EXPECT_TRUE(is.files == expected);
  EXPECT_EQ(is.freeBytes - was.freeBytes, clusters * clusterBytes);
  EXPECT_EQ(LeftoverLines(Cli("scan " + Quote(image.string())).out), std::vector<std::string>());

  const auto undo = Cli("undo " + Quote(journal.string()) + " " + Quote(image.string()));
  ASSERT_EQ(undo.status, 0) << undo.err;
  EXPECT_TRUE(DifferingOffsets(before, image).empty());
  // A second undo finds the change undone already, and writes nothing.
  EXPECT_EQ(Cli("undo " + Quote(journal.string()) + " " + Quote(image.string())).status, 0);
  EXPECT_TRUE(DifferingOffsets(before, image).empty());
}

// A chain of a file to remove that runs on into another file's cluster, loops or ends before its
// size does refuses every removal, and nothing is written: sys.exe's size asks for two clusters,
// its first one links on to setup.exe's, to itself, or nowhere.
TEST_P(LeftoversTest, DamagedChainRefusesEveryRemovalWithNothingWritten) {
  std::uint32_t sys = 0, setup = 0, end = 0xFFFFFFFF;
  std::function<void(std::uint32_t)> link;
  std::optional<ExfatRootSets> sets;
  if (GetParam().exfat()) {
    sets.emplace(image);
    sys = sets->Named("sys.exe").first;
    setup = sets->Named("setup.exe").first;
    sets->SetStream("sys.exe", 0x01, sys, sets->ClusterBytes() + 1);  // chained by the FAT
    link = [&](std::uint32_t next) { sets->SetFat(sys, next); };
  } else {
    if (!std::string(GetParam().mkfs).starts_with("-F 32")) GTEST_SKIP() << "FAT32 and exFAT";
    const auto first = [&](const std::string& name) {
      const auto fat = Mtools("mshowfat", image, Quote("::/" + name)).output;
      return static_cast<std::uint32_t>(std::stoul(fat.substr(fat.find('<') + 1)));
    };
    sys = first("sys.exe");
    setup = first("setup.exe");
    end = 0x0FFFFFFF;
    const auto boot = ReadAt(image, 0, 40);
    const std::uint64_t reserved = boot[14] | boot[15] << 8;
    const std::uint64_t fatBytes =
        (boot[36] | boot[37] << 8 | boot[38] << 16 | static_cast<std::uint64_t>(boot[39]) << 24) *
        512;
    link = [&, reserved, fatBytes](std::uint32_t next) {
      for (std::uint64_t copy = 0; copy < 2; ++copy) {
        PatchBytes(image, reserved * 512 + copy * fatBytes + sys * 4ull,
                   {static_cast<std::uint8_t>(next), static_cast<std::uint8_t>(next >> 8),
                    static_cast<std::uint8_t>(next >> 16), static_cast<std::uint8_t>(next >> 24)});
      }
    };
    // sys.exe's short entry: its size becomes a cluster and a byte.
    const auto bytes = ReadBytes(image);
    const std::string shortName = "SYS     EXE";
    const auto at = std::search(bytes.begin(), bytes.end(), shortName.begin(), shortName.end());
    ASSERT_NE(at, bytes.end());
    PatchBytes(image, static_cast<std::uint64_t>(at - bytes.begin()) + 28, {0x01, 0x02, 0, 0});
  }
  const std::vector<std::pair<std::uint32_t, std::string>> cases = {
      {setup, Format(texts::kChainReachesOther, setup, "setup.exe")},
      {sys, Format(texts::kChainLoop, sys, sys)},
      {end, Format(texts::kChainLength, Format(texts::kClustersCount, 1),
                   Format(texts::kClustersCount, 2))},
  };
  for (const auto& [next, why] : cases) {
    SCOPED_TRACE(why);
    link(next);
    const auto before = dir / "before.img";
    ASSERT_TRUE(CopySparse(image, before));
    const auto journal = dir / "j";
    const auto clean =
        Cli("clean --journal " + Quote(journal.string()) + " " + Quote(image.string()));
    EXPECT_EQ(clean.status, 1) << clean.out;
    EXPECT_NE(clean.err.find(Format(texts::kLeftoverChain, "sys.exe", why)), std::string::npos)
        << clean.err;
    EXPECT_TRUE(clean.err.starts_with(std::string(texts::Tr(texts::kCleanFailedTitle)) + ": "))
        << clean.err;
    EXPECT_NE(clean.err.find(texts::Tr(texts::kRunDiskCheck)), std::string::npos) << clean.err;
    EXPECT_TRUE(DifferingOffsets(before, image).empty());
    EXPECT_FALSE(std::filesystem::exists(journal));
  }
}

// Every command's --json document says what its text says, in stable names: scan's verdicts,
// repair's restored entries, clean's removed files and journal, undo's sectors, the journal's
// state, the layout; standard output holds the document alone. One that cannot be printed after
// the disk was written exits 3.
TEST_P(LeftoversTest, JsonDocumentsSayWhatTheCommandsFoundAndDid) {
  using Json = nlohmann::json;
  const std::string target = Quote(image.string());
  const auto run = [&](const std::string& arguments, int status = 0) {
    const auto result = Cli(arguments + " --json " + target);
    EXPECT_EQ(result.status, status) << arguments << "\n" << result.err;
    const Json document = Json::parse(result.out, nullptr, false);
    EXPECT_FALSE(document.is_discarded()) << result.out;
    EXPECT_EQ(document.value("kestrova", 0), 1);
    EXPECT_EQ(document.value("exit_status", -1), status);
    return document;
  };
  const Json layout = run("analyze");
  EXPECT_EQ(layout["layout"]["file_system"],
            GetParam().exfat() ? "exfat" : std::string(GetParam().name));
  std::vector<std::string> virus;
  const Json scanned = run("scan");
  for (const Json& verdict : scanned["verdicts"]) {
    if (verdict["verdict"] == "virus") virus.push_back(verdict["path"]);
  }
  std::vector<std::string> expected;
  for (const std::string& line : ExpectedLeftovers())
    expected.push_back(line.substr(0, line.find('\t')));
  std::sort(virus.begin(), virus.end());
  EXPECT_EQ(virus, expected);

  const auto before = dir / "before.img";
  ASSERT_TRUE(CopySparse(image, before));
  const Json repaired = run("repair --journal " + Quote((dir / "repair.journal").string()));
  EXPECT_GT(repaired["sectors_written"].get<int>(), 0);
  EXPECT_EQ(repaired["journal"], (dir / "repair.journal").string());
  std::vector<std::string> restored;
  for (const Json& entry : repaired["restored"])
    restored.push_back(entry["long_name"].get<std::string>() + ":" +
                       entry["kind"].get<std::string>());
  EXPECT_NE(std::find(restored.begin(), restored.end(), "Photos:folder"), restored.end())
      << repaired.dump();

  const auto journal = dir / "clean.journal";
  const Json cleaned = run("clean --journal " + Quote(journal.string()));
  std::vector<std::string> removed;
  for (const Json& entry : cleaned["removed"]) removed.push_back(entry["path"]);
  EXPECT_EQ(removed, expected);
  EXPECT_EQ(cleaned["journal"], journal.string());
  EXPECT_TRUE(run("journals")["journals"].is_array());
  const Json undone = run("undo " + Quote(journal.string()));
  EXPECT_GT(undone["sectors_written"].get<int>(), 0);
  EXPECT_FALSE(undone["already_undone"].get<bool>());
  EXPECT_EQ(run("undo " + Quote(journal.string()))["already_undone"], true);
  const Json refused = run("undo " + Quote((dir / "missing.journal").string()), 1);
  EXPECT_EQ(refused["problem"]["kind"], "journal_missing");

  // The report of a repair that wrote cannot be printed: 3, not 0 and not 1.
  ASSERT_TRUE(CopySparse(before, image));
  const auto full = testing::Run(Quote(CliPath()) + " repair --json --journal " +
                                 Quote((dir / "full.journal").string()) + " " + target +
                                 " >/dev/full 2>/dev/null");
  EXPECT_EQ(full.status, 3);
}

// FAT16 ends a chain with any value from 0xFFF8 up. autorun.inf starts one program with open= and
// another with shellexecute=, three clusters each: mtools ends the first chain with 0xFFFF, the
// second is made to end with 0xFFF8. clean removes both programs and autorun.inf and frees both
// chains in both FATs, the user's file of as many clusters stays, the checker finds the volume
// clean, and undo puts every byte back.
TEST(Fat16LeftoversTest, CleanFreesChainsEndingInEitherEndMarkInBothFats) {
  TempDir dir;
  const auto image = dir / "stick.img";
  ASSERT_TRUE(MakeFatImage(image, 16 * 1024, "-F 16 -s 1 -n KINGSTON"));
  const std::string autorun = "[AutoRun]\r\nopen=run.exe\r\nshellexecute=go.exe\r\n";
  ASSERT_TRUE(PutFile(image, {"/autorun.inf", {autorun.begin(), autorun.end()}}));
  std::uint32_t seed = 1;
  for (const char* name : {"/run.exe", "/go.exe", "/report.docx"}) {
    // The worm hides what it starts; the user's document is in plain sight.
    ASSERT_TRUE(PutFile(image, {name, Noise(1500, seed++)},
                        std::string_view(name).ends_with(".exe") ? "+h +s" : ""));
  }
  const auto boot = ReadAt(image, 0, 24);
  const std::uint64_t fat0 = (boot[14] | boot[15] << 8) * 512ull;
  const std::uint64_t fatBytes = (boot[22] | boot[23] << 8) * 512ull;
  const auto entry = [&](std::uint64_t copy, std::uint32_t cluster) {
    const auto bytes = ReadAt(image, fat0 + copy * fatBytes + cluster * 2ull, 2);
    return static_cast<std::uint32_t>(bytes[0] | bytes[1] << 8);
  };
  const auto chain = [&](const std::string& name) {
    const auto shown = Mtools("mshowfat", image, Quote("::/" + name)).output;
    std::vector<std::uint32_t> clusters = {
        static_cast<std::uint32_t>(std::stoul(shown.substr(shown.find('<') + 1)))};
    while (entry(0, clusters.back()) < 0xFFF8 && clusters.size() < 8) {
      clusters.push_back(entry(0, clusters.back()));
    }
    return clusters;
  };
  const auto run = chain("run.exe");
  const auto go = chain("go.exe");
  ASSERT_EQ(run.size(), 3u);
  ASSERT_EQ(go.size(), 3u);
  ASSERT_EQ(entry(0, run.back()), 0xFFFFu);
  for (const std::uint64_t copy : {0, 1}) {
    PatchBytes(image, fat0 + copy * fatBytes + go.back() * 2ull, {0xF8, 0xFF});
  }
  const auto checked = testing::Run("fsck.fat -n " + Quote(image.string()), true);
  ASSERT_EQ(checked.status, 0) << checked.output;
  const auto before = dir / "before.img";
  ASSERT_TRUE(CopySparse(image, before));
  auto kept = FatFiles(image);
  kept.erase("/autorun.inf");
  kept.erase("/run.exe");
  kept.erase("/go.exe");
  ASSERT_EQ(kept.size(), 1u);

  const auto journal = dir / "clean.journal";
  const auto clean =
      Cli("clean --journal " + Quote(journal.string()) + " " + Quote(image.string()));
  ASSERT_EQ(clean.status, 0) << clean.err;
  EXPECT_NE(clean.out.find("go.exe\t" +
                           Format(texts::kLeftoverNamedByAutorun, "shellexecute=go.exe") + "\n"),
            std::string::npos)
      << clean.out;
  EXPECT_NE(clean.out.find(Format(texts::kRemovedCount, 3)), std::string::npos) << clean.out;
  const auto fsck = testing::Run("fsck.fat -n " + Quote(image.string()), true);
  EXPECT_EQ(fsck.status, 0) << fsck.output;
  for (const std::uint64_t copy : {0, 1}) {
    for (const auto& clusters : {run, go}) {
      for (const std::uint32_t c : clusters) EXPECT_EQ(entry(copy, c), 0u) << copy << " " << c;
    }
  }
  EXPECT_TRUE(FatFiles(image) == kept);

  const auto undo = Cli("undo " + Quote(journal.string()) + " " + Quote(image.string()));
  ASSERT_EQ(undo.status, 0) << undo.err;
  EXPECT_TRUE(DifferingOffsets(before, image).empty());
}

INSTANTIATE_TEST_SUITE_P(
    Sticks, LeftoversTest,
    ::testing::Values(Layout{"fat32", "-F 32 -s 1 -n KINGSTON", 40 * 1024, 67, "\u3000"},
                      Layout{"fat12", "-F 12 -s 1 -n KINGSTON", 2 * 1024, 39, "\u3000"},
                      Layout{"exfat", "-L KINGSTON", 32 * 1024, 100, "\u00A0"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace kestrova::testing
