// SPDX-License-Identifier: GPL-3.0-or-later
// Reads sent to the kernel together through an io_uring: scattered reads of a slow device then
// wait for it once instead of once each.
#pragma once

#include <cstddef>
#include <memory>
#include <span>
#include <vector>

#include "volume/volume.h"

namespace kestrova::volume {

class ReadRing {
 public:
  // A ring, or nothing when the system gives none (an older kernel, io_uring turned off, a
  // sandbox that forbids it).
  static std::unique_ptr<ReadRing> Make();
  ~ReadRing();
  ReadRing(const ReadRing&) = delete;
  ReadRing& operator=(const ReadRing&) = delete;

  // Reads each of `requests` from `fd`, all on their way at once (a ring's worth at a time),
  // tells `arrived` (when given) of each that brought all its bytes as it does, and returns which
  // did; the caller reads the others again, one by one, to learn why. Every read sent has ended
  // when this returns. None is read once the ring failed: it is then used no more.
  std::vector<bool> ReadAll(int fd, std::span<const ReadRequest> requests,
                            const ReadArrived& arrived);

 private:
  struct Ring;
  explicit ReadRing(std::unique_ptr<Ring> ring);
  std::unique_ptr<Ring> ring_;
  bool broken_ = false;
};

}  // namespace kestrova::volume
