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
#include "ui/report.h"
#include "volume/drives.h"

namespace {

using namespace kestrova;

enum ExitStatus { kDone = 0, kRefused = 1, kUsage = 2, kPassFailed = 3 };

constexpr const char* kUsageText =
    "usage: kestrova-cli COMMAND [TARGET]\n"
    "\n"
    "Repairs the root folders of a FAT32 drive that a virus made hidden and system.\n"
    "\n"
    "commands:\n"
    "  drives           list the removable drives: letter, device, size, volume label\n"
    "  analyze TARGET   analyse the volume and print its layout (reserved sectors,\n"
    "                   sectors per FAT, FAT count, sectors per cluster, first data\n"
    "                   sector, the root directory's clusters)\n"
    "  scan TARGET      analyse, then list the root-directory entries that repair would\n"
    "                   change (attribute now, short name, long name); writes nothing\n"
    "  repair TARGET    analyse, then turn every hidden and/or system root folder into a\n"
    "                   plain folder, as the window's Repair button does\n"
    "\n"
    "TARGET is a drive letter (F or F:); on Linux it may also be the path of a block\n"
    "device or of a FAT32 image file.\n"
    "\n"
    "Messages are printed as 'title: text' on standard error.\n"
    "\n"
    "exit status:\n"
    "  0  done\n"
    "  1  the analysis refused the volume (cannot open, not FAT32, unsupported or\n"
    "     damaged); nothing was written\n"
    "  2  usage\n"
    "  3  the repair pass failed after it started\n";

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
  explicit CommandLineWindow(std::string letter) : letter_(std::move(letter)) {}

  std::string ListEntryText(std::int16_t) override { return letter_; }
  std::int16_t FirstSelectedIndex() override { return 0; }
  void SetRepairEnabled(bool enabled) override { repairEnabled = enabled; }
  void ShowMessage(const std::string& text, const std::string& title, int) override {
    EndProgressLine();
    std::fprintf(stderr, "%s: %s\n", title.c_str(), TerminalLines(text).c_str());
  }
  void SetProgressWidth(float percent) override {
    if (!cli::IsTerminal(stderr)) return;
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
  bool progressShown_ = false;
};

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
  for (const auto& drive : volume::ListRemovableDrives()) {
    const std::string label =
        drive.label.empty() ? repair::ReadVolumeLabel(std::string(1, drive.letter)) : drive.label;
    std::printf("%c\t%s\t%llu\t%s\n", drive.letter, drive.device.c_str(),
                static_cast<unsigned long long>(drive.sizeBytes), label.c_str());
  }
  return kDone;
}

void PrintLayout(const repair::VolumeLayout& layout) {
  std::printf("reserved sectors: %d\n", layout.reservedSectors);
  std::printf("sectors per FAT: %d\n", layout.fatSize);
  std::printf("FAT count: %d\n", layout.fatCount);
  std::printf("sectors per cluster: %d\n", layout.sectorsPerCluster);
  std::printf("first data sector: %d\n", layout.dataStart);
  std::printf("total sectors: %lld\n", static_cast<long long>(layout.totalSectors));
  std::printf("root clusters: %d\n", layout.rootClusterCount);
  std::printf("root directory clusters:");
  for (std::int32_t i = 0; i < layout.rootClusterCount; ++i) {
    std::printf(" %d", layout.rootClusters.at(static_cast<std::size_t>(i)));
  }
  std::printf("\n");
}

void PrintHiddenFolders(const std::vector<repair::HiddenFolder>& folders) {
  for (const auto& folder : folders) {
    std::string flags;
    if (folder.deleted) flags += "deleted";
    if (folder.afterEnd) flags += flags.empty() ? "after-end" : ",after-end";
    std::printf("0x%02X\t%s\t%s\t%s\n", folder.attribute, folder.shortName.c_str(),
                folder.longName.c_str(), flags.c_str());
  }
  std::fprintf(stderr, "%zu folder entries would be repaired\n", folders.size());
}

int Run(const std::string& command, const std::string& target) {
  const auto letter = ResolveTarget(target);
  if (!letter) {
    std::fprintf(stderr, "kestrova-cli: '%s' is neither a drive letter nor a usable path\n",
                 target.c_str());
    return kUsage;
  }
  repair::VolumeLayout layout;
  CommandLineWindow window(*letter);
  repair::List1_ItemCheck(layout, window, 0);
  if (!window.repairEnabled) return kRefused;

  if (command == "analyze") {
    PrintLayout(layout);
    return kDone;
  }
  if (command == "scan") {
    std::vector<repair::HiddenFolder> folders;
    if (const auto failure = repair::ScanRootDirectory(layout, *letter, folders)) {
      window.ShowMessage(*failure, repair::messages::kErrorTitle, repair::kStyleCritical);
      return kRefused;
    }
    PrintHiddenFolders(folders);
    return kDone;
  }
  const float start = ui::SecondsSinceMidnight();
  try {
    repair::cmdrepair_Click(layout, window);
  } catch (const repair::RepairFailure& failure) {
    window.ShowMessage(failure.what(), repair::messages::kRepairFailedTitle,
                       repair::kStyleCritical);
    return kPassFailed;
  }
  const float end = ui::SecondsSinceMidnight();
  window.EndProgressLine();
  const std::string text = TerminalLines(ui::CompletionText(ui::ElapsedSeconds(start, end)));
  std::printf("%s\n", text.c_str());
  return kDone;
}

}  // namespace

int main(int argc, char** argv) {
  cli::PrepareConsole();
  const std::vector<std::string> args(argv + 1, argv + argc);
  if (args.size() == 1 && (args[0] == "--help" || args[0] == "-h" || args[0] == "help")) {
    std::fputs(kUsageText, stdout);
    return kDone;
  }
  if (args.size() == 1 && args[0] == "drives") return ListDrives();
  if (args.size() == 2 && (args[0] == "analyze" || args[0] == "scan" || args[0] == "repair")) {
    return Run(args[0], args[1]);
  }
  std::fputs(kUsageText, stderr);
  return kUsage;
}
