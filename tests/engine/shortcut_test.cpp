// SPDX-License-Identifier: GPL-3.0-or-later
// The shortcut parser against lnkinfo (liblnk) on shortcuts that the tests' own writer makes:
// what lnkinfo reads from them, the parser reads too; a cut shortcut has no target.
#include <gtest/gtest.h>

#include <fstream>
#include <regex>
#include <string>
#include <utility>
#include <vector>

#include "fat_tools.h"
#include "format/shell_link.h"
#include "repair/verdicts.h"
#include "shortcut_writer.h"

namespace kestrova::testing {
namespace {

// What lnkinfo printed: each "key : value" line in order.
using Fields = std::vector<std::pair<std::string, std::string>>;

// lnkinfo on the bytes of a shortcut.
Fields LnkInfo(const std::vector<std::uint8_t>& bytes, int& status) {
  TempDir dir;
  const auto file = dir / "link.lnk";
  std::ofstream(file, std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()),
             static_cast<std::streamsize>(bytes.size()));
  const auto run = Run("lnkinfo " + Quote(file.string()), true);
  status = run.status;
  static const std::regex line(R"(^\t+([^\t:][^:]*?)\t*: ?(.*)$)");
  Fields fields;
  std::istringstream lines(run.output);
  for (std::string text; std::getline(lines, text);) {
    std::smatch match;
    if (std::regex_match(text, match, line)) fields.emplace_back(match[1], match[2]);
  }
  return fields;
}

std::string Field(const Fields& fields, const std::string& key) {
  for (const auto& [name, value] : fields) {
    if (name == key) return value;
  }
  return {};
}

// The path that lnkinfo's shell items name: the volume, then each file entry's long name (its
// name when it has none).
std::string ItemPath(const Fields& fields) {
  std::vector<std::string> parts;
  for (const auto& [key, value] : fields) {
    if (key == "Volume name" || key == "Name") parts.push_back(value);
    if (key == "Long name") parts.back() = value;
  }
  std::string path;
  for (const std::string& part : parts) {
    path += (path.empty() || path.back() == '\\' ? "" : "\\") + part;
  }
  return path;
}

// Realistic shortcuts, by name.
const std::pair<const char*, Shortcut> kCases[] = {
    {"hostWithArguments",
     {.idList = {"C:\\", "Windows", "System32", "cmd.exe"},
      .localPath = "C:\\Windows\\System32\\cmd.exe",
      .unicodeLocalPath = true,
      .driveSerial = 0x5C3A19E2,
      .relativePath = "..\\..\\..\\Windows\\System32\\cmd.exe",
      .arguments = "/c start x.vbs & start explorer Photos",
      .iconLocation = "%SystemRoot%\\System32\\shell32.dll",
      .environmentPath = "%windir%\\system32\\cmd.exe"}},
    {"programOnTheDrive",
     {.idList = {"F:\\", "RECYCLER", "x.exe"},
      .localPath = "F:\\RECYCLER\\x.exe",
      .driveSerial = 0x1234ABCD,
      .driveType = 2,
      .name = "Work",
      .workingDirectory = "F:\\RECYCLER",
      .unicode = false}},
    {"document",
     {.idList = {"C:\\", "Users", "me", "Documents", "notes.txt"},
      .localPath = "C:\\Users\\me\\Documents\\notes.txt",
      .name = "My notes",
      .relativePath = "..\\..\\Users\\me\\Documents\\notes.txt",
      .workingDirectory = "C:\\Users\\me\\Documents"}},
    {"idListOnly", {.idList = {"F:\\", "资料", "报告.exe"}}},
};

TEST(ShortcutTest, ParserReadsWhatLnkinfoReads) {
  for (const auto& [name, written] : kCases) {
    SCOPED_TRACE(name);
    const auto bytes = ShortcutBytes(written);
    int status = -1;
    const Fields fields = LnkInfo(bytes, status);
    ASSERT_EQ(status, 0) << "lnkinfo (liblnk-utils) must be installed";
    const auto link = repair::ParseShellLink(bytes);
    ASSERT_TRUE(link.has_value());
    for (const auto& [text, key] : {std::pair{&link->localPath, "Local path"},
                                    {&link->name, "Description"},
                                    {&link->relativePath, "Relative path"},
                                    {&link->workingDirectory, "Working directory"},
                                    {&link->arguments, "Command line arguments"},
                                    {&link->iconLocation, "Icon location"},
                                    {&link->environmentPath, "Environment variables location"}}) {
      EXPECT_EQ(*text, Field(fields, key)) << key;
    }
    EXPECT_EQ(link->idListPath, ItemPath(fields));
    const std::string serial = Field(fields, "Drive serial number");
    EXPECT_EQ(link->driveSerial,
              serial.empty()
                  ? std::nullopt
                  : std::optional(static_cast<std::uint32_t>(std::stoul(serial, nullptr, 16))));
    // The oracle read what the writer meant.
    EXPECT_EQ(link->Target(), written.localPath.empty() ? link->idListPath : written.localPath);
    EXPECT_FALSE(link->Target().empty());
  }
}

// Cut anywhere inside its ID list, LinkInfo or strings, a shortcut has no target; lnkinfo refuses
// the same bytes.
TEST(ShortcutTest, CutShortcutHasNoTarget) {
  const auto whole = ShortcutBytes(kCases[0].second);
  for (const std::size_t length : {std::size_t{0}, std::size_t{0x40}, std::size_t{0x60},
                                   std::size_t{0x130}, whole.size() - 0x320}) {
    SCOPED_TRACE(length);
    const std::vector<std::uint8_t> cut(whole.begin(),
                                        whole.begin() + static_cast<std::ptrdiff_t>(length));
    EXPECT_FALSE(repair::ParseShellLink(cut).has_value());
    int status = -1;
    LnkInfo(cut, status);
    EXPECT_NE(status, 0);
  }
}

// autorun.inf as worms write it: junk around the lines, keys in mixed case, a section without its
// bracket, UTF-16 after a byte-order mark; only the lines that run something come out, trimmed.
TEST(AutorunTest, RunLinesInEveryEncodingAndCase) {
  const std::string text =
      ";junk\r\n[AUTorUN\r\n  ShellExecute = RuNdLl32.EXE .\\RECYCLER\\x.vmx,e \r\n"
      "icon=a.ico\r\nshell\\Open\\Command=sys.exe\nuseAutoPlay=1\r\nopen=";
  const std::vector<std::string> expected = {"ShellExecute = RuNdLl32.EXE .\\RECYCLER\\x.vmx,e",
                                             "shell\\Open\\Command=sys.exe", "open="};
  EXPECT_EQ(repair::AutorunRunLines(std::vector<std::uint8_t>(text.begin(), text.end())), expected);
  std::vector<std::uint8_t> utf16 = {0xFF, 0xFE};
  for (const char c : text) utf16.insert(utf16.end(), {static_cast<std::uint8_t>(c), 0});
  EXPECT_EQ(repair::AutorunRunLines(utf16), expected);
}

}  // namespace
}  // namespace kestrova::testing
