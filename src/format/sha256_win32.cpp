// SPDX-License-Identifier: GPL-3.0-or-later
#include <windows.h>

#include <bcrypt.h>

#include <algorithm>
#include <stdexcept>

#include "format/sha256.h"

namespace kestrova {

struct Sha256::State {
  BCRYPT_ALG_HANDLE algorithm = nullptr;
  BCRYPT_HASH_HANDLE hash = nullptr;
};

// The digest's object lives in memory that BCrypt allocates itself (no object buffer given).
Sha256::Sha256() : state_(std::make_unique<State>()) {
  if (!BCRYPT_SUCCESS(
          BCryptOpenAlgorithmProvider(&state_->algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0)) ||
      !BCRYPT_SUCCESS(
          BCryptCreateHash(state_->algorithm, &state_->hash, nullptr, 0, nullptr, 0, 0))) {
    if (state_->algorithm) BCryptCloseAlgorithmProvider(state_->algorithm, 0);
    throw std::runtime_error("SHA-256 is not available from BCrypt");
  }
}

Sha256::~Sha256() {
  if (state_->hash) BCryptDestroyHash(state_->hash);
  if (state_->algorithm) BCryptCloseAlgorithmProvider(state_->algorithm, 0);
}

void Sha256::Add(std::span<const std::uint8_t> bytes) {
  // BCryptHashData takes at most 4 GiB at a time.
  constexpr std::size_t kPiece = 1u << 30;
  for (std::size_t at = 0; at < bytes.size(); at += kPiece) {
    const auto piece = bytes.subspan(at, std::min(kPiece, bytes.size() - at));
    if (!BCRYPT_SUCCESS(BCryptHashData(state_->hash, const_cast<PUCHAR>(piece.data()),
                                       static_cast<ULONG>(piece.size()), 0))) {
      throw std::runtime_error("BCryptHashData failed");
    }
  }
}

Sha256Digest Sha256::Finish() {
  Sha256Digest digest{};
  if (!BCRYPT_SUCCESS(
          BCryptFinishHash(state_->hash, digest.data(), static_cast<ULONG>(digest.size()), 0))) {
    throw std::runtime_error("BCryptFinishHash failed");
  }
  return digest;
}

}  // namespace kestrova
