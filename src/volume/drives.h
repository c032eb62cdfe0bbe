// SPDX-License-Identifier: GPL-3.0-or-later
// The drives that the system can offer: drive letters, their types, and on POSIX the table that
// maps a letter to a block device or an image file.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "volume/volume.h"

namespace kestrova::volume {

inline constexpr unsigned kDriveRemovable = 2;  // DRIVE_REMOVABLE
inline constexpr unsigned kDriveNoRootDir = 1;  // DRIVE_NO_ROOT_DIR

// The root of the drive with an uppercase `letter` as the drive type is asked for it: "f:", the
// letter in lower case and a colon.
inline std::string DriveRoot(char letter) { return {static_cast<char>(letter - 'A' + 'a'), ':'}; }

// The type of the drive whose root is `root` (as DriveRoot writes it), as GetDriveTypeA reports
// it. On POSIX a drive of the drive table is removable; any other is not.
unsigned QueryDriveType(const std::string& root);

struct DriveInfo {
  char letter = 0;     // uppercase
  std::string device;  // the device path, or on POSIX the block device or image behind it
  std::uint64_t sizeBytes = 0;
  std::string label;        // the system's volume label where it knows one (Windows); else empty
  bool labelKnown = false;  // the system told the label, an empty one too (UDisks2)
  std::string mountPoint;   // POSIX: where the drive is mounted; empty when it is not
  DriveTarget target;       // the drive as it is opened, resolved when the list was made
};

// The removable drives from kFirstDriveLetter to kLastDriveLetter, in letter order.
std::vector<DriveInfo> ListRemovableDrives();

// Takes a new look at the machine's drives. Between two refreshes a letter keeps the device it was
// given (on POSIX: the same device number, or the same file), so that a stick plugged in meanwhile
// cannot move a letter onto another device. The first use of the table refreshes it.
void RefreshDrives();

// Where the drive behind a letter is mounted now: the first mount of its device, or of one of its
// partitions, in /proc/self/mountinfo; empty when it is not mounted. Always empty on Windows, which
// dismounts the volume when the repair opens it.
std::string DriveMountPoint(const DriveTarget& target);

// How unmounting or mounting again the file system of a drive ended (POSIX: through UDisks2).
struct MountChange {
  bool done = false;
  bool notAuthorized = false;  // the system's authorization (polkit) refused
  bool noService = false;      // nothing can do it: no UDisks2, or it does not know the device
  std::string mountPoint;      // a mount: where the file system is mounted now
  std::string detail;          // the system's own words when it failed
};
MountChange UnmountDrive(const DriveTarget& target);
MountChange MountDrive(const DriveTarget& target);

// POSIX drive table. A front end presents an image file or a block device under a letter; the
// removable block devices of the machine take free letters from D upwards.
// Returns false when the letter is not one that DriveLetter takes (either case).
bool RegisterDrive(char letter, const std::string& path);
// The block device or image file behind a letter, if the table has it.
std::optional<std::string> DrivePath(char letter);

}  // namespace kestrova::volume
