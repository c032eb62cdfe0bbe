// SPDX-License-Identifier: GPL-3.0-or-later
#include "volume/read_ring_linux.h"

#include <liburing.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <exception>

namespace kestrova::volume {

namespace {

// Reads on their way at once: a root's scattered clusters, or a batch of folders' first ones.
constexpr unsigned kRingEntries = 32;

}  // namespace

struct ReadRing::Ring {
  io_uring ring{};
};

std::unique_ptr<ReadRing> ReadRing::Make() {
  auto ring = std::make_unique<Ring>();
  if (io_uring_queue_init(kRingEntries, &ring->ring, 0) != 0) return nullptr;
  return std::unique_ptr<ReadRing>(new ReadRing(std::move(ring)));
}

ReadRing::ReadRing(std::unique_ptr<Ring> ring) : ring_(std::move(ring)) {}

ReadRing::~ReadRing() { io_uring_queue_exit(&ring_->ring); }

std::vector<bool> ReadRing::ReadAll(int fd, std::span<const ReadRequest> requests,
                                    const ReadArrived& arrived) {
  std::vector<bool> whole(requests.size(), false);
  std::exception_ptr thrown;
  std::size_t next = 0;
  while (!broken_ && !thrown && next < requests.size()) {
    // A ring's worth of reads, each from a buffer aligned for unbuffered transfers (the others
    // are left to the caller, which copies them through one).
    unsigned prepared = 0;
    for (; next < requests.size() && prepared < kRingEntries; ++next) {
      const ReadRequest& request = requests[next];
      if (request.bytes.empty() ||
          reinterpret_cast<std::uintptr_t>(request.bytes.data()) % kBufferAlignment != 0) {
        continue;
      }
      io_uring_sqe* entry = io_uring_get_sqe(&ring_->ring);
      if (!entry) break;
      io_uring_prep_read(entry, fd, request.bytes.data(),
                         static_cast<unsigned>(request.bytes.size()), request.offset);
      io_uring_sqe_set_data64(entry, next);
      ++prepared;
    }
    unsigned sent = 0;
    while (sent < prepared) {
      const int submitted = io_uring_submit(&ring_->ring);
      if (submitted == -EINTR || submitted == -EAGAIN) continue;
      if (submitted <= 0) {
        // What was not taken is never sent: the ring is left as it is until it goes.
        broken_ = true;
        break;
      }
      sent += static_cast<unsigned>(submitted);
    }
    // Every read sent must end before its buffer goes back to the caller.
    for (unsigned ended = 0; ended < sent;) {
      io_uring_cqe* done = nullptr;
      const int waited = io_uring_wait_cqe(&ring_->ring, &done);
      if (waited == -EINTR || waited == -EAGAIN) continue;
      // The kernel may still write into the caller's buffers: nothing safe is left to do.
      if (waited != 0 || !done) std::abort();
      const auto index = static_cast<std::size_t>(io_uring_cqe_get_data64(done));
      const bool all = index < requests.size() && done->res >= 0 &&
                       static_cast<std::size_t>(done->res) == requests[index].bytes.size();
      io_uring_cqe_seen(&ring_->ring, done);
      ++ended;
      if (!all) continue;
      whole[index] = true;
      // What `arrived` throws waits until no read is on its way into the caller's buffers.
      if (arrived && !thrown) {
        try {
          arrived(index);
        } catch (...) {
          thrown = std::current_exception();
        }
      }
    }
  }
  if (thrown) std::rethrow_exception(thrown);
  return whole;
}

}  // namespace kestrova::volume
