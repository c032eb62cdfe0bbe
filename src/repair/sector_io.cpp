// SPDX-License-Identifier: GPL-3.0-or-later
#include "repair/sector_io.h"

#include "repair/checked.h"

namespace kestrova::repair {
namespace {

bool PositionAt(std::int64_t sector, std::uint32_t sectorSize) {
  const auto offset = SectorOffset(sector, sectorSize);
  if (!offset) return false;
  const auto bits = static_cast<std::uint64_t>(*offset);
  return volume::SetVolumePosition(static_cast<std::int32_t>(bits >> 32),
                                   static_cast<std::int32_t>(bits & 0xFFFFFFFFu));
}

bool WholeSectors(std::size_t size, std::uint32_t sectorSize) {
  return sectorSize != 0 && size <= UINT32_MAX && size % sectorSize == 0;
}

}  // namespace

std::optional<std::int64_t> SectorOffset(std::int64_t sector, std::uint32_t sectorSize) {
  if (sector < 0) return std::nullopt;
  return CheckedMul<std::int64_t>(sector, sectorSize);
}

ReadResult ReadSectors(std::int64_t sector, std::uint32_t sectorSize, std::span<std::uint8_t> bytes,
                       std::uint32_t& bytesRead) {
  bytesRead = 0;
  if (!WholeSectors(bytes.size(), sectorSize)) return ReadResult::kFailed;
  const auto count = static_cast<std::uint32_t>(bytes.size());
  if (!PositionAt(sector, sectorSize) || !volume::ReadVolume(count, bytes, bytesRead)) {
    return ReadResult::kFailed;
  }
  return bytesRead == count ? ReadResult::kOk : ReadResult::kShort;
}

WriteResult WriteSectors(std::int64_t sector, std::uint32_t sectorSize,
                         std::span<const std::uint8_t> bytes) {
  if (!WholeSectors(bytes.size(), sectorSize) || !PositionAt(sector, sectorSize)) {
    return WriteResult::kNotStarted;
  }
  if (volume::WriteVolume(static_cast<std::uint32_t>(bytes.size()), bytes)) return WriteResult::kOk;
  return volume::LastWriteProtected() ? WriteResult::kProtected : WriteResult::kFailed;
}

bool ReadSectorAt(std::int64_t sector, volume::SectorBuffer& buffer, std::uint32_t& bytesRead) {
  return ReadSectors(sector, volume::kSectorSize, buffer, bytesRead) == ReadResult::kOk;
}

bool WriteSectorAt(std::int64_t sector, const volume::SectorBuffer& buffer) {
  return WriteSectors(sector, volume::kSectorSize, buffer) == WriteResult::kOk;
}

}  // namespace kestrova::repair
