// SPDX-License-Identifier: GPL-3.0-or-later
// kestrova-cli as an unprivileged user against the real UDisks2 daemon: a private system bus,
// udevd, polkitd and udisksd started for the suite, loop devices attached through UDisks2, a polkit
// rule that lets the user `nobody` use UDisks2, and an exFAT stick mounted with FUSE. The watch
// that tells a window of drives that come and go runs in the suite's own process.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "fat_tools.h"
#include "infected_sticks.h"
#include "volume/drive_watch.h"
#include "volume/drives.h"
#include "words/texts.h"

namespace kestrova::testing {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr const char* kUdisksd = "/usr/libexec/udisks2/udisksd";
constexpr const char* kPolkitd = "/usr/lib/polkit-1/polkitd";
constexpr const char* kUdevd = "/lib/systemd/systemd-udevd";
constexpr const char* kAsNobody = "setpriv --reuid=nobody --regid=nogroup --clear-groups ";

// A shell command (the fixture's own Run is GoogleTest's).
CommandResult Shell(const std::string& command, bool withStderr = false) {
  return Run(command, withStderr);
}

// Starts a program in the background with its output in `log`; its process id, or 0.
pid_t Start(const std::string& command, const fs::path& log) {
  const auto started = Shell(command + " >" + Quote(log.string()) + " 2>&1 & echo $!");
  return started.status == 0 ? static_cast<pid_t>(std::atoi(started.output.c_str())) : 0;
}

// Whether the process runs (a zombie has ended).
bool Running(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  if (!std::getline(stat, line)) return false;
  const auto name = line.rfind(')');  // the state follows the command's name
  return name != std::string::npos && name + 2 < line.size() && line[name + 2] != 'Z';
}

// Polls until the check holds; false when it does not while `daemon` (when given) runs. The
// deadline only keeps a stuck daemon from hanging the suite: reaching it is a failure.
template <typename Check>
bool WaitFor(Check check, pid_t daemon = 0) {
  const auto deadline = std::chrono::steady_clock::now() + 2min;
  while (!check()) {
    if (daemon > 0 && !Running(daemon)) return false;
    if (std::chrono::steady_clock::now() > deadline) {
      ADD_FAILURE() << "still waiting after two minutes";
      return false;
    }
    std::this_thread::sleep_for(50ms);
  }
  return true;
}

// Whether a name has its owner on the system bus.
bool Owned(const std::string& name) {
  return Shell(
             "busctl --system call org.freedesktop.DBus /org/freedesktop/DBus "
             "org.freedesktop.DBus NameHasOwner s " +
             name)
             .output.find("true") != std::string::npos;
}

struct Output {
  int status = -1;
  std::string out;
  std::string err;
};

// The daemons of the suite, started once and stopped by their process ids.
class Daemons {
 public:
  // Empty when everything runs; else why the suite cannot.
  std::string Begin() {
    if (::geteuid() != 0) return "needs root to start a system bus, polkitd and udisksd";
    for (const char* program : {kUdisksd, kPolkitd}) {
      if (::access(program, X_OK) != 0) return std::string(program) + " is not installed";
    }
    if (Shell("command -v dbus-daemon setpriv udisksctl udevadm mattrib mkfs.fat").status != 0) {
      return "dbus-daemon, setpriv, udisksctl, udevadm, mattrib or mkfs.fat is missing";
    }
    ::chmod(dir_.path().c_str(), 0755);  // nobody reaches the bus's socket
    const fs::path config = dir_ / "bus.conf";
    const fs::path socket = dir_ / "system_bus";
    std::ofstream(config)
        << "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus "
           "Configuration 1.0//EN\" "
           "\"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
           "<busconfig><type>system</type><listen>unix:path="
        << socket.string()
        << "</listen><auth>EXTERNAL</auth><policy context=\"default\">"
           "<allow user=\"*\"/><allow own=\"*\"/><allow send_type=\"method_call\"/>"
           "<allow send_destination=\"*\"/><allow receive_sender=\"*\"/>"
           "<allow send_type=\"signal\"/></policy></busconfig>\n";
    const auto bus =
        Shell("dbus-daemon --config-file=" + Quote(config.string()) + " --fork --print-pid", true);
    if (bus.status != 0) return "dbus-daemon does not start: " + bus.output;
    pids_.push_back(static_cast<pid_t>(std::atoi(bus.output.c_str())));
    ::setenv("DBUS_SYSTEM_BUS_ADDRESS", ("unix:path=" + socket.string()).c_str(), 1);

    if (Shell("udevadm control --ping 2>/dev/null").status != 0) {  // no udevd answers
      if (::access(kUdevd, X_OK) != 0) return "no udevd runs and none is installed";
      const pid_t udevd = Start(kUdevd, dir_ / "udevd.log");
      pids_.push_back(udevd);
      // A device attached before udevd listens would never be probed.
      const auto answers = [] { return Shell("udevadm control --ping 2>/dev/null").status == 0; };
      if (!WaitFor(answers, udevd)) return "udevd does not start: " + Log("udevd.log");
    }
    // The rule is in place before polkitd reads its rules.
    rule_ = "/etc/polkit-1/rules.d/49-kestrova-test-" + std::to_string(::getpid()) + ".rules";
    std::ofstream(rule_) << "polkit.addRule(function(a, s) { if "
                            "(a.id.indexOf(\"org.freedesktop.udisks2.\") == 0 && s.user == "
                            "\"nobody\") return polkit.Result.YES; });\n";
    const pid_t polkitd = Start(std::string(kPolkitd) + " --no-debug", dir_ / "polkitd.log");
    const pid_t udisksd = Start(std::string(kUdisksd) + " --no-debug", dir_ / "udisksd.log");
    pids_.push_back(polkitd);
    pids_.push_back(udisksd);
    if (!WaitFor([] { return Owned("org.freedesktop.PolicyKit1"); }, polkitd)) {
      return "polkitd did not take its name: " + Log("polkitd.log");
    }
    if (!WaitFor([] { return Owned("org.freedesktop.UDisks2"); }, udisksd)) {
      return "udisksd did not take its name: " + Log("udisksd.log");
    }
    return {};
  }

