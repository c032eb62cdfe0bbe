// SPDX-License-Identifier: GPL-3.0-or-later
// The sample stick that scripts/run.sh shows a newcomer (tools/make_sample_image.sh) holds what
// the whole flow acts on, and the flow leaves every file of the user's as it was.
#include <gtest/gtest.h>

#include <fstream>
#include <nlohmann/json.hpp>
#include <set>
#include <string>

#include "fat_tools.h"
#include "image_tools.h"
#include "sample_stick.h"
#include "words/texts.h"

namespace kestrova::testing {
namespace {

class SampleStickTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(MakeSampleImage(image_));
    before_ = FatFiles(image_);
    ASSERT_FALSE(before_.empty());
  }

  void ExpectClean() const {
    const auto fsck = testing::Run("fsck.fat -n " + Quote(image_.string()), true);
    EXPECT_EQ(fsck.status, 0) << fsck.output;
  }

  TempDir dir_;
  std::filesystem::path image_ = dir_ / "sample.img";
  FileMap before_;
};

TEST_F(SampleStickTest, ShowsTheWholeFlowAndKeepsTheUsersFiles) {
  const auto scan = Cli("scan --json " + Quote(image_.string()));
  ASSERT_EQ(scan.status, 0) << scan.err;
  const auto found = nlohmann::json::parse(scan.out);
  std::multiset<std::string> hidden;
  for (const auto& entry : found.at("hidden")) hidden.insert(entry.at("kind"));
  EXPECT_EQ(hidden.count("folder"), 5u);
  EXPECT_EQ(hidden.count("file"), 1u);
  std::set<std::string> virus;
  for (const auto& judged : found.at("verdicts")) {
    if (judged.at("verdict") == "virus") virus.insert(judged.at("path"));
  }
  EXPECT_EQ(virus, SampleVirusPaths());

  const auto repaired = Cli("repair " + Quote(image_.string()));
  ASSERT_EQ(repaired.status, 0) << repaired.err;
  const auto cleaned = Cli("clean " + Quote(image_.string()));
  ASSERT_EQ(cleaned.status, 0) << cleaned.err;
  ExpectClean();

  // Every file but the worms' in the root is there with its bytes, the user's own shortcut among
  // them; the payload in the blank folder waits for the files to be moved out of it.
  auto kept = before_;
  for (const auto& [path, bytes] : before_) {
    const bool inRoot = path.find('/', 1) == std::string::npos;
    if (inRoot && virus.contains(path.substr(1))) kept.erase(path);
  }
  EXPECT_EQ(kept.size() + virus.size() - 1, before_.size());
  EXPECT_EQ(FatFiles(image_), kept);
}

// What scan says next, and plans, is what fix does in one pass: no file of the virus's in the root,
// the payload not moved there but gone with the emptied folder, every file of the user's in the
// root with its bytes; the one undo of fix's journal gives the infected stick back byte for byte.
TEST_F(SampleStickTest, FixDoesAllInOnePassAsScanPlansAndOneUndoTakesItBack) {
  const auto infected = dir_ / "infected.img";
  ASSERT_TRUE(CopySparse(image_, infected));
  const auto scan = Cli("scan " + Quote(image_.string()));
  ASSERT_EQ(scan.status, 0) << scan.err;
  EXPECT_NE(scan.err.find(texts::Format(texts::kFixHint, "kestrova-cli fix " + image_.string())),
            std::string::npos)
      << scan.err;
  const auto plan = nlohmann::json::parse(Cli("scan --json " + Quote(image_.string())).out);

  const auto journal = dir_ / "fix.journal";
  const auto fixed =
      Cli("fix --json --journal " + Quote(journal.string()) + " " + Quote(image_.string()));
  ASSERT_EQ(fixed.status, 0) << fixed.err;
  const auto done = nlohmann::json::parse(fixed.out);
  for (const char* field : {"restored", "removed", "kept", "move_back", "move_back_refused"}) {
    EXPECT_EQ(done.at(field), plan.at("plan").at(field)) << field;
  }
  EXPECT_EQ(done.at("restored").size(), 6u);
  EXPECT_EQ(done.at("removed").size(), SampleVirusPaths().size() - 1);
  const auto& moved = done.at("move_back");
  EXPECT_EQ(moved.at("moved").size(), 1u);
  EXPECT_EQ(moved.at("stayed").at(0).at("path"), "\u00a0\\~$WQF5D.FAT32");
  EXPECT_EQ(moved.at("folder_removed"), true);
  EXPECT_EQ(done.at("journal"), journal.string());
  EXPECT_GT(done.at("sectors_written"), 0);
  EXPECT_EQ(FatFiles(image_), SampleFixed(before_));
  ExpectClean();

  const auto undone = Cli("undo " + Quote(journal.string()) + " " + Quote(image_.string()));
  ASSERT_EQ(undone.status, 0) << undone.err;
  EXPECT_TRUE(DifferingOffsets(infected, image_).empty());
}

