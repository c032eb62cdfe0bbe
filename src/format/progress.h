// SPDX-License-Identifier: GPL-3.0-or-later
// How far a repair pass has come. The engine reports after every transfer of the volume, the reads
// of the analysis under the lock as well as the writes; a window shows it on its bar and handles
// its pending input in between, so that it stays alive on a slow drive.
#pragma once

#include <cstdint>

namespace kestrova::repair {

// The percent at which a pass is done, and a progress bar's track is full.
inline constexpr double kFullTrack = 100.0;

// Told after every transfer of a pass.
class Progress {
 public:
  virtual ~Progress() = default;
  // `percent` of the pass is done: never less than at the call before, and kFullTrack at its end.
  virtual void Advance(float percent) = 0;
};

// The pass's one track from 0 to 100%, weighted by the bytes that its planned transfers move: the
// root directory and the rest of the FAT as the analysis reads them, and the sectors to write,
// planned as the root's walker finds them. Each planned transfer takes its share of what is left
// of the track in proportion to the bytes still planned, so that the track never goes back when
// the plan grows, and it reaches its end with the last planned byte. Without a Progress it only
// counts.
class ProgressTrack {
 public:
  explicit ProgressTrack(Progress* progress = nullptr) : progress_(progress) {}

  // Transfers still to come will move `bytes` more.
  void Plan(std::int64_t bytes);
  // After a transfer of `bytes` that were planned.
  void Moved(std::int64_t bytes);
  // After a transfer that was not planned (the boot region, the FAT that the root chain's walk
  // reads, the allocation bitmap): the track stays where it is, and the progress hears of it.
  void Touched() { Report(); }
  // The end of the track, when the plan has not reached it.
  void Finish();

 private:
  void Report();

  Progress* progress_;
  double done_ = 0.0;      // percent of the track
  std::int64_t rest_ = 0;  // planned bytes that have not moved yet
};

}  // namespace kestrova::repair
