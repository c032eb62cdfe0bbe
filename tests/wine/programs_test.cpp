// SPDX-License-Identifier: GPL-3.0-or-later
// kestrova-cli.exe and Kestrova.exe under Wine, on drive F: backed by an image file. The window is
// driven from outside through its controls by kestrova-probe.exe.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <sstream>

#include "exfat_tools.h"
#include "project_info.h"
#include "sample_stick.h"
#include "ui/win32/ids.h"
#include "wine_session.h"
#include "words/texts.h"

namespace kestrova::testing::wine {
namespace {

constexpr const char* kOpenFailed = "获取磁盘参数错误！请检查是否有其他程序占用磁盘。";
constexpr const char* kOpenFailedTitle = "出错啦~~";
constexpr const char* kUnsupportedFileSystem =
    "此版本的程序仅支持FAT12、FAT16、FAT32和exFAT文件系统！";
constexpr const char* kErrorTitle = "错误";
constexpr int kWindowStartMs = 30000;
constexpr int kWaitMs = 20000;

using namespace kestrova::ui::win32;  // the window's control ids

// Window styles that the window must not have, and the two it must.
constexpr unsigned long kCaption = 0x00C00000;
constexpr unsigned long kSysMenu = 0x00080000;
constexpr unsigned long kThickFrame = 0x00040000;
constexpr unsigned long kMinimizeBox = 0x00020000;
constexpr unsigned long kMaximizeBox = 0x00010000;

struct Control {
  int left = 0, top = 0, width = 0, height = 0;
  bool visible = false, enabled = false;
  std::string text;
  int clientLeft = 0, clientTop = 0, clientWidth = 0, clientHeight = 0;
};

struct Layout {
  int clientWidth = 0, clientHeight = 0;
  unsigned long style = 0;
  std::map<int, Control> controls;
};

std::vector<std::string> Fields(const std::string& line) {
  std::vector<std::string> fields;
  std::string field;
  std::istringstream in(line);
  while (std::getline(in, field, '\t')) fields.push_back(field);
  if (!line.empty() && line.back() == '\t') fields.emplace_back();
  return fields;
}

// The lines of the probe's output, split at tabs.
std::vector<std::vector<std::string>> Lines(const std::string& output) {
  std::vector<std::vector<std::string>> lines;
  std::istringstream in(output);
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(Fields(line));
  }
  return lines;
}

std::string Value(const std::string& output, const std::string& key) {
  for (const auto& fields : Lines(output)) {
    if (fields.size() >= 2 && fields[0] == key) return fields[1];
  }
  return "<no " + key + ">";
}

std::vector<std::string> Values(const std::string& output, const std::string& key) {
  std::vector<std::string> values;
  for (const auto& fields : Lines(output)) {
    if (fields.size() >= 2 && fields[0] == key) values.push_back(fields[1]);
  }
  return values;
}

Layout ParseLayout(const std::string& output) {
  Layout layout;
  for (const auto& f : Lines(output)) {
    if (f.size() == 3 && f[0] == "client") {
      layout.clientWidth = std::stoi(f[1]);
      layout.clientHeight = std::stoi(f[2]);
    } else if (f.size() == 2 && f[0] == "style") {
      layout.style = std::stoul(f[1], nullptr, 16);
    } else if (f.size() == 13 && f[0] == "control") {
      layout.controls[std::stoi(f[1])] = Control{std::stoi(f[2]),
                                                 std::stoi(f[3]),
                                                 std::stoi(f[4]),
                                                 std::stoi(f[5]),
                                                 f[6] == "1",
                                                 f[7] == "1",
                                                 f[8],
                                                 std::stoi(f[9]),
                                                 std::stoi(f[10]),
                                                 std::stoi(f[11]),
                                                 std::stoi(f[12])};
    }
  }
  return layout;
}

class WineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    image_ = session_.Image();
    made_ = MakeInfectedImage(scratch_ / "made.img");
    session_.UseImage(scratch_ / "made.img");
    ASSERT_TRUE(CopySparse(image_, scratch_ / "before.img"));
  }

  std::filesystem::path Before() const { return scratch_ / "before.img"; }

  // Puts four of the virus's files in the root beside the infected folders: autorun.inf, the
  // hidden program that it runs, and one program copied under the names of the hidden folders HS1
  // and HID2. The image before the repair holds them too.
  void AddVirusFiles() {
    ASSERT_TRUE(wine::AddVirusFiles(image_));
    ASSERT_TRUE(CopySparse(image_, Before()));
  }

  // Whether the root holds an entry of that name.
  bool OnImage(const std::string& name) const {
    return Mtools("mdir", image_, "-a ::/" + name).status == 0;
  }

  // Holds F: open exclusively, as another program would, until the returned process ends.
  std::unique_ptr<Background> HoldDrive() {
    auto holder = std::make_unique<Background>(session_.Env() + " wine " + Quote(ProbeExe()) +
                                               " hold F 2>/dev/null");
    EXPECT_EQ(holder->ReadLine(), "held");
    return holder;
  }

  Session& session_ = Session::Get();
  TempDir scratch_;
  std::filesystem::path image_;
  InfectedImage made_;
};

TEST_F(WineTest, CliRepairsExactlyTheHiddenRootFolders) {
  const auto result = session_.Wine(CliExe(), "repair F:", scratch_ / "stderr");
  EXPECT_EQ(result.status, 0) << ReadBytes(scratch_ / "stderr").size();
  ExpectRepairedExactly(Before(), image_, made_);
}

// The same program on the layouts of small cards, of drives with large sectors and of exFAT.
TEST_F(WineTest, CliRepairsEveryLayout) {
  for (const auto& [options, sizeKiB] : std::vector<std::pair<std::string, std::uint64_t>>{
           {"-F 12", 8 * 1024}, {"-F 16 -S 2048", 40 * 1024}}) {
    SCOPED_TRACE(options);
    const auto made = MakeInfectedImage(scratch_ / "layout.img", options, sizeKiB);
    session_.UseImage(scratch_ / "layout.img");
    ASSERT_TRUE(CopySparse(image_, Before()));
    const auto result = session_.Wine(CliExe(), "repair F:", scratch_ / "stderr");
    EXPECT_EQ(result.status, 0) << ReadBytes(scratch_ / "stderr").size();
    ExpectRepairedExactly(Before(), image_, made);
  }
  SCOPED_TRACE("exFAT");
  const auto exfat = scratch_ / "exfat.img";
  ASSERT_TRUE(MakeExfatImage(exfat, 32));
  const std::string why = MakeFoldersThroughFuse(exfat, {"资料", "PLAIN"});
  if (!why.empty()) GTEST_SKIP() << "exFAT folders cannot be made here: " << why;
  ExfatRootSets(exfat).SetAttributes("资料", 0x16);
  session_.UseImage(exfat);
  const auto result = session_.Wine(CliExe(), "repair F:", scratch_ / "stderr");
  EXPECT_EQ(result.status, 0) << ReadBytes(scratch_ / "stderr").size();
  EXPECT_EQ(ExfatRootSets(image_).Named("资料").attributes, 0x10);
  EXPECT_EQ(kestrova::testing::Run("fsck.exfat -n " + Quote(image_.string())).status, 0);
}

