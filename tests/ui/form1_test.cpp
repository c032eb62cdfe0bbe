// SPDX-License-Identifier: GPL-3.0-or-later
// Form1's handlers driven through a fake window: the drive list, the analysis and the repair pass
// as the user starts them, the report, the refresh, and commands that arrive during a pass.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "fake_window.h"
#include "fat32_volume.h"
#include "format/fat.h"
#include "memory_stick.h"
#include "memory_volume.h"
#include "repair/drive_use.h"
#include "repair/journals.h"
#include "ui/form1.h"
#include "ui/layout.h"
#include "ui/report.h"
#include "words/messages.h"
#include "words/texts.h"

namespace kestrova::testing {
namespace {

using namespace fat;
using ui::Form1;
using ui::kStyleCritical;
using ui::kStyleInformation;

constexpr const char* kCompletionFirstLine = "程序运行结束，文件夹已恢复正常属性。";
// How a report of a change that wrote a journal goes on: where the journal is.
const std::string kJournalLine = "\r\n\r\n修改前的内容已保存到：";

// A small FAT32 volume: 2 sectors per cluster, the root directory in clusters 2 and 3, and in it
// three hidden/system folders, a hidden file and a plain folder.
constexpr std::uint32_t kReserved = 32;
constexpr std::uint32_t kFats = 2;
constexpr std::uint32_t kFatSectors = 1;
constexpr std::uint32_t kSectorsPerCluster = 2;
constexpr std::uint32_t kClusters = 100;
constexpr std::uint32_t kDataStart = kReserved + kFats * kFatSectors;
constexpr std::uint32_t kTotalSectors = kDataStart + kClusters * kSectorsPerCluster;
constexpr std::uint32_t kRootClusters = 2;  // clusters 2 and 3
constexpr std::uint32_t kRootSectors = kRootClusters * kSectorsPerCluster;

std::size_t SectorOffset(std::uint32_t sector) { return std::size_t{sector} * kMinSectorSize; }

std::size_t AttributeAt(std::uint32_t rootSector, std::size_t entry) {
  return SectorOffset(kDataStart + rootSector) + entry * kDirEntrySize + kAttributeOffset;
}

void MakeInfectedVolume(MemoryVolume& memory, char letter) {
  Fat32Volume volume(memory, letter,
                     {.sectorsPerCluster = kSectorsPerCluster,
                      .reservedSectors = kReserved,
                      .fatCount = kFats,
                      .fatSize = kFatSectors,
                      .totalSectors = kTotalSectors});
  volume.Chain({2, 3});
  const std::uint64_t first = kDataStart;
  volume.PutEntry(first, 0, "DOCS       ", kAttrDirectory | kAttrHidden | kAttrSystem);
  volume.PutEntry(first, 1, "PHOTOS     ", kAttrDirectory | kAttrHidden);
  volume.PutEntry(first, 2, "README  TXT", kAttrArchive | kAttrHidden);
  volume.PutEntry(first, 3, "PLAIN      ", kAttrDirectory);
  // The last root sector: cluster 3's second sector.
  volume.PutEntry(kDataStart + kRootSectors - 1, 0, "MUSIC      ",
                  kAttrDirectory | kAttrHidden | kAttrSystem | kAttrReadOnly);
  // Each folder empty, in a cluster of its own from 10 on.
  std::uint32_t cluster = 10;
  for (const auto& [sector, index] : {std::pair<std::uint64_t, int>{first, 0},
                                      {first, 1},
                                      {first, 3},
                                      {kDataStart + kRootSectors - 1, 0}}) {
    volume.Chain({cluster});
    volume.SetFirstCluster(sector, index, cluster++);
  }
}

class Form1Test : public ::testing::Test {
 protected:
  Form1Test() : backend_(volumes_) {
    MakeInfectedVolume(volumes_, 'F');
    volumes_.AddSparseDrive('G', SectorOffset(kTotalSectors));  // blank: not FAT32
    window_.driveTypes = {{"c:", 3}, {"f:", 2}, {"g:", 2}};
    // Every step of a pass reaches the window, whatever the clock says.
    form_.SetEventPace(std::chrono::milliseconds::zero());
  }

  std::uint8_t AttributeOnF(std::uint32_t rootSector, std::size_t entry) const {
    return volumes_.Peek('F', AttributeAt(rootSector, entry), 1).at(0);
  }

  bool ShowedCompletion() const {
    for (const auto& message : window_.messages) {
      if (message.text.find(kCompletionFirstLine) != std::string::npos) return true;
    }
    return false;
  }

