// SPDX-License-Identifier: GPL-3.0-or-later
// The translations' machinery over the stand-ins of tests/translations: the plural forms that the
// build made of each Plural-Forms expression, the English said for what a translation lacks, the
// values put in by number and isolated in a language written right to left, and the language
// chosen from the environment as gettext chooses it.
#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <optional>
#include <string>

#include "words/texts.h"

namespace kestrova::testing {
namespace {

using texts::Language;

Language Named(const char* name) {
  const auto language = Language::Named(name);
  EXPECT_TRUE(language.has_value()) << name;
  return language.value_or(Language::kChinese);
}

TEST(TranslationsTest, CountsTakeTheFormThatTheLanguagesRuleGives) {
  const Language russian = Named("ru");
  const Language arabic = Named("ar");
  const std::map<unsigned long long, std::string> russianForms = {
      {1, "[ru one 1]"},      {2, "[ru few 2]"},    {4, "[ru few 4]"},   {5, "[ru many 5]"},
      {11, "[ru many 11]"},   {12, "[ru many 12]"}, {21, "[ru one 21]"}, {22, "[ru few 22]"},
      {111, "[ru many 111]"}, {0, "[ru many 0]"}};
  for (const auto& [n, form] : russianForms) {
    EXPECT_EQ(texts::Format(russian, texts::kFilesCount, n), form) << n;
  }
  const std::map<unsigned long long, std::string> arabicForms = {
      {0, "[ar zero 0]"},      {1, "[ar one 1]"},    {2, "[ar two 2]"},    {3, "[ar few 3]"},
      {10, "[ar few 10]"},     {11, "[ar many 11]"}, {99, "[ar many 99]"}, {100, "[ar other 100]"},
      {102, "[ar other 102]"}, {103, "[ar few 103]"}};
  for (const auto& [n, form] : arabicForms) {
    EXPECT_EQ(texts::Format(arabic, texts::kFilesCount, n), form) << n;
  }
  // Chinese has one form, English two.
  EXPECT_EQ(texts::Format(Language::kChinese, texts::kFilesCount, 1), "1个文件");
  EXPECT_EQ(texts::Format(Language::kEnglish, texts::kFilesCount, 1), "1 file");
  EXPECT_EQ(texts::Format(Language::kEnglish, texts::kFilesCount, 0), "0 files");
}

// What a translation lacks (missing, empty, fuzzy, a form left empty, other values than its
// source's) is said in English; the rest of the language stays.
TEST(TranslationsTest, WhatATranslationLacksIsSaidInEnglish) {
  const Language russian = Named("ru");
  EXPECT_STREQ(texts::Tr(texts::kRepair, russian), "[ru Repair]");
  EXPECT_STREQ(texts::Tr(texts::kRefresh, russian), "Refresh");  // fuzzy
  EXPECT_STREQ(texts::Tr(texts::kOk, russian), "OK");            // empty
  EXPECT_STREQ(texts::Tr(texts::kNo, russian), "No");            // missing
  // "[ru sector %s]" takes a string where the source takes a number.
  EXPECT_EQ(texts::Format(russian, texts::kReadFailed, 7),
            "Reading sector 7 of the drive failed! Check that the drive is still connected.");
  EXPECT_EQ(texts::Format(russian, texts::kRestoredCount, 1), "[ru one 1 restored]");
  EXPECT_EQ(texts::Format(russian, texts::kRestoredCount, 3), "3 folders restored.");  // empty
  EXPECT_EQ(texts::Format(russian, texts::kRestoredCount, 5), "[ru many 5 restored]");
  EXPECT_EQ(texts::Format(Named("ar"), texts::kRestoredCount, 1), "1 folder restored.");
}

TEST(TranslationsTest, NumberedValuesAreTakenByTheirNumbers) {
  EXPECT_EQ(texts::Format(Named("ru"), texts::kCannotOpen, " \"/dev/sdb1\"", 5),
            "[ru code 5, drive \"/dev/sdb1\"]");
  const texts::Value values[] = {{texts::Value::Kind::kString, 0, 0, 0, "a"},
                                 {texts::Value::Kind::kSigned, -3, 0, 0, {}}};
  EXPECT_EQ(texts::Render("%2$lld %1$s %2$04lld", values), "-3 a -003");
  // A value of another type is written as its own type; a conversion without a value stays as
  // it is written, and so does a percent sign that begins no conversion.
  EXPECT_EQ(texts::Render("%lld|%s|%lld|%3$s|%q|100%", values), "a|-3|%lld|%3$s|%q|100%");
}

// In a language written right to left, every string value keeps its own direction between the
// isolates; numbers and empty values get none, and no other language gets them.
TEST(TranslationsTest, StringValuesAreIsolatedInALanguageWrittenRightToLeft) {
  const Language arabic = Named("ar");
  EXPECT_TRUE(arabic.RightToLeft());
  EXPECT_FALSE(Named("ru").RightToLeft());
  EXPECT_FALSE(Language::kChinese.RightToLeft());
  EXPECT_EQ(texts::Format(arabic, texts::kJournalSaved, "/home/u/F.journal"),
            "[ar حفظ: \u2068/home/u/F.journal\u2069]");
  EXPECT_EQ(texts::Format(arabic, texts::kJournalSaved, ""), "[ar حفظ: ]");
  // Untranslated, the English is isolated too: its values sit in an Arabic window.
  EXPECT_EQ(texts::Format(arabic, texts::kCannotOpen, "X", 5),
            "Cannot open the drive\u2068X\u2069 (system error code 5).");
  EXPECT_EQ(texts::Format(Named("ru"), texts::kJournalSaved, "/j"),
            "The old contents are saved in: /j");
}

TEST(TranslationsTest, NamesFindTheLanguageOfTheTable) {
  EXPECT_EQ(Language::Count(), 4u);  // Chinese, English and the two stand-ins
  for (const char* name : {"ru", "ru_RU", "ru_RU.UTF-8", "ru_UA.KOI8-U@x", "ru-RU", "RU_ru"}) {
    EXPECT_EQ(Language::Named(name), Named("ru")) << name;
  }
  EXPECT_EQ(Named("ru").Code(), "ru");
  for (const char* name : {"zh", "zh_TW.Big5", "zh-Hans-CN"}) {
    EXPECT_EQ(Language::Named(name), Language::kChinese) << name;
  }
  EXPECT_EQ(Language::Named("en_GB.UTF-8"), Language::kEnglish);
  for (const char* name : {"de_DE.UTF-8", "C", "C.UTF-8", "POSIX", "", "arx"}) {
    EXPECT_FALSE(Language::Named(name).has_value()) << name;
    EXPECT_EQ(texts::LanguageOf(name), Language::kChinese) << name;
  }
  for (std::size_t i = 0; i < Language::Count(); ++i) {
    EXPECT_EQ(Language::Named(Language::At(i).Code()), Language::At(i));
  }
}

// Sets the environment's variables for as long as it lives, then puts back what was there.
class Environment {
 public:
  explicit Environment(std::map<std::string, const char*> values) {
    for (const char* name : {"LANGUAGE", "LC_ALL", "LC_MESSAGES", "LANG", "KESTROVA_LANG"}) {
      if (const char* old = std::getenv(name)) saved_[name] = old;
      const auto value = values.find(name);
      if (value != values.end() && value->second) {
        ::setenv(name, value->second, 1);
      } else {
        ::unsetenv(name);
      }
    }
  }
  ~Environment() {
    for (const char* name : {"LANGUAGE", "LC_ALL", "LC_MESSAGES", "LANG", "KESTROVA_LANG"}) {
      const auto old = saved_.find(name);
      if (old != saved_.end()) {
        ::setenv(name, old->second.c_str(), 1);
      } else {
        ::unsetenv(name);
      }
    }
  }
  Environment(const Environment&) = delete;
  Environment& operator=(const Environment&) = delete;

