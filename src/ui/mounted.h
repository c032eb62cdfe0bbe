// What the window and the command line say about a drive that the system has mounted: the question
// before unmounting it, and how an unmount or the mount after the repair failed.
#pragma once

#include <string>

#include "volume/drives.h"

namespace kestrova::ui {

inline constexpr const char* kMountedTitle = "磁盘已挂载";
inline constexpr const char* kNoticeTitle = "提示";

// Whether to unmount the drive mounted at `mountPoint` and go on.
std::string UnmountQuestion(const std::string& mountPoint);
// The unmount failed; nothing was changed.
std::string UnmountFailed(const std::string& mountPoint, const volume::MountChange& change);
// The drive was unmounted for the repair and cannot be mounted again.
std::string RemountFailed(const volume::MountChange& change);

}  // namespace kestrova::ui
