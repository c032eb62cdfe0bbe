// SPDX-License-Identifier: GPL-3.0-or-later
// What the POSIX opener learns about the machine's block devices and files before it hands out a
// descriptor: which device or file a drive letter was given, where a device is mounted, and
// whether an image file backs a loop device.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>

#include "volume/volume.h"

namespace kestrova::volume {

// The device or file behind a path, as it was when a drive letter was given to it.
struct DeviceIdentity {
  bool blockDevice = false;
  dev_t device = 0;  // a block device: its number (st_rdev); a file: its file system's (st_dev)
  ino_t inode = 0;   // a file only
  // A block device: the disk's sequence number, which changes when other media or another disk
  // takes the same device number; 0 when the kernel does not tell.
  std::uint64_t diskSequence = 0;
};

// The identity of what `path` names now; nothing when it names neither a block device nor a file.
std::optional<DeviceIdentity> IdentityOfPath(const std::string& path);
// The identity of an open descriptor, whose fstat result is `info`.
DeviceIdentity IdentityOfDescriptor(int fd, const struct stat& info);
// Whether `now` is still what was `recorded`.
bool SameDevice(const DeviceIdentity& recorded, const DeviceIdentity& now);

// A letter of the drive table snapshot (drives_posix.cpp): the path, and the identity recorded for
// it; none yet for a registered path that did not exist when it was registered.
struct DriveBinding {
  std::string path;
  std::optional<DeviceIdentity> identity;
};
std::optional<DriveBinding> BoundDrive(char letter);
// The binding of a letter, or a path's own with no identity recorded.
std::optional<DriveBinding> Binding(const DriveTarget& target);
// Records the identity of a registered path found on its first open, if the letter still names it.
void RecordDriveIdentity(char letter, const std::string& path, const DeviceIdentity& identity);

// Where the block device `device`, or one of its partitions, is mounted (the first such mount in
// /proc/self/mountinfo); empty when it is not mounted.
std::string MountPointOf(dev_t device);

// What a block device is, apart from what it holds: a disk or partition like any other, a whole
// disk whose volumes are its partitions, or part of a fixed disk that holds a mounted system file
// system.
struct DeviceRole {
  enum class Kind { kOrdinary, kWholeDisk, kSystemDisk };
  Kind kind = Kind::kOrdinary;
  std::string partition;   // kWholeDisk: the device path of its first partition
  std::string mountPoint;  // kSystemDisk: where the system file system is mounted
};
DeviceRole RoleOf(dev_t device);

// Whether the file (st_dev, st_ino) backs an attached loop device.
bool BacksLoopDevice(dev_t device, ino_t inode);

}  // namespace kestrova::volume
