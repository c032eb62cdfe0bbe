// SPDX-License-Identifier: GPL-3.0-or-later
#include "wine_session.h"
#include "disk_facts.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>

namespace kestrova::testing::wine {
namespace {

constexpr std::uint8_t kHiddenOrSystem = 0x06;
// Clusters of one sector hold 16 entries each, so the root directory takes several clusters.

std::string ShortName(const std::string& name) {
  const auto dot = name.find('.');
  std::string base = name.substr(0, dot);
  std::string ext = dot == std::string::npos ? "" : name.substr(dot + 1);
  base.resize(8, ' ');
  ext.resize(3, ' ');
  return base + ext;
}

std::string Joined(const std::vector<std::string>& names, const std::string& prefix) {
  std::string out;
  for (const auto& name : names) out += " " + Quote(prefix + name);
  return out;
}

}  // namespace

std::string WindowExe() { return KESTROVA_WIN_WINDOW; }
std::string CliExe() { return KESTROVA_WIN_CLI; }
std::string GuardExe() { return KESTROVA_WIN_GUARD; }
std::string ProbeExe() { return KESTROVA_WIN_PROBE; }

Session& Session::Get() {
  static Session session;
  return session;
}

Session::Session() : prefix_(dir_ / "prefix"), image_(dir_ / "volume.img") {
  const auto made = Run(std::string(KESTROVA_MAKE_PREFIX) + " " + Quote(prefix_.string()) + " " +
                            Quote(image_.string()),
                        true);
  ready_ = made.status == 0;
  if (!ready_) ADD_FAILURE() << "the Wine prefix could not be made: " << made.output;
}

Session::~Session() { Shutdown(); }

void Session::Shutdown() {
  if (!ready_) return;
  Run(Env() + " wineserver -k", true);
  ready_ = false;
}

std::string Session::Env() const {
  // The programs speak the program's own language, whatever language Wine takes from the
  // tests' locale; WineTest.ProgramsSpeakTheLanguageOfWindows leaves it to Wine.
  return "WINEPREFIX=" + Quote(prefix_.string()) + " WINEDEBUG=-all KESTROVA_LANG=zh";
}

void Session::SetScreenDpi(int dpi) {
  const std::string value = " /v LogPixels /t REG_DWORD /d " + std::to_string(dpi) + " /f";
  for (const char* key : {"HKCU\\Control Panel\\Desktop",
                          "HKLM\\System\\CurrentControlSet\\Hardware Profiles\\Current\\"
                          "Software\\Fonts"}) {
    const auto set = Run(Env() + " wine reg add " + Quote(key) + value, true);
    EXPECT_EQ(set.status, 0) << set.output;
  }
  // The server keeps the old value until it restarts.
  Run(Env() + " wineserver -k; " + Env() + " wineserver -w", true);
}

void Session::UseImage(const std::filesystem::path& made) { std::filesystem::rename(made, image_); }

CommandResult Session::Wine(const std::string& exe, const std::string& arguments,
                            const std::filesystem::path& stderrFile) const {
  const std::string errors = stderrFile.empty() ? "2>/dev/null" : "2>" + Quote(stderrFile.string());
  return Run(Env() + " wine " + Quote(exe) + " " + arguments + " " + errors);
}

bool AwaitWrites(const std::filesystem::path& folder, const std::function<bool()>& done) {
  const int writes = inotify_init1(IN_CLOEXEC);
  if (writes >= 0) {
    inotify_add_watch(writes, folder.c_str(), IN_CREATE | IN_MODIFY | IN_CLOSE_WRITE | IN_MOVED_TO);
  }
  const auto bound = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  bool found = false;
  while (!(found = done()) && writes >= 0) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        bound - std::chrono::steady_clock::now());
    pollfd told{writes, POLLIN, 0};
    if (left.count() <= 0 || ::poll(&told, 1, static_cast<int>(left.count())) <= 0) break;
    char events[4096];
    if (::read(writes, events, sizeof events) < 0) break;
  }
  if (writes >= 0) ::close(writes);
  return found;
}

Background::Background(const std::string& command) {
  int in[2];
  int out[2];
  // Not inherited by the test's other children: a Wine process that one of them starts and that
  // outlives it (conhost, the desktop) would keep this input open, and the process would never
  // see its end.
  if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) return;
  pid_ = fork();
  if (pid_ == 0) {
    dup2(in[0], STDIN_FILENO);
    dup2(out[1], STDOUT_FILENO);
    close(in[0]);
    close(in[1]);
    close(out[0]);
    close(out[1]);
    execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  close(in[0]);
  close(out[1]);
  input_ = in[1];
  output_ = out[0];
}

Background::~Background() {
  CloseInput();
  End(0);  // a program still running is killed
  if (output_ >= 0) close(output_);
}

std::string Background::ReadLine() {
  char c = 0;
  while (output_ >= 0 && read(output_, &c, 1) == 1) {
    if (c == '\n') {
      std::string line = pending_;
      pending_.clear();
      if (!line.empty() && line.back() == '\r') line.pop_back();
      return line;
    }
    pending_ += c;
  }
  std::string rest = pending_;
  pending_.clear();
  return rest;
}

void Background::CloseInput() {
  if (input_ >= 0) close(input_);
  input_ = -1;
}

int Background::Wait() {
  // The deadline only keeps a program that never ends from hanging the suite.
  constexpr int kDeadlineMs = 120000;
  return End(kDeadlineMs);
}

