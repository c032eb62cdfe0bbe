// SPDX-License-Identifier: GPL-3.0-or-later
// kestrova-guard.exe under Wine: it looks at the removable drives present when it starts and at
// each that arrives (WM_DEVICECHANGE sent by kestrova-probe.exe as the system sends it), raw when
// the volume opens and through the file system when not, and writes each look, notice and start
// of the window to the file that KESTROVA_GUARD_REPORT names. F: is an infected image, G: a
// folder whose entries carry the hidden and system bits as Wine keeps them (user.DOSATTRIB), H: a
// clean image.
#include <gtest/gtest.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <memory>
#include <sstream>

#include "ui/win32/guard/guard_ids.h"
#include "ui/win32/ids.h"
#include "wine_session.h"

namespace kestrova::testing::wine {
namespace {

using namespace kestrova::ui::win32;
constexpr const char* kWaitMs = "30000";
constexpr const char* kRunKey = "HKCU\\Software\\Microsoft\\Windows\\CurrentVersion\\Run";
// The infected image of MakeInfectedImage with AddVirusFiles, labelled KINGSTON, as the guard
// tells of it.
constexpr const char* kNoticeF =
    "notice\tF\tU盘病毒\tU盘F:（KINGSTON）被病毒感染：22个文件夹被隐藏，"
    "发现4个病毒文件。点击这里修复。\t1";

std::string Text(const std::vector<std::string>& lines) {
  std::string text;
  for (const auto& line : lines) text += line + "\n";
  return text;
}

// The name of drive `letter`'s link in the prefix's dosdevices: its root with ":", its raw volume
// with "::"; Wine reads only the lowercase letter.
std::string DosDevice(char letter, const char* colons) {
  return static_cast<char>(letter - 'A' + 'a') + std::string(colons);
}

// The path by which Windows programs under Wine reach a file of this machine.
std::string WindowsPath(const std::filesystem::path& path) {
  std::string text = "Z:" + path.string();
  std::replace(text.begin(), text.end(), '/', '\\');
  return text;
}

class GuardTest : public ::testing::Test {
 protected:
  void SetUp() override {
    MakeInfectedImage(scratch_ / "f.img");
    ASSERT_TRUE(AddVirusFiles(scratch_ / "f.img"));
    ASSERT_EQ(Mtools("mlabel", scratch_ / "f.img", "::KINGSTON").status, 0);
    session_.UseImage(scratch_ / "f.img");
  }

  void TearDown() override {
    if (guard_) {
      EXPECT_EQ(Probe("guard-command " + std::to_string(guard::kExit)).status, 0);
      EXPECT_EQ(guard_->Wait(), 0);
    }
    for (const char letter : presented_) {
      for (const std::string& name : {DosDevice(letter, ":"), DosDevice(letter, "::")}) {
        std::filesystem::remove(session_.Prefix() / "dosdevices" / name);
      }
      kestrova::testing::Run(
          session_.Env() + " wine reg delete 'HKLM\\Software\\Wine\\Drives' /v " + letter + ": /f",
          true);
    }
  }

  // Presents `folder` as the root of the removable drive `letter`, and `image` as its raw volume
  // when one is given; before the guard starts.
  void Present(char letter, const std::filesystem::path& folder,
               const std::filesystem::path& image = {}) {
    const auto devices = session_.Prefix() / "dosdevices";
    std::filesystem::create_directories(folder);
    std::filesystem::create_symlink(folder, devices / DosDevice(letter, ":"));
    if (!image.empty()) std::filesystem::create_symlink(image, devices / DosDevice(letter, "::"));
    const auto added =
        kestrova::testing::Run(session_.Env() + " wine reg add 'HKLM\\Software\\Wine\\Drives' /v " +
                                   letter + ": /d floppy /f",
                               true);
    EXPECT_EQ(added.status, 0) << added.output;
    presented_.push_back(letter);
    // Wine reads the drives' types when its server starts.
    kestrova::testing::Run(session_.Env() + " wineserver -k; " + session_.Env() + " wineserver -w",
                           true);
  }

  void StartGuard() {
    guard_ = std::make_unique<Background>(
        "KESTROVA_GUARD_REPORT=" + Quote(WindowsPath(scratch_ / "report.txt")) + " " +
        session_.Env() + " wine " + Quote(GuardExe()) + " 2>/dev/null");
    const auto started = Probe(std::string("guard ") + kWaitMs);
    ASSERT_EQ(started.status, 0) << started.output;
  }

  CommandResult Probe(const std::string& commands) { return session_.Wine(ProbeExe(), commands); }

  // The report's lines that begin with `prefix`.
  std::vector<std::string> Reported(const std::string& prefix) {
    std::vector<std::string> lines;
    std::ifstream in(scratch_ / "report.txt");
    for (std::string line; std::getline(in, line);) {
      if (line.starts_with(prefix)) lines.push_back(line);
    }
    return lines;
  }

  // Waits until the report holds `count` lines that begin with `prefix`, looking again each time
  // the system tells of a write in the report's folder; the bound only keeps a guard that never
  // writes them from hanging the test.
  bool Await(const std::string& prefix, std::size_t count = 1) {
    const bool found =
        AwaitWrites(scratch_.path(), [&] { return Reported(prefix).size() >= count; });
    if (found) return true;
    ADD_FAILURE() << "the guard never reported " << count << " of " << prefix << "; it reported:\n"
                  << Text(Reported(""));
    return false;
  }

