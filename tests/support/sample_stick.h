// SPDX-License-Identifier: GPL-3.0-or-later
// The sample stick that scripts/run.sh shows a newcomer (tools/make_sample_image.sh), and what a
// fix with everything chosen leaves of it.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace kestrova::testing {

// Files by path ("/DIR/NAME") with their bytes, as FatFiles gives them.
using FileMap = std::map<std::string, std::vector<std::uint8_t>>;

// Makes the sample stick at `image` (replaced); false, with the calling test failed
// (ADD_FAILURE), when the script fails.
bool MakeSampleImage(const std::filesystem::path& image);

// The sample's entries that are the virus's, by their path as the verdicts name them: its files
// in the root, and its payload in the folder with a blank name.
const std::set<std::string>& SampleVirusPaths();

// The sample's files (`before`, as FatFiles gave them) once fixed: the virus's root files gone,
// the user's files from the blank folder in the root with their bytes, its payload gone with the
// emptied folder, and every other file as it was.
FileMap SampleFixed(const FileMap& before);

}  // namespace kestrova::testing
