// SPDX-License-Identifier: GPL-3.0-or-later
// The passes as both front ends run them on a drive opened for writing: the change of the
// drive's newest journal that was cut short is finished first, then the pass runs under the same
// open.
#pragma once

#include <functional>
#include <optional>

#include "format/problem.h"
#include "format/progress.h"
#include "repair/engine.h"
#include "repair/journal.h"
#include "repair/journals.h"
#include "repair/quarantine.h"
#include "volume/volume.h"

namespace kestrova::repair {

// What a pass on a drive did, and the change cut short that it finished before.
template <typename Report>
struct DrivePass {
  Report report;
  std::optional<FinishedChange> finished;
};

// Told of a change cut short once it is finished, before the pass goes on.
using FinishedHook = std::function<void(const FinishedChange&)>;

// Repair and Clean on `volume`, opened for writing: first FinishCutShort for the journal folder of
// `journal`, then the pass (with `analysed` and `journal` as Repair and Clean take them). The
// problem when either failed; its anyWritten is set also when only the finished change wrote.
Expected<DrivePass<RepairReport>, Problem> RepairDrive(volume::Volume& volume,
                                                       const VolumeLayout* analysed,
                                                       const JournalPlace& journal,
                                                       Progress* progress,
                                                       const FinishedHook& finished = {});
Expected<DrivePass<CleanReport>, Problem> CleanDrive(volume::Volume& volume,
                                                     const VolumeLayout* analysed,
                                                     const JournalPlace& journal,
                                                     Progress* progress,
                                                     const FinishedHook& finished = {});
// MoveBack the same way.
Expected<DrivePass<MoveBackReport>, Problem> MoveBackDrive(volume::Volume& volume,
                                                           const VolumeLayout* analysed,
                                                           const JournalPlace& journal,
                                                           Progress* progress,
                                                           const FinishedHook& finished = {});

// Restore the same way.
Expected<DrivePass<RestoreReport>, Problem> RestoreDrive(
    volume::Volume& volume, const Quarantine& quarantine, const std::vector<std::string>& paths,
    const JournalPlace& journal, Progress* progress, const FinishedHook& finished = {});
// Fix the same way, with `choice`.
Expected<DrivePass<Plan>, Problem> FixDrive(volume::Volume& volume, const VolumeLayout* analysed,
                                            const FixChoice& choice, const JournalPlace& journal,
                                            Progress* progress, const FinishedHook& finished = {});

}  // namespace kestrova::repair
