// SPDX-License-Identifier: GPL-3.0-or-later
#include "format/sha256.h"

namespace kestrova {

Sha256Digest Sha256Of(std::span<const std::uint8_t> bytes) {
  Sha256 digest;
  digest.Add(bytes);
  return digest.Finish();
}

std::string HexOf(const Sha256Digest& digest) {
  constexpr char kHex[] = "0123456789abcdef";
  std::string text;
  for (const std::uint8_t byte : digest) {
    text += kHex[byte >> 4];
    text += kHex[byte & 15];
  }
  return text;
}

}  // namespace kestrova
