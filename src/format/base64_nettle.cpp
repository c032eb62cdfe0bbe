// SPDX-License-Identifier: GPL-3.0-or-later
#include <nettle/base64.h>

#include "format/base64.h"

namespace kestrova {

std::optional<std::vector<std::uint8_t>> DecodeBase64(std::string_view text, std::size_t maxBytes) {
  // Four characters make three bytes at most: a longer text is refused before it is decoded.
  if (text.size() / 4 > maxBytes / 3 + 1) return std::nullopt;
  std::vector<std::uint8_t> bytes(BASE64_DECODE_LENGTH(text.size()));
  base64_decode_ctx context{};
  base64_decode_init(&context);
  std::size_t length = bytes.size();
  if (!base64_decode_update(&context, &length, bytes.data(), text.size(), text.data()) ||
      !base64_decode_final(&context) || length > maxBytes) {
    return std::nullopt;
  }
  bytes.resize(length);
  return bytes;
}

}  // namespace kestrova
