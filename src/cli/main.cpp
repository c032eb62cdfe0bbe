// SPDX-License-Identifier: GPL-3.0-or-later
// kestrova-cli: the repair engine without a window.
#include <algorithm>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "cli/console.h"
#include "project_info.h"
#include "repair/engine.h"
#include "repair/label.h"
#include "repair/messages.h"
#include "repair/scan.h"
#include "repair/texts.h"
#include "ui/mounted.h"
#include "ui/report.h"
#include "volume/drives.h"
#include "volume/volume.h"

namespace {

using namespace kestrova;

// 1 promises that nothing was written to the disk; 3 says that something may have been.
enum ExitStatus { kDone = 0, kNothingWritten = 1, kUsage = 2, kWrittenAndFailed = 3 };

constexpr const char* kProgram = "kestrova-cli";

// An option of one command, besides -h/--help. The parser accepts it after that command's name
// and Invocation::Has tells whether it was given.
struct Option {
  std::string_view name;
  std::vector<std::string_view> description;  // lines of the help
};

// A command: its operand and the lines that describe it, in the list of every command and in the
// command's own help.
struct Command {
  std::string_view name;
  std::string_view operand;  // "TARGET", or empty for none
  std::vector<std::string_view> description;
  std::vector<Option> options;
};

const std::vector<Command>& Commands() {
  static const std::vector<Command> commands = {
      {"drives",
       "",
       {"list the removable drives: device, letter, size in bytes, volume",
        "label and, when it is mounted, the mount point; writes nothing.",
        "On Linux letters are handed out afresh at each run: scripts", "should name the device"},
       {}},
      {"analyze",
       "TARGET",
       {"analyse the volume and print its layout (file system, sector",
        "size, reserved sectors, sectors per FAT, FAT count, sectors",
        "per cluster, first data sector, the root directory's clusters",
        "or sectors); opens the drive for reading only and writes nothing"},
       {}},
      {"scan",
       "TARGET",
       {"analyse, then list the root-directory entries that repair would",
        "change (attribute now, short name, long name) and the hidden",
        "folders it leaves alone, with why; opens the drive for reading",
        "only and writes nothing"},
       {}},
      {"repair",
       "TARGET",
       {"analyse, then turn every hidden and/or system root folder into a",
        "plain folder, as the window's Repair button does; prints each",
        "folder it restored and their count. Writes only the attribute",
        "bytes of those folders' root entries (on exFAT with their entry",
        "sets' checksums), in the root directory's sectors that change"},
       {{"--unmount",
         {"for a drive that is mounted: unmount it first and mount it",
          "again afterwards (without the option a mounted drive is", "refused)"}}}},
  };
  return commands;
}

constexpr const char* kSummary =
    "Repairs the root folders of a FAT12, FAT16, FAT32 or exFAT drive that a virus made\n"
    "hidden and system.\n";

constexpr const char* kTargetText =
    "TARGET is a drive letter (F or F:); on Linux it may also be the path of a block\n"
    "device or of an image file. analyze and scan open it for reading only, a mounted\n"
    "drive beside its file system (they say so). A mounted drive is repaired only with\n"
    "repair --unmount, which unmounts it first and mounts it again afterwards.\n";

#ifndef _WIN32
constexpr const char* kAccessText =
    "On Linux a user without root needs no sudo: the drives are opened through\n"
    "UDisks2 on the system bus, and polkit decides (it may ask for a password); where\n"
    "UDisks2 does not answer, opening a block device needs root.\n";
#endif

constexpr const char* kClosingText =
    "Messages are printed as 'title: text' on standard error.\n"
    "\n"
    "exit status:\n"
    "  0  done\n"
    "  1  failed, and nothing was written to the disk (the volume cannot be opened,\n"
    "     is not FAT or exFAT, is unsupported, damaged, larger than its device or\n"
    "     changed, or the pass failed before its first write)\n"
    "  2  usage\n"
    "  3  failed after the pass began to write: some sectors may have been written\n"
    "A failure to write this program's own output is a failure too.\n";

// One entry of a two-column list: the name, then the first line of its description from column
// 19 on, then the other lines indented as far.
std::string ListEntry(const std::string& name, const std::vector<std::string_view>& lines) {
  constexpr std::size_t kColumn = 19;
  std::string entry = "  " + name;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    if (i > 0) entry += '\n';
    entry.append(i == 0 && entry.size() < kColumn ? kColumn - entry.size() : kColumn, ' ');
    entry += lines[i];
  }
  return entry + '\n';
}

