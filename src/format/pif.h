// SPDX-License-Identifier: GPL-3.0-or-later
// What a program information file (.pif) starts, read from its own bytes: the program's path and
// its parameters in the basic section, which the section heading "MICROSOFT PIFEX" follows. A
// .pif that is a program itself (it begins with "MZ") or breaks the layout starts nothing here.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace kestrova::repair {

struct PifProgram {
  std::string program;     // the program's path, as its code page gives it
  std::string parameters;  // what it is given
};

std::optional<PifProgram> ParsePif(std::span<const std::uint8_t> bytes);

}  // namespace kestrova::repair
