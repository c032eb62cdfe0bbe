// SPDX-License-Identifier: GPL-3.0-or-later
// Crash safety of the passes that write a volume. kestrova-cli repairs a volume whose root
// directory spans nine clusters, and strace kills it (SIGKILL) on entering each of its writes to
// the volume in turn — before the first write, between each pair — and on entering each later
// system call on the volume: the flush, the dismount, the close. Every kill must land where it was
// aimed (the run's trace ends in that call), and afterwards the volume must be clean for fsck.fat,
// its root must hold exactly the sectors of the writes made before the kill (each sector entirely
// as before or entirely as repaired), nothing outside the root may have changed, and a second run
// must finish the repair exactly. clean, move-back, fix and undo, on FAT32 and on exFAT sticks,
// are killed at the same points: the undo of the journal that a killed pass printed gives the
// volume back as it was, and running the killed command again finishes it as one run that was not
// cut short. Each pass writes its journal to the disk before its first write to the volume (and a
// fix its quarantine before its journal), and a pass that
// cannot complete exits with status 3 once it has written (a later write refused or failing, the
// flush failing, the report not printed), 1 when it had not.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include <cstdlib>
#include <fstream>
#include <functional>
#include <map>
#include <regex>
#include <set>

#include "disk_facts.h"
#include "fat_image.h"
#include "fat_tools.h"
#include "infected_sticks.h"
#include "repair/journal.h"
#include "repair/quarantine.h"
#include "words/texts.h"

extern char** environ;

