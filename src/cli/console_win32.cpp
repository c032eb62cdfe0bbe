#include <io.h>
#include <windows.h>

#include "cli/console.h"

namespace kestrova::cli {
void PrepareConsole() { SetConsoleOutputCP(CP_UTF8); }
bool IsTerminal(std::FILE* stream) { return _isatty(_fileno(stream)) != 0; }
}  // namespace kestrova::cli
