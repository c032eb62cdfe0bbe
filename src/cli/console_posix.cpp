// SPDX-License-Identifier: GPL-3.0-or-later
#include <unistd.h>

#include <cerrno>

#include "cli/console.h"

namespace kestrova::cli {
namespace {
int Descriptor(Stream stream) { return stream == Stream::kOutput ? STDOUT_FILENO : STDERR_FILENO; }
}  // namespace

bool Write(Stream stream, std::string_view utf8) {
  while (!utf8.empty()) {
    const ssize_t written = ::write(Descriptor(stream), utf8.data(), utf8.size());
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    utf8.remove_prefix(static_cast<std::size_t>(written));
  }
  return true;
}

bool IsTerminal(Stream stream) { return ::isatty(Descriptor(stream)) == 1; }

void WriteUtf8ToFiles() {}

}  // namespace kestrova::cli
