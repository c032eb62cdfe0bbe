// SPDX-License-Identifier: GPL-3.0-or-later
// libFuzzer target: arbitrary bytes as a shortcut (.lnk) and as an autorun.inf, as the analysis
// reads them from a root file (at most 64 KiB).
//   build/fuzz/fuzz/kestrova_fuzz_shortcut -max_total_time=60
//
// Checked on every input, beyond the sanitizers: a parsed shortcut's command begins with its
// target, and no text it gives is longer than the bytes could spell (three UTF-8 bytes for each
// input byte); every autorun.inf line it gives holds its '=' and no line break.
#include <cstdio>
#include <cstdlib>
#include <span>
#include <string>

#include "format/codepage.h"
#include "format/shell_link.h"
#include "repair/verdicts.h"

namespace {

[[noreturn]] void Fail(const char* what) {
  std::fprintf(stderr, "fuzz invariant broken: %s\n", what);
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > kestrova::repair::kMaxInspectedBytes) return 0;
  const std::span<const std::uint8_t> bytes(data, size);
  if (const auto link = kestrova::repair::ParseShellLink(bytes)) {
    if (!link->Command().starts_with(link->Target()))
      Fail("the command does not begin with the target");
    for (const std::string* text :
         {&link->localPath, &link->idListPath, &link->environmentPath, &link->name,
          &link->relativePath, &link->workingDirectory, &link->arguments, &link->iconLocation}) {
      if (text->size() > 3 * size) Fail("a text longer than its bytes");
      kestrova::repair::VisibleName(*text);
    }
  }
  for (const std::string& line : kestrova::repair::AutorunRunLines(bytes)) {
    if (line.find('=') == std::string::npos) Fail("an autorun.inf line without '='");
    if (line.find_first_of("\r\n") != std::string::npos) Fail("an autorun.inf line with a break");
  }
  return 0;
}
