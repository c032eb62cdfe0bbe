// SPDX-License-Identifier: GPL-3.0-or-later
#include "words/texts.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#endif

namespace kestrova::texts {
namespace {

// The language that SetLanguage chose, as its index plus one; 0 when none was chosen.
std::atomic<std::size_t> chosen{0};

std::string Lower(std::string_view text) {
  std::string lower(text);
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return lower;
}

// A locale name without its encoding and modifier, '-' read as '_': "es_MX.UTF-8@euro" is
// "es_MX", "es-MX" too.
std::string LanguageAndCountry(std::string_view name) {
  std::string cut(name.substr(0, name.find_first_of(".@")));
  std::replace(cut.begin(), cut.end(), '-', '_');
  return cut;
}

bool IsC(std::string_view locale) {
  const std::string name = LanguageAndCountry(locale);
  return name.empty() || name == "C" || name == "POSIX";
}

#ifdef _WIN32
// The user's preferred UI languages ("es-MX"), then the default UI language.
std::optional<Language> WindowsLanguage() {
  ULONG count = 0;
  ULONG size = 0;
  if (GetUserPreferredUILanguages(MUI_LANGUAGE_NAME, &count, nullptr, &size) && size > 0) {
    std::vector<wchar_t> names(size);
    if (GetUserPreferredUILanguages(MUI_LANGUAGE_NAME, &count, names.data(), &size)) {
      for (const wchar_t* name = names.data(); *name; name += wcslen(name) + 1) {
        std::string ascii;
        for (const wchar_t* c = name; *c; ++c) ascii += static_cast<char>(*c < 0x80 ? *c : '?');
        if (auto language = Language::Named(ascii)) return language;
      }
    }
  }
  wchar_t name[LOCALE_NAME_MAX_LENGTH] = {};
  if (LCIDToLocaleName(MAKELCID(GetUserDefaultUILanguage(), SORT_DEFAULT), name,
                       LOCALE_NAME_MAX_LENGTH, 0) > 0) {
    std::string ascii;
    for (const wchar_t* c = name; *c; ++c) ascii += static_cast<char>(*c < 0x80 ? *c : '?');
    return Language::Named(ascii);
  }
  return std::nullopt;
}
#endif

// Where `isolate` puts a string value: between FIRST STRONG ISOLATE and POP DIRECTIONAL ISOLATE.
constexpr std::string_view kIsolateStart = "\u2068";
constexpr std::string_view kIsolateEnd = "\u2069";

// One conversion of a format: %[n$][flags][width][.precision][length]type.
struct Conversion {
  std::size_t length = 0;  // of the whole conversion, from its '%'
  std::size_t number = 0;  // n of n$, 0 when not numbered
  std::string_view flags;  // flags, width and precision, as written
  char type = 0;           // 0: no conversion that this reads
};

Conversion Read(std::string_view format, std::size_t at) {
  Conversion conversion;
  std::size_t i = at + 1;
  const auto digits = [&] {
    while (i < format.size() && std::isdigit(static_cast<unsigned char>(format[i]))) ++i;
  };
  const std::size_t numberStart = i;
  digits();
  if (i > numberStart && i < format.size() && format[i] == '$') {
    conversion.number = static_cast<std::size_t>(std::strtoul(
        std::string(format.substr(numberStart, i - numberStart)).c_str(), nullptr, 10));
    ++i;
  } else {
    i = numberStart;
  }
  const std::size_t flagsStart = i;
  while (i < format.size() && std::string_view("-+ #0").find(format[i]) != std::string_view::npos) {
    ++i;
  }
  digits();
  if (i < format.size() && format[i] == '.') {
    ++i;
    digits();
  }
  conversion.flags = format.substr(flagsStart, i - flagsStart);
  while (i < format.size() &&
         std::string_view("hlLzjt").find(format[i]) != std::string_view::npos) {
    ++i;
  }
  if (i < format.size() &&
      std::string_view("diouxXeEfFgGcs").find(format[i]) != std::string_view::npos) {
    conversion.type = format[i];
    conversion.length = i + 1 - at;
  }
  return conversion;
}

// One value as `conversion` writes it.
void Put(std::string& text, const Conversion& conversion, const Value& value, bool isolate) {
  const std::string flags(conversion.flags);
  const char type = conversion.type;
  const auto printed = [&](const std::string& format, auto number) {
    std::array<char, 128> buffer;
    const int length = std::snprintf(buffer.data(), buffer.size(), format.c_str(), number);
    if (length > 0) text.append(buffer.data(), std::min<std::size_t>(length, buffer.size() - 1));
  };
  if (value.kind == Value::Kind::kString || type == 's' || type == 'c') {
    std::string string;
    switch (value.kind) {
      case Value::Kind::kString:
        string = value.string;
        break;
      case Value::Kind::kSigned:
        string = std::to_string(value.integer);
        break;
      case Value::Kind::kUnsigned:
        string = std::to_string(value.natural);
        break;
      case Value::Kind::kDouble:
        string = std::to_string(value.real);
        break;
    }
    if (!flags.empty()) {
      // A width or a precision, rare in the texts, is left to snprintf.
      std::vector<char> buffer(string.size() + 256);
      const int length =
          std::snprintf(buffer.data(), buffer.size(), ("%" + flags + "s").c_str(), string.c_str());
      if (length > 0)
        string.assign(buffer.data(), std::min<std::size_t>(length, buffer.size() - 1));
    }
    const bool isolated = isolate && value.kind == Value::Kind::kString && !string.empty();
    if (isolated) text += kIsolateStart;
    text += string;
    if (isolated) text += kIsolateEnd;
    return;
  }
  const double real = value.kind == Value::Kind::kDouble   ? value.real
                      : value.kind == Value::Kind::kSigned ? static_cast<double>(value.integer)
                                                           : static_cast<double>(value.natural);
  const long long integer = value.kind == Value::Kind::kSigned ? value.integer
                            : value.kind == Value::Kind::kUnsigned
                                ? static_cast<long long>(value.natural)
                                : static_cast<long long>(value.real);
  const unsigned long long natural = value.kind == Value::Kind::kUnsigned ? value.natural
                                     : value.kind == Value::Kind::kSigned
                                         ? static_cast<unsigned long long>(value.integer)
                                         : static_cast<unsigned long long>(value.real);
  switch (type) {
    case 'd':
    case 'i':
      printed("%" + flags + "lld", integer);
      break;
    case 'o':
    case 'u':
    case 'x':
    case 'X':
      printed("%" + flags + "ll" + type, natural);
      break;
    default:
      printed("%" + flags + type, real);
  }
}

}  // namespace

std::size_t Language::Count() { return 2 + detail::Translations().size(); }

Language Language::At(std::size_t index) { return Language(index); }

std::optional<Language> Language::Named(std::string_view name) {
  const std::string wanted = Lower(LanguageAndCountry(name));
  if (IsC(name)) return std::nullopt;
  const std::string language = wanted.substr(0, wanted.find('_'));
  if (language == "zh") return kChinese;
  if (language == "en") return kEnglish;
  const auto translations = detail::Translations();
  // The language and country first ("pt_br"), then the language alone ("es" for "es_mx"), then a
  // country's form of the language ("pt_BR" for "pt").
  for (int pass = 0; pass < 3; ++pass) {
    for (std::size_t i = 0; i < translations.size(); ++i) {
      const std::string code = Lower(translations[i].code);
      const std::string codeLanguage = code.substr(0, code.find('_'));
      if ((pass == 0 && code == wanted) || (pass == 1 && code == language) ||
          (pass == 2 && codeLanguage == language)) {
        return Language(2 + i);
      }
    }
  }
  return std::nullopt;
}

std::string_view Language::Code() const {
  if (index_ == 0) return "zh";
  if (index_ == 1) return "en";
  return Table()->code;
}

bool Language::RightToLeft() const {
  const LanguageTable* table = Table();
  return table && table->rightToLeft;
}

const LanguageTable* Language::Table() const {
  const auto translations = detail::Translations();
  return index_ >= 2 && index_ - 2u < translations.size() ? &translations[index_ - 2u] : nullptr;
}

Language LanguageOf(std::string_view locale) {
  return Language::Named(locale).value_or(Language::kChinese);
}

Language SystemLanguage() {
#ifdef _WIN32
  return WindowsLanguage().value_or(Language::kChinese);
#else
  std::string_view locale;
  for (const char* variable : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
    const char* value = std::getenv(variable);
    if (value && *value) {
      locale = value;
      break;
    }
  }
  if (IsC(locale)) return Language::kChinese;
  // LANGUAGE: a list of languages, the first that the table has is taken.
  if (const char* list = std::getenv("LANGUAGE")) {
    std::string_view rest = list;
    while (!rest.empty()) {
      const std::size_t colon = std::min(rest.find(':'), rest.size());
      if (auto language = Language::Named(rest.substr(0, colon))) return *language;
      rest.remove_prefix(std::min(colon + 1, rest.size()));
    }
  }
  return LanguageOf(locale);
#endif
}

Language UserLanguage() {
  if (const std::size_t index = chosen.load(std::memory_order_relaxed)) {
    return Language::At(index - 1);
  }
  if (const char* named = std::getenv("KESTROVA_LANG"); named && *named) {
    if (IsC(named)) return Language::kChinese;
    if (auto language = Language::Named(named)) return *language;
  }
  return SystemLanguage();
}

void SetLanguage(std::optional<Language> language) {
  chosen.store(language ? language->Index() + 1 : 0, std::memory_order_relaxed);
}

const char* Tr(const Text& text, Language language) {
  if (language == Language::kChinese && *text.chinese) return text.chinese;
  if (const LanguageTable* table = language.Table()) {
    if (const char* translated = table->texts[table->first[text.id]]) return translated;
  }
  return text.english;
}

const char* Tr(const Text& text) { return Tr(text, UserLanguage()); }

const char* Tr(const Counted& text, unsigned long long count, Language language) {
  if (language == Language::kChinese) return text.chinese;
  if (const LanguageTable* table = language.Table()) {
    const std::size_t form = table->plural(count);
    if (form < table->pluralForms) {
      if (const char* translated = table->texts[table->first[text.id] + form]) return translated;
    }
  }
  return count == 1 ? text.one : text.other;
}

std::string Sentences(std::initializer_list<std::string_view> sentences) {
  const bool spaced = UserLanguage() != Language::kChinese;
  std::string joined;
  for (const std::string_view sentence : sentences) {
    if (sentence.empty()) continue;
    if (spaced && !joined.empty()) joined += ' ';
    joined += sentence;
  }
  return joined;
}

std::string Render(std::string_view format, std::span<const Value> values, bool isolate) {
  std::string text;
  text.reserve(format.size() + 32 * values.size());
  std::size_t next = 0;  // the value of the next conversion without a number
  std::size_t at = 0;
  while (at < format.size()) {
    const std::size_t percent = format.find('%', at);
    if (percent == std::string_view::npos) {
      text.append(format.substr(at));
      break;
    }
    text.append(format.substr(at, percent - at));
    if (percent + 1 < format.size() && format[percent + 1] == '%') {
      text += '%';
      at = percent + 2;
      continue;
    }
    const Conversion conversion = Read(format, percent);
    const std::size_t index = conversion.number ? conversion.number - 1 : next++;
    if (conversion.type == 0 || index >= values.size()) {
      text += '%';
      at = percent + 1;
      continue;
    }
    Put(text, conversion, values[index], isolate);
    at = percent + conversion.length;
  }
  return text;
}

}  // namespace kestrova::texts
