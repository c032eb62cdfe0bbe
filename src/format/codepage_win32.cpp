// SPDX-License-Identifier: GPL-3.0-or-later
// Code page 936 through the system's own conversion.
#include <windows.h>

#include "format/codepage.h"

namespace kestrova::repair {

std::string Cp936ToUtf8(std::string_view bytes) {
  if (bytes.empty()) return {};
  constexpr UINT kGbk = 936;
  const int input = static_cast<int>(bytes.size());
  const int wide = MultiByteToWideChar(kGbk, 0, bytes.data(), input, nullptr, 0);
  if (wide <= 0) return std::string(bytes.size(), '?');
  std::wstring text(static_cast<std::size_t>(wide), L'\0');
  MultiByteToWideChar(kGbk, 0, bytes.data(), input, text.data(), wide);
  const int utf8 = WideCharToMultiByte(CP_UTF8, 0, text.data(), wide, nullptr, 0, nullptr, nullptr);
  if (utf8 <= 0) return std::string(bytes.size(), '?');
  std::string out(static_cast<std::size_t>(utf8), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), wide, out.data(), utf8, nullptr, nullptr);
  return out;
}

}  // namespace kestrova::repair