  ~Daemons() {
    for (auto pid = pids_.rbegin(); pid != pids_.rend(); ++pid) {
      if (*pid > 0) ::kill(*pid, SIGTERM);
    }
    if (!rule_.empty()) fs::remove(rule_);
    ::unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
  }

  const TempDir& dir() const { return dir_; }

 private:
  std::string Log(const std::string& name) {
    std::ifstream in(dir_ / name);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  }

  TempDir dir_;
  std::vector<pid_t> pids_;
  fs::path rule_;
};

class UdisksTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    daemons_ = new Daemons;
    skipped_ = daemons_->Begin();
  }
  static void TearDownTestSuite() {
    delete daemons_;
    daemons_ = nullptr;
  }
  void SetUp() override {
    if (!skipped_.empty()) GTEST_SKIP() << skipped_;
  }
  void TearDown() override {
    if (mounted_) Shell("umount " + Quote(mountDir_.string()) + " 2>/dev/null");
    for (const auto& mount : otherMounts_) Shell("umount " + Quote(mount.string()));
    for (const auto& device : loops_) {
      // A kernel with exFAT may have had UDisks2 mount it again.
      Shell("udisksctl unmount --no-user-interaction -b " + Quote(device) + " 2>/dev/null");
      const auto detached = Shell("udisksctl loop-delete --no-user-interaction -b " +
                                      Quote(device) + " || losetup -d " + Quote(device),
                                  true);
      EXPECT_EQ(detached.status, 0) << detached.output;
    }
  }

  // Attaches an image through UDisks2 (Manager.LoopSetup); the loop device, or empty.
  std::string Attach(const fs::path& image) {
    const auto mapped =
        Shell("udisksctl loop-setup --no-user-interaction -f " + Quote(image.string()), true);
    const auto at = mapped.output.find(" as /dev/");
    if (mapped.status != 0 || at == std::string::npos) {
      ADD_FAILURE() << "loop-setup: " << mapped.output;
      return {};
    }
    std::string device = mapped.output.substr(at + 4);
    device = device.substr(0, device.find_first_of(".\n"));
    loops_.push_back(device);
    return device;
  }

  // kestrova-cli as the user nobody.
  static Output AsNobody(const std::string& arguments) {
    return AsPrinted("kestrova-cli " + arguments);
  }

  // A command line as kestrova-cli prints it, run by sh as the user nobody, with kestrova-cli on
  // the PATH.
  static Output AsPrinted(const std::string& command) {
    const fs::path err = daemons_->dir() / "stderr";
    // Journals go where nobody may write.
    const fs::path state = daemons_->dir() / "state";
    fs::create_directories(state);
    fs::permissions(state, fs::perms::all);
    const std::string path = fs::path(CliPath()).parent_path().string() + ":/usr/bin:/bin";
    const auto run =
        Shell(kAsNobody + std::string("env XDG_STATE_HOME=") + Quote(state.string()) +
              " PATH=" + Quote(path) + " sh -c " + Quote(command) + " 2>" + Quote(err.string()));
    std::ifstream in(err);
    return {run.status,
            run.output,
            {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()}};
  }

  // The line of `drives` output that lists the device first; empty when there is none.
  static std::string LineOf(const std::string& drives, const std::string& device) {
    std::istringstream lines(drives);
    for (std::string line; std::getline(lines, line);) {
      if (line.starts_with(device + "\t")) return line;
    }
    return {};
  }

  // The line of `drives` (as nobody) for the device, once UDisks2 has probed it.
  static std::string DrivesLine(const std::string& device) {
    std::string line;
    Output drives;
    if (!WaitFor([&] {
          drives = AsNobody("drives");
          line = drives.status == 0 ? LineOf(drives.out, device) : std::string();
          return !line.empty();
        })) {
      ADD_FAILURE() << device << " not listed by drives (" << drives.status << "): " << drives.out
                    << drives.err;
    }
    return line;
  }

  std::vector<std::string> Columns(const std::string& line) {
    std::vector<std::string> columns;
    std::string::size_type start = 0;
    for (auto tab = line.find('\t'); tab != std::string::npos; tab = line.find('\t', start)) {
      columns.push_back(line.substr(start, tab - start));
      start = tab + 1;
    }
    columns.push_back(line.substr(start));
    return columns;
  }

  // A FAT32 image whose root holds a hidden and system folder.
  fs::path InfectedImage(const std::string& name, const std::string& label) {
    const fs::path image = dir_ / name;
    if (!MakeFat32Image(image, 64 * 1024, "-n " + label)) return {};
    EXPECT_EQ(Mtools("mmd", image, "::/VIRUS1 ::/PLAIN").status, 0);
    EXPECT_EQ(Mtools("mattrib", image, "+h +s ::/VIRUS1").status, 0);
    EXPECT_EQ(MattribFlags(image, "/VIRUS1"), "SH");
    return image;
  }

  // A fresh exFAT image on a loop device, mounted with FUSE at mountDir_; the device, or empty.
  std::string MountedExfat() {
    if (!fs::exists("/dev/fuse") || Shell("command -v mkfs.exfat mount.exfat-fuse").status != 0) {
      return {};
    }
    const fs::path image = dir_ / "exfat.img";
    if (Shell("truncate -s 64M " + Quote(image.string())).status != 0 ||
        Shell("mkfs.exfat -L EXSTICK " + Quote(image.string())).status != 0) {
      return {};
    }
    const std::string device = MountExfat(image, mountDir_);
    mounted_ = !device.empty();
    return device;
  }

  // The exFAT image on a loop device, mounted with FUSE at `at` for every user; the device, or
  // empty.
  std::string MountExfat(const fs::path& image, const fs::path& at) {
    const std::string device = Attach(image);
    fs::create_directories(at);
    if (device.empty() ||
        Shell("mount.exfat-fuse -o allow_other " + Quote(device) + " " + Quote(at.string()))
                .status != 0) {
      return {};
    }
    if (at != mountDir_) otherMounts_.push_back(at);
    return device;
  }

  bool Mounted() const {
    std::ifstream in("/proc/self/mountinfo");
    const std::string table{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    return table.find(" " + mountDir_.string() + " ") != std::string::npos;
  }

  static Daemons* daemons_;
  static std::string skipped_;
  TempDir dir_;
  fs::path mountDir_ = dir_ / "stick";
  bool mounted_ = false;
  std::vector<fs::path> otherMounts_;
  std::vector<std::string> loops_;
};

