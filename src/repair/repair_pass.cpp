// The attribute repair pass over the root directory.
#include <algorithm>

#include "repair/engine.h"
#include "repair/entries.h"
#include "repair/messages.h"
#include "repair/sector_io.h"

namespace kestrova::repair {
namespace {

constexpr std::int64_t kBootSector = 0;
constexpr double kFullTrack = 100.0;

// The open volume of a pass. Ends the pass on a failure: a volume that has been written is
// dismounted so that the system re-reads what did change, and then it is closed.
class OpenPass {
 public:
  [[noreturn]] void Fail(const std::string& message) {
    Finish();
    throw RepairFailure(message, anyWritten);
  }
  void Finish() {
    if (anyWritten) volume::DismountVolume();
    volume::CloseVolume();
  }
  bool anyWritten = false;
};

}  // namespace

void cmdrepair_Click(VolumeLayout& layout, WindowContacts& window) {
  const std::int32_t count = layout.rootClusterCount;
  if (count < 1 || count > kRootClusterCapacity || layout.sectorsPerCluster < 1) {
    throw RepairFailure(messages::PassLayoutInvalid(), false);
  }
  const std::int16_t selected = window.FirstSelectedIndex();
  if (selected < 0) throw RepairFailure(messages::PassNoDrive(), false);
  if (!volume::OpenVolume(volume::DevicePath(window.ListEntryText(selected)))) {
    throw RepairFailure(messages::PassOpenFailed(), false);
  }
  OpenPass pass;

  // The drive behind the letter must still be the one that was analysed.
  volume::SectorBuffer sector{};
  if (!ReadSectorAt(kBootSector, sector, layout.bytesRead) || sector != layout.bootSector) {
    pass.Fail(messages::PassDiskChanged());
  }

  for (std::int32_t i = 0; i < count; ++i) {
    const auto first =
        ClusterFirstSector(layout, layout.rootClusters.at(static_cast<std::size_t>(i)));
    if (!first) pass.Fail(messages::PassLayoutInvalid());
    for (std::int32_t k = 0; k < layout.sectorsPerCluster; ++k) {
      const std::int64_t t = *first + k;
      if (!ReadSectorAt(t, sector, layout.bytesRead)) {
        pass.Fail(messages::PassReadFailed(t, pass.anyWritten));
      }
      ClearHiddenFolders(sector);
      if (!WriteSectorAt(t, sector)) pass.Fail(messages::PassWriteFailed(t, pass.anyWritten));
      pass.anyWritten = true;
      window.SetProgressWidth(static_cast<float>(static_cast<double>(i + 1) / count * kFullTrack));
      window.ProcessPendingEvents();
    }
  }
  pass.Finish();
}

}  // namespace kestrova::repair
