// SPDX-License-Identifier: GPL-3.0-or-later
// The attribute repair pass over the root directory.
#include <algorithm>
#include <new>
#include <optional>
#include <vector>

#include "repair/directory.h"
#include "repair/engine.h"
#include "repair/journals.h"
#include "repair/pass.h"
#include "repair/problems.h"
#include "repair/sector_io.h"

namespace kestrova::repair {

std::optional<Problem> WriteRun(PassEnd& pass, volume::Volume& volume, std::int64_t sector,
                                std::uint32_t sectorBytes, std::span<const std::uint8_t> bytes) {
  const bool earlier = pass.mayHaveWritten;
  const auto failed = WriteSectors(volume, sector, sectorBytes, bytes);
  if (!failed) {
    pass.mayHaveWritten = true;
    return std::nullopt;
  }
  using Kind = volume::DeviceErrorKind;
  if (failed->kind == Kind::kReadOnly && !earlier) {
    return pass.Fail(PassProblem(ProblemKind::kWriteProtected));
  }
  const bool started = failed->kind != Kind::kNotStarted && failed->kind != Kind::kReadOnly;
  pass.mayHaveWritten |= started;
  Problem problem = PassProblem(ProblemKind::kWriteFailed);
  problem.sector = sector;
  problem.earlierWritten = earlier;
  problem.writeStarted = started;
  return pass.Fail(std::move(problem));
}

DetailKind Difference(const VolumeLayout& analysed, const VolumeLayout& now) {
  if (analysed.bootSector != now.bootSector) return DetailKind::kBootSectorDiffers;
  if (analysed.fileSystem != now.fileSystem) return DetailKind::kFileSystemDiffers;
  const auto count = static_cast<std::size_t>(now.rootClusterCount);
  if (analysed.rootClusterCount != now.rootClusterCount ||
      !std::equal(now.rootClusters.begin(), now.rootClusters.begin() + count,
                  analysed.rootClusters.begin())) {
    return DetailKind::kRootChainDiffers;
  }
  return DetailKind::kNone;
}

bool TellsItself(ProblemKind kind) {
  return kind == ProblemKind::kReadFailed || kind == ProblemKind::kVolumeTooShort ||
         kind == ProblemKind::kDeviceSizeUnknown || kind == ProblemKind::kDeviceTooSmall ||
         kind == ProblemKind::kDamagedBootRegion || kind == ProblemKind::kOutOfMemory;
}

std::optional<Problem> Reanalyse(volume::Volume& volume, const VolumeLayout* analysed,
                                 VolumeLayout& now, RestoredSectors* restored,
                                 ProgressTrack& track) {
  // Under the lock, the volume must still be the one analysed: the same boot sector and the same
  // root chain, checked as the analysis checks them.
  if (auto refused = AnalyseInto(volume, now, restored, &track)) {
    Problem problem = std::move(*refused);
    if (analysed && !TellsItself(problem.kind)) {
      const DetailKind difference = Difference(*analysed, now);
      problem =
          PassProblem(ProblemKind::kLayoutChanged,
                      difference == DetailKind::kNone ? DetailKind::kRootFailsCheck : difference);
    }
    return problem;
  }
  if (analysed) {
    if (const DetailKind difference = Difference(*analysed, now); difference != DetailKind::kNone) {
      return PassProblem(ProblemKind::kLayoutChanged, difference);
    }
  }
  return std::nullopt;
}

namespace {

// The journal of a repair: each changed sector of the root at its place in the volume, in the
// order the pass writes them.
Journal JournalOf(const VolumeLayout& layout, const std::vector<RootExtent>& extents,
                  const RestoredSectors& restored) {
  Journal journal{IdentityOf(layout), {}};
  std::int64_t base = 0;  // the extent's first sector, counted in the root
  auto next = restored.sectors.begin();
  for (const RootExtent& extent : extents) {
    for (; next != restored.sectors.end() && next->first < base + extent.sectors; ++next) {
      journal.sectors.push_back(
          {extent.firstSector + (next->first - base), next->second.before, next->second.after});
    }
    base += extent.sectors;
  }
  return journal;
}

}  // namespace

Expected<RepairReport, Problem> Repair(volume::Volume& volume, const VolumeLayout* analysed,
                                       Progress* progress, const JournalPlace* journal) {
  if (analysed && !IsAnalysed(*analysed)) {
    return PassProblem(ProblemKind::kNotAnalysed);
  }
  PassEnd pass(volume);
  ProgressTrack track(progress);
  // The root directory is read whole before anything is written.
  RestoredSectors restored;
  VolumeLayout now;
  if (auto problem = Reanalyse(volume, analysed, now, &restored, track)) {
    return pass.Fail(std::move(*problem));
  }
  RepairReport done;
  done.restored = std::move(now.findings.hidden);
  done.findings = std::move(now.findings);
  const std::vector<RootExtent> extents = RootExtents(now);
  // The journal reaches the disk before the volume is touched.
  if (journal && !restored.sectors.empty()) {
    auto written = WriteJournal(*journal, now, JournalOf(now, extents, restored));
    if (!written) return pass.Fail(std::move(written.error()));
    done.journal = std::move(*written);
  }
  const std::int64_t sectorSize = now.bytesPerSector;
  const std::int64_t maxRun = std::max<std::int64_t>(1, kMaxTransferBytes / sectorSize);
  // The one buffer of the writes, had before the first of them.
  std::optional<volume::AlignedBuffer> buffer;
  try {
    buffer.emplace(static_cast<std::size_t>(
        std::min<std::int64_t>(maxRun, static_cast<std::int64_t>(restored.sectors.size())) *
        sectorSize));
  } catch (const std::bad_alloc&) {
    return pass.Fail(PassProblem(ProblemKind::kOutOfMemory));
  }

  // Writes the sectors that changed, extent by extent (cluster by cluster) in order; adjacent
  // changed sectors of an extent go out as one transfer.
  auto next = restored.sectors.begin();
  std::int64_t base = 0;  // the extent's first sector, counted in the root
  for (const RootExtent& extent : extents) {
    const std::int64_t end = base + extent.sectors;
    while (next != restored.sectors.end() && next->first < end) {
      // A run of changed sectors that follow one another in this extent.
      const std::int64_t runFirst = next->first;
      std::int64_t run = 0;
      while (next != restored.sectors.end() && next->first == runFirst + run && next->first < end &&
             run < maxRun) {
        std::copy(next->second.after.begin(), next->second.after.end(),
                  buffer->bytes().begin() + static_cast<std::ptrdiff_t>(run * sectorSize));
        ++run;
        ++next;
      }
      const std::int64_t sector = extent.firstSector + (runFirst - base);
      const auto bytes = buffer->bytes().first(static_cast<std::size_t>(run * sectorSize));
      if (auto problem =
              WriteRun(pass, volume, sector, static_cast<std::uint32_t>(sectorSize), bytes)) {
        return std::move(*problem);
      }
      done.sectorsWritten += run;
      track.Moved(static_cast<std::int64_t>(bytes.size()));
    }
    base = end;
  }
  track.Finish();
  if (auto problem = pass.Finish()) return std::move(*problem);
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
  volume::AlignedBuffer sector(sectorBytes);
  // Each sector is read, then written.
  track.Plan(2 * static_cast<std::int64_t>(sectorBytes) *
             static_cast<std::int64_t>(journal.sectors.size()));
  // Each sector holds what the change wrote (to be put back) or its old bytes already (an undo
  // that ran before, maybe cut short); anything else refuses them all.
  std::vector<bool> toWrite;
  for (const JournalSector& entry : journal.sectors) {
    if (const auto failed = ReadSectors(volume, entry.sector, sectorBytes, sector.bytes())) {
      return pass.Fail(ReadProblem(*failed, entry.sector, sectorBytes));
    }
    track.Moved(sectorBytes);
    const bool changed = std::equal(entry.after.begin(), entry.after.end(), sector.bytes().begin());
    if (!changed && !std::equal(entry.before.begin(), entry.before.end(), sector.bytes().begin())) {
      Problem problem = PassProblem(ProblemKind::kJournalSectorChanged);
      problem.sector = entry.sector;
      return pass.Fail(std::move(problem));
    }
    toWrite.push_back(changed);
  }
  UndoReport done;
  done.alreadyUndone = std::none_of(toWrite.begin(), toWrite.end(), [](bool b) { return b; });
  for (std::size_t i = 0; i < journal.sectors.size(); ++i) {
    const JournalSector& entry = journal.sectors[i];
    if (!toWrite[i]) {
      track.Moved(sectorBytes);
      continue;
    }
    std::copy(entry.before.begin(), entry.before.end(), sector.bytes().begin());
    if (auto problem = WriteRun(pass, volume, entry.sector, sectorBytes, sector.bytes())) {
      return std::move(*problem);
    }
    ++done.sectorsWritten;
    track.Moved(sectorBytes);
  }
  track.Finish();
  if (auto problem = pass.Finish()) return std::move(*problem);
  return done;
}

}  // namespace kestrova::repair