Daemons* UdisksTest::daemons_ = nullptr;
std::string UdisksTest::skipped_;

TEST_F(UdisksTest, DrivesListsFatLoopDevicesWithLabelSizeAndMountPoint) {
  const std::string fat = Attach(InfectedImage("fat.img", "STICKA"));
  const fs::path ext = dir_ / "ext.img";
  ASSERT_EQ(
      Shell("truncate -s 16M " + Quote(ext.string()) + " && mkfs.ext2 -q " + Quote(ext.string()))
          .status,
      0);
  const std::string other = Attach(ext);
  ASSERT_FALSE(fat.empty());
  ASSERT_FALSE(other.empty());
  // UDisks2 has probed the ext2 volume, so that its absence from the list is the program's doing.
  ASSERT_TRUE(WaitFor([&] {
    return std::regex_search(Shell("udisksctl info -b " + Quote(other)).output,
                             std::regex(R"(IdType: +ext2)"));
  }));

  const auto columns = Columns(DrivesLine(fat));
  ASSERT_EQ(columns.size(), 4u) << "not listed, or with a mount point";
  EXPECT_EQ(columns[2], std::to_string(64ull * 1024 * 1024));  // not readable by nobody itself
  EXPECT_EQ(columns[3], "STICKA");
  EXPECT_EQ(LineOf(AsNobody("drives").out, other), "") << "ext2 listed";
  // No UDisks2 on the bus: the removable disks of sysfs, of which a loop device is none.
  const auto fallback = Shell("DBUS_SYSTEM_BUS_ADDRESS=unix:path=/nonexistent " +
                              std::string(kAsNobody) + Quote(CliPath()) + " drives");
  EXPECT_EQ(fallback.status, 0);
  EXPECT_EQ(LineOf(fallback.output, fat), "") << fallback.output;

  const std::string exfat = MountedExfat();
  if (exfat.empty()) GTEST_SKIP() << "cannot mount exFAT with FUSE here";
  const auto mounted = Columns(DrivesLine(exfat));
  ASSERT_EQ(mounted.size(), 5u);
  EXPECT_EQ(mounted[3], "EXSTICK");
  EXPECT_EQ(mounted[4], mountDir_.string());
}

