// SPDX-License-Identifier: GPL-3.0-or-later
// Every text of the Win32 window's fixed layout fits its control in every language, at the
// resolution that KESTROVA_FIT_DPI names (the tests wine.fits.96, .144 and .192):
// kestrova-fits.exe, the window's own code, measures them under Wine with the fonts that the
// controls draw them in; here they are judged. Only the Refresh link's font may be smaller than the
// design's, as the window makes it for a translation wider than the link.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <set>
#include <sstream>
#include <vector>

#include "wine_session.h"

namespace kestrova::testing::wine {
namespace {

// Chinese, English and each language of po/.
std::set<std::string> Languages() {
  std::set<std::string> languages{"zh", "en"};
  for (const auto& entry : std::filesystem::directory_iterator(KESTROVA_SOURCE_DIR "/po")) {
    if (entry.path().extension() == ".po") languages.insert(entry.path().stem().string());
  }
  return languages;
}

TEST(Fits, EveryLanguageFitsTheWindow) {
  const char* wanted = std::getenv("KESTROVA_FIT_DPI");
  ASSERT_NE(wanted, nullptr);
  const int dpi = std::stoi(wanted);
  Session& session = Session::Get();
  session.SetScreenDpi(dpi);
  const auto measured = session.Wine(KESTROVA_WIN_FITS, "");
  ASSERT_EQ(measured.status, 0) << measured.output;

  std::map<std::string, int> measures;  // of each language
  std::istringstream lines(measured.output);
  for (std::string line; std::getline(lines, line);) {
    std::vector<std::string> fields;
    std::istringstream split(line);
    for (std::string field; std::getline(split, field, '\t');) fields.push_back(field);
    if (fields.size() == 2 && fields[0] == "dpi") {
      EXPECT_EQ(std::stoi(fields[1]), dpi);
    }
    if (fields.size() < 5) continue;
    const std::string where = fields[1] + " " + fields[2] + " at " + wanted + " dpi";
    if (fields[0] == "fit") {
      ++measures[fields[1]];
      EXPECT_LE(std::stoi(fields[3]), std::stoi(fields[4])) << where;
    } else if (fields[0] == "font" && fields.size() == 6) {
      EXPECT_GE(std::stoi(fields[3]), std::stoi(fields[4])) << where << "'s font";
      EXPECT_LE(std::stoi(fields[3]), std::stoi(fields[5])) << where << "'s font";
    }
  }
  // Every language, each with every text.
  std::set<std::string> measuredLanguages;
  for (const auto& [language, count] : measures) {
    measuredLanguages.insert(language);
    EXPECT_EQ(count, measures["zh"]) << language;
  }
  EXPECT_EQ(measuredLanguages, Languages()) << measured.output;
}

}  // namespace
}  // namespace kestrova::testing::wine
