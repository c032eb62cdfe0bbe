// SPDX-License-Identifier: GPL-3.0-or-later
#include "repair/signs.h"

#include <algorithm>

namespace kestrova::repair {

WormSigns SignsOf(const VolumeLayout& layout, bool attributesSeen) {
  WormSigns signs;
  signs.attributesSeen = attributesSeen;
  const RootFindings& findings = layout.findings;
  if (attributesSeen) {
    for (const HiddenEntry& hidden : findings.hidden) {
      if (hidden.deleted || hidden.afterEnd) continue;
      ++(hidden.folder ? signs.hiddenFolders : signs.hiddenFiles);
    }
  }
  signs.virusFiles = findings.leftovers.size();
  signs.movedFiles =
      std::any_of(findings.judged.begin(), findings.judged.end(), [](const Judged& j) {
        return j.folder.empty() && j.evidence == Evidence::kMovedFilesFolder;
      });
  return signs;
}

}  // namespace kestrova::repair