TEST_F(UdisksTest, WatchTellsOfADriveThatComesAndOfOneThatGoes) {
  const std::unique_ptr<volume::DriveWatch> watch = volume::WatchDrives();
  ASSERT_NE(watch, nullptr) << "no watch, though UDisks2 answers";
  // What a window's event loop does: it reads the watch once its descriptor is readable.
  const auto told = [&] {
    pollfd ready{watch->Fd(), POLLIN, 0};
    return ::poll(&ready, 1, 0) == 1 && watch->Changed();
  };
  const auto listed = [](const std::string& device) {
    volume::RefreshDrives();
    const auto drives = volume::ListRemovableDrives();
    return std::any_of(drives.begin(), drives.end(), [&](const volume::DriveInfo& drive) {
      return drive.device == device && drive.label == "WATCHED";
    });
  };
  const std::string device = Attach(InfectedImage("watched.img", "WATCHED"));
  ASSERT_FALSE(device.empty());
  // Told at least once; the new look after the last telling lists the drive with its label.
  bool came = false;
  EXPECT_TRUE(WaitFor([&] { return (came = told() || came) && listed(device); }));

  const auto detached = Shell("udisksctl loop-delete --no-user-interaction -b " + Quote(device));
  ASSERT_EQ(detached.status, 0) << detached.output;
  std::erase(loops_, device);
  bool went = false;
  EXPECT_TRUE(WaitFor([&] { return (went = told() || went) && !listed(device); }));
}

