// SPDX-License-Identifier: GPL-3.0-or-later
// The Windows zip as a user gets it: unpacked by unzip into a fresh folder, its programs run from
// there under Wine (in a prefix of their own: this suite runs in a process of its own), its
// read-mes and the programs' resources read from the unpacked files.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <sstream>

#include "project_info.h"
#include "wine_session.h"

namespace kestrova::testing::wine {
namespace {

// The zip, unpacked once for all the tests of this file.
std::string Unpacked(const std::string& name = "") {
  static TempDir folder;
  static const auto unpacked =
      Run("unzip -q " + Quote(KESTROVA_WIN_ZIP) + " -d " + Quote(folder.path().string()), true);
  EXPECT_EQ(unpacked.status, 0) << KESTROVA_WIN_ZIP << ": " << unpacked.output;
  return (folder / name).string();
}

// The names in the unpacked folder: the zip's, and whatever the programs wrote beside themselves.
std::set<std::string> UnpackedNames() {
  std::set<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(Unpacked())) {
    names.insert(entry.path().filename().string());
  }
  return names;
}
// The programs, the licence, the read-mes in English and Chinese, and one in each language of
// po/ (README.LANG.txt).
std::set<std::string> ZipFiles() {
  std::set<std::string> files{"Kestrova.exe", "kestrova-cli.exe", "kestrova-guard.exe",
                              "LICENSE",      "README.txt",       "说明.txt"};
  for (const auto& entry : std::filesystem::directory_iterator(KESTROVA_SOURCE_DIR "/po")) {
    if (entry.path().extension() == ".po") {
      files.insert("README." + entry.path().stem().string() + ".txt");
    }
  }
  return files;
}
const std::set<std::string> kZipFiles = ZipFiles();

// The prefix's registry as the server saves it when it ends, without what Wine itself writes on
// its own: the times at which it saved each key and the display driver's date.
std::vector<std::string> Registry(const Session& session) {
  Run(session.Env() + " wineserver -w", true);
  std::vector<std::string> lines;
  for (const char* file : {"user.reg", "system.reg"}) {
    std::ifstream in(session.Prefix() / file);
    for (std::string line; std::getline(in, line);) {
      if (line.starts_with("#time=") || line.starts_with("\"DriverDateData\"=")) continue;
      if (line.starts_with("[")) line.erase(line.rfind(']') + 1);
      lines.push_back(line);
    }
  }
  return lines;
}

std::string Text(const std::string& file) {
  const auto bytes = ReadBytes(file);
  return {bytes.begin(), bytes.end()};
}

TEST(Zip, HoldsTheProgramsTheLicenceAndReadMesForNotepad) {
  EXPECT_EQ(UnpackedNames(), kZipFiles);
  EXPECT_EQ(Text(Unpacked("LICENSE")), Text(KESTROVA_SOURCE_DIR "/LICENSE"));

  // Each command of the help's list with its operands ("undo JOURNAL TARGET", "journals
  // [TARGET]" without the brackets of an operand that may be left out).
  const auto help = Session::Get().Wine(Unpacked("kestrova-cli.exe"), "--help");
  ASSERT_EQ(help.status, 0);
  std::map<std::string, std::string> operands;
  std::istringstream lines(help.output);
  std::smatch match;
  const std::regex listed("^  ([a-z]+)((?: \\[?[A-Z]+\\]?)*)(  |\r?$)");
  for (std::string line; std::getline(lines, line);) {
    if (!std::regex_search(line, match, listed)) continue;
    operands[match[1]] = std::regex_replace(match[2].str(), std::regex("[\\[\\]]"), "");
  }
  ASSERT_EQ(operands["undo"], " JOURNAL TARGET") << help.output;

  const std::regex shown("kestrova-cli ([a-z]+)((?: [A-Z]+:?)*)");
  for (const char* name : {"README.txt", "说明.txt"}) {
    SCOPED_TRACE(name);
    const std::string text = Text(Unpacked(name));
    // A byte-order mark and CR LF line ends, every one: Notepad then reads UTF-8 on any system.
    EXPECT_TRUE(text.starts_with("\xEF\xBB\xBF"));
    EXPECT_TRUE(text.ends_with("\r\n"));
    EXPECT_EQ(std::regex_replace(text, std::regex("\r\n"), "").find_first_of("\r\n"),
              std::string::npos);
    for (const std::string said : {"Kestrova " KESTROVA_VERSION_TEXT, KESTROVA_HOMEPAGE_URL_TEXT,
                                   "%LOCALAPPDATA%\\Kestrova\\",
                                   "kestrova-cli journals F:", "kestrova-cli undo JOURNAL F:"}) {
      EXPECT_NE(text.find(said), std::string::npos) << said;
    }
    // Every command that the text shows is one of the help's, with its operands, F: for TARGET.
    for (auto at = std::sregex_iterator(text.begin(), text.end(), shown);
         at != std::sregex_iterator(); ++at) {
      const auto& command = *at;
      ASSERT_TRUE(operands.count(command[1])) << command[0];
      EXPECT_EQ(std::regex_replace(command[2].str(), std::regex(" F:"), " TARGET"),
                operands[command[1]])
          << command[0];
    }
  }
}

TEST(Zip, ProgramsRunFromTheUnpackedFolder) {
  ExpectVersionRecord(Unpacked("Kestrova.exe"), "Kestrova.exe");
  ExpectVersionRecord(Unpacked("kestrova-cli.exe"), "kestrova-cli.exe");
  ExpectManifest(Unpacked("Kestrova.exe"), Rights::kAdministrator);
  ExpectManifest(Unpacked("kestrova-cli.exe"), Rights::kCaller);
  ExpectVersionRecord(Unpacked("kestrova-guard.exe"), "kestrova-guard.exe");
  ExpectManifest(Unpacked("kestrova-guard.exe"), Rights::kCaller);

  Session& session = Session::Get();
  const auto version = session.Wine(Unpacked("kestrova-cli.exe"), "--version");
  EXPECT_EQ(version.status, 0);
  EXPECT_TRUE(version.output.starts_with("kestrova-cli " KESTROVA_VERSION_TEXT "\r\n"))
      << version.output;
  EXPECT_NE(version.output.find("\r\nLicense " KESTROVA_LICENSE_TEXT ": "), std::string::npos)
      << version.output;

  TempDir scratch;
  const auto made = MakeInfectedImage(scratch / "made.img");
  session.UseImage(scratch / "made.img");
  const auto scan = session.Wine(Unpacked("kestrova-cli.exe"), "scan --utf8 F:");
  EXPECT_EQ(scan.status, 0);
  for (const auto& name : made.infected) {
    EXPECT_NE(scan.output.find("\t" + name + "\t"), std::string::npos) << name << scan.output;
  }

  constexpr const char* kStartMs = "30000";
  constexpr const char* kCloseMs = "20000";
  const auto registry = Registry(session);
  Background window(session.Env() + " wine " + Quote(Unpacked("Kestrova.exe")) + " 2>/dev/null");
  const auto started = session.Wine(ProbeExe(), std::string("window ") + kStartMs);
  ASSERT_EQ(started.status, 0) << started.output;
  const auto closed = session.Wine(ProbeExe(), std::string("close ") + kCloseMs);
  EXPECT_NE(closed.output.find("closed"), std::string::npos) << closed.output;
  EXPECT_EQ(window.Wait(), 0);
  // Portable: nothing written beside the programs, nor to the registry (only the guard writes
  // there, and only when asked to start at logon).
  EXPECT_EQ(UnpackedNames(), kZipFiles);
  const auto after = Registry(session);
  const auto differs = std::mismatch(registry.begin(), registry.end(), after.begin(), after.end());
  EXPECT_TRUE(differs.first == registry.end() && differs.second == after.end())
      << "the registry changed at: " << (differs.second == after.end() ? "<end>" : *differs.second);
}

}  // namespace
}  // namespace kestrova::testing::wine
