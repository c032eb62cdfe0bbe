// SPDX-License-Identifier: GPL-3.0-or-later
// Randomized differential tests of the repair: each seed makes a FAT12, FAT16 or FAT32 volume,
// kestrova-cli repairs it, and the result is checked against an independent reading (the
// generator's own record, a raw parse of the root directory, mattrib, fsck.fat and a byte
// comparison).
//
//   kestrova_random_tests                 the fixed seeds, under GoogleTest (CTest runs these)
//   kestrova_random_tests --seconds N     soak: new seeds for N seconds, failures print their seed
//   kestrova_random_tests --seed S [--features F]   one volume, e.g. to replay a failure
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <set>
#include <sstream>
#include <string>

#include "fat_image.h"
#include "fat_tools.h"
#include "volume_generator.h"

namespace kestrova::proof {
namespace {

namespace fs = std::filesystem;
using testing::CliPath;
using testing::CopySparse;
using testing::Quote;
using testing::Run;

constexpr int kExitDone = 0;
constexpr int kExitRefused = 1;

std::atomic<int> volumesChecked{0};

bool FsckClean(const fs::path& image, std::string& output) {
  const auto checked = Run("fsck.fat -n " + Quote(image.string()), true);
  output = checked.output;
  return checked.status == 0;
}

std::string Describe(const std::map<std::string, unsigned>& attributes) {
  std::string text;
  for (const auto& [name, bits] : attributes) {
    text += "  " + name + " [" + AttributeLetters(bits) + "]\n";
  }
  return text;
}

// The attributes mattrib must show after the repair, from the generator's record alone: a root
// folder that carries hidden or system loses them and read-only, and keeps its archive bit;
// everything else keeps what it had.
std::map<std::string, unsigned> ExpectedAfterRepair(const GeneratedVolume& volume) {
  std::map<std::string, unsigned> expected;
  for (const auto& [name, item] : volume.rootItems) {
    // Folders lose hidden, system and read-only; the user's documents hidden and system.
    const bool virusMarked = (item.attributes & (kHidden | kSystem)) != 0;
    expected[name] = !virusMarked  ? item.attributes
                     : item.folder ? item.attributes & kArchive
                                   : item.attributes & ~(kHidden | kSystem);
  }
  return expected;
}

std::size_t LiveRepairsInRecord(const GeneratedVolume& volume) {
  const auto after = ExpectedAfterRepair(volume);
  std::size_t count = 0;
  for (const auto& [name, item] : volume.rootItems) count += after.at(name) != item.attributes;
  return count;
}

// Generates the volume of `seed`, repairs it and checks everything. Returns the problems found;
// empty means the repair was right.
std::vector<std::string> CheckVolume(std::uint64_t seed, unsigned features, std::string& summary) {
  std::vector<std::string> problems;
  testing::TempDir dir;
  const GeneratedVolume volume = GenerateVolume(seed, features, dir.path());
  summary = volume.description;
  if ((volume.features & features) != features) {
    problems.push_back("the generator could not give the volume every feature asked for");
  }
  const fs::path before = dir / "before.img";
  std::string fsckOutput;

  if (!FsckClean(volume.image, fsckOutput)) {
    problems.push_back("generated volume is not clean before the repair:\n" + fsckOutput);
    return problems;
  }
  std::map<std::string, unsigned> recorded;
  for (const auto& [name, item] : volume.rootItems) recorded[name] = item.attributes;
  const auto shownBefore = ListRootAttributes(volume.image);
  if (shownBefore != recorded) {
    problems.push_back("mattrib disagrees with the generator before the repair:\nshown\n" +
                       Describe(shownBefore) + "recorded\n" + Describe(recorded));
    return problems;
  }

  std::vector<ExpectedChange> expected;
  bool expectRefusal = false;
  {
    const FatImage fat(volume.image, false);
    expected = fat.PredictRepair();
    expectRefusal = fat.RootChain()->size() > 501;
  }
  std::size_t liveExpected = 0;
  for (const auto& change : expected) liveExpected += !change.deleted;
  if (liveExpected != LiveRepairsInRecord(volume)) {
    problems.push_back("raw reading finds " + std::to_string(liveExpected) +
                       " live entries to repair, the generator's record " +
                       std::to_string(LiveRepairsInRecord(volume)));
  }
  if (!CopySparse(volume.image, before)) throw std::runtime_error("cannot copy the image");

  // The read-only scan must list exactly the entries the repair is going to change.
  if (!expectRefusal) {
    const auto scan =
        Run(Quote(CliPath()) + " scan " + Quote(volume.image.string()) + " 2>/dev/null");
    // Each entry that the repair changes is a line of its attributes, its names and its flags.
    std::size_t lines = 0;
    std::istringstream listed(scan.output);
    for (std::string line; std::getline(listed, line);) lines += line.starts_with("0x");
    if (scan.status != kExitDone || lines != expected.size()) {
      problems.push_back("scan exit " + std::to_string(scan.status) + " listed " +
                         std::to_string(lines) + " entries, expected " +
                         std::to_string(expected.size()));
    }
  }

  const auto repaired = Run(Quote(CliPath()) + " repair " + Quote(volume.image.string()), true);
  const int wantedExit = expectRefusal ? kExitRefused : kExitDone;
  if (repaired.status != wantedExit) {
    problems.push_back("repair exited " + std::to_string(repaired.status) + ", expected " +
                       std::to_string(wantedExit) + ":\n" + repaired.output);
  }

  const auto differences = CompareImages(before, volume.image);
  if (expectRefusal) {
    if (!differences.empty()) {
      problems.push_back("a refused volume was changed at " + std::to_string(differences.size()) +
                         " bytes, first at " + std::to_string(differences.front().offset));
    }
    ++volumesChecked;
    return problems;
  }

  std::map<std::uint64_t, const ExpectedChange*> wanted;
  for (const auto& change : expected) wanted[change.offset] = &change;
  std::set<std::uint64_t> seen;
  for (const auto& d : differences) {
    if (!wanted.count(d.offset)) {
      problems.push_back("unexpected change at byte " + std::to_string(d.offset) + ": " +
                         std::to_string(d.a) + " -> " + std::to_string(d.b));
    } else if (d.b != wanted.at(d.offset)->after) {
      problems.push_back("attribute at byte " + std::to_string(d.offset) + " became " +
                         std::to_string(d.b) + ", expected " +
                         std::to_string(wanted.at(d.offset)->after));
    }
    seen.insert(d.offset);
    if (problems.size() > 20) return problems;
  }
  for (const auto& change : expected) {
    if (!seen.count(change.offset)) {
      problems.push_back("entry with attribute " + std::to_string(change.before) + " at byte " +
                         std::to_string(change.offset) + (change.deleted ? " (deleted)" : "") +
                         " was not repaired");
    }
  }

  if (!FsckClean(volume.image, fsckOutput)) {
    problems.push_back("fsck.fat -n reports problems after the repair:\n" + fsckOutput);
  }
  const auto shownAfter = ListRootAttributes(volume.image);
  const auto expectedAfter = ExpectedAfterRepair(volume);
  if (shownAfter != expectedAfter) {
    problems.push_back("mattrib after the repair:\n" + Describe(shownAfter) + "expected\n" +
                       Describe(expectedAfter));
  }

  // A second pass finds nothing more to change.
  const fs::path once = dir / "once.img";
  if (!CopySparse(volume.image, once)) throw std::runtime_error("cannot copy the image");
  const auto again = Run(Quote(CliPath()) + " repair " + Quote(volume.image.string()), true);
  if (again.status != kExitDone || !CompareImages(once, volume.image, 1).empty()) {
    problems.push_back("a second repair exited " + std::to_string(again.status) +
                       " or changed the volume");
  }
  ++volumesChecked;
  return problems;
}

struct Case {
  std::uint64_t seed;
  unsigned features;
};

void PrintTo(const Case& c, std::ostream* out) { *out << "seed " << c.seed; }

class RandomVolumes : public ::testing::TestWithParam<Case> {};

TEST_P(RandomVolumes, RepairMatchesIndependentReading) {
  std::string summary;
  const auto problems = CheckVolume(GetParam().seed, GetParam().features, summary);
  std::printf("%s\n", summary.c_str());
  for (const auto& problem : problems) ADD_FAILURE() << summary << "\n" << problem;
}

std::vector<Case> Seeds(std::uint64_t first, std::uint64_t count, unsigned features) {
  std::vector<Case> cases;
  for (std::uint64_t s = first; s < first + count; ++s) cases.push_back({s, features});
  return cases;
}

std::string CaseName(const ::testing::TestParamInfo<Case>& info) {
  return "seed" + std::to_string(info.param.seed);
}

INSTANTIATE_TEST_SUITE_P(Mixed, RandomVolumes, ::testing::ValuesIn(Seeds(1, 24, kPlain)), CaseName);
INSTANTIATE_TEST_SUITE_P(MovedRoot, RandomVolumes,
                         ::testing::ValuesIn(Seeds(500, 4, kMovedRoot | kManyEntries)), CaseName);
INSTANTIATE_TEST_SUITE_P(FarRoot, RandomVolumes, ::testing::ValuesIn(Seeds(600, 2, kFarRoot)),
                         CaseName);
INSTANTIATE_TEST_SUITE_P(HugeFat, RandomVolumes,
                         ::testing::ValuesIn(Seeds(700, 2, kHugeFat | kMovedRoot)), CaseName);
INSTANTIATE_TEST_SUITE_P(FullRoot, RandomVolumes, ::testing::ValuesIn(Seeds(800, 2, kFullRoot)),
                         CaseName);
INSTANTIATE_TEST_SUITE_P(TooLongRoot, RandomVolumes,
                         ::testing::ValuesIn(Seeds(900, 2, kTooLongRoot)), CaseName);
INSTANTIATE_TEST_SUITE_P(SmallFat, RandomVolumes, ::testing::ValuesIn(Seeds(1000, 4, kSmallFat)),
                         CaseName);
INSTANTIATE_TEST_SUITE_P(LargeSectors, RandomVolumes,
                         ::testing::ValuesIn(Seeds(1100, 3, kLargeSectors)), CaseName);
INSTANTIATE_TEST_SUITE_P(SmallFatLargeSectors, RandomVolumes,
                         ::testing::ValuesIn(Seeds(1200, 2, kSmallFat | kLargeSectors)), CaseName);

class CountReport : public ::testing::Environment {
 public:
  void TearDown() override { std::printf("volumes checked: %d\n", volumesChecked.load()); }
};

// Soak mode: fresh seeds, each with features drawn at random, until the time is up.
int Soak(double seconds, std::uint64_t firstSeed) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  std::mt19937_64 featureRng(firstSeed);
  int failed = 0;
  for (std::uint64_t seed = firstSeed; std::chrono::steady_clock::now() < end; ++seed) {
    // The costly shapes are rare; the generator adds the cheap ones by itself.
    unsigned features = kPlain;
    if (featureRng() % 12 == 0) features |= kFarRoot;
    if (featureRng() % 12 == 0) features |= kHugeFat;
    if (featureRng() % 8 == 0) features |= kFullRoot;
    std::string summary;
    std::vector<std::string> problems;
    try {
      problems = CheckVolume(seed, features, summary);
    } catch (const std::exception& error) {
      problems.push_back(std::string("generator failed: ") + error.what());
    }
    if (!problems.empty()) {
      ++failed;
      std::printf("FAILED seed %llu (features %u): %s\n", static_cast<unsigned long long>(seed),
                  features, summary.c_str());
      for (const auto& problem : problems) std::printf("  %s\n", problem.c_str());
    }
    std::fflush(stdout);
  }
  std::printf("volumes checked: %d, failed: %d\n", volumesChecked.load(), failed);
  return failed == 0 ? 0 : 1;
}

}  // namespace
}  // namespace kestrova::proof

