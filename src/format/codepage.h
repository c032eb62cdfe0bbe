// SPDX-License-Identifier: GPL-3.0-or-later
// Names on the disk as text: short names as Chinese Windows writes them (code page 936, GBK),
// long names in UTF-16.
#pragma once

#include <string>
#include <string_view>

namespace kestrova::repair {

// The UTF-8 text of code page 936 bytes; a byte sequence that is not GBK shows as U+FFFD.
std::string Cp936ToUtf8(std::string_view bytes);

// The UTF-8 text of UTF-16 code units (long names); a lone surrogate shows as U+FFFD.
std::string Utf16ToUtf8(std::u16string_view text);
// The UTF-16 code units of UTF-8 text (a long name to write); a byte that begins no character
// shows as U+FFFD.
std::u16string Utf8ToUtf16(std::string_view text);

// Whether a name (UTF-8) is blank: not empty, and every character of it a space (U+0020, U+00A0,
// U+3000, ...) or one that shows nothing (controls, zero-width and format characters, fillers).
bool IsBlankName(std::string_view name);
// A name as it can be read on a screen: a blank name as the code points of all its characters
// ("[U+00A0]"), any other with the characters that show nothing as their code points. With
// `blank`, also tells whether the name is blank.
std::string VisibleName(std::string_view name, bool* blank = nullptr);
// A path of names joined by '\\', each shown as VisibleName shows it.
std::string VisiblePath(std::string_view path);
// Whether a name (UTF-8) holds a character that shows nothing or turns the text's direction
// (U+202E, U+200B, controls): what hides a program's real extension.
bool HasInvisible(std::string_view name);

}  // namespace kestrova::repair
