// SPDX-License-Identifier: GPL-3.0-or-later
// The PC's look and its clean in the user's language: each place with why, each change, and what
// could not be listed. The command line and the window say them alike.
#pragma once

#include <string>
#include <vector>

#include "repair/pc_check.h"
#include "volume/startup.h"

namespace kestrova::repair::messages {

// Where the entry is: "Run value HKCU\...\Run: name", "Startup folder file ...", ...
std::string PcPlaceText(const volume::StartupListing& listing, const PcEntry& entry);
// Why it has its verdict.
std::string PcWhyText(const PcEntry& entry);
// One line of the look: the place, a tab, what it starts, a tab, and why.
std::string PcEntryLine(const volume::StartupListing& listing, const PcEntry& entry);
// The look's lines under the heading of each verdict (the virus's, the unsure, the others).
std::vector<std::string> PcLookLines(const volume::StartupListing& listing,
                                     const std::vector<PcEntry>& entries);
// What a change of a clean does, or with `undo` what its undo does.
std::string PcChangeText(const PcChange& change, bool undo);
// The line of a change made (or not, with the system's error value).
std::string PcDoneLine(const PcDone& done, bool undo);
// A place that could not be listed.
std::string PcUnlistedText(const volume::UnlistedPlace& unlisted);

}  // namespace kestrova::repair::messages
