// SPDX-License-Identifier: GPL-3.0-or-later
// The journals that kestrova-cli leaves in the user's journal folder: named by the command, the
// volume and the time, in a folder open to the user alone; listed with what became of each change;
// and an undo out of order told which later change to undo first.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "fat_tools.h"
#include "image_tools.h"
#include "repair/journal.h"
#include "repair/journals.h"
#include "repair/quarantine.h"
#include "words/messages.h"

namespace kestrova::testing {
namespace {

namespace fs = std::filesystem;
using texts::Format;

class JournalsTest : public ::testing::Test {
 protected:
  // The journals go to a folder of this test's own.
  void SetUp() override { ASSERT_EQ(::setenv("XDG_STATE_HOME", state.c_str(), 1), 0); }

  // A FAT32 (or FAT16) image with a hidden folder for repair and autorun.inf with the program it
  // starts for clean; `options` for mkfs.fat.
  void MakeStick(const fs::path& path, const std::string& options, bool fat16 = false) {
    ASSERT_TRUE(fat16 ? MakeFatImage(path, 16 * 1024, "-F 16 -s 1 " + options)
                      : MakeFat32Image(path, 40 * 1024, "-s 1 " + options));
    ASSERT_EQ(Mtools("mmd", path, "::/Photos").status, 0);
    ASSERT_EQ(Mtools("mattrib", path, "+h +s ::/Photos").status, 0);
    const std::string autorun = "[AutoRun]\r\nopen=sys.exe\r\n";
    ASSERT_TRUE(PutFile(path, {"/autorun.inf", {autorun.begin(), autorun.end()}}));
    ASSERT_TRUE(PutFile(path, {"/sys.exe", {'M', 'Z'}}, "+h +s"));
  }

  // The journal that a run printed it saved.
  static fs::path SavedJournal(const CliResult& run) {
    const std::string lead = Lead(texts::kJournalSaved);
    const auto at = run.out.find(lead);
    if (at == std::string::npos) return {};
    const auto from = at + lead.size();
    return run.out.substr(from, run.out.find('\n', from) - from);
  }

  // The lines of `journals` (with the arguments given), each split at its tabs.
  static std::vector<std::vector<std::string>> Listed(const std::string& arguments) {
    const auto run = Cli("journals" + arguments);
    EXPECT_EQ(run.status, 0) << run.err;
    std::vector<std::vector<std::string>> lines;
    std::istringstream in(run.out);
    for (std::string line; std::getline(in, line);) {
      lines.emplace_back();
      std::istringstream fields(line);
      for (std::string field; std::getline(fields, field, '\t');) lines.back().push_back(field);
    }
    return lines;
  }

