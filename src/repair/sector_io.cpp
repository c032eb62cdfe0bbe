#include "repair/sector_io.h"

#include "repair/checked.h"

namespace kestrova::repair {
namespace {

bool PositionAt(std::int64_t sector) {
  const auto offset = SectorOffset(sector);
  if (!offset) return false;
  const auto bits = static_cast<std::uint64_t>(*offset);
  return volume::SetVolumePosition(static_cast<std::int32_t>(bits >> 32),
                                   static_cast<std::int32_t>(bits & 0xFFFFFFFFu));
}

}  // namespace

std::optional<std::int64_t> SectorOffset(std::int64_t sector) {
  if (sector < 0) return std::nullopt;
  return CheckedMul<std::int64_t>(sector, volume::kSectorSize);
}

bool ReadSectorAt(std::int64_t sector, volume::SectorBuffer& buffer, std::uint32_t& bytesRead) {
  bytesRead = 0;
  return PositionAt(sector) && volume::ReadVolume(volume::kSectorSize, buffer, bytesRead) &&
         bytesRead == volume::kSectorSize;
}

bool WriteSectorAt(std::int64_t sector, const volume::SectorBuffer& buffer) {
  return PositionAt(sector) && volume::WriteVolume(volume::kSectorSize, buffer);
}

}  // namespace kestrova::repair
