// The attribute repair pass over the root directory.
#include <algorithm>
#include <vector>

#include "repair/directory.h"
#include "repair/engine.h"
#include "repair/sector_io.h"

namespace kestrova::repair {
namespace {

constexpr double kFullTrack = 100.0;

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
// must still have; without it the analysis under the lock stands alone.
void RepairOpenVolume(OpenPass& pass, const VolumeLayout* analysed, WindowContacts& window,
                      RepairReport* report) {
  // Under the lock, the volume must still be the one analysed: the same boot sector and the same
  // root chain, checked as the analysis checks them. The root directory is read whole before
  // anything is written.
  VolumeLayout now;
  if (auto problem = AnalyseOpenVolume(now)) {
    // A volume that cannot be read, has a damaged boot region or does not fit its device is told
    // as such, whatever the analysis found before.
    const ProblemKind kind = problem->kind;
    const bool ownMessage =
        kind == ProblemKind::kReadFailed || kind == ProblemKind::kVolumeTooShort ||
        kind == ProblemKind::kDeviceSizeUnknown || kind == ProblemKind::kDeviceTooSmall ||
        kind == ProblemKind::kDamagedBootRegion;
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
  done.restored = ListHiddenFolders(now);
  // Restores the entries in memory, noting which sectors changed.
  const std::int64_t sectorSize = now.bytesPerSector;
  const auto patched = now.root.bytes();
  std::vector<bool> changed(patched.size() / static_cast<std::size_t>(sectorSize));
  for (const std::size_t offset : RootDirectoryOf(now.fileSystem).Restore(patched)) {
    changed[offset / static_cast<std::size_t>(sectorSize)] = true;
  }

  // Writes the sectors that changed, extent by extent (cluster by cluster) in order; adjacent
  // changed sectors of an extent go out as one transfer.
  const std::vector<RootExtent> extents = RootExtents(now);
  std::int64_t base = 0;  // the extent's first sector, counted in the root
  for (std::size_t i = 0; i < extents.size(); ++i) {
    const RootExtent& extent = extents[i];
    for (std::int32_t k = 0; k < extent.sectors;) {
      if (!changed[static_cast<std::size_t>(base + k)]) {
        ++k;
        continue;
      }
      std::int32_t end = k + 1;
      while (end < extent.sectors && changed[static_cast<std::size_t>(base + end)]) ++end;
      const std::int64_t sector = extent.firstSector + k;
      const auto bytes = patched.subspan(static_cast<std::size_t>((base + k) * sectorSize),
                                         static_cast<std::size_t>((end - k) * sectorSize));
      const bool earlier = pass.mayHaveWritten;
      const WriteResult written = WriteSectors(sector, now.bytesPerSector, bytes);
      if (written != WriteResult::kNotStarted) pass.mayHaveWritten = true;
      if (written != WriteResult::kOk) {
        Problem problem = PassProblem(ProblemKind::kWriteFailed);
        problem.sector = sector;
        problem.earlierWritten = earlier;
        problem.writeStarted = written == WriteResult::kFailed;
        pass.Fail(std::move(problem));
      }
      done.sectorsWritten += end - k;
      k = end;
    }
    base += extent.sectors;
    window.SetProgressWidth(static_cast<float>(static_cast<double>(i + 1) /
                                               static_cast<double>(extents.size()) * kFullTrack));
    window.ProcessPendingEvents();
  }
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
