// SPDX-License-Identifier: GPL-3.0-or-later
// kestrova-watch: the guard. It follows UDisks2's signals and looks at every FAT or exFAT stick
// that appears (and once at its start at those present). A mounted stick is judged through its
// mount point by the rules that judge the raw volume, never opening the device; an unmounted one
// is not opened at all (polkit would ask for a password), a notice offers a check instead. An
// infected stick gets a notice with what was found and a Repair button that starts the window on
// it; a clean one gets none. Nothing is written to a stick.
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "project_info.h"
#include "repair/listed_root.h"
#include "repair/signs.h"
#include "ui/watch/notifications.h"
#include "volume/drive_watch.h"
#include "volume/drives.h"
#include "volume/udisks_posix.h"
#include "words/help_text.h"
#include "words/messages.h"
#include "words/texts.h"

extern char** environ;

namespace kestrova::ui::watch {
namespace {

namespace fs = std::filesystem;
using volume::udisks::BlockDevice;

// The help, in the user's language and in the form of kestrova-cli's.
std::string HelpText() {
  std::string text =
      texts::Format(texts::kHelpUsage, "kestrova-watch [--window PROGRAM]") + "\n\n" +
      words::FilledParagraphs(texts::Format(texts::kHelpWatchSummary, texts::Tr(texts::kRepair))) +
      "\n" + texts::Tr(texts::kHelpOptions) + "\n";
  text += words::ListEntry("--window PROGRAM", texts::Tr(texts::kHelpWatchWindow));
  text += words::ListEntry("-h, --help", texts::Tr(texts::kHelpCommandHelp));
  text += words::ListEntry("-v, --version", texts::Tr(texts::kHelpVersion));
  return text;
}

// The window beside this program, or the one on the PATH.
std::string DefaultWindow() {
  std::error_code error;
  const fs::path beside = fs::read_symlink("/proc/self/exe", error).parent_path() / "kestrova";
  return !error && ::access(beside.c_str(), X_OK) == 0 ? beside.string() : "kestrova";
}

repair::FileSystem FileSystemOf(std::string_view type) {
  if (type.starts_with("exfat")) return repair::FileSystem::kExfat;
  if (type.ends_with("FAT12")) return repair::FileSystem::kFat12;
  if (type.ends_with("FAT16")) return repair::FileSystem::kFat16;
  return repair::FileSystem::kFat32;
}

// "sdb1" of "/dev/sdb1": the device's name, which the notices give with its label.
std::string DeviceName(const BlockDevice& device) {
  return fs::path(device.device).filename().string();
}

class Guard {
 public:
  Guard(Notifications& notices, std::string window)
      : notices_(notices), window_(std::move(window)) {}

  // Takes a look at the sticks UDisks2 lists: each one new, mounted or unmounted since, or whose
  // label became known.
  void Look() {
    const auto listed = volume::udisks::CandidateDevices();
    if (!listed) return;
    std::set<std::string> present;
    for (const BlockDevice& device : *listed) {
      present.insert(device.device);
      const std::string mount = device.mountPoints.empty() ? "" : device.mountPoints.front();
      const auto [seen, added] = seen_.try_emplace(device.device);
      if (!added && seen->second.mount == mount && seen->second.label == device.label) continue;
      seen->second.mount = mount;
      seen->second.label = device.label;
      Judge(device, mount, seen->second.notice);
    }
    for (auto seen = seen_.begin(); seen != seen_.end();) {
      if (present.contains(seen->first)) {
        ++seen;
        continue;
      }
      Forget(seen->second.notice);  // the stick went: its notice tells of nothing any more
      seen = seen_.erase(seen);
    }
  }

  // A click on a notice's button.
  void Clicked(std::uint32_t id, const std::string& key) {
    const auto notice = devices_.find(id);
    if (notice == devices_.end() || (key != "repair" && key != "check")) return;
    StartWindow(notice->second);
  }

 private:
  struct Seen {
    std::string mount;
    std::string label;  // told once UDisks2 has probed it
    std::uint32_t notice = 0;
  };

  void Judge(const BlockDevice& device, const std::string& mount, std::uint32_t& notice) {
    if (mount.empty()) {
      Show(notice, device.device, texts::Tr(texts::kGuardOfferSummary),
           texts::Format(texts::kGuardOffer,
                         repair::messages::GuardDriveName(DeviceName(device), device.label)),
           {{"check", texts::Tr(texts::kGuardCheck)}, {"ignore", texts::Tr(texts::kGuardIgnore)}});
      return;
    }
    const auto look = repair::LookThroughFileSystem(
        {.root = mount, .fileSystem = FileSystemOf(device.type), .label = device.label});
    const repair::WormSigns signs =
        look ? repair::SignsOf(look->layout, look->attributesSeen) : repair::WormSigns{};
    if (!signs.Any()) {
      Forget(notice);  // an offer to check it, made while it was not mounted
      return;
    }
    std::string body = repair::messages::GuardFinding(DeviceName(device), device.label, signs);
    if (!notices_.ShowsActions())
      body = texts::Sentences({body, texts::Tr(texts::kGuardOpenToRepair)});
    Show(notice, device.device, texts::Tr(texts::kGuardNoticeTitle), body,
         {{"repair", texts::Tr(texts::kRepair)}, {"ignore", texts::Tr(texts::kGuardIgnore)}});
  }