TEST_F(WineTest, CliRefusesADriveThatAnotherProgramHolds) {
  auto holder = HoldDrive();
  const auto result = session_.Wine(CliExe(), "repair --utf8 F:", scratch_ / "stderr");
  holder->CloseInput();
  EXPECT_EQ(holder->Wait(), 0);
  EXPECT_EQ(result.status, 1);
  const auto errors = ReadBytes(scratch_ / "stderr");
  const std::string text(errors.begin(), errors.end());
  EXPECT_NE(text.find(std::string(kOpenFailedTitle) + ": " + kOpenFailed), std::string::npos)
      << text;
  EXPECT_TRUE(DifferingOffsets(Before(), image_).empty());
}

// The drive that holds Windows is refused for what it is, before any open.
TEST_F(WineTest, CliRefusesTheSystemDrive) {
  const auto result = session_.Wine(CliExe(), "scan --utf8 C:", scratch_ / "stderr");
  EXPECT_EQ(result.status, 1);
  const auto errors = ReadBytes(scratch_ / "stderr");
  const std::string text(errors.begin(), errors.end());
  EXPECT_NE(text.find("“\\\\.\\C:”属于本机的系统磁盘（挂载在“C:\\”）"), std::string::npos) << text;
}

// In a console the text arrives as the console's own characters, whatever its code page, which
// is as it was once the program has ended; through a pipe it arrives with CR LF in the code page
// of the system, or as UTF-8 with --utf8.
TEST_F(WineTest, CliWritesChineseToAConsoleAndToAPipeInItsCodePage) {
  std::string cli = "Z:" + CliExe();  // Wine's drive Z: is the Unix root
  std::replace(cli.begin(), cli.end(), '/', '\\');
  const std::vector<std::string> repaired = {
      "已恢复：HS1", "共恢复" + std::to_string(made_.infected.size()) + "个文件夹。",
      "程序运行结束，文件夹已恢复正常属性。"};
  // Standard output on a repair, standard error on a refusal.
  const auto inConsole = [&](const char* codePage, const std::vector<std::string>& expected) {
    SCOPED_TRACE(codePage);
    const auto ran = session_.Wine(
        ProbeExe(), std::string("console ") + codePage + " " + Quote(cli) + " 'repair F:'");
    ASSERT_EQ(ran.status, 0) << ran.output;
    const auto screen = Values(ran.output, "screen");
    for (const auto& line : expected) {
      EXPECT_NE(std::find(screen.begin(), screen.end(), line), screen.end()) << line << ran.output;
    }
    const auto fields = Lines(ran.output);
    const auto after = std::find_if(fields.begin(), fields.end(), [](const auto& f) {
      return f.size() == 3 && f[0] == "console";
    });
    ASSERT_NE(after, fields.end()) << ran.output;
    EXPECT_EQ((*after)[2], codePage);
  };
  inConsole("936", repaired);
  ExpectRepairedExactly(Before(), image_, made_);
  ASSERT_TRUE(CopySparse(Before(), image_));
  {
    auto holder = HoldDrive();
    inConsole("437", {std::string(kOpenFailedTitle) + ": " + kOpenFailed});
    holder->CloseInput();
    EXPECT_EQ(holder->Wait(), 0);
  }

  const auto piped = session_.Wine(CliExe(), "repair --utf8 F:");
  EXPECT_EQ(piped.status, 0);
  for (const auto& line : repaired) {
    EXPECT_NE(piped.output.find(line + "\r\n"), std::string::npos) << line << piped.output;
  }
  ExpectRepairedExactly(Before(), image_, made_);

  // Without --utf8 a pipe gets the code page that `type` and `more` read: without a console the
  // system's ANSI one, GBK (936) under a Chinese locale.
  ASSERT_TRUE(CopySparse(Before(), image_));
  const auto chinese = testing::Run(session_.Env() + " LC_ALL=zh_CN.UTF-8 wine " + Quote(CliExe()) +
                                    " repair F: 2>/dev/null");
  EXPECT_EQ(chinese.status, 0);
  for (const auto& line : repaired) {
    const auto gbk = testing::Run("printf '%s' " + Quote(line) + " | iconv -f UTF-8 -t GBK");
    ASSERT_EQ(gbk.status, 0);
    EXPECT_NE(chinese.output.find(gbk.output + "\r\n"), std::string::npos) << line;
  }
  EXPECT_EQ(chinese.output.find(repaired.back()), std::string::npos) << "UTF-8 in the pipe";
}

// Left to Wine, which takes Windows' UI language from the locale, the programs speak English for
// English, Chinese for Chinese and for a language that Kestrova lacks; KESTROVA_LANG and --lang
// come before it. A pipe whose code page cannot hold the text (1252 under an English locale, for
// Chinese) gets it in UTF-8, with one line of advice on standard error.
TEST_F(WineTest, ProgramsSpeakTheLanguageOfWindows) {
  const std::string wine = "WINEPREFIX=" + Quote(session_.Prefix().string()) + " WINEDEBUG=-all ";
  const auto errors = scratch_ / "language-stderr";
  const auto said = [&](const std::string& environment, const std::string& arguments) {
    const auto run = testing::Run(wine + environment + " wine " + Quote(CliExe()) + " " +
                                  arguments + " 2>" + Quote(errors.string()));
    const auto bytes = ReadBytes(errors);
    return std::make_pair(run, std::string(bytes.begin(), bytes.end()));
  };
  const std::string chinese = "属于本机的系统磁盘";
  const std::string english = "belongs to this computer's system disk";
  const std::pair<std::string, std::string> cases[] = {
      {"LC_ALL=en_US.UTF-8", english},
      {"LC_ALL=zh_CN.UTF-8", chinese},
      {"LC_ALL=de_DE.UTF-8", chinese},
      {"LC_ALL=zh_CN.UTF-8 KESTROVA_LANG=en", english},
  };
  for (const auto& [environment, expected] : cases) {
    EXPECT_NE(said(environment, "scan --utf8 C:").second.find(expected), std::string::npos)
        << environment;
  }
  EXPECT_NE(said("LC_ALL=en_US.UTF-8", "--lang zh scan --utf8 C:").second.find(chinese),
            std::string::npos);

  ASSERT_TRUE(CopySparse(Before(), image_));
  const auto [piped, advice] = said("LC_ALL=en_US.UTF-8 KESTROVA_LANG=zh", "repair F:");
  EXPECT_EQ(piped.status, 0) << advice;
  EXPECT_NE(piped.output.find(texts::Format(texts::Language::kChinese, texts::kRestoredCount,
                                            made_.infected.size())),
            std::string::npos)
      << piped.output;
  EXPECT_EQ(advice, texts::Format(texts::Language::kChinese, texts::kUtf8Instead, 1252) + "\r\n");
  ExpectRepairedExactly(Before(), image_, made_);
}

