// SPDX-License-Identifier: GPL-3.0-or-later
// A build without the UDisks2 client: the daemon never answers, so the drives come from sysfs and
// every device is opened directly.
#include "volume/drive_watch.h"
#include "volume/udisks_posix.h"

namespace kestrova::volume::udisks {

std::optional<std::vector<BlockDevice>> CandidateDevices() { return std::nullopt; }
Outcome OpenDevice(dev_t, Access) { return {}; }
Outcome Unmount(dev_t) { return {}; }
Outcome Mount(dev_t) { return {}; }

}  // namespace kestrova::volume::udisks

namespace kestrova::volume {

std::unique_ptr<DriveWatch> WatchDrives() { return nullptr; }

}  // namespace kestrova::volume
