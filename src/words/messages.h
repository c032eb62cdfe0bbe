// SPDX-License-Identifier: GPL-3.0-or-later
// The texts of the message boxes and the reports (UTF-8): the engine decides a problem's kind and
// its details (problem.h); messages.cpp makes the text of them, in the user's language.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "format/problem.h"
#include "repair/engine.h"
#include "repair/findings.h"
#include "repair/signs.h"
#include "volume/drives.h"
#include "volume/volume.h"
#include "words/texts.h"

namespace kestrova::repair {

namespace messages {

// Who reads a text: the window, which has a list of drives to refresh, or the command line, which
// has its drives command instead.
enum class Audience { kWindow, kCommandLine };

// The text of a problem, and the title of its message box by the stage that it stops: the open,
// the analysis or the repair pass. In the user's language.
std::string Text(const Problem& problem, Audience audience = Audience::kWindow);
const char* Title(const Problem& problem);

// A folder's name as the reports show it: readable (VisibleName), and for a blank name with the
// note that the virus moved the user's files into that folder, in `language`.
std::string FolderName(const std::string& name, texts::Language language);
std::string FolderName(const std::string& name);
// What the command line and the window say about a folder that a pass restored, in `language`
// (a report names thousands: the language is looked up once for all of them).
std::string RestoredFolder(const std::string& name, texts::Language language);
std::string RestoredCount(std::size_t count);
// What the command line says about a hidden folder that is left as it is, and why.
std::string LeftAlone(const LeftAloneFolder& folder);
// Why an entry has its verdict, with the command or line that it names; the same without them.
std::string Why(const Judged& judged);
std::string ShortWhy(const Judged& judged);
// A line of the lists: an entry's path (readable), a tab, and why.
std::string JudgedLine(const Judged& judged);
// What the command line and the window say about a hidden file that a pass showed again.
std::string RestoredFile(const std::string& name, texts::Language language);
// How many entries are unsure, and how many of the virus's files were found.
std::string UnsureCount(std::size_t count);
std::string LeftoverCount(std::size_t count);
// What clean says of how many files it removed.
std::string RemovedCount(std::size_t count);
// One of the virus's files as the window offers it for removal: its path (readable), why it is
// the virus's in short, and in full with the command it names (empty when that says no more).
struct RemovalChoice {
  std::string name;
  std::string reason;
  std::string detail;
};
std::vector<RemovalChoice> RemovalChoices(const std::vector<Judged>& leftovers);
// The removal dialog's line that moves back what the virus moved into `folder`: the files and
// folders of the user's in it, those that `judged` (every verdict of the analysis) does not judge
// the virus's, which stay and go with the folder.
RemovalChoice MoveBackChoice(const Judged& folder, const std::vector<Judged>& judged);
// What a move back says at its end: how many files and folders it put back from which folder,
// how much the root grew, and what became of the folder.
std::vector<std::string> MoveBackEnd(const MoveBackReport& report, Audience audience);
// A folder of the virus's that the removal kept, and the document in it that kept it.
std::string KeptFolderLine(const KeptFolder& kept);
// What repair says after its report when the virus's files are there: the command that removes
// them, quoted for the shell (words/shell_words.h).
std::string CleanHint(const std::string& command);
// What undo says of the sectors whose old contents it put back.
std::string UndoneCount(std::size_t sectors);
// That the change cut short of `journal` was finished first, with the sectors it wrote.
std::string FinishedCutShort(const std::string& journal, std::size_t sectors);
// What a listed journal changed: its sectors, on the volume of that label and serial number.
std::string JournalChanges(std::size_t sectors, const std::string& label,
                           const std::string& serial);
// How many folder entries a repair would change.
std::string WouldRepairCount(std::size_t count);
// A size in bytes, and in KiB, MiB or GiB, whichever keeps the number above one.
std::string Size(std::uint64_t bytes);
// A size as a drive's list entry shows it, in either language: "7.5 GiB", "1.5 MiB"; empty for 0.
std::string ShortSize(std::uint64_t bytes);

// A path as the texts show it: UTF-8 on every system (a Windows path's narrow string would be in
// the ANSI code page, and fail for a name it cannot hold).
std::string PathText(const std::filesystem::path& path);

// An elapsed time in seconds as the completion message shows it: to the hundredth, "0.04".
std::string ElapsedText(double seconds);
// The two-line completion message for an elapsed time (its seconds as text).
std::string Completion(const std::string& seconds);
// What a completed repair says: the completion message with the number of folders restored and
// of hidden files shown again, or, when there were none, that there was nothing to restore; then
// the entries it could not judge (`judged`'s unsure ones), for the user to check.
std::string RepairEnd(const std::string& seconds, std::size_t restored, std::size_t shownFiles,
                      const std::vector<Judged>& judged);

// A drive that the system has mounted: the question before unmounting it, how an unmount failed
// (nothing was changed), and how the mount after the repair failed: `repaired` when a pass ran on
// it (and may have written), otherwise it says that the drive was not repaired. The titles of
// their message boxes are texts::kMountedTitle, kFailureTitle and kNoticeTitle.
std::string UnmountQuestion(const std::string& mountPoint);
std::string UnmountFailed(const std::string& mountPoint, const volume::MountChange& change);
std::string RemountFailed(const volume::MountChange& change, bool repaired);
// What the guards tell when a stick that they looked at shows signs of a worm (signs.h): the
// drive by its name ("F:", "sdb1") and its label (none when empty) as GuardDriveName gives it, the
// hidden folders when their bits were seen and the virus's files (GuardFinding), and, in Windows'
// notice, that a click repairs it (GuardNotice).
std::string GuardDriveName(const std::string& drive, const std::string& label);
std::string GuardFinding(const std::string& drive, const std::string& label,
                         const WormSigns& signs);
std::string GuardNotice(const std::string& drive, const std::string& label, const WormSigns& signs);

}  // namespace messages
}  // namespace kestrova::repair
