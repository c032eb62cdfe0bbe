// SPDX-License-Identifier: GPL-3.0-or-later
// kestrova-cli.exe's pc-check, pc-clean and undo under Wine, in a fresh prefix of their own: a
// harmless script stands in for the worm (the same bytes hidden on stick F:, which its autorun.inf
// starts, and hidden in %APPDATA%); it runs through wscript.exe and starts from a Run value and a
// shortcut in the user's Startup folder. Beside it the user's own Run values, a script of the
// user's in the profile and a process of the user's running it, which no look may judge the
// virus's. Wine 8 cannot list scheduled tasks (its task collection has no count), so the tasks'
// rules are tested in memory only (tests/engine/pc_check_test.cpp).
#include <gtest/gtest.h>
#include <sys/xattr.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>

#include "shortcut_writer.h"
#include "ui/win32/ids.h"
#include "wine_session.h"

namespace kestrova::testing::wine {
namespace {

constexpr const char* kRunKey = "HKCU\\Software\\Microsoft\\Windows\\CurrentVersion\\Run";
// The machine's RunOnce key of the 32-bit view.
constexpr const char* kRunOnce32Key =
    "HKLM\\Software\\Wow6432Node\\Microsoft\\Windows\\CurrentVersion\\RunOnce";
// The stand-in: it tells that it started by a file beside itself, then waits on a message box
// (Wine's WScript.Sleep returns at once).
constexpr const char* kStandIn =
    "CreateObject(\"Scripting.FileSystemObject\").CreateTextFile(WScript.ScriptFullName & "
    "\".started\").Close\r\nMsgBox \"A harmless stand-in of a worm\"\r\n";
constexpr const char* kUsersScript =
    "CreateObject(\"Scripting.FileSystemObject\").CreateTextFile(WScript.ScriptFullName & "
    "\".started\").Close\r\nMsgBox \"The user's own reminder\"\r\n";

std::string Read(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

void Write(const std::filesystem::path& path, const std::string& bytes) {
  std::filesystem::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << bytes;
}

// Whether Wine keeps the file hidden (the attribute bits in user.DOSATTRIB, in hexadecimal).
bool Hidden(const std::filesystem::path& path) {
  char bits[16] = {};
  const auto length = getxattr(path.c_str(), "user.DOSATTRIB", bits, sizeof bits - 1);
  return length > 0 && (std::strtoul(bits, nullptr, 16) & 0x2) != 0;
}

class PcTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // The stick: the stand-in hidden in the root, started by autorun.inf, beside a hidden folder.
    const auto image = scratch_ / "f.img";
    ASSERT_TRUE(MakeFatImage(image, 20480, "-F 16"));
    ASSERT_TRUE(
        PutFile(image, {"/sys.vbs", {kStandIn, kStandIn + std::strlen(kStandIn)}}, "+h +s"));
    const std::string autorun = "[autorun]\r\nopen=wscript.exe sys.vbs\r\n";
    ASSERT_TRUE(PutFile(image, {"/autorun.inf", {autorun.begin(), autorun.end()}}, "+h +s"));
    ASSERT_EQ(Mtools("mmd", image, "::/DOCS").status, 0);
    ASSERT_EQ(Mtools("mattrib", image, "+h +s ::/DOCS").status, 0);
    session_.UseImage(image);

    const auto user = kestrova::testing::Run(session_.Env() + " wine cmd /c echo %USERNAME%");
    ASSERT_EQ(user.status, 0);
    user_ = user.output.substr(0, user.output.find_first_of("\r\n"));
    appData_ = "C:\\users\\" + user_ + "\\AppData\\Roaming";
    roaming_ = session_.Prefix() / "drive_c" / "users" / user_ / "AppData" / "Roaming";
    // Wine names the user's Startup folder so on the disk.
    startup_ = roaming_ / "Microsoft" / "Windows" / "Start Menu" / "Programs" / "StartUp";
  }

  // The command's output with its lines ended as on Linux.
  CommandResult Cli(const std::string& arguments) {
    CommandResult result = session_.Wine(CliExe(), arguments + " --utf8", scratch_ / "stderr.txt");
    std::erase(result.output, '\r');
    return result;
  }
  std::string Errors() { return Read(scratch_ / "stderr.txt"); }
  CommandResult Reg(const std::string& arguments) {
    return kestrova::testing::Run(session_.Env() + " wine reg " + arguments, true);
  }
  // Starts a script through wscript.exe and waits until it has started.
  std::unique_ptr<Background> StartScript(const std::string& name) {
    std::filesystem::remove(roaming_ / (name + ".started"));
    auto started = std::make_unique<Background>(session_.Env() + " wine wscript.exe " +
                                                Quote(appData_ + "\\" + name) + " 2>/dev/null");
    EXPECT_TRUE(AwaitWrites(roaming_, [&] {
      return std::filesystem::exists(roaming_ / (name + ".started"));
    })) << name;
    return started;
  }

