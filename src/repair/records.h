// SPDX-License-Identifier: GPL-3.0-or-later
// How the files that this program keeps beside a volume (journals, quarantines) are written and
// read: little-endian numbers, byte runs, and CRC-32 checksums of their records.
#pragma once

#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace kestrova::repair {

inline std::uint32_t Checksum(std::span<const std::uint8_t> bytes) {
  uLong crc = crc32(0L, Z_NULL, 0);
  // zlib takes at most 4 GiB a call.
  for (std::size_t at = 0; at < bytes.size(); at += std::size_t{1} << 30) {
    const std::size_t part = std::min(bytes.size() - at, std::size_t{1} << 30);
    crc = crc32(crc, bytes.data() + at, static_cast<uInt>(part));
  }
  return static_cast<std::uint32_t>(crc);
}

inline void Put(std::vector<std::uint8_t>& out, std::uint64_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

// Reads the file's bytes in order; every read is checked against what is left.
class Reader {
 public:
  explicit Reader(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}
  bool Take(std::uint64_t& value, int bytes) {
    if (bytes_.size() - at_ < static_cast<std::size_t>(bytes)) return false;
    value = 0;
    for (int i = 0; i < bytes; ++i) value |= std::uint64_t{bytes_[at_ + i]} << (8 * i);
    at_ += static_cast<std::size_t>(bytes);
    return true;
  }
  bool Take(std::vector<std::uint8_t>& out, std::size_t count) {
    if (bytes_.size() - at_ < count) return false;
    out.assign(bytes_.begin() + static_cast<std::ptrdiff_t>(at_),
               bytes_.begin() + static_cast<std::ptrdiff_t>(at_ + count));
    at_ += count;
    return true;
  }
  bool Expect(std::string_view text) {
    if (bytes_.size() - at_ < text.size() ||
        !std::equal(text.begin(), text.end(), bytes_.begin() + static_cast<std::ptrdiff_t>(at_))) {
      return false;
    }
    at_ += text.size();
    return true;
  }
  bool AtEnd() const { return at_ == bytes_.size(); }
  std::size_t At() const { return at_; }
  // The bytes read from `from` on.
  std::span<const std::uint8_t> Since(std::size_t from) const {
    return bytes_.subspan(from, at_ - from);
  }

 private:
  std::span<const std::uint8_t> bytes_;
  std::size_t at_ = 0;
};

}  // namespace kestrova::repair
