// SPDX-License-Identifier: GPL-3.0-or-later
#include "format/progress.h"

#include <algorithm>

namespace kestrova::repair {

void ProgressTrack::Plan(std::int64_t bytes) { rest_ += std::max<std::int64_t>(bytes, 0); }

void ProgressTrack::Moved(std::int64_t bytes) {
  // Bytes past the plan move nothing.
  const std::int64_t moved = std::clamp<std::int64_t>(bytes, 0, rest_);
  if (moved > 0) {
    done_ = moved == rest_ ? kFullTrack
                           : done_ + (kFullTrack - done_) * static_cast<double>(moved) /
                                         static_cast<double>(rest_);
    rest_ -= moved;
  }
  Report();
}

void ProgressTrack::Finish() {
  if (done_ >= kFullTrack) return;  // the last planned transfer has reported the end
  done_ = kFullTrack;
  rest_ = 0;
  Report();
}

void ProgressTrack::Report() {
  if (progress_) progress_->Advance(static_cast<float>(done_));
}

}  // namespace kestrova::repair
