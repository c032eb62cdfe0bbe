// SPDX-License-Identifier: GPL-3.0-or-later
#include <windows.h>

#include <wincrypt.h>

#include <algorithm>

#include "format/base64.h"

namespace kestrova {

std::optional<std::vector<std::uint8_t>> DecodeBase64(std::string_view text, std::size_t maxBytes) {
  // Four characters make three bytes at most: a longer text is refused before it is decoded.
  if (text.empty() || text.size() / 4 > maxBytes / 3 + 1) return std::nullopt;
  // Padded to whole groups of four, as Nettle and PowerShell take it: crypt32 takes less.
  const auto blanks = std::count_if(text.begin(), text.end(), [](char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
  });
  if ((text.size() - static_cast<std::size_t>(blanks)) % 4 != 0) return std::nullopt;
  const auto length = static_cast<DWORD>(text.size());
  DWORD size = 0;
  if (!CryptStringToBinaryA(text.data(), length, CRYPT_STRING_BASE64, nullptr, &size, nullptr,
                            nullptr) ||
      size > maxBytes) {
    return std::nullopt;
  }
  std::vector<std::uint8_t> bytes(size);
  if (size > 0 && !CryptStringToBinaryA(text.data(), length, CRYPT_STRING_BASE64, bytes.data(),
                                        &size, nullptr, nullptr)) {
    return std::nullopt;
  }
  bytes.resize(size);
  return bytes;
}

}  // namespace kestrova
