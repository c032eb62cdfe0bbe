// SPDX-License-Identifier: GPL-3.0-or-later
#include "words/help_text.h"

#include <utility>
#include <vector>

namespace kestrova::words {
namespace {

// The columns that a character takes in a terminal: two for the wide characters of East Asian
// scripts, none for combining marks, format characters and the second half of a pair.
std::size_t Columns(char32_t c) {
  const auto in = [c](char32_t first, char32_t last) { return c >= first && c <= last; };
  if (in(0x0300, 0x036F) || in(0x0591, 0x05C7) || in(0x0610, 0x061A) || in(0x064B, 0x065F) ||
      c == 0x0670 || in(0x06D6, 0x06ED) ||
      // Devanagari's and Bengali's marks drawn over or under a letter; their vowel signs that
      // stand beside it (such as U+093E, U+09BE) take a column of their own.
      in(0x0900, 0x0902) || c == 0x093A || c == 0x093C || in(0x0941, 0x0948) || c == 0x094D ||
      in(0x0951, 0x0957) || in(0x0962, 0x0963) || c == 0x0981 || c == 0x09BC ||
      in(0x09C1, 0x09C4) || c == 0x09CD || in(0x09E2, 0x09E3) || c == 0x09FE ||
      in(0x200B, 0x200F) || in(0x202A, 0x202E) || in(0x2060, 0x206F) || c == 0xFEFF) {
    return 0;
  }
  if (in(0x1100, 0x115F) || in(0x2E80, 0xA4CF) || in(0xAC00, 0xD7A3) || in(0xF900, 0xFAFF) ||
      in(0xFE30, 0xFE4F) || in(0xFF00, 0xFF60) || in(0xFFE0, 0xFFE6) || in(0x20000, 0x3FFFD)) {
    return 2;
  }
  return 1;
}

// The UTF-8 character that begins at text[at], and its length in bytes.
std::pair<char32_t, std::size_t> CharacterAt(std::string_view text, std::size_t at) {
  const auto byte = static_cast<unsigned char>(text[at]);
  const std::size_t length = byte < 0x80 ? 1 : byte < 0xE0 ? 2 : byte < 0xF0 ? 3 : 4;
  if (at + length > text.size()) return {byte, 1};
  char32_t c = length == 1 ? byte : byte & (0x7F >> length);
  for (std::size_t i = 1; i < length; ++i)
    c = (c << 6) | (static_cast<unsigned char>(text[at + i]) & 0x3F);
  return {c, length};
}

// The words of a text and where a line may break: at spaces, and between the characters of
// scripts written without spaces (Chinese), each word with its columns.
struct Word {
  std::string text;
  std::size_t columns = 0;
  bool spaced = true;  // a space stands before it when it follows another word on a line
};

std::vector<Word> Words(std::string_view text) {
  std::vector<Word> words;
  bool space = true;       // a space stands before the next character
  bool afterWide = false;  // the last character was a wide one
  for (std::size_t at = 0; at < text.size();) {
    const auto [c, length] = CharacterAt(text, at);
    const std::string_view character = text.substr(at, length);
    at += length;
    if (c == ' ') {
      space = true;
      continue;
    }
    const std::size_t columns = Columns(c);
    if (words.empty() || space || columns == 2 || afterWide) {
      words.push_back({std::string(character), columns, space});
    } else {
      words.back().text.append(character);
      words.back().columns += columns;
    }
    space = false;
    afterWide = columns == 2;
  }
  return words;
}

}  // namespace

std::string Filled(std::string_view words, std::size_t indent, std::size_t first,
                   std::size_t width) {
  std::string text;
  std::size_t column = first;
  bool lineStart = true;
  for (const Word& word : Words(words)) {
    const std::size_t space = !lineStart && word.spaced ? 1 : 0;
    if (!lineStart && column + space + word.columns > width) {
      text += '\n' + std::string(indent, ' ');
      column = indent;
      lineStart = true;
    }
    if (!lineStart && word.spaced) {
      text += ' ';
      ++column;
    }
    text += word.text;
    column += word.columns;
    lineStart = false;
  }
  return text + '\n';
}

std::string FilledParagraphs(std::string_view text) {
  std::string filled;
  std::string paragraph;
  std::size_t from = 0;
  while (from < text.size()) {
    const std::size_t end = std::min(text.find('\n', from), text.size());
    const std::string_view line = text.substr(from, end - from);
    // A line that begins with blanks (a list of values) keeps its place.
    if (line.empty() || line.starts_with(' ')) {
      if (!paragraph.empty()) filled += Filled(paragraph, 0);
      paragraph.clear();
      filled.append(line).append("\n");
    } else {
      paragraph.append(paragraph.empty() ? "" : " ").append(line);
    }
    from = end + 1;
  }
  if (!paragraph.empty()) filled += Filled(paragraph, 0);
  return filled;
}

std::string ListEntry(const std::string& name, std::string_view description) {
  constexpr std::size_t kColumn = 19;
  std::string entry = "  " + name;
  // Two blanks at least stand between the name and its description.
  if (entry.size() + 2 > kColumn)
    entry += '\n' + std::string(kColumn, ' ');
  else
    entry.append(kColumn - entry.size(), ' ');
  return entry + Filled(description, kColumn, kColumn);
}

}  // namespace kestrova::words
