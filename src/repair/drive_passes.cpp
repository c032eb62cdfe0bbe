// SPDX-License-Identifier: GPL-3.0-or-later
#include "repair/drive_passes.h"

namespace kestrova::repair {
namespace {

// The journal folder is listed once for the whole pass: the change cut short is found, the
// quarantines recalled and the new journal named by that listing.
template <typename Report, typename Pass>
Expected<DrivePass<Report>, Problem> OnDrive(volume::Volume& volume, const JournalPlace& journal,
                                             Progress* progress, const FinishedHook& hook,
                                             Pass pass) {
  const JournalFolderFiles listed(journal.folder);
  JournalPlace place = journal;
  place.listed = &listed;
  auto finished = FinishCutShort(volume, listed, progress);
  if (!finished) return std::move(finished.error());
  if (*finished && hook) hook(**finished);
  auto done = pass(place);
  if (!done) {
    Problem problem = std::move(done.error());
    problem.anyWritten |= *finished && (*finished)->sectorsWritten > 0;
    return problem;
  }
  return DrivePass<Report>{std::move(*done), std::move(*finished)};
}

}  // namespace

Expected<DrivePass<RepairReport>, Problem> RepairDrive(volume::Volume& volume,
                                                       const VolumeLayout* analysed,
                                                       const JournalPlace& journal,
                                                       Progress* progress,
                                                       const FinishedHook& finished) {
  return OnDrive<RepairReport>(volume, journal, progress, finished, [&](const JournalPlace& place) {
    return Repair(volume, analysed, progress, &place);
  });
}

Expected<DrivePass<CleanReport>, Problem> CleanDrive(volume::Volume& volume,
                                                     const VolumeLayout* analysed,
                                                     const JournalPlace& journal,
                                                     Progress* progress,
                                                     const FinishedHook& finished) {
  return OnDrive<CleanReport>(volume, journal, progress, finished, [&](const JournalPlace& place) {
    return Clean(volume, analysed, progress, &place);
  });
}

Expected<DrivePass<MoveBackReport>, Problem> MoveBackDrive(volume::Volume& volume,
                                                           const VolumeLayout* analysed,
                                                           const JournalPlace& journal,
                                                           Progress* progress,
                                                           const FinishedHook& finished) {
  return OnDrive<MoveBackReport>(
      volume, journal, progress, finished,
      [&](const JournalPlace& place) { return MoveBack(volume, analysed, progress, &place); });
}

Expected<DrivePass<RestoreReport>, Problem> RestoreDrive(
    volume::Volume& volume, const Quarantine& quarantine, const std::vector<std::string>& paths,
    const JournalPlace& journal, Progress* progress, const FinishedHook& finished) {
  return OnDrive<RestoreReport>(volume, journal, progress, finished,
                                [&](const JournalPlace& place) {
                                  return Restore(volume, quarantine, paths, progress, &place);
                                });
}

Expected<DrivePass<Plan>, Problem> FixDrive(volume::Volume& volume, const VolumeLayout* analysed,
                                            const FixChoice& choice, const JournalPlace& journal,
                                            Progress* progress, const FinishedHook& finished) {
  return OnDrive<Plan>(volume, journal, progress, finished, [&](const JournalPlace& place) {
    return Fix(volume, analysed, choice, progress, &place);
  });
}

}  // namespace kestrova::repair
