// SPDX-License-Identifier: GPL-3.0-or-later
// The texts that the user reads, in the user's language: every one of them is an entry of
// words/texts.def, where its Chinese and its English stand side by side. On Windows the language
// is always Chinese; on Linux it follows the locale of the environment.
#pragma once

#include <concepts>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>

namespace kestrova::texts {

struct Text {
  const char* chinese;  // empty: the English is said
  const char* english;
};

// A text with a count: a form for each plural form of a language (English: one and other); every
// form holds every value.
struct Counted {
  const char* chinese;
  const char* one;
  const char* other;
};

#define KESTROVA_TEXT(name, chinese, english) inline constexpr Text name{chinese, english};
#define KESTROVA_COUNTED(name, chinese, one, other) \
  inline constexpr Counted name{chinese, one, other};
#include "words/texts.def"
#undef KESTROVA_COUNTED
#undef KESTROVA_TEXT

// Every entry and its name, for the checks of the table.
struct Entry {
  const char* name;
  const Text* text;
};
inline constexpr Entry kTable[] = {
#define KESTROVA_TEXT(name, chinese, english) {#name, &name},
#define KESTROVA_COUNTED(name, chinese, one, other)
#include "words/texts.def"
#undef KESTROVA_COUNTED
#undef KESTROVA_TEXT
};
struct CountedEntry {
  const char* name;
  const Counted* text;
};
inline constexpr CountedEntry kCountedTable[] = {
#define KESTROVA_TEXT(name, chinese, english)
#define KESTROVA_COUNTED(name, chinese, one, other) {#name, &name},
#include "words/texts.def"
#undef KESTROVA_COUNTED
#undef KESTROVA_TEXT
};

enum class Language { kChinese, kEnglish };

// The language of a locale name such as "zh_CN.UTF-8": Chinese for zh and for the C and POSIX
// locales (also with an encoding, "C.UTF-8") and for no locale at all; English for every other.
Language LanguageOf(std::string_view locale);

// The user's language. Linux: the first of LC_ALL, LC_MESSAGES and LANG that is set and not
// empty, read from the environment each time (a locale that the machine has not generated counts
// too). Windows: Chinese.
Language UserLanguage();

// The text in `language`, or in the user's language.
const char* Tr(const Text& text, Language language);
const char* Tr(const Text& text);
// The form of a counted text for `count`.
const char* Tr(const Counted& text, unsigned long long count, Language language);

// The sentences one after another: Chinese runs them together, English puts a space between.
std::string Sentences(std::initializer_list<std::string_view> sentences);

// printf on a format of the table; `Format` below passes the values in the types its
// conversions take (%lld, %llu/%llX, %f, %s).
std::string Printf(const char* format, ...);

// `format` with its conversions put in as Printf puts them, when each is a plain %s (and %% is a
// percent sign): the values taken in order. Nothing when the format has another conversion, or
// when the conversions and the values are not as many.
std::optional<std::string> PutStrings(const char* format,
                                      std::initializer_list<const char*> values);

namespace detail {
template <typename T>
auto Value(const T& value) {
  if constexpr (std::is_same_v<T, std::string>) {
    return value.c_str();
  } else if constexpr (std::is_convertible_v<T, const char*>) {
    return static_cast<const char*>(value);
  } else if constexpr (std::is_floating_point_v<T>) {
    return static_cast<double>(value);
  } else if constexpr (std::signed_integral<T>) {
    return static_cast<long long>(value);
  } else {
    static_assert(std::unsigned_integral<T>, "a text takes strings and numbers");
    return static_cast<unsigned long long>(value);
  }
}
}  // namespace detail

// The text in `language` with the values put in.
template <typename... Values>
std::string Format(Language language, const Text& text, const Values&... values) {
  const char* format = Tr(text, language);
  // Texts whose values are all strings are made without vsnprintf's work.
  if constexpr (sizeof...(Values) > 0 && (std::is_convertible_v<Values, std::string_view> && ...)) {
    if (auto text = PutStrings(format, {detail::Value(values)...})) return std::move(*text);
  }
  return Printf(format, detail::Value(values)...);
}

// The text in the user's language with the values put in.
template <typename... Values>
std::string Format(const Text& text, const Values&... values) {
  return Format(UserLanguage(), text, values...);
}

// The form of a counted text for `count` with the values put in; without values, the count is
// its value.
template <std::integral Count, typename... Values>
std::string Format(Language language, const Counted& text, Count count, const Values&... values) {
  const char* format = Tr(text, static_cast<unsigned long long>(count), language);
  if constexpr (sizeof...(Values) == 0) {
    return Printf(format, detail::Value(count));
  } else {
    return Printf(format, detail::Value(values)...);
  }
}
template <std::integral Count, typename... Values>
std::string Format(const Counted& text, Count count, const Values&... values) {
  return Format(UserLanguage(), text, count, values...);
}

}  // namespace kestrova::texts