// The commands that kestrova-cli prints for the user to run next, given to cmd as they are: the
// clean after a repair and the undo of each change, with the journals in a folder whose name
// holds a blank and a quote. cmd finds kestrova-cli on the path.
TEST_F(WineTest, CliPrintedCommandsRunInCmdAsPrinted) {
  AddVirusFiles();
  std::string programs = "Z:" + std::filesystem::path(CliExe()).parent_path().string();
  std::replace(programs.begin(), programs.end(), '/', '\\');
  const std::string state = R"(C:\users\Lin's state)";
  const auto stateFolder = session_.Prefix() / "drive_c" / "users" / "Lin's state";
  std::filesystem::remove_all(stateFolder);
  struct Removed {
    std::filesystem::path folder;
    ~Removed() { std::filesystem::remove_all(folder); }
  } removed{stateFolder};
  const auto inCmd = [&](const std::string& command) {
    SCOPED_TRACE(command);
    const auto ran =
        kestrova::testing::Run(session_.Env() + " WINEPATH=" + Quote(programs) + " wine " +
                               Quote(ProbeExe()) + " setenv LOCALAPPDATA " + Quote(state) +
                               " run " + Quote("cmd.exe /c " + command) + " 2>/dev/null");
    EXPECT_EQ(ran.status, 0) << ran.output;
    EXPECT_EQ(Value(ran.output, "status"), "0") << ran.output;
    return ran.output;
  };
  // The command that a printed line offers, from the program's name on (the text before it is
  // in the code page of a pipe).
  const auto offered = [](const std::string& output, const std::string& command) {
    for (const auto& line : Values(output, "out")) {
      if (const auto at = line.find("kestrova-cli " + command + " "); at != std::string::npos) {
        return line.substr(at);
      }
    }
    return std::string();
  };

  const std::string repair = inCmd("kestrova-cli repair F:");
  ExpectRepairedExactly(Before(), image_, made_);
  const auto repaired = scratch_ / "repaired.img";
  ASSERT_TRUE(CopySparse(image_, repaired));
  const std::string undoRepair = offered(repair, "undo");
  const std::string folder = "kestrova-cli undo \"" + state + "\\Kestrova\\";
  EXPECT_TRUE(
      undoRepair.starts_with(folder) &&
      std::regex_match(undoRepair.substr(folder.size()), std::regex(R"([0-9A-F]{8}\\repair-.*)")))
      << repair;
  EXPECT_TRUE(undoRepair.ends_with(".journal\" F:")) << undoRepair;
  const std::string clean = offered(repair, "clean");
  ASSERT_EQ(clean, "kestrova-cli clean F:") << repair;

  const std::string cleaned = inCmd(clean);
  for (const char* name : {"autorun.inf", "x.exe", "HS1.exe", "HID2.exe"})
    EXPECT_FALSE(OnImage(name)) << name;
  const std::string undoClean = offered(cleaned, "undo");
  ASSERT_FALSE(undoClean.empty()) << cleaned;

  // Undone in turn, newest first.
  inCmd(undoClean);
  EXPECT_TRUE(DifferingOffsets(repaired, image_).empty());
  inCmd(undoRepair);
  EXPECT_TRUE(DifferingOffsets(Before(), image_).empty());
}

// The window, started for each test and closed at its end.
class WindowTest : public WineTest {
 protected:
  void SetUp() override {
    WineTest::SetUp();
    window_ = std::make_unique<Background>(session_.Env() + " wine " + Quote(WindowExe()) +
                                           " 2>/dev/null");
    const auto started = Probe("window " + std::to_string(kWindowStartMs));
    ASSERT_EQ(started.status, 0) << started.output;
  }

  void TearDown() override {
    if (!window_) return;
    // Nothing runs any more, so the window must close and the program end normally.
    const auto closed = Probe("close " + std::to_string(kWaitMs));
    EXPECT_NE(closed.output.find("closed"), std::string::npos) << closed.output;
    EXPECT_EQ(window_->Wait(), 0);
  }

  CommandResult Probe(const std::string& commands) { return session_.Wine(ProbeExe(), commands); }

  Layout CurrentLayout() {
    const auto probed = Probe("layout");
    EXPECT_EQ(probed.status, 0) << probed.output;
    return ParseLayout(probed.output);
  }

  std::unique_ptr<Background> window_;
};

struct Expected {
  int id;
  int left, top, width, height;  // in the client area, pixels at 96 dots per inch
  const char* text;
};

// The designed geometry (twips / 15) and captions.
const Expected kDesign[] = {
    {kLabel1, 24, 16, 345, 65,
     "当您的Ｕ盘因感染病毒而导致所有文件夹的属性变为隐藏、系统属性无法更改时，本工具可以瞬间将它们"
     "恢复如初！"},
    {kFrame1, 24, 96, 169, 161, ""},
    {kFrame1Box, 24, 96, 169, 161, " 第一步>> "},
    {kList1, 40, 136, 137, 103, ""},
    {kCommand2, 144, 120, 33, 17, "刷新"},
    {kLabel2, 40, 120, 89, 17, "请选择盘符："},
    {kFrame2, 200, 96, 169, 161, ""},
    {kFrame2Box, 200, 96, 169, 161, " 第二步>> "},
    {kPicture1, 224, 120, 121, 89, ""},
    {kCommand1, 226, 122, 117, 85, "修复"},
    {kPicture2, 224, 216, 121, 25, ""},
    {kPicture3, 24, 272, 94, 24, ""},
    {kLabel3, 152, 277, 217, 17, "作者信箱：" KESTROVA_CONTACT_EMAIL_TEXT},
};
constexpr int kTrackLeft = 226, kTrackTop = 218, kTrackWidth = 117, kTrackHeight = 21;

constexpr int kBannerRight = 24 + 94;
constexpr int kDesignDpi = 96;

double Scaled(int pixelsAt96, int dpi) {
  return pixelsAt96 * dpi / static_cast<double>(kDesignDpi);
}

// Every edge within a pixel of the design at `dpi`.
void ExpectNear(const Control& actual, const Expected& design, int dpi) {
  SCOPED_TRACE("control " + std::to_string(design.id) + " at " + std::to_string(dpi) + " dpi");
  if (design.id == kLabel3) {
    // The contact line keeps its right edge; a longer address widens it to the left, short of
    // the banner.
    EXPECT_NEAR(actual.left + actual.width, Scaled(design.left + design.width, dpi), 1);
    EXPECT_GE(actual.width, Scaled(design.width, dpi) - 1);
    EXPECT_GT(actual.left, Scaled(kBannerRight, dpi));
    // A face taller than the design's lowers its bottom edge, inside the window.
    EXPECT_GE(actual.height, Scaled(design.height, dpi) - 1);
    EXPECT_LE(actual.top + actual.height, Scaled(310, dpi));
  } else {
    EXPECT_NEAR(actual.left, Scaled(design.left, dpi), 1);
    EXPECT_NEAR(actual.width, Scaled(design.width, dpi), 1);
    EXPECT_NEAR(actual.height, Scaled(design.height, dpi), 1);
  }
  EXPECT_NEAR(actual.top, Scaled(design.top, dpi), 1);
  EXPECT_EQ(actual.text, design.text);
  EXPECT_TRUE(actual.visible);
}

