// The volume label of a FAT32 drive, for listing drives.
#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace kestrova::repair {

// The label of a FAT32 boot sector, trailing blanks removed; empty when the sector is not FAT32
// or carries the formatters' "NO NAME". Bytes outside printable ASCII show as '?'.
std::string VolumeLabel(std::span<const std::uint8_t> bootSector);

// Opens the drive's volume, reads its boot sector and returns its label (empty when the volume
// cannot be read).
std::string ReadVolumeLabel(const std::string& driveLetter);

}  // namespace kestrova::repair