  MemoryVolume volumes_;
  ScopedBackend backend_;
  FakeWindow window_;
  Form1 form_{window_, window_};
};

TEST_F(Form1Test, LoadSetsInitialStateAndListsRemovableLettersFromCToZ) {
  window_.driveTypes = {{"a:", 2}, {"b:", 2}, {"c:", 2}, {"e:", 2},
                        {"f:", 3}, {"k:", 4}, {"q:", 2}, {"z:", 2}};
  form_.Form_Load();
  EXPECT_FALSE(window_.progressVisible);
  EXPECT_EQ(window_.progressWidth, 0.0f);
  EXPECT_FALSE(window_.repairEnabled);
  EXPECT_EQ(window_.entries, (std::vector<std::string>{"C:", "E:", "Q:", "Z:"}));
  EXPECT_FALSE(window_.selected.has_value());

  // Every letter from c to z once, in order, as "x:"; never a or b.
  std::vector<std::string> expected;
  for (char letter = 'c'; letter <= 'z'; ++letter) expected.push_back(std::string{letter, ':'});
  EXPECT_EQ(window_.queried, expected);
  EXPECT_TRUE(window_.messages.empty());
}

TEST_F(Form1Test, LoadWithNoRemovableDriveLeavesTheListEmpty) {
  window_.driveTypes = {{"a:", 2}, {"b:", 2}, {"c:", 3}};
  form_.Form_Load();
  EXPECT_TRUE(window_.entries.empty());
  EXPECT_FALSE(window_.repairEnabled);
}

TEST_F(Form1Test, LoadSkipsOnlyTheStepThatFails) {
  window_.driveTypes = {{"e:", 2}, {"f:", 2}, {"g:", 2}};
  window_.failingRoot = "f:";
  window_.failProgressWidth = true;
  form_.Form_Load();
  // The failing width step is skipped; the rest still runs.
  EXPECT_FALSE(window_.progressVisible);
  EXPECT_FALSE(window_.repairEnabled);
  // The failing query loses its own letter only.
  EXPECT_EQ(window_.entries, (std::vector<std::string>{"E:", "G:"}));
  EXPECT_EQ(window_.queried.size(), 24u);
  EXPECT_TRUE(window_.messages.empty());

  window_.failProgressWidth = false;
  window_.failProgressVisible = true;
  window_.repairEnabled = true;
  form_.Command2_Click();
  EXPECT_EQ(window_.progressWidth, 0.0f);
  EXPECT_FALSE(window_.repairEnabled);
}

TEST_F(Form1Test, SelectionAnalysesTheSelectedDriveAndRepairFollowsTheLatestAnalysis) {
  form_.Form_Load();
  ASSERT_EQ(window_.entries, (std::vector<std::string>{"F:", "G:"}));

  window_.Select(form_, "F");
  EXPECT_TRUE(window_.repairEnabled);
  EXPECT_TRUE(window_.messages.empty());
  EXPECT_EQ(form_.Layout().rootClusterCount, 2);
  EXPECT_EQ(form_.Layout().dataStart, static_cast<std::int32_t>(kDataStart));

  window_.Select(form_, "G");
  EXPECT_FALSE(window_.repairEnabled);
  ASSERT_EQ(window_.messages.size(), 1u);
  EXPECT_EQ(window_.messages[0].text, std::string(texts::kUnsupportedFileSystem.chinese));
  EXPECT_EQ(window_.messages[0].title, std::string(texts::kErrorTitle.chinese));
  EXPECT_EQ(window_.messages[0].style, kStyleCritical);

  window_.Select(form_, "F");
  EXPECT_TRUE(window_.repairEnabled);
  EXPECT_EQ(window_.messages.size(), 1u);
  // Analyses only read.
  EXPECT_EQ(volumes_.Count(MemoryVolume::Call::kWrite), 0);
  EXPECT_FALSE(volumes_.IsOpen());
}

// The window started for one drive (Kestrova.exe /drive F): that entry is selected and analysed;
// a letter that the list does not hold selects nothing.
TEST_F(Form1Test, StartedForADriveSelectsAndAnalysesItsEntry) {
  form_.Form_Load();
  EXPECT_FALSE(form_.SelectDrive('H'));
  EXPECT_FALSE(window_.selected.has_value());
  EXPECT_TRUE(form_.SelectDrive('F'));
  EXPECT_EQ(window_.selected, std::optional<std::int16_t>(0));
  EXPECT_TRUE(window_.repairEnabled);
  EXPECT_EQ(form_.Layout().rootClusterCount, 2);
}

TEST_F(Form1Test, SelectionOfAHeldDriveReportsThatItCannotBeOpened) {
  form_.Form_Load();
  volumes_.HoldDrive('F');
  window_.Select(form_, "F");
  EXPECT_FALSE(window_.repairEnabled);
  ASSERT_EQ(window_.messages.size(), 1u);
  EXPECT_EQ(window_.messages[0].text,
            std::string("获取磁盘参数错误！请检查是否有其他程序占用磁盘。"));
  EXPECT_EQ(window_.messages[0].title, std::string(texts::kFailureTitle.chinese));
  EXPECT_EQ(window_.messages[0].style, kStyleCritical);
}

// The analysis only reads, so a write-protected drive is analysed; its repair says what stops it.
TEST_F(Form1Test, WriteProtectedDriveIsAnalysedAndItsRepairSaysItIsWriteProtected) {
  form_.Form_Load();
  volumes_.ProtectDrive('F');
  window_.Select(form_, "F");
  EXPECT_TRUE(window_.repairEnabled);
  EXPECT_TRUE(window_.messages.empty());
  EXPECT_EQ(volumes_.OpenAccess(), volume::Access::kReadOnly);

  form_.Command1_Click();
  ASSERT_EQ(window_.messages.size(), 1u);
  EXPECT_NE(window_.messages[0].text.find("处于写保护（只读）状态"), std::string::npos)
      << window_.messages[0].text;
  EXPECT_NE(window_.messages[0].text.find("未对磁盘作任何修改"), std::string::npos);
  EXPECT_EQ(window_.messages[0].title, std::string(texts::kRepairFailedTitle.chinese));
  EXPECT_EQ(volumes_.Count(MemoryVolume::Call::kWrite), 0);
  EXPECT_FALSE(ShowedCompletion());
}

TEST_F(Form1Test, ClickWithoutSelectionDisablesRepairAndTouchesNothing) {
  form_.Form_Load();
  window_.Select(form_, "F");
  ASSERT_TRUE(window_.repairEnabled);
  const int opens = volumes_.Count(MemoryVolume::Call::kOpen);

  window_.Select(form_, std::nullopt);
  EXPECT_FALSE(window_.repairEnabled);
  EXPECT_TRUE(window_.messages.empty());
  EXPECT_EQ(volumes_.Count(MemoryVolume::Call::kOpen), opens);

  // An empty list, too.
  window_.driveTypes.clear();
  form_.Command2_Click();
  window_.repairEnabled = true;
  form_.List1_Click();
  EXPECT_FALSE(window_.repairEnabled);
  EXPECT_TRUE(window_.messages.empty());
}

TEST_F(Form1Test, RepairRewritesTheRootAndReportsTheElapsedTime) {
  form_.Form_Load();
  window_.Select(form_, "F");
  const std::vector<std::uint8_t> before = volumes_.Peek('F', 0, SectorOffset(kTotalSectors));
  bool visibleDuringPass = false;
  window_.duringPass = [&](int) { visibleDuringPass = window_.progressVisible; };
  window_.timerReadings = {100.0, 112.34375};
  window_.widths.clear();

  form_.Command1_Click();

  EXPECT_TRUE(visibleDuringPass);
  EXPECT_EQ(window_.widths.back(), 100.0f);
  ASSERT_EQ(window_.messages.size(), 1u);
  EXPECT_TRUE(window_.messages[0].text.starts_with(
      std::string(kCompletionFirstLine) +
      "\r\n耗时12.34s\r\n共恢复3个文件夹。\r\n共重新显示1个被隐藏的文件。" + kJournalLine))
      << window_.messages[0].text;
  EXPECT_EQ(window_.messages[0].title, "by Varkel");
  EXPECT_EQ(window_.messages[0].style, kStyleInformation);

  // Exactly the three folders and the hidden document changed, each to a plain entry.
  const std::vector<std::uint8_t> after = volumes_.Peek('F', 0, SectorOffset(kTotalSectors));
  std::vector<std::size_t> changed;
  for (std::size_t i = 0; i < after.size(); ++i) {
    if (after[i] != before[i]) changed.push_back(i);
  }
  EXPECT_EQ(changed,
            (std::vector<std::size_t>{AttributeAt(0, 0), AttributeAt(0, 1), AttributeAt(0, 2),
                                      AttributeAt(kRootSectors - 1, 0)}));
  EXPECT_EQ(AttributeOnF(0, 0), kAttrDirectory);
  EXPECT_EQ(AttributeOnF(0, 1), kAttrDirectory);
  EXPECT_EQ(AttributeOnF(0, 2), kAttrArchive);  // the hidden document is shown again
  EXPECT_EQ(AttributeOnF(kRootSectors - 1, 0), kAttrDirectory);
  EXPECT_FALSE(volumes_.IsOpen());
  EXPECT_FALSE(form_.PassRunning());
}

// The worm's one program copied under the name of each hidden folder, in the root's entries 4
// and 5, one cluster each (4 and 5).
void PutProgramsPosingAsFolders(MemoryVolume& volumes) {
  const std::string worm = "MZ\x90 the worm's copy of itself";
  for (const auto& [slot, name] : {std::pair{4, "PHOTOS  EXE"}, std::pair{5, "DOCS    EXE"}}) {
    const auto cluster = static_cast<std::uint32_t>(slot);
    std::vector<std::uint8_t> program(kDirEntrySize, 0);
    std::copy_n(name, 11, program.begin());
    program[kAttributeOffset] = kAttrArchive;
    program[26] = static_cast<std::uint8_t>(cluster);
    program[28] = static_cast<std::uint8_t>(worm.size());
    volumes.Poke('F', AttributeAt(0, slot) - kAttributeOffset, program);
    volumes.Poke('F', SectorOffset(kDataStart + (cluster - 2) * kSectorsPerCluster),
                 {worm.begin(), worm.end()});
    for (std::uint32_t fat = 0; fat < kFats; ++fat) {
      volumes.Poke('F', SectorOffset(kReserved + fat * kFatSectors) + cluster * 4,
                   {0xFF, 0xFF, 0xFF, 0x0F});
    }
  }
}

// After the repair's report the virus's files are offered for removal, each with its reason, all
// checked, Keep the default: Keep removes nothing; Remove selected removes exactly the files left
// checked, with a report of its own.
TEST_F(Form1Test, VirusFilesAreRemovedOnlyAsTheUserChose) {
  PutProgramsPosingAsFolders(volumes_);
  const auto firstByte = [&](int slot) {
    return volumes_.Peek('F', AttributeAt(0, slot) - kAttributeOffset, 1).at(0);
  };
  form_.Form_Load();
  window_.Select(form_, "F");

  form_.Command1_Click();
  ASSERT_EQ(window_.questions.size(), 1u);
  EXPECT_EQ(window_.questions[0].title, std::string(texts::kCleanTitle.chinese));
  ASSERT_EQ(window_.offered.size(), 2u);
  EXPECT_EQ(window_.offered[0].name, "PHOTOS.EXE");
  EXPECT_EQ(window_.offered[0].reason, texts::Format(texts::kLeftoverIdenticalCopies, "DOCS.EXE"));
  EXPECT_EQ(window_.offered[1].name, "DOCS.EXE");
  EXPECT_EQ(window_.messages.size(), 1u);  // the repair's report, and nothing after Keep
  EXPECT_EQ(firstByte(4), 'P');
  EXPECT_EQ(firstByte(5), 'D');

  window_.chosen = std::vector<std::size_t>{1};
  form_.Command1_Click();
  ASSERT_EQ(window_.questions.size(), 2u);
  EXPECT_EQ(firstByte(4), 'P');
  EXPECT_EQ(firstByte(5), 0xE5);
  ASSERT_EQ(window_.messages.size(), 3u);
  EXPECT_TRUE(window_.messages[2].text.starts_with("共删除1个病毒留下的文件。\r\n\r\n"))
      << window_.messages[2].text;
  EXPECT_FALSE(volumes_.IsOpen());
  EXPECT_FALSE(form_.PassRunning());

  // The one kept is offered again; with none checked, Remove selected removes nothing.
  window_.chosen = std::vector<std::size_t>{};
  const int writes = volumes_.Count(MemoryVolume::Call::kWrite);
  form_.Command1_Click();
  ASSERT_EQ(window_.offered.size(), 1u);
  EXPECT_EQ(window_.offered[0].name, "PHOTOS.EXE");
  EXPECT_EQ(volumes_.Count(MemoryVolume::Call::kWrite), writes);
}

// Each report of a change names its journal and offers to undo it: the undo puts back every byte
// that the repair, or the removal, wrote, says so, and looks at the drive again.
TEST_F(Form1Test, ReportsOfAChangeOfferItsUndo) {
  PutProgramsPosingAsFolders(volumes_);
  const std::vector<std::uint8_t> infected = volumes_.Peek('F', 0, SectorOffset(kTotalSectors));
  form_.Form_Load();
  window_.Select(form_, "F");

  window_.undoNext = true;
  form_.Command1_Click();
  EXPECT_EQ(volumes_.Peek('F', 0, SectorOffset(kTotalSectors)), infected);
  ASSERT_EQ(window_.messages.size(), 2u);
  EXPECT_NE(window_.messages[0].text.find(kJournalLine), std::string::npos);
  EXPECT_EQ(window_.actions, std::vector<std::string>{"撤销刚才的修改"});
  EXPECT_TRUE(window_.messages[1].text.starts_with("已恢复"));
  EXPECT_TRUE(window_.questions.empty());  // undone, the repair offers no removal
  EXPECT_TRUE(window_.repairEnabled);      // the drive, analysed again, can be repaired again

  // Repaired again and the files kept; then the removal, whose report offers the undo of the
  // removal alone: the repair stays.
  form_.Command1_Click();
  const std::vector<std::uint8_t> repaired = volumes_.Peek('F', 0, SectorOffset(kTotalSectors));
  ASSERT_NE(repaired, infected);
  window_.chosen = std::vector<std::size_t>{0, 1};
  window_.undoNext = true;
  form_.Command1_Click();
  EXPECT_EQ(volumes_.Peek('F', 0, SectorOffset(kTotalSectors)), repaired);
  EXPECT_EQ(window_.actions.size(), 3u);
  EXPECT_EQ(window_.messages.back().title, "撤销刚才的修改");
  EXPECT_FALSE(volumes_.IsOpen());
}

// After the repair, the files that the virus moved into its blank folder are offered to be moved
// back on a line of the one dialog, Keep by default, which counts the user's only (the virus's
// desktop.ini stays): Keep leaves them; the line checked puts them in the root, and the report's
// undo gives the repaired stick back byte for byte.
TEST_F(Form1Test, FilesInTheBlankFolderAreMovedBackOnlyWhenTheUserAgrees) {
  MemoryStick stick(volumes_, MemoryStick::Kind::kFat32, 'H');
  const auto blank = stick.AddFolder("\u00A0", 0x16);
  stick.Add({.name = "report.docx", .bytes = Text("PK")}, &blank);
  stick.Add({.name = "desktop.ini", .bytes = Text("[.ShellClassInfo]")}, &blank);
  stick.AddFolder("Photos", 0x10, &blank);
  window_.driveTypes["h:"] = 2;
  form_.Form_Load();
  window_.Select(form_, "H");

  form_.Command1_Click();
  ASSERT_EQ(window_.questions.size(), 1u);
  EXPECT_EQ(window_.questions[0].title, "清除病毒，移回文件");
  EXPECT_EQ(window_.removalActions.back(), "执行所选");
  ASSERT_EQ(window_.offered.size(), 1u);
  EXPECT_EQ(window_.offered[0].name, "把病毒移到[U+00A0]里的1个文件、1个文件夹移回根目录");
  const Snapshot repaired = stick.Drive();

  window_.chosen = std::vector<std::size_t>{0};
  window_.undoNext = true;
  form_.Command1_Click();  // finds nothing to repair; the folder is offered again
  ASSERT_EQ(window_.questions.size(), 2u);
  ASSERT_GE(window_.messages.size(), 2u);
  const Message& report = window_.messages[window_.messages.size() - 2];
  EXPECT_TRUE(report.text.starts_with("从[U+00A0]"));
  EXPECT_NE(report.text.find("移回了1个文件、1个文件夹"), std::string::npos) << report.text;
  EXPECT_EQ(report.title, "清除病毒，移回文件");
  EXPECT_EQ(stick.Drive(), repaired);  // undone

  window_.undoNext = false;
  form_.Command1_Click();
  const auto layout = repair::Look(volume::DriveTarget::OfLetter('H'), volume::Access::kReadOnly);
  ASSERT_TRUE(layout);
  EXPECT_TRUE(std::none_of(layout->findings.judged.begin(), layout->findings.judged.end(),
                           [](const repair::Judged& judged) {
                             return judged.evidence == repair::Evidence::kMovedFilesFolder;
                           }));
  EXPECT_FALSE(volumes_.IsOpen());
}

// A pass that fails because the drive went away, or no longer reads, takes its analysis with it:
// Repair waits for a new selection. A write-protected drive keeps it, to be tried again.
TEST_F(Form1Test, FailedReadOfAVanishedDriveDisablesRepair) {
  form_.Form_Load();
  window_.Select(form_, "F");
  ASSERT_TRUE(window_.repairEnabled);
  // Gone, the drive fails every read from now on.
  for (int read = 1; read <= 64; ++read) {
    volumes_.FailAt(MemoryVolume::Call::kRead, volumes_.Count(MemoryVolume::Call::kRead) + read);
  }
  form_.Command1_Click();
  ASSERT_EQ(window_.messages.size(), 1u);
  EXPECT_EQ(window_.messages[0].style, kStyleCritical);
  EXPECT_FALSE(window_.repairEnabled);
  EXPECT_FALSE(repair::IsAnalysed(form_.Layout()));
}

TEST_F(Form1Test, ReportOfAShortPassHasZeroBeforeThePoint) {
  form_.Form_Load();
  window_.Select(form_, "F");
  window_.timerReadings = {10.0, 10.5};
  form_.Command1_Click();
  ASSERT_EQ(window_.messages.size(), 1u);
  EXPECT_TRUE(window_.messages[0].text.starts_with(std::string(kCompletionFirstLine) +
                                                   "\r\n耗时0.50s\r\n共恢复"));

  // A second click runs a second pass on the same analysis, with the bar visible throughout; it
  // finds nothing left to change, writes nothing and says so instead of the completion.
  window_.timerReadings = {20.0, 20.25};
  bool hiddenDuringPass = false;
  window_.duringPass = [&](int) { hiddenDuringPass |= !window_.progressVisible; };
  const int writes = volumes_.Count(MemoryVolume::Call::kWrite);
  form_.Command1_Click();
  EXPECT_FALSE(hiddenDuringPass);
  EXPECT_EQ(volumes_.Count(MemoryVolume::Call::kWrite), writes);
  ASSERT_EQ(window_.messages.size(), 2u);
  EXPECT_EQ(window_.messages[1].text, "根目录中没有需要恢复的文件夹。");
}

TEST_F(Form1Test, FailedPassIsReportedAsAFailureNeverAsCompleted) {
  form_.Form_Load();
  window_.Select(form_, "F");
  window_.timerReadings = {1.0, 2.0};
  volumes_.FailAt(MemoryVolume::Call::kWrite, 2);
  form_.Command1_Click();

  ASSERT_EQ(window_.messages.size(), 1u);
  EXPECT_FALSE(ShowedCompletion());
  EXPECT_EQ(window_.messages[0].title, std::string(texts::kRepairFailedTitle.chinese));
  EXPECT_EQ(window_.messages[0].style, kStyleCritical);
  EXPECT_FALSE(volumes_.IsOpen());
  EXPECT_FALSE(form_.PassRunning());
}

TEST_F(Form1Test, RefreshRebuildsTheListAndLeavesTheLayoutAlone) {
  form_.Form_Load();
  window_.Select(form_, "F");
  form_.Command1_Click();
  ASSERT_TRUE(window_.progressVisible);
  const repair::VolumeLayout analysed = form_.Layout();

  window_.driveTypes = {{"e:", 2}, {"f:", 2}};
  form_.Command2_Click();
  EXPECT_EQ(window_.entries, (std::vector<std::string>{"E:", "F:"}));
  EXPECT_FALSE(window_.selected.has_value());
  EXPECT_FALSE(window_.repairEnabled);
  EXPECT_FALSE(window_.progressVisible);
  EXPECT_EQ(window_.progressWidth, 0.0f);

  EXPECT_EQ(form_.Layout().bootSector, analysed.bootSector);
  EXPECT_EQ(form_.Layout().rootClusters, analysed.rootClusters);
  EXPECT_EQ(form_.Layout().rootClusterCount, analysed.rootClusterCount);
  EXPECT_EQ(form_.Layout().dataStart, analysed.dataStart);

  // The entries are the new list's: F is now the second.
  const std::size_t shown = window_.messages.size();
  window_.Select(form_, "F");
  EXPECT_TRUE(window_.repairEnabled);
  EXPECT_EQ(window_.messages.size(), shown);
}

// A selection opens the drive that was listed at that entry: the entry's text is only shown.
TEST_F(Form1Test, EntryShowsTheLetterThenTheLabelAndTheSizeAndShortensOnlyTheLabel) {
  constexpr std::uint64_t kStick = 7ull * 1024 * 1024 * 1024 + 512ull * 1024 * 1024;
  window_.Describe('F', "KINGSTON", kStick);
  window_.Describe('G', "照片盘", 3ull * 1024 * 1024 / 2);
  const auto listed = [&](std::size_t width) {
    window_.entryWidth = width;
    window_.ListClear();
    form_.Command2_Click();
    return window_.entries;
  };
  EXPECT_EQ(listed(80), (std::vector<std::string>{"F:  KINGSTON  7.5 GiB", "G:  照片盘  1.5 MiB"}));
  // The label gives way first, a whole character at a time; then the size; never the letter.
  EXPECT_EQ(listed(18), (std::vector<std::string>{"F:  KI…  7.5 GiB", "G:  1.5 MiB"}));
  EXPECT_EQ(listed(11), (std::vector<std::string>{"F:  7.5 GiB", "G:  1.5 MiB"}));
  EXPECT_EQ(listed(8), (std::vector<std::string>{"F:  K…", "G:"}));
  window_.Describe('G', "照片盘", 0);
  EXPECT_EQ(listed(13), (std::vector<std::string>{"F:  7.5 GiB", "G:  照片盘"}));
  EXPECT_EQ(listed(11), (std::vector<std::string>{"F:  7.5 GiB", "G:  照…"}));
  EXPECT_EQ(listed(1), (std::vector<std::string>{"F:", "G:"}));
  // Nothing told but the letter: the letter alone.
  window_.described.clear();
  EXPECT_EQ(listed(80), (std::vector<std::string>{"F:", "G:"}));
}

TEST_F(Form1Test, DriveThatComesIsListedAndTakenOnlyWhenNothingIsSelected) {
  window_.driveTypes = {{"g:", 2}};
  form_.Form_Load();
  ASSERT_EQ(window_.entries, (std::vector<std::string>{"G:"}));

  // F comes ahead of G with nothing selected: it is selected and analysed as a click would.
  window_.driveTypes["f:"] = 2;
  form_.DrivesChanged();
  EXPECT_EQ(window_.entries, (std::vector<std::string>{"F:", "G:"}));
  EXPECT_EQ(window_.selected, std::optional<std::int16_t>(0));
  EXPECT_TRUE(window_.repairEnabled);
  EXPECT_TRUE(repair::IsAnalysed(form_.Layout()));
  EXPECT_TRUE(window_.messages.empty());

  // E comes ahead of the selected F: F stays selected on its new row, its analysis stands, and
  // the repair is F's.
  window_.driveTypes["e:"] = 2;
  form_.DrivesChanged();
  EXPECT_EQ(window_.entries, (std::vector<std::string>{"E:", "F:", "G:"}));
  EXPECT_EQ(window_.selected, std::optional<std::int16_t>(1));
  EXPECT_TRUE(window_.repairEnabled);
  EXPECT_TRUE(window_.messages.empty());
  form_.Command1_Click();
  EXPECT_TRUE(ShowedCompletion());
  EXPECT_EQ(AttributeOnF(0, 0), kAttrDirectory);

  // A notice that changes nothing leaves the list as it is.
  window_.selected = 2;
  form_.DrivesChanged();
  EXPECT_EQ(window_.selected, std::optional<std::int16_t>(2));
}

TEST_F(Form1Test, RemovalOfTheSelectedDriveDisablesRepairAndSaysSoInTheCaption) {
  window_.driveTypes = {{"e:", 2}, {"f:", 2}, {"g:", 2}};
  window_.Describe('F', "STICK", kTotalSectors * kMinSectorSize);
  form_.Form_Load();
  window_.Select(form_, "F");
  ASSERT_TRUE(window_.repairEnabled);

  // Another drive goes: F keeps its selection and its analysis.
  window_.driveTypes.erase("e:");
  form_.DrivesChanged();
  EXPECT_EQ(window_.selected, std::optional<std::int16_t>(0));
  EXPECT_TRUE(window_.repairEnabled);
  EXPECT_TRUE(window_.captions.empty());

  // Another stick under the letter F is another drive: the selected one is gone.
  window_.described['F'].label = "OTHER";
  form_.DrivesChanged();
  EXPECT_EQ(window_.entries.front(), "F:  OTHER  0.1 MiB");
  EXPECT_FALSE(window_.selected.has_value());
  EXPECT_FALSE(window_.repairEnabled);
  EXPECT_FALSE(repair::IsAnalysed(form_.Layout()));
  EXPECT_EQ(window_.captions, (std::vector<std::string>{"所选的磁盘已被拔出。"}));
  EXPECT_TRUE(window_.messages.empty());  // a note, not a message box

  // The next selection, or a new look, gives the window its caption back.
  window_.Select(form_, "F");
  EXPECT_EQ(window_.captions.back(), ui::kWindowCaption);
  window_.driveTypes.erase("f:");
  form_.DrivesChanged();
  EXPECT_EQ(window_.entries, (std::vector<std::string>{"G:"}));
  EXPECT_EQ(window_.captions.back(), "所选的磁盘已被拔出。");
  form_.Command2_Click();
  EXPECT_EQ(window_.captions.back(), ui::kWindowCaption);
}

TEST_F(Form1Test, DriveChangeDuringAPassWaitsUntilThePassHasReturned) {
  form_.Form_Load();
  window_.Select(form_, "F");
  std::vector<std::string> entriesAfterNotice;
  window_.duringPass = [&](int pump) {
    if (pump != 1) return;
    window_.driveTypes.erase("f:");
    window_.driveTypes["h:"] = 2;
    form_.DrivesChanged();
    entriesAfterNotice = window_.entries;
  };
  form_.Command1_Click();
  // The pass ran on F to its end and was reported; then the list followed the drives.
  EXPECT_EQ(entriesAfterNotice, (std::vector<std::string>{"F:", "G:"}));
  EXPECT_TRUE(ShowedCompletion());
  EXPECT_EQ(AttributeOnF(0, 0), kAttrDirectory);
  EXPECT_EQ(window_.entries, (std::vector<std::string>{"G:", "H:"}));
  EXPECT_FALSE(window_.selected.has_value());
  EXPECT_FALSE(window_.repairEnabled);
  EXPECT_EQ(window_.captions, (std::vector<std::string>{"所选的磁盘已被拔出。"}));
}

TEST_F(Form1Test, DriveChangeWhileAQuestionIsOpenWaitsForTheLookToEnd) {
  window_.driveTypes = {{"e:", 2}, {"f:", 2}};
  window_.mountPoints["F:"] = "/media/u/F";
  window_.answer = true;
  form_.Form_Load();
  // While the unmount is asked for, E goes and F moves up a row: the look is still F's.
  window_.whileAsked = [&] {
    window_.driveTypes.erase("e:");
    form_.DrivesChanged();
    EXPECT_EQ(window_.entries, (std::vector<std::string>{"E:", "F:"}));
  };
  window_.Select(form_, "F");
  EXPECT_TRUE(window_.repairEnabled);
  EXPECT_TRUE(window_.messages.empty());
  EXPECT_EQ(window_.entries, (std::vector<std::string>{"F:"}));
  EXPECT_EQ(window_.selected, std::optional<std::int16_t>(0));
}

TEST_F(Form1Test, SelectionOpensTheListedDriveWhateverItsEntrySays) {
  form_.Form_Load();
  window_.entries = {"G", "F"};  // what a window could show; the list was F, then G
  window_.selected = 0;
  form_.List1_Click();
  EXPECT_TRUE(window_.repairEnabled);
  EXPECT_EQ(form_.Layout().rootClusterCount, 2);
  window_.mountPoints = {{"G:", "/media/u/G"}};  // asked of G, the second listed drive
  window_.selected = 1;
  form_.List1_Click();
  ASSERT_EQ(window_.messages.size(), 1u);
  EXPECT_EQ(window_.messages[0].text, std::string(texts::kUnsupportedFileSystem.chinese));
  EXPECT_EQ(volumes_.OpenAccess(), volume::Access::kReadShared);
}

// The two pieces of window state through one session, event by event.
TEST_F(Form1Test, RepairAvailabilityAndProgressBarFollowTheirStateTables) {
  struct State {
    bool repair;
    bool visible;
    float width;
  };
  auto state = [&] {
    return State{window_.repairEnabled, window_.progressVisible, window_.progressWidth};
  };
  auto expect = [&](const char* event, State want) {
    SCOPED_TRACE(event);
    const State got = state();
    EXPECT_EQ(got.repair, want.repair);
    EXPECT_EQ(got.visible, want.visible);
    EXPECT_EQ(got.width, want.width);
  };

  form_.Form_Load();
  expect("load", {false, false, 0.0f});
  window_.Select(form_, "F");
  expect("analysis that succeeds", {true, false, 0.0f});
  form_.Command1_Click();
  expect("repair and report", {true, true, 100.0f});
  window_.Select(form_, "G");
  expect("analysis that fails", {false, true, 100.0f});
  window_.Select(form_, "F");
  expect("analysis that succeeds again", {true, true, 100.0f});
  window_.Select(form_, std::nullopt);
  expect("no selection", {false, true, 100.0f});
  form_.Picture3_Click();
  expect("banner click", {false, true, 100.0f});
  EXPECT_EQ(window_.openedAddresses, (std::vector<std::string>{ui::kWebSiteAddress}));
  form_.Command2_Click();
  expect("refresh", {false, false, 0.0f});
}

TEST_F(Form1Test, CommandsDuringAPassLeaveTheOpenVolumeAndTheLayoutAlone) {
  form_.Form_Load();
  window_.Select(form_, "F");
  const repair::VolumeLayout analysed = form_.Layout();
  const int opensBefore = volumes_.Count(MemoryVolume::Call::kOpen);

  bool layoutChanged = false;
  int opensDuringPass = 0;
  std::vector<std::string> entriesDuringPass;
  window_.duringPass = [&](int pump) {
    EXPECT_TRUE(form_.PassRunning());
    if (pump == 1) {
      form_.Command1_Click();            // a second Repair
      window_.driveTypes = {{"h:", 2}};  // a refresh now would list H alone
      form_.Command2_Click();
      window_.Select(form_, "G");  // a selection that would analyse G
    }
    layoutChanged |= form_.Layout().bootSector != analysed.bootSector ||
                     form_.Layout().rootClusters != analysed.rootClusters;
    opensDuringPass = volumes_.Count(MemoryVolume::Call::kOpen) - opensBefore;
    entriesDuringPass = window_.entries;
  };
  window_.timerReadings = {5.0, 6.0};
  form_.Command1_Click();

  EXPECT_FALSE(layoutChanged);
  EXPECT_EQ(opensDuringPass, 1);  // only the pass's own open
  EXPECT_EQ(entriesDuringPass, (std::vector<std::string>{"F:", "G:"}));
  EXPECT_EQ(volumes_.Count(MemoryVolume::Call::kWrite), 2);  // one pass: sectors 0 and 3
  EXPECT_EQ(AttributeOnF(kRootSectors - 1, 0), kAttrDirectory);

  // The pass's report comes first; then the selection made meanwhile is analysed (G is refused).
  ASSERT_EQ(window_.messages.size(), 2u);
  EXPECT_TRUE(window_.messages[0].text.starts_with(
      std::string(kCompletionFirstLine) +
      "\r\n耗时1.00s\r\n共恢复3个文件夹。\r\n共重新显示1个被隐藏的文件。" + kJournalLine))
      << window_.messages[0].text;
  EXPECT_EQ(window_.messages[1].text, std::string(texts::kUnsupportedFileSystem.chinese));
  EXPECT_FALSE(window_.repairEnabled);
  EXPECT_FALSE(volumes_.IsOpen());
}

// On a slow drive the window stays alive: the pass lets it handle its input between every two
// transfers, the reads of the analysis under the lock as well as the writes, and its bar moves
// over both along one track that never goes back and ends full.
TEST_F(Form1Test, PassHandlesInputBetweenEveryTwoTransfersAndItsBarCoversTheReading) {
  form_.Form_Load();
  window_.Select(form_, "F");
  struct Seen {
    MemoryVolume::Call call;
    float width;  // as last set on the bar
    int pumps;
  };
  std::vector<Seen> seen;
  volumes_.onTransfer = [&](MemoryVolume::Call call) {
    seen.push_back({call, window_.progressWidth, window_.eventPumps});
  };
  form_.Command1_Click();
  ASSERT_TRUE(ShowedCompletion());
  seen.push_back({MemoryVolume::Call::kClose, window_.progressWidth, window_.eventPumps});

  const auto firstWrite = std::find_if(
      seen.begin(), seen.end(), [](const Seen& s) { return s.call == MemoryVolume::Call::kWrite; });
  ASSERT_NE(firstWrite, seen.end());
  EXPECT_GE(firstWrite - seen.begin(), 3);  // the boot sector, the FAT and the root came first
  EXPECT_GT(firstWrite->width, 0.0f);       // and the reading moved the bar
  for (std::size_t i = 1; i < seen.size(); ++i) {
    SCOPED_TRACE("transfer " + std::to_string(i));
    EXPECT_GT(seen[i].pumps, seen[i - 1].pumps);
    EXPECT_GE(seen[i].width, seen[i - 1].width);
  }
  EXPECT_EQ(seen.back().width, 100.0f);
}

// A pass greys the list, Refresh and Repair and shows its first step before its first transfer;
// afterwards they take input again, Repair as the analysis left it, also when the pass failed.
TEST_F(Form1Test, PassGreysItsInputsAndShowsItsFirstStepBeforeItsFirstTransfer) {
  form_.Form_Load();
  window_.Select(form_, "F");
  std::vector<std::string> seen;  // at each transfer: selection, Repair, bar shown, pumps
  volumes_.onTransfer = [&](auto) {
    seen.push_back(
        std::to_string(window_.selectionEnabled) + std::to_string(window_.repairEnabled) +
        std::to_string(window_.progressWidth > 0.0f) + std::to_string(window_.eventPumps));
  };
  form_.Command1_Click();
  ASSERT_TRUE(ShowedCompletion());
  ASSERT_FALSE(seen.empty());
  EXPECT_EQ(seen.front(), "0011");  // drawn and handled before the drive was touched
  EXPECT_TRUE(std::all_of(seen.begin(), seen.end(), [](auto& s) { return s.starts_with("00"); }));
  EXPECT_TRUE(window_.selectionEnabled && window_.repairEnabled);

  volumes_.HoldDrive('F');  // a pass that cannot open the drive
  bool greyed = true;
  window_.duringPass = [&](int) { greyed &= !window_.selectionEnabled && !window_.repairEnabled; };
  const int pumps = window_.eventPumps;
  form_.Command1_Click();
  EXPECT_GT(window_.eventPumps, pumps);
  EXPECT_TRUE(greyed);
  ASSERT_EQ(window_.messages.size(), 2u);
  EXPECT_TRUE(window_.selectionEnabled && window_.repairEnabled);
}

// At a pace, a pass handles the window's input at its first and last step and in between only
// once the pace has passed on the steady clock; a clock that stands still leaves those two.
TEST_F(Form1Test, PassHandlesInputAtItsPaceAndAtItsFirstAndLastStep) {
  using std::chrono::milliseconds;
  MakeInfectedVolume(volumes_, 'H');
  window_.driveTypes["h:"] = 2;
  form_.Form_Load();
  form_.SetEventPace(milliseconds(40));
  std::vector<std::pair<milliseconds, float>> handled;  // on the fake clock, and the bar
  window_.duringPass = [&](int) {
    handled.emplace_back(std::chrono::duration_cast<milliseconds>(window_.clock.time_since_epoch()),
                         window_.progressWidth);
  };
  int transfers = 0;
  for (const int stepMs : {15, 0}) {
    SCOPED_TRACE(stepMs);
    window_.Select(form_, stepMs ? "F" : "H");
    volumes_.onTransfer = [&](auto) {
      ++transfers;
      window_.clock += milliseconds(stepMs);
    };
    handled.clear();
    form_.Command1_Click();
    ASSERT_GE(handled.size(), 2u);
    EXPECT_LT(handled.size(), static_cast<std::size_t>(transfers));
    EXPECT_LT(handled.front().second, 100.0f);
    EXPECT_EQ(handled.back().second, 100.0f);
    for (std::size_t i = 1; i < handled.size() && handled[i].second < 100.0f; ++i) {
      EXPECT_GE(handled[i].first - handled[i - 1].first, milliseconds(40));
      EXPECT_NE(stepMs, 0);
    }
  }
  EXPECT_FALSE(window_.messages.empty());
  EXPECT_EQ(window_.messages.back().title, "by Varkel");
}

// A close asked for during a pass neither cuts it short nor is lost: the caption says that the
// window will close, the pass completes, and the window closes after the pass's report, leaving
// alone a selection made meanwhile.
TEST_F(Form1Test, CloseDuringAPassComesAfterItsReport) {
  form_.Form_Load();
  window_.Select(form_, "F");
  std::vector<bool> allowed;
  std::size_t closedDuringPass = 0;
  window_.duringPass = [&](int pump) {
    if (pump <= 2) allowed.push_back(form_.Form_QueryUnload());  // asked twice
    if (pump == 1) window_.Select(form_, "G");
    closedDuringPass += window_.closedAfter.size();
  };
  form_.Command1_Click();

  EXPECT_EQ(allowed, (std::vector<bool>{false, false}));
  EXPECT_EQ(closedDuringPass, 0u);
  EXPECT_EQ(window_.captions, (std::vector<std::string>{texts::kFinishingBeforeClose.chinese}));
  EXPECT_EQ(AttributeOnF(0, 0), kAttrDirectory);
  ASSERT_EQ(window_.messages.size(), 1u);  // the report; G is not analysed
  EXPECT_TRUE(ShowedCompletion());
  EXPECT_EQ(window_.closedAfter, (std::vector<std::size_t>{1}));
  // With no pass running, the window closes when asked.
  EXPECT_TRUE(form_.Form_QueryUnload());
  EXPECT_EQ(window_.captions.size(), 1u);
}

TEST_F(Form1Test, MountedDriveIsUnmountedOnlyWhenTheUserAgreesAndMountedAgainAfterTheRepair) {
  form_.Form_Load();
  window_.mountPoints = {{"F:", "/media/u/STICK"}};

  // No: nothing is unmounted, the drive was only looked at beside its mount, and Repair stays
  // off.
  const int opens = volumes_.Count(MemoryVolume::Call::kOpen);
  window_.Select(form_, "F");
  ASSERT_EQ(window_.questions.size(), 1u);
  EXPECT_NE(window_.questions[0].text.find("“/media/u/STICK”"), std::string::npos);
  EXPECT_EQ(window_.questions[0].title, std::string(texts::kMountedTitle.chinese));
  EXPECT_TRUE(window_.mountCalls.empty());
  EXPECT_FALSE(window_.repairEnabled);
  EXPECT_EQ(volumes_.Count(MemoryVolume::Call::kOpen), opens + 1);
  EXPECT_EQ(volumes_.OpenAccess(), volume::Access::kReadShared);
  EXPECT_TRUE(window_.messages.empty());

  // Yes: unmounted and analysed; the repair runs, then the drive is mounted again.
  window_.answer = true;
  window_.Select(form_, "F");
  EXPECT_EQ(window_.mountCalls, (std::vector<std::string>{"unmount F:"}));
  ASSERT_TRUE(window_.repairEnabled);
  window_.mountResult = {false, false, false, {}, "vfat not configured in kernel"};
  form_.Command1_Click();
  EXPECT_EQ(window_.mountCalls, (std::vector<std::string>{"unmount F:", "mount F:"}));
  EXPECT_EQ(AttributeOnF(0, 0), kAttrDirectory);
  // The completion, then the notice of the failed mount with the system's words: not a failure.
  ASSERT_EQ(window_.messages.size(), 2u);
  EXPECT_TRUE(ShowedCompletion());
  EXPECT_NE(window_.messages[1].text.find("未能重新挂载"), std::string::npos);
  EXPECT_NE(window_.messages[1].text.find("vfat not configured in kernel"), std::string::npos);
  EXPECT_NE(window_.messages[1].text.find("这不影响修复的结果"), std::string::npos);
  EXPECT_EQ(window_.messages[1].style, kStyleInformation);
  // Only one mount for one unmount.
  form_.Form_Unload();
  EXPECT_EQ(window_.mountCalls.size(), 2u);
}

TEST_F(Form1Test, UnmountedDriveGoesBackWhenItCannotBeRepairedOrIsLeft) {
  form_.Form_Load();
  window_.answer = true;
  window_.mountPoints = {{"F:", "/media/u/F"}, {"G:", "/media/u/G"}};
  // G is no FAT volume: refused for that, without being unmounted or asked about.
  window_.Select(form_, "G");
  EXPECT_TRUE(window_.mountCalls.empty());
  EXPECT_TRUE(window_.questions.empty());
  ASSERT_EQ(window_.messages.size(), 1u);
  EXPECT_EQ(window_.messages[0].text, std::string(texts::kUnsupportedFileSystem.chinese));
  EXPECT_FALSE(window_.repairEnabled);
  // F is left for a refresh, and then for the close of the window without a repair.
  window_.Select(form_, "F");
  EXPECT_TRUE(window_.repairEnabled);
  form_.Command2_Click();
  EXPECT_EQ(window_.mountCalls.back(), "mount F:");
  window_.mountPoints = {{"F:", "/media/u/F"}};
  window_.Select(form_, "F");
  form_.Form_Unload();
  EXPECT_EQ(window_.mountCalls,
            (std::vector<std::string>{"unmount F:", "mount F:", "unmount F:", "mount F:"}));

  // An unmount that polkit refused: said with the mount point; nothing to mount again.
  window_.mountPoints = {{"F:", "/media/u/F"}};
  window_.unmountResult = {false, true, false, {}, {}};
  window_.messages.clear();
  window_.Select(form_, "F");
  EXPECT_FALSE(window_.repairEnabled);
  ASSERT_EQ(window_.messages.size(), 1u);
  EXPECT_NE(window_.messages[0].text.find("“/media/u/F”"), std::string::npos);
  EXPECT_NE(window_.messages[0].text.find("系统拒绝了授权"), std::string::npos);
  form_.Form_Unload();
  EXPECT_EQ(window_.mountCalls.back(), "unmount F:");
}

// A drive unmounted for a repair that the user then leaves (a refresh) and that cannot be mounted
// again: the notice says it was not repaired and stays unmounted, not that the result stands.
TEST_F(Form1Test, FailedMountAfterNoPassSaysTheDriveWasNotRepaired) {
  form_.Form_Load();
  window_.answer = true;
  window_.mountPoints = {{"F:", "/media/u/F"}};
  window_.mountResult = {false, false, false, {}, "no helper"};
  window_.Select(form_, "F");
  ASSERT_TRUE(window_.repairEnabled);
  form_.Command2_Click();
  ASSERT_EQ(window_.messages.size(), 1u);
  EXPECT_NE(window_.messages[0].text.find("磁盘未被修复"), std::string::npos)
      << window_.messages[0].text;
  EXPECT_EQ(window_.messages[0].text.find("不影响修复的结果"), std::string::npos);
}

// The mounted-drive policy of both front ends: a mounted drive is looked at beside its file system
// first, unmounted only when the front end agrees, and mounted again once, by the guard that holds
// it last, which says whether a pass ran on it meanwhile.
TEST_F(Form1Test, MountedDriveIsTakenAfterTheLookAndTheAnswerAndGivenBackOnce) {
  const auto f = volume::DriveTarget::OfLetter('F');
  std::vector<std::string> asked;
  bool agree = false;
  const repair::MayUnmount may = [&](const std::string& mountPoint) {
    asked.push_back(mountPoint);
    return agree;
  };
  std::vector<std::pair<bool, bool>> told;  // each mount again: done, and whether a pass ran
  const repair::RemountHook hook = [&](const volume::MountChange& mounted, bool passRan) {
    told.emplace_back(mounted.done, passRan);
  };
  using Why = repair::NotTaken::Why;

  // Not mounted: ready as it is, nothing asked.
  const auto free = repair::TakeForPass(f, window_, may, hook);
  ASSERT_TRUE(free);
  EXPECT_FALSE(free->Holds());
  // G is no FAT volume: refused for that, without a question.
  window_.mountPoints = {{"F:", "/media/u/F"}, {"G:", "/media/u/G"}};
  const auto refused = repair::TakeForPass(volume::DriveTarget::OfLetter('G'), window_, may, hook);
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error().why, Why::kRefused);
  EXPECT_EQ(refused.error().problem.kind, repair::ProblemKind::kUnsupportedFileSystem);
  EXPECT_TRUE(asked.empty());
  const auto declined = repair::TakeForPass(f, window_, may, hook);
  ASSERT_FALSE(declined);
  EXPECT_EQ(declined.error().why, Why::kDeclined);
  EXPECT_EQ(asked, (std::vector<std::string>{"/media/u/F"}));
  EXPECT_TRUE(window_.mountCalls.empty());
  agree = true;
  window_.unmountResult = {false, true, false, {}, {}};
  const auto failed = repair::TakeForPass(f, window_, may, hook);
  ASSERT_FALSE(failed);
  EXPECT_EQ(failed.error().why, Why::kUnmountFailed);
  EXPECT_EQ(failed.error().mountPoint, "/media/u/F");
  EXPECT_TRUE(failed.error().change.notAuthorized);

