// SPDX-License-Identifier: GPL-3.0-or-later
#include "cli/commands.h"

#include <algorithm>
#include <chrono>
#include <cstdio>

#include "cli/console.h"
#include "cli/json_report.h"
#include "cli/reports.h"
#include "format/codepage.h"
#include "repair/drive_passes.h"
#include "repair/drive_use.h"
#include "repair/engine.h"
#include "repair/ids.h"
#include "repair/journals.h"
#include "repair/label.h"
#include "repair/pc_check.h"
#include "volume/drives.h"
#include "words/messages.h"
#include "words/pc_words.h"
#include "words/shell_words.h"
#include "words/texts.h"

namespace kestrova::cli {
namespace {

using repair::Problem;
using repair::VolumeLayout;
using volume::Access;
using volume::DriveTarget;

// The format of the output, and in the JSON format the command's document as it grows.
OutputFormat format = OutputFormat::kText;
Json document;
bool InJson() { return format == OutputFormat::kJson; }
// Whether the command wrote sectors to the disk: a document that cannot be printed then exits 3.
bool wroteToDisk = false;

// A message's line breaks (CR LF) as the terminal's.
std::string TerminalLines(const std::string& text) {
  std::string lines;
  for (char c : text) {
    if (c != '\r') lines += c;
  }
  return lines;
}

// A message as 'title: text' on standard error; in the JSON format in the document's messages too.
void Tell(const std::string& title, const std::string& text) {
  Error(title + ": " + TerminalLines(text) + "\n");
  if (InJson()) document["messages"].push_back({{"title", title}, {"text", TerminalLines(text)}});
}

void Tell(const Problem& problem) {
  if (InJson()) document["problem"] = ToJson(problem);
  Tell(repair::messages::Title(problem),
       repair::messages::Text(problem, repair::messages::Audience::kCommandLine));
}

// The pass's progress as a percentage line on standard error, redrawn in place; only on a
// terminal.
class TerminalProgress final : public repair::Progress {
 public:
  TerminalProgress() : terminal_(IsTerminal(Stream::kError)) {}
  TerminalProgress(const TerminalProgress&) = delete;
  TerminalProgress& operator=(const TerminalProgress&) = delete;
  ~TerminalProgress() override { End(); }

  void Advance(float percent) override {
    if (!terminal_) return;
    std::string line = texts::Format(texts::kProgress, percent);
    if (line == shown_) return;
    shown_ = line;
    Error("\r" + line);  // back to the line's start, over the last percentage
  }
  // Ends the line, when one was drawn.
  void End() {
    if (!shown_.empty()) Error("\n");
    shown_.clear();
  }

