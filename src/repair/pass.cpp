// SPDX-License-Identifier: GPL-3.0-or-later
#include "repair/pass.h"

#include <algorithm>

namespace kestrova::repair {

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
                                 VolumeLayout& now, RestoredSectors* restored, ProgressTrack& track,
                                 RootCopy* root, const JournalFolderFiles* recall) {
  // Under the lock, the volume must still be the one analysed: the same boot sector and the same
  // root chain, checked as the analysis checks them.
  if (auto refused = AnalyseInto(volume, now, restored, &track, root, recall)) {
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

}  // namespace kestrova::repair