  TempDir dir;
  fs::path state = dir / "state";
  fs::path folder = state / "kestrova";
  fs::path image = dir / "stick.img";
};

// A journal is named by its command, the volume's label (a fixed word without one) and serial
// number, and the time; the folder is made for the user alone, one that exists keeps its mode,
// and one that cannot be made is told with the way out, nothing written; so is a journal file
// named with --journal that cannot be written.
TEST_F(JournalsTest, NamedByCommandVolumeAndTimeInAPrivateFolder) {
  MakeStick(image, "-n KINGSTON -i 1A2B3C4D");
  const auto repaired = Cli("repair " + Quote(image.string()));
  ASSERT_EQ(repaired.status, 0) << repaired.err;
  const fs::path journal = SavedJournal(repaired);
  EXPECT_EQ(journal.parent_path(), repair::SerialFolder(folder, 0x1A2B3C4D));
  EXPECT_TRUE(std::regex_match(journal.filename().string(),
                               std::regex(R"(repair-KINGSTON-1A2B3C4D-\d{8}-\d{6}\.journal)")))
      << journal;
  EXPECT_TRUE(fs::is_regular_file(journal));
  struct stat info {};
  for (const fs::path& made : {folder, journal.parent_path()}) {
    ASSERT_EQ(::stat(made.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0700u) << made;
  }
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
  // A journal named with --journal that cannot be written: under a file, or a file that exists.
  for (const fs::path& named : {state / "clean.journal", state}) {
    SCOPED_TRACE(named);
    const auto refused =
        Cli("clean --journal " + Quote(named.string()) + " " + Quote(image.string()));
    EXPECT_EQ(refused.status, 1);
    for (const std::string& told : {named.string(), std::string(texts::Tr(texts::kNothingWritten)),
                                    std::string(texts::Tr(texts::kJournalElsewhere))}) {
      EXPECT_NE(refused.err.find(told), std::string::npos) << refused.err;
    }
    EXPECT_EQ(ReadBytes(image), before);
  }
}

// FAT12 and FAT16 keep the serial number where FAT32 keeps other fields: a FAT16 stick's journal
// is named by its own, and undoing it on a copy of the stick that differs in its serial alone is
// refused, nothing written.
TEST_F(JournalsTest, AFat16JournalIsOfItsOwnSerialNumber) {
  MakeStick(image, "-i 1A2B3C4D", true);
  const auto other = dir / "other.img";
  ASSERT_TRUE(CopySparse(image, other));
  PatchBytes(other, 39, {0x8B, 0x7A, 0x6F, 0x5E});
  const auto cleaned = Cli("clean " + Quote(image.string()));
  ASSERT_EQ(cleaned.status, 0) << cleaned.err;
  const fs::path journal = SavedJournal(cleaned);
  EXPECT_TRUE(std::regex_match(journal.filename().string(),
                               std::regex(R"(clean-NONAME-1A2B3C4D-\d{8}-\d{6}\.journal)")))
      << journal;
  const auto before = ReadBytes(other);
  const auto refused = Cli("undo " + Quote(journal.string()) + " " + Quote(other.string()));
  EXPECT_EQ(refused.status, 1);
  EXPECT_NE(refused.err.find(texts::Tr(texts::kJournalOtherVolume)), std::string::npos)
      << refused.err;
  EXPECT_EQ(ReadBytes(other), before);
  EXPECT_EQ(Cli("undo " + Quote(journal.string()) + " " + Quote(image.string())).status, 0);
}

// The journals of a volume, newest first, with what became of each change: a repair that a later
// clean wrote over names the clean, and undoing it first is refused naming the clean; undone, cut
// short, or cut short while undone, each says so. A damaged file is listed as damaged, another
// volume's journal only without a target (one named for another serial number is not read). The
// next clean finishes a clean that was cut short, and exits with status 3 when it cannot print that
// it did.
TEST_F(JournalsTest, ListTellsWhatBecameOfEachChange) {
  MakeStick(image, "-n KINGSTON -i 1A2B3C4D");
  const std::string target = " " + Quote(image.string());
  const auto before = dir / "before.img";
  const auto cleaned = dir / "cleaned.img";
  ASSERT_TRUE(CopySparse(image, before));
  const fs::path repairJournal = SavedJournal(Cli("repair" + target));
  const fs::path cleanJournal = SavedJournal(Cli("clean" + target));
  ASSERT_TRUE(CopySparse(image, cleaned));
  const auto other = dir / "other.img";
  MakeStick(other, "-n OTHER -i 0BADF00D");
  ASSERT_EQ(Cli("repair " + Quote(other.string())).status, 0);
  const auto bytes = ReadBytes(repairJournal);
  const fs::path damaged =
      repair::SerialFolder(folder, 0x1A2B3C4D) / "repair-KINGSTON-1A2B3C4D-20000101-000000.journal";
  std::ofstream(damaged, std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()),
             static_cast<std::streamsize>(bytes.size() - 1));
  // Not a journal, under the volume's label with another serial number: its list never reads it.
  const fs::path unread = repair::SerialFolder(folder, 0x1A2B3C4E);
  fs::create_directories(unread);
  std::ofstream(unread / "repair-KINGSTON-1A2B3C4E-20991231-235959.journal") << "not a journal";
  const auto repairRecord = repair::ReadJournal(repairJournal);
  const auto cleanRecord = repair::ReadJournal(cleanJournal);
  ASSERT_TRUE(repairRecord && cleanRecord);

  const auto expectStates = [&](const std::string& cleanState, const std::string& repairState) {
    const auto listed = Listed(target);
    ASSERT_EQ(listed.size(), 3u);
    const std::vector<std::string> clean = {
        cleanJournal.string(), "clean", listed[0].at(2),
        repair::messages::JournalChanges(cleanRecord->sectors.size(), "KINGSTON", "1A2B-3C4D"),
        cleanState};
    EXPECT_EQ(listed[0], clean);
    EXPECT_TRUE(std::regex_match(listed[0][2], std::regex(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d)")));
    ASSERT_EQ(listed[1].size(), 5u);
    EXPECT_EQ(listed[1][0], repairJournal.string());
    EXPECT_EQ(listed[1][3], repair::messages::JournalChanges(1, "KINGSTON", "1A2B-3C4D"));
    EXPECT_EQ(listed[1][4], repairState);
    const std::vector<std::string> broken = {damaged.string(), "repair", "2000-01-01 00:00:00", "",
                                             texts::Tr(texts::kJournalDamagedListed)};
    EXPECT_EQ(listed[2], broken);
  };
  expectStates(texts::Tr(texts::kJournalStateUndoable),
               Format(texts::kJournalStateOvertaken, cleanJournal.string()));
  // The document says the same by the states' stable names; the damaged journal has none.
  const auto expectDocument = [&](const std::string& cleanState, const std::string& repairState,
                                  bool undoCut) {
    const auto run = Cli("journals --json" + target);
    ASSERT_EQ(run.status, 0) << run.err;
    const auto document = nlohmann::json::parse(run.out, nullptr, false);
    ASSERT_TRUE(document.is_object()) << run.out;
    EXPECT_EQ(document["folder"], folder.string());
    const auto& journals = document["journals"];
    ASSERT_EQ(journals.size(), 3u) << run.out;
    EXPECT_EQ(journals[0]["path"], cleanJournal.string());
    EXPECT_EQ(journals[0]["state"], cleanState);
    EXPECT_EQ(journals[0]["undo_cut_short"], undoCut);
    EXPECT_EQ(journals[1]["state"], repairState);
    EXPECT_EQ(journals[1].contains("later"), repairState == "overtaken");
    if (repairState == "overtaken") {
      EXPECT_EQ(journals[1]["later"], cleanJournal.string());
    }
    EXPECT_EQ(journals[2]["damaged"], true);
    EXPECT_FALSE(journals[2].contains("state"));
  };
  expectDocument("undoable", "overtaken", false);
  const auto all = Listed("");
  ASSERT_EQ(all.size(), 5u);
  // Changes of two volumes in one second come in either order; without a target, no state.
  const std::string otherChanges = repair::messages::JournalChanges(1, "OTHER", "0BAD-F00D");
  EXPECT_EQ(std::count_if(all.begin(), all.end(),
                          [&](const auto& line) {
                            return line.size() == 4 && line[1] == "repair" &&
                                   line[3] == otherChanges;
                          }),
            1);

  const auto outOfOrder = Cli("undo " + Quote(repairJournal.string()) + target);
  EXPECT_EQ(outOfOrder.status, 1);
  EXPECT_NE(outOfOrder.err.find(Format(texts::kJournalUndoLaterFirst,
                                       repairRecord->sectors.at(0).sector, cleanJournal.string())),
            std::string::npos)
      << outOfOrder.err;
  EXPECT_TRUE(DifferingOffsets(cleaned, image).empty());

  ASSERT_EQ(Cli("undo " + Quote(cleanJournal.string()) + target).status, 0);
  expectStates(texts::Tr(texts::kJournalStateUndone), texts::Tr(texts::kJournalStateUndoable));
  // The clean cut short after its first sector; then the same while an undo of it was running.
  const auto& first = cleanRecord->sectors.front();
  PatchBytes(image, static_cast<std::uint64_t>(first.sector) * 512, first.after);
  std::ofstream(repair::UndoMarkOf(cleanJournal)).close();
  expectStates(texts::Tr(texts::kJournalStateUndoCut), texts::Tr(texts::kJournalStateUndoable));
  expectDocument("partly_applied", "undoable", true);
  fs::remove(repair::UndoMarkOf(cleanJournal));
  expectStates(texts::Tr(texts::kJournalStatePartly), texts::Tr(texts::kJournalStateUndoable));

  // Finished also when nothing can be printed: the drive has changed, and the status says so.
  const auto cut = dir / "cut.img";
  ASSERT_TRUE(CopySparse(image, cut));
  const auto unprinted = Cli("clean" + target + " >/dev/full");
  EXPECT_EQ(unprinted.status, 3) << unprinted.err;
  EXPECT_TRUE(DifferingOffsets(cleaned, image).empty());
  ASSERT_TRUE(CopySparse(cut, image));
  const auto finished = Cli("clean" + target);
  ASSERT_EQ(finished.status, 0) << finished.err;
  EXPECT_TRUE(finished.out.starts_with(
      repair::messages::FinishedCutShort(cleanJournal.string(), cleanRecord->sectors.size() - 1) +
      "\n"))
      << finished.out;
  EXPECT_TRUE(DifferingOffsets(cleaned, image).empty());
}

// The journals, quarantines and marks of undos that the first versions left at the top of the
// folder move into their volumes' folders at the first look, a first version's name into the folder
// of names without a serial number; what else the top holds stays. A file whose name is taken in
// its volume's folder stays at the top, and the top is read by every pass until it is moved.
TEST_F(JournalsTest, FilesAtTheTopMoveIntoTheirVolumesFolders) {
  MakeStick(image, "-n KINGSTON -i 1A2B3C4D");
  const std::string target = " " + Quote(image.string());
  const fs::path repaired = SavedJournal(Cli("repair" + target));
  const fs::path cleaned = SavedJournal(Cli("clean" + target));
  ASSERT_TRUE(fs::exists(repair::QuarantineOf(cleaned)));
  const fs::path own = repaired.parent_path();
  // The folder as a first version left it.
  fs::remove(folder / repair::kLayoutMark);
  for (const fs::path& file :
       std::vector<fs::path>{repaired, cleaned, repair::QuarantineOf(cleaned)}) {
    fs::rename(file, folder / file.filename());
  }
  fs::remove(own);
  const fs::path firstVersion = folder / "repair-20000101-000000-4242.journal";
  fs::copy_file(folder / repaired.filename(), firstVersion);
  std::ofstream(repair::UndoMarkOf(folder / repaired.filename())) << "";
  std::ofstream(folder / "notes.txt") << "mine";

  const auto expectListed = [&](const std::vector<fs::path>& paths) {
    const auto listed = Listed(target);
    std::vector<fs::path> named;
    for (const auto& line : listed) named.emplace_back(line.at(0));
    EXPECT_EQ(named, paths);
  };
  expectListed({cleaned, repaired, folder / repair::kNoSerialFolder / firstVersion.filename()});
  EXPECT_TRUE(fs::exists(repair::QuarantineOf(cleaned)));
  EXPECT_TRUE(fs::exists(repair::UndoMarkOf(repaired)));
  EXPECT_TRUE(fs::exists(folder / "notes.txt"));
  EXPECT_TRUE(fs::exists(folder / repair::kLayoutMark));
  // The path that the clean printed then is undone where the file is now.
  const auto undone = Cli("undo " + Quote((folder / cleaned.filename()).string()) + target);
  EXPECT_EQ(undone.status, 0) << undone.err;

  // A name taken in the volume's folder: the file stays at the top, and is found there.
  fs::remove(folder / repair::kLayoutMark);
  fs::copy_file(cleaned, folder / cleaned.filename());
  const fs::path again = folder / "clean-KINGSTON-1A2B3C4D-20991231-235959.journal";
  fs::copy_file(repaired, again);
  for (int look = 0; look < 2; ++look) {
    expectListed({own / again.filename(), folder / cleaned.filename(), cleaned, repaired,
                  folder / repair::kNoSerialFolder / firstVersion.filename()});
  }
  EXPECT_FALSE(fs::exists(again));
  EXPECT_FALSE(fs::exists(folder / repair::kLayoutMark));
}

}  // namespace
}  // namespace kestrova::testing
