// SPDX-License-Identifier: GPL-3.0-or-later
// Texts between UTF-8, as the engine holds them, and UTF-16, as the system's W functions take
// them: the Windows sources of this layer share these.
#pragma once

#include <string>

namespace kestrova::volume {

std::string Utf8(const wchar_t* text);
std::wstring Wide(const std::string& text);

}  // namespace kestrova::volume