TEST_F(UdisksTest, RepairsWithoutRootThroughUdisksAndPolkitDecides) {
  const fs::path image = InfectedImage("fat.img", "STICKB");
  const std::string device = Attach(image);
  ASSERT_FALSE(device.empty());
  ASSERT_FALSE(DrivesLine(device).empty());
  ASSERT_NE(Shell(std::string(kAsNobody) + "test -w " + Quote(device)).status, 0)
      << "nobody could open the device without UDisks2";

  // A user that the rule does not name is refused by polkit, with its own message.
  const auto refused = Shell("setpriv --reuid=daemon --regid=daemon --clear-groups " +
                                 Quote(CliPath()) + " repair " + Quote(device),
                             true);
  EXPECT_EQ(refused.status, 1);
  EXPECT_NE(refused.output.find("系统拒绝了访问磁盘的授权"), std::string::npos) << refused.output;
  EXPECT_EQ(MattribFlags(image, "/VIRUS1"), "SH");

  const auto repaired = AsNobody("repair " + Quote(device));
  EXPECT_EQ(repaired.status, 0) << repaired.err;
  EXPECT_NE(repaired.out.find("已恢复：VIRUS1"), std::string::npos) << repaired.out;
  EXPECT_EQ(MattribFlags(image, "/VIRUS1"), "");
  EXPECT_EQ(MattribFlags(image, "/PLAIN"), "");
  EXPECT_EQ(Shell("fsck.fat -n " + Quote(image.string())).status, 0);
}

TEST_F(UdisksTest, MountedStickIsRefusedAndUnmountedOnlyWithTheOption) {
  const std::string device = MountedExfat();
  if (device.empty()) GTEST_SKIP() << "cannot mount exFAT with FUSE here";
  const std::string letter = Columns(DrivesLine(device)).at(1);

  // Letters are handed out at each run: the device behind one is told before anything is done.
  const auto refused = AsNobody("repair " + letter);
  EXPECT_EQ(refused.status, 1);
  EXPECT_TRUE(refused.err.starts_with("盘符" + letter + ":对应" + device + "，卷标“EXSTICK”，"))
      << refused.err;
  // The drive is busy, not unreadable: where it is mounted, and the command that unmounts it,
  // naming the device rather than this run's letter.
  EXPECT_NE(refused.err.find(texts::Format(texts::kMountedBusy, mountDir_.string(),
                                           "kestrova-cli repair --unmount " + device)),
            std::string::npos)
      << refused.err;
  EXPECT_TRUE(Mounted());

  // Unmounted through UDisks2 and repaired; the mount after it fails (no exFAT in this kernel):
  // told, and no failure of its own. Named by its device: another test's loop device that goes
  // meanwhile would move the letters of this run.
  const auto unmounted = AsNobody("repair --unmount " + device);
  EXPECT_FALSE(Mounted());
  mounted_ = Mounted();
  EXPECT_EQ(unmounted.status, 0) << unmounted.err;
  // The fresh exFAT stick holds no hidden folder: the pass ran and found nothing to restore.
  EXPECT_EQ(unmounted.out, "根目录中没有需要恢复的文件夹。\n");
  if (unmounted.err.find("未能重新挂载") == std::string::npos) {
    // A kernel with exFAT mounted it again where UDisks2 mounts.
    EXPECT_NE(Columns(DrivesLine(device)).size(), 4u) << unmounted.err;
  }
}

// UDisks2 mounts exFAT through the mount.exfat helper, which this machine's FUSE driver can be;
// in place while it lives. Empty when the helper cannot be provided.
class MountHelper {
 public:
  MountHelper() {
    if (fs::exists(kHelper)) return;
    std::error_code error;
    fs::create_symlink("mount.exfat-fuse", kHelper, error);
    made_ = !error;
  }
  ~MountHelper() {
    if (made_) fs::remove(kHelper);
  }
  bool Ready() const { return fs::exists(kHelper); }

 private:
  static constexpr const char* kHelper = "/usr/sbin/mount.exfat";
  bool made_ = false;
};