// The window at `dpi`, from the probe's output for kGeometry: every control
// where the design puts it, the Repair button and the progress bar filling their picture boxes
// inside borders that keep their proportion, and pictures drawn at that scale.
void ExpectScaledWindow(const std::string& probed, int dpi) {
  SCOPED_TRACE(std::to_string(dpi) + " dpi");
  const Layout layout = ParseLayout(probed);
  EXPECT_NEAR(layout.clientWidth, Scaled(391, dpi), 0.5);
  EXPECT_NEAR(layout.clientHeight, Scaled(310, dpi), 0.5);
  for (const auto& design : kDesign) {
    const auto found = layout.controls.find(design.id);
    ASSERT_NE(found, layout.controls.end()) << design.id;
    ExpectNear(found->second, design, dpi);
  }
  const Control& surround = layout.controls.at(kPicture1);
  const Control& button = layout.controls.at(kCommand1);
  EXPECT_EQ(button.left, surround.clientLeft);
  EXPECT_EQ(button.top, surround.clientTop);
  EXPECT_EQ(button.width, surround.clientWidth);
  EXPECT_EQ(button.height, surround.clientHeight);
  const Control& track = layout.controls.at(kPicture2);
  EXPECT_EQ(layout.controls.at(kProgress).height, track.clientHeight);
  constexpr int kBorderAt96 = 2;
  for (const Control* box : {&surround, &track}) {
    EXPECT_NEAR(box->clientLeft - box->left, Scaled(kBorderAt96, dpi), 0.5);
    EXPECT_NEAR(box->clientTop - box->top, Scaled(kBorderAt96, dpi), 0.5);
    EXPECT_NEAR(box->left + box->width - box->clientLeft - box->clientWidth,
                Scaled(kBorderAt96, dpi), 0.5);
    EXPECT_NEAR(box->top + box->height - box->clientTop - box->clientHeight,
                Scaled(kBorderAt96, dpi), 0.5);
  }

  // The banner covers its whole box: its pale ground reaches the bottom-right corner. The folder
  // keeps its share of the Repair button's width: its yellow spans 35 of the 117 px at 96 dpi.
  std::map<int, std::vector<std::string>> colours;
  for (const auto& f : Lines(probed)) {
    if (f.size() == 4 && f[0] == "colours") colours[std::stoi(f[1])] = {f[2], f[3]};
  }
  ASSERT_EQ(colours.count(kPicture3), 1u);
  ASSERT_EQ(colours.count(kCommand1), 1u);
  EXPECT_EQ(colours[kPicture3][0], "EAF2FF");
  const double folderShare = std::stoi(colours[kCommand1][1]) / static_cast<double>(button.width);
  EXPECT_NEAR(folderShare, 35.0 / 117.0, 0.03);
}

// The folder is yellow while Repair can be clicked, so drive F is analysed before the colours.
const std::string kGeometry = " layout select F wait-enabled " + std::to_string(kCommand1) + " " +
                              std::to_string(kWaitMs) + " colours " + std::to_string(kCommand1) +
                              " colours " + std::to_string(kPicture3);

TEST_F(WindowTest, LooksAsDesignedAt96DotsPerInch) {
  // The keyboard starts in the list; with Repair greyed the Tab key goes on to Refresh and the
  // banner link, and back.
  const auto keys = Probe("focus tab focus tab focus tab focus");
  ASSERT_EQ(keys.status, 0) << keys.output;
  EXPECT_EQ(Values(keys.output, "focus"),
            (std::vector<std::string>{std::to_string(kList1), std::to_string(kCommand2),
                                      std::to_string(kPicture3), std::to_string(kList1)}));

  const auto probed = Probe(kGeometry);
  ASSERT_EQ(probed.status, 0) << probed.output;
  ExpectScaledWindow(probed.output, kDesignDpi);
  const Layout layout = ParseLayout(probed.output);
  EXPECT_EQ(layout.style & (kCaption | kSysMenu), kCaption | kSysMenu);
  EXPECT_EQ(layout.style & (kThickFrame | kMinimizeBox | kMaximizeBox), 0u);
  // After the load (the layout comes before the analysis): no progress bar, Repair greyed, no
  // entry of a fixed drive.
  const Control& progress = layout.controls.at(kProgress);
  EXPECT_FALSE(progress.visible);
  EXPECT_EQ(progress.width, 0);
  EXPECT_FALSE(progress.enabled);
  EXPECT_FALSE(layout.controls.at(kCommand1).enabled);
  const std::vector<std::string> entries = Values(Probe("list").output, "item");
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_TRUE(entries[0].starts_with("F:")) << entries[0];

  // The hand shows over Command1 (once it can be clicked), Command2 and Picture3 only.
  const auto pointed =
      Probe("select F wait-enabled " + std::to_string(kCommand1) + " " + std::to_string(kWaitMs) +
            " cursor 105 cursor 104 cursor 101 cursor 111 " + "cursor 103 cursor 108");
  ASSERT_EQ(pointed.status, 0) << pointed.output;
  std::map<int, std::string> cursor;
  for (const auto& f : Lines(pointed.output)) {
    if (f.size() == 3 && f[0] == "cursor") cursor[std::stoi(f[1])] = f[2];
  }
  const std::string arrow = cursor[kLabel2];
  const std::string hand = cursor[kCommand2];
  EXPECT_NE(hand, arrow);
  EXPECT_EQ(cursor[kPicture3], hand);
  EXPECT_EQ(cursor[kCommand1], hand);
  EXPECT_EQ(cursor[kLabel1], arrow);
  EXPECT_EQ(cursor[kList1], arrow);

  // Once Repair can be clicked, Tab stops at it between Refresh and the link.
  const auto tabbed = Probe("focus tab focus tab focus tab focus tab focus");
  ASSERT_EQ(tabbed.status, 0) << tabbed.output;
  EXPECT_EQ(Values(tabbed.output, "focus"),
            (std::vector<std::string>{std::to_string(kList1), std::to_string(kCommand2),
                                      std::to_string(kCommand1), std::to_string(kPicture3),
                                      std::to_string(kList1)}));
}

// Wine keeps drive F's type in its registry: with the folder behind F: gone, the letter stays
// removable but its volume is another one, without a size. For the window that is the selected
// stick pulled out and another put in under the same letter.
TEST_F(WindowTest, ListFollowsTheVolumeThatGoesAndComesBack) {
  const std::string waitRepair = std::to_string(kCommand1) + " " + std::to_string(kWaitMs);
  ASSERT_EQ(Probe("select F wait-enabled " + waitRepair).status, 0);

  // The selected volume goes: Repair is greyed and the caption says why; the entry of F that
  // stays is not selected.
  const std::filesystem::path root = session_.Prefix() / "dosdevices" / "f:";
  const std::filesystem::path folder = std::filesystem::read_symlink(root);
  std::filesystem::remove(root);
  const auto gone = Probe("volume removal F list look layout");
  std::filesystem::create_directory_symlink(folder, root);
  ASSERT_EQ(gone.status, 0) << gone.output;
  EXPECT_EQ(Values(gone.output, "item"), std::vector<std::string>{"F:"}) << gone.output;
  EXPECT_EQ(Value(gone.output, "look"), "所选的磁盘已被拔出。");
  EXPECT_FALSE(ParseLayout(gone.output).controls.at(kCommand1).enabled);

  // It comes back with nothing selected: it is selected and analysed without a click.
  const auto back = Probe("volume arrival F wait-enabled " + waitRepair + " list");
  ASSERT_EQ(back.status, 0) << back.output;
  EXPECT_EQ(Values(back.output, "item"), std::vector<std::string>{"F:"}) << back.output;
}

