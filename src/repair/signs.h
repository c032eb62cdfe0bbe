// SPDX-License-Identifier: GPL-3.0-or-later
// Whether a look at a drive found signs of a worm, and how many of each: what a guard tells the
// user when a stick is plugged in. A sign is what a repair or a fix acts on.
#pragma once

#include <cstddef>

#include "repair/layout.h"

namespace kestrova::repair {

struct WormSigns {
  std::size_t hiddenFolders = 0;  // folders that a repair shows again
  std::size_t hiddenFiles = 0;    // the user's files that a repair shows again
  std::size_t virusFiles = 0;     // the virus's root files and folders (its shortcuts, autorun.inf,
                                  // programs)
  bool movedFiles = false;        // a folder into which the virus moved the user's files
  bool attributesSeen = true;     // false: the hidden bits were not seen, so no counts of them

  // Whether anything is the virus's doing: hidden entries alone may be the user's own.
  bool Any() const { return virusFiles > 0 || movedFiles; }
};

// The signs in an analysed layout, raw or through the file system.
WormSigns SignsOf(const VolumeLayout& layout, bool attributesSeen = true);

}  // namespace kestrova::repair
