// SPDX-License-Identifier: GPL-3.0-or-later
// The window's raw-volume routines, by the names its handlers have always used, over the one open
// Volume of the module: OpenVolume opens it, OpenedVolume is it and CloseVolume closes it. The
// engine reads and writes the Volume itself.
#pragma once

#include <optional>

#include "volume/volume.h"

namespace kestrova::ui {

// Opens the drive (closing one still open); why, when it cannot be opened.
std::optional<volume::DeviceError> OpenVolume(const volume::DriveTarget& target,
                                              volume::Access access);
// The volume that OpenVolume opened. Only while it is open.
volume::Volume& OpenedVolume();
void CloseVolume();

// Closes the module's volume when it goes: the one place where a handler's open ends.
class VolumeCloser {
 public:
  VolumeCloser() = default;
  VolumeCloser(const VolumeCloser&) = delete;
  VolumeCloser& operator=(const VolumeCloser&) = delete;
  ~VolumeCloser() { CloseVolume(); }
};

}  // namespace kestrova::ui
