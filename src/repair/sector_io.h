// SPDX-License-Identifier: GPL-3.0-or-later
// Whole-sector transfers at a sector number, on the open volume.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "volume/volume.h"

namespace kestrova::repair {

// The largest transfer of the root, the FAT and the writes: a run of contiguous sectors moves at
// once up to this size. On flash a transfer of many sectors costs about as much as one of a
// single sector; the buffers this takes are all the memory the engine needs, whatever the volume.
inline constexpr std::int64_t kMaxTransferBytes = 1 << 20;

enum class ReadResult {
  kOk,
  kFailed,  // the position or the read failed
  kShort,   // the device ended before all the bytes arrived
};

enum class WriteResult {
  kOk,
  kNotStarted,  // the position failed: nothing went to the device
  kFailed,      // the write failed or was cut short: some of it may have landed
  kProtected,   // the medium refused the write as write-protected: none of it landed
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
