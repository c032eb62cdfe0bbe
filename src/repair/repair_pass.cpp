// SPDX-License-Identifier: GPL-3.0-or-later
// The attribute repair pass over the root directory, and the undo of a journaled change.
#include <algorithm>
#include <new>
#include <optional>
#include <vector>

#include "format/fat.h"
#include "format/problems.h"
#include "format/sector_io.h"
#include "repair/commit.h"
#include "repair/directory.h"
#include "repair/engine.h"
#include "repair/journals.h"
#include "repair/pass.h"
#include "repair/quarantine.h"
#include "repair/steps.h"

namespace kestrova::repair {

Expected<RepairReport, Problem> Repair(volume::Volume& volume, const VolumeLayout* analysed,
                                       Progress* progress, const JournalPlace* journal) {
  if (analysed && !IsAnalysed(*analysed)) {
    return PassProblem(ProblemKind::kNotAnalysed);
  }
  PassEnd pass(volume);
  ProgressTrack track(progress);
  JournalPlace copy;
  JournalFolderFiles listed;
  journal = ListedOnce(journal, copy, listed);
  // The root directory is read whole before anything is written.
  RestoredSectors restored;
  VolumeLayout now;
  if (auto problem = Reanalyse(volume, analysed, now, &restored, track, nullptr,
                               journal ? journal->listed : nullptr)) {
    return pass.Fail(std::move(*problem));
  }
  // The changed sectors of the root, at their places in the volume.
  SectorChanges changes(volume, now.bytesPerSector, track);
  try {
    std::int64_t base = 0;  // the extent's first sector, counted in the root
    auto next = restored.sectors.begin();
    for (const RootExtent& extent : RootExtents(now)) {
      for (; next != restored.sectors.end() && next->first < base + extent.sectors; ++next) {
        changes.Put(extent.firstSector + (next->first - base), std::move(next->second.before),
                    std::move(next->second.after));
      }
      base += extent.sectors;
    }
  } catch (const std::bad_alloc&) {
    return pass.Fail(PassProblem(ProblemKind::kOutOfMemory));
  }
  // A folder that the virus moved the files into is known by being hidden: once shown, the next
  // look knows it, and the virus's files in it, from the quarantine's records.
  std::optional<Quarantine> quarantine;
  const bool movedFiles =
      std::any_of(now.findings.judged.begin(), now.findings.judged.end(), [](const Judged& j) {
        return j.folder.empty() && j.evidence == Evidence::kMovedFilesFolder &&
               (j.file.attributes & fat::kAttrHiddenOrSystem);
      });
  if (journal && movedFiles && !changes.sectors().empty()) {
    auto kept = QuarantineFor(volume, now, {}, track);
    if (!kept) return pass.Fail(std::move(kept.error()));
    quarantine = std::move(*kept);
  }
  auto committed =
      Commit(volume, pass, changes, track, {journal, &now, quarantine ? &*quarantine : nullptr},
             WriteOrder::kAsHeld);
  if (!committed) return std::move(committed.error());
  RepairReport done;
  done.restored = std::move(now.findings.hidden);
  done.findings = std::move(now.findings);
  done.sectorsWritten = committed->sectorsWritten;
  done.journal = std::move(committed->journal);
  return done;
}

Expected<UndoReport, Problem> Undo(volume::Volume& volume, const Journal& journal,
                                   Progress* progress) {
  PassEnd pass(volume, PassKind::kUndo);
  ProgressTrack track(progress);
  // Only the volume's identity is checked: a root whose change or undo was cut short may not
  // pass the analysis until it is undone.
  VolumeLayout now;
  if (auto refused = ReadVolumeGeometry(volume, now)) return pass.Fail(*refused);
  if (IdentityOf(now) != journal.volume) {
    return pass.Fail(PassProblem(ProblemKind::kJournalOtherVolume));
  }
  // Every sector must still hold what the change wrote: all of them are read before the first
  // write.
  const auto sectorBytes = static_cast<std::uint32_t>(now.bytesPerSector);
  // Each sector is read, then written.
  track.Plan(2 * static_cast<std::int64_t>(sectorBytes) *
             static_cast<std::int64_t>(journal.sectors.size()));
  // Each sector holds what the change wrote (to be put back) or its old bytes already (an undo
  // that ran before, maybe cut short); anything else refuses them all.
  std::vector<bool> toWrite;
  const auto read = ReadJournalSectors(
      volume, journal,
      [&](std::size_t index, std::span<const std::uint8_t> sector) -> std::optional<Problem> {
        const JournalSector& entry = journal.sectors[index];
        const bool changed = std::equal(entry.after.begin(), entry.after.end(), sector.begin());
        if (!changed && !std::equal(entry.before.begin(), entry.before.end(), sector.begin())) {
          Problem problem = PassProblem(ProblemKind::kJournalSectorChanged);
          problem.sector = entry.sector;
          return problem;
        }
        toWrite.push_back(changed);
        return std::nullopt;
      },
      [&](std::int64_t bytes) { track.Moved(bytes); });
  if (read) return pass.Fail(*read);
  UndoReport done;
  done.alreadyUndone = std::none_of(toWrite.begin(), toWrite.end(), [](bool b) { return b; });
  // The old bytes go back where the change still holds.
  SectorChanges changes(volume, now.bytesPerSector, track);
  for (std::size_t i = 0; i < journal.sectors.size(); ++i) {
    const JournalSector& entry = journal.sectors[i];
    if (toWrite[i]) changes.Put(entry.sector, entry.after, entry.before);
  }
  track.Moved(static_cast<std::int64_t>(sectorBytes) *
              std::count(toWrite.begin(), toWrite.end(), false));
  auto committed = Commit(volume, pass, changes, track, {}, WriteOrder::kAsHeld);
  if (!committed) return std::move(committed.error());
  done.sectorsWritten = committed->sectorsWritten;
  return done;
}

}  // namespace kestrova::repair
