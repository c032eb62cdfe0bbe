// SPDX-License-Identifier: GPL-3.0-or-later
// What the passes that write a volume share (the repair, the removal of the virus's files, the
// undo): their end, their writes, and the check that the volume is still the analysed one.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "format/problem.h"
#include "format/problems.h"
#include "repair/engine.h"
#include "repair/layout.h"
#include "volume/volume.h"

namespace kestrova::repair {

inline Problem PassProblem(ProblemKind kind, DetailKind detail = DetailKind::kNone) {
  Problem problem = MakeProblem(kind);
  problem.detail.kind = detail;
  return problem;
}

// The end of a pass on its volume: a volume that may have been written is flushed and dismounted,
// so that what did change reaches the disk and the system re-reads it.
class PassEnd {
 public:
  explicit PassEnd(volume::Volume& volume, PassKind kind = PassKind::kRepair)
      : volume_(volume), kind_(kind) {}

  // A failed pass, with whether it had begun to write.
  Problem Fail(Problem problem) {
    problem.pass = kind_;
    if (mayHaveWritten) {
      volume_.Flush();
      volume_.Dismount();
    }
    problem.anyWritten = mayHaveWritten;
    return problem;
  }

  // Makes the written sectors reach the disk; a failure here is a failed pass. A dismount that
  // fails after a good flush is not: the sectors are on the disk.
  std::optional<Problem> Finish() {
    if (mayHaveWritten && volume_.Flush().has_value()) {
      volume_.Dismount();
      Problem problem = PassProblem(ProblemKind::kFlushFailed);
      problem.anyWritten = true;
      problem.pass = kind_;
      return problem;
    }
    volume_.Dismount();
    return std::nullopt;
  }

  bool mayHaveWritten = false;

 private:
  volume::Volume& volume_;
  PassKind kind_;
};

// How the volume under the pass's lock differs from the one analysed, or kNone when it does not.
DetailKind Difference(const VolumeLayout& analysed, const VolumeLayout& now);

// Whether a refusal of the analysis under the lock is told as it is, whatever the analysis found
// before: a volume that cannot be read, has a damaged boot region or does not fit its device, and
// a lack of memory.
bool TellsItself(ProblemKind kind);

// The analysis again under the pass's lock (see Repair): the refusal, told as the pass tells it,
// when it fails or the volume is no longer the analysed one. With `root`, the root directory as
// it read it is kept there; with `recall`, what the volume's quarantines that it names recall is
// applied (AnalyseInto).
std::optional<Problem> Reanalyse(volume::Volume& volume, const VolumeLayout* analysed,
                                 VolumeLayout& now, RestoredSectors* restored, ProgressTrack& track,
                                 RootCopy* root = nullptr,
                                 const JournalFolderFiles* recall = nullptr);

}  // namespace kestrova::repair
