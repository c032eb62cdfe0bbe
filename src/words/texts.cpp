// SPDX-License-Identifier: GPL-3.0-or-later
#include "words/texts.h"

#include <array>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace kestrova::texts {

Language LanguageOf(std::string_view locale) {
  const std::string_view language = locale.substr(0, locale.find_first_of(".@"));
  if (language.empty() || language == "C" || language == "POSIX" || locale.starts_with("zh")) {
    return Language::kChinese;
  }
  return Language::kEnglish;
}

Language UserLanguage() {
#ifdef _WIN32
  return Language::kChinese;
#else
  for (const char* variable : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
    const char* locale = std::getenv(variable);
    if (locale && *locale) return LanguageOf(locale);
  }
  return Language::kChinese;
#endif
}

const char* Tr(const Text& text, Language language) {
  return language == Language::kEnglish || !*text.chinese ? text.english : text.chinese;
}

const char* Tr(const Counted& text, unsigned long long count, Language language) {
  if (language == Language::kChinese) return text.chinese;
  return count == 1 ? text.one : text.other;
}

const char* Tr(const Text& text) { return Tr(text, UserLanguage()); }

std::string Sentences(std::initializer_list<std::string_view> sentences) {
  const bool spaced = UserLanguage() == Language::kEnglish;
  std::string joined;
  for (const std::string_view sentence : sentences) {
    if (sentence.empty()) continue;
    if (spaced && !joined.empty()) joined += ' ';
    joined += sentence;
  }
  return joined;
}

std::string Printf(const char* format, ...) {
  std::va_list values;
  va_start(values, format);
  std::va_list again;
  va_copy(again, values);
  // Most texts fit on the stack; a longer one is made again at its length.
  std::array<char, 512> line;
  const int length = std::vsnprintf(line.data(), line.size(), format, values);
  va_end(values);
  std::string text;
  if (length > 0 && static_cast<std::size_t>(length) < line.size()) {
    text.assign(line.data(), static_cast<std::size_t>(length));
  } else if (length > 0) {
    text.resize(static_cast<std::size_t>(length));
    std::vsnprintf(text.data(), text.size() + 1, format, again);
  }
  va_end(again);
  return text;
}

std::optional<std::string> PutStrings(const char* format,
                                      std::initializer_list<const char*> values) {
  std::string text;
  const char* const* value = values.begin();
  for (const char* at = format;;) {
    const char* percent = std::strchr(at, '%');
    if (!percent) {
      text.append(at);
      break;
    }
    text.append(at, static_cast<std::size_t>(percent - at));
    if (percent[1] == '%') {
      text += '%';
    } else if (percent[1] == 's' && value != values.end() && *value) {
      text.append(*value);
      ++value;
    } else {
      return std::nullopt;
    }
    at = percent + 2;
  }
  if (value != values.end()) return std::nullopt;
  return text;
}

}  // namespace kestrova::texts
