// SPDX-License-Identifier: GPL-3.0-or-later
#include <windows.h>

#include <algorithm>
#include <optional>
#include <string>

#include "cli/console.h"
#include "words/texts.h"

namespace kestrova::cli {
namespace {

// The most UTF-16 units one WriteConsoleW call is given; older consoles refuse large writes.
constexpr std::size_t kConsoleChunk = 8192;

bool utf8ToFiles = false;
// The files' code page could not hold a text: UTF-8 from then on, said once.
bool utf8Instead = false;

// The code page of what goes to a pipe or a file.
UINT FileCodePage() {
  if (utf8ToFiles || utf8Instead) return CP_UTF8;
  const UINT console = GetConsoleOutputCP();
  return console != 0 ? console : GetACP();
}

HANDLE Handle(Stream stream) {
  return GetStdHandle(stream == Stream::kOutput ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE);
}

bool IsConsole(HANDLE handle) {
  DWORD mode = 0;
  return GetConsoleMode(handle, &mode) != FALSE;
}

std::wstring Wide(std::string_view utf8) {
  if (utf8.empty()) return {};
  const int size = static_cast<int>(utf8.size());
  const int length = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), size, nullptr, 0);
  if (length <= 0) return {};
  std::wstring wide(static_cast<std::size_t>(length), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, utf8.data(), size, wide.data(), length);
  return wide;
}

bool WriteConsoleText(HANDLE console, std::string_view utf8) {
  const std::wstring wide = Wide(utf8);
  if (wide.empty() != utf8.empty()) return false;
  std::size_t done = 0;
  while (done < wide.size()) {
    std::size_t chunk = std::min(kConsoleChunk, wide.size() - done);
    // A surrogate pair stays in one call.
    if (done + chunk < wide.size() && IS_HIGH_SURROGATE(wide[done + chunk - 1])) --chunk;
    DWORD written = 0;
    if (!WriteConsoleW(console, wide.data() + done, static_cast<DWORD>(chunk), &written, nullptr) ||
        written == 0) {
      return false;
    }
    done += written;
  }
  return true;
}

// The text in `codePage`, from UTF-8; nothing when the code page cannot hold every character of
// it.
std::optional<std::string> Encoded(std::string_view utf8, UINT codePage) {
  if (codePage == CP_UTF8 || utf8.empty()) return std::string(utf8);
  const std::wstring wide = Wide(utf8);
  const int size = static_cast<int>(wide.size());
  BOOL lost = FALSE;
  // Code pages such as 50220 and 65000 take no flags and tell of no loss: checked by going back.
  const bool tells = codePage < 50000 || codePage == 54936;
  const DWORD flags = tells ? WC_NO_BEST_FIT_CHARS : 0;
  const int length = WideCharToMultiByte(codePage, flags, wide.data(), size, nullptr, 0, nullptr,
                                         tells ? &lost : nullptr);
  if (length <= 0 || lost) return std::nullopt;
  std::string text(static_cast<std::size_t>(length), '\0');
  WideCharToMultiByte(codePage, flags, wide.data(), size, text.data(), length, nullptr, nullptr);
  if (!tells) {
    const int back = MultiByteToWideChar(codePage, 0, text.data(), length, nullptr, 0);
    std::wstring again(static_cast<std::size_t>(std::max(back, 0)), L'\0');
    if (back > 0) MultiByteToWideChar(codePage, 0, text.data(), length, again.data(), back);
    if (again != wide) return std::nullopt;
  }
  return text;
}

// The text in the files' code page, with the line ends of Windows text files.
bool WriteBytes(HANDLE file, std::string_view utf8) {
  const UINT codePage = FileCodePage();
  std::optional<std::string> encoded = utf8Instead ? std::string(utf8) : Encoded(utf8, codePage);
  if (!encoded) {
    // Once, and before the text it speaks of; on the console when there is one, so that it is
    // read and not written into the file.
    utf8Instead = true;
    const std::string advice =
        kestrova::texts::Format(kestrova::texts::kUtf8Instead, codePage) + "\n";
    const HANDLE error = GetStdHandle(STD_ERROR_HANDLE);
    if (error != file && error != nullptr && error != INVALID_HANDLE_VALUE) {
      if (IsConsole(error)) {
        WriteConsoleText(error, advice);
      } else {
        WriteBytes(error, advice);
      }
    }
    encoded = std::string(utf8);
  }
  const std::string& text = *encoded;
  std::string bytes;
  bytes.reserve(text.size() + text.size() / 16);
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\n' && (i == 0 || text[i - 1] != '\r')) bytes += '\r';
    bytes += text[i];
  }
  std::string_view rest = bytes;
  while (!rest.empty()) {
    DWORD written = 0;
    if (!WriteFile(file, rest.data(), static_cast<DWORD>(rest.size()), &written, nullptr) ||
        written == 0) {
      return false;
    }
    rest.remove_prefix(written);
  }
  return true;
}

}  // namespace

bool Write(Stream stream, std::string_view utf8) {
  const HANDLE handle = Handle(stream);
  if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return false;
  return IsConsole(handle) ? WriteConsoleText(handle, utf8) : WriteBytes(handle, utf8);
}

bool IsTerminal(Stream stream) { return IsConsole(Handle(stream)); }

void WriteUtf8ToFiles() { utf8ToFiles = true; }

}  // namespace kestrova::cli
