// SPDX-License-Identifier: GPL-3.0-or-later
// The table of texts: every entry speaks both languages, each in its own script, and puts in the
// same values the same way in both.
#include <gtest/gtest.h>

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

}  // namespace
}  // namespace kestrova::testing