 private:
  bool terminal_;
  std::string shown_;
};

std::string Format(const char* format, auto... values) {
  char text[256];
  std::snprintf(text, sizeof text, format, values...);
  return text;
}

// The volume label of a listed drive: the system's, or read from the volume itself.
std::string LabelOf(const volume::DriveInfo& drive) {
  return drive.label.empty() && !drive.labelKnown ? repair::ReadVolumeLabel(drive.target)
                                                  : drive.label;
}

#ifndef _WIN32
// Letters are handed out afresh each time the program runs: says which device, label and size a
// letter names now, before anything is done to it. A letter that names no drive is told by the
// open.
void TellDriveOfLetter(char letter) {
  for (const auto& drive : volume::ListRemovableDrives()) {
    if (drive.letter != letter) continue;
    const std::string label = LabelOf(drive);
    Error(texts::Format(texts::kLetterResolved, std::string{letter, ':'}, drive.device,
                        label.empty() ? std::string() : texts::Format(texts::kLabelInLine, label),
                        repair::messages::Size(drive.sizeBytes)) +
          "\n");
    return;
  }
}
#endif

// The analysis of analyze and scan: a mounted drive is looked at beside its file system; once it
// proved to be a volume this program reads, the user is told so. With `listed`, the journal folder
// as the caller listed it.
volume::Expected<VolumeLayout, Problem> LookOnly(
    const DriveTarget& target, const repair::JournalFolderFiles* listed = nullptr) {
  const std::string mountPoint = volume::DriveMountPoint(target);
  auto looked =
      repair::Look(target, mountPoint.empty() ? Access::kReadOnly : Access::kReadShared, listed);
  if (looked && !mountPoint.empty()) {
    Tell(texts::Tr(texts::kNoticeTitle), texts::Format(texts::kReadWhileMounted, mountPoint));
  }
  return looked;
}

void PrintLayout(Output& out, const VolumeLayout& layout) {
  using texts::Format;
  const bool exfat = layout.fileSystem == repair::FileSystem::kExfat;
  out.Line(
      Format(texts::kLayoutFileSystem, std::string(repair::FileSystemName(layout.fileSystem))));
  out.Line(Format(texts::kLayoutSectorBytes, layout.bytesPerSector));
  // exFAT has no reserved region of that name: its FAT begins at the FAT offset.
  out.Line(Format(exfat ? texts::kLayoutFatOffset : texts::kLayoutReservedSectors,
                  layout.reservedSectors));
  out.Line(Format(texts::kLayoutFatSectors, layout.fatSize));
  out.Line(Format(texts::kLayoutFatCount, layout.fatCount));
  out.Line(Format(texts::kLayoutClusterSectors, layout.sectorsPerCluster));
  out.Line(Format(texts::kLayoutDataStart, layout.dataStart));
  out.Line(Format(texts::kLayoutTotalSectors, layout.totalSectors));
  out.Line(Format(texts::kLayoutClusters, layout.clusterCount));
  if (!layout.RootHasChain()) {
    out.Line(Format(texts::kLayoutRootSectors, layout.rootStart, layout.rootSectors));
    return;
  }
  out.Line(Format(texts::kLayoutRootClusterCount, layout.rootClusterCount));
  std::string clusters;
  for (std::int32_t i = 0; i < layout.rootClusterCount; ++i) {
    if (i > 0) clusters += ' ';
    clusters += std::to_string(layout.rootClusters.at(static_cast<std::size_t>(i)));
  }
  out.Line(Format(texts::kLayoutRootClusters, clusters));
}

// A hidden entry that a repair changes: its attributes, its short name and its long name (a blank
// one with its note), and whether it is deleted or after the end mark.
std::string HiddenLine(const repair::HiddenEntry& entry) {
  using repair::messages::FolderName;
  std::string flags;
  if (entry.deleted) flags += texts::Tr(texts::kEntryDeleted);
  if (entry.afterEnd) {
    flags.append(flags.empty() ? "" : ",").append(texts::Tr(texts::kEntryAfterEnd));
  }
  const bool longShown = !entry.longName.empty();
  return Format("0x%02X\t", static_cast<unsigned>(entry.attribute)) +
         (longShown ? repair::VisibleName(entry.shortName) : FolderName(entry.shortName)) + "\t" +
         (longShown ? FolderName(entry.longName) : std::string()) + "\t" + flags;
}

// The hidden folders that a repair changes, then under their heading the hidden files that it
// shows again, then the folders left unchanged for their entry sets.
void PrintHidden(Output& out, const repair::RootFindings& findings) {
  bool files = false;
  for (const auto& entry : findings.hidden) {
    if (entry.folder) {
      out.Line(HiddenLine(entry));
    } else {
      files = true;
    }
  }
  if (files) {
    out.Line(texts::Tr(texts::kHeadingHiddenFiles));
    for (const auto& entry : findings.hidden) {
      if (!entry.folder) out.Line(HiddenLine(entry));
    }
  }
  for (const auto& left : findings.leftAlone) out.Line(repair::messages::LeftAlone(left));
}

// The virus's files, one a line with why.
void PrintLeftovers(Output& out, const std::vector<repair::Judged>& leftovers) {
  for (const auto& leftover : leftovers) out.Line(repair::messages::JudgedLine(leftover));
}

// Every judged entry under the heading of its verdict: the virus's (the files that clean removes
// first), the unsure, the user's, then what is left alone for a system or as a vaccine.
void PrintVerdicts(Output& out, const repair::RootFindings& findings) {
  using repair::Verdict;
  const auto section = [&](const texts::Text& heading, auto belongs, bool withLeftovers) {
    const bool any = (withLeftovers && !findings.leftovers.empty()) ||
                     std::any_of(findings.judged.begin(), findings.judged.end(), belongs);
    if (!any) return;
    out.Line(texts::Tr(heading));
    if (withLeftovers) PrintLeftovers(out, findings.leftovers);
    for (const auto& judged : findings.judged) {
      if (belongs(judged)) out.Line(repair::messages::JudgedLine(judged));
    }
  };
  const auto is = [](Verdict verdict) {
    return [verdict](const repair::Judged& judged) { return judged.verdict == verdict; };
  };
  section(texts::kHeadingVirus, is(Verdict::kVirus), true);
  section(texts::kHeadingUnsure, is(Verdict::kUnsure), false);
  section(texts::kHeadingUser, is(Verdict::kUser), false);
  section(
      texts::kHeadingLeftAlone,
      [](const repair::Judged& judged) {
        return judged.verdict == Verdict::kSystem || judged.verdict == Verdict::kVaccine;
      },
      false);
}

std::size_t CountOf(const std::vector<repair::Judged>& judged, repair::Verdict verdict) {
  return static_cast<std::size_t>(std::count_if(
      judged.begin(), judged.end(), [&](const repair::Judged& j) { return j.verdict == verdict; }));
}

// A line that must be out before the pass writes (a run cut short has told it): on standard
// output, or in the JSON format, whose standard output is the document, on standard error.
void SayNow(const std::string& line) {
  if (InJson()) {
    Error(line + "\n");
    return;
  }
  Output out;
  out.Line(line);
  out.Finish();
}

// Tells that the change cut short of a journal was finished before the pass.
void TellFinished(const repair::FinishedChange& finished) {
  SayNow(repair::messages::FinishedCutShort(repair::messages::PathText(finished.journal),
                                            finished.sectorsWritten));
}

// Tells the problem that stopped a pass (titled by the command, also when the drive did not open):
// the exit status says whether it had begun to write, or a change cut short that was finished
// before it had.
int Failed(Problem problem, repair::PassKind pass = repair::PassKind::kRepair) {
  problem.pass = pass;
  Tell(problem);
  return problem.anyWritten ? kWrittenAndFailed : kNothingWritten;
}

// The journal's place with its path printed as soon as the journal has reached the disk, before
// the pass's first write to the volume: a run that is cut short has told where it is.
repair::JournalPlace Announced(repair::JournalPlace place) {
  place.saved = [](const std::filesystem::path& path) {
    SayNow(texts::Format(texts::kJournalSaved, repair::messages::PathText(path)));
  };
  return place;
}

// The command of this program with `command`'s arguments, quoted for the shell; `--unmount` is
// put in front of them for a drive that was unmounted for the pass.
std::string Offered(const char* command, bool unmount, std::vector<std::string> arguments) {
  std::vector<std::string> words{kProgram, command};
  if (unmount) words.emplace_back("--unmount");
  words.insert(words.end(), arguments.begin(), arguments.end());
  return words::CommandLine(words);
}

// How to undo a change whose journal was written.
template <typename Report>
void UndoHint(Output& out, const std::filesystem::path& journal, const PassDone<Report>& done) {
  if (journal.empty()) return;
  out.Line(texts::Format(texts::kUndoHint, Offered("undo", done.unmounted,
                                                   {repair::messages::PathText(journal),
                                                    CommandTarget(done.target)})));
}

// Tells that the change cut short of a journal was finished, after the progress line.
repair::FinishedHook TellFinishedAfter(TerminalProgress& progress) {
  return [&progress](const repair::FinishedChange& finished) {
    progress.End();
    TellFinished(finished);
  };
}

// Tells why a drive was not taken for a pass that writes; `retry` is the command that would
// unmount it.
int NotTaken(const repair::NotTaken& refusal, const std::string& retry) {
  using Why = repair::NotTaken::Why;
  switch (refusal.why) {
    case Why::kRefused:
      Tell(refusal.problem);
      break;
    case Why::kDeclined:
      Tell(texts::Tr(texts::kMountedTitle),
           texts::Format(texts::kMountedBusy, refusal.mountPoint, retry));
      break;
    case Why::kUnmountFailed:
      Tell(texts::Tr(texts::kFailureTitle),
           repair::messages::UnmountFailed(refusal.mountPoint, refusal.change));
      break;
  }
  return kNothingWritten;
}

// Tells a drive that could not be mounted again after a pass, not as a failure.
void TellRemount(const volume::MountChange& mounted, bool passRan) {
  if (!mounted.done) {
    Tell(texts::Tr(texts::kNoticeTitle), repair::messages::RemountFailed(mounted, passRan));
  }
}

// Readies the drive for a pass that writes (repair/drive_use.h): a mounted one is unmounted only
// when the user asked for it, and mounted again when the guard goes.
volume::Expected<repair::Unmounted, repair::NotTaken> Take(const DriveTarget& target,
                                                           const WhenMounted& mounted) {
  return repair::TakeForPass(
      target, repair::SystemMounts(), [&](const std::string&) { return mounted.unmount; },
      TellRemount);
}

// The analysis and the pass under one open: nothing can happen between looking and repairing.
volume::Expected<RepairDone, Problem> RepairNow(const DriveTarget& target,
                                                const repair::JournalPlace& journal,
                                                repair::Unmounted& unmounted) {
  const auto start = std::chrono::steady_clock::now();
  TerminalProgress progress;
  auto pass = repair::RepairDrive(target, nullptr, journal, &progress, TellFinishedAfter(progress));
  progress.End();
  unmounted.Note(pass);
  if (!pass) return std::move(pass.error());
  const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
  return RepairDone{target, std::move(pass->report), std::move(pass->finished), elapsed.count(),
                    unmounted.Holds()};
}

// Where the removed files are kept, and how to list them.
void QuarantineHint(Output& out, const std::filesystem::path& quarantine) {
  if (!quarantine.empty()) {
    out.Line(texts::Format(texts::kQuarantineSaved, repair::messages::PathText(quarantine)));
  }
}

// The text of each report, on standard output.

void Print(Output& out, const std::vector<ListedDrive>& drives) {
  for (const auto& [drive, label] : drives) {
    out.Line(Format("%s\t%c\t%llu\t", drive.device.c_str(), drive.letter,
                    static_cast<unsigned long long>(drive.sizeBytes)) +
             label + (drive.mountPoint.empty() ? "" : "\t" + drive.mountPoint));
  }
}

void Print(Output& out, const VolumeLayout& layout) { PrintLayout(out, layout); }

void Print(Output& out, const repair::RootFindings& findings) {
  PrintHidden(out, findings);
  PrintVerdicts(out, findings);
}

// Each entry shown again, then the folders' count.
void PrintRestored(Output& out, const std::vector<repair::HiddenEntry>& restored) {
  const texts::Language language = texts::UserLanguage();
  std::size_t folders = 0;
  for (const auto& entry : restored) {
    if (entry.folder) {
      out.Line(repair::messages::RestoredFolder(entry.Name(), language));
      ++folders;
    } else {
      out.Line(repair::messages::RestoredFile(entry.Name(), language));
    }
  }
  out.Line(repair::messages::RestoredCount(folders));
}

void Print(Output& out, const RepairDone& done) {
  const repair::RepairReport& result = done.report;
  // The count, then the completion; with nothing restored, the count says so and is all.
  PrintRestored(out, result.restored);
  if (!result.restored.empty()) {
    out.Line(
        TerminalLines(repair::messages::Completion(repair::messages::ElapsedText(done.seconds))));
  }
  UndoHint(out, result.journal, done);
  // The virus's files stay until they are removed on purpose: which they are, and how; then
  // what else was judged.
  PrintVerdicts(out, result.findings);
  if (!result.findings.leftovers.empty()) {
    out.Line(repair::messages::CleanHint(
        Offered("clean", done.unmounted, {CommandTarget(done.target)})));
  }
}

void Print(Output& out, const CleanDone& done) {
  PrintLeftovers(out, done.report.removed);
  out.Line(repair::messages::RemovedCount(done.report.removed.size()));
  for (const auto& kept : done.report.kept) out.Line(repair::messages::KeptFolderLine(kept));
  QuarantineHint(out, done.report.quarantine);
  UndoHint(out, done.report.journal, done);
}

// What a move back did: what moved under which names, what stayed, and the folder's end.
void PrintMoveBack(Output& out, const repair::MoveBackReport& report) {
  for (const auto& moved : report.moved) {
    const std::string was = repair::VisibleName(moved.file.Name());
    out.Line(moved.name == moved.file.Name()
                 ? texts::Format(texts::kMovedBack, was)
                 : texts::Format(texts::kMovedBackRenamed, was, repair::VisibleName(moved.name)));
  }
  for (const auto& stayed : report.stayed) {
    out.Line(texts::Format(texts::kStayedInFolder, repair::messages::JudgedLine(stayed)));
  }
  for (const std::string& line :
       repair::messages::MoveBackEnd(report, repair::messages::Audience::kCommandLine)) {
    out.Line(line);
  }
}

void Print(Output& out, const MoveBackDone& done) {
  if (done.report.folder.empty()) {
    out.Line(texts::Tr(texts::kNothingToMoveBack));
    return;
  }
  PrintMoveBack(out, done.report);
  QuarantineHint(out, done.report.quarantine);
  UndoHint(out, done.report.journal, done);
}

void Print(Output& out, const FixDone& done) {
  const repair::Plan& plan = done.report;
  PrintRestored(out, plan.restore);
  PrintLeftovers(out, plan.remove);
  out.Line(repair::messages::RemovedCount(plan.remove.size()));
  for (const auto& kept : plan.kept) out.Line(repair::messages::KeptFolderLine(kept));
  if (!plan.moveBack.folder.empty() && !plan.moveBackRefused) PrintMoveBack(out, plan.moveBack);
  if (plan.moveBackRefused) {
    out.Line(texts::Format(
        texts::kMoveBackLeftOut,
        repair::messages::Text(*plan.moveBackRefused, repair::messages::Audience::kCommandLine)));
  }
  if (plan.sectorsWritten > 0) {
    out.Line(
        TerminalLines(repair::messages::Completion(repair::messages::ElapsedText(done.seconds))));
  }
  QuarantineHint(out, plan.quarantine);
  UndoHint(out, plan.journal, done);
}

void Print(Output& out, const RestoreDone& done) {
  for (const auto& one : done.report.restored) {
    const std::string was = repair::VisibleName(one.file.Name());
    out.Line(one.name == one.file.Name()
                 ? texts::Format(texts::kPutBack, was)
                 : texts::Format(texts::kPutBackRenamed, was, repair::VisibleName(one.name)));
  }
  UndoHint(out, done.report.journal, done);
}

void Print(Output& out, const QuarantinesReport& report) {
  for (const auto& listed : report.quarantines) {
    std::string line = repair::messages::PathText(listed.named.path);
    line.append("\t").append(listed.named.command).append("\t");
    line.append(ShownTime(listed.named.stamp)).append("\t").append(listed.named.label);
    if (!listed.quarantine) {
      out.Line(line + "\t" + texts::Tr(texts::kJournalDamagedListed));
      continue;
    }
    out.Line(line);
    for (const auto& file : listed.quarantine->files) {
      repair::Judged judged;
      judged.evidence = file.evidence;
      judged.subject = file.subject;
      judged.command = file.command;
      // Appended one after the other: GCC 12 takes "\t" + a string for overlapping copies.
      std::string fields = "\t";
      fields.append(repair::VisiblePath(file.path)).append("\t").append(std::to_string(file.size));
      fields.append("\t").append(
          texts::Tr(file.removed ? texts::kQuarantineRemoved : texts::kQuarantineStayed));
      out.Line(fields.append("\t").append(repair::messages::ShortWhy(judged)));
    }
  }
}

void Print(Output& out, const repair::UndoReport& undone) {
  out.Line(undone.alreadyUndone ? std::string(texts::Tr(texts::kAlreadyUndone))
                                : repair::messages::UndoneCount(undone.sectorsWritten));
}

// What became of a listed journal's change on its drive.
std::string StateText(const repair::ListedJournal& journal, const repair::JournalStatus& status) {
  using repair::JournalState;
  switch (status.state) {
    case JournalState::kUndoable:
      return texts::Tr(texts::kJournalStateUndoable);
    case JournalState::kUndone:
      return texts::Tr(texts::kJournalStateUndone);
    case JournalState::kPartlyApplied:
      return texts::Tr(journal.undoCutShort ? texts::kJournalStateUndoCut
                                            : texts::kJournalStatePartly);
    case JournalState::kOvertaken:
      return texts::Format(texts::kJournalStateOvertaken, status.later.string());
    case JournalState::kChanged:
      break;
  }
  return texts::Format(texts::kJournalStateChanged, status.sector);
}

void Print(Output& out, const JournalsReport& report) {
  for (const auto& [j, status] : report.journals) {
    std::string line = repair::messages::PathText(j.path);
    line.append("\t").append(j.command).append("\t").append(ShownTime(j.stamp)).append("\t");
    if (!j.journal) {
      out.Line(line + "\t" + texts::Tr(texts::kJournalDamagedListed));
      continue;
    }
    const auto serial = j.journal->volume.serial;
    line += repair::messages::JournalChanges(j.journal->sectors.size(),
                                             j.label.empty() ? std::string("?") : j.label,
                                             Format("%04X-%04X", serial >> 16, serial & 0xFFFF));
    if (status) line.append("\t").append(StateText(j, *status));
    out.Line(line);
  }
}

// Renders a report: as its text on standard output, or in the JSON format into the command's
// document. False when the text could not be printed.
template <typename Report>
bool Render(const Report& report) {
  if (InJson()) {
    AddTo(document, report);
    return true;
  }
  Output out;
  Print(out, report);
  return out.Finish();
}

// Renders what a pass that wrote did: a report that cannot be printed after the drive was written
// exits 3.
template <typename Report>
int Rendered(const PassDone<Report>& done) {
  wroteToDisk = done.Wrote();
  if (Render(done)) return kDone;
  return wroteToDisk ? kWrittenAndFailed : kNothingWritten;
}

}  // namespace

void Error(const std::string& text) { Write(Stream::kError, text); }

void Output::Line(const std::string& text) {
  // In the JSON format standard output carries the document alone.
  if (InJson()) return;
  // A line at a time would be a system call a line: a repair of many folders prints thousands.
  constexpr std::size_t kGathered = 64 << 10;
  pending_.append(text).append("\n");
  if (pending_.size() >= kGathered) Flush();
}

void Output::Flush() {
  if (!pending_.empty() && !Write(Stream::kOutput, pending_)) failed_ = true;
  pending_.clear();
}

bool Output::Finish() {
  Flush();
  if (failed_) Error(std::string(kProgram) + ": " + texts::Tr(texts::kOutputFailed) + "\n");
  return !failed_;
}

void SetOutputFormat(OutputFormat chosen, const std::string& command) {
  format = chosen;
  document = Document(command);
}

int FinishCommand(int status) {
  if (!InJson()) return status;
  document["exit_status"] = status;
  // Names that are not UTF-8 are shown with the replacement character rather than refused.
  if (Write(Stream::kOutput, document.dump(2, ' ', false, Json::error_handler_t::replace) + "\n")) {
    return status;
  }
  Error(std::string(kProgram) + ": " + texts::Tr(texts::kOutputFailed) + "\n");
  return status != kDone ? status : wroteToDisk ? kWrittenAndFailed : kNothingWritten;
}

std::optional<DriveTarget> TargetOf(const std::string& typed) {
  if (const auto letter = volume::DriveLetter(typed)) {
#ifndef _WIN32
    TellDriveOfLetter(*letter);
#endif
    return DriveTarget::OfLetter(*letter);
  }
#ifdef _WIN32
  return std::nullopt;  // Windows opens a volume by its letter only
#else
  if (typed.empty()) return std::nullopt;
  return DriveTarget::OfPath(typed);
#endif
}

int ListDrives() {
  const auto drives = volume::ListRemovableDrives();
  if (drives.empty()) Error(std::string(texts::Tr(texts::kNoDrives)) + "\n");
  std::vector<ListedDrive> listed;
  for (const auto& drive : drives) listed.push_back({drive, LabelOf(drive)});
  return Render(listed) ? kDone : kNothingWritten;
}

int Analyze(const DriveTarget& target) {
  const auto looked = LookOnly(target);
  if (!looked) {
    Tell(looked.error());
    return kNothingWritten;
  }
  return Render(*looked) ? kDone : kNothingWritten;
}

int Scan(const DriveTarget& target) {
  // The look and the plan after it recall by one listing of the journal folder.
  const repair::JournalFolderFiles recall(repair::JournalFolder());
  const auto looked = LookOnly(target, &recall);
  if (!looked) {
    Tell(looked.error());
    return kNothingWritten;
  }
  const auto& findings = looked->findings;
  bool printed = Render(findings);
  // What one fix would do, by the same rules: the names that a move back would number, and in
  // the JSON format the whole plan.
  std::optional<std::string> fixHint;
  {
    const bool mounted = !volume::DriveMountPoint(target).empty();
    auto opened = volume::Volume::Open(target, mounted ? Access::kReadShared : Access::kReadOnly);
    auto planned = opened ? repair::PlanFix(*opened, {}, nullptr, &recall)
                          : volume::Expected<repair::Plan, Problem>(
                                repair::OpenProblem(std::move(opened.error())));
    if (!planned) {
      Error(repair::messages::Text(planned.error(), repair::messages::Audience::kCommandLine) +
            "\n");
    } else if (InJson()) {
      const repair::MoveBackReport& moving = planned->moveBack;
      if (!moving.folder.empty() && !planned->moveBackRefused) {
        Json renamed = Json::array();
        for (const auto& one : moving.moved) {
          if (one.name == one.file.Name()) continue;
          renamed.push_back({{"path", moving.folder + '\\' + one.file.Name()}, {"name", one.name}});
        }
        document["move_back"] = {{"folder", moving.folder},
                                 {"moved", moving.moved.size()},
                                 {"stayed", moving.stayed.size()},
                                 {"renamed", renamed}};
      }
      document["plan"] = PlanJson(*planned);
    } else {
      Output out;
      const repair::MoveBackReport& moving = planned->moveBack;
      for (const auto& one : moving.moved) {
        if (one.name == one.file.Name()) continue;
        out.Line(texts::Format(
            texts::kWouldRename,
            repair::VisibleName(moving.folder) + '\\' + repair::VisibleName(one.file.Name()),
            repair::VisibleName(one.name)));
      }
      printed = out.Finish() && printed;
    }
    if (planned && planned->moveBackRefused) {
      Error(repair::messages::Text(*planned->moveBackRefused,
                                   repair::messages::Audience::kCommandLine) +
            "\n");
    }
    // Only the hidden entries to show: the repair is the one step.
    if (planned && (!planned->remove.empty() ||
                    (!planned->moveBack.moved.empty() && !planned->moveBackRefused))) {
      fixHint = texts::Format(texts::kFixHint, Offered("fix", false, {CommandTarget(target)}));
    }
  }
  // The counts after the list, on standard error.
  const auto folders = static_cast<std::size_t>(std::count_if(
      findings.hidden.begin(), findings.hidden.end(), [](const auto& e) { return e.folder; }));
  Error(repair::messages::WouldRepairCount(folders) + "\n");
  if (!findings.leftovers.empty()) {
    Error(repair::messages::LeftoverCount(findings.leftovers.size()) + "\n");
  }
  if (const std::size_t unsure = CountOf(findings.judged, repair::Verdict::kUnsure)) {
    Error(repair::messages::UnsureCount(unsure) + "\n");
  }
  if (fixHint) Error(*fixHint + "\n");
  return printed ? kDone : kNothingWritten;
}

std::string CommandTarget(const DriveTarget& target) {
#ifndef _WIN32
  if (target.letter) {
    // The table keeps a letter's device for the whole run: the device that the pass opened.
    for (const auto& drive : volume::ListRemovableDrives()) {
      if (drive.letter == target.letter) return drive.device;
    }
  }
#endif
  return target.Name();
}

int Repair(const DriveTarget& target, const WhenMounted& mounted, repair::JournalPlace journal) {
  journal = Announced(std::move(journal));
  auto taken = Take(target, mounted);
  if (!taken) return NotTaken(taken.error(), mounted.retry);
  const auto done = RepairNow(target, journal, *taken);
  if (!done) return Failed(done.error(), repair::PassKind::kRepair);
  // A drive unmounted for the pass is mounted again once the report is out.
  return Rendered(*done);
}

int Clean(const DriveTarget& target, const WhenMounted& mounted, repair::JournalPlace journal) {
  journal = Announced(std::move(journal));
  auto taken = Take(target, mounted);
  if (!taken) return NotTaken(taken.error(), mounted.retry);
  TerminalProgress progress;
  auto pass = repair::CleanDrive(target, nullptr, journal, &progress, TellFinishedAfter(progress));
  progress.End();
  taken->Note(pass);
  if (!pass) return Failed(pass.error(), repair::PassKind::kClean);
  // A drive unmounted for the pass is mounted again once the report is out.
  return Rendered(
      CleanDone{target, std::move(pass->report), std::move(pass->finished), 0, taken->Holds()});
}

int MoveBack(const DriveTarget& target, const WhenMounted& mounted, repair::JournalPlace journal) {
  journal = Announced(std::move(journal));
  auto taken = Take(target, mounted);
  if (!taken) return NotTaken(taken.error(), mounted.retry);
  const auto start = std::chrono::steady_clock::now();
  TerminalProgress progress;
  auto pass =
      repair::MoveBackDrive(target, nullptr, journal, &progress, TellFinishedAfter(progress));
  progress.End();
  taken->Note(pass);
  if (!pass) return Failed(pass.error(), repair::PassKind::kMoveBack);
  const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
  // A drive unmounted for the pass is mounted again once the report is out.
  return Rendered(MoveBackDone{target, std::move(pass->report), std::move(pass->finished),
                               elapsed.count(), taken->Holds()});
}

int Fix(const DriveTarget& target, const WhenMounted& mounted, repair::JournalPlace journal,
        std::vector<std::string> keep) {
  journal = Announced(std::move(journal));
  auto taken = Take(target, mounted);
  if (!taken) return NotTaken(taken.error(), mounted.retry);
  const auto start = std::chrono::steady_clock::now();
  TerminalProgress progress;
  repair::FixChoice choice;
  choice.keep = std::move(keep);
  auto pass =
      repair::FixDrive(target, nullptr, choice, journal, &progress, TellFinishedAfter(progress));
  progress.End();
  taken->Note(pass);
  if (!pass) return Failed(pass.error(), repair::PassKind::kFix);
  const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
  // A drive unmounted for the pass is mounted again once the report is out.
  return Rendered(FixDone{target, std::move(pass->report), std::move(pass->finished),
                          elapsed.count(), taken->Holds()});
}

int ListQuarantines(const DriveTarget* target) {
  QuarantinesReport report;
  report.folder = repair::JournalFolder();
  std::optional<repair::VolumeIdentity> identity;
  if (target) {
    const bool mounted = !volume::DriveMountPoint(*target).empty();
    auto open = volume::Volume::Open(*target, mounted ? Access::kReadShared : Access::kReadOnly);
    if (!open) {
      Tell(repair::OpenProblem(std::move(open.error())));
      return kNothingWritten;
    }
    identity = repair::IdentityOfVolume(*open);
    if (!identity) {
      Problem problem;
      problem.kind = repair::ProblemKind::kUnsupportedFileSystem;
      Tell(problem);
      return kNothingWritten;
    }
  }
  report.quarantines = repair::ListQuarantines(repair::JournalFolderFiles(report.folder), identity);
  if (report.quarantines.empty()) {
    Error(texts::Format(texts::kNoQuarantines, report.folder.string()) + "\n");
  }
  return Render(report) ? kDone : kNothingWritten;
}

int Restore(const std::filesystem::path& quarantine, const std::vector<std::string>& paths,
            const DriveTarget& target, const WhenMounted& mounted, repair::JournalPlace journal) {
  // A quarantine that cannot be used is refused before the drive is opened.
  const auto kept = repair::ReadQuarantine(repair::ArrangedPath(quarantine));
  if (!kept) return Failed(kept.error(), repair::PassKind::kRestore);
  journal.what = "restore";
  journal = Announced(std::move(journal));
  auto taken = Take(target, mounted);
  if (!taken) return NotTaken(taken.error(), mounted.retry);
  TerminalProgress progress;
  auto pass =
      repair::RestoreDrive(target, *kept, paths, journal, &progress, TellFinishedAfter(progress));
  progress.End();
  taken->Note(pass);
  if (!pass) return Failed(pass.error(), repair::PassKind::kRestore);
  return Rendered(
      RestoreDone{target, std::move(pass->report), std::move(pass->finished), 0, taken->Holds()});
}

int Undo(const std::filesystem::path& journal, const DriveTarget& target,
         const WhenMounted& mounted) {
  auto taken = Take(target, mounted);
  if (!taken) return NotTaken(taken.error(), mounted.retry);
  TerminalProgress progress;
  const auto undone = repair::UndoChange(journal, target, &progress);
  progress.End();
  taken->Note(undone);
  if (!undone) return Failed(undone.error(), repair::PassKind::kUndo);
  wroteToDisk = undone->sectorsWritten > 0;
  if (Render(*undone)) return kDone;
  return wroteToDisk ? kWrittenAndFailed : kNothingWritten;
}

int ListJournals(const DriveTarget* target) {
  JournalsReport report;
  report.folder = repair::JournalFolder();
  std::optional<volume::Volume> opened;
  std::optional<repair::VolumeIdentity> identity;
  if (target) {
    // The drive is only read, a mounted one beside its file system; one that is no volume of this
    // program's is refused as analyze refuses it.
    const bool mounted = !volume::DriveMountPoint(*target).empty();
    auto open = volume::Volume::Open(*target, mounted ? Access::kReadShared : Access::kReadOnly);
    if (!open) {
      Tell(repair::OpenProblem(std::move(open.error())));
      return kNothingWritten;
    }
    opened.emplace(std::move(*open));
    identity = repair::IdentityOfVolume(*opened);
    if (!identity) {
      const auto refused = repair::Analyse(*opened);
      Problem problem;
      problem.kind = repair::ProblemKind::kUnsupportedFileSystem;
      Tell(refused ? problem : refused.error());
      return kNothingWritten;
    }
  }
  // With a target, only the journals whose names may be of its volume are read; a damaged one
  // stays in the list, as it may be its.
  std::vector<repair::ListedJournal> listed =
      repair::ListJournals(repair::JournalFolderFiles(report.folder), identity);
  for (std::size_t i = 0; i < listed.size(); ++i) {
    JournalLine& line = report.journals.emplace_back(JournalLine{listed[i], std::nullopt});
    if (!opened || !listed[i].journal) continue;
    // The later journals of the list come before it.
    auto status = repair::StatusOf(*opened, *listed[i].journal, std::span(listed).first(i));
    if (!status) {
      Tell(status.error());
      return kNothingWritten;
    }
    line.status = std::move(*status);
  }
  if (listed.empty()) Error(texts::Format(texts::kNoJournals, report.folder.string()) + "\n");
  return Render(report) ? kDone : kNothingWritten;
}

namespace {

// The PC's look: the places, and what the evidence says of each; the evidence of `target`'s stick
// (and of the quarantines of it), or of every quarantine here. Nothing when the evidence could
// not be read (it has been told).
struct PcLook {
  volume::StartupListing listing;
  std::vector<repair::PcEntry> entries;
};

std::optional<PcLook> LookAtPc(const DriveTarget* target, bool all) {
  PcLook look;
  look.listing = volume::ListStartup();
  if (!look.listing.supported) return look;
  const repair::JournalFolderFiles files(repair::JournalFolder());
  repair::PcEvidence evidence;
  if (target) {
    auto read = repair::EvidenceOfStick(*target, files);
    if (!read) {
      Tell(read.error());
      return std::nullopt;
    }
    evidence = std::move(*read);
  } else {
    evidence = repair::EvidenceRecalled(files);
  }
  if (evidence.Empty()) Tell(texts::Tr(texts::kNoticeTitle), texts::Tr(texts::kPcNoEvidence));
  for (const auto& unlisted : look.listing.unlisted) {
    Tell(texts::Tr(texts::kNoticeTitle), repair::messages::PcUnlistedText(unlisted));
  }
  look.entries = repair::JudgePc(look.listing, evidence, repair::ReadFileOfPc, all);
  return look;
}

Json PcJson(const PcLook& look) {
  Json entries = Json::array();
  for (const repair::PcEntry& entry : look.entries) {
    const repair::PcVerdict verdict = repair::VerdictOf(entry.why);
    entries.push_back({{"place", repair::messages::PcPlaceText(look.listing, entry)},
                       {"command", entry.command},
                       {"file", entry.file},
                       {"verdict", verdict == repair::PcVerdict::kVirus    ? "virus"
                                   : verdict == repair::PcVerdict::kUnsure ? "unsure"
                                                                           : "other"},
                       {"subject", entry.subject},
                       {"why", repair::messages::PcWhyText(entry)}});
  }
  return entries;
}

bool AnyVirus(const std::vector<repair::PcEntry>& entries) {
  return std::any_of(entries.begin(), entries.end(), [](const repair::PcEntry& entry) {
    return repair::VerdictOf(entry.why) == repair::PcVerdict::kVirus;
  });
}

void PrintPcLook(Output& out, const PcLook& look) {
  for (const std::string& line : repair::messages::PcLookLines(look.listing, look.entries)) {
    out.Line(line);
  }
  if (!AnyVirus(look.entries)) out.Line(texts::Tr(texts::kPcNothingFound));
}

int PcChangesDone(Output& out, const std::vector<repair::PcDone>& done, bool undo) {
  bool failed = false;
  Json lines = Json::array();
  for (const repair::PcDone& one : done) {
    failed = failed || one.error != 0;
    const std::string line = repair::messages::PcDoneLine(one, undo);
    if (InJson()) {
      lines.push_back(
          {{"change", repair::messages::PcChangeText(*one.change, undo)}, {"error", one.error}});
    } else {
      out.Line(line);
    }
  }
  if (InJson()) document["changes"] = lines;
  return failed ? kWrittenAndFailed : kDone;
}

}  // namespace

int PcCheck(const DriveTarget* target, bool all) {
  const auto look = LookAtPc(target, all);
  if (!look) return kNothingWritten;
  Output out;
  if (!look->listing.supported) {
    Tell(texts::Tr(texts::kNoticeTitle), texts::Tr(texts::kPcNoSuchPlaces));
    if (InJson()) document["places"] = Json::array();
    return out.Finish() ? kDone : kNothingWritten;
  }
  if (InJson()) {
    document["places"] = PcJson(*look);
  } else {
    PrintPcLook(out, *look);
    if (AnyVirus(look->entries)) {
      std::vector<std::string> words{kProgram, "pc-clean"};
      if (target) words.push_back(CommandTarget(*target));
      out.Line(texts::Format(texts::kPcCleanHint, words::CommandLine(words)));
    }
  }
  return out.Finish() ? kDone : kNothingWritten;
}

int PcClean(const DriveTarget* target) {
  const auto look = LookAtPc(target, false);
  if (!look) return kNothingWritten;
  Output out;
  if (!look->listing.supported) {
    Tell(texts::Tr(texts::kNoticeTitle), texts::Tr(texts::kPcNoSuchPlaces));
    return out.Finish() ? kDone : kNothingWritten;
  }
  if (InJson()) document["places"] = PcJson(*look);
  if (!InJson()) PrintPcLook(out, *look);
  const repair::PcPlan plan =
      repair::PlanPcClean(look->listing, look->entries, repair::ReadFileOfPc);
  for (const std::string& left : plan.left) {
    Tell(texts::Tr(texts::kNoticeTitle), texts::Format(texts::kPcFileLeft, left));
  }
  if (plan.journal.changes.empty()) {
    out.Line(texts::Tr(texts::kPcCleanNothing));
    return out.Finish() ? kDone : kNothingWritten;
  }
  if (!out.Finish()) return kNothingWritten;
  std::vector<repair::PcDone> done;
  const auto journal = repair::CleanPc(plan.journal, repair::JournalFolder(), done);
  if (!journal) {
    Tell(journal.error());
    return kNothingWritten;
  }
  wroteToDisk = true;
  SayNow(texts::Format(texts::kJournalSaved, repair::messages::PathText(*journal)));
  Output changes;
  const int status = PcChangesDone(changes, done, false);
  const bool ended = std::any_of(done.begin(), done.end(), [](const repair::PcDone& one) {
    return one.change->kind == repair::PcChange::Kind::kProcess && one.error == 0;
  });
  if (InJson()) document["journal"] = repair::messages::PathText(*journal);
  if (!InJson()) {
    changes.Line(texts::Format(
        texts::kUndoHint,
        words::CommandLine({kProgram, "undo", repair::messages::PathText(*journal)})));
    if (ended) changes.Line(texts::Tr(texts::kPcProcessesNotUndone));
  }
  if (status != kDone) Tell(texts::Tr(texts::kNoticeTitle), texts::Tr(texts::kPcAdministrator));
  return changes.Finish() ? status : kWrittenAndFailed;
}

std::optional<int> UndoPcJournal(const std::filesystem::path& path, bool driveGiven) {
  auto journal = repair::ReadPcJournal(repair::ArrangedPath(path));
  if (!journal) {
    // Another kind of journal is the drive's undo's; with a drive, so is a file that cannot be
    // read, whose undo tells first whether the drive can be taken, as it always did.
    const repair::ProblemKind kind = journal.error().kind;
    if (kind == repair::ProblemKind::kJournalUnreadable ||
        (driveGiven && kind != repair::ProblemKind::kJournalDamaged)) {
      return std::nullopt;
    }
    return Failed(journal.error(), repair::PassKind::kUndo);
  }
  const std::vector<repair::PcDone> done = repair::UndoPc(*journal);
  wroteToDisk = !done.empty();
  Output out;
  const int status = PcChangesDone(out, done, true);
  const bool ended = std::any_of(journal->changes.begin(), journal->changes.end(),
                                 [](const repair::PcChange& change) {
                                   return change.kind == repair::PcChange::Kind::kProcess;
                                 });
  if (ended && !InJson()) out.Line(texts::Tr(texts::kPcProcessesNotUndone));
  return out.Finish() ? status : kWrittenAndFailed;
}

}  // namespace kestrova::cli
