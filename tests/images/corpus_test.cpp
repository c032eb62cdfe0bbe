// SPDX-License-Identifier: GPL-3.0-or-later
// The corpus: a stick of each worm family on each file system it is made on, and the careful
// user's stick and the vaccines beside them. The analysis judges every thing on a stick as its
// builder says; scan names the virus's things and the unsure ones; repair and then clean keep
// every file that is not the virus's with its bytes, show again what the worm hid, remove the
// virus's root files and leave other systems' files, vaccines and unsure things as they were;
// undo of both puts every byte back. fix, and repair, clean and move-back in any order, end with
// the same stick.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "exfat_tools.h"
#include "fat_tools.h"
#include "format/codepage.h"
#include "image_tools.h"
#include "infected_sticks.h"
#include "repair/verdicts.h"
#include "scoped_env.h"
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

// A stick's end as the lists compare it: every file with its bytes, and the attribute byte of
// every entry that StickAttributes reads.
struct StickEnd {
  std::map<std::string, std::vector<std::uint8_t>> files;
  std::map<std::string, std::uint16_t> attributes;
  bool operator==(const StickEnd&) const = default;
};

// Whether the description makes it the virus's: it, or a folder it lies in, is.
bool Virus(const InfectedStick& stick, const StickItem& item) {
  for (std::string path = item.path;; path.resize(path.rfind('/'))) {
    const StickItem* held = stick.Find(path);
    if (held && held->verdict == "virus") return true;
    if (path.find('/') == std::string::npos) return false;
  }
}

// fix, and repair, clean and move-back in several orders, each on a copy of the infected stick
// with a journal folder of its own that the commands of one order share: a later command recalls
// what an earlier one removed, so every order ends with the same stick as fix. None leaves a file
// of the virus's outside a folder of its that holds a document; each keeps every other file
// with its bytes, in its place or moved back into the root; the checker finds each clean; one undo
// of fix's journal gives back the infected stick.
TEST_P(CorpusTest, EveryOrderOfTheCommandsEndsAsFix) {
  const InfectedStick& stick = GetParam();
  const std::string why = MakeStick(stick, image);
  ASSERT_FALSE(HasFailure());
  if (!why.empty()) GTEST_SKIP() << "the stick cannot be made here: " << why;
  const auto files = StickFiles(image, stick.fs);
  ASSERT_FALSE(files.empty());

  const std::vector<std::vector<std::string>> orders = {
      {"fix"},
      {"repair", "clean", "move-back"},
      {"move-back", "clean", "repair"},
      {"clean", "move-back", "repair"},
      {"repair", "move-back", "clean"},
  };
  std::optional<StickEnd> fixed;
  for (std::size_t o = 0; o < orders.size(); ++o) {
    std::string named;
    for (const auto& command : orders[o]) named += (named.empty() ? "" : "-") + command;
    SCOPED_TRACE(named);
    const auto copy = dir / (named + ".img");
    const auto state = dir / ("state-" + std::to_string(o));
    ASSERT_TRUE(CopySparse(image, copy));
    const ScopedEnv journals("XDG_STATE_HOME", state.string());
    for (const auto& command : orders[o]) {
      const auto run = Cli(command + " " + Quote(copy.string()));
      ASSERT_EQ(run.status, 0) << command << ": " << run.err;
    }
    const auto checked = Fsck(copy, stick.fs);
    EXPECT_EQ(checked.status, 0) << checked.output;
    const StickEnd end{StickFiles(copy, stick.fs), StickAttributes(copy, stick.fs)};
    ASSERT_FALSE(end.files.empty());

    for (const StickItem& item : stick.items) {
      if (item.folder()) continue;
      SCOPED_TRACE(item.path);
      const std::string file = "/" + item.path;
      if (Virus(stick, item)) {
        // Gone, unless a folder of the virus's stays because it holds a document; from inside a
        // folder that stays, it goes alone.
        bool kept = false;
        for (std::string path = item.path; path.find('/') != std::string::npos;) {
          path.resize(path.rfind('/'));
          const bool document =
              std::any_of(stick.items.begin(), stick.items.end(), [&](const StickItem& one) {
                return one.path.starts_with(path + "/") && repair::IsDocument(one.path);
              });
          const StickItem* folder = stick.Find(path);
          kept = kept ||
                 (document && end.attributes.count(path) && folder && folder->verdict == "virus");
        }
        if (kept) continue;
        EXPECT_EQ(end.files.count(file), 0u) << "the virus's file is left";
        for (const auto& [path, bytes] : end.files) {
          EXPECT_FALSE(bytes == *item.bytes) << "the virus's file is left as " << path;
        }
      } else if (!MayGo(stick, item)) {
        // In its place, or moved back from the folder the virus moved it into.
        const auto slash = item.path.find('/');
        const std::string moved = slash == std::string::npos ? file : item.path.substr(slash);
        const auto at = end.files.count(file) ? end.files.find(file) : end.files.find(moved);
        ASSERT_NE(at, end.files.end()) << "the user's file is gone";
        EXPECT_TRUE(at->second == *item.bytes) << at->first << " changed";
      }
    }

    if (!fixed) {
      fixed = end;
      // Fix wrote one journal into its folder, unless it changed nothing: undone, it gives back
      // the infected stick.
      std::vector<std::filesystem::path> written;
      std::error_code none;
      for (const auto& entry :
           std::filesystem::recursive_directory_iterator(state / "kestrova", none)) {
        if (entry.path().extension() == ".journal") written.push_back(entry.path());
      }
      if (written.empty()) {
        EXPECT_TRUE(DifferingOffsets(image, copy).empty()) << "fix changed the stick unjournaled";
        continue;
      }
      ASSERT_EQ(written.size(), 1u);
      const auto undone = dir / "undone.img";
      ASSERT_TRUE(CopySparse(copy, undone));
      const auto undo = Cli("undo " + Quote(written[0].string()) + " " + Quote(undone.string()));
      ASSERT_EQ(undo.status, 0) << undo.err;
      EXPECT_TRUE(DifferingOffsets(image, undone).empty()) << "undo of fix differs";
      continue;
    }
    for (const auto& [path, bytes] : fixed->files) {
      EXPECT_TRUE(end.files.count(path)) << path << " is missing";
    }
    for (const auto& [path, bytes] : end.files) {
      const auto there = fixed->files.find(path);
      EXPECT_TRUE(there != fixed->files.end() && there->second == bytes)
          << path << (there == fixed->files.end() ? " is not left by fix" : " differs from fix's");
    }
    EXPECT_EQ(end.attributes, fixed->attributes);
  }
}

INSTANTIATE_TEST_SUITE_P(Sticks, CorpusTest, ::testing::ValuesIn(Corpus()), [](const auto& info) {
  return info.param.family + "_" + StickFsName(info.param.fs);
});

}  // namespace
}  // namespace kestrova::testing
