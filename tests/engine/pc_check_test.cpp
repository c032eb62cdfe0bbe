// SPDX-License-Identifier: GPL-3.0-or-later
// The PC's rules over a listing of startup places in memory: what each rule judges the virus's or
// unsure, what no rule takes (a user's own value, script and process, a name alone), the clean's
// plan, and the PC journal's codec.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "repair/pc_check.h"
#include "shortcut_writer.h"

namespace kestrova::repair {
namespace {

using volume::PcFile;

constexpr const char* kAppData = "C:\\Users\\ann\\AppData\\Roaming";
constexpr const char* kStartup =
    "C:\\Users\\ann\\AppData\\Roaming\\Microsoft\\Windows\\Start Menu\\Programs\\Startup";

std::vector<std::uint8_t> Bytes(const std::string& text) { return {text.begin(), text.end()}; }

// The worm's script as the stick holds it, and the PC's files by path (keys in lowercase).
const std::string kWorm = "' stand-in of a worm\r\nMsgBox \"worm\"\r\n";

class PcRulesTest : public ::testing::Test {
 protected:
  PcRulesTest() {
    listing_.supported = true;
    listing_.profileFolders = {"C:\\Users\\ann", kAppData, "C:\\Users\\ann\\AppData\\Local\\Temp"};
    listing_.windowsFolder = "C:\\Windows";
    listing_.environment = {{"APPDATA", kAppData}};
  }

  void File(const std::string& path, const std::string& text, bool hidden = false) {
    files_[Lower(path)] = PcFile{hidden, hidden ? 2u : 0u, Bytes(text), true};
  }
  void Run(const std::string& name, const std::string& command) {
    listing_.runValues.push_back({{}, name, volume::kValueString, {}, command});
  }
  PcEvidence StickHoldsWorm() const { return {{{"sys.vbs", Sha256Of(Bytes(kWorm))}}}; }

  std::vector<PcEntry> Judge(const PcEvidence& evidence, bool all = false) {
    return JudgePc(listing_, evidence, Reader(), all);
  }
  PcFileReader Reader() {
    return [this](const std::string& path) -> std::optional<PcFile> {
      const auto found = files_.find(Lower(path));
      if (found == files_.end()) return std::nullopt;
      return found->second;
    };
  }
  static std::string Lower(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
  }

