// kestrova-cli: the repair engine without a window.
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "cli/console.h"
#include "repair/engine.h"
#include "repair/label.h"
#include "repair/messages.h"
#include "repair/scan.h"
#include "ui/mounted.h"
#include "ui/report.h"
#include "volume/drives.h"
#include "volume/volume.h"

namespace {

using namespace kestrova;

// 1 promises that nothing was written to the disk; 3 says that something may have been.
enum ExitStatus { kDone = 0, kNothingWritten = 1, kUsage = 2, kWrittenAndFailed = 3 };

constexpr const char* kUsageText =
    "usage: kestrova-cli COMMAND [--unmount] [TARGET]\n"
    "\n"
    "Repairs the root folders of a FAT12, FAT16, FAT32 or exFAT drive that a virus made\n"
    "hidden and system.\n"
    "\n"
    "commands:\n"
    "  drives           list the removable drives: letter, device, size, volume label\n"
    "                   and, when it is mounted, the mount point\n"
    "  analyze TARGET   analyse the volume and print its layout (file system, sector\n"
    "                   size, reserved sectors, sectors per FAT, FAT count, sectors\n"
    "                   per cluster, first data sector, the root directory's clusters\n"
    "                   or sectors)\n"
    "  scan TARGET      analyse, then list the root-directory entries that repair would\n"
    "                   change (attribute now, short name, long name); writes nothing\n"
    "  repair TARGET    analyse, then turn every hidden and/or system root folder into a\n"
    "                   plain folder, as the window's Repair button does; prints each\n"
    "                   folder it restored and their count\n"
    "  repair --unmount TARGET\n"
    "                   the same for a drive that is mounted: unmounts it first and\n"
    "                   mounts it again afterwards (without the option a mounted drive\n"
    "                   is refused)\n"
    "\n"
    "TARGET is a drive letter (F or F:); on Linux it may also be the path of a block\n"
    "device or of an image file. analyze and scan open it for reading only.\n"
    "\n"
    "Messages are printed as 'title: text' on standard error.\n"
    "\n"
    "exit status:\n"
    "  0  done\n"
    "  1  failed, and nothing was written to the disk (the volume cannot be opened,\n"
    "     is not FAT or exFAT, is unsupported, damaged or changed, or the pass failed before\n"
    "     its first write)\n"
    "  2  usage\n"
    "  3  failed after the pass began to write: some sectors may have been written\n"
    "A failure to write this program's own output is a failure too.\n";

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
      : letter_(std::move(letter)), progressShown_(false), terminal_(cli::IsTerminal(stderr)) {}

  std::string ListEntryText(std::int16_t) override { return letter_; }
  std::int16_t FirstSelectedIndex() override { return 0; }
  void SetRepairEnabled(bool enabled) override { repairEnabled = enabled; }
  void ShowMessage(const std::string& text, const std::string& title, int) override {
    EndProgressLine();
    std::fprintf(stderr, "%s: %s\n", title.c_str(), TerminalLines(text).c_str());
  }
  void SetProgressWidth(float percent) override {
    if (!terminal_) return;
    std::fprintf(stderr, "\r修复进度 %5.1f%%", static_cast<double>(percent));
    std::fflush(stderr);
    progressShown_ = true;
  }
  void ProcessPendingEvents() override {}

