// SPDX-License-Identifier: GPL-3.0-or-later
#include <io.h>
#include <windows.h>

#include <cstdlib>

#include "cli/console.h"

namespace kestrova::cli {
namespace {

// The console's output code page before it was switched to UTF-8; 0 when there is nothing to
// put back. The console belongs to whoever started the program and outlives it.
UINT savedOutputCodePage = 0;

void RestoreCodePage() {
  const UINT saved = savedOutputCodePage;
  if (saved == 0) return;
  savedOutputCodePage = 0;
  // What is still buffered was written for UTF-8.
  std::fflush(stdout);
  std::fflush(stderr);
  SetConsoleOutputCP(saved);
}

// Ctrl+C, Ctrl+Break and closing the console end the program without its exit handlers.
BOOL WINAPI OnConsoleEvent(DWORD) {
  RestoreCodePage();
  return FALSE;  // the system's handler then ends the program
}

}  // namespace

void PrepareConsole() {
  const UINT current = GetConsoleOutputCP();
  if (current == 0 || current == CP_UTF8) return;  // no console, or UTF-8 already
  if (!SetConsoleOutputCP(CP_UTF8)) return;
  savedOutputCodePage = current;
  std::atexit(RestoreCodePage);
  SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
}

bool IsTerminal(std::FILE* stream) { return _isatty(_fileno(stream)) != 0; }

}  // namespace kestrova::cli