  volume::StartupListing listing_;
  std::map<std::string, PcFile> files_;
};

// What each judged entry is, in order: its place's index, why, and the file the verdict is of.
std::vector<std::tuple<PcPlace, std::size_t, PcWhy, std::string>> Seen(
    const std::vector<PcEntry>& entries) {
  std::vector<std::tuple<PcPlace, std::size_t, PcWhy, std::string>> seen;
  for (const PcEntry& entry : entries)
    seen.emplace_back(entry.place, entry.index, entry.why, entry.file);
  return seen;
}

TEST_F(PcRulesTest, TheStickBytesMakeACopyTheVirusWhateverItsNameAndTheUsersOwnStayUnlisted) {
  const std::string copy = std::string(kAppData) + "\\winupd.vbs";
  File(copy, kWorm, true);
  File(std::string(kAppData) + "\\x.exe", "MZ worm program");
  File(std::string(kAppData) + "\\backup.vbs", "' the user's own backup script\r\n");
  File("C:\\Windows\\notepad.exe", "MZ notepad");
  Run("Update", "wscript.exe //B \"%APPDATA%\\winupd.vbs\"");
  Run("Helper", std::string("\"") + kAppData + "\\x.exe\" -silent");
  Run("Backup", std::string("wscript.exe ") + kAppData + "\\backup.vbs");
  Run("Notes", "C:\\Windows\\notepad.exe C:\\Users\\ann\\notes.txt");
  PcEvidence evidence = StickHoldsWorm();
  evidence.files.push_back({"autorun.exe", Sha256Of(Bytes("MZ worm program"))});
  const auto entries = Judge(evidence);
  EXPECT_EQ(Seen(entries),
            (decltype(Seen(entries)){
                {PcPlace::kRunValue, 0, PcWhy::kHostRunsCopy, copy},
                {PcPlace::kRunValue, 1, PcWhy::kSameBytes, std::string(kAppData) + "\\x.exe"}}));
  EXPECT_EQ(entries[0].subject, "sys.vbs");
  // Asked for, the user's own are listed as left alone.
  const auto all = Judge(evidence, true);
  ASSERT_EQ(all.size(), 4u);
  EXPECT_EQ(all[2].why, PcWhy::kNothing);
  EXPECT_EQ(all[3].why, PcWhy::kNothing);
}

TEST_F(PcRulesTest, ANameCountsOnlyInTheProfileAndOnlyHiddenMakesItTheVirus) {
  File(std::string(kAppData) + "\\sys.vbs", "' another version of it\r\n", true);
  File("C:\\Users\\ann\\AppData\\Local\\Temp\\sys.vbs", "' a user's script\r\n");
  File("D:\\Tools\\sys.vbs", "' a user's script elsewhere\r\n", true);
  // A script host's own bytes on the stick never make Windows' host the virus's.
  File("C:\\Windows\\System32\\wscript.exe", kWorm);
  Run("A", std::string("wscript ") + kAppData + "\\sys.vbs");
  Run("B", "cscript.exe C:\\Users\\ann\\AppData\\Local\\Temp\\sys.vbs");
  Run("C", "wscript.exe D:\\Tools\\sys.vbs");
  Run("D", "C:\\Windows\\System32\\wscript.exe");
  const auto entries = Judge(StickHoldsWorm());
  EXPECT_EQ(Seen(entries),
            (decltype(Seen(entries)){{PcPlace::kRunValue, 0, PcWhy::kNamedLikeHidden,
                                      std::string(kAppData) + "\\sys.vbs"},
                                     {PcPlace::kRunValue, 1, PcWhy::kNamedLikeVisible,
                                      "C:\\Users\\ann\\AppData\\Local\\Temp\\sys.vbs"}}));
  EXPECT_EQ(VerdictOf(entries[1].why), PcVerdict::kUnsure);
}

TEST_F(PcRulesTest,
       AHiddenScriptOfTheProfileIsUnsureAndTheFamiliesWayNeedsARunValueThroughWscript) {
  const std::string hidden = std::string(kAppData) + "\\helper.js";
  File(hidden, "// someone's hidden script\r\n", true);
  File(std::string(kAppData) + "\\visible.vbs", "' a visible script\r\n");
  Run("Helper", "wscript.exe \"" + hidden + "\"");
  Run("Visible", std::string("wscript.exe ") + kAppData + "\\visible.vbs");
  listing_.tasks.push_back(
      {"\\Helper", {"\"C:\\Windows\\System32\\wscript.exe\" " + hidden}, "<Task/>"});
  // With a stick's evidence that it does not match: unsure.
  auto entries = Judge(StickHoldsWorm());
  EXPECT_EQ(Seen(entries),
            (decltype(Seen(entries)){{PcPlace::kRunValue, 0, PcWhy::kHiddenScript, hidden},
                                     {PcPlace::kTask, 0, PcWhy::kHiddenScript, hidden}}));
  // Without any: the Run value through wscript is what the script worms' copies do; still unsure.
  entries = Judge({});
  EXPECT_EQ(Seen(entries),
            (decltype(Seen(entries)){{PcPlace::kRunValue, 0, PcWhy::kFamilyWay, hidden},
                                     {PcPlace::kTask, 0, PcWhy::kHiddenScript, hidden}}));
  EXPECT_TRUE(PlanPcClean(listing_, entries, Reader()).journal.changes.empty());
}

TEST_F(PcRulesTest, ShortcutsScriptsInStartupProcessesAndHostsCommandsAreFollowed) {
  const std::string copy = std::string(kAppData) + "\\svc.vbs";
  File(copy, kWorm, true);
  const std::string link = std::string(kStartup) + "\\Update.lnk";
  files_[Lower(link)] =
      PcFile{false, 0,
             testing::ShortcutBytes({.localPath = "C:\\Windows\\System32\\wscript.exe",
                                     .arguments = "\"%APPDATA%\\svc.vbs\""}),
             true};
  const std::string own = std::string(kStartup) + "\\Mail.lnk";
  files_[Lower(own)] = PcFile{
      false, 0, testing::ShortcutBytes({.localPath = "C:\\Program Files\\Mail\\mail.exe"}), true};
  const std::string dropped = std::string(kStartup) + "\\sys.vbs";
  File(dropped, kWorm, true);
  // The folder's own hidden settings, as a worm's folder on the stick holds them too: never run.
  const std::string settings = std::string(kStartup) + "\\desktop.ini";
  File(settings, "[.ShellClassInfo]\r\n", true);
  listing_.startupFiles = {{false, link}, {false, own}, {false, dropped}, {false, settings}};
  listing_.processes = {
      {40, "C:\\Windows\\System32\\wscript.exe", "wscript.exe \"" + copy + "\""},
      {41, "C:\\Windows\\System32\\cmd.exe",
       "cmd /c start " + copy + "&start explorer PHOTOS&exit"},
      {42, "C:\\Windows\\System32\\rundll32.exe", "rundll32.exe " + copy + ",DllMain"},
      {43, "C:\\Program Files\\Mail\\mail.exe", "mail.exe -tray"},
      {44, "C:\\Windows\\System32\\wscript.exe", ""}};
  PcEvidence evidence = StickHoldsWorm();
  evidence.files.push_back({"desktop.ini", Sha256Of(Bytes("[.ShellClassInfo]\r\n"))});
  const auto entries = Judge(evidence);
  EXPECT_EQ(Seen(entries),
            (decltype(Seen(entries)){{PcPlace::kStartupFile, 0, PcWhy::kHostRunsCopy, copy},
                                     {PcPlace::kStartupFile, 2, PcWhy::kHostRunsCopy, dropped},
                                     {PcPlace::kProcess, 0, PcWhy::kHostRunsCopy, copy},
                                     {PcPlace::kProcess, 1, PcWhy::kHostRunsCopy, copy},
                                     {PcPlace::kProcess, 2, PcWhy::kHostRunsCopy, copy}}));

  // The clean: the processes first, then the shortcut and the files, each file once.
  files_.erase(Lower(dropped));
  const PcPlan plan = PlanPcClean(listing_, entries, Reader());
  std::vector<std::pair<PcChange::Kind, std::string>> changes;
  for (const PcChange& change : plan.journal.changes)
    changes.emplace_back(change.kind, change.path);
  using Kind = PcChange::Kind;
  EXPECT_EQ(changes, (decltype(changes){{Kind::kProcess, "C:\\Windows\\System32\\wscript.exe"},
                                        {Kind::kProcess, "C:\\Windows\\System32\\cmd.exe"},
                                        {Kind::kProcess, "C:\\Windows\\System32\\rundll32.exe"},
                                        {Kind::kFile, link},
                                        {Kind::kFile, copy}}));
  EXPECT_EQ(plan.left, std::vector<std::string>{dropped});
  EXPECT_EQ(plan.journal.changes[4].file.bytes, Bytes(kWorm));
}

TEST(PcJournalTest, KeepsEveryChangeAndRefusesCutOrChangedBytes) {
  PcJournal journal;
  PcChange value{PcChange::Kind::kRunValue, {}, {}, {}, {}, 0, PcWhy::kHostRunsCopy, "sys.vbs"};
  value.value = {{volume::RegistryRoot::kLocalMachine, true, true},
                 "Update",
                 volume::kValueExpandString,
                 {'a', 0, 0, 0},
                 "a"};
  PcChange file{PcChange::Kind::kFile,
                {},
                "C:\\Users\\ann\\sys.vbs",
                {true, 0x22, Bytes(kWorm), true},
                {},
                0,
                PcWhy::kSameBytes,
                "sys.vbs"};
  PcChange task{PcChange::Kind::kTask,       {}, "\\Update",           {},
                "<Task>\u4efb\u52a1</Task>", 0,  PcWhy::kHostRunsCopy, "sys.vbs"};
  PcChange process{
      PcChange::Kind::kProcess, {},       "C:\\Windows\\System32\\wscript.exe", {}, {}, 4242,
      PcWhy::kHostRunsCopy,     "sys.vbs"};
  journal.changes = {process, value, task, file};
  const std::vector<std::uint8_t> bytes = EncodePcJournal(journal);
  ASSERT_TRUE(IsPcJournal(bytes));
  // The file's bytes are not stored as they are.
  EXPECT_EQ(std::search(bytes.begin(), bytes.end(), kWorm.begin(), kWorm.end()), bytes.end());
  const auto decoded = DecodePcJournal(bytes);
  ASSERT_TRUE(decoded);
  ASSERT_EQ(decoded->changes.size(), 4u);
  EXPECT_EQ(decoded->changes[0].process, 4242u);
  EXPECT_EQ(decoded->changes[1].value.key, value.value.key);
  EXPECT_EQ(decoded->changes[1].value.type, volume::kValueExpandString);
  EXPECT_EQ(decoded->changes[1].value.data, value.value.data);
  EXPECT_EQ(decoded->changes[2].xml, task.xml);
  EXPECT_EQ(decoded->changes[3].file.bytes, Bytes(kWorm));
  EXPECT_EQ(decoded->changes[3].file.attributes, 0x22u);
  EXPECT_EQ(decoded->changes[3].why, PcWhy::kSameBytes);

  for (const std::size_t at : {bytes.size() / 2, bytes.size() - 5}) {
    auto changed = bytes;
    changed[at] ^= 0x01;
    bool damaged = false;
    EXPECT_FALSE(DecodePcJournal(changed, &damaged)) << at;
    EXPECT_TRUE(damaged) << at;
  }
  bool damaged = false;
  EXPECT_FALSE(DecodePcJournal(std::span(bytes).first(bytes.size() - 1), &damaged));
  EXPECT_TRUE(damaged);
  const std::vector<std::uint8_t> other = Bytes("KESTROVA JOURNAL 2\n");
  EXPECT_FALSE(IsPcJournal(other));
  EXPECT_FALSE(DecodePcJournal(other, &damaged));
  EXPECT_FALSE(damaged);
}

TEST(PcCommandWordsTest, QuotesGroupAndAreDropped) {
  EXPECT_EQ(CommandWords("\"C:\\Program Files\\a b.exe\" /x  \"y z\"w"),
            (std::vector<std::string>{"C:\\Program Files\\a b.exe", "/x", "y zw"}));
  EXPECT_EQ(CommandWords("  "), std::vector<std::string>{});
  EXPECT_EQ(CommandWords("a \"\""), (std::vector<std::string>{"a", ""}));
}

}  // namespace
}  // namespace kestrova::repair
