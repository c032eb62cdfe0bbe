// SPDX-License-Identifier: GPL-3.0-or-later
// The programs' help as a terminal shows it: texts in any of the program's languages filled into
// lines of the help's width, counting the columns that each character takes (two for the wide
// characters of Chinese, none for combining marks), breaking at spaces and between the
// characters of scripts written without them.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace kestrova::words {

// The help's width: every line fits a terminal of 80 columns.
inline constexpr std::size_t kHelpWidth = 80;

// Words filled into lines of at most `width` columns, each line after the first beginning with
// `indent` spaces; the first line has `first` columns less room. Lines end in '\n'.
std::string Filled(std::string_view words, std::size_t indent, std::size_t first = 0,
                   std::size_t width = kHelpWidth);

// A text of the help, its paragraphs (blank lines apart) filled to the help's width; a line that
// begins with blanks keeps its place.
std::string FilledParagraphs(std::string_view text);

// One entry of a two-column list: the name, then its description from column 19 on, filled to
// the help's width. A name that leaves less than two blanks before the column puts its
// description on the line below it.
std::string ListEntry(const std::string& name, std::string_view description);

}  // namespace kestrova::words