TEST_F(WindowTest, RepairRepairsTheSelectedDriveAndReportsTheTime) {
  const auto selected =
      Probe("select F wait-enabled " + std::to_string(kCommand1) + " " + std::to_string(kWaitMs));
  ASSERT_EQ(selected.status, 0) << selected.output;
  const auto repaired =
      Probe("click " + std::to_string(kCommand1) + " report " + std::to_string(kWaitMs));
  ASSERT_EQ(repaired.status, 0) << repaired.output;
  EXPECT_EQ(Value(repaired.output, "title"), "by Varkel");
  // The report ends with where the journal of the change is, in the user's journal folder.
  const std::string text = Value(repaired.output, "text");
  EXPECT_TRUE(std::regex_match(
      text, std::regex(R"(程序运行结束，文件夹已恢复正常属性。\\r\\n耗时[0-9]+\.[0-9]{2}s)"
                       R"(\\r\\n共恢复[0-9]+个文件夹。(\\r\\n.*)?\\r\\n\\r\\n)"
                       R"(修改前的内容已保存到：C:\\users\\[^\\]+\\AppData\\Local\\)"
                       R"(Kestrova\\[0-9A-F]{8}\\repair-[^\\]+\.journal)")))
      << text;
  EXPECT_EQ(Value(repaired.output, "default"), "1");  // IDOK
  // The hidden program that nothing names is listed for the user to check.
  EXPECT_NE(text.find("SECRET.EXE"), std::string::npos) << text;
  ExpectRepairedExactly(Before(), image_, made_);

  // The bar fills the track exactly and stays; Repair stays available for a second pass.
  Layout layout = CurrentLayout();
  const Control& bar = layout.controls.at(kProgress);
  EXPECT_TRUE(bar.visible);
  EXPECT_EQ(bar.left, kTrackLeft);
  EXPECT_EQ(bar.top, kTrackTop);
  EXPECT_EQ(bar.width, kTrackWidth);
  EXPECT_EQ(bar.height, kTrackHeight);
  EXPECT_TRUE(layout.controls.at(kCommand1).enabled);
  EXPECT_TRUE(layout.controls.at(kList1).enabled);
  EXPECT_TRUE(layout.controls.at(kCommand2).enabled);

  // Refresh: the list is rebuilt, Repair greyed, the bar hidden with width 0.
  const auto refreshed = Probe("click " + std::to_string(kCommand2) + " list");
  ASSERT_EQ(refreshed.status, 0) << refreshed.output;
  EXPECT_EQ(Values(refreshed.output, "item"), std::vector<std::string>{"F:"});
  layout = CurrentLayout();
  EXPECT_FALSE(layout.controls.at(kProgress).visible);
  EXPECT_EQ(layout.controls.at(kProgress).width, 0);
  EXPECT_FALSE(layout.controls.at(kCommand1).enabled);

  // From the keyboard: Tab reaches Repair once it can be clicked, Enter presses it and the focus
  // comes back to it after the pass; a refresh greys it and hands the focus to the list, where
  // Tab goes on working.
  const auto keyed =
      Probe("select F wait-enabled " + std::to_string(kCommand1) + " " + std::to_string(kWaitMs) +
            " tab tab focus enter message " + std::to_string(kWaitMs) + " focus click " +
            std::to_string(kCommand2) + " focus tab focus");
  ASSERT_EQ(keyed.status, 0) << keyed.output;
  EXPECT_EQ(Value(keyed.output, "title"), "by Varkel");
  const std::string list = std::to_string(kList1);
  const std::string repair = std::to_string(kCommand1);
  const std::string refresh = std::to_string(kCommand2);
  EXPECT_EQ(Values(keyed.output, "focus"),
            (std::vector<std::string>{repair, repair, list, refresh}));
  ExpectRepairedExactly(Before(), image_, made_);

  // With the focus on Refresh, Enter and Space press it; F5 refreshes from Repair too.
  for (const std::string keys : {" enter", " space", " tab f5"}) {
    const auto pressed = Probe("select F wait-enabled " + repair + " " + std::to_string(kWaitMs) +
                               keys + " focus layout");
    ASSERT_EQ(pressed.status, 0) << pressed.output;
    EXPECT_FALSE(ParseLayout(pressed.output).controls.at(kCommand1).enabled) << keys;
    EXPECT_EQ(Value(pressed.output, "focus"), keys == " tab f5" ? list : refresh) << keys;
  }
}

// The Linux process of the Kestrova.exe running in Wine prefix `prefix` (Wine names the process
// after the program; other test runs on the machine have prefixes of their own); -1 unless there
// is exactly one.
pid_t WindowProcess(const std::filesystem::path& prefix) {
  const std::string inPrefix = "WINEPREFIX=" + prefix.string();
  pid_t found = -1;
  int count = 0;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator("/proc", error)) {
    std::ifstream comm(entry.path() / "comm");
    std::string name;
    if (!std::getline(comm, name) || name != "Kestrova.exe") continue;
    std::ifstream environment(entry.path() / "environ");
    std::string variable;
    bool ours = false;
    while (!ours && std::getline(environment, variable, '\0')) ours = variable == inPrefix;
    if (!ours) continue;
    found = static_cast<pid_t>(std::stol(entry.path().filename().string()));
    ++count;
  }
  return count == 1 ? found : -1;
}

// The threads of process `process`, by id.
std::set<std::string> ThreadsOf(pid_t process) {
  std::set<std::string> threads;
  std::error_code error;
  const auto tasks = std::filesystem::path("/proc") / std::to_string(process) / "task";
  for (const auto& entry : std::filesystem::directory_iterator(tasks, error)) {
    threads.insert(entry.path().filename().string());
  }
  return threads;
}

// What the window showed while its process stood still after a transfer of the pass.
struct Stop {
  std::string after;  // the call on the image just made: "read" or "write"
  int writes = 0;     // the writes to the image so far
  std::string caption;
  int barWidth = 0;
  std::string enabled;  // the list, Refresh and Repair: 1 for enabled
};

