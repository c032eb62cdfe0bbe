// SPDX-License-Identifier: GPL-3.0-or-later
// The table of texts: every entry speaks both languages, each in its own script, and puts in the
// same values the same way in both.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdarg>
#include <cstdio>
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
    // A text with a percent sign that begins no conversion (%LOCALAPPDATA% in the help) is no
    // format: it is said as it is, never made.
    if (std::count(conversions.begin(), conversions.end(), "%?") > 0) continue;
    for (const auto& conversion : conversions) EXPECT_NE(conversion, "%?") << chinese;
  }
}

// The conversions that the checks above compare are found as printf reads them.
TEST(TextsTest, ConversionsAreReadAsPrintfReadsThem) {
  EXPECT_EQ(Conversions("簇%lld的下一簇为0x%08llX，%s %5.1f%% 100%"),
            (std::vector<std::string>{"%lld", "%08llX", "%s", "%5.1f", "%%", "%?"}));
}

// printf, as the reference that Render is compared with.
std::string Printed(const char* format, ...) {
  std::va_list values;
  va_start(values, format);
  std::array<char, 1024> text;
  const int length = std::vsnprintf(text.data(), text.size(), format, values);
  va_end(values);
  return std::string(text.data(), static_cast<std::size_t>(std::max(length, 0)));
}

// Every format of the table is made by Render as printf makes it, from values of the types its
// conversions take; strings keep their percent signs and get no conversion of their own.
TEST(TextsTest, EveryTextIsMadeAsPrintfMakesIt) {
  std::vector<const char*> formats;
  for (const auto& [name, text] : texts::kTable)
    formats.insert(formats.end(), {text->chinese, text->english});
  for (const auto& [name, text] : texts::kCountedTable) {
    formats.insert(formats.end(), {text->chinese, text->one, text->other});
  }
  std::size_t made = 0;
  for (const char* format : formats) {
    SCOPED_TRACE(format);
    const std::vector<std::string> conversions = Conversions(format);
    // A text with a percent sign that begins no conversion (%LOCALAPPDATA% in the help) is said
    // as it is, never made.
    if (std::count(conversions.begin(), conversions.end(), "%?") > 0) continue;
    std::vector<texts::Value> values;
    std::vector<std::string> strings;
    for (const auto& conversion : conversions) {
      if (conversion == "%%") continue;
      const char type = conversion.back();
      const std::size_t n = values.size();
      if (type == 's') {
        strings.push_back("v" + std::to_string(n) + "%s 文件夹%%");
      } else if (type == 'f') {
        values.push_back(
            {texts::Value::Kind::kDouble, 0, 0, 12.345 * static_cast<double>(n + 1), {}});
      } else if (type == 'd') {
        values.push_back({texts::Value::Kind::kSigned, -7 - static_cast<long long>(n), 0, 0, {}});
      } else {
        values.push_back({texts::Value::Kind::kUnsigned, 0, 0xABCDu + n, 0, {}});
      }
      if (type == 's') values.push_back({texts::Value::Kind::kString, 0, 0, 0, strings.back()});
    }
    // Up to three values, of any of the types, as the texts have them.
    if (values.size() > 3) continue;
    const auto argument = [&](const texts::Value& v) -> std::string {
      return v.kind == texts::Value::Kind::kString ? std::string(v.string) : std::string();
    };
    std::string want;
    // printf takes its values by their types: each combination that the table has is spelled out.
    const auto print = [&](auto... v) { want = Printed(format, v...); };
    const auto pick = [&](const texts::Value& v, auto then) {
      switch (v.kind) {
        case texts::Value::Kind::kString:
          return then(argument(v).c_str());
        case texts::Value::Kind::kSigned:
          return then(v.integer);
        case texts::Value::Kind::kUnsigned:
          return then(v.natural);
        case texts::Value::Kind::kDouble:
          return then(v.real);
      }
    };
    if (values.empty()) {
      print();
    } else if (values.size() == 1) {
      pick(values[0], [&](auto a) { print(a); });
    } else if (values.size() == 2) {
      pick(values[0], [&](auto a) { pick(values[1], [&](auto b) { print(a, b); }); });
    } else {
      pick(values[0], [&](auto a) {
        pick(values[1], [&](auto b) { pick(values[2], [&](auto c) { print(a, b, c); }); });
      });
    }
    EXPECT_EQ(texts::Render(format, values), want);
    ++made;
  }
  EXPECT_GT(made, 500u);
}

}  // namespace
}  // namespace kestrova::testing
