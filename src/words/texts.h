// SPDX-License-Identifier: GPL-3.0-or-later
// The texts that the user reads, in the user's language. Every one of them is an entry of
// words/texts.def, where its Chinese and its English stand side by side; the other languages come
// from the translators' po/LANG.po files, which the build turns into tables
// (tools/translations.py). The language follows the system's (docs/language.md); KESTROVA_LANG and
// SetLanguage choose another.
#pragma once

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>

namespace kestrova::texts {

// Each entry's number, in the order of texts.def.
namespace ids {
enum : std::uint16_t {
#define KESTROVA_TEXT(name, chinese, english) name,
#define KESTROVA_COUNTED(name, chinese, one, other) name,
#include "words/texts.def"
#undef KESTROVA_COUNTED
#undef KESTROVA_TEXT
  kCount
};
}  // namespace ids

struct Text {
  std::uint16_t id;
  const char* chinese;  // empty: the English is said
  const char* english;
};

// A text with a count: a form for each plural form of a language (English: one and other); every
// form holds every value.
struct Counted {
  std::uint16_t id;
  const char* chinese;
  const char* one;
  const char* other;
};

#define KESTROVA_TEXT(name, chinese, english) \
  inline constexpr Text name{ids::name, chinese, english};
#define KESTROVA_COUNTED(name, chinese, one, other) \
  inline constexpr Counted name{ids::name, chinese, one, other};
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

// A translated language as the build made it from its .po file (tools/translations.py).
struct LanguageTable {
  const char* code;  // "es", "pt_BR": the .po file's name
  bool rightToLeft;
  std::size_t pluralForms;                      // its Plural-Forms' nplurals
  std::size_t (*plural)(unsigned long long n);  // its Plural-Forms' expression
  const char* const* texts;                     // each text's forms; nullptr: not translated
  const std::uint16_t* first;                   // each text's first slot, by id
};

namespace detail {
// The tables of the translated languages: made by the build.
std::span<const LanguageTable> Translations();
}  // namespace detail

// A language of the table: Chinese, English or one of the translations.
class Language {
 public:
  static const Language kChinese;
  static const Language kEnglish;

  constexpr Language() = default;  // Chinese

  // Every language of the table: Chinese, English, then the translations.
  static std::size_t Count();
  static Language At(std::size_t index);

  // The language of a name such as "es", "pt_BR", "es_MX.UTF-8@euro" or "es-MX": the one of the
  // table whose code is the name's language and country, else the one of its language (pt_PT
  // reads Brazilian Portuguese). Nothing for a language the table lacks, and for C and POSIX.
  static std::optional<Language> Named(std::string_view name);

  std::string_view Code() const;  // "zh", "en", "es", "pt_BR"
  bool RightToLeft() const;
  std::size_t Index() const { return index_; }
  const LanguageTable* Table() const;  // nullptr for Chinese and English

  friend constexpr bool operator==(Language, Language) = default;

 private:
  constexpr explicit Language(std::size_t index) : index_(static_cast<std::uint8_t>(index)) {}
  std::uint8_t index_ = 0;
};
inline constexpr Language Language::kChinese{0};
inline constexpr Language Language::kEnglish{1};

// The language of a locale name such as "zh_CN.UTF-8": the language of the table that it names;
// Chinese for zh, for the C and POSIX locales (also with an encoding, "C.UTF-8"), for no locale
// at all and for a language that the table lacks.
Language LanguageOf(std::string_view locale);

// The language that the system speaks to the user, as gettext reads it. Linux: the locale is the
// first of LC_ALL, LC_MESSAGES and LANG that is set and not empty; unless it is C or POSIX, the
// languages listed in LANGUAGE (es:fr) come before it. Windows: the user's preferred UI languages
// (GetUserPreferredUILanguages), else GetUserDefaultUILanguage. Each is read when asked.
Language SystemLanguage();

// The user's language: the one given to SetLanguage (--lang), else the one KESTROVA_LANG names,
// else the system's.
Language UserLanguage();
// Nothing: back to KESTROVA_LANG and the system's.
void SetLanguage(std::optional<Language> language);

// The text in `language`, or in the user's language. A text that the language lacks (missing,
// empty, fuzzy or with other values in its .po) is said in English.
const char* Tr(const Text& text, Language language);
const char* Tr(const Text& text);
// The form of a counted text for `count`.
const char* Tr(const Counted& text, unsigned long long count, Language language);

// The sentences one after another: Chinese runs them together, every other language puts a space
// between.
std::string Sentences(std::initializer_list<std::string_view> sentences);

// A value put into a text.
struct Value {
  enum class Kind { kSigned, kUnsigned, kDouble, kString };
  Kind kind;
  long long integer = 0;
  unsigned long long natural = 0;
  double real = 0;
  std::string_view string = {};
};

// `format` with its printf conversions (%s, %lld, %llu, %08llX, %.1f, numbered %2$s) put in from
// `values`, and %% as a percent sign. A conversion takes its value as the conversion's type
// (a number for %s is written in decimal, a string for a number as it is), and one without a
// value is left as it stands: a translation never makes it read what is not there. With
// `isolate`, each string value stands between the isolates U+2068 and U+2069 (for a language
// written right to left, so that a path keeps its own direction).
std::string Render(std::string_view format, std::span<const Value> values, bool isolate = false);

namespace detail {
template <typename T>
Value ValueOf(const T& value) {
  if constexpr (std::is_convertible_v<T, std::string_view>) {
    return {Value::Kind::kString, 0, 0, 0, std::string_view(value)};
  } else if constexpr (std::is_floating_point_v<T>) {
    return {Value::Kind::kDouble, 0, 0, static_cast<double>(value), {}};
  } else if constexpr (std::signed_integral<T>) {
    return {Value::Kind::kSigned, static_cast<long long>(value), 0, 0, {}};
  } else {
    static_assert(std::unsigned_integral<T>, "a text takes strings and numbers");
    return {Value::Kind::kUnsigned, 0, static_cast<unsigned long long>(value), 0, {}};
  }
}

template <typename... Values>
std::string RenderIn(Language language, const char* format, const Values&... values) {
  const Value list[] = {ValueOf(values)..., Value{Value::Kind::kString}};
  return Render(format, std::span(list, sizeof...(Values)), language.RightToLeft());
}
}  // namespace detail

// The text in `language` with the values put in.
template <typename... Values>
std::string Format(Language language, const Text& text, const Values&... values) {
  return detail::RenderIn(language, Tr(text, language), values...);
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
    return detail::RenderIn(language, format, count);
  } else {
    return detail::RenderIn(language, format, values...);
  }
}
template <std::integral Count, typename... Values>
std::string Format(const Counted& text, Count count, const Values&... values) {
  return Format(UserLanguage(), text, count, values...);
}

}  // namespace kestrova::texts