  // The worm's copy on the PC, hidden, started by the Run value WinUpdate and the shortcut
  // Update.lnk of the user's Startup folder; the user's own script, visible, started by the Run
  // value Reminder, and the Run value Notes.
  void PlantWorm() {
    // The worm's copy on the PC, hidden; the user's own script, visible.
    Write(roaming_ / "sys.vbs", kStandIn);
    ASSERT_EQ(setxattr((roaming_ / "sys.vbs").c_str(), "user.DOSATTRIB", "0x2", 3, 0), 0);
    Write(roaming_ / "reminder.vbs", kUsersScript);
    wormValue_ = "wscript.exe \"" + appData_ + "\\sys.vbs\"";
    ASSERT_EQ(Reg("add " + Quote(kRunKey) + " /v WinUpdate /d " + Quote(wormValue_) + " /f").status,
              0);
    ASSERT_EQ(Reg("add " + Quote(kRunKey) + " /v Reminder /d " +
                  Quote("wscript.exe " + appData_ + "\\reminder.vbs") + " /f")
                  .status,
              0);
    ASSERT_EQ(Reg("add " + Quote(kRunKey) + " /v Notes /d notepad.exe /f").status, 0);
    ASSERT_EQ(
        Reg("add " + Quote(kRunOnce32Key) + " /v Helper /d " + Quote(wormValue_) + " /f").status,
        0);
    const auto link = ShortcutBytes({.localPath = "C:\\windows\\system32\\wscript.exe",
                                     .arguments = "\"%APPDATA%\\sys.vbs\"",
                                     .showCommand = 7});
    link_.assign(link.begin(), link.end());
    Write(startup_ / "Update.lnk", link_);
  }

