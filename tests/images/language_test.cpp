// SPDX-License-Identifier: GPL-3.0-or-later
// kestrova-cli speaks the language of the locale: Chinese for zh, for no locale (unset, empty, C,
// POSIX) and for a language without a translation, English for en; LC_ALL before LC_MESSAGES
// before LANG, each read from the environment whether or not the machine has generated that
// locale.
#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <ostream>
#include <sstream>
#include <string>

#include <nlohmann/json.hpp>

#include "fat_tools.h"
#include "image_tools.h"
#include "sample_stick.h"
#include "words/texts.h"

namespace kestrova::testing {
namespace {

using texts::Language;

struct LocaleCase {
  const char* name;
  const char* lcAll;  // nullptr: unset
  const char* lcMessages;
  const char* lang;
  Language expected;
};

void PrintTo(const LocaleCase& locale, std::ostream* out) { *out << locale.name; }

// Sets the three variables for as long as it lives, then puts back what was there.
class LocaleEnvironment {
 public:
  explicit LocaleEnvironment(const LocaleCase& locale) {
    const char* values[] = {locale.lcAll, locale.lcMessages, locale.lang};
    for (int i = 0; i < 3; ++i) {
      if (const char* old = std::getenv(kNames[i])) saved_[i] = old;
      if (values[i]) {
        ::setenv(kNames[i], values[i], 1);
      } else {
        ::unsetenv(kNames[i]);
      }
    }
  }
  ~LocaleEnvironment() {
    for (int i = 0; i < 3; ++i) {
      if (saved_[i]) {
        ::setenv(kNames[i], saved_[i]->c_str(), 1);
      } else {
        ::unsetenv(kNames[i]);
      }
    }
  }
  LocaleEnvironment(const LocaleEnvironment&) = delete;
  LocaleEnvironment& operator=(const LocaleEnvironment&) = delete;