  window_.unmountResult = {true, false, false, {}, {}};
  {
    auto taken = repair::TakeForPass(f, window_, may, hook);
    ASSERT_TRUE(taken && taken->Holds());
    repair::Unmounted held = std::move(*taken);  // the moved-from guard mounts nothing
    held.Note(repair::Expected<int, repair::Problem>(repair::Problem{}));  // wrote nothing
    window_.mountPoints["F:"] = "/media/u/F";
    auto again = repair::TakeForPass(f, window_, may, hook);
    ASSERT_TRUE(again);
    held = std::move(*again);  // the drive held first is mounted again now
    EXPECT_EQ(told, (std::vector<std::pair<bool, bool>>{{true, false}}));
    held.Note(repair::Expected<int, repair::Problem>(0));
  }
  EXPECT_EQ(told, (std::vector<std::pair<bool, bool>>{{true, false}, {true, true}}));
  EXPECT_EQ(
      window_.mountCalls,
      (std::vector<std::string>{"unmount F:", "unmount F:", "unmount F:", "mount F:", "mount F:"}));
}

// The undo of both front ends: it puts back what a repair changed; one cut short keeps the mark
// that says so until an undo ends, and a journal that cannot be read opens no drive.
TEST_F(Form1Test, UndoOfARepairPutsItsSectorsBackAndKeepsTheMarkOfACutUndo) {
  const auto f = volume::DriveTarget::OfLetter('F');
  const std::filesystem::path folder = std::filesystem::path(::testing::TempDir()) / "form1-undo";
  std::filesystem::remove_all(folder);
  std::filesystem::create_directories(folder);
  const std::vector<std::uint8_t> before = volumes_.Peek('F', 0, SectorOffset(kTotalSectors));
  const auto repaired = repair::RepairDrive(f, nullptr, {{}, folder, "repair", {}}, nullptr);
  ASSERT_TRUE(repaired);
  ASSERT_EQ(AttributeOnF(0, 0), kAttrDirectory);
  const std::filesystem::path journal = repaired->report.journal;

  volumes_.FailAt(MemoryVolume::Call::kWrite, volumes_.Count(MemoryVolume::Call::kWrite) + 2);
  const auto cut = repair::UndoChange(journal, f, nullptr);
  ASSERT_FALSE(cut);
  EXPECT_TRUE(cut.error().anyWritten);
  EXPECT_TRUE(std::filesystem::exists(repair::UndoMarkOf(journal)));
  const auto undone = repair::UndoChange(journal, f, nullptr);
  ASSERT_TRUE(undone);
  EXPECT_FALSE(undone->alreadyUndone);
  EXPECT_EQ(volumes_.Peek('F', 0, SectorOffset(kTotalSectors)), before);
  EXPECT_FALSE(std::filesystem::exists(repair::UndoMarkOf(journal)));
  EXPECT_FALSE(volumes_.IsOpen());

  const int opens = volumes_.Count(MemoryVolume::Call::kOpen);
  EXPECT_FALSE(repair::UndoChange(folder / "none.journal", f, nullptr));
  EXPECT_EQ(volumes_.Count(MemoryVolume::Call::kOpen), opens);
}

}  // namespace
}  // namespace kestrova::testing