  Session& session_ = Session::Get();
  TempDir scratch_;
  std::unique_ptr<Background> guard_;
  std::vector<char> presented_;
};

TEST_F(GuardTest, TellsOfTheInfectedStickOnlyAndItsNoticeOpensTheWindowOnIt) {
  ASSERT_TRUE(MakeFatImage(scratch_ / "h.img", 2048, "-F 12"));
  ASSERT_EQ(Mtools("mmd", scratch_ / "h.img", "::PHOTOS ::WORK").status, 0);
  Present('H', scratch_ / "hdir", scratch_ / "h.img");
  StartGuard();
  ASSERT_TRUE(Await("look\tF") && Await("look\tH"));
  EXPECT_EQ(Reported("look"),
            (std::vector<std::string>{"look\tF\traw\tinfected", "look\tH\traw\tclean"}));
  EXPECT_EQ(Reported("notice"), std::vector<std::string>{kNoticeF});

  // The notice's click starts the window beside the guard for drive F, which it selects and
  // looks at: Repair becomes clickable.
  ASSERT_EQ(Probe("guard-click").status, 0);
  EXPECT_EQ(Reported("start"), std::vector<std::string>{"start\tF\t1"});
  const auto window = Probe(std::string("window ") + kWaitMs + " selection wait-enabled " +
                            std::to_string(kCommand1) + " " + kWaitMs);
  EXPECT_EQ(window.status, 0) << window.output;
  EXPECT_NE(window.output.find("selection\tF:"), std::string::npos) << window.output;
  const auto closed = Probe(std::string("close ") + kWaitMs);
  EXPECT_NE(closed.output.find("closed"), std::string::npos) << closed.output;
}

TEST_F(GuardTest, JudgesADriveOfFoldersThroughItsFileSystemOncePerArrival) {
  // What a worm leaves: hidden system folders, autorun.inf, the hidden program that it runs and
  // a copy of it under a hidden folder's name.
  const auto root = scratch_ / "gdir";
  for (const char* folder : {"HS1", "HS2", "HS3", "PLAIN"}) {
    std::filesystem::create_directories(root / folder);
  }
  std::ofstream(root / "autorun.inf") << "[autorun]\r\nopen=x.exe\r\n";
  std::ofstream(root / "x.exe") << "MZ";
  std::ofstream(root / "HS1.exe") << "MZ copied";
  for (const auto& [name, bits] :
       {std::pair{"HS1", "0x6"}, {"HS2", "0x6"}, {"HS3", "0x2"}, {"x.exe", "0x2"}}) {
    ASSERT_EQ(setxattr((root / name).c_str(), "user.DOSATTRIB", bits, 3, 0), 0) << name;
  }
  Present('G', root);
  Present('H', scratch_ / "hdir");
  StartGuard();
  ASSERT_TRUE(Await("look\tG") && Await("look\tH"));
  EXPECT_EQ(Reported("look\tG"), std::vector<std::string>{"look\tG\tfiles\tinfected"});
  EXPECT_EQ(Reported("look\tH"), std::vector<std::string>{"look\tH\tfiles\tclean"});
  // Its arrival told again is no new look. H's arrival after its removal is, and it comes after
  // any look of G that the arrival might have asked for.
  ASSERT_EQ(Probe("guard-volume arrival G guard-volume removal H guard-volume arrival H").status,
            0);
  ASSERT_TRUE(Await("look\tH", 2));
  EXPECT_EQ(Reported("look\tG").size(), 1u);
  // The stick goes and comes back clean (its folders still hidden, as a user may keep them): a
  // look of its own, and no notice.
  for (const char* name : {"autorun.inf", "x.exe", "HS1.exe"}) std::filesystem::remove(root / name);
  ASSERT_EQ(Probe("guard-volume removal G guard-volume arrival G").status, 0);
  ASSERT_TRUE(Await("look\tG", 2));
  EXPECT_EQ(Reported("look\tG"),
            (std::vector<std::string>{"look\tG\tfiles\tinfected", "look\tG\tfiles\tclean"}));
  EXPECT_EQ(Reported("notice\tG"),
            std::vector<std::string>{"notice\tG\tU盘病毒\tU盘G:被病毒感染：3个文件夹被隐藏，"
                                     "发现2个病毒文件。点击这里修复。\t1"});
}

TEST_F(GuardTest, MenuChecksAllDrivesAgainStartsAtLogonAndASecondGuardEndsAtOnce) {
  StartGuard();
  ASSERT_TRUE(Await("look\tF"));
  ASSERT_EQ(Probe("guard-command " + std::to_string(guard::kCheckAll)).status, 0);
  EXPECT_EQ(Reported("notice"), (std::vector<std::string>{kNoticeF, kNoticeF}));

  const std::string toggle = "guard-command " + std::to_string(guard::kStartAtLogon);
  ASSERT_EQ(Probe(toggle).status, 0);
  const auto value = kestrova::testing::Run(session_.Env() + " wine reg query '" + kRunKey +
                                            "' /v 'Kestrova guard'");
  EXPECT_EQ(value.status, 0);
  EXPECT_NE(value.output.find("REG_SZ    \"" + WindowsPath(GuardExe()) + "\""), std::string::npos)
      << value.output;
  ASSERT_EQ(Probe(toggle).status, 0);
  EXPECT_NE(kestrova::testing::Run(session_.Env() + " wine reg query '" + kRunKey +
                                   "' /v 'Kestrova guard'")
                .status,
            0);

  Background second(session_.Env() + " wine " + Quote(GuardExe()) + " 2>/dev/null");
  EXPECT_EQ(second.Wait(), 0);
  const auto guards = Probe("guard 0");
  EXPECT_NE(guards.output.find("guard\t1"), std::string::npos) << guards.output;
}

}  // namespace
}  // namespace kestrova::testing::wine