// Every writing command takes a mounted stick with --unmount and leaves it mounted again; the
// commands that the reports offer run as printed and name the device; the undos put back every
// byte.
TEST_F(UdisksTest, WritingCommandsUnmountForThePassAndOfferOnlyWhatThenWorks) {
  MountHelper helper;
  if (!fs::exists("/dev/fuse") || !helper.Ready()) GTEST_SKIP() << "no exFAT mounts with FUSE";
  const fs::path image = dir_ / "worm.img";
  const std::string why = MakeStick(HWormStick(StickFs::kExfat), image);
  if (!why.empty()) GTEST_SKIP() << why;
  const std::string device = Attach(image);
  ASSERT_FALSE(device.empty());
  ASSERT_FALSE(DrivesLine(device).empty());
  const auto mount = [&] {
    return Shell("udisksctl mount --no-user-interaction -b " + Quote(device), true);
  };
  const auto unmount = [&] {
    return Shell("udisksctl unmount --no-user-interaction -b " + Quote(device), true);
  };
  // A mount and an unmount may leave their marks in the boot region: the stick as it is after
  // one is what the undos must give back.
  ASSERT_EQ(mount().status, 0);
  ASSERT_EQ(unmount().status, 0);
  const fs::path before = dir_ / "before.img";
  ASSERT_TRUE(CopySparse(image, before));
  const auto mountedAgain = [&] {
    return WaitFor([&] { return Columns(DrivesLine(device)).size() == 5; });
  };
  // A text's words before its first value, and the command that a line of them offers.
  const auto lead = [](const texts::Text& text) {
    const std::string words = texts::Tr(text);
    return words.substr(0, words.find('%'));
  };
  const auto offered = [&](const std::string& out, const texts::Text& hint) {
    const auto at = out.find(lead(hint));
    if (at == std::string::npos) return std::string();
    const auto from = at + lead(hint).size();
    return out.substr(from, out.find('\n', from) - from);
  };
  ASSERT_EQ(mount().status, 0);
  const std::string letter = Columns(DrivesLine(device)).at(1);

  // Without the option each writing command is refused as busy, naming the command that works.
  for (const std::string& command :
       {std::string("clean"), "undo " + Quote((dir_ / "j").string())}) {
    const auto refused = AsNobody(command + " " + device);
    EXPECT_EQ(refused.status, 1) << refused.err;
    EXPECT_NE(refused.err.find(lead(texts::kMountedBusy)), std::string::npos) << refused.err;
  }

  const auto repaired = AsNobody("repair --unmount " + letter);
  ASSERT_EQ(repaired.status, 0) << repaired.err;
  EXPECT_TRUE(mountedAgain()) << repaired.err;
  const std::string clean = offered(repaired.out, texts::kCleanHint);
  EXPECT_EQ(clean, "kestrova-cli clean --unmount " + device) << repaired.out;
  const std::string undoRepair = offered(repaired.out, texts::kUndoHint);
  EXPECT_TRUE(undoRepair.starts_with("kestrova-cli undo --unmount ")) << repaired.out;
  EXPECT_TRUE(undoRepair.ends_with(" " + device)) << undoRepair;

  const auto cleaned = AsPrinted(clean);
  ASSERT_EQ(cleaned.status, 0) << cleaned.err;
  EXPECT_TRUE(mountedAgain()) << cleaned.err;
  const std::string undoClean = offered(cleaned.out, texts::kUndoHint);
  ASSERT_FALSE(undoClean.empty()) << cleaned.out;

  for (const std::string& undo : {undoClean, undoRepair}) {
    const auto undone = AsPrinted(undo);
    EXPECT_EQ(undone.status, 0) << undo << "\n" << undone.err;
    EXPECT_TRUE(mountedAgain()) << undone.err;
  }
  ASSERT_EQ(unmount().status, 0);
  EXPECT_TRUE(DifferingOffsets(before, image).empty());
}

// The desktop of the user nobody, for the guard: a session bus of its own and a stand-in
// notification service (python3-dbusmock's) that logs every call and clicks a notice's button
// when asked.
class Desktop {
 public:
  // Empty when it runs; else why it cannot.
  std::string Begin(const fs::path& dir) {
    if (Shell("command -v dbus-monitor busctl && /usr/bin/python3 -c 'import dbusmock'").status !=
        0) {
      return "dbus-monitor, busctl or python3-dbusmock is missing";
    }
    const fs::path config = dir / "session.conf";
    std::ofstream(config)
        << "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\" "
           "\"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
           "<busconfig><type>session</type><listen>unix:path="
        << (dir / "session_bus").string()
        << "</listen><auth>EXTERNAL</auth><policy context=\"default\"><allow user=\"*\"/>"
           "<allow own=\"*\"/><allow send_destination=\"*\"/><allow receive_sender=\"*\"/>"
           "</policy></busconfig>\n";
    const auto bus = Shell(kAsNobody + std::string("dbus-daemon --config-file=") +
                               Quote(config.string()) + " --fork --print-pid",
                           true);
    if (bus.status != 0) return "no session bus: " + bus.output;
    pids_.push_back(static_cast<pid_t>(std::atoi(bus.output.c_str())));
    address_ = "unix:path=" + (dir / "session_bus").string();
    log_ = dir / "notices.log";
    const pid_t server = Start(kAsNobody + std::string("env DBUS_SESSION_BUS_ADDRESS=") + address_ +
                                   " /usr/bin/python3 -m dbusmock --session -t notification_daemon"
                                   " -p '{\"capabilities\": \"body actions\"}' -l " +
                                   Quote(log_.string()),
                               dir / "dbusmock.out");
    pids_.push_back(server);
    if (!WaitFor([&] { return Bus("status org.freedesktop.Notifications").status == 0; }, server)) {
      return "the notification service did not start";
    }
    return {};
  }
  ~Desktop() {
    for (auto pid = pids_.rbegin(); pid != pids_.rend(); ++pid) ::kill(*pid, SIGTERM);
  }

