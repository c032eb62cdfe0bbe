// SPDX-License-Identifier: GPL-3.0-or-later
// Text conversions that need no platform: UTF-16 to UTF-8, and names as they can be read.
#include "format/codepage.h"

#include <algorithm>
#include <cstdio>
#include <vector>

namespace kestrova::repair {
namespace {

void AppendUtf8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | c >> 6);
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | c >> 12);
    out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | c >> 18);
    out += static_cast<char>(0x80 | (c >> 12 & 0x3F));
    out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

// The code points of UTF-8 text; a byte that begins no valid sequence is U+FFFD.
std::vector<char32_t> CodePoints(std::string_view text) {
  std::vector<char32_t> points;
  for (std::size_t i = 0; i < text.size();) {
    const auto lead = static_cast<unsigned char>(text[i]);
    std::size_t length = 0;
    char32_t c = 0;
    if (lead < 0x80) {
      length = 1;
      c = lead;
    } else if ((lead & 0xE0) == 0xC0) {
      length = 2;
      c = lead & 0x1F;
    } else if ((lead & 0xF0) == 0xE0) {
      length = 3;
      c = lead & 0x0F;
    } else if ((lead & 0xF8) == 0xF0) {
      length = 4;
      c = lead & 0x07;
    }
    bool valid = length != 0 && i + length <= text.size();
    for (std::size_t k = 1; valid && k < length; ++k) {
      const auto next = static_cast<unsigned char>(text[i + k]);
      valid = next >> 6 == 2;
      c = c << 6 | (next & 0x3F);
    }
    points.push_back(valid ? c : 0xFFFD);
    i += valid ? length : 1;
  }
  return points;
}

// Characters that take room but show nothing.
bool IsSpace(char32_t c) {
  return c == 0x20 || c == 0xA0 || c == 0x1680 || (c >= 0x2000 && c <= 0x200A) || c == 0x2028 ||
         c == 0x2029 || c == 0x202F || c == 0x205F || c == 0x3000;
}

// Characters that show nothing at all: controls, zero-width and format characters, the Hangul
// fillers, variation selectors and tags.
bool IsInvisible(char32_t c) {
  return c < 0x20 || (c >= 0x7F && c <= 0x9F) || c == 0xAD || c == 0x34F || c == 0x61C ||
         c == 0x115F || c == 0x1160 || c == 0x17B4 || c == 0x17B5 || (c >= 0x180B && c <= 0x180E) ||
         (c >= 0x200B && c <= 0x200F) || (c >= 0x202A && c <= 0x202E) ||
         (c >= 0x2060 && c <= 0x206F) || c == 0x3164 || (c >= 0xFE00 && c <= 0xFE0F) ||
         c == 0xFEFF || c == 0xFFA0 || (c >= 0xFFF0 && c <= 0xFFFB) ||
         (c >= 0x1D173 && c <= 0x1D17A) || (c >= 0xE0000 && c <= 0xE0FFF);
}

}  // namespace

namespace {

// Printable ASCII with no space: such a name shows as it is, and is not blank.
bool IsPlainName(std::string_view name) {
  return !name.empty() &&
         std::all_of(name.begin(), name.end(), [](char c) { return c > 0x20 && c < 0x7F; });
}

bool IsBlank(const std::vector<char32_t>& points) {
  return !points.empty() && std::all_of(points.begin(), points.end(),
                                        [](char32_t c) { return IsSpace(c) || IsInvisible(c); });
}

}  // namespace

bool HasInvisible(std::string_view name) {
  if (IsPlainName(name)) return false;
  const std::vector<char32_t> points = CodePoints(name);
  return std::any_of(points.begin(), points.end(), IsInvisible);
}

bool IsBlankName(std::string_view name) { return !IsPlainName(name) && IsBlank(CodePoints(name)); }

std::string VisiblePath(std::string_view path) {
  std::string shown;
  for (std::size_t from = 0;;) {
    const std::size_t end = path.find('\\', from);
    shown += VisibleName(path.substr(from, end - from));
    if (end == std::string_view::npos) return shown;
    shown += '\\';
    from = end + 1;
  }
}

std::string VisibleName(std::string_view name, bool* blank) {
  if (IsPlainName(name)) {
    if (blank) *blank = false;
    return std::string(name);
  }
  const std::vector<char32_t> points = CodePoints(name);
  const bool allBlank = IsBlank(points);
  if (blank) *blank = allBlank;
  std::string shown;
  for (const char32_t c : points) {
    if (allBlank || IsInvisible(c)) {
      char code[16];
      std::snprintf(code, sizeof code, "[U+%04X]", static_cast<unsigned>(c));
      shown += code;
    } else {
      AppendUtf8(shown, c);
    }
  }
  return shown;
}

std::string Utf16ToUtf8(std::u16string_view text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    char32_t c = text[i];
    const bool high = c >= 0xD800 && c <= 0xDBFF;
    if (high && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (text[++i] - 0xDC00);
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      c = 0xFFFD;
    }
    AppendUtf8(out, c);
  }
  return out;
}

std::u16string Utf8ToUtf16(std::string_view text) {
  std::u16string out;
  for (std::size_t i = 0; i < text.size();) {
    const auto lead = static_cast<unsigned char>(text[i]);
    const int more = lead < 0x80 ? 0 : lead >= 0xF0 ? 3 : lead >= 0xE0 ? 2 : lead >= 0xC0 ? 1 : -1;
    char32_t c = more == 0 ? lead : more == 1 ? lead & 0x1F : more == 2 ? lead & 0x0F : lead & 0x07;
    bool good = more >= 0 && i + static_cast<std::size_t>(more) < text.size();
    for (int k = 1; good && k <= more; ++k) {
      const auto next = static_cast<unsigned char>(text[i + static_cast<std::size_t>(k)]);
      good = (next & 0xC0) == 0x80;
      c = c << 6 | (next & 0x3F);
    }
    i += good ? static_cast<std::size_t>(more) + 1 : 1;
    if (!good || c > 0x10FFFF) c = 0xFFFD;
    if (c >= 0x10000) {
      out += static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10));
      out += static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF));
    } else {
      out += static_cast<char16_t>(c);
    }
  }
  return out;
}

}  // namespace kestrova::repair
