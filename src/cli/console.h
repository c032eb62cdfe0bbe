// SPDX-License-Identifier: GPL-3.0-or-later
// The one way the command line writes its text (UTF-8 inside the program): to a console as the
// console's own characters; to a pipe or a file on Windows in the console's code page (what
// `type` and `more` read) unless UTF-8 is asked for; on Linux as UTF-8 bytes.
#pragma once

#include <string_view>

namespace kestrova::cli {

enum class Stream { kOutput, kError };

// Writes UTF-8 text to standard output or standard error, unbuffered. On Windows a console gets
// it through WriteConsoleW, whatever its code page (which stays as it is), and a pipe or a file
// with CR LF line ends, in the console's output code page (the system's ANSI code page when the
// program has no console; a character that the code page lacks becomes '?') or in UTF-8 once
// WriteUtf8ToFiles was called. True when all of it was written.
bool Write(Stream stream, std::string_view utf8);
// From now on a pipe or a file gets UTF-8 (--utf8, and every JSON document). Linux always does.
void WriteUtf8ToFiles();
// Whether the stream is a terminal or a console (progress is drawn only there).
bool IsTerminal(Stream stream);

}  // namespace kestrova::cli
