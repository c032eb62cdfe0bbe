// SPDX-License-Identifier: GPL-3.0-or-later
// The one way the command line writes its text (UTF-8 inside the program): to a console as the
// console's own characters, anywhere else (a pipe, a file, a terminal on Linux) as UTF-8 bytes.
#pragma once

#include <string_view>

namespace kestrova::cli {

enum class Stream { kOutput, kError };

// Writes UTF-8 text to standard output or standard error, unbuffered. On Windows a console gets
// it through WriteConsoleW, whatever its code page (which stays as it is), and a pipe or a file
// as UTF-8 with CR LF line ends. True when all of it was written.
bool Write(Stream stream, std::string_view utf8);
// Whether the stream is a terminal or a console (progress is drawn only there).
bool IsTerminal(Stream stream);

}  // namespace kestrova::cli
