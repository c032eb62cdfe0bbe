// SPDX-License-Identifier: GPL-3.0-or-later
// The volume layout state: the geometry that the analysis reads (format/geometry.h), and what it
// found in the root directory. What the repair and the clean pass check the volume against before
// they write.
#pragma once

#include "format/geometry.h"
#include "repair/findings.h"

namespace kestrova::repair {

struct VolumeLayout : VolumeGeometry {
  // What the analysis found in the root directory as it read it.
  RootFindings findings;
};

}  // namespace kestrova::repair
