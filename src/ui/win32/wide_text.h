// SPDX-License-Identifier: GPL-3.0-or-later
// Texts between UTF-8, as Form1 and the engine hold them, and UTF-16, as the W functions take them.
#pragma once

#include <string>

namespace kestrova::ui::win32 {

std::wstring Wide(const std::string& utf8);
std::string Utf8(const std::wstring& wide);

}  // namespace kestrova::ui::win32
