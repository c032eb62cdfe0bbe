// SPDX-License-Identifier: GPL-3.0-or-later
// The guard's look at a stick: its root read raw through the engine when the volume opens for
// reading beside the file system, otherwise through the file system; judged by the repair's rules
// (repair/signs.h). Never writes.
#pragma once

#include <optional>
#include <string>

#include "repair/signs.h"

namespace kestrova::ui::win32::guard {

struct StickLook {
  bool raw = false;   // read raw; else through the file system
  std::string label;  // UTF-8; empty when it has none
  repair::WormSigns signs;
};

// Looks at the root of drive `letter` (uppercase); nothing when it can be read neither way.
std::optional<StickLook> LookAtStick(char letter);

}  // namespace kestrova::ui::win32::guard