 private:
  std::map<std::string, std::string> saved_;
};

TEST(TranslationsTest, TheLanguageIsChosenAsGettextChoosesIt) {
  struct Case {
    std::map<std::string, const char*> environment;
    Language expected;
  };
  const Language russian = Named("ru");
  const Language arabic = Named("ar");
  const Case cases[] = {
      {{{"LANG", "ru_RU.UTF-8"}}, russian},
      {{{"LANG", "de_DE.UTF-8"}}, Language::kChinese},  // no German: the program's own
      {{{"LC_ALL", "ar_EG.UTF-8"}, {"LC_MESSAGES", "ru_RU.UTF-8"}, {"LANG", "en_US"}}, arabic},
      {{{"LC_MESSAGES", "ru_RU.UTF-8"}, {"LANG", "en_US"}}, russian},
      {{{"LC_ALL", ""}, {"LANG", "en_US.UTF-8"}}, Language::kEnglish},
      // LANGUAGE: its first language that the table has, unless the locale is C.
      {{{"LANGUAGE", "de:ar:ru"}, {"LANG", "ru_RU.UTF-8"}}, arabic},
      {{{"LANGUAGE", "de:fr"}, {"LANG", "ru_RU.UTF-8"}}, russian},
      {{{"LANGUAGE", "ar"}, {"LANG", "C.UTF-8"}}, Language::kChinese},
      {{{"LANGUAGE", "ar"}}, Language::kChinese},
      // KESTROVA_LANG before all of them; a name that the table lacks is passed over.
      {{{"KESTROVA_LANG", "ru"}, {"LANGUAGE", "ar"}, {"LC_ALL", "ar_EG.UTF-8"}}, russian},
      {{{"KESTROVA_LANG", "en"}, {"LANG", "ru_RU.UTF-8"}}, Language::kEnglish},
      {{{"KESTROVA_LANG", "xx"}, {"LANG", "ru_RU.UTF-8"}}, russian},
  };
  for (const auto& [environment, expected] : cases) {
    const Environment set(environment);
    std::string said;
    for (const auto& [name, value] : environment) said += name + "=" + (value ? value : "") + " ";
    EXPECT_EQ(texts::UserLanguage(), expected) << said;
  }
}

// The language given on the command line comes before every variable; sentences are joined
// with a space in it, and run together in Chinese.
TEST(TranslationsTest, AChosenLanguageComesFirstAndSpacesItsSentences) {
  const Environment set(std::map<std::string, const char*>{{"KESTROVA_LANG", "ar"}});
  EXPECT_EQ(texts::Sentences({"一。", "", "二。"}), "一。 二。");
  texts::SetLanguage(Language::kChinese);
  EXPECT_EQ(texts::UserLanguage(), Language::kChinese);
  EXPECT_EQ(texts::Sentences({"一。", "", "二。"}), "一。二。");
  texts::SetLanguage(Named("ru"));
  EXPECT_EQ(texts::UserLanguage(), Named("ru"));
  EXPECT_STREQ(texts::Tr(texts::kRepair), "[ru Repair]");
  EXPECT_EQ(texts::Sentences({"A.", "B."}), "A. B.");
  texts::SetLanguage(std::nullopt);
  EXPECT_EQ(texts::UserLanguage(), Named("ar"));
}

}  // namespace
}  // namespace kestrova::testing