namespace kestrova::proof {
namespace {

namespace fs = std::filesystem;
using testing::CopySparse;
using testing::kDeletedMark;
using testing::Quote;
// Named apart from ::testing::Test::Run, which a fixture would otherwise find first.
testing::CommandResult Shell(const std::string& command, bool withStderr = false) {
  return testing::Run(command, withStderr);
}

constexpr std::uint32_t kSectorsPerCluster = 4;
constexpr std::uint32_t kRootClusters = 9;
constexpr std::size_t kFolders = 200;
// Every third sector of the root (counted in the chain's order) is left as it is, so that a
// cluster's changed sectors are written in one or two transfers.
constexpr std::size_t kUnchangedEvery = 3;
constexpr std::uint8_t kDirectory = 0x10;
constexpr std::uint8_t kVolumeLabel = 0x08;
constexpr std::uint8_t kHiddenSystem = 0x06;
constexpr std::size_t kAttributeOffset = 11;
constexpr std::size_t kNameBytes = 11;
// The system call that writes the volume at an offset (the journal is written with write).
constexpr const char* kVolumeWrite = "pwrite64";

std::vector<std::uint8_t> ReadSector(const fs::path& image, std::uint64_t sector) {
  return testing::ReadAt(image, sector * kImageSectorSize, kImageSectorSize);
}

// Where a traced run's standard output and standard error go (discarded when empty), and the
// files whose calls are traced beside the image's.
struct Beside {
  fs::path output = {};
  fs::path errors = {};
  std::vector<fs::path> files = {};
};

// Runs kestrova-cli with `arguments` under strace, which records the system calls on the image
// (and on `beside.files`) in `trace`, each descriptor with its file, and applies `inject` (an
// --inject expression, which counts only the calls recorded) when given. Returns the wait status
// of strace, which dies by the same signal as the program.
int Traced(const std::vector<std::string>& arguments, const fs::path& image, const fs::path& trace,
           const std::string& inject, const Beside& beside = {}) {
  // LeakSanitizer cannot run under a tracer; the sanitizer build leaves leaks to other runs.
  std::vector<std::string> env;
  std::string asan = "detect_leaks=0";
  for (char** e = environ; *e; ++e) {
    const std::string entry = *e;
    if (entry.rfind("ASAN_OPTIONS=", 0) == 0) {
      asan = entry.substr(entry.find('=') + 1) + ":" + asan;
    } else {
      env.push_back(entry);
    }
  }
  env.push_back("ASAN_OPTIONS=" + asan);
  // Only the calls that name the image or a descriptor of it, one line each, strings left out.
  std::vector<std::string> args = {"strace", "-f", "-qq", "-e", "signal=none", "-s", "0", "-y"};
  for (const auto& arg : {std::string("-o"), trace.string(), std::string("-P"), image.string()}) {
    args.push_back(arg);
  }
  for (const fs::path& file : beside.files) args.insert(args.end(), {"-P", file.string()});
  if (!inject.empty()) args.push_back("--inject=" + inject);
  args.push_back(testing::CliPath());
  args.insert(args.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv, envp;
  for (auto& a : args) argv.push_back(a.data());
  for (auto& e : env) envp.push_back(e.data());
  argv.push_back(nullptr);
  envp.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  const std::string out = beside.output.empty() ? "/dev/null" : beside.output.string();
  const std::string err = beside.errors.empty() ? "/dev/null" : beside.errors.string();
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, out.c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0600);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, err.c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0600);
  pid_t pid = -1;
  const int spawned = posix_spawnp(&pid, "strace", &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) {
    ADD_FAILURE() << "strace cannot be started (scripts/setup.sh test installs it)";
    return -1;
  }
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return status;
}

// One system call on the volume as strace recorded it: its name, its result ("?" when the
// program died on entering it), and the name of the file of the descriptor it was given first.
struct Call {
  std::string name;
  std::string result;
  std::string file;
  bool operator==(const Call&) const = default;
};

std::vector<Call> ReadTrace(const fs::path& trace) {
  static const std::regex kLine(R"(^(?:\d+ +)?(\w+)\((?:\d+<([^>]*)>)?.*\) += (\S+).*$)");
  std::vector<Call> calls;
  std::ifstream in(trace);
  for (std::string line; std::getline(in, line);) {
    std::smatch match;
    if (!std::regex_match(line, match, kLine)) {
      ADD_FAILURE() << "unexpected line in the trace: " << line;
      continue;
    }
    calls.push_back({match[1], match[3], fs::path(match[2].str()).filename().string()});
  }
  return calls;
}

class CrashTest : public ::testing::Test {
 protected:
  // The volume before the repair and after a complete one, the root's sectors in the order in
  // which the pass handles them, and the transfers that a pass makes: the runs of changed
  // sectors within each cluster, in that order.
  void SetUp() override {
    // The journals go to a folder of this test's own.
    ASSERT_EQ(::setenv("XDG_STATE_HOME", (dir_ / "state").c_str(), 1), 0);
    ASSERT_TRUE(
        testing::MakeFat32Image(base_, 160 * 1024, "-s " + std::to_string(kSectorsPerCluster)));
    for (std::size_t at = 0; at < kFolders; at += 100) {
      std::string mmd = "mmd -i " + Quote(base_.string());
      for (std::size_t i = at; i < std::min(kFolders, at + 100); ++i) {
        mmd += " " + Quote("::/F" + std::to_string(i));
      }
      ASSERT_EQ(Shell(mmd, true).status, 0);
    }
    FatImage fat(base_, true);
    // The root's further clusters far from its first ones and from each other, in an order that
    // is not the disk's.
    for (std::uint32_t from = 20000; fat.RootChain()->size() < kRootClusters; from -= 1500) {
      ASSERT_TRUE(fat.GrowRoot(1, from));
    }
    const auto chain = *fat.RootChain();
    ASSERT_EQ(chain.size(), kRootClusters);
    // In each sector that is to change, every other live folder becomes hidden and system, and
    // the last entry, when unused, becomes a deleted hidden folder (fsck.fat ignores deleted
    // entries, and the pass rewrites them all the same).
    std::size_t index = 0;
    for (const std::uint32_t cluster : chain) {
      auto bytes = fat.ReadCluster(cluster);
      for (std::size_t s = 0; s < kSectorsPerCluster; ++s, ++index) {
        if (index % kUnchangedEvery == kUnchangedEvery - 1) continue;
        const auto sector = bytes.begin() + static_cast<std::ptrdiff_t>(s * kImageSectorSize);
        for (std::size_t e = 0; e < kImageSectorSize / kDirEntryBytes; e += 2) {
          auto entry = sector + static_cast<std::ptrdiff_t>(e * kDirEntryBytes);
          const std::uint8_t attribute = entry[kAttributeOffset];
          if (entry[0] != 0 && entry[0] != kDeletedMark && (attribute & kDirectory) &&
              !(attribute & kVolumeLabel)) {
            entry[kAttributeOffset] = attribute | kHiddenSystem;
          }
        }
        const auto last = sector + kImageSectorSize - kDirEntryBytes;
        if (std::all_of(last, last + kDirEntryBytes, [](std::uint8_t b) { return b == 0; })) {
          std::fill(last, last + kNameBytes, ' ');
          last[0] = kDeletedMark;
          last[kAttributeOffset] = kDirectory | kHiddenSystem;
        }
      }
      fat.WriteCluster(cluster, bytes);
    }
    for (const std::uint32_t cluster : chain) {
      const std::uint64_t first = fat.ClusterOffset(cluster) / kImageSectorSize;
      for (std::uint64_t k = 0; k < kSectorsPerCluster; ++k) rootSectors_.push_back(first + k);
    }

    ASSERT_EQ(Shell("fsck.fat -n " + Quote(base_.string()), true).status, 0);
    ASSERT_TRUE(CopySparse(base_, repaired_));
    ASSERT_EQ(Shell(Quote(testing::CliPath()) + " repair " + Quote(repaired_.string())).status, 0);
    for (std::size_t r = 0; r < rootSectors_.size(); ++r) {
      const bool changed =
          ReadSector(base_, rootSectors_[r]) != ReadSector(repaired_, rootSectors_[r]);
      ASSERT_EQ(changed, r % kUnchangedEvery != kUnchangedEvery - 1) << "root sector " << r;
      if (!changed) continue;
      const bool continues =
          r % kSectorsPerCluster != 0 && !transfers_.empty() && transfers_.back().back() == r - 1;
      if (!continues) transfers_.emplace_back();
      transfers_.back().push_back(r);
    }
  }

