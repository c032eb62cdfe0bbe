// SPDX-License-Identifier: GPL-3.0-or-later
// The evidence that the PC's look takes from a stick: the bytes of the files that a look judges the
// virus's, never the user's, and after a removal what its quarantine recorded of them; and what
// kestrova-cli says of the PC's commands on Linux.
#include <gtest/gtest.h>

#include <algorithm>

#include "fat_tools.h"
#include "infected_sticks.h"
#include "repair/drive_use.h"
#include "repair/pc_check.h"

namespace kestrova::testing {
namespace {

bool Holds(const repair::PcEvidence& evidence, const std::string& name) {
  return std::any_of(evidence.files.begin(), evidence.files.end(),
                     [&](const repair::VirusFile& file) { return file.name == name; });
}

TEST(PcEvidenceTest, TheVirusFilesOfTheStickAndOfItsQuarantineNeverTheUsers) {
  TempDir dir;
  const InfectedStick stick = HWormStick(StickFs::kFat32);
  ASSERT_EQ(MakeStick(stick, dir / "stick.img"), "");
  const auto target = volume::DriveTarget::OfPath((dir / "stick.img").string());
  const auto journals = dir / "journals";

  auto evidence = repair::EvidenceOfStick(target, repair::JournalFolderFiles(journals));
  ASSERT_TRUE(evidence);
  const auto& script = *stick.Find("sys.vbs")->bytes;
  ASSERT_TRUE(Holds(*evidence, "sys.vbs"));
  EXPECT_EQ(std::find_if(evidence->files.begin(), evidence->files.end(),
                         [](const repair::VirusFile& file) { return file.name == "sys.vbs"; })
                ->digest,
            Sha256Of(script));
  for (const StickItem& item : stick.items) {
    if (item.verdict && *item.verdict == "user") {
      EXPECT_FALSE(Holds(*evidence, item.path)) << item.path;
    }
  }
  EXPECT_TRUE(repair::EvidenceRecalled(repair::JournalFolderFiles(journals)).Empty());

  // Removed from the stick, the worm's script is still known by its quarantine.
  const repair::JournalPlace place{{}, journals, "clean", {}};
  auto cleaned = repair::CleanDrive(target, nullptr, place, nullptr);
  ASSERT_TRUE(cleaned);
  ASSERT_EQ(StickFiles(dir / "stick.img", stick.fs).count("sys.vbs"), 0u);
  evidence = repair::EvidenceOfStick(target, repair::JournalFolderFiles(journals));
  ASSERT_TRUE(evidence);
  EXPECT_TRUE(Holds(*evidence, "sys.vbs"));
  const repair::PcEvidence recalled =
      repair::EvidenceRecalled(repair::JournalFolderFiles(journals));
  EXPECT_TRUE(Holds(recalled, "sys.vbs"));
  EXPECT_FALSE(Holds(recalled, "My Report.docx"));

  // On Linux the PC has none of those places; a drive's journal is not undone without its drive.
  const auto looked = kestrova::testing::Run(std::string(KESTROVA_CLI_PATH) + " pc-check 2>&1");
  EXPECT_EQ(looked.status, 0);
  EXPECT_NE(looked.output.find("此系统没有Windows那样自动启动程序的地方"), std::string::npos)
      << looked.output;
  const auto undo = kestrova::testing::Run(std::string(KESTROVA_CLI_PATH) + " undo " +
                                           Quote(cleaned->report.journal.string()) + " 2>&1");
  EXPECT_EQ(undo.status, 2);
  EXPECT_NE(undo.output.find("是对磁盘修改的日志"), std::string::npos) << undo.output;
}

}  // namespace
}  // namespace kestrova::testing