  // Ends the process with the desktop.
  void Own(pid_t pid) { pids_.push_back(pid); }
  // Runs `command` as nobody on this desktop, in the background.
  void Launch(const std::string& command, const fs::path& log) {
    pids_.push_back(Start(
        kAsNobody + std::string("env DBUS_SESSION_BUS_ADDRESS=") + address_ + " " + command, log));
  }
  // The last notice of each id so far about the drive named `name` (and label: other loop devices
  // of the machine are told of too), as the service logged it; it counts the new ones from 1.
  std::map<int, std::string> Notices(const std::string& name) const {
    std::ifstream in(log_);
    std::map<int, std::string> notices;
    int count = 0;
    const std::string notify = " Notify \"Kestrova\" ";
    for (std::string line; std::getline(in, line);) {
      const auto at = line.find(notify);
      if (at == std::string::npos) continue;
      const int replaced = std::atoi(line.c_str() + at + notify.size());
      const int id = replaced != 0 ? replaced : ++count;
      if (line.find("\"U盘" + name) != std::string::npos) notices[id] = line;
    }
    return notices;
  }
  // A click on the button `action` of notice `id`.
  void Click(int id, const std::string& action) {
    const auto clicked = Bus(
        "call org.freedesktop.Notifications /org/freedesktop/Notifications "
        "org.freedesktop.DBus.Mock EmitSignal sssav org.freedesktop.Notifications ActionInvoked "
        "us 2 u " +
        std::to_string(id) + " s " + action);
    EXPECT_EQ(clicked.status, 0) << clicked.output;
  }

 private:
  CommandResult Bus(const std::string& arguments) const {
    return Shell("busctl --address=" + address_ + " -- " + arguments + " 2>&1");
  }

  std::vector<pid_t> pids_;
  std::string address_;
  fs::path log_;
};

