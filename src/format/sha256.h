// SPDX-License-Identifier: GPL-3.0-or-later
// SHA-256 of a file's bytes, as the system's own library computes it (Nettle on Linux, CNG's
// BCrypt on Windows): what tells that a file is still the one judged before, and that a file
// put back is the one removed.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <span>
#include <string>

namespace kestrova {

using Sha256Digest = std::array<std::uint8_t, 32>;

// A digest fed in pieces.
class Sha256 {
 public:
  Sha256();
  ~Sha256();
  Sha256(const Sha256&) = delete;
  Sha256& operator=(const Sha256&) = delete;

  void Add(std::span<const std::uint8_t> bytes);
  // The digest of everything added; the object is spent then.
  Sha256Digest Finish();

 private:
  struct State;
  std::unique_ptr<State> state_;
};

Sha256Digest Sha256Of(std::span<const std::uint8_t> bytes);
// The digest in lowercase hexadecimal.
std::string HexOf(const Sha256Digest& digest);

}  // namespace kestrova
