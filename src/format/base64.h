// SPDX-License-Identifier: GPL-3.0-or-later
// Base64 as the system's own library decodes it (Nettle on Linux, crypt32's CryptStringToBinaryA
// on Windows): what PowerShell's -EncodedCommand carries.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

namespace kestrova {

// The bytes of a base64 text (the standard alphabet, padded; blanks and line breaks between its
// characters skipped), or nothing when it is no such text or would decode to more than
// `maxBytes`.
std::optional<std::vector<std::uint8_t>> DecodeBase64(std::string_view text, std::size_t maxBytes);

}  // namespace kestrova