int main(int argc, char** argv) {
  using namespace kestrova::proof;
  double seconds = -1;
  long long seed = -1;
  unsigned features = kPlain;
  for (int i = 1; i + 1 < argc; ++i) {
    if (!std::strcmp(argv[i], "--seconds")) seconds = std::atof(argv[i + 1]);
    if (!std::strcmp(argv[i], "--seed")) seed = std::atoll(argv[i + 1]);
    if (!std::strcmp(argv[i], "--features"))
      features = static_cast<unsigned>(std::atoi(argv[i + 1]));
  }
  if (seconds > 0) {
    const std::uint64_t first =
        seed >= 0 ? static_cast<std::uint64_t>(seed) : std::random_device{}() + 1000000ull;
    std::printf("soaking for %.0f s from seed %llu\n", seconds,
                static_cast<unsigned long long>(first));
    return Soak(seconds, first);
  }
  if (seed >= 0) {
    std::string summary;
    const auto problems = CheckVolume(static_cast<std::uint64_t>(seed), features, summary);
    std::printf("%s\n", summary.c_str());
    for (const auto& problem : problems) std::printf("  %s\n", problem.c_str());
    return problems.empty() ? 0 : 1;
  }
  ::testing::InitGoogleTest(&argc, argv);
  ::testing::AddGlobalTestEnvironment(new CountReport);
  return RUN_ALL_TESTS();
}
