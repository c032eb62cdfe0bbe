// SPDX-License-Identifier: GPL-3.0-or-later
// The steps of the passes that change the root and what hangs from it: the removal of the virus's
// files and the move back of what it moved. Each reads and checks what it needs, then adds its
// changes to the root's new bytes and to one set of changed sectors; a pass runs one or several of
// them on the same analysis and commits once.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "format/problem.h"
#include "format/progress.h"
#include "repair/commit.h"
#include "repair/engine.h"
#include "repair/findings.h"
#include "repair/layout.h"
#include "repair/quarantine.h"
#include "volume/volume.h"

namespace kestrova::repair {

// The root as the steps change it: its bytes as the analysis read them, and as they become, with
// the clusters it grows by after them.
struct RootEdit {
  const RootCopy& read;
  std::vector<std::uint8_t> bytes;
  std::vector<std::int64_t> added;  // the clusters that the root grows by, in order
};

// A file or folder that a step removes, as the quarantine keeps it: whose it is and why, and its
// directory entries as they were.
struct RemovedFile {
  Judged judged;
  std::vector<std::uint8_t> entries;
};

// Removes `leftovers` (the virus's root files and folders found now, in root order) as Clean
// does: their root entries marked in root.bytes, their clusters and what lies in their folders in
// `changes`. plan.remove and plan.kept say what went and what stayed; `removed` gets every file
// and folder removed, those inside the removed folders too.
std::optional<Problem> RemoveLeftovers(volume::Volume& volume, const VolumeLayout& now,
                                       const std::vector<Judged>& leftovers, RootEdit& root,
                                       SectorChanges& changes, ProgressTrack& track, Plan& plan,
                                       std::vector<RemovedFile>& removed);

// Puts back into the root what the virus moved into `folder` (the moved-files folder found now)
// as MoveBack does, into root.bytes as the steps before left them. plan.moveBack says what; the
// virus's files removed with the folder go to `removed`. The virus's files in the folder whose
// paths `keep` names keep it. A refusal found before anything is changed (the root has no room,
// a folder cannot be read whole) is put in `refused`, and nothing is changed then; the problem
// that ends the pass otherwise.
std::optional<Problem> MoveFilesBack(volume::Volume& volume, const VolumeLayout& now,
                                     const Judged& folder, const std::vector<std::string>& keep,
                                     RootEdit& root, SectorChanges& changes, ProgressTrack& track,
                                     Plan& plan, std::optional<Problem>& refused,
                                     std::vector<RemovedFile>& removed);

// The quarantine of a pass on the volume analysed as `now`: each removed file with its content
// (one that cannot be read whole refuses the pass: it could not come back), and a record of what
// a later look must still know once what showed it is gone or shown: each of the virus's files
// that stays (with its digest), each user's file that the virus's shortcuts posed as, and the
// folder that the virus moved the user's files into.
Expected<Quarantine, Problem> QuarantineFor(volume::Volume& volume, const VolumeLayout& now,
                                            const std::vector<RemovedFile>& removed,
                                            ProgressTrack& track);

// Writes each of `files` (removed files of a quarantine, with their content) back into the root
// as a new file: its entries as they were, in free slots (the root grown when it may), renamed
// when the root holds its name, without the hidden and system bits, their content in free
// clusters (chained in every FAT, counted used). `restored` says under which names. The problem
// when the root or the volume has no room (kRootFull, kVolumeFull).
std::optional<Problem> PutBackFiles(volume::Volume& volume, const VolumeLayout& now,
                                    const std::vector<const QuarantinedFile*>& files,
                                    RootEdit& root, SectorChanges& changes, ProgressTrack& track,
                                    std::vector<MovedBack>& restored);

// Holds in `changes` the root's sectors whose bytes the steps changed, and the sectors of the
// clusters it grows by.
std::optional<Problem> HoldRoot(const VolumeLayout& now, const RootEdit& root,
                                SectorChanges& changes);

// The moved-files folder that the analysis found in the root, when there is one.
const Judged* MovedFilesFolder(const RootFindings& findings);

}  // namespace kestrova::repair