std::string GeneralHelp() {
  std::string text = std::string("usage: ") + kProgram + " COMMAND [TARGET]\n" +  //
                     "   or: " + kProgram + " COMMAND --help\n" +                 //
                     "   or: " + kProgram + " --help | --version\n\n" + kSummary + "\ncommands:\n";
  for (const auto& command : Commands()) {
    std::string name(command.name);
    if (!command.operand.empty()) name.append(" ").append(command.operand);
    text += ListEntry(name, command.description);
  }
  text += "\noptions:\n";
  text += ListEntry("-h, --help", {"print this help; after a command, that command's help"});
  text += ListEntry("--version", {"print the version"});
  text += ListEntry(
      "--", {"end the options: what follows is the TARGET, even when it", "begins with '-'"});
  text += "\n" + std::string(kTargetText);
#ifndef _WIN32
  text += "\n" + std::string(kAccessText);
#endif
  return text + "\n" + kClosingText;
}

std::string CommandHelp(const Command& command) {
  std::string text = std::string("usage: ") + kProgram + " " + std::string(command.name);
  for (const auto& option : command.options) text.append(" [").append(option.name).append("]");
  if (!command.operand.empty()) text.append(" [--] ").append(command.operand);
  text += "\n\n";
  for (const auto line : command.description) text += std::string(line) + "\n";
  text += "\noptions:\n";
  for (const auto& option : command.options) {
    text += ListEntry(std::string(option.name), option.description);
  }
  text += ListEntry("-h, --help", {"print this help"});
  if (!command.operand.empty()) {
    text += ListEntry("--", {"end the options: what follows is the TARGET"});
    text.append("\n").append(kTargetText);
  }
  return text + "\n" + kClosingText;
}

// What the command line asks for.
struct Invocation {
  enum class Request { kRun, kHelp, kVersion, kUsageError };
  Request request = Request::kUsageError;
  const Command* command = nullptr;  // none: the general help, the version or a usage error
  std::vector<std::string> operands;
  std::vector<std::string> options;  // the command's own options that were given
  std::string error;                 // what was wrong, for a usage error

  bool Has(std::string_view option) const {
    for (const auto& given : options) {
      if (given == option) return true;
    }
    return false;
  }
};

Invocation ParseArguments(const std::vector<std::string>& args) {
  using Request = Invocation::Request;
  Invocation invocation;
  if (args.empty()) return invocation;
  if (args.size() == 1 && (args[0] == "--help" || args[0] == "-h" || args[0] == "help")) {
    invocation.request = Request::kHelp;
    return invocation;
  }
  if (args.size() == 1 && args[0] == "--version") {
    invocation.request = Request::kVersion;
    return invocation;
  }
  if (args[0] == "--help" || args[0] == "-h" || args[0] == "--version") {
    invocation.error = args[0] + " takes no arguments; a command's help is 'COMMAND --help'";
    return invocation;
  }
  for (const auto& command : Commands()) {
    if (command.name == args[0]) invocation.command = &command;
  }
  if (invocation.command == nullptr) {
    invocation.error =
        (args[0].starts_with('-') ? "unknown option '" : "unknown command '") + args[0] + "'";
    return invocation;
  }
  const Command& command = *invocation.command;
  bool optionsEnded = false;
  bool help = false;
  for (std::size_t i = 1; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (optionsEnded || arg == "-" || !arg.starts_with('-')) {
      invocation.operands.push_back(arg);
    } else if (arg == "--") {
      optionsEnded = true;
    } else if (arg == "-h" || arg == "--help") {
      help = true;
    } else if (std::any_of(command.options.begin(), command.options.end(),
                           [&](const Option& option) { return option.name == arg; })) {
      invocation.options.push_back(arg);
    } else {
      invocation.error = "unknown option '" + arg + "' for " + std::string(command.name);
    }
  }
  if (help) {
    invocation.request = Request::kHelp;
    return invocation;
  }
  if (!invocation.error.empty()) return invocation;
  const std::size_t expected = command.operand.empty() ? 0 : 1;
  if (invocation.operands.size() < expected) {
    invocation.error = std::string(command.name) + " needs a " + std::string(command.operand);
  } else if (invocation.operands.size() > expected) {
    invocation.error = "too many arguments for " + std::string(command.name);
  } else {
    invocation.request = Request::kRun;
  }
  return invocation;
}

// Text for standard error; a failure to write it has nowhere to be told.
void Error(const std::string& text) { cli::Write(cli::Stream::kError, text); }

// A message's line breaks (CR LF) as the terminal's.
std::string TerminalLines(const std::string& text) {
  std::string lines;
  for (char c : text) {
    if (c != '\r') lines += c;
  }
  return lines;
}

// The window, as far as the engine sees it: a list with the one target entry, selected.
class CommandLineWindow final : public repair::WindowContacts {
 public:
  explicit CommandLineWindow(std::string letter)
      : letter_(std::move(letter)),
        progressShown_(false),
        terminal_(cli::IsTerminal(cli::Stream::kError)) {}