// On a slow drive the window stays alive. strace stops the window's process (SIGSTOP) as each of
// the pass's reads and writes of the image returns, on whichever thread made it; once every
// thread stands still, the test looks at the window through what the system keeps of it, then lets
// it go on. A close asked for at the first stop is answered between two reads, the caption saying
// that the window will close, and the bar has moved before the first write; the pass then
// completes, its report is shown, and the window closes by itself. The image's FAT takes two
// transfers, so that the bar has moved by a visible step before the last read.
TEST_F(WindowTest, AnswersBetweenTheTransfersOfAPassAndClosesAfterIt) {
  const auto made = MakeInfectedImage(scratch_ / "large.img", "-F 32 -s 1", 160 * 1024);
  session_.UseImage(scratch_ / "large.img");
  ASSERT_TRUE(CopySparse(image_, Before()));
  const auto selected =
      Probe("select F wait-enabled " + std::to_string(kCommand1) + " " + std::to_string(kWaitMs));
  ASSERT_EQ(selected.status, 0) << selected.output;
  const pid_t window = WindowProcess(session_.Prefix());
  ASSERT_GT(window, 0);

  // The trace comes through a FIFO, opened without waiting so that strace's open does not wait
  // either; strace tells on its standard error once it has attached to every thread.
  const auto fifo = scratch_ / "trace";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const int traceFd = open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  ASSERT_GE(traceFd, 0);
  const std::string image = Quote(std::filesystem::canonical(image_).string());
  Background tracer("strace -f -p " + std::to_string(window) +
                    " -s 0 -e trace=read,write -e signal=SIGSTOP -P " + image + " -o " +
                    Quote(fifo.string()) +
                    " --inject=read:signal=SIGSTOP:when=1+ --inject=write:signal=SIGSTOP:when=1+"
                    " 2>&1");
  const std::string attached = tracer.ReadLine();
  ASSERT_NE(attached.find("attached"), std::string::npos)
      << attached << " (scripts/setup.sh test installs strace)";
  ASSERT_EQ(fcntl(traceFd, F_SETFL, 0), 0);  // from now on a read waits for the trace
  FILE* trace = fdopen(traceFd, "r");
  ASSERT_NE(trace, nullptr);

  const std::string probe = session_.Env() + " wine " + Quote(ProbeExe()) + " ";
  const std::string passMs = std::to_string(6 * kWaitMs);
  Background click(probe + "click " + std::to_string(kCommand1) + " 2>/dev/null");
  Background report(probe + "message " + passMs + " gone " + passMs + " 2>/dev/null");
  std::vector<Stop> stops;
  static const std::regex kCall(R"(^(\d+) +(read|write)\()");
  static const std::regex kStopped(R"(^(\d+) +--- stopped by SIGSTOP ---)");
  static const std::regex kExited(R"(^(\d+) +\+\+\+ exited)");
  std::string after;
  int writes = 0;
  std::size_t calls = 0;
  // The threads still to stop for the stop under way: a SIGSTOP stops every thread of the
  // process (the pass may read on a thread of its own), and strace tells of each.
  std::set<std::string> stopping;
  bool stopped = false;
  char* line = nullptr;
  std::size_t size = 0;
  // The trace ends when the window's process does.
  while (getline(&line, &size, trace) > 0) {
    const std::string text(line);
    std::smatch match;
    if (std::regex_search(text, match, kCall)) {
      after = match[2];
      if (after == "write") ++writes;
      ++calls;
      // The call returned with the SIGSTOP injected: the stop begins for every thread there is.
      stopping = ThreadsOf(window);
      stopped = false;
      continue;
    }
    if (std::regex_search(text, match, kStopped) || std::regex_search(text, match, kExited)) {
      stopping.erase(match[1]);
      if (stopped || !stopping.empty() || after.empty()) continue;
    } else {
      continue;
    }
    stopped = true;
    if (stops.empty()) {
      // Posted, not waited for: the window stands still.
      EXPECT_EQ(Probe("close 0").output.find("closed"), std::string::npos);
    }
    Stop stop{after, writes, "<no look>", -1, ""};
    for (const auto& f : Lines(Probe("look").output)) {
      if (f.size() == 4 && f[0] == "look") stop = {after, writes, f[1], std::stoi(f[2]), f[3]};
    }
    stops.push_back(stop);
    kill(window, SIGCONT);
  }
  std::free(line);
  std::fclose(trace);

  EXPECT_EQ(tracer.Wait(), 0);
  EXPECT_EQ(click.ReadLine(), "clicked\t" + std::to_string(kCommand1));
  EXPECT_EQ(report.ReadLine(), "title\tby Varkel");
  EXPECT_EQ(report.ReadLine().rfind("text\t程序运行结束", 0), 0u);
  EXPECT_EQ(report.ReadLine(), "gone");
  EXPECT_EQ(window_->Wait(), 0);
  window_.reset();  // closed by itself

  std::ostringstream seen;
  for (const Stop& stop : stops) {
    seen << stop.after << " (" << stop.writes << " written): " << stop.caption << ", bar "
         << stop.barWidth << ", enabled " << stop.enabled << "\n";
  }
  ASSERT_FALSE(stops.empty());
  EXPECT_EQ(stops.size(), calls) << "one look at each stop\n" << seen.str();
  EXPECT_EQ(stops.front().after, "read") << seen.str();
  const auto beforeWrites = [&](auto&& shows) {
    return std::any_of(stops.begin(), stops.end(),
                       [&](const Stop& stop) { return stop.writes == 0 && shows(stop); });
  };
  const std::string finishing = texts::kFinishingBeforeClose.chinese;
  EXPECT_TRUE(beforeWrites([&](const Stop& stop) { return stop.caption == finishing; }))
      << seen.str();
  EXPECT_TRUE(beforeWrites([](const Stop& stop) { return stop.barWidth > 0; })) << seen.str();
  // The bar has moved when the first transfer returns, and the list, Refresh and Repair stay
  // greyed throughout.
  EXPECT_GT(stops.front().barWidth, 0) << seen.str();
  EXPECT_TRUE(std::all_of(stops.begin(), stops.end(), [](const Stop& stop) {
    return stop.enabled == "000";
  })) << seen.str();
  EXPECT_GT(writes, 0) << seen.str();
  ExpectRepairedExactly(Before(), image_, made);
}

// The rows of the removal dialog as the probe printed them: name, reason and whether checked.
struct Row {
  std::string name, reason, checked;
  bool operator==(const Row&) const = default;
};
std::vector<Row> Rows(const std::string& output) {
  std::vector<Row> rows;
  for (const auto& f : Lines(output)) {
    if (f.size() == 5 && f[0] == "row") rows.push_back({f[2], f[3], f[4]});
  }
  return rows;
}

// The buttons of a dialog as the probe printed them, by id.
std::map<std::string, std::string> Buttons(const std::string& output) {
  std::map<std::string, std::string> buttons;
  for (const auto& f : Lines(output)) {
    if (f.size() == 3 && f[0] == "button") buttons[f[1]] = f[2];
  }
  return buttons;
}

