// SPDX-License-Identifier: GPL-3.0-or-later
// The stable names of the engine's kinds, verdicts and reasons, for what other programs read
// (kestrova-cli --json): lower case words joined by '_', never changed once published; a new kind
// gets a new name.
#pragma once

#include <string_view>

#include "format/problem.h"
#include "repair/findings.h"
#include "repair/journals.h"
#include "repair/layout.h"

namespace kestrova::repair {

std::string_view IdOf(ProblemKind value);
std::string_view IdOf(DetailKind value);
std::string_view IdOf(PassKind value);
std::string_view IdOf(Verdict value);
std::string_view IdOf(Evidence value);
std::string_view IdOf(FileSystem value);
std::string_view IdOf(JournalState value);

}  // namespace kestrova::repair
