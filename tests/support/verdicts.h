// SPDX-License-Identifier: GPL-3.0-or-later
// What the analysis judged of a stick's entries, for the tests that compare it with what the
// sticks' builders say of them.
#pragma once

#include <filesystem>
#include <map>
#include <string>

namespace kestrova::testing {

// Every entry that the analysis of `image` judged, by its path ("name", or "Folder\\name" one
// level inside a root folder; a blank folder by its real UTF-8 name), with its verdict: "user",
// "virus", "system", "vaccine" or "unsure"; and the hidden root entries that a repair shows again
// (also "user"). Entries absent from the map got no verdict (plain visible things).
std::map<std::string, std::string> VerdictsOf(const std::filesystem::path& image);

}  // namespace kestrova::testing