  void EndProgressLine() {
    if (progressShown_) std::fputc('\n', stderr);
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
    if (std::fputs(text.c_str(), stdout) == EOF || std::fputc('\n', stdout) == EOF) failed_ = true;
  }
  // Flushes; true when everything printed reached its destination.
  bool Finish() {
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) failed_ = true;
    if (failed_) std::fputs("kestrova-cli: cannot write the output\n", stderr);
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

// The drive letter of a target: "F", "F:" or (on Linux) a path presented under a free letter.
std::optional<std::string> ResolveTarget(const std::string& target) {
  const bool letterForm = (target.size() == 1 || (target.size() == 2 && target[1] == ':')) &&
                          Upper(target[0]) >= 'C' && Upper(target[0]) <= 'Z';
  if (letterForm) return std::string(1, Upper(target[0]));
  const auto letter = volume::FreeDriveLetter();
  if (letter && volume::RegisterDrive(*letter, target)) return std::string(1, *letter);
  return std::nullopt;
}

int ListDrives() {
  Output out;
  for (const auto& drive : volume::ListRemovableDrives()) {
    const std::string label = drive.label.empty() && !drive.labelKnown
                                  ? repair::ReadVolumeLabel(std::string(1, drive.letter))
                                  : drive.label;
    out.Line(Format("%c\t%s\t%llu\t", drive.letter, drive.device.c_str(),
                    static_cast<unsigned long long>(drive.sizeBytes)) +
             label + (drive.mountPoint.empty() ? "" : "\t" + drive.mountPoint));
  }
  return out.Finish() ? kDone : kNothingWritten;
}

void PrintLayout(Output& out, const repair::VolumeLayout& layout) {
  const bool exfat = layout.fileSystem == repair::FileSystem::kExfat;
  out.Line("file system: " + std::string(repair::FileSystemName(layout.fileSystem)));
  out.Line(Format("bytes per sector: %d", layout.bytesPerSector));
  // exFAT has no reserved region of that name: its FAT begins at the FAT offset.
  out.Line(Format(exfat ? "FAT offset: %d" : "reserved sectors: %d", layout.reservedSectors));
  out.Line(Format("sectors per FAT: %d", layout.fatSize));
  out.Line(Format("FAT count: %d", layout.fatCount));
  out.Line(Format("sectors per cluster: %d", layout.sectorsPerCluster));
  out.Line(Format("first data sector: %d", layout.dataStart));
  out.Line(Format("total sectors: %lld", static_cast<long long>(layout.totalSectors)));
  out.Line(Format("clusters: %lld", static_cast<long long>(layout.clusterCount)));
  if (!layout.RootHasChain()) {
    out.Line(Format("root directory sectors: %d +%d", layout.rootStart, layout.rootSectors));
    return;
  }
  out.Line(Format("root clusters: %d", layout.rootClusterCount));
  std::string clusters = "root directory clusters:";
  for (std::int32_t i = 0; i < layout.rootClusterCount; ++i) {
    clusters += ' ';
    clusters += std::to_string(layout.rootClusters.at(static_cast<std::size_t>(i)));
  }
  out.Line(clusters);
}

void PrintHiddenFolders(Output& out, const std::vector<repair::HiddenFolder>& folders) {
  for (const auto& folder : folders) {
    std::string flags;
    if (folder.deleted) flags += "deleted";
    if (folder.afterEnd) flags += flags.empty() ? "after-end" : ",after-end";
    out.Line(Format("0x%02X\t", static_cast<unsigned>(folder.attribute)) + folder.shortName + "\t" +
             folder.longName + "\t" + flags);
  }
  std::fprintf(stderr, "%zu folder entries would be repaired\n", folders.size());
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
  out.Line(repair::messages::RestoredCount(report.restored.size()));
  out.Line(TerminalLines(ui::CompletionText(ui::ElapsedSeconds(start, end))));
  if (out.Finish()) return kDone;
  return report.sectorsWritten > 0 ? kWrittenAndFailed : kNothingWritten;
}

// The repair of a drive that may be mounted: with `unmount`, it is unmounted first and mounted
// again afterwards; without, a mounted drive is refused.
int RepairMounted(CommandLineWindow& window, Output& out, char letter, const std::string& target,
                  bool unmount) {
  const std::string mountPoint = volume::DriveMountPoint(letter);
  if (mountPoint.empty()) return Repair(window, out);
  if (!unmount) {
    window.ShowMessage("磁盘已挂载在“" + mountPoint +
                           "”，未作任何修改。要卸载后继续修复，请加上--unmount选项："
                           "kestrova-cli repair --unmount " +
                           target,
                       ui::kMountedTitle, repair::kStyleCritical);
    return kNothingWritten;
  }
  const volume::MountChange unmounted = volume::UnmountDrive(letter);
  if (!unmounted.done) {
    window.ShowMessage(ui::UnmountFailed(mountPoint, unmounted), repair::messages::kOpenFailedTitle,
                       repair::kStyleCritical);
    return kNothingWritten;
  }
  const int status = Repair(window, out);
  const volume::MountChange mounted = volume::MountDrive(letter);
  if (!mounted.done) {
    window.ShowMessage(ui::RemountFailed(mounted), ui::kNoticeTitle, repair::kStyleInformation);
  }
  return status;
}

int Run(const std::string& command, const std::string& target, bool unmount) {
  const auto letter = ResolveTarget(target);
  if (!letter) {
    std::fprintf(stderr, "kestrova-cli: '%s' is neither a drive letter nor a usable path\n",
                 target.c_str());
    return kUsage;
  }
  CommandLineWindow window(*letter);
  Output out;
  // Nothing can happen between looking and repairing here: both under one open.
  if (command == "repair") return RepairMounted(window, out, (*letter)[0], target, unmount);

  repair::VolumeLayout layout;
  repair::List1_ItemCheck(layout, window, 0, volume::Access::kReadOnly);
  if (!window.repairEnabled) return kNothingWritten;
  if (command == "analyze") {
    PrintLayout(out, layout);
    return out.Finish() ? kDone : kNothingWritten;
  }
  PrintHiddenFolders(out, repair::ListHiddenFolders(layout));
  return out.Finish() ? kDone : kNothingWritten;
}

}  // namespace

int main(int argc, char** argv) {
  cli::PrepareConsole();
  const std::vector<std::string> args(argv + 1, argv + argc);
  if (args.size() == 1 && (args[0] == "--help" || args[0] == "-h" || args[0] == "help")) {
    Output out;
    out.Line(std::string(kUsageText, std::strlen(kUsageText) - 1));
    return out.Finish() ? kDone : kNothingWritten;
  }
  if (args.size() == 1 && args[0] == "drives") return ListDrives();
  if (args.size() == 2 && (args[0] == "analyze" || args[0] == "scan" || args[0] == "repair")) {
    return Run(args[0], args[1], false);
  }
  if (args.size() == 3 && args[0] == "repair" && args[1] == "--unmount") {
    return Run(args[0], args[2], true);
  }
  std::fputs(kUsageText, stderr);
  return kUsage;
}
