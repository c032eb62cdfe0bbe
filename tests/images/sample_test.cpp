// SPDX-License-Identifier: GPL-3.0-or-later
// The sample stick that scripts/run.sh shows a newcomer (tools/make_sample_image.sh) holds what
// the whole flow acts on, and the flow leaves every file of the user's as it was.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <set>
#include <string>

#include "fat_tools.h"
#include "image_tools.h"

namespace kestrova::testing {
namespace {

TEST(SampleStickTest, ShowsTheWholeFlowAndKeepsTheUsersFiles) {
  TempDir dir;
  const auto image = dir / "sample.img";
  const auto made = testing::Run(Quote(KESTROVA_SAMPLE_SCRIPT) + " " + Quote(image.string()), true);
  ASSERT_EQ(made.status, 0) << made.output;
  const auto before = FatFiles(image);
  ASSERT_FALSE(before.empty());

  const auto scan = Cli("scan --json " + Quote(image.string()));
  ASSERT_EQ(scan.status, 0) << scan.err;
  const auto found = nlohmann::json::parse(scan.out);
  std::multiset<std::string> hidden;
  for (const auto& entry : found.at("hidden")) hidden.insert(entry.at("kind"));
  EXPECT_EQ(hidden.count("folder"), 5u);
  EXPECT_EQ(hidden.count("file"), 1u);
  std::set<std::string> virus;
  for (const auto& judged : found.at("verdicts")) {
    if (judged.at("verdict") == "virus") virus.insert(judged.at("path"));
  }
  const std::set<std::string> expected{"autorun.inf",
                                       "sys.vbs",
                                       "资料.lnk",
                                       "我的文档与照片备份.lnk",
                                       "MUSIC.lnk",
                                       "Old Projects.lnk",
                                       "KESTROVA (64MB).lnk",
                                       "\u00a0\\~$WQF5D.FAT32"};
  EXPECT_EQ(virus, expected);

  const auto repaired = Cli("repair " + Quote(image.string()));
  ASSERT_EQ(repaired.status, 0) << repaired.err;
  const auto cleaned = Cli("clean " + Quote(image.string()));
  ASSERT_EQ(cleaned.status, 0) << cleaned.err;
  const auto fsck = testing::Run("fsck.fat -n " + Quote(image.string()), true);
  EXPECT_EQ(fsck.status, 0) << fsck.output;

  // Every file but the worms' in the root is there with its bytes, the user's own shortcut among
  // them; the payload in the blank folder waits for the files to be moved out of it.
  auto kept = before;
  for (const auto& [path, bytes] : before) {
    const bool inRoot = path.find('/', 1) == std::string::npos;
    if (inRoot && virus.contains(path.substr(1))) kept.erase(path);
  }
  EXPECT_EQ(kept.size() + expected.size() - 1, before.size());
  EXPECT_EQ(FatFiles(image), kept);
}

}  // namespace
}  // namespace kestrova::testing