  Session& session_ = Session::Get();
  TempDir scratch_;
  std::string user_;
  std::string appData_;
  std::filesystem::path roaming_;
  std::filesystem::path startup_;
  std::string wormValue_;
  std::string link_;
};

TEST_F(PcTest, FindsEveryPlaceTheWormStartsFromStopsItAndTheUndoPutsItBack) {
  PlantWorm();
  const auto worm = StartScript("sys.vbs");
  const auto users = StartScript("reminder.vbs");

  const auto looked = Cli("pc-check F:");
  ASSERT_EQ(looked.status, 0) << looked.output << Errors();
  // Everything under the first heading is the virus's, and nothing of the user's is anywhere.
  const std::string virus = looked.output.substr(0, looked.output.find("不能确定的地方"));
  EXPECT_TRUE(virus.starts_with("启动病毒的地方：\n")) << looked.output;
  for (const std::string& place :
       {"注册表启动值 HKCU\\Software\\Microsoft\\Windows\\CurrentVersion\\Run：WinUpdate\t" +
            wormValue_ + "\t脚本宿主运行" + appData_ +
            "\\sys.vbs，它与U盘上病毒的文件sys.vbs字节相同",
        "启动文件夹中的 " + appData_ +
            "\\Microsoft\\Windows\\Start Menu\\Programs\\StartUp\\Update.lnk\t",
        std::string("\\wscript.exe）\t"),
        std::string("注册表启动值 HKLM\\Software\\Wow6432Node\\Microsoft\\Windows\\"
                    "CurrentVersion\\RunOnce：Helper\t")}) {
    EXPECT_NE(virus.find(place), std::string::npos) << place << "\n" << looked.output;
  }
  for (const char* own : {"reminder.vbs", "Notes", "notepad"}) {
    EXPECT_EQ(looked.output.find(own), std::string::npos) << own << "\n" << looked.output;
  }
  // Wine lists no scheduled task, and says so.
  EXPECT_NE(Errors().find("无法列出计划任务"), std::string::npos) << Errors();

  const auto cleaned = Cli("pc-clean F:");
  ASSERT_EQ(cleaned.status, 0) << cleaned.output << Errors();
  // The worm's process has ended; the user's runs on.
  EXPECT_NE(worm->Wait(), -1);
  EXPECT_NE(Reg("query " + Quote(kRunKey) + " /v WinUpdate").status, 0);
  EXPECT_NE(Reg("query " + Quote(kRunOnce32Key) + " /v Helper").status, 0);
  EXPECT_FALSE(std::filesystem::exists(startup_ / "Update.lnk"));
  EXPECT_FALSE(std::filesystem::exists(roaming_ / "sys.vbs"));
  EXPECT_EQ(Read(roaming_ / "reminder.vbs"), kUsersScript);
  EXPECT_EQ(Reg("query " + Quote(kRunKey) + " /v Reminder").status, 0);
  EXPECT_EQ(Reg("query " + Quote(kRunKey) + " /v Notes").status, 0);
  const auto after = Cli("pc-check F: --all");
  EXPECT_NE(after.output.find("reminder.vbs\t没有病毒的证据"), std::string::npos) << after.output;
  EXPECT_EQ(after.output.find("启动病毒的地方"), std::string::npos) << after.output;

  const std::string undoLine = "要撤销这次修改，请运行：kestrova-cli undo ";
  const auto at = cleaned.output.find(undoLine);
  ASSERT_NE(at, std::string::npos) << cleaned.output;
  const std::string journal = cleaned.output.substr(
      at + undoLine.size(), cleaned.output.find('\n', at) - at - undoLine.size());
  const auto undone = Cli("undo " + Quote(journal));
  ASSERT_EQ(undone.status, 0) << undone.output << Errors();
  const auto value = Reg("query " + Quote(kRunKey) + " /v WinUpdate");
  EXPECT_NE(value.output.find("REG_SZ    " + wormValue_), std::string::npos) << value.output;
  EXPECT_EQ(Reg("query " + Quote(kRunOnce32Key) + " /v Helper").status, 0);
  EXPECT_EQ(Read(startup_ / "Update.lnk"), link_);
  EXPECT_EQ(Read(roaming_ / "sys.vbs"), kStandIn);
  EXPECT_TRUE(Hidden(roaming_ / "sys.vbs"));
  // Undone twice, everything is there already.
  EXPECT_EQ(Cli("undo " + Quote(journal)).status, 0);

  // Once the stick is fixed, its quarantine is the evidence of a look without a drive.
  ASSERT_EQ(Cli("fix F:").status, 0) << Errors();
  const auto recalled = Cli("pc-check");
  EXPECT_NE(recalled.output.find("Run：WinUpdate\t" + wormValue_ + "\t脚本宿主运行"),
            std::string::npos)
      << recalled.output;
  EXPECT_EQ(recalled.output.find("reminder.vbs"), std::string::npos) << recalled.output;
}

// After the repair of a stick whose worm runs on this PC, the window asks about the PC first,
// saying that the worm runs; Yes stops it before the removal of the stick's files is
// offered.
TEST_F(PcTest, TheWindowAsksFirstAboutTheWormRunningOnThePcAndStopsItOnYes) {
  PlantWorm();
  const auto worm = StartScript("sys.vbs");
  Background window(session_.Env() + " wine " + Quote(WindowExe()) + " 2>/dev/null");
  const std::string ms = "30000";
  const std::string repair = std::to_string(ui::win32::kCommand1);
  auto asked =
      session_.Wine(ProbeExe(), "window " + ms + " select F wait-enabled " + repair + " " + ms +
                                    " click " + repair + " report " + ms + " answer yes " + ms +
                                    " report " + ms + " removals " + ms + " press keep");
  ASSERT_EQ(asked.status, 0) << asked.output;
  std::erase(asked.output, '\r');
  EXPECT_NE(asked.output.find("title\t电脑上的病毒\ntext\t病毒正在这台电脑上运行"),
            std::string::npos)
      << asked.output;
  EXPECT_NE(worm->Wait(), -1);
  EXPECT_NE(Reg("query " + Quote(kRunKey) + " /v WinUpdate").status, 0);
  EXPECT_FALSE(std::filesystem::exists(startup_ / "Update.lnk"));
  EXPECT_FALSE(std::filesystem::exists(roaming_ / "sys.vbs"));
  EXPECT_EQ(Reg("query " + Quote(kRunKey) + " /v Reminder").status, 0);
  const auto closed = session_.Wine(ProbeExe(), "close " + ms);
  EXPECT_NE(closed.output.find("closed"), std::string::npos) << closed.output;
  EXPECT_EQ(window.Wait(), 0);
}

}  // namespace
}  // namespace kestrova::testing::wine