 private:
  static constexpr const char* kNames[] = {"LC_ALL", "LC_MESSAGES", "LANG"};
  std::optional<std::string> saved_[3];
};

class LanguageTest : public ::testing::TestWithParam<LocaleCase> {
 protected:
  TempDir dir;
};

// A refusal prints its title and text in the locale's language, and a repair its own lines.
TEST_P(LanguageTest, RefusalAndRepairSpeakTheLocalesLanguage) {
  const Language language = GetParam().expected;
  const auto blank = dir / "blank.img";
  const auto infected = dir / "infected.img";
  ASSERT_EQ(testing::Run("truncate -s 8M " + Quote(blank.string())).status, 0);
  ASSERT_TRUE(MakeFat32Image(infected, 64 * 1024));
  ASSERT_EQ(Mtools("mmd", infected, "::/HIDDEN").status, 0);
  ASSERT_EQ(Mtools("mattrib", infected, "+h +s ::/HIDDEN").status, 0);

  const LocaleEnvironment environment(GetParam());
  const auto refused = Cli("analyze " + Quote(blank.string()));
  EXPECT_EQ(refused.status, 1);
  EXPECT_EQ(refused.err, std::string(texts::Tr(texts::kErrorTitle, language)) + ": " +
                             texts::Tr(texts::kUnsupportedFileSystem, language) + "\n");

  // Every line of analyze and scan.
  const auto lead = [&](const texts::Text& text) {
    const std::string words = texts::Tr(text, language);
    return words.substr(0, words.find('%'));
  };
  const auto analyzed = Cli("analyze " + Quote(infected.string()));
  ASSERT_EQ(analyzed.status, 0) << analyzed.err;
  std::istringstream lines(analyzed.out);
  std::string line;
  for (const texts::Text* text :
       {&texts::kLayoutFileSystem, &texts::kLayoutSectorBytes, &texts::kLayoutReservedSectors,
        &texts::kLayoutFatSectors, &texts::kLayoutFatCount, &texts::kLayoutClusterSectors,
        &texts::kLayoutDataStart, &texts::kLayoutTotalSectors, &texts::kLayoutClusters,
        &texts::kLayoutRootClusterCount, &texts::kLayoutRootClusters}) {
    ASSERT_TRUE(std::getline(lines, line)) << analyzed.out;
    EXPECT_TRUE(line.starts_with(lead(*text))) << line;
  }
  EXPECT_FALSE(std::getline(lines, line)) << line;
  const auto scanned = Cli("scan " + Quote(infected.string()));
  EXPECT_EQ(scanned.out, "0x16\tHIDDEN\t\t\n");
  EXPECT_EQ(scanned.err, texts::Format(language, texts::kWouldRepairCount, 1) + "\n");

  const auto repaired = Cli("repair " + Quote(infected.string()));
  EXPECT_EQ(repaired.status, 0) << repaired.err;
  const std::string completion = texts::Tr(texts::kCompletion, language);
  // The journal's path comes first, told before the first write.
  const std::string saved = texts::Tr(texts::kJournalSaved, language);
  EXPECT_TRUE(repaired.out.starts_with(saved.substr(0, saved.find('%')))) << repaired.out;
  const std::string expected = texts::Format(language, texts::kRestoredFolder, "HIDDEN") + "\n" +
                               texts::Format(language, texts::kRestoredCount, 1) + "\n" +
                               completion.substr(0, completion.find('\r')) + "\n";
  EXPECT_TRUE(repaired.out.substr(repaired.out.find('\n') + 1).starts_with(expected))
      << repaired.out;
}

// A program reads the same --json document whatever the user's language: a scan, a fix that
// repairs, removes and moves back, and the undo of it, on the sample stick, with the language
// chosen by KESTROVA_LANG, by --lang and by the locale.
TEST(JsonLanguageTest, DocumentsAreTheSameInEveryLanguage) {
  TempDir dir;
  const auto sample = dir / "sample.img";
  ASSERT_TRUE(MakeSampleImage(sample));
  std::vector<std::string> ways;
  for (std::size_t i = 0; i < Language::Count(); ++i) {
    const std::string code(Language::At(i).Code());
    ways.insert(ways.end(),
                {"KESTROVA_LANG=" + code, "--lang " + code, "LC_ALL=" + code + ".UTF-8"});
  }
  std::string first;
  for (std::size_t way = 0; way < ways.size(); ++way) {
    SCOPED_TRACE(ways[way]);
    // The same paths in every run: the documents name them.
    const auto image = dir / "stick.img";
    const auto journal = dir / "fix.journal";
    std::filesystem::remove(journal);
    std::filesystem::remove(dir / "fix.quarantine");
    ASSERT_TRUE(CopySparse(sample, image));
    const bool option = ways[way].starts_with("--");
    std::string documents;
    for (const std::string& command :
         {std::string("scan"), "fix --journal " + Quote(journal.string()),
          "undo " + Quote(journal.string())}) {
      const auto run = testing::Run((option ? "" : ways[way] + " ") + Quote(CliPath()) + " " +
                                    (option ? ways[way] + " " : "") + command + " --json " +
                                    Quote(image.string()) + " 2>/dev/null");
      ASSERT_EQ(run.status, 0) << command << "\n" << run.output;
      auto document = nlohmann::json::parse(run.output, nullptr, false);
      ASSERT_FALSE(document.is_discarded()) << run.output;
      document.erase("seconds");
      documents += document.dump(1) + "\n";
    }
    if (way == 0) first = documents;
    EXPECT_EQ(documents, first);
  }
  // The words of the documents, the same in all of them, are English.
  EXPECT_NE(first.find(texts::Tr(texts::kUsersHiddenDocument, Language::kEnglish)),
            std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(
    Locales, LanguageTest,
    ::testing::Values(
        LocaleCase{"English", "", "", "en_US.UTF-8", Language::kEnglish},
        LocaleCase{"Chinese", "", "", "zh_CN.UTF-8", Language::kChinese},
        LocaleCase{"Unset", nullptr, nullptr, nullptr, Language::kChinese},
        LocaleCase{"AllWins", "en_GB.UTF-8", nullptr, "zh_CN.UTF-8", Language::kEnglish},
        LocaleCase{"AllIsC", "C", nullptr, "en_US.UTF-8", Language::kChinese},
        LocaleCase{"MessagesBeforeLang", nullptr, "en_US.UTF-8", "zh_TW.UTF-8", Language::kEnglish},
        LocaleCase{"CUtf8", nullptr, nullptr, "C.UTF-8", Language::kChinese}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace kestrova::testing
