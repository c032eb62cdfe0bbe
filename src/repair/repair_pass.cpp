// SPDX-License-Identifier: GPL-3.0-or-later
// The attribute repair pass over the root directory.
#include <algorithm>
#include <new>
#include <optional>
#include <vector>

#include "repair/directory.h"
#include "repair/engine.h"
#include "repair/sector_io.h"

namespace kestrova::repair {
namespace {

Problem PassProblem(ProblemKind kind, DetailKind detail = DetailKind::kNone) {
  Problem problem;
  problem.kind = kind;
  problem.detail.kind = detail;
  return problem;
}

// The open volume of a pass, closed in one place. Ends the pass on a failure: a volume that may
// have been written is flushed and dismounted so that what did change reaches the disk and the
// system re-reads it, and then it is closed.
class OpenPass {
 public:
  OpenPass() = default;
  OpenPass(const OpenPass&) = delete;
  OpenPass& operator=(const OpenPass&) = delete;
  ~OpenPass() {
    if (open_) volume::CloseVolume();
  }

  [[noreturn]] void Fail(Problem problem) {
    if (mayHaveWritten) {
      volume::FlushVolume();
      volume::DismountVolume();
    }
    Close();
    throw RepairFailure(std::move(problem), mayHaveWritten);
  }

  // Makes the written sectors reach the disk; a failure here is a failed pass. A dismount that
  // fails after a good flush is not: the sectors are on the disk.
  void Finish() {
    if (mayHaveWritten && !volume::FlushVolume()) {
      volume::DismountVolume();
      Close();
      throw RepairFailure(PassProblem(ProblemKind::kFlushFailed), true);
    }
    volume::DismountVolume();
    Close();
  }

  bool mayHaveWritten = false;

 private:
  void Close() {
    if (open_) volume::CloseVolume();
    open_ = false;
  }
  bool open_ = true;
};

// How the volume under the pass's lock differs from the one analysed, or kNone when it does not.
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

// The pass on the open volume of `pass`. `analysed`, when given, is the layout that the volume
// must still have; without it the analysis under the lock stands alone. The window's bar follows
// one track over the reads and the writes, and the window handles its input after every transfer.
void RepairOpenVolume(OpenPass& pass, const VolumeLayout* analysed, WindowContacts& window,
                      RepairReport* report) {
  WindowProgress progress(window);
  ProgressTrack track(&progress);
  // Under the lock, the volume must still be the one analysed: the same boot sector and the same
  // root chain, checked as the analysis checks them. The root directory is read whole before
  // anything is written.
  VolumeLayout now;
  RestoredSectors restored;
  if (auto problem = AnalyseOpenVolume(now, &restored, &track)) {
    // A volume that cannot be read, has a damaged boot region or does not fit its device is told
    // as such, whatever the analysis found before; so is a lack of memory.
    const ProblemKind kind = problem->kind;
    const bool ownMessage =
        kind == ProblemKind::kReadFailed || kind == ProblemKind::kVolumeTooShort ||
        kind == ProblemKind::kDeviceSizeUnknown || kind == ProblemKind::kDeviceTooSmall ||
        kind == ProblemKind::kDamagedBootRegion || kind == ProblemKind::kOutOfMemory;
    if (analysed && !ownMessage) {
      const DetailKind difference = Difference(*analysed, now);
      problem =
          PassProblem(ProblemKind::kLayoutChanged,
                      difference == DetailKind::kNone ? DetailKind::kRootFailsCheck : difference);
    }
    pass.Fail(std::move(*problem));
  }
  if (analysed) {
    if (const DetailKind difference = Difference(*analysed, now); difference != DetailKind::kNone) {
      pass.Fail(PassProblem(ProblemKind::kLayoutChanged, difference));
    }
  }
  RepairReport done;
  done.restored = now.findings.hidden;
  const std::int64_t sectorSize = now.bytesPerSector;
  const std::int64_t maxRun = std::max<std::int64_t>(1, kMaxTransferBytes / sectorSize);
  // The one buffer of the writes, had before the first of them.
  std::optional<volume::AlignedBuffer> buffer;
  try {
    buffer.emplace(static_cast<std::size_t>(
        std::min<std::int64_t>(maxRun, static_cast<std::int64_t>(restored.sectors.size())) *
        sectorSize));
  } catch (const std::bad_alloc&) {
    pass.Fail(PassProblem(ProblemKind::kOutOfMemory));
  }

  // Writes the sectors that changed, extent by extent (cluster by cluster) in order; adjacent
  // changed sectors of an extent go out as one transfer.
  const std::vector<RootExtent> extents = RootExtents(now);
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
        std::copy(next->second.begin(), next->second.end(),
                  buffer->bytes().begin() + static_cast<std::ptrdiff_t>(run * sectorSize));
        ++run;
        ++next;
      }
      const std::int64_t sector = extent.firstSector + (runFirst - base);
      const auto bytes = buffer->bytes().first(static_cast<std::size_t>(run * sectorSize));
      const bool earlier = pass.mayHaveWritten;
      const WriteResult written = WriteSectors(sector, now.bytesPerSector, bytes);
      if (written == WriteResult::kOk || written == WriteResult::kFailed) {
        pass.mayHaveWritten = true;
      }
      // A medium that turns out to be write-protected at the first write: nothing was written.
      if (written == WriteResult::kProtected && !earlier) {
        pass.Fail(PassProblem(ProblemKind::kWriteProtected));
      }
      if (written != WriteResult::kOk) {
        Problem problem = PassProblem(ProblemKind::kWriteFailed);
        problem.sector = sector;
        problem.earlierWritten = earlier;
        problem.writeStarted = written == WriteResult::kFailed;
        pass.Fail(std::move(problem));
      }
      done.sectorsWritten += run;
      track.Moved(static_cast<std::int64_t>(bytes.size()));
    }
    base = end;
  }
  track.Finish();
  pass.Finish();
  if (report) *report = std::move(done);
}

// Opens the volume of the first selected list entry for the pass; a failure is told as `kind`.
void OpenForPass(WindowContacts& window, ProblemKind kind) {
  const std::int16_t selected = window.FirstSelectedIndex();
  if (selected < 0) throw RepairFailure(PassProblem(ProblemKind::kNoDrive), false);
  if (!volume::OpenVolume(volume::DevicePath(window.ListEntryText(selected)))) {
    Problem problem = PassProblem(kind);
    problem.open = volume::LastOpenFailure();
    throw RepairFailure(std::move(problem), false);
  }
}

}  // namespace

void cmdrepair_Click(VolumeLayout& layout, WindowContacts& window, RepairReport* report) {
  if (RootExtents(layout).empty() || layout.bytesPerSector < 1) {
    throw RepairFailure(PassProblem(ProblemKind::kNotAnalysed), false);
  }
  OpenForPass(window, ProblemKind::kPassOpenFailed);
  OpenPass pass;
  RepairOpenVolume(pass, &layout, window, report);
}

void RepairDrive(WindowContacts& window, RepairReport* report) {
  OpenForPass(window, ProblemKind::kOpenFailed);  // the open is the analysis's own
  OpenPass pass;
  RepairOpenVolume(pass, nullptr, window, report);
}

}  // namespace kestrova::repair