  std::string ListEntryText(std::int16_t) override { return letter_; }
  std::int16_t FirstSelectedIndex() override { return 0; }
  void SetRepairEnabled(bool enabled) override { repairEnabled = enabled; }
  void ShowMessage(const std::string& text, const std::string& title, int) override {
    EndProgressLine();
    Error(title + ": " + TerminalLines(text) + "\n");
  }
  void SetProgressWidth(float percent) override {
    if (!terminal_) return;
    std::string line(1, '\r');  // back to the line's start, over the last percentage
    Error(line.append(texts::Format(texts::kProgress, percent)));
    progressShown_ = true;
  }
  void ProcessPendingEvents() override {}

  void EndProgressLine() {
    if (progressShown_) Error("\n");
    progressShown_ = false;
  }

  bool repairEnabled = false;

 private:
  std::string letter_;
  bool progressShown_;
  bool terminal_;  // progress is drawn only on a terminal
};

// Standard output, with every failure to write it remembered.
class Output {
 public:
  void Line(const std::string& text) {
    if (!cli::Write(cli::Stream::kOutput, text + "\n")) failed_ = true;
  }
  // True when everything printed reached its destination; says so on standard error when not.
  bool Finish() {
    if (failed_) Error(std::string(kProgram) + ": " + texts::Tr(texts::kOutputFailed) + "\n");
    return !failed_;
  }

 private:
  bool failed_ = false;
};

std::string Format(const char* format, auto... values) {
  char text[256];
  std::snprintf(text, sizeof text, format, values...);
  return text;
}

char Upper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

// A target as the command line took it: the drive letter it is known by inside the program, and
// whether the user gave that letter (rather than a path presented under a free letter).
struct Target {
  std::string letter;
  bool byLetter = false;
};

// The drive letter of a target: "F", "F:" or (on Linux) a path presented under a free letter.
std::optional<Target> ResolveTarget(const std::string& target) {
  const bool letterForm = (target.size() == 1 || (target.size() == 2 && target[1] == ':')) &&
                          Upper(target[0]) >= 'C' && Upper(target[0]) <= 'Z';
  if (letterForm) return Target{std::string(1, Upper(target[0])), true};
  const auto letter = volume::FreeDriveLetter();
  if (letter && volume::RegisterDrive(*letter, target)) return Target{std::string(1, *letter)};
  return std::nullopt;
}