  testing::TempDir dir_;
  fs::path base_ = fs::absolute(dir_ / "base.img");
  fs::path repaired_ = fs::absolute(dir_ / "repaired.img");
  std::vector<std::uint64_t> rootSectors_;
  std::vector<std::vector<std::size_t>> transfers_;  // indices into rootSectors_
};

TEST_F(CrashTest, KilledPassLeavesWholeSectorsAndASecondRunFinishes) {
  const fs::path work = fs::absolute(dir_ / "work.img");
  const fs::path trace = dir_ / "trace.txt";
  // A run to its end: its system calls on the volume, and its writes, which are the transfers.
  ASSERT_TRUE(CopySparse(base_, work));
  const int status = Traced({"repair", work.string()}, work, trace, "");
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
  ASSERT_TRUE(CompareImages(repaired_, work, 1).empty()) << "the traced run differs";
  const std::vector<Call> calls = ReadTrace(trace);
  std::vector<std::size_t> writesBefore;  // for each call, the writes that succeeded before it
  std::size_t written = 0;
  std::size_t lastWrite = calls.size();
  for (std::size_t i = 0; i < calls.size(); ++i) {
    writesBefore.push_back(written);
    if (calls[i].name != kVolumeWrite) continue;
    lastWrite = i;
    if (std::stoll(calls[i].result) < 0) continue;  // a write refused and tried again
    ASSERT_LT(written, transfers_.size()) << "more writes than transfers";
    EXPECT_EQ(std::stoll(calls[i].result), transfers_[written].size() * kImageSectorSize)
        << "write " << written;
    ++written;
  }
  ASSERT_EQ(written, transfers_.size());
  ASSERT_TRUE(std::any_of(calls.begin() + static_cast<std::ptrdiff_t>(lastWrite), calls.end() - 1,
                          [](const Call& c) { return c.name == "fsync" || c.name == "fdatasync"; }))
      << "no flush between the last write and the last call";

  // Kills on entering each write and each later call; the n-th call of a name is aimed at by
  // strace's count of that name.
  const std::set<std::uint64_t> root(rootSectors_.begin(), rootSectors_.end());
  std::map<std::string, int> seen;
  int kills = 0;
  for (std::size_t i = 0; i < calls.size(); ++i) {
    const int nth = ++seen[calls[i].name];
    if (calls[i].name != kVolumeWrite && i <= lastWrite) continue;
    const std::string aim = calls[i].name + " #" + std::to_string(nth);
    SCOPED_TRACE("killed on entering " + aim + ", after " + std::to_string(writesBefore[i]) +
                 " of " + std::to_string(transfers_.size()) + " writes");
    ASSERT_TRUE(CopySparse(base_, work));
    const int killed = Traced({"repair", work.string()}, work, trace,
                              calls[i].name + ":signal=SIGKILL:when=" + std::to_string(nth));
    ASSERT_TRUE(WIFSIGNALED(killed) && WTERMSIG(killed) == SIGKILL) << "status " << killed;
    std::vector<Call> expected(calls.begin(), calls.begin() + static_cast<std::ptrdiff_t>(i + 1));
    expected.back().result = "?";
    ASSERT_EQ(ReadTrace(trace), expected) << "the kill did not land on " << aim;
    ++kills;

    EXPECT_EQ(Shell("fsck.fat -n " + Quote(work.string()), true).status, 0);
    std::set<std::size_t> done;
    for (std::size_t t = 0; t < writesBefore[i]; ++t) {
      done.insert(transfers_[t].begin(), transfers_[t].end());
    }
    for (std::size_t r = 0; r < rootSectors_.size(); ++r) {
      const auto now = ReadSector(work, rootSectors_[r]);
      const bool isNew = now == ReadSector(repaired_, rootSectors_[r]);
      const bool isOld = now == ReadSector(base_, rootSectors_[r]);
      ASSERT_TRUE(isNew || isOld) << "root sector " << r << " is torn";
      ASSERT_TRUE(done.count(r) ? isNew : isOld)
          << "root sector " << r << (isNew ? " is repaired" : " is as before");
    }
    // Outside the root directory nothing moved.
    for (const auto& d : CompareImages(base_, work)) {
      ASSERT_TRUE(root.count(d.offset / kImageSectorSize)) << "byte " << d.offset << " changed";
    }

    ASSERT_EQ(Shell(Quote(testing::CliPath()) + " repair " + Quote(work.string())).status, 0);
    EXPECT_TRUE(CompareImages(repaired_, work, 1).empty()) << "second run differs";
  }
  std::printf("%zu root sectors, %zu writes; %d kills, each where it was aimed\n",
              rootSectors_.size(), transfers_.size(), kills);
}

// The journal's bytes and their fsync come before the first write of `command` to a copy of
// `pre`.
void ExpectJournalBeforeFirstWrite(const std::string& command, const fs::path& pre,
                                   const fs::path& dir) {
  const fs::path work = fs::absolute(dir / "work.img");
  const fs::path journal = fs::absolute(dir / "first.journal");
  const fs::path trace = dir / "trace.txt";
  fs::remove(journal);
  ASSERT_TRUE(CopySparse(pre, work));
  const int status = Traced({command, "--journal", journal.string(), work.string()}, work, trace,
                            "", {.files = {journal}});
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
  const std::vector<Call> calls = ReadTrace(trace);
  const auto on = [](const fs::path& file, const std::vector<std::string>& names) {
    return [file = file.filename().string(), names](const Call& call) {
      return call.file == file && std::find(names.begin(), names.end(), call.name) != names.end();
    };
  };
  const auto firstWrite = std::find_if(calls.begin(), calls.end(), on(work, {kVolumeWrite}));
  ASSERT_NE(firstWrite, calls.end()) << "no write to the volume";
  const auto journalWrite = std::find_if(calls.begin(), firstWrite, on(journal, {"write"}));
  ASSERT_NE(journalWrite, firstWrite) << "the journal is written after the volume";
  EXPECT_TRUE(std::any_of(journalWrite, firstWrite, on(journal, {"fsync", "fdatasync"})))
      << "the journal has not reached the disk before the volume's first write";
}

// A run that cannot complete, and how it ends. The first write refused as write-protected has
// changed nothing: status 1, and the volume as it was. A later write refused so or failing, a
// failed flush and a report that cannot be printed come after sectors were written: status 3, and
// none of them is told as nothing changed.
struct Unfinished {
  const char* name;
  const char* inject;
  bool fullOutput;  // standard output on a device that is full
  int status;
  const texts::Text* says;
};
constexpr Unfinished kUnfinished[] = {
    {"firstWriteProtected", "pwrite64:error=EROFS:when=1", false, 1, &texts::kNothingWritten},
    {"laterWriteProtected", "pwrite64:error=EROFS:when=2", false, 3, &texts::kPartlyWrittenCli},
    {"laterWriteFailed", "pwrite64:error=EIO:when=2", false, 3, &texts::kPartlyWrittenCli},
    {"flushFailed", "fdatasync:error=EIO", false, 3, &texts::kFlushFailedCli},
    {"reportUnprinted", "", true, 3, &texts::kOutputFailed},
};

// Runs `command` on a copy of `pre` in each of those ways, the journal folder `state` emptied
// first: a change left cut short would be finished first.
void ExpectUnfinishedRunsTold(const std::string& command, const fs::path& pre, const fs::path& dir,
                              const fs::path& state) {
  const fs::path work = fs::absolute(dir / "work.img");
  const fs::path errors = dir / "errors.txt";
  for (const Unfinished& run : kUnfinished) {
    SCOPED_TRACE(run.name);
    fs::remove_all(state);
    ASSERT_TRUE(CopySparse(pre, work));
    const int status =
        Traced({command, work.string()}, work, dir / "trace.txt", run.inject,
               {.output = run.fullOutput ? fs::path("/dev/full") : fs::path(), .errors = errors});
    ASSERT_TRUE(WIFEXITED(status)) << "status " << status;
    EXPECT_EQ(WEXITSTATUS(status), run.status);
    const auto bytes = testing::ReadBytes(errors);
    const std::string told(bytes.begin(), bytes.end());
    EXPECT_NE(told.find(texts::Tr(*run.says)), std::string::npos) << told;
    if (run.status == 1) {
      EXPECT_TRUE(CompareImages(pre, work, 1).empty()) << "the volume changed";
    } else {
      EXPECT_EQ(told.find(texts::Tr(texts::kNothingWritten)), std::string::npos) << told;
    }
  }
}

TEST_F(CrashTest, JournalComesFirstAndAnUnfinishedRepairSaysWhetherItWrote) {
  ExpectJournalBeforeFirstWrite("repair", base_, dir_.path());
  ExpectUnfinishedRunsTold("repair", base_, dir_.path(), dir_ / "state");
}

// A command's calls on the volume in a run to its end: for each call the writes that succeeded
// before it, and the last write.
struct FullRun {
  std::vector<Call> calls;
  std::vector<std::size_t> writesBefore;
  std::size_t lastWrite = 0;
};

FullRun ReadFullRun(const fs::path& trace) {
  FullRun run{ReadTrace(trace), {}, 0};
  std::size_t written = 0;
  for (std::size_t i = 0; i < run.calls.size(); ++i) {
    run.writesBefore.push_back(written);
    if (run.calls[i].name != kVolumeWrite) continue;
    run.lastWrite = i;
    if (std::stoll(run.calls[i].result) >= 0) ++written;
  }
  return run;
}

// clean and undo on a stick of the H-worm family (FAT32 or exFAT), and move-back on one of the
// blank-folder worm's, killed at each write and at each later call on the volume.
class CleanCrashTest : public ::testing::TestWithParam<testing::StickFs> {
 protected:
  void SetUp() override {
    ASSERT_EQ(::setenv("XDG_STATE_HOME", state_.c_str(), 1), 0);
    const std::string why = testing::MakeStick(testing::HWormStick(GetParam()), base_);
    if (!why.empty()) GTEST_SKIP() << why;
  }

