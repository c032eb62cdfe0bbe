// SPDX-License-Identifier: GPL-3.0-or-later
// One pass from one analysis: the hidden entries shown again, the virus's files removed and the
// moved files put back, committed at once; the removal and the move back alone are this pass with
// one step.
#include <algorithm>
#include <new>
#include <optional>
#include <string>
#include <unordered_set>
#include <vector>

#include "format/codepage.h"
#include "format/fat.h"
#include "format/fat_table.h"
#include "format/problems.h"
#include "format/sha256.h"
#include "repair/commit.h"
#include "repair/engine.h"
#include "repair/journals.h"
#include "repair/pass.h"
#include "repair/quarantine.h"
#include "repair/steps.h"
#include "repair/verdicts.h"

namespace kestrova::repair {
namespace {

// The same leftover, by where it lies and what it is.
bool SameFile(const Judged& x, const Judged& y) {
  return x.folder == y.folder && x.file.offset == y.file.offset &&
         x.file.entryCount == y.file.entryCount && x.file.firstCluster == y.file.firstCluster &&
         x.file.size == y.file.size && x.file.Name() == y.file.Name();
}

// The leftovers found now that are among `chosen`, in root order; none when one of `chosen` is no
// longer found as it was.
std::optional<std::vector<Judged>> ChosenLeftovers(const std::vector<Judged>& found,
                                                   const std::vector<Judged>& chosen) {
  std::vector<Judged> kept;
  for (const Judged& leftover : found) {
    if (std::any_of(chosen.begin(), chosen.end(),
                    [&](const Judged& one) { return SameFile(one, leftover); })) {
      kept.push_back(leftover);
    }
  }
  if (kept.size() != chosen.size()) return std::nullopt;
  return kept;
}

// Whether the moved-files folder found now is the one that the user was shown, as it was shown.
bool SameFolder(const Judged* shown, const Judged* found) {
  if (static_cast<bool>(shown) != static_cast<bool>(found)) return false;
  return !found || (shown->file.offset == found->file.offset &&
                    shown->file.firstCluster == found->file.firstCluster &&
                    shown->file.Name() == found->file.Name());
}

// The fix, or with `write` false only what it would do.
Expected<Plan, Problem> Run(volume::Volume& volume, const VolumeLayout* analysed,
                            const FixChoice& choice, Progress* progress,
                            const JournalPlace* journal, PassKind kind, bool write,
                            const JournalFolderFiles* recall) {
  if (analysed && !IsAnalysed(*analysed)) return PassProblem(ProblemKind::kNotAnalysed);
  PassEnd pass(volume, kind);
  const auto fail = [&](Problem problem) {
    if (!write) {
      problem.pass = kind;
      return problem;
    }
    return pass.Fail(std::move(problem));
  };
  ProgressTrack track(progress);
  VolumeLayout now;
  RootCopy root;
  RestoredSectors restored;
  try {
    if (auto problem = Reanalyse(volume, analysed, now, choice.restore ? &restored : nullptr, track,
                                 &root, recall)) {
      return fail(std::move(*problem));
    }
    // The files removed are the ones the user was shown and chose, each still as it was shown,
    // and the folder that the files go back from is the one shown.
    std::vector<Judged> leftovers;
    if (choice.remove) {
      leftovers = now.findings.leftovers;
      if (analysed) {
        auto chosen = ChosenLeftovers(now.findings.leftovers, analysed->findings.leftovers);
        if (!chosen) {
          return fail(PassProblem(ProblemKind::kLayoutChanged, DetailKind::kRootFailsCheck));
        }
        leftovers = std::move(*chosen);
      }
      std::erase_if(leftovers, [&](const Judged& leftover) {
        return std::find(choice.keep.begin(), choice.keep.end(), leftover.Path()) !=
               choice.keep.end();
      });
    }
    const Judged* found = choice.moveBack ? MovedFilesFolder(now.findings) : nullptr;
    if (choice.moveBack && analysed && !SameFolder(MovedFilesFolder(analysed->findings), found)) {
      return fail(PassProblem(ProblemKind::kLayoutChanged, DetailKind::kRootFailsCheck));
    }

    Plan plan;
    SectorChanges changes(volume, now.bytesPerSector, track);
    RootEdit edit{root, root.bytes, {}};
    // The hidden entries shown again, in the root's new bytes.
    if (choice.restore) {
      plan.restore = now.findings.hidden;
      const auto sectorBytes = static_cast<std::size_t>(now.bytesPerSector);
      for (const auto& [index, change] : restored.sectors) {
        const std::size_t from = static_cast<std::size_t>(index) * sectorBytes;
        if (from >= edit.bytes.size()) continue;
        std::copy_n(change.after.begin(), std::min(sectorBytes, edit.bytes.size() - from),
                    edit.bytes.begin() + static_cast<std::ptrdiff_t>(from));
      }
    }
    std::vector<RemovedFile> removed;
    if (auto problem =
            RemoveLeftovers(volume, now, leftovers, edit, changes, track, plan, removed)) {
      return fail(std::move(*problem));
    }
    if (found) {
      const Judged folder = *found;
      if (auto problem = MoveFilesBack(volume, now, folder, choice.keep, edit, changes, track, plan,
                                       plan.moveBackRefused, removed)) {
        return fail(std::move(*problem));
      }
    }
    if (auto problem = HoldRoot(now, edit, changes)) return fail(std::move(*problem));
    plan.findings = now.findings;
    if (!write) return plan;
    std::optional<Quarantine> quarantine;
    if (journal && (!plan.remove.empty() || plan.moveBack.folderRemoved)) {
      auto kept = QuarantineFor(volume, now, removed, track);
      if (!kept) return fail(std::move(kept.error()));
      quarantine = std::move(*kept);
    }
    return CommitReport(std::move(plan), volume, pass, changes, track,
                        {journal, &now, quarantine ? &*quarantine : nullptr});
  } catch (const std::bad_alloc&) {
    return fail(PassProblem(ProblemKind::kOutOfMemory));
  }
}

}  // namespace

// The quarantine of a removal: each removed file with its content, each of the virus's files that
// stays with its digest (read now, before anything is written). A removed file that cannot be
// read whole refuses the removal: it could not come back.
Expected<Quarantine, Problem> QuarantineFor(volume::Volume& volume, const VolumeLayout& now,
                                            const std::vector<RemovedFile>& removed,
                                            ProgressTrack& track) {
  Quarantine quarantine{IdentityOf(now), {}};
  bool whole = true;
  const auto record = [&](const Judged& judged, bool gone) {
    QuarantinedFile file;
    file.removed = gone;
    file.path = judged.Path();
    file.longName = judged.file.longName;
    file.shortName = judged.file.shortName;
    file.attributes = judged.file.attributes;
    file.size = judged.file.IsFolder() ? 0 : judged.file.size;
    file.firstCluster = judged.file.firstCluster;
    file.verdict = judged.verdict;
    file.evidence = judged.evidence;
    file.subject = judged.subject;
    file.command = judged.command;
    if (!judged.file.IsFolder()) {
      bool complete = false;
      std::vector<std::uint8_t> bytes = ReadFileContent(volume, now, judged.file, track, &complete);
      whole = complete;
      file.digest = Sha256Of(bytes);
      if (gone) file.bytes = std::move(bytes);
    }
    return file;
  };
  std::unordered_set<std::string> gone;
  for (const RemovedFile& one : removed) {
    QuarantinedFile file = record(one.judged, true);
    if (!whole) {
      Problem problem = PassProblem(ProblemKind::kReadFailed);
      problem.detail.name = file.path;
      return problem;
    }
    file.entries = one.entries;
    gone.insert(file.path);
    quarantine.files.push_back(std::move(file));
  }
  // What a later look must still know once what showed it is gone or shown: the virus's files
  // that stay, the user's files that the virus's shortcuts posed as, and the folder that the virus
  // moved the user's files into.
  const auto stays = [&](const Judged& judged) {
    if (gone.count(judged.Path())) return false;
    if (judged.evidence == Evidence::kMovedFilesFolder) return judged.folder.empty();
    if (judged.file.IsFolder()) return false;
    return VerdictOf(judged.evidence) == Verdict::kVirus ||
           (judged.evidence == Evidence::kDisguise && judged.folder.empty());
  };
  for (const auto* list : {&now.findings.leftovers, &now.findings.judged}) {
    for (const Judged& judged : *list) {
      if (!stays(judged)) continue;
      QuarantinedFile file = record(judged, false);
      if (whole) quarantine.files.push_back(std::move(file));
    }
  }
  return quarantine;
}

Expected<Plan, Problem> Fix(volume::Volume& volume, const VolumeLayout* analysed,
                            const FixChoice& choice, Progress* progress,
                            const JournalPlace* journal, PassKind pass) {
  JournalPlace copy;
  JournalFolderFiles listed;
  journal = ListedOnce(journal, copy, listed);
  return Run(volume, analysed, choice, progress, journal, pass, true,
             journal ? journal->listed : nullptr);
}

Expected<Plan, Problem> PlanFix(volume::Volume& volume, const FixChoice& choice, Progress* progress,
                                const JournalFolderFiles* recall) {
  return Run(volume, nullptr, choice, progress, nullptr, PassKind::kFix, false, recall);
}

Expected<CleanReport, Problem> Clean(volume::Volume& volume, const VolumeLayout* analysed,
                                     Progress* progress, const JournalPlace* journal) {
  auto fixed =
      Fix(volume, analysed, {.restore = false, .remove = true, .moveBack = false, .keep = {}},
          progress, journal, PassKind::kClean);
  if (!fixed) return std::move(fixed.error());
  return CleanReport{std::move(fixed->remove), std::move(fixed->kept), fixed->sectorsWritten,
                     std::move(fixed->journal), std::move(fixed->quarantine)};
}

Expected<MoveBackReport, Problem> MoveBack(volume::Volume& volume, const VolumeLayout* analysed,
                                           Progress* progress, const JournalPlace* journal) {
  auto fixed =
      Fix(volume, analysed, {.restore = false, .remove = false, .moveBack = true, .keep = {}},
          progress, journal, PassKind::kMoveBack);
  if (!fixed) return std::move(fixed.error());
  if (fixed->moveBackRefused) {
    Problem problem = std::move(*fixed->moveBackRefused);
    problem.pass = PassKind::kMoveBack;
    return problem;
  }
  MoveBackReport done = std::move(fixed->moveBack);
  done.sectorsWritten = fixed->sectorsWritten;
  done.journal = std::move(fixed->journal);
  done.quarantine = std::move(fixed->quarantine);
  return done;
}

Expected<MoveBackReport, Problem> PlanMoveBack(volume::Volume& volume, Progress* progress) {
  auto planned =
      PlanFix(volume, {.restore = false, .remove = false, .moveBack = true, .keep = {}}, progress);
  if (!planned) return std::move(planned.error());
  if (planned->moveBackRefused) return std::move(*planned->moveBackRefused);
  return std::move(planned->moveBack);
}

Expected<RestoreReport, Problem> Restore(volume::Volume& volume, const Quarantine& quarantine,
                                         const std::vector<std::string>& paths, Progress* progress,
                                         const JournalPlace* journal) {
  PassEnd pass(volume, PassKind::kRestore);
  ProgressTrack track(progress);
  // The files to put back, each checked before the drive is looked at.
  std::vector<const QuarantinedFile*> files;
  for (const std::string& path : paths) {
    const auto kept = std::find_if(
        quarantine.files.begin(), quarantine.files.end(), [&](const QuarantinedFile& file) {
          return file.removed && (file.path == path || VisiblePath(file.path) == path) &&
                 !(file.attributes & fat::kAttrDirectory);
        });
    if (kept == quarantine.files.end()) {
      return pass.Fail(MakeProblem(ProblemKind::kNotInQuarantine, {DetailKind::kNone, 0, 0, path}));
    }
    if (Sha256Of(kept->bytes) != kept->digest || kept->entries.empty()) {
      return pass.Fail(
          MakeProblem(ProblemKind::kQuarantineDamaged, {DetailKind::kNone, 0, 0, path}));
    }
    if (std::find(files.begin(), files.end(), &*kept) == files.end()) files.push_back(&*kept);
  }
  VolumeLayout now;
  RootCopy root;
  RestoreReport done;
  try {
    if (auto problem = Reanalyse(volume, nullptr, now, nullptr, track, &root)) {
      return pass.Fail(std::move(*problem));
    }
    if (IdentityOf(now) != quarantine.volume) {
      return pass.Fail(PassProblem(ProblemKind::kJournalOtherVolume));
    }
    SectorChanges changes(volume, now.bytesPerSector, track);
    RootEdit edit{root, root.bytes, {}};
    if (auto problem = PutBackFiles(volume, now, files, edit, changes, track, done.restored)) {
      return pass.Fail(std::move(*problem));
    }
    if (auto problem = HoldRoot(now, edit, changes)) return pass.Fail(std::move(*problem));
    return CommitReport(std::move(done), volume, pass, changes, track, {journal, &now});
  } catch (const std::bad_alloc&) {
    return pass.Fail(PassProblem(ProblemKind::kOutOfMemory));
  }
}

}  // namespace kestrova::repair