// The volume label of a listed drive: the system's, or read from the volume itself.
std::string LabelOf(const volume::DriveInfo& drive) {
  return drive.label.empty() && !drive.labelKnown
             ? repair::ReadVolumeLabel(std::string(1, drive.letter))
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

int ListDrives() {
  Output out;
  const auto drives = volume::ListRemovableDrives();
  if (drives.empty()) Error(std::string(texts::Tr(texts::kNoDrives)) + "\n");
  for (const auto& drive : drives) {
    const std::string label = LabelOf(drive);
    out.Line(Format("%s\t%c\t%llu\t", drive.device.c_str(), drive.letter,
                    static_cast<unsigned long long>(drive.sizeBytes)) +
             label + (drive.mountPoint.empty() ? "" : "\t" + drive.mountPoint));
  }
  return out.Finish() ? kDone : kNothingWritten;
}

void PrintLayout(Output& out, const repair::VolumeLayout& layout) {
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

void PrintHiddenFolders(Output& out, const repair::RootFindings& findings) {
  const std::vector<repair::HiddenFolder>& folders = findings.hidden;
  for (const auto& folder : folders) {
    std::string flags;
    if (folder.deleted) flags += texts::Tr(texts::kEntryDeleted);
    if (folder.afterEnd) {
      flags.append(flags.empty() ? "" : ",").append(texts::Tr(texts::kEntryAfterEnd));
    }
    out.Line(Format("0x%02X\t", static_cast<unsigned>(folder.attribute)) + folder.shortName + "\t" +
             folder.longName + "\t" + flags);
  }
  for (const auto& left : findings.leftAlone) out.Line(repair::messages::LeftAlone(left));
  Error(repair::messages::WouldRepairCount(folders.size()) + "\n");
}

// The repair of a drive, as the window's Repair button does.
int Repair(CommandLineWindow& window, Output& out) {
  const float start = ui::SecondsSinceMidnight();
  repair::RepairReport report;
  try {
    repair::RepairDrive(window, &report);
  } catch (const repair::RepairFailure& failure) {
    window.ShowMessage(failure.what(), repair::messages::Title(failure.problem()),
                       repair::kStyleCritical);
    return failure.anyWritten() ? kWrittenAndFailed : kNothingWritten;
  }
  const float end = ui::SecondsSinceMidnight();
  window.EndProgressLine();
  for (const auto& folder : report.restored) {
    out.Line(repair::messages::RestoredFolder(folder.Name()));
  }
  // The count, then the completion; with nothing restored, the count says so and is all.
  out.Line(repair::messages::RestoredCount(report.restored.size()));
  if (!report.restored.empty()) {
    out.Line(TerminalLines(ui::CompletionText(ui::ElapsedSeconds(start, end))));
  }
  if (out.Finish()) return kDone;
  return report.sectorsWritten > 0 ? kWrittenAndFailed : kNothingWritten;
}

// The repair of a drive that may be mounted: with `unmount`, it is unmounted first and mounted
// again afterwards; without, a mounted drive is refused.
int RepairMounted(CommandLineWindow& window, Output& out, char letter, const std::string& target,
                  bool unmount) {
  const std::string mountPoint = volume::DriveMountPoint(letter);
  if (mountPoint.empty()) return Repair(window, out);
  // What the device is comes first: a volume that the analysis refuses (another file system, a
  // damaged one) is refused for that, and never gets advice to unmount it.
  repair::VolumeLayout looked;
  repair::List1_ItemCheck(looked, window, 0, volume::Access::kReadShared);
  if (!window.repairEnabled) return kNothingWritten;
  if (!unmount) {
    window.ShowMessage(texts::Format(texts::kMountedNeedsOption, mountPoint, target),
                       texts::Tr(texts::kMountedTitle), repair::kStyleCritical);
    return kNothingWritten;
  }
  const volume::MountChange unmounted = volume::UnmountDrive(letter);
  if (!unmounted.done) {
    window.ShowMessage(ui::UnmountFailed(mountPoint, unmounted), texts::Tr(texts::kFailureTitle),
                       repair::kStyleCritical);
    return kNothingWritten;
  }
  const int status = Repair(window, out);
  const volume::MountChange mounted = volume::MountDrive(letter);
  if (!mounted.done) {
    window.ShowMessage(ui::RemountFailed(mounted, status != kNothingWritten),
                       texts::Tr(texts::kNoticeTitle), repair::kStyleInformation);
  }
  return status;
}

int Run(const std::string& command, const std::string& target, bool unmount) {
  const auto resolved = ResolveTarget(target);
  if (!resolved) {
    Error(std::string(kProgram) + ": " + texts::Format(texts::kUnusableTarget, target) + "\n");
    return kUsage;
  }
  const char letter = resolved->letter[0];
#ifndef _WIN32
  if (resolved->byLetter) TellDriveOfLetter(letter);
#endif
  CommandLineWindow window(resolved->letter);
  Output out;
  // Nothing can happen between looking and repairing here: both under one open.
  if (command == "repair") return RepairMounted(window, out, letter, target, unmount);

  // A mounted drive is looked at beside its file system; once it proved to be a volume this
  // program reads, the user is told so.
  const std::string mountPoint = volume::DriveMountPoint(letter);
  repair::VolumeLayout layout;
  repair::List1_ItemCheck(
      layout, window, 0,
      mountPoint.empty() ? volume::Access::kReadOnly : volume::Access::kReadShared);
  if (!window.repairEnabled) return kNothingWritten;
  if (!mountPoint.empty()) {
    window.ShowMessage(texts::Format(texts::kReadWhileMounted, mountPoint),
                       texts::Tr(texts::kNoticeTitle), repair::kStyleInformation);
  }
  if (command == "analyze") {
    PrintLayout(out, layout);
    return out.Finish() ? kDone : kNothingWritten;
  }
  PrintHiddenFolders(out, layout.findings);
  return out.Finish() ? kDone : kNothingWritten;
}

}  // namespace

int main(int argc, char** argv) {
  const Invocation invocation = ParseArguments({argv + 1, argv + argc});
  switch (invocation.request) {
    case Invocation::Request::kUsageError: {
      if (!invocation.error.empty()) Error(std::string(kProgram) + ": " + invocation.error + "\n");
      Error(GeneralHelp());
      return kUsage;
    }
    case Invocation::Request::kHelp:
    case Invocation::Request::kVersion: {
      std::string text =
          invocation.request == Invocation::Request::kVersion
              ? std::string(kProgram) + " " + KESTROVA_VERSION + "\n" + kLicenseNotice
          : invocation.command ? CommandHelp(*invocation.command)
                               : GeneralHelp();
      if (text.ends_with('\n')) text.pop_back();
      Output out;
      out.Line(text);
      return out.Finish() ? kDone : kNothingWritten;
    }
    case Invocation::Request::kRun:
      break;
  }
  if (invocation.command->name == "drives") return ListDrives();
  return Run(std::string(invocation.command->name), invocation.operands[0],
             invocation.Has("--unmount"));
}