int Background::End(int deadlineMs) {
  if (pid_ <= 0) return -1;
  // The end is awaited on a descriptor of the process.
  const int process = static_cast<int>(syscall(SYS_pidfd_open, pid_, 0));
  pollfd ended{process, POLLIN, 0};
  const bool late = process >= 0 && poll(&ended, 1, deadlineMs) == 0;
  if (process >= 0) close(process);
  if (late) kill(pid_, SIGKILL);
  int status = 0;
  while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
  }
  pid_ = -1;
  return !late && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

InfectedImage MakeInfectedImage(const std::filesystem::path& image, const std::string& mkfsOptions,
                                std::uint64_t sizeKiB) {
  InfectedImage made;
  std::vector<std::string> hiddenSystem;
  std::vector<std::string> hidden;
  std::vector<std::string> system;
  std::vector<std::string> plain;
  for (int i = 1; i <= 12; ++i) hiddenSystem.push_back("HS" + std::to_string(i));
  for (int i = 1; i <= 4; ++i) hidden.push_back("HID" + std::to_string(i));
  for (int i = 1; i <= 4; ++i) system.push_back("SYS" + std::to_string(i));
  for (int i = 1; i <= 6; ++i) plain.push_back("PLAIN" + std::to_string(i));
  std::vector<std::string> readOnlyHiddenSystem{"RHS"};
  // A folder whose name has an extension is a folder like any other.
  std::vector<std::string> folderWithExtension{"DIR.EXT"};
  // Not a folder: a hidden program that nothing names is unsure, and the repair leaves it alone.
  std::vector<std::string> hiddenFile{"SECRET.EXE"};

  if (!MakeFatImage(image, sizeKiB, mkfsOptions)) return made;
  std::vector<std::string> folders;
  for (const auto* group :
       {&hiddenSystem, &hidden, &system, &plain, &readOnlyHiddenSystem, &folderWithExtension}) {
    folders.insert(folders.end(), group->begin(), group->end());
  }
  EXPECT_EQ(Mtools("mmd", image, Joined(folders, "::") + " ::HS1/INNER").status, 0);
  EXPECT_EQ(Run("printf data | mcopy -i " + Quote(image.string()) + " - ::SECRET.EXE").status, 0);
  EXPECT_EQ(Mtools("mattrib", image,
                   "+h +s" + Joined(hiddenSystem, "::") + Joined(folderWithExtension, "::") +
                       Joined(hiddenFile, "::") + " ::HS1/INNER")
                .status,
            0);
  EXPECT_EQ(Mtools("mattrib", image, "+h" + Joined(hidden, "::")).status, 0);
  EXPECT_EQ(Mtools("mattrib", image, "+s" + Joined(system, "::")).status, 0);
  EXPECT_EQ(Mtools("mattrib", image, "+r +h +s" + Joined(readOnlyHiddenSystem, "::")).status, 0);

  for (const std::vector<std::string>* group :
       {&hiddenSystem, &hidden, &system, &readOnlyHiddenSystem, &folderWithExtension}) {
    made.infected.insert(made.infected.end(), group->begin(), group->end());
  }
  for (const std::vector<std::string>* group : {&plain, &hiddenFile}) {
    made.untouched.insert(made.untouched.end(), group->begin(), group->end());
  }
  return made;
}

bool AddVirusFiles(const std::filesystem::path& image) {
  const auto bytes = [](const std::string& text) {
    return std::vector<std::uint8_t>(text.begin(), text.end());
  };
  return PutFile(image, {"/autorun.inf", bytes("[autorun]\r\nopen=x.exe\r\n")}) &&
         PutFile(image, {"/x.exe", bytes("MZ")}, "+h") &&
         PutFile(image, {"/HS1.exe", bytes("MZ copied")}) &&
         PutFile(image, {"/HID2.exe", bytes("MZ copied")});
}

void ExpectRepairedExactly(const std::filesystem::path& before, const std::filesystem::path& after,
                           const InfectedImage& made) {
  ASSERT_FALSE(made.infected.empty());
  const auto original = ReadBytes(before);
  const auto repaired = ReadBytes(after);
  ASSERT_EQ(original.size(), repaired.size());

  // Each infected folder's short entry, found by its blank-padded name in the original image.
  std::vector<std::uint64_t> expected;
  for (const auto& name : made.infected) {
    const std::string padded = ShortName(name);
    const auto at = std::search(original.begin(), original.end(), padded.begin(), padded.end());
    ASSERT_NE(at, original.end()) << name;
    const auto attribute = static_cast<std::uint64_t>(at - original.begin()) + kShortNameLength;
    EXPECT_NE(original[attribute] & kHiddenOrSystem, 0) << name << " was not infected";
    EXPECT_EQ(repaired[attribute], kPlainFolder) << name;
    expected.push_back(attribute);
  }
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(DifferingOffsets(before, after), expected);

  for (const auto& name : made.infected) EXPECT_EQ(MattribFlags(after, "/" + name), "") << name;
  for (const auto& name : made.untouched) {
    EXPECT_EQ(MattribFlags(after, "/" + name), MattribFlags(before, "/" + name)) << name;
  }
  EXPECT_EQ(MattribFlags(after, "/HS1/INNER"), "SH");
  const auto check = Run("fsck.fat -n " + Quote(after.string()), true);
  EXPECT_EQ(check.status, 0) << check.output;
}

}  // namespace kestrova::testing::wine

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  const int result = RUN_ALL_TESTS();
  // The prefix's server is stopped here; the prefix goes with the session's directory.
  return result;
}
