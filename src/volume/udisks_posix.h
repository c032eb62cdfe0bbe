// SPDX-License-Identifier: GPL-3.0-or-later
// The UDisks2 daemon on the system bus: which block devices carry a FAT or exFAT file system on a
// removable drive or a loop device, and the door to them for a user without root (the daemon opens
// the device once polkit allows it). Which client is built is chosen at build time: the sd-bus one
// (udisks_posix.cpp), or none (udisks_none.cpp), with which the daemon never answers.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "volume/volume.h"

namespace kestrova::volume::udisks {

// A block device as UDisks2 describes it.
struct BlockDevice {
  std::string device;  // the device node, e.g. /dev/sdb1 or /dev/loop0
  std::uint64_t sizeBytes = 0;
  std::string label;  // the file system's label (IdLabel); may be empty
  dev_t number = 0;   // the device's number (DeviceNumber)
  std::string type;   // the file system (IdType, IdVersion): "vfat FAT32", "exfat 1.0"
  std::vector<std::string> mountPoints;  // Filesystem.MountPoints; empty when not mounted
};

// The block devices that carry a FAT or exFAT file system on a removable drive (or a card
// reader's medium) or on a loop device, sorted by device node; nothing when the daemon does not
// answer on the system bus.
std::optional<std::vector<BlockDevice>> CandidateDevices();

// How a call to the daemon about one block device ended.
struct Outcome {
  bool reached = false;        // the daemon answered and knows the device
  bool done = false;           // the call succeeded
  bool notAuthorized = false;  // polkit refused (NotAuthorized, ...CanObtain, ...Dismissed)
  int error = 0;               // errno of a failed open as the daemon reported it, else EIO & co.
  std::string detail;          // the daemon's own words when the call failed
  int fd = -1;                 // OpenDevice: the descriptor, owned by the caller
  std::string mountPoint;      // Mount: where the file system was mounted
};

// Block.OpenDevice: the device opened exclusively and unbuffered, for reading and writing or for
// reading only. Polkit may ask the user for a password.
Outcome OpenDevice(dev_t number, Access access);
// Filesystem.Unmount and Filesystem.Mount of the file system on the device.
Outcome Unmount(dev_t number);
Outcome Mount(dev_t number);

}  // namespace kestrova::volume::udisks
