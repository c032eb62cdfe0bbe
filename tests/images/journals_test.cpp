// SPDX-License-Identifier: GPL-3.0-or-later
// The journals that kestrova-cli leaves in the user's journal folder: named by the command, the
// volume and the time, in a folder open to the user alone; listed with what became of each change;
// and an undo out of order told which later change to undo first.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <string>
#include <vector>

#include "fat_tools.h"
#include "image_tools.h"
#include "repair/journal.h"

namespace kestrova::testing {
namespace {

namespace fs = std::filesystem;
using texts::Format;

class JournalsTest : public ::testing::Test {
 protected:
  // The journals go to a folder of this test's own.
  void SetUp() override { ASSERT_EQ(::setenv("XDG_STATE_HOME", state.c_str(), 1), 0); }

  // A FAT32 image with a hidden folder for repair and autorun.inf with the program it starts for
  // clean; `options` for mkfs.fat.
  void MakeStick(const fs::path& path, const std::string& options) {
    ASSERT_TRUE(MakeFat32Image(path, 40 * 1024, "-s 1 " + options));
    ASSERT_EQ(Mtools("mmd", path, "::/Photos").status, 0);
    ASSERT_EQ(Mtools("mattrib", path, "+h +s ::/Photos").status, 0);
    const std::string autorun = "[AutoRun]\r\nopen=sys.exe\r\n";
    ASSERT_TRUE(PutFile(path, {"/autorun.inf", {autorun.begin(), autorun.end()}}));
    ASSERT_TRUE(PutFile(path, {"/sys.exe", {'M', 'Z'}}));
  }

  // The journal that a run printed it saved.
  static fs::path SavedJournal(const CliResult& run) {
    const std::string lead = Lead(texts::kJournalSaved);
    const auto at = run.out.find(lead);
    if (at == std::string::npos) return {};
    const auto from = at + lead.size();
    return run.out.substr(from, run.out.find('\n', from) - from);
  }

  TempDir dir;
  fs::path state = dir / "state";
  fs::path folder = state / "kestrova";
  fs::path image = dir / "stick.img";
};

// A journal is named by its command, the volume's label (a fixed word without one) and serial
// number, and the time; the folder is made for the user alone, one that exists keeps its mode,
// and one that cannot be made is told with the way out, nothing written.
TEST_F(JournalsTest, NamedByCommandVolumeAndTimeInAPrivateFolder) {
  MakeStick(image, "-n KINGSTON -i 1A2B3C4D");
  const auto repaired = Cli("repair " + Quote(image.string()));
  ASSERT_EQ(repaired.status, 0) << repaired.err;
  const fs::path journal = SavedJournal(repaired);
  EXPECT_EQ(journal.parent_path(), folder);
  EXPECT_TRUE(std::regex_match(journal.filename().string(),
                               std::regex(R"(repair-KINGSTON-1A2B3C4D-\d{8}-\d{6}\.journal)")))
      << journal;
  EXPECT_TRUE(fs::is_regular_file(journal));
  struct stat info {};
  ASSERT_EQ(::stat(folder.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0700u);
  ASSERT_EQ(::stat(state.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0700u);

  const auto unnamed = dir / "unnamed.img";
  MakeStick(unnamed, "-i 0000BEEF");
  ASSERT_EQ(::chmod(folder.c_str(), 0755), 0);
  const auto cleaned = Cli("clean " + Quote(unnamed.string()));
  ASSERT_EQ(cleaned.status, 0) << cleaned.err;
  EXPECT_TRUE(std::regex_match(SavedJournal(cleaned).filename().string(),
                               std::regex(R"(clean-NONAME-0000BEEF-\d{8}-\d{6}\.journal)")))
      << cleaned.out;
  ASSERT_EQ(::stat(folder.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0755u);

  // A file where the folder should be.
  fs::remove_all(state);
  std::ofstream(state).put('x');
  const auto before = ReadBytes(image);
  const auto blocked = Cli("clean " + Quote(image.string()));
  EXPECT_EQ(blocked.status, 1);
  EXPECT_NE(blocked.err.find(Format(texts::kJournalFolderUnusable, folder.string(),
                                    texts::Tr(texts::kFileNotAFolder))),
            std::string::npos)
      << blocked.err;
  EXPECT_NE(blocked.err.find(texts::Tr(texts::kJournalFolderElsewhere)), std::string::npos);
  EXPECT_EQ(ReadBytes(image), before);
}

}  // namespace
}  // namespace kestrova::testing
