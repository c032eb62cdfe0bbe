// SPDX-License-Identifier: GPL-3.0-or-later
// Code page 936 through iconv.
#include <iconv.h>

#include <algorithm>
#include <cerrno>

#include "format/codepage.h"

namespace kestrova::repair {
namespace {

constexpr const char* kReplacement = "\xEF\xBF\xBD";  // U+FFFD

class Converter {
 public:
  Converter() : cd_(iconv_open("UTF-8", "CP936")) {}
  ~Converter() {
    if (Valid()) iconv_close(cd_);
  }
  Converter(const Converter&) = delete;
  Converter& operator=(const Converter&) = delete;
  bool Valid() const { return cd_ != reinterpret_cast<iconv_t>(-1); }
  iconv_t get() const { return cd_; }

 private:
  iconv_t cd_;
};

}  // namespace

std::string Cp936ToUtf8(std::string_view bytes) {
  // ASCII reads the same in both; most names are ASCII, and they need no converter.
  if (std::all_of(bytes.begin(), bytes.end(),
                  [](char c) { return static_cast<unsigned char>(c) < 0x80; })) {
    return std::string(bytes);
  }
  thread_local Converter converter;
  std::string out;
  if (!converter.Valid()) {
    for (char c : bytes)
      out += static_cast<unsigned char>(c) < 0x80 ? std::string(1, c) : kReplacement;
    return out;
  }
  iconv(converter.get(), nullptr, nullptr, nullptr, nullptr);
  std::string input(bytes);
  char* in = input.data();
  std::size_t inLeft = input.size();
  while (inLeft > 0) {
    char buffer[64];
    char* o = buffer;
    std::size_t outLeft = sizeof buffer;
    const std::size_t result = iconv(converter.get(), &in, &inLeft, &o, &outLeft);
    out.append(buffer, static_cast<std::size_t>(o - buffer));
    if (result == static_cast<std::size_t>(-1) && errno != E2BIG) {
      // An invalid or cut-off sequence: show one replacement and go on after its first byte.
      out += kReplacement;
      ++in;
      --inLeft;
      iconv(converter.get(), nullptr, nullptr, nullptr, nullptr);
    }
  }
  return out;
}

}  // namespace kestrova::repair
