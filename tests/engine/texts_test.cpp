// SPDX-License-Identifier: GPL-3.0-or-later
// The table of texts: every entry speaks both languages, each in its own script, and puts in the
// same values the same way in both.
#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <regex>
#include <string>
#include <string_view>
#include <vector>

#include "words/texts.h"

namespace kestrova::testing {
namespace {

// The printf conversions of a format, in order; a '%' that begins none is listed as "%?".
std::vector<std::string> Conversions(const std::string& format) {
  static const std::regex conversion(
      R"(%(%|[-+ #0]*[0-9]*(\.[0-9]+)?(hh|h|ll|l|z)?[dicouxXeEfgGs]))");
  std::vector<std::string> found;
  for (std::size_t at = format.find('%'); at != std::string::npos; at = format.find('%', at)) {
    std::smatch match;
    if (std::regex_search(format.begin() + static_cast<std::ptrdiff_t>(at), format.end(), match,
                          conversion, std::regex_constants::match_continuous)) {
      found.push_back(match.str());
      at += match.length();
    } else {
      found.push_back("%?");
      ++at;
    }
  }
  return found;
}

bool Ascii(std::string_view text) {
  for (const char c : text) {
    if (static_cast<unsigned char>(c) >= 0x80) return false;
  }
  return true;
}

TEST(TextsTest, EveryEntryHasBothLanguagesWithTheSameConversions) {
  for (const auto& [name, text] : texts::kTable) {
    SCOPED_TRACE(name);
    const std::string chinese = text->chinese;
    const std::string english = text->english;
    // The English slot holds no Chinese or full-width punctuation, the Chinese slot no English.
    EXPECT_FALSE(english.empty());
    EXPECT_TRUE(Ascii(english)) << english;
    // An empty Chinese slot says the English (the command line's help).
    if (chinese.empty()) continue;
    EXPECT_FALSE(Ascii(chinese)) << chinese;
    const std::vector<std::string> conversions = Conversions(chinese);
    EXPECT_EQ(conversions, Conversions(english));
    for (const auto& conversion : conversions) EXPECT_NE(conversion, "%?") << chinese;
  }
}

// The conversions that the checks above compare are found as printf reads them.
TEST(TextsTest, ConversionsAreReadAsPrintfReadsThem) {
  EXPECT_EQ(Conversions("簇%lld的下一簇为0x%08llX，%s %5.1f%% 100%"),
            (std::vector<std::string>{"%lld", "%08llX", "%s", "%5.1f", "%%", "%?"}));
}

// Every text whose values are all strings is made by PutStrings as printf makes it, whatever the
// values hold; a format with any other conversion, or values that do not fit, is left to printf.
TEST(TextsTest, StringsArePutInAsPrintfPutsThem) {
  const std::vector<const char*> values = {"H%s 0", "文件夹%%", "", "x"};
  std::size_t made = 0;
  for (const auto& [name, text] : texts::kTable) {
    for (const char* format : {text->chinese, text->english}) {
      SCOPED_TRACE(format);
      const std::vector<std::string> conversions = Conversions(format);
      const auto strings = std::count(conversions.begin(), conversions.end(), "%s");
      const bool plain = std::all_of(conversions.begin(), conversions.end(),
                                     [](const auto& c) { return c == "%s" || c == "%%"; });
      if (!plain || strings > 4) {
        EXPECT_FALSE(texts::PutStrings(format, {"a", "b", "c", "d", "e", "f", "g", "h"}));
        continue;
      }
      const auto put = [&](auto... v) { return texts::PutStrings(format, {v...}); };
      const auto printed = [&](auto... v) { return texts::Printf(format, v...); };
      std::optional<std::string> got;
      std::string want;
      switch (strings) {
        case 0:
          got = put();
          want = printed();
          break;
        case 1:
          got = put(values[0]);
          want = printed(values[0]);
          break;
        case 2:
          got = put(values[0], values[1]);
          want = printed(values[0], values[1]);
          break;
        case 3:
          got = put(values[0], values[1], values[2]);
          want = printed(values[0], values[1], values[2]);
          break;
        default:
          got = put(values[0], values[1], values[2], values[3]);
          want = printed(values[0], values[1], values[2], values[3]);
      }
      ASSERT_TRUE(got.has_value());
      EXPECT_EQ(*got, want);
      ++made;
      // One value too many: printf would leave it out; PutStrings leaves the text to printf.
      EXPECT_FALSE(texts::PutStrings(format, {"a", "b", "c", "d", "e"}).has_value() && strings < 5);
    }
  }
  EXPECT_GT(made, 10u);
  EXPECT_EQ(texts::PutStrings("100%% %s", {"x"}), "100% x");
  EXPECT_FALSE(texts::PutStrings("%s and %s", {"x"}));  // too few values
  EXPECT_FALSE(texts::PutStrings("%5s", {"x"}));
  EXPECT_FALSE(texts::PutStrings("%lld %s", {"x"}));
  EXPECT_FALSE(texts::PutStrings("50%", {}));
  EXPECT_FALSE(texts::PutStrings("%s", {nullptr}));
  EXPECT_EQ(texts::Format(texts::kRestoredFolder, std::string("H1")),
            texts::Printf(texts::Tr(texts::kRestoredFolder), "H1"));
}

}  // namespace
}  // namespace kestrova::testing
