// SPDX-License-Identifier: GPL-3.0-or-later
// The commands of kestrova-cli, on a target resolved once from what the user typed: each calls the
// drive uses (repair/drive_use.h), builds its report (cli/reports.h) and renders it as text or as
// a JSON document.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "repair/journal.h"
#include "volume/volume.h"

namespace kestrova::cli {

inline constexpr const char* kProgram = "kestrova-cli";

// 1 promises that nothing was written to the disk; 3 says that something may have been.
enum ExitStatus { kDone = 0, kNothingWritten = 1, kUsage = 2, kWrittenAndFailed = 3 };

// The drive that the user named: a letter ("F", "f:"), or on Linux the path of a block device or
// an image file. Nothing when it is neither.
std::optional<volume::DriveTarget> TargetOf(const std::string& typed);

// How the commands print what they found or did: as text for people, or as one JSON document a
// command on standard output (cli/json_report.h); the messages for people stay on standard error.
// Chosen once, before the command runs.
enum class OutputFormat { kText, kJson };
void SetOutputFormat(OutputFormat format, const std::string& command);
// The end of a command that returned `status`: in the JSON format its document is printed, with
// the status; one that cannot be printed makes the status 3 when the command wrote to the disk, 1
// when it did not. Returns the status to exit with.
int FinishCommand(int status);

int ListDrives();
// analyze and scan: the layout, or the root entries that repair would change. They only read;
// a mounted drive is read beside its file system, and they say so.
int Analyze(const volume::DriveTarget& target);
int Scan(const volume::DriveTarget& target);
// How the commands that the program prints name a drive: on Windows by its letter; on Linux by
// the block device or image path, a letter by the device it names in this run (letters are handed
// out afresh at each run).
std::string CommandTarget(const volume::DriveTarget& target);

// What a pass that writes does with a mounted drive: with `unmount` (--unmount) it is unmounted
// first and mounted again afterwards; without, it is refused, and `retry` is the command (quoted
// for the shell) that would unmount it.
struct WhenMounted {
  bool unmount = false;
  std::string retry;
};

// The repair, as the window's Repair button does. The journal of the change goes to `journal`
// before the first write, and its path is printed then.
int Repair(const volume::DriveTarget& target, const WhenMounted& mounted,
           repair::JournalPlace journal);
// Removes the files that the virus left in the root, listing them first; the journal of the
// change goes to `journal` before the first write, as repair's.
int Clean(const volume::DriveTarget& target, const WhenMounted& mounted,
          repair::JournalPlace journal);
// Puts back into the root the files that the virus moved into a folder, listing each; the journal
// of the change goes to `journal` before the first write, as repair's.
int MoveBack(const volume::DriveTarget& target, const WhenMounted& mounted,
             repair::JournalPlace journal);
// Repair, clean and move-back in one pass from one analysis, with one journal; the virus's files
// whose paths `keep` names stay where they are.
int Fix(const volume::DriveTarget& target, const WhenMounted& mounted, repair::JournalPlace journal,
        std::vector<std::string> keep);
// Puts back what the journal at `journal` recorded, on the drive; a sector that a later change
// wrote again names that change's journal.
int Undo(const std::filesystem::path& journal, const volume::DriveTarget& target,
         const WhenMounted& mounted);
// Lists the quarantines of the journal folder, newest first: all of them, or with `target` only
// the drive's, each with its files (the drive is only read).
int ListQuarantines(const volume::DriveTarget* target);
// Writes the removed files `paths` of the quarantine at `quarantine` back into the drive's root;
// the quarantine is read and checked whole before the drive is opened.
int Restore(const std::filesystem::path& quarantine, const std::vector<std::string>& paths,
            const volume::DriveTarget& target, const WhenMounted& mounted,
            repair::JournalPlace journal);
// Lists the journals of the journal folder, newest first: all of them, or with `target` only the
// drive's, each with what became of its change there (the drive is only read).
int ListJournals(const volume::DriveTarget* target);

// The PC's look (pc-check): the places from which this PC starts a stick's worm, each with why,
// judged by the virus's files of `target`'s stick and the quarantines of it (without `target`: of
// every quarantine here); with `all` every other place too. Only reads.
int PcCheck(const volume::DriveTarget* target, bool all);
// The same look, then its clean (pc-clean): the virus's processes ended, its Run values, Startup
// files and tasks removed and the files they start moved into the PC journal, which is written
// first and undone by UndoPcJournal.
int PcClean(const volume::DriveTarget* target);
// Puts back what the PC journal at `journal` records; nothing when the file is no PC journal (a
// drive's journal, which Undo takes), nor, with `driveGiven`, one that cannot be read.
std::optional<int> UndoPcJournal(const std::filesystem::path& journal, bool driveGiven);

// Text for standard error; a failure to write it has nowhere to be told.
void Error(const std::string& text);

// Standard output, gathered into large writes, with every failure to write it remembered.
class Output {
 public:
  void Line(const std::string& text);
  // Writes what is gathered. True when everything printed reached its destination; says so on
  // standard error when not.
  bool Finish();

 private:
  void Flush();
  std::string pending_;
  bool failed_ = false;
};

}  // namespace kestrova::cli
