// SPDX-License-Identifier: GPL-3.0-or-later
#include <unistd.h>

#include "cli/console.h"

namespace kestrova::cli {
void PrepareConsole() {}
bool IsTerminal(std::FILE* stream) { return ::isatty(::fileno(stream)) == 1; }
}  // namespace kestrova::cli
