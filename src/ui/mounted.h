// SPDX-License-Identifier: GPL-3.0-or-later
// What the window and the command line say about a drive that the system has mounted: the question
// before unmounting it, and how an unmount or the mount after the repair failed. In the user's
// language; the titles of their message boxes are texts::kMountedTitle and texts::kNoticeTitle.
#pragma once

#include <string>

#include "volume/drives.h"

namespace kestrova::ui {

// Whether to unmount the drive mounted at `mountPoint` and go on.
std::string UnmountQuestion(const std::string& mountPoint);
// The unmount failed; nothing was changed.
std::string UnmountFailed(const std::string& mountPoint, const volume::MountChange& change);
// The drive was unmounted for the repair and cannot be mounted again; `repaired` when a pass ran
// on it (and may have written), otherwise it says that the drive was not repaired.
std::string RemountFailed(const volume::MountChange& change, bool repaired);

}  // namespace kestrova::ui
