// Whole-sector transfers at a sector number, on the open volume.
#pragma once

#include <cstdint>
#include <optional>

#include "volume/volume.h"

namespace kestrova::repair {

// The byte offset of a sector, or nothing when it cannot be represented.
std::optional<std::int64_t> SectorOffset(std::int64_t sector);

// Positions at `sector` and reads it. True only when all 512 bytes arrived.
bool ReadSectorAt(std::int64_t sector, volume::SectorBuffer& buffer, std::uint32_t& bytesRead);
// Positions at `sector` and writes it.
bool WriteSectorAt(std::int64_t sector, const volume::SectorBuffer& buffer);

}  // namespace kestrova::repair
