// SPDX-License-Identifier: GPL-3.0-or-later
// Whole-sector transfers at a sector number, on the open volume.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "volume/volume.h"

namespace kestrova::repair {

enum class ReadResult {
  kOk,
  kFailed,  // the position or the read failed
  kShort,   // the device ended before all the bytes arrived
};

enum class WriteResult {
  kOk,
  kNotStarted,  // the position failed: nothing went to the device
  kFailed,      // the write failed or was cut short: some of it may have landed
};

// The byte offset of a sector of `sectorSize` bytes, or nothing when it cannot be represented.
std::optional<std::int64_t> SectorOffset(std::int64_t sector, std::uint32_t sectorSize);
// Positions at `sector` and reads bytes.size() bytes (whole sectors) into `bytes`.
ReadResult ReadSectors(std::int64_t sector, std::uint32_t sectorSize, std::span<std::uint8_t> bytes,
                       std::uint32_t& bytesRead);
// Positions at `sector` and writes all of `bytes` (whole sectors).
WriteResult WriteSectors(std::int64_t sector, std::uint32_t sectorSize,
                         std::span<const std::uint8_t> bytes);
// One 512-byte sector. True only when all of it moved.
bool ReadSectorAt(std::int64_t sector, volume::SectorBuffer& buffer, std::uint32_t& bytesRead);
bool WriteSectorAt(std::int64_t sector, const volume::SectorBuffer& buffer);

}  // namespace kestrova::repair
