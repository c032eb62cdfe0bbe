// SPDX-License-Identifier: GPL-3.0-or-later
// Whose each root entry is, on sticks built in memory on FAT32 and exFAT: every entry that the
// analysis judges, with its verdict, evidence and subject (by their stable names), and what clean
// then removes. A document is never the virus's, a name alone is no evidence, and what the
// evidence does not settle stays.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "memory_stick.h"
#include "repair/engine.h"
#include "repair/ids.h"
#include "repair/verdicts.h"
#include "shortcut_writer.h"

namespace kestrova::testing {
namespace {

using Kind = MemoryStick::Kind;
using Bytes = std::vector<std::uint8_t>;

constexpr std::uint16_t kHiddenFolder = 0x16, kHiddenFile = 0x26, kPlainFile = 0x20;
constexpr const char* kCmd = "C:\\Windows\\System32\\cmd.exe";

// A shortcut that starts `program` with `arguments`, as the worms write them.
Bytes Runs(const std::string& program, const std::string& arguments = "") {
  return ShortcutBytes({.localPath = program, .arguments = arguments});
}

struct RulesCase {
  const char* name;
  std::function<void(MemoryStick&)> build;
  // Every entry judged, by path: "verdict evidence", and " <subject>" when it names one.
  std::map<std::string, std::string> judged;
  std::vector<std::string> removed;  // what clean removes, in root order
};

void PrintTo(const RulesCase& c, std::ostream* out) { *out << c.name; }

class VerdictRulesTest : public ::testing::TestWithParam<std::tuple<Kind, RulesCase>> {
 protected:
  MemoryVolume memory;
  ScopedBackend scoped{memory};
};

TEST_P(VerdictRulesTest, JudgesEveryEntryByItsEvidence) {
  const auto& [kind, c] = GetParam();
  MemoryStick stick(memory, kind);
  c.build(stick);
  auto opened = OpenDrive();
  ASSERT_TRUE(opened);
  const auto layout = repair::Analyse(*opened);
  ASSERT_TRUE(layout);
  std::map<std::string, std::string> judged;
  for (const auto* list : {&layout->findings.leftovers, &layout->findings.judged}) {
    for (const repair::Judged& entry : *list) {
      std::string said = std::string(repair::IdOf(entry.verdict)) + " " +
                         std::string(repair::IdOf(entry.evidence));
      if (!entry.subject.empty()) said += " <" + entry.subject + ">";
      EXPECT_TRUE(judged.emplace(entry.Path(), said).second) << entry.Path() << " twice";
      EXPECT_EQ(repair::VerdictOf(entry.evidence), entry.verdict) << entry.Path();
    }
  }
  EXPECT_EQ(judged, c.judged);
  // The leftovers are the virus's root entries and its files inside a folder that stays; one
  // inside a folder of the virus's, or inside the folder that the virus moved the files into,
  // goes with that folder.
  const auto goesWithItsFolder = [&](const repair::Judged& inner) {
    const auto& f = layout->findings;
    return std::any_of(f.leftovers.begin(), f.leftovers.end(),
                       [&](const repair::Judged& one) { return one.Path() == inner.folder; }) ||
           std::any_of(f.judged.begin(), f.judged.end(), [&](const repair::Judged& one) {
             return one.Path() == inner.folder &&
                    one.evidence == repair::Evidence::kMovedFilesFolder;
           });
  };
  for (const repair::Judged& leftover : layout->findings.leftovers) {
    EXPECT_EQ(leftover.verdict, repair::Verdict::kVirus) << leftover.Path();
    EXPECT_TRUE(leftover.folder.empty() || !goesWithItsFolder(leftover)) << leftover.Path();
  }
  for (const repair::Judged& other : layout->findings.judged) {
    EXPECT_FALSE(other.verdict == repair::Verdict::kVirus &&
                 (other.folder.empty() || !goesWithItsFolder(other)))
        << other.Path();
  }

  const Snapshot before = stick.Drive();
  const auto cleaned = repair::Clean(*opened, &*layout);
  ASSERT_TRUE(cleaned);
  std::vector<std::string> removed;
  for (const auto& entry : cleaned->removed) removed.push_back(entry.Path());
  EXPECT_EQ(removed, c.removed);
  if (c.removed.empty()) {
    EXPECT_TRUE(memory.SectorsWritten().empty());
    EXPECT_TRUE(ChangedBytes(before, stick.Drive()).empty());
  }
}

const RulesCase kCases[] = {
    {"hiddenDocumentIsTheUsers",
     [](MemoryStick& s) {
       s.Add({.name = "Report.docx", .attributes = kHiddenFile, .bytes = Text("PK")});
       s.Add({.name = "notes.txt", .bytes = Text("mine")});
     },
     {{"Report.docx", "user hidden_document"}},
     {}},
    // A shortcut of the user's to a document on the stick runs nothing: neither is judged the
    // virus's.
    {"shortcutToADocumentIsNoEvidence",
     [](MemoryStick& s) {
       s.Add({.name = "Report.docx", .attributes = 0x22, .bytes = Text("PK")});
       s.Add({.name = "Notes.lnk",
              .bytes = ShortcutBytes({.localPath = "F:\\Report.docx", .driveType = 2})});
     },
     {{"Report.docx", "user hidden_document"}},
     {}},
    // Nor is a document that the virus's shortcut gives a script host.
    {"documentGivenToAHostStaysTheUsers",
     [](MemoryStick& s) {
       s.AddFolder("Photos", kHiddenFolder);
       s.Add({.name = "Photos.lnk", .bytes = Runs(kCmd, "/c start wscript Report.docx")});
       s.Add({.name = "Report.docx", .attributes = kHiddenFile, .bytes = Text("PK")});
     },
     {{"Photos.lnk", "virus shortcut_runs_host"}, {"Report.docx", "user hidden_document"}},
     {"Photos.lnk"}},
    // The worm's shortcut of a file starts the worm and then the document it hid.
    {"wormShortcutOfADocument",
     [](MemoryStick& s) {
       s.Add({.name = "Report.docx", .attributes = kHiddenFile, .bytes = Text("PK")});
       s.Add(
           {.name = "Report.lnk", .bytes = Runs(kCmd, "/c start sys.vbs&start Report.docx&exit")});
       s.Add({.name = "sys.vbs", .attributes = kHiddenFile, .bytes = Text("WScript")});
     },
     {{"Report.docx", "user disguise <Report.lnk>"},
      {"Report.lnk", "virus shortcut_runs_host"},
      {"sys.vbs", "virus named_by_shortcut <Report.lnk>"}},
     {"Report.lnk", "sys.vbs"}},
    {"folderShortcutStartsAHiddenScript",
     [](MemoryStick& s) {
       s.AddFolder("Photos", kHiddenFolder);
       s.Add({.name = "Photos.lnk", .bytes = Runs(kCmd, "/c start x.vbs & start explorer Photos")});
       s.Add({.name = "x.vbs", .attributes = kHiddenFile, .bytes = Text("WScript")});
     },
     {{"Photos", "user disguise <Photos.lnk>"},
      {"Photos.lnk", "virus shortcut_runs_host"},
      {"x.vbs", "virus named_by_shortcut <Photos.lnk>"}},
     {"Photos.lnk", "x.vbs"}},
    {"folderShortcutRunsTheScriptHost",
     [](MemoryStick& s) {
       s.AddFolder("Work", kHiddenFolder);
       s.Add({.name = "Work.lnk", .bytes = Runs("C:\\Windows\\System32\\wscript.exe", "x.js")});
       s.Add({.name = "x.js", .attributes = kHiddenFile, .bytes = Text("WScript")});
     },
     {{"Work.lnk", "virus shortcut_runs_host"}, {"x.js", "virus named_by_shortcut <Work.lnk>"}},
     {"Work.lnk", "x.js"}},
    {"autorunRunsHiddenPrograms",
     [](MemoryStick& s) {
       s.Add({.name = "autorun.inf",
              .attributes = 0x27,
              .bytes = Text("[AutoRun]\r\nopen=sys.exe\r\n ShellExecute = go.exe \r\n"
                            "icon=sys.exe,0\r\n")});
       s.Add({.name = "sys.exe", .attributes = kHiddenFile, .bytes = Text("MZ")});
       s.Add({.name = "go.exe", .attributes = kHiddenFile, .bytes = Text("MZ")});
     },
     {{"autorun.inf", "virus autorun <open=sys.exe>"},
      {"sys.exe", "virus named_by_autorun <open=sys.exe>"},
      {"go.exe", "virus named_by_autorun <ShellExecute = go.exe>"}},
     {"autorun.inf", "sys.exe", "go.exe"}},
    // A folder named as Windows' recycle bin that holds the program autorun.inf runs.
    {"autorunRunsAProgramInARecyclerImpostor",
     [](MemoryStick& s) {
       s.Add({.name = "autorun.inf",
              .bytes = Text("[autorun]\r\nshell\\open\\command=RECYCLER\\x.exe\r\n")});
       const auto recycler = s.AddFolder("RECYCLER", kHiddenFolder);
       s.Add({.name = "x.exe", .attributes = kHiddenFile, .bytes = Text("MZ")}, &recycler);
     },
     {{"autorun.inf", "virus autorun <shell\\open\\command=RECYCLER\\x.exe>"},
      {"RECYCLER", "virus folder_impostor <x.exe>"},
      {"RECYCLER\\x.exe", "virus named_by_autorun <shell\\open\\command=RECYCLER\\x.exe>"}},
     {"autorun.inf", "RECYCLER"}},
    // A folder that the virus runs a program in is the virus's, unless it holds a folder of the
    // user's (one not named as a recycle bin's S-1-5-... folders).
    {"folderRunFromHoldingAUsersFolderStays",
     [](MemoryStick& s) {
       s.Add({.name = "autorun.inf",
              .bytes = Text("[autorun]\r\nopen=Tools\\go.exe\r\nshellexecute=Bin\\run.exe\r\n")});
       const auto tools = s.AddFolder("Tools", kHiddenFolder);
       s.Add({.name = "go.exe", .attributes = kHiddenFile, .bytes = Text("MZ")}, &tools);
       s.AddFolder("Holiday", 0x10, &tools);
       const auto bin = s.AddFolder("Bin", kHiddenFolder);
       s.Add({.name = "run.exe", .attributes = kHiddenFile, .bytes = Text("MZ")}, &bin);
       s.AddFolder("S-1-5-21-1", 0x16, &bin);
     },
     {{"autorun.inf", "virus autorun <open=Tools\\go.exe>"},
      {"Tools\\go.exe", "virus named_by_autorun <open=Tools\\go.exe>"},
      {"Bin", "virus folder_run_from <shellexecute=Bin\\run.exe>"},
      {"Bin\\run.exe", "virus named_by_autorun <shellexecute=Bin\\run.exe>"}},
     {"autorun.inf", "Bin", "Tools\\go.exe"}},
    // An autorun.inf that only names the drive's icon runs nothing.
    {"autorunWithAnIconOnlyIsTheUsers",
     [](MemoryStick& s) {
       s.Add({.name = "autorun.inf",
              .attributes = 0x27,
              .bytes = Text("[autorun]\r\nicon=stick.ico\r\nlabel=Mine\r\n")});
     },
     {{"autorun.inf", "user autorun_icon_only"}},
     {}},
    // What lies past autorun.inf's end in its last sector is none of its text.
    {"autorunSlackIsNotRead",
     [](MemoryStick& s) {
       const std::string text = "[autorun]\r\nicon=stick.ico\r\n";
       s.Add({.name = "autorun.inf",
              .attributes = 0x27,
              .bytes = Text(text + "open=go.exe\r\n"),
              .size = text.size()});
       s.Add({.name = "go.exe", .attributes = kHiddenFile, .bytes = Text("MZ")});
     },
     {{"autorun.inf", "user autorun_icon_only"}, {"go.exe", "unsure hidden_program"}},
     {}},
    {"vaccineFolder",
     [](MemoryStick& s) { s.AddFolder("autorun.inf", 0x17); },
     {{"autorun.inf", "vaccine vaccine_folder"}},
     {}},
    // The reserved attribute bit marks a vaccine: what it says is not read.
    {"vaccineFile",
     [](MemoryStick& s) {
       s.Add({.name = "autorun.inf", .attributes = 0x67, .bytes = Text("[autorun]\r\nopen=v.exe")});
       s.Add({.name = "v.exe", .bytes = Text("MZ")});
     },
     {{"autorun.inf", "vaccine vaccine_file"}},
     {}},
    {"systemsOwnThings",
     [](MemoryStick& s) {
       s.AddFolder("System Volume Information", kHiddenFolder);
       s.AddFolder("$RECYCLE.BIN", kHiddenFolder);
       s.AddFolder(".Trashes", 0x12);
       s.Add({.name = "._Report.docx", .attributes = 0x22, .bytes = Text("mac")});
       s.Add({.name = "desktop.ini", .attributes = kHiddenFile, .bytes = Text("[.Shell")});
     },
     {{"System Volume Information", "system windows_folder"},
      {"$RECYCLE.BIN", "system windows_folder"},
      {".Trashes", "system other_system_folder"},
      {"._Report.docx", "system other_system_file"},
      {"desktop.ini", "system other_system_file"}},
     {}},
    // A hidden program that nothing runs is unsure and stays; a visible one named autorun.exe is
    // not judged at all.
    {"nameAloneIsNoEvidence",
     [](MemoryStick& s) {
       s.Add({.name = "svchost.exe", .attributes = kHiddenFile, .bytes = Text("MZ")});
       s.Add({.name = "autorun.exe", .attributes = kPlainFile, .bytes = Text("MZ")});
       s.Add({.name = "helper.vbs", .attributes = kHiddenFile, .bytes = Text("WScript")});
     },
     {{"svchost.exe", "unsure hidden_program"}, {"helper.vbs", "unsure hidden_program"}},
     {}},
    // conhost hosts a command line after its options (some with a value); explorer runs a script
    // that it is given, and a folder that it opens, or a script that it only selects, runs nothing.
    {"consoleHostAndExplorer",
     [](MemoryStick& s) {
       constexpr const char* kExplorer = "C:\\Windows\\explorer.exe";
       s.AddFolder("Lectures", kHiddenFolder);
       s.Add({.name = "Lectures.lnk",
              .bytes =
                  Runs("conhost.exe", "--width 80 cmd /c start lec.js&start explorer Lectures")});
       s.Add({.name = "Scans.lnk", .bytes = Runs(kExplorer, "/e, upd.js")});
       s.AddFolder("Archive", kHiddenFolder);
       s.Add({.name = "Archive.lnk", .bytes = Runs(kExplorer, "\"Archive\"")});
       s.Add({.name = "Where.lnk", .bytes = Runs(kExplorer, "/select,keep.vbs")});
       for (const char* name : {"lec.js", "upd.js", "keep.vbs"}) {
         s.Add({.name = name, .attributes = kHiddenFile, .bytes = Text("WScript")});
       }
     },
     {{"Lectures", "user disguise <Lectures.lnk>"},
      {"Lectures.lnk", "virus shortcut_runs_host"},
      {"lec.js", "virus named_by_shortcut <Lectures.lnk>"},
      {"Scans.lnk", "virus shortcut_runs_host"},
      {"upd.js", "virus named_by_shortcut <Scans.lnk>"},
      {"keep.vbs", "unsure hidden_program"}},
     {"Lectures.lnk", "Scans.lnk", "lec.js", "upd.js"}},
    // regsvr32's /i: names the scriptlet that scrobj.dll runs (a path from the drive's root); no
    // document of the user's. forfiles runs its /c command, where 0xHH is a character and @path
    // the file of its mask, none of this drive's in a folder of another drive.
    {"scriptletAndForfiles",
     [](MemoryStick& s) {
       constexpr const char* kForfiles = "C:\\Windows\\System32\\forfiles.exe";
       s.Add({.name = "Pics.lnk", .bytes = Runs("regsvr32", "-s /n /i:\\pics.sct scrobj.dll")});
       s.Add({.name = "pics.sct", .attributes = kHiddenFile, .bytes = Text("<scriptlet>")});
       s.AddFolder("Docs", kHiddenFolder);
       s.Add({.name = "Docs.lnk",
              .bytes = Runs(kForfiles,
                            "/p C:\\Windows /m notepad.exe /c "
                            "\"cmd /c start 0x22d.vbs0x22 0x26 start explorer Docs\"")});
       s.Add({.name = "d.vbs", .attributes = kHiddenFile, .bytes = Text("WScript")});
       s.Add({.name = "Nightly.lnk",
              .bytes = Runs(kForfiles, "/p C:\\Tools /m backup.bat /c \"cmd /c @path\"")});
       s.Add({.name = "backup.bat", .bytes = Text("xcopy")});
     },
     {{"Pics.lnk", "virus shortcut_runs_host"},
      {"pics.sct", "virus named_by_shortcut <Pics.lnk>"},
      {"Docs", "user disguise <Docs.lnk>"},
      {"Docs.lnk", "virus shortcut_runs_host"},
      {"d.vbs", "virus named_by_shortcut <Docs.lnk>"}},
     {"Pics.lnk", "pics.sct", "Docs.lnk", "d.vbs"}},
    // The interpreter's carets and quotes are undone as it undoes them: outside quotes only, so
    // a document's name with a caret, between quotes, is still the disguise.
    {"interpreterEscapesAreUndone",
     [](MemoryStick& s) {
       s.AddFolder("Work", kHiddenFolder);
       s.Add({.name = "Work.lnk",
              .bytes = Runs(kCmd,
                            "/c c^m^d /c s^t^a^r^t w^s^c^r^i^p^t w.vbs&\"s\"ta\"\"rt "
                            "\"w\"s\"cript\" x.vbs&start explorer W^o^r^k^")});
       s.Add({.name = "w.vbs", .attributes = kHiddenFile, .bytes = Text("WScript")});
       s.Add({.name = "x.vbs", .attributes = kHiddenFile, .bytes = Text("WScript")});
       s.Add({.name = "Q^3.docx", .attributes = kHiddenFile, .bytes = Text("PK")});
       s.Add({.name = "Q^3.lnk", .bytes = Runs(kCmd, "/c s^tart q^&x.js&start \"Q^3.docx\"")});
       s.Add({.name = "q&x.js", .attributes = kHiddenFile, .bytes = Text("WScript")});
     },
     {{"Work", "user disguise <Work.lnk>"},
      {"Work.lnk", "virus shortcut_runs_host"},
      {"w.vbs", "virus named_by_shortcut <Work.lnk>"},
      {"x.vbs", "virus named_by_shortcut <Work.lnk>"},
      {"Q^3.docx", "user disguise <Q^3.lnk>"},
      {"Q^3.lnk", "virus shortcut_runs_host"},
      {"q&x.js", "virus named_by_shortcut <Q^3.lnk>"}},
     {"Work.lnk", "w.vbs", "x.vbs", "Q^3.lnk", "q&x.js"}},
    // A program information file is read as a shortcut: one that starts a script host on a
    // hidden script is the virus's, with the script; one that starts a program of the PC is the
    // user's; one cut short is judged by its name.
    {"programInformationFiles",
     [](MemoryStick& s) {
       s.AddFolder("Fotos 2024", kHiddenFolder);
       s.Add({.name = "Fotos 2024.pif",
              .bytes = PifBytes("C:\\WINDOWS\\SYSTEM32\\WSCRIPT.EXE", "//B ~df1.vbs")});
       s.Add({.name = "~df1.vbs", .attributes = kHiddenFile, .bytes = Text("WScript")});
       s.Add({.name = "edit.pif", .bytes = PifBytes("C:\\DOS\\EDIT.COM", "NOTES.TXT")});
       s.Add({.name = "cut.pif", .bytes = Bytes(0x100, 0)});
     },
     {{"Fotos 2024.pif", "virus shortcut_runs_host"},
      {"~df1.vbs", "virus named_by_shortcut <Fotos 2024.pif>"}},
     {"Fotos 2024.pif", "~df1.vbs"}},
    // PowerShell's -EncodedCommand by any prefix (after -, / or an en dash; base64 of UTF-16LE)
    // and -Command are read as PowerShell reads them: Start-Process and saps with their
    // parameters, ii, the call operator with $pwd, a host given a quoted command line. What does
    // not decode to text is not read at all.
    {"powerShellCommands",
     [](MemoryStick& s) {
       constexpr const char* kPowerShell =
           "C:\\Windows\\System32\\WindowsPowerShell\\v1.0\\powershell.exe";
       s.AddFolder("Photos", kHiddenFolder);
       s.Add({.name = "Photos.lnk",
              .bytes = Runs(kPowerShell, "-NoP -W Hidden -eNc " +
                                             EncodedCommand("Start-Process -WindowStyle Hidden "
                                                            "-FilePath wscript -ArgumentList "
                                                            "'//B','~p.vbs'; ii Photos"))});
       s.Add({.name = "Report.docx", .attributes = kHiddenFile, .bytes = Text("PK")});
       s.Add({.name = "Report.lnk",
              .bytes = Runs(
                  "C:\\Program Files\\PowerShell\\7\\pwsh.exe",
                  "-nologo \u2013ec " + EncodedCommand("& \"$pwd\\r.exe\"\nsaps 'Report.docx'"))});
       s.Add({.name = "Notes.docx", .attributes = kHiddenFile, .bytes = Text("PK")});
       s.Add({.name = "Notes.lnk",
              .bytes = Runs(kPowerShell, "/w hidden -c \"cmd /c 'start n.js&start Notes.docx'\"")});
       std::string cut = EncodedCommand("start .\\s.vbs");
       s.Add({.name = "Scan.lnk", .bytes = Runs(kPowerShell, "-enc " + cut.insert(8, "*"))});
       s.Add({.name = "Fax.lnk", .bytes = Runs(kPowerShell, "-e QUJD")});  // "ABC": no UTF-16
       for (const char* name : {"~p.vbs", "r.exe", "n.js", "s.vbs"}) {
         s.Add({.name = name, .attributes = kHiddenFile, .bytes = Text("WScript")});
       }
     },
     {{"Photos", "user disguise <Photos.lnk>"},
      {"Photos.lnk", "virus shortcut_runs_host"},
      {"~p.vbs", "virus named_by_shortcut <Photos.lnk>"},
      {"Report.docx", "user disguise <Report.lnk>"},
      {"Report.lnk", "virus shortcut_runs_host"},
      {"r.exe", "virus named_by_shortcut <Report.lnk>"},
      {"Notes.docx", "user disguise <Notes.lnk>"},
      {"Notes.lnk", "virus shortcut_runs_host"},
      {"n.js", "virus named_by_shortcut <Notes.lnk>"},
      {"Scan.lnk", "unsure shortcut_host_unknown"},
      {"Fax.lnk", "unsure shortcut_host_unknown"},
      {"s.vbs", "unsure hidden_program"}},
     {"Photos.lnk", "Report.lnk", "Notes.lnk", "~p.vbs", "r.exe", "n.js"}},
    // Programs named like the hidden folders beside them that are one program under several
    // names are the folder disguise worm's copies; a lone one named like a folder may be the
    // user's own (a backup script beside its folder): it stays, listed.
    {"programsNamedLikeFolders",
     [](MemoryStick& s) {
       const Bytes worm = Text("MZ\x90 one worm");
       s.AddFolder("Photos", kHiddenFolder);
       s.AddFolder("tesis 2025", kHiddenFolder);
       s.Add({.name = "tesis 2025.exe", .bytes = worm});
       s.Add({.name = "Photos.exe", .bytes = worm});
       s.AddFolder("Backup", 0x10);
       s.Add({.name = "backup.bat", .bytes = Text("xcopy /s C:\\Users Backup")});
       s.AddFolder("Music", kHiddenFolder);
       s.Add({.name = "Music.scr", .bytes = Text("MZ another")});
     },
     {{"Photos.exe", "virus identical_copies <tesis 2025.exe>"},
      {"tesis 2025.exe", "virus identical_copies <Photos.exe>"},
      {"backup.bat", "unsure program_like_folder <Backup>"},
      {"Music.scr", "unsure program_like_folder <Music>"}},
     {"tesis 2025.exe", "Photos.exe"}},
};

INSTANTIATE_TEST_SUITE_P(Rules, VerdictRulesTest,
                         ::testing::Combine(::testing::Values(Kind::kFat32, Kind::kExfat),
                                            ::testing::ValuesIn(kCases)),
                         KindTestName());

// The folder that the worm moved the root into is judged whole however many entries it holds:
// 4,600 files (over 256 KiB of entries, in clusters far apart), the worm's desktop.ini last.
TEST(VerdictRulesWholeTest, AMovedFilesFolderIsJudgedToItsLastEntry) {
  MemoryVolume memory;
  ScopedBackend scoped{memory};
  MemoryStick stick(memory, Kind::kFat32);
  auto moved = stick.AddFolder("_", kHiddenFolder);
  std::uint32_t next = 4000;
  const auto add = [&](const MemoryStick::File& file) {
    try {
      stick.Add(file, &moved);
    } catch (const std::length_error&) {
      stick.GrowFolder(moved, next += 3);
      stick.Add(file, &moved);
    }
  };
  // Two entries each, a long name and a short one, so that every cluster is filled to its end.
  constexpr int kFiles = 4600;
  for (int n = 0; n < kFiles; ++n) add({.name = "Inf " + std::to_string(1000 + n) + ".doc"});
  add({.name = "desktop.ini", .attributes = kHiddenFile, .bytes = Text("[.ShellClassInfo]")});
  ASSERT_GT(moved.clusters.size() * stick.ClusterBytes(), std::size_t{256} << 10);
  auto opened = OpenDrive();
  ASSERT_TRUE(opened);
  const auto layout = repair::Analyse(*opened);
  ASSERT_TRUE(layout);
  std::map<std::string, const repair::Judged*> judged;
  for (const repair::Judged& entry : layout->findings.judged) judged[entry.Path()] = &entry;
  ASSERT_TRUE(judged.count("_"));
  EXPECT_EQ(judged["_"]->evidence, repair::Evidence::kMovedFilesFolder);
  EXPECT_EQ(judged["_"]->files, kFiles + 1);
  ASSERT_TRUE(judged.count("_\\desktop.ini"));
  EXPECT_EQ(judged["_\\desktop.ini"]->verdict, repair::Verdict::kVirus);
}

TEST(VerdictInputsTest, DocumentsAreKnownByTheirLastExtension) {
  for (const char* name :
       {"Report.docx", "PHOTO.JPG", "a.b.pdf", "notes.txt", "song.mp3", "backup.7z"}) {
    EXPECT_TRUE(repair::IsDocument(name)) << name;
  }
  for (const char* name :
       {"Report.docx.exe", "docx", "Report", "Report.docx ", "x.lnk", "x.vbs", "txt.scr"}) {
    EXPECT_FALSE(repair::IsDocument(name)) << name;
  }
}

// autorun.inf's lines that run something, whatever its text's encoding: open=, shellexecute= and
// shell\VERB\command=, in any case and with blanks around; icon=, label= and the like run nothing.
TEST(VerdictInputsTest, AutorunRunLinesInEveryEncoding) {
  const std::string text =
      "[AutoRun]\r\nicon=x.ico\r\n  OPEN = a.exe \r\nlabel=Stick\nshellexecute=b.exe\n"
      "shell\\Explore\\Command=c.exe\r\nuseAutoPlay=1\r\nshell\\open=Open\r\nopen\r\n";
  const std::vector<std::string> lines = {"OPEN = a.exe", "shellexecute=b.exe",
                                          "shell\\Explore\\Command=c.exe"};
  EXPECT_EQ(repair::AutorunRunLines(Text(text)), lines);
  EXPECT_EQ(repair::AutorunRunLines(Text("\xEF\xBB\xBF" + text)), lines);
  Bytes utf16 = {0xFF, 0xFE};
  for (const char c : text) utf16.insert(utf16.end(), {static_cast<std::uint8_t>(c), 0});
  EXPECT_EQ(repair::AutorunRunLines(utf16), lines);
  EXPECT_TRUE(repair::AutorunRunLines({}).empty());
}

}  // namespace
}  // namespace kestrova::testing
