// SPDX-License-Identifier: GPL-3.0-or-later
// The volume label of a drive, for listing drives.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "repair/layout.h"
#include "volume/volume.h"

namespace kestrova::repair {

// The label of an analysed volume: the boot sector's on FAT (trailing blanks removed, the
// formatters' "NO NAME" as none, bytes of 0x80 and above read as code page 936), the root's label
// entry on exFAT. Empty when there is none.
std::string VolumeLabel(const VolumeLayout& layout);

// Opens the drive's volume for reading, analyses it and returns its label (empty when the volume
// cannot be read or analysed).
std::string ReadVolumeLabel(const volume::DriveTarget& target);

}  // namespace kestrova::repair
