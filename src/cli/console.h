// SPDX-License-Identifier: GPL-3.0-or-later
// What the command line needs of the platform's console.
#pragma once

#include <cstdio>

namespace kestrova::cli {

// Prepares the console for UTF-8 output; the console is put back as it was when the program ends.
void PrepareConsole();
// Whether the stream is a terminal (progress is drawn only there).
bool IsTerminal(std::FILE* stream);

}  // namespace kestrova::cli