  void Show(std::uint32_t& notice, const std::string& device, const std::string& summary,
            const std::string& body, const std::vector<Notifications::Action>& actions) {
    devices_.erase(notice);
    notice = notices_.Notify(notice, summary, body, actions);
    if (notice != 0) devices_[notice] = device;
  }

  void Forget(std::uint32_t& notice) {
    if (notice == 0) return;
    notices_.Close(notice);
    devices_.erase(notice);
    notice = 0;
  }

  // The window on the device, under the letter that the drive list gives it, or the first free
  // one.
  void StartWindow(const std::string& device) {
    volume::RefreshDrives();
    const auto drives = volume::ListRemovableDrives();
    char letter = 0;
    std::set<char> taken;
    for (const auto& drive : drives) {
      taken.insert(drive.letter);
      if (drive.device == device) letter = drive.letter;
    }
    for (char free = 'D'; letter == 0 && free <= volume::kLastDriveLetter; ++free) {
      if (!taken.contains(free)) letter = free;
    }
    // Every letter taken: the window gives the one named on its command line to this device.
    if (letter == 0) letter = volume::kLastDriveLetter;
    const std::string drive = std::string(1, letter) + "=" + device;
    std::vector<char*> argv{window_.data(), const_cast<char*>("--drive"),
                            const_cast<char*>(drive.c_str()), nullptr};
    // Its own session, and the default action of SIGCHLD that this program ignores.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGCHLD);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSID);
    pid_t pid = 0;
    const int failed =
        posix_spawnp(&pid, window_.c_str(), nullptr, &attributes, argv.data(), environ);
    posix_spawnattr_destroy(&attributes);
    if (failed != 0) {
      std::fprintf(stderr, "kestrova-watch: %s: %s\n", window_.c_str(), std::strerror(failed));
    }
  }

  Notifications& notices_;
  std::string window_;
  std::map<std::string, Seen> seen_;              // by device
  std::map<std::uint32_t, std::string> devices_;  // the device of each notice shown
};

int Watch(const std::string& window) {
  const std::unique_ptr<volume::DriveWatch> drives = volume::WatchDrives();
  if (!drives) {
    std::fprintf(stderr, "kestrova-watch: %s\n", texts::Tr(texts::kGuardNoUdisks));
    return 1;
  }
  const std::unique_ptr<Notifications> notices =
      Notifications::Connect("Kestrova", KESTROVA_APP_ID);
  if (!notices) {
    std::fprintf(stderr, "kestrova-watch: %s\n", texts::Tr(texts::kGuardNoSessionBus));
    return 1;
  }
  // The windows it starts are reaped by the system.
  ::signal(SIGCHLD, SIG_IGN);
  Guard guard(*notices, window);
  guard.Look();
  for (;;) {
    // A click may have come in while a notice was sent, and already been read off the socket.
    std::vector<Notifications::Invoked> clicks;
    if (!notices->Process(clicks)) {
      std::fprintf(stderr, "kestrova-watch: %s\n", texts::Tr(texts::kGuardNoSessionBus));
      return 1;
    }
    for (const auto& [id, key] : clicks) guard.Clicked(id, key);
    pollfd ready[] = {{drives->Fd(), POLLIN, 0}, {notices->Fd(), notices->Events(), 0}};
    if (::poll(ready, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return 1;
    }
    if (ready[0].revents != 0 && drives->Changed()) {
      if (drives->Fd() < 0) {
        std::fprintf(stderr, "kestrova-watch: %s\n", texts::Tr(texts::kGuardNoUdisks));
        return 1;
      }
      guard.Look();
    }
  }
}

}  // namespace
}  // namespace kestrova::ui::watch

int main(int argc, char** argv) {
  std::string window;
  for (int i = 1; i < argc; ++i) {
    const std::string_view argument = argv[i];
    if (argument == "-h" || argument == "--help") {
      std::fputs(kestrova::ui::watch::HelpText().c_str(), stdout);
      return 0;
    }
    if (argument == "-v" || argument == "--version") {
      std::printf("kestrova-watch %s\n%s\n", kestrova::kVersion, kestrova::kLicenseNotice);
      return 0;
    }
    namespace texts = kestrova::texts;
    std::string problem;
    if (argument == "--window" && i + 1 < argc) {
      window = argv[++i];
    } else if (argument.starts_with("--window=")) {
      window = argument.substr(9);
    } else if (argument == "--window") {
      problem = texts::Format(texts::kUsageMissingOperand, argument, "PROGRAM");
    } else {
      problem = texts::Format(texts::kUsageUnknownOption, argument);
    }
    if (!problem.empty()) {
      std::fprintf(stderr, "kestrova-watch: %s\n\n%s", problem.c_str(),
                   kestrova::ui::watch::HelpText().c_str());
      return 2;
    }
  }
  return kestrova::ui::watch::Watch(window.empty() ? kestrova::ui::watch::DefaultWindow() : window);
}
