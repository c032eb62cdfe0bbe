// SPDX-License-Identifier: GPL-3.0-or-later
#include "format/pif.h"

#include <algorithm>
#include <string_view>

#include "format/codepage.h"

namespace kestrova::repair {
namespace {

// The basic section's fields and the heading of the section list after it.
constexpr std::size_t kProgramAt = 0x24;
constexpr std::size_t kProgramBytes = 63;
constexpr std::size_t kParametersAt = 0xA5;
constexpr std::size_t kParametersBytes = 64;
constexpr std::size_t kHeadingAt = 0x171;
constexpr std::string_view kHeading = "MICROSOFT PIFEX";

// A field's text up to its first NUL, without the blanks that pad it.
std::string Field(std::span<const std::uint8_t> bytes, std::size_t at, std::size_t size) {
  const auto field = bytes.subspan(at, size);
  const auto end = std::find(field.begin(), field.end(), std::uint8_t{0});
  std::string_view text(reinterpret_cast<const char*>(field.data()),
                        static_cast<std::size_t>(end - field.begin()));
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  return Cp936ToUtf8(text);
}

}  // namespace

std::optional<PifProgram> ParsePif(std::span<const std::uint8_t> bytes) {
  if (bytes.size() < kHeadingAt + kHeading.size()) return std::nullopt;
  const auto heading = bytes.subspan(kHeadingAt, kHeading.size());
  if (!std::equal(heading.begin(), heading.end(), kHeading.begin(), kHeading.end())) {
    return std::nullopt;
  }
  PifProgram pif{Field(bytes, kProgramAt, kProgramBytes),
                 Field(bytes, kParametersAt, kParametersBytes)};
  if (pif.program.empty()) return std::nullopt;
  return pif;
}

}  // namespace kestrova::repair