  // Runs a command to its end (its output ignored), with the state folder emptied first.
  static int Cli(const std::string& arguments) {
    return Shell(Quote(testing::CliPath()) + " " + arguments).status;
  }
  void EmptyState() { fs::remove_all(state_); }
  // Whether the file system's checker finds the image clean.
  bool FsckClean(const fs::path& image) const {
    const bool exfat = GetParam() == testing::StickFs::kExfat;
    return Shell((exfat ? "fsck.exfat -n " : "fsck.fat -n ") + Quote(image.string()), true)
               .status == 0;
  }

  // Kills `command` on `pre` (a copy each time, the state folder empty) on entering each of its
  // writes to the volume and each later call on it, checks that the kill landed there, and calls
  // `check` with the killed image, the writes made before the kill and the run's output.
  void KillEverywhere(
      const fs::path& pre, const fs::path& post, const std::vector<std::string>& command,
      const std::function<void(const fs::path&, std::size_t, const std::string&)>& check) {
    const fs::path work = fs::absolute(dir_ / "work.img");
    const fs::path trace = dir_ / "trace.txt";
    const fs::path output = dir_ / "output.txt";
    const auto arguments = [&] {
      auto all = command;
      all.push_back(work.string());
      return all;
    };
    EmptyState();
    ASSERT_TRUE(CopySparse(pre, work));
    const int status = Traced(arguments(), work, trace, "");
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
    ASSERT_TRUE(CompareImages(post, work, 1).empty()) << "the traced run differs";
    const FullRun run = ReadFullRun(trace);
    ASSERT_GT(run.writesBefore.back(), 0u) << "no write";
    ASSERT_TRUE(std::any_of(
        run.calls.begin() + static_cast<std::ptrdiff_t>(run.lastWrite), run.calls.end() - 1,
        [](const Call& c) { return c.name == "fsync" || c.name == "fdatasync"; }))
        << "no flush between the last write and the last call";
    std::map<std::string, int> seen;
    int kills = 0;
    for (std::size_t i = 0; i < run.calls.size(); ++i) {
      const int nth = ++seen[run.calls[i].name];
      if (run.calls[i].name != kVolumeWrite && i <= run.lastWrite) continue;
      const std::string aim = run.calls[i].name + " #" + std::to_string(nth);
      SCOPED_TRACE("killed on entering " + aim + ", after " + std::to_string(run.writesBefore[i]) +
                   " writes");
      EmptyState();
      ASSERT_TRUE(CopySparse(pre, work));
      const int killed = Traced(arguments(), work, trace,
                                run.calls[i].name + ":signal=SIGKILL:when=" + std::to_string(nth),
                                {.output = output});
      ASSERT_TRUE(WIFSIGNALED(killed) && WTERMSIG(killed) == SIGKILL) << "status " << killed;
      std::vector<Call> expected(run.calls.begin(),
                                 run.calls.begin() + static_cast<std::ptrdiff_t>(i + 1));
      expected.back().result = "?";
      ASSERT_EQ(ReadTrace(trace), expected) << "the kill did not land on " << aim;
      const auto printed = testing::ReadBytes(output);
      check(work, run.writesBefore[i], std::string(printed.begin(), printed.end()));
      ++kills;
    }
    std::printf("%zu writes; %d kills, each where it was aimed\n", run.writesBefore.back(), kills);
  }