// The guard judges the sticks present when it starts and those that come later, tells only of
// the infected ones and offers a check of an unmounted one, starts the window on a click, and
// never opens a device: it runs as nobody, who could only have UDisks2 open one, and UDisks2 is
// asked for no OpenDevice.
TEST_F(UdisksTest, GuardTellsOfInfectedSticksAndOffersToCheckUnmountedOnesWithoutOpeningThem) {
#ifndef KESTROVA_WATCH
  GTEST_SKIP() << "kestrova-watch is not built";
#else
  if (!fs::exists("/dev/fuse")) GTEST_SKIP() << "no exFAT mounts with FUSE";
  fs::permissions(dir_.path(), fs::perms::all);  // nobody reaches the mounts and writes the record
  Desktop desktop;
  const std::string why = desktop.Begin(dir_.path());
  if (!why.empty()) GTEST_SKIP() << why;
  const fs::path opened = dir_ / "system_bus.log";
  desktop.Own(Start("dbus-monitor --system \"member='OpenDevice'\" \"member='GetId'\"", opened));
  const auto systemBus = [&] {
    std::ifstream in(opened);
    return std::string{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  };
  // The monitor has seen every call on the system bus before the last of these that it has seen.
  const auto monitored = [&] {
    const auto calls = [&] {
      const std::string log = systemBus();
      int seen = 0;
      for (auto at = log.find("member=GetId"); at != std::string::npos;
           at = log.find("member=GetId", at + 1)) {
        ++seen;
      }
      return seen;
    };
    const int before = calls();
    return WaitFor([&] {
      Shell(
          "busctl --system call org.freedesktop.DBus /org/freedesktop/DBus "
          "org.freedesktop.DBus GetId");
      return calls() > before;
    });
  };
  ASSERT_TRUE(monitored());

  const fs::path worm = dir_ / "worm.img";
  const InfectedStick stick = HWormStick(StickFs::kExfat);
  const std::string made = MakeStick(stick, worm);
  if (!made.empty()) GTEST_SKIP() << made;
  const fs::path clean = dir_ / "clean.img";
  ASSERT_EQ(Shell("truncate -s 64M " + Quote(clean.string()) + " && mkfs.exfat -L CLEAN " +
                  Quote(clean.string()))
                .status,
            0);
  const std::string infected = MountExfat(worm, dir_ / "worm");
  const std::string healthy = MountExfat(clean, dir_ / "clean");
  ASSERT_FALSE(infected.empty());
  ASSERT_FALSE(healthy.empty());
  // UDisks2 shows both mounted before the guard starts.
  for (const auto& device : {infected, healthy}) {
    ASSERT_TRUE(WaitFor([&] {
      return std::regex_search(Shell("udisksctl info -b " + Quote(device)).output,
                               std::regex("MountPoints: +" + dir_.path().string()));
    }));
  }

  // The window that a click starts, recorded instead of shown.
  const fs::path window = dir_ / "window.sh";
  const fs::path started = dir_ / "started";
  std::ofstream(window) << "#!/bin/sh\necho \"$@\" >>" << Quote(started.string()) << "\n";
  fs::permissions(window, fs::perms::all);
  const auto windows = [&] {
    std::ifstream in(started);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
  };
  desktop.Launch(Quote(KESTROVA_WATCH) + " --window " + Quote(window.string()), dir_ / "watch.log");

  std::size_t virus = 0;
  for (const auto& item : stick.items)
    virus += item.verdict == "virus" && item.path.find('/') == std::string::npos;
  const auto told = [&](const std::string& device, const std::string& label) {
    return desktop.Notices(fs::path(device).filename().string() + "（" + label + "）");
  };
  ASSERT_TRUE(WaitFor([&] { return !told(infected, "KINGSTON").empty(); }));
  // exfat-fuse shows no attributes: only the virus's files are told of.
  const auto [infectedId, notice] = *told(infected, "KINGSTON").begin();
  EXPECT_NE(notice.find("\"U盘病毒\" \"U盘" + fs::path(infected).filename().string() +
                        "（KINGSTON）被病毒感染：发现" + std::to_string(virus) +
                        "个病毒文件。\" [\"repair\", \"修复\", \"ignore\", \"忽略\"]"),
            std::string::npos)
      << notice;
  desktop.Click(infectedId, "repair");
  ASSERT_TRUE(WaitFor([&] { return windows().size() == 1; }))
      << infectedId
      << Shell("cat " + Quote((dir_ / "watch.log").string()) + " " +
               Quote((dir_ / "notices.log").string()))
             .output;
  EXPECT_TRUE(std::regex_match(windows()[0], std::regex("--drive [D-Z]=" + infected)))
      << windows()[0];
  // The first look at every stick came before the click: one notice, none of the clean stick.
  EXPECT_EQ(told(infected, "KINGSTON").size(), 1u);
  EXPECT_TRUE(told(healthy, "CLEAN").empty()) << told(healthy, "CLEAN").begin()->second;

  // A stick that comes unmounted is offered a check, which starts the window too.
  const std::string unmounted = Attach(InfectedImage("fat.img", "WATCHME"));
  ASSERT_FALSE(unmounted.empty());
  ASSERT_TRUE(WaitFor([&] { return !told(unmounted, "WATCHME").empty(); }));
  const auto [offerId, offer] = *told(unmounted, "WATCHME").rbegin();
  EXPECT_NE(offer.find("（WATCHME）未挂载"), std::string::npos) << offer;
  desktop.Click(offerId, "check");
  ASSERT_TRUE(WaitFor([&] { return windows().size() == 2; }));
  EXPECT_TRUE(std::regex_match(windows()[1], std::regex("--drive [D-Z]=" + unmounted)))
      << windows()[1];

  ASSERT_TRUE(monitored());
  EXPECT_EQ(systemBus().find("OpenDevice"), std::string::npos) << systemBus();
#endif
}

}  // namespace
}  // namespace kestrova::testing