// What the fix removed is listed in its quarantine and comes back on the command line, a file at
// a time, after the stick was written since: as a new visible file with its bytes, the checker
// finding the stick clean. A damaged quarantine is refused before the stick is touched.
TEST_F(SampleStickTest, RemovedFilesAreListedAndComeBackAfterTheStickWasWritten) {
  const auto fixed = Cli("fix --json " + Quote(image_.string()));
  ASSERT_EQ(fixed.status, 0) << fixed.err;
  const std::string quarantine = nlohmann::json::parse(fixed.out).at("quarantine");
  const auto listed = nlohmann::json::parse(Cli("quarantine --json " + Quote(image_.string())).out);
  std::set<std::string> paths;
  for (const auto& one : listed.at("quarantines")) {
    if (one.at("path") != quarantine) continue;
    for (const auto& file : one.at("files")) {
      if (file.at("removed")) paths.insert(file.at("path"));
    }
  }
  EXPECT_EQ(paths.size(), SampleVirusPaths().size());
  // New files take the clusters that the removal freed.
  for (int i = 0; i < 40; ++i) {
    ASSERT_EQ(
        testing::Run("printf 'notes %d' " + std::to_string(i) + " | MTOOLS_SKIP_CHECK=1 mcopy -i " +
                     Quote(image_.string()) + " - ::/notes" + std::to_string(i) + ".txt")
            .status,
        0);
  }
  const FileMap written = FatFiles(image_);

  auto damaged = ReadBytes(quarantine);
  damaged[damaged.size() / 2] ^= 1;
  const auto broken = dir_ / "broken.quarantine";
  std::ofstream(broken, std::ios::binary)
      .write(reinterpret_cast<const char*>(damaged.data()),
             static_cast<std::streamsize>(damaged.size()));
  const auto refused =
      Cli("restore " + Quote(broken.string()) + " sys.vbs " + Quote(image_.string()));
  EXPECT_NE(refused.err.find(texts::Format(texts::kQuarantineDamaged, broken.string())),
            std::string::npos)
      << refused.err;
  EXPECT_EQ(refused.status, 1) << refused.err;
  EXPECT_EQ(FatFiles(image_), written);

  const auto restored = Cli("restore " + Quote(quarantine) + " sys.vbs '[U+00A0]\\~$WQF5D.FAT32' " +
                            Quote(image_.string()));
  ASSERT_EQ(restored.status, 0) << restored.err;
  const FileMap now = FatFiles(image_);
  EXPECT_EQ(now.at("/sys.vbs"), before_.at("/sys.vbs"));
  EXPECT_EQ(now.at("/~$WQF5D.FAT32"), before_.at("/\u00a0/~$WQF5D.FAT32"));
  for (const auto& [path, bytes] : written) EXPECT_EQ(now.at(path), bytes) << path;
  EXPECT_EQ(now.size(), written.size() + 2);
  ExpectClean();
}

// Each --keep, given before the drive as the help shows it, leaves that file of the virus's.
TEST_F(SampleStickTest, FixLeavesEveryFileThatKeepNames) {
  const auto fixed =
      Cli("fix --json --keep sys.vbs --keep 'KESTROVA (64MB).lnk' " + Quote(image_.string()));
  ASSERT_EQ(fixed.status, 0) << fixed.err;
  const auto done = nlohmann::json::parse(fixed.out);
  std::set<std::string> removed;
  for (const auto& one : done.at("removed")) removed.insert(one.at("path"));
  EXPECT_EQ(removed.size(), SampleVirusPaths().size() - 3);
  EXPECT_FALSE(removed.count("sys.vbs") || removed.count("KESTROVA (64MB).lnk"));
  const FileMap now = FatFiles(image_);
  EXPECT_EQ(now.at("/sys.vbs"), before_.at("/sys.vbs"));
  EXPECT_EQ(now.at("/KESTROVA (64MB).lnk"), before_.at("/KESTROVA (64MB).lnk"));
  ExpectClean();
}

}  // namespace
}  // namespace kestrova::testing