// After the repair's report the virus's files are offered in a list, each checked, Keep being
// the default: Enter, Escape and Keep keep them all, and Remove selected removes exactly the
// checked ones, with a report of its own. The dialog keeps its size at another resolution.
TEST_F(WindowTest, OffersEachOfTheVirussFilesAndRemovesTheCheckedOnes) {
  AddVirusFiles();
  const std::string ms = std::to_string(kWaitMs);
  const std::string repair = std::to_string(kCommand1);
  const std::string offered =
      "select F wait-enabled " + repair + " " + ms + " click " + repair + " report " + ms;
  std::map<std::string, int> widths;
  for (const std::string key : {"enter", "escape", "keep"}) {
    SCOPED_TRACE(key);
    ASSERT_TRUE(CopySparse(Before(), image_));
    const std::string dpi = key == "keep" ? "dpi 144 " : "";
    const auto kept = Probe(dpi + offered + " removals " + ms + " press " + key);
    if (!dpi.empty()) {
      EXPECT_EQ(Probe("dpi 96").status, 0);
    }
    ASSERT_EQ(kept.status, 0) << kept.output;
    EXPECT_EQ(Values(kept.output, "title").back(), texts::kCleanTitle.chinese);
    EXPECT_EQ(Values(kept.output, "text").back(), texts::kCleanQuestion.chinese);
    EXPECT_EQ(
        Rows(kept.output),
        (std::vector<Row>{
            {"autorun.inf", "autorun.inf，插入磁盘时让Windows自动运行程序", "1"},
            {"x.exe", "由autorun.inf中的“open=x.exe”运行", "1"},
            {"HS1.exe", "程序，与同样冒充文件夹或磁盘的“HID2.exe”内容完全相同：病毒的副本", "1"},
            {"HID2.exe", "程序，与同样冒充文件夹或磁盘的“HS1.exe”内容完全相同：病毒的副本", "1"}}));
    auto buttons = Buttons(kept.output);
    EXPECT_EQ(buttons[std::to_string(kRemoveSelected)], "删除所选");
    EXPECT_EQ(buttons["2"], "保留");  // IDCANCEL
    EXPECT_EQ(Values(kept.output, "default").back(), "2");
    ExpectRepairedExactly(Before(), image_, made_);
    for (const auto& f : Lines(kept.output)) {
      if (f.size() == 3 && f[0] == "dialog") widths[key] = std::stoi(f[1]);
    }
  }
  EXPECT_GT(widths["enter"], 0);
  EXPECT_EQ(widths["escape"], widths["enter"]);
  // The dialog is as wide as its longest reason, whose text the font's hinting widens by a few
  // pixels more than the scale at 144 dots per inch: one in a hundred.
  EXPECT_NEAR(widths["keep"], Scaled(widths["enter"], 144), Scaled(widths["enter"], 144) / 100);

  ASSERT_TRUE(CopySparse(Before(), image_));
  const auto removed = Probe(offered + " removals " + ms + " uncheck 1 press remove report " + ms);
  ASSERT_EQ(removed.status, 0) << removed.output;
  EXPECT_EQ(Rows(removed.output).size(), 4u);
  EXPECT_EQ(Values(removed.output, "title").back(), texts::kCleanTitle.chinese);
  EXPECT_TRUE(Values(removed.output, "text")
                  .back()
                  .starts_with("共删除3个病毒留下的文件。\\r\\n\\r\\n修改前的内容已保存到："))
      << removed.output;
  EXPECT_FALSE(OnImage("autorun.inf"));
  EXPECT_TRUE(OnImage("x.exe"));
  EXPECT_FALSE(OnImage("HS1.exe"));
  EXPECT_FALSE(OnImage("HID2.exe"));
  EXPECT_EQ(MattribFlags(image_, "/x.exe"), MattribFlags(Before(), "/x.exe"));
  const auto check = kestrova::testing::Run("fsck.fat -n " + Quote(image_.string()), true);
  EXPECT_EQ(check.status, 0) << check.output;
}

// The sample stick (tools/make_sample_image.sh): after the repair's report one dialog offers the
// virus's files and, last, the line that moves the user's file back out of the blank folder, each
// whole in its column, all checked, Keep the default. 执行所选 with the line unchecked removes the
// files alone, the user's file staying in the folder; with everything checked one pass also moves
// it back (the payload is the virus's: it goes with the folder), with one journal and one report,
// whose undo gives the repaired stick back byte for byte.
TEST_F(WindowTest, OneDialogRemovesTheVirusAndMovesTheFilesBack) {
  ASSERT_TRUE(MakeSampleImage(scratch_ / "sample.img"));
  session_.UseImage(scratch_ / "sample.img");
  const auto infected = FatFiles(image_);
  ASSERT_TRUE(CopySparse(image_, Before()));
  const std::string ms = std::to_string(kWaitMs);
  const std::string repair = std::to_string(kCommand1);
  const std::string repaired =
      "select F wait-enabled " + repair + " " + ms + " click " + repair + " report " + ms;
  const std::string title = texts::kNextStepTitle.chinese;
  const std::string folder = "[U+00A0]";
  const std::string moveLine = "把病毒移到" + folder + "里的1个文件、0个文件夹移回根目录";
  const std::regex journal(
      R"(.*\\r\\n\\r\\n修改前的内容已保存到：C:\\users\\[^\\]+)"
      R"(\\AppData\\Local\\Kestrova\\[0-9A-F]{8}\\(fix|clean)-[^\\]+\.journal)");
  const auto journalOf = [&](const std::string& report) {
    std::smatch named;
    return std::regex_match(report, named, journal) ? named[1].str() : "<none> " + report;
  };

  const auto cleaned = Probe(repaired + " removals " + ms + " uncheck 7 press remove report " + ms);
  ASSERT_EQ(cleaned.status, 0) << cleaned.output;
  EXPECT_EQ(Values(cleaned.output, "title"), (std::vector<std::string>{"by Varkel", title, title}));
  EXPECT_EQ(Values(cleaned.output, "text")[1], texts::kNextStepQuestion.chinese);
  const std::vector<Row> rows = Rows(cleaned.output);
  ASSERT_EQ(rows.size(), 8u) << cleaned.output;
  EXPECT_EQ(rows[0], (Row{"sys.vbs", "由autorun.inf中的“open=wscript.exe sys.vbs”运行", "1"}));
  EXPECT_EQ(rows[7], (Row{moveLine, texts::kMoveBackReason.chinese, "1"}));
  for (const auto& f : Lines(cleaned.output)) {
    if (f.size() == 4 && f[0] == "room") {
      EXPECT_LE(std::stoi(f[3]), std::stoi(f[2])) << "row " << f[1] << " is cut";
    }
  }
  auto buttons = Buttons(cleaned.output);
  EXPECT_EQ(buttons[std::to_string(kRemoveSelected)], "执行所选");
  EXPECT_EQ(buttons["2"], "保留");  // IDCANCEL
  EXPECT_EQ(Values(cleaned.output, "default"), (std::vector<std::string>{"1", "2", "1"}));
  EXPECT_EQ(journalOf(Values(cleaned.output, "text").back()), "clean");
  EXPECT_FALSE(OnImage("sys.vbs"));
  EXPECT_FALSE(OnImage("budget.txt"));
  EXPECT_TRUE(OnImage("\u00A0/budget.txt"));

  ASSERT_TRUE(CopySparse(Before(), image_));
  ASSERT_EQ(Probe(repaired).status, 0);
  const auto repairedImage = scratch_ / "repaired.img";
  ASSERT_TRUE(CopySparse(image_, repairedImage));
  const auto fixed = Probe("removals " + ms + " press remove report-open " + ms);
  ASSERT_EQ(fixed.status, 0) << fixed.output;
  EXPECT_EQ(Values(fixed.output, "title").back(), title);
  const std::string report = Values(fixed.output, "text").back();
  EXPECT_TRUE(report.starts_with("共删除7个病毒留下的文件。\\r\\n从" + folder)) << report;
  EXPECT_EQ(journalOf(report), "fix");
  EXPECT_EQ(FatFiles(image_), SampleFixed(infected));
  const auto check = kestrova::testing::Run("fsck.fat -n " + Quote(image_.string()), true);
  EXPECT_EQ(check.status, 0) << check.output;

  const auto undone = Probe("report-action " + ms + " message " + ms);
  ASSERT_EQ(undone.status, 0) << undone.output;
  EXPECT_EQ(Values(undone.output, "title").back(), texts::kUndoThisChange.chinese);
  EXPECT_TRUE(DifferingOffsets(repairedImage, image_).empty());
}

