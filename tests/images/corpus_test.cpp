// SPDX-License-Identifier: GPL-3.0-or-later
// The corpus: a stick of each worm family on each file system it is made on, and the careful
// user's stick and the vaccines beside them. The analysis judges every thing on a stick as its
// builder says; scan names the virus's things and the unsure ones; repair and then clean keep
// every file that is not the virus's with its bytes, show again what the worm hid, remove the
// virus's root files and leave other systems' files, vaccines and unsure things as they were;
// undo of both puts every byte back.
#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>
#include <string>
#include <vector>

#include "exfat_tools.h"
#include "fat_tools.h"
#include "format/codepage.h"
#include "image_tools.h"
#include "infected_sticks.h"
#include "verdicts.h"

namespace kestrova::testing {
namespace {

// The verdicts a thing may get: "user|" is "user" or none ("").
std::vector<std::string> Alternatives(const std::string& verdict) {
  std::vector<std::string> alternatives;
  std::istringstream parts(verdict);
  for (std::string part; std::getline(parts, part, '|');) alternatives.push_back(part);
  if (verdict.empty() || verdict.ends_with('|')) alternatives.push_back("");
  return alternatives;
}

bool MayBe(const StickItem& item, const std::string& verdict) {
  if (!item.verdict) return false;
  const auto alternatives = Alternatives(*item.verdict);
  return *item.verdict == kAnyVerdict ||
         std::find(alternatives.begin(), alternatives.end(), verdict) != alternatives.end();
}

// Whether clean may take it away: it, or a folder it lies in, may be the virus's.
bool MayGo(const InfectedStick& stick, const StickItem& item) {
  for (std::string path = item.path;; path.resize(path.rfind('/'))) {
    const StickItem* held = stick.Find(path);
    if (held && MayBe(*held, "virus")) return true;
    if (path.find('/') == std::string::npos) return false;
  }
}

bool InRoot(const StickItem& item) { return item.path.find('/') == std::string::npos; }

CommandResult Fsck(const std::filesystem::path& image, StickFs fs) {
  return Run((fs == StickFs::kExfat ? "fsck.exfat -n " : "fsck.fat -n ") + Quote(image.string()),
             true);
}

class CorpusTest : public ::testing::TestWithParam<InfectedStick> {
 protected:
  TempDir dir;
  std::filesystem::path image = dir / "stick.img";
};

// Each stick is checked by its file system's checker before and after: fsck.fat accepts the
// blank folder whose name is only its short entry's byte 0xFF (the no-break space of code page
// 437) like any other folder.
TEST_P(CorpusTest, VerdictsThenRepairCleanAndUndoKeepWhatIsNotTheVirus) {
  const InfectedStick& stick = GetParam();
  const std::string why = MakeStick(stick, image);
  ASSERT_FALSE(HasFailure());
  if (!why.empty()) GTEST_SKIP() << "the stick cannot be made here: " << why;
  const auto checked = Fsck(image, stick.fs);
  ASSERT_EQ(checked.status, 0) << checked.output;

  // The stick is as described: every file with its bytes, every attribute byte that was set.
  const auto files = StickFiles(image, stick.fs);
  const auto attributes = StickAttributes(image, stick.fs);
  for (const StickItem& item : stick.items) {
    SCOPED_TRACE(item.path);
    if (!item.folder()) {
      EXPECT_EQ(files.count("/" + item.path), 1u);
    }
    if (item.attributes != 0 && (InRoot(item) || stick.fs != StickFs::kExfat)) {
      ASSERT_TRUE(attributes.count(item.path));
      EXPECT_EQ(attributes.at(item.path), item.attributes);
    }
  }

  const auto verdicts = VerdictsOf(image);
  for (const StickItem& item : stick.items) {
    if (!item.verdict || *item.verdict == kAnyVerdict) continue;
    const auto judged = verdicts.find(VerdictPath(item.path));
    const std::string verdict = judged == verdicts.end() ? "" : judged->second;
    EXPECT_TRUE(MayBe(item, verdict))
        << item.path << " judged \"" << verdict << "\", not \"" << *item.verdict << "\"";
  }

  // scan names the virus's things and the unsure ones, their invisible characters as code points.
  const auto scan = Cli("scan " + Quote(image.string()));
  ASSERT_EQ(scan.status, 0) << scan.err;
  for (const StickItem& item : stick.items) {
    if (item.verdict != "virus" && item.verdict != "unsure") continue;
    const std::string name = item.path.substr(item.path.rfind('/') + 1);
    EXPECT_NE(scan.out.find(repair::VisibleName(name)), std::string::npos)
        << repair::VisibleName(name) << " not in\n"
        << scan.out;
  }
  // Nor does a blank name show raw, also in front of what the blank folder holds.
  for (const char* invisible : {"\u202E", "\u00A0", "\u2007", "\u3000"}) {
    EXPECT_EQ(scan.out.find(invisible), std::string::npos) << scan.out;
  }

  const auto before = dir / "before.img";
  ASSERT_TRUE(CopySparse(image, before));
  const auto repair = Cli("repair --journal " + Quote((dir / "repair.journal").string()) + " " +
                          Quote(image.string()));
  ASSERT_EQ(repair.status, 0) << repair.err;
  const auto clean = Cli("clean --journal " + Quote((dir / "clean.journal").string()) + " " +
                         Quote(image.string()));
  ASSERT_EQ(clean.status, 0) << clean.err;
  const auto fsck = Fsck(image, stick.fs);
  EXPECT_EQ(fsck.status, 0) << fsck.output;

  const auto filesAfter = StickFiles(image, stick.fs);
  const auto attributesAfter = StickAttributes(image, stick.fs);
  for (const StickItem& item : stick.items) {
    SCOPED_TRACE(item.path);
    const std::string file = "/" + item.path;
    if (!item.folder() && !MayGo(stick, item)) {
      ASSERT_TRUE(filesAfter.count(file));
      EXPECT_TRUE(filesAfter.at(file) == files.at(file));
    }
    if (InRoot(item) && item.verdict == "virus") {
      // The virus's root files go, and its folders with everything in them.
      EXPECT_EQ(filesAfter.count(file), 0u);
      EXPECT_EQ(attributesAfter.count(item.path), 0u);
      for (const auto& [path, bytes] : filesAfter) EXPECT_FALSE(path.starts_with(file + "/"));
    }
    if (!attributes.count(item.path)) continue;
    const std::uint16_t was = attributes.at(item.path);
    // The user's hidden entries come back, and so do the unsure folders.
    if ((item.verdict == "user" || (item.verdict == "unsure" && item.folder())) && was & 0x06) {
      ASSERT_TRUE(attributesAfter.count(item.path));
      EXPECT_EQ(attributesAfter.at(item.path) & 0x06, 0) << "still hidden";
    }
    if (item.verdict == "system" || item.verdict == "vaccine" ||
        (item.verdict == "unsure" && !item.folder())) {
      ASSERT_TRUE(attributesAfter.count(item.path));
      EXPECT_EQ(attributesAfter.at(item.path), was);
    }
  }

  // A clean with nothing to remove writes no journal.
  for (const auto& journal : {dir / "clean.journal", dir / "repair.journal"}) {
    if (!std::filesystem::exists(journal)) continue;
    const auto undo = Cli("undo " + Quote(journal.string()) + " " + Quote(image.string()));
    EXPECT_EQ(undo.status, 0) << undo.err;
  }
  EXPECT_TRUE(DifferingOffsets(before, image).empty());
}

std::vector<InfectedStick> Corpus() {
  using enum StickFs;
  std::vector<InfectedStick> sticks;
  for (const StickFs fs : {kFat32, kExfat, kFat16, kFat12}) sticks.push_back(HWormStick(fs));
  for (const StickFs fs : {kFat32, kExfat}) {
    for (const char* blank : {"\u00A0", "\u2007", "\u3000"}) {
      sticks.push_back(BlankFolderStick(fs, blank));
    }
    for (const auto make : {SysvolumeStick, MovemenoregStick, FolderDisguiseStick, TrickyNamesStick,
                            VaccineFolderStick, CarefulUserStick}) {
      sticks.push_back(make(fs));
    }
    sticks.push_back(AutorunWormStick(fs, false));
  }
  sticks.push_back(BlankFolderStick(kFat32, "\u00A0", 0xFF));
  sticks.push_back(AutorunWormStick(kFat16, true));
  sticks.push_back(VaccineFileStick(kFat32));
  sticks.push_back(VaccineFileStick(kFat12));
  return sticks;
}

INSTANTIATE_TEST_SUITE_P(Sticks, CorpusTest, ::testing::ValuesIn(Corpus()), [](const auto& info) {
  return info.param.family + "_" + StickFsName(info.param.fs);
});

}  // namespace
}  // namespace kestrova::testing
