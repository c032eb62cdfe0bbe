// Crash safety of the repair pass: kestrova-cli repairs a volume whose root directory spans
// hundreds of clusters, and is killed (SIGKILL) at random moments, from before its first write to
// after its last. After each kill the volume must be clean for fsck.fat, every root sector must be
// entirely as before or entirely as repaired (and the repaired ones a prefix of the pass's order),
// nothing outside the root may have changed, and a second run must finish the repair exactly.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <fstream>
#include <random>
#include <set>
#include <thread>

#include "fat_image.h"
#include "fat_tools.h"

extern char** environ;

namespace kestrova::proof {
namespace {

namespace fs = std::filesystem;
using testing::CopySparse;
using testing::Quote;
// Named apart from ::testing::Test::Run, which a fixture would otherwise find first.
testing::CommandResult Shell(const std::string& command, bool withStderr = false) {
  return testing::Run(command, withStderr);
}

constexpr std::uint32_t kSectorsPerCluster = 8;
constexpr std::uint32_t kRootClusters = 160;
constexpr std::size_t kFolders = 400;
constexpr int kKills = 24;
constexpr std::uint64_t kSeed = 20261207;
// A deleted folder entry with hidden and system set: the pass rewrites its attribute, and
// fsck.fat ignores deleted entries, so every root sector can carry one.
constexpr std::uint8_t kDeletedMark = 0xE5;
constexpr std::uint8_t kHiddenSystemFolder = 0x16;
constexpr std::size_t kAttributeOffset = 11;
constexpr std::size_t kNameBytes = 11;
constexpr std::size_t kEntryBytes = 32;

std::vector<std::uint8_t> ReadSector(const fs::path& image, std::uint64_t sector) {
  return testing::ReadAt(image, sector * kImageSectorSize, kImageSectorSize);
}

// Starts `kestrova-cli repair IMAGE` with its output discarded.
pid_t StartRepair(const fs::path& image) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  std::string cli = testing::CliPath();
  std::string command = "repair";
  std::string target = image.string();
  char* argv[] = {cli.data(), command.data(), target.data(), nullptr};
  pid_t pid = -1;
  if (posix_spawn(&pid, cli.c_str(), &actions, nullptr, argv, environ) != 0) pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  return pid;
}

int WaitFor(pid_t pid) {
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return status;
}

class CrashTest : public ::testing::Test {
 protected:
  // The volume before the repair and after a complete one, and the root's sectors in the
  // order in which the pass handles them.
  void SetUp() override {
    ASSERT_TRUE(
        testing::MakeFat32Image(base_, 300 * 1024, "-s " + std::to_string(kSectorsPerCluster)));
    std::vector<std::string> names;
    for (std::size_t i = 0; i < kFolders; ++i) names.push_back("::/F" + std::to_string(i));
    for (std::size_t at = 0; at < names.size(); at += 100) {
      std::string mmd = "mmd -i " + Quote(base_.string());
      std::string mattrib = "mattrib -i " + Quote(base_.string()) + " +h +s";
      for (std::size_t i = at; i < std::min(names.size(), at + 100); ++i) {
        mmd += " " + Quote(names[i]);
        if (i % 3 != 0) mattrib += " " + Quote(names[i]);
      }
      ASSERT_EQ(Shell(mmd, true).status, 0);
      ASSERT_EQ(Shell(mattrib, true).status, 0);
    }
    FatImage fat(base_, true);
    const auto used = fat.RootChain()->size();
    ASSERT_TRUE(fat.GrowRoot(static_cast<std::uint32_t>(kRootClusters - used), 1000));
    const auto chain = *fat.RootChain();
    ASSERT_EQ(chain.size(), kRootClusters);
    // A deleted hidden folder in the last entry of every sector where that entry is unused (after
    // the end of the directory in most of them): the pass rewrites it all the same.
    std::vector<std::uint8_t> entry(kEntryBytes, 0);
    std::fill(entry.begin(), entry.begin() + kNameBytes, ' ');
    entry[0] = kDeletedMark;
    entry[kAttributeOffset] = kHiddenSystemFolder;
    for (const std::uint32_t cluster : chain) {
      auto bytes = fat.ReadCluster(cluster);
      for (std::size_t s = 0; s < kSectorsPerCluster; ++s) {
        const auto last = bytes.begin() + (s + 1) * kImageSectorSize - kEntryBytes;
        if (std::all_of(last, last + kEntryBytes, [](std::uint8_t b) { return b == 0; })) {
          std::copy(entry.begin(), entry.end(), last);
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
    const auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(Shell(Quote(testing::CliPath()) + " repair " + Quote(repaired_.string())).status, 0);
    fullRun_ = std::chrono::steady_clock::now() - start;
    for (const std::uint64_t s : rootSectors_) {
      ASSERT_NE(ReadSector(base_, s), ReadSector(repaired_, s)) << "sector " << s;
    }
  }

  testing::TempDir dir_;
  fs::path base_ = dir_ / "base.img";
  fs::path repaired_ = dir_ / "repaired.img";
  std::vector<std::uint64_t> rootSectors_;
  std::chrono::duration<double> fullRun_{};
};

TEST_F(CrashTest, KilledPassLeavesWholeSectorsAndASecondRunFinishes) {
  std::mt19937_64 rng(kSeed);
  // Delays spread evenly on a logarithmic scale from 20 microseconds to past the end of a run.
  std::uniform_real_distribution<double> logDelay(std::log(20e-6),
                                                  std::log(1.3 * fullRun_.count()));
  const fs::path work = dir_ / "work.img";
  int untouched = 0, partial = 0, complete = 0;
  for (int kill = 0; kill < kKills; ++kill) {
    const double delay = std::exp(logDelay(rng));
    SCOPED_TRACE("kill " + std::to_string(kill) + " after " + std::to_string(delay) + " s");
    ASSERT_TRUE(CopySparse(base_, work));
    const pid_t pid = StartRepair(work);
    ASSERT_GT(pid, 0);
    std::this_thread::sleep_for(std::chrono::duration<double>(delay));
    ::kill(pid, SIGKILL);
    WaitFor(pid);

    EXPECT_EQ(Shell("fsck.fat -n " + Quote(work.string()), true).status, 0);
    std::size_t newSectors = 0;
    bool oldSeen = false;
    for (const std::uint64_t s : rootSectors_) {
      const auto now = ReadSector(work, s);
      const bool isNew = now == ReadSector(repaired_, s);
      const bool isOld = now == ReadSector(base_, s);
      ASSERT_TRUE(isNew || isOld) << "sector " << s << " is torn";
      ASSERT_FALSE(isNew && oldSeen) << "sector " << s << " repaired after an unrepaired one";
      oldSeen = oldSeen || isOld;
      newSectors += isNew;
    }
    // Outside the root directory nothing moved.
    const std::set<std::uint64_t> root(rootSectors_.begin(), rootSectors_.end());
    for (const auto& d : CompareImages(base_, work)) {
      ASSERT_TRUE(root.count(d.offset / kImageSectorSize)) << "byte " << d.offset << " changed";
    }
    (newSectors == 0 ? untouched : newSectors == rootSectors_.size() ? complete : partial)++;

    ASSERT_EQ(Shell(Quote(testing::CliPath()) + " repair " + Quote(work.string())).status, 0);
    EXPECT_TRUE(CompareImages(repaired_, work, 1).empty()) << "second run differs";
  }
  std::printf(
      "full pass %.3f s over %zu sectors; %d kills: %d before any write, %d mid-pass, "
      "%d after the last write\n",
      fullRun_.count(), rootSectors_.size(), kKills, untouched, partial, complete);
  EXPECT_GT(partial, 0) << "no kill landed inside the pass";
}

}  // namespace
}  // namespace kestrova::proof