// The report of each change offers its undo: the repair's puts back every byte it wrote, and
// then offers no removal; the removal's puts the files back as the repair left them. Each undo
// tells what it did.
TEST_F(WindowTest, UndoesEachChangeFromItsReport) {
  AddVirusFiles();
  const std::string ms = std::to_string(kWaitMs);
  const std::string repair = std::to_string(kCommand1);
  const std::string repaired = "select F wait-enabled " + repair + " " + ms + " click " + repair;
  const std::string undoTitle = texts::kUndoThisChange.chinese;
  const std::regex undone("已恢复[0-9]+个扇区修改前的内容。");

  const auto repairUndone = Probe(repaired + " report-action " + ms + " message " + ms);
  ASSERT_EQ(repairUndone.status, 0) << repairUndone.output;
  EXPECT_EQ(Buttons(repairUndone.output),
            (std::map<std::string, std::string>{{"1", "确定"},  // IDOK
                                                {std::to_string(kReportAction), undoTitle}}));
  EXPECT_EQ(Values(repairUndone.output, "default").front(), "1");
  EXPECT_EQ(Values(repairUndone.output, "title").back(), undoTitle);
  EXPECT_TRUE(std::regex_match(Values(repairUndone.output, "text").back(), undone))
      << repairUndone.output;
  EXPECT_TRUE(DifferingOffsets(Before(), image_).empty());

  const auto cleanUndone = Probe(repaired + " report " + ms + " removals " + ms +
                                 " press remove report-action " + ms + " message " + ms);
  ASSERT_EQ(cleanUndone.status, 0) << cleanUndone.output;
  const auto titles = Values(cleanUndone.output, "title");
  EXPECT_EQ(titles, (std::vector<std::string>{"by Varkel", texts::kCleanTitle.chinese,
                                              texts::kCleanTitle.chinese, undoTitle}))
      << cleanUndone.output;
  EXPECT_TRUE(std::regex_match(Values(cleanUndone.output, "text").back(), undone))
      << cleanUndone.output;
  ExpectRepairedExactly(Before(), image_, made_);
  for (const char* name : {"autorun.inf", "x.exe", "HS1.exe", "HID2.exe"})
    EXPECT_TRUE(OnImage(name)) << name;
}

// The window moves to a monitor of another resolution: it lays itself out again from the design,
// and back.
TEST_F(WindowTest, FollowsAChangeOfResolution) {
  const auto larger = Probe("dpi 144" + kGeometry);
  ASSERT_EQ(larger.status, 0) << larger.output;
  ExpectScaledWindow(larger.output, 144);
  const auto back = Probe("dpi 96" + kGeometry);
  ASSERT_EQ(back.status, 0) << back.output;
  ExpectScaledWindow(back.output, kDesignDpi);
}

TEST_F(WindowTest, AnalysisRefusesVolumesItCannotRepair) {
  {
    SCOPED_TRACE("not FAT");
    const auto ext2 = scratch_ / "ext2.img";
    ASSERT_EQ(kestrova::testing::Run("truncate -s 16M " + Quote(ext2.string()) +
                                         " && mkfs.ext2 -q -F " + Quote(ext2.string()),
                                     true)
                  .status,
              0);
    session_.UseImage(ext2);
    ASSERT_TRUE(CopySparse(image_, scratch_ / "ext2-before.img"));
    const auto refused = Probe("select F message " + std::to_string(kWaitMs));
    ASSERT_EQ(refused.status, 0) << refused.output;
    EXPECT_EQ(Value(refused.output, "title"), kErrorTitle);
    EXPECT_EQ(Value(refused.output, "text"), kUnsupportedFileSystem);
    EXPECT_FALSE(CurrentLayout().controls.at(kCommand1).enabled);
    EXPECT_TRUE(DifferingOffsets(scratch_ / "ext2-before.img", image_).empty());
  }
  {
    SCOPED_TRACE("held by another program");
    const auto infected = scratch_ / "again.img";
    ASSERT_TRUE(CopySparse(Before(), infected));
    session_.UseImage(infected);
    auto holder = HoldDrive();
    const auto refused = Probe("select F message " + std::to_string(kWaitMs));
    holder->CloseInput();
    EXPECT_EQ(holder->Wait(), 0);
    ASSERT_EQ(refused.status, 0) << refused.output;
    EXPECT_EQ(Value(refused.output, "title"), kOpenFailedTitle);
    EXPECT_EQ(Value(refused.output, "text"), kOpenFailed);
    EXPECT_FALSE(CurrentLayout().controls.at(kCommand1).enabled);
    EXPECT_TRUE(DifferingOffsets(Before(), image_).empty());
  }
}

// A drive that cannot be written: an image file made immutable, which Wine refuses to open for
// writing with "access denied" (and whose IOCTL_DISK_IS_WRITABLE it does not support), while it
// opens for reading. The command line's scan and the window's analysis read it; their repairs say
// that it is write-protected, never that rights are missing, and write nothing.
TEST_F(WindowTest, WriteProtectedDriveIsAnalysedButNotRepaired) {
  const std::string file = Quote(image_.string());
  if (kestrova::testing::Run("chattr +i " + file, true).status != 0) {
    GTEST_SKIP() << "chattr +i does not work on " << image_;
  }
  struct Mutable {
    std::string file;
    ~Mutable() { EXPECT_EQ(kestrova::testing::Run("chattr -i " + file).status, 0); }
  } again{file};
  constexpr const char* kWriteProtected = "处于写保护（只读）状态";

  const auto scan = session_.Wine(CliExe(), "scan F:", scratch_ / "stderr");
  EXPECT_EQ(scan.status, 0);
  EXPECT_NE(scan.output.find("\tHS1\t"), std::string::npos) << scan.output;
  const auto repair = session_.Wine(CliExe(), "repair --utf8 F:", scratch_ / "stderr");
  EXPECT_EQ(repair.status, 1);
  const auto errors = ReadBytes(scratch_ / "stderr");
  const std::string text(errors.begin(), errors.end());
  EXPECT_NE(text.find(kWriteProtected), std::string::npos) << text;
  EXPECT_EQ(text.find("权限"), std::string::npos) << text;

  const auto refused =
      Probe("select F wait-enabled " + std::to_string(kCommand1) + " " + std::to_string(kWaitMs) +
            " click " + std::to_string(kCommand1) + " message " + std::to_string(kWaitMs));
  ASSERT_EQ(refused.status, 0) << refused.output;
  EXPECT_EQ(Value(refused.output, "title"), "修复失败");
  EXPECT_NE(Value(refused.output, "text").find(kWriteProtected), std::string::npos)
      << refused.output;
  EXPECT_TRUE(DifferingOffsets(Before(), image_).empty());
}

// Started at 120, 144 and 192 dots per inch, the window keeps its proportions: at 120 a pixel is
// 12 twips, and the pictures are stretched from the nearest of those drawn at 125, 150 and 200 %.
TEST_F(WineTest, WindowScalesItsLayoutWithTheScreenResolution) {
  struct RestoreDpi {
    Session& session;
    ~RestoreDpi() { session.SetScreenDpi(kDesignDpi); }
  } restore{session_};
  for (const int dpi : {120, 144, 192}) {
    session_.SetScreenDpi(dpi);
    Background window(session_.Env() + " wine " + Quote(WindowExe()) + " 2>/dev/null");
    const auto probed =
        session_.Wine(ProbeExe(), "window " + std::to_string(kWindowStartMs) + kGeometry +
                                      " close " + std::to_string(kWaitMs));
    EXPECT_EQ(window.Wait(), 0);
    ASSERT_EQ(probed.status, 0) << probed.output;
    ExpectScaledWindow(probed.output, dpi);
  }
}

}  // namespace
}  // namespace kestrova::testing::wine