  testing::TempDir dir_;
  fs::path state_ = dir_ / "state";
  fs::path base_ = fs::absolute(dir_ / "base.img");

  void KilledIsUndoneOrFinished(const std::vector<std::string>& command, const fs::path& pre);
};

// `command` killed anywhere on `pre` has printed its journal's path; undoing that journal gives
// back the stick as it was, and running the command again instead finishes it: byte for byte as a
// run to its end, the checker finding each clean.
void CleanCrashTest::KilledIsUndoneOrFinished(const std::vector<std::string>& arguments,
                                              const fs::path& pre) {
  std::string command;
  for (const std::string& argument : arguments) command += Quote(argument) + " ";
  const fs::path done = dir_ / "done.img";
  ASSERT_TRUE(CopySparse(pre, done));
  ASSERT_EQ(Cli(command + Quote(done.string())), 0);
  ASSERT_TRUE(FsckClean(done));
  ASSERT_FALSE(CompareImages(pre, done, 1).empty()) << command << " changed nothing";
  const std::string saved = texts::Tr(texts::kJournalSaved);
  const std::string lead = saved.substr(0, saved.find('%'));
  const fs::path copy = dir_ / "copy.img";
  KillEverywhere(pre, done, arguments,
                 [&](const fs::path& killed, std::size_t writes, const std::string& output) {
                   const auto at = output.find(lead);
                   ASSERT_NE(at, std::string::npos) << output;
                   const std::string journal =
                       output.substr(at + lead.size(), output.find('\n', at) - at - lead.size());
                   ASSERT_TRUE(fs::is_regular_file(journal)) << journal;
                   // Nothing was written before the kill: the old bytes are there already.
                   ASSERT_TRUE(CopySparse(killed, copy));
                   ASSERT_EQ(Cli("undo " + Quote(journal) + " " + Quote(copy.string())), 0);
                   EXPECT_TRUE(CompareImages(pre, copy, 1).empty()) << "undo differs";
                   EXPECT_TRUE(FsckClean(copy));
                   ASSERT_TRUE(CopySparse(killed, copy));
                   ASSERT_EQ(Cli(command + Quote(copy.string())), 0);
                   EXPECT_TRUE(CompareImages(done, copy, 1).empty())
                       << "the second run differs, after " << writes << " writes";
                   EXPECT_TRUE(FsckClean(copy));
                 });
}

TEST_P(CleanCrashTest, KilledCleanIsUndoneOrFinished) {
  KilledIsUndoneOrFinished({"clean"}, base_);
}

// move-back too, on the stick of the worm that moved the files into a blank folder.
TEST_P(CleanCrashTest, KilledMoveBackIsUndoneOrFinished) {
  const fs::path blank = fs::absolute(dir_ / "blank.img");
  const std::string why =
      testing::MakeStick(testing::BlankFolderStick(GetParam(), "\u00A0"), blank);
  if (!why.empty()) GTEST_SKIP() << why;
  KilledIsUndoneOrFinished({"move-back"}, blank);
}

// fix too, which shows the blank folder, removes the shortcut and moves the files back in one
// commit.
TEST_P(CleanCrashTest, KilledFixIsUndoneOrFinished) {
  const fs::path blank = fs::absolute(dir_ / "blank.img");
  const std::string why =
      testing::MakeStick(testing::BlankFolderStick(GetParam(), "\u00A0"), blank);
  if (!why.empty()) GTEST_SKIP() << why;
  KilledIsUndoneOrFinished({"fix"}, blank);
}

// restore too, which puts a removed file back from fix's quarantine: run again after the kill,
// it finds the file back already and does not put it back twice.
TEST_P(CleanCrashTest, KilledRestoreIsUndoneOrFinished) {
  const fs::path infected = fs::absolute(dir_ / "infected.img");
  const std::string why =
      testing::MakeStick(testing::BlankFolderStick(GetParam(), "\u00A0"), infected);
  if (!why.empty()) GTEST_SKIP() << why;
  const fs::path journal = fs::absolute(dir_ / "fix.journal");
  ASSERT_EQ(Cli("fix --journal " + Quote(journal.string()) + " " + Quote(infected.string())), 0);
  KilledIsUndoneOrFinished(
      {"restore", repair::QuarantineOf(journal).string(), "KINGSTON (8GB).lnk"}, infected);
}

// fix's quarantine reaches the disk before its journal is written: killed on entering the
// journal's first write, it has left the quarantine whole, no journal that can be read and the
// stick as it was; a fix run again then finishes as one that was not cut short.
TEST_P(CleanCrashTest, FixWritesItsQuarantineBeforeItsJournal) {
  const fs::path pre = fs::absolute(dir_ / "blank.img");
  const std::string why = testing::MakeStick(testing::BlankFolderStick(GetParam(), "\u00A0"), pre);
  if (!why.empty()) GTEST_SKIP() << why;
  const fs::path done = dir_ / "done.img";
  ASSERT_TRUE(CopySparse(pre, done));
  ASSERT_EQ(Cli("fix " + Quote(done.string())), 0);
  EmptyState();

  const fs::path work = fs::absolute(dir_ / "work.img");
  const fs::path journal = fs::absolute(dir_ / "fix.journal");
  const fs::path quarantine = repair::QuarantineOf(journal);
  const fs::path trace = dir_ / "trace.txt";
  const std::vector<std::string> command = {"fix", "--journal", journal.string(), work.string()};
  ASSERT_TRUE(CopySparse(pre, work));
  const int status = Traced(command, work, trace, "", {.files = {journal, quarantine}});
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
  const std::vector<Call> calls = ReadTrace(trace);
  const auto on = [&](const fs::path& file, const char* name) {
    return std::find_if(calls.begin(), calls.end(), [&](const Call& call) {
      return call.file == file.filename().string() && call.name == name;
    });
  };
  const auto journalWrite = on(journal, "write");
  ASSERT_NE(journalWrite, calls.end()) << "no journal written";
  ASSERT_LT(on(quarantine, "fsync"), journalWrite) << "the quarantine is not on the disk first";
  const int nth = static_cast<int>(std::count_if(
      calls.begin(), journalWrite + 1, [](const Call& call) { return call.name == "write"; }));

  fs::remove(journal);
  fs::remove(quarantine);
  ASSERT_TRUE(CopySparse(pre, work));
  const int killed =
      Traced(command, work, trace, "write:signal=SIGKILL:when=" + std::to_string(nth),
             {.files = {journal, quarantine}});
  ASSERT_TRUE(WIFSIGNALED(killed) && WTERMSIG(killed) == SIGKILL) << "status " << killed;
  std::vector<Call> expected(calls.begin(), journalWrite + 1);
  expected.back().result = "?";
  ASSERT_EQ(ReadTrace(trace), expected) << "the kill did not land on the journal's write";
  EXPECT_TRUE(CompareImages(pre, work, 1).empty()) << "the stick changed";
  const auto kept = repair::ReadQuarantine(quarantine);
  ASSERT_TRUE(kept) << "the quarantine is not whole";
  EXPECT_FALSE(kept->files.empty());
  EXPECT_FALSE(repair::ReadJournal(journal)) << "a journal was written";
  ASSERT_EQ(Cli("fix " + Quote(work.string())), 0);
  EXPECT_TRUE(CompareImages(done, work, 1).empty()) << "the second run differs";
  EXPECT_TRUE(FsckClean(work));
}

// undo killed anywhere is finished by running it again.
TEST_P(CleanCrashTest, KilledUndoIsFinishedByRunningItAgain) {
  const fs::path cleaned = dir_ / "cleaned.img";
  const fs::path journal = dir_ / "clean.journal";
  ASSERT_TRUE(CopySparse(base_, cleaned));
  ASSERT_EQ(Cli("clean --journal " + Quote(journal.string()) + " " + Quote(cleaned.string())), 0);
  KillEverywhere(cleaned, base_, {"undo", journal.string()},
                 [&](const fs::path& killed, std::size_t, const std::string&) {
                   ASSERT_EQ(Cli("undo " + Quote(journal.string()) + " " + Quote(killed.string())),
                             0);
                   EXPECT_TRUE(CompareImages(base_, killed, 1).empty()) << "the second run differs";
                   EXPECT_TRUE(FsckClean(killed));
                 });
}

TEST_P(CleanCrashTest, JournalComesFirstAndAnUnfinishedCleanSaysWhetherItWrote) {
  ExpectJournalBeforeFirstWrite("clean", base_, dir_.path());
  ExpectUnfinishedRunsTold("clean", base_, dir_.path(), state_);
}

// clean --json that cannot complete says in its problem whether it had written: not when its
// first write was refused, and so when a later one failed.
TEST_P(CleanCrashTest, AnUnfinishedCleanSaysInItsJsonWhetherItWrote) {
  const fs::path work = fs::absolute(dir_ / "work.img");
  const fs::path output = dir_ / "output.json";
  for (const Unfinished& run : {kUnfinished[0], kUnfinished[2]}) {
    SCOPED_TRACE(run.name);
    EmptyState();
    ASSERT_TRUE(CopySparse(base_, work));
    const int status = Traced({"clean", "--json", work.string()}, work, dir_ / "trace.txt",
                              run.inject, {.output = output});
    ASSERT_TRUE(WIFEXITED(status)) << "status " << status;
    EXPECT_EQ(WEXITSTATUS(status), run.status);
    const auto bytes = testing::ReadBytes(output);
    const auto json = nlohmann::json::parse(bytes.begin(), bytes.end(), nullptr, false);
    ASSERT_TRUE(json.contains("problem")) << std::string(bytes.begin(), bytes.end());
    EXPECT_EQ(json["problem"]["any_written"], run.status == 3);
  }
}

INSTANTIATE_TEST_SUITE_P(Sticks, CleanCrashTest,
                         ::testing::Values(testing::StickFs::kFat32, testing::StickFs::kExfat),
                         [](const auto& info) { return testing::StickFsName(info.param); });

}  // namespace
}  // namespace kestrova::proof
