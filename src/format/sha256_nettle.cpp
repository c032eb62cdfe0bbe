// SPDX-License-Identifier: GPL-3.0-or-later
#include <nettle/sha2.h>

#include "format/sha256.h"

namespace kestrova {

struct Sha256::State {
  sha256_ctx context{};
};

Sha256::Sha256() : state_(std::make_unique<State>()) { sha256_init(&state_->context); }
Sha256::~Sha256() = default;

void Sha256::Add(std::span<const std::uint8_t> bytes) {
  sha256_update(&state_->context, bytes.size(), bytes.data());
}

Sha256Digest Sha256::Finish() {
  Sha256Digest digest{};
  sha256_digest(&state_->context, digest.size(), digest.data());
  return digest;
}

}  // namespace kestrova
