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

ReadResult ReadSectors(std::int64_t sector, std::span<std::uint8_t> bytes,
                       std::uint32_t& bytesRead) {
  bytesRead = 0;
  if (bytes.size() > UINT32_MAX || bytes.size() % volume::kSectorSize != 0) {
    return ReadResult::kFailed;
  }
  const auto count = static_cast<std::uint32_t>(bytes.size());
  if (!PositionAt(sector) || !volume::ReadVolume(count, bytes, bytesRead)) {
    return ReadResult::kFailed;
  }
  return bytesRead == count ? ReadResult::kOk : ReadResult::kShort;
}

WriteResult WriteSectors(std::int64_t sector, std::span<const std::uint8_t> bytes) {
  if (bytes.size() > UINT32_MAX || bytes.size() % volume::kSectorSize != 0 || !PositionAt(sector)) {
    return WriteResult::kNotStarted;
  }
  return volume::WriteVolume(static_cast<std::uint32_t>(bytes.size()), bytes)
             ? WriteResult::kOk
             : WriteResult::kFailed;
}

bool ReadSectorAt(std::int64_t sector, volume::SectorBuffer& buffer, std::uint32_t& bytesRead) {
  return ReadSectors(sector, buffer, bytesRead) == ReadResult::kOk;
}

bool WriteSectorAt(std::int64_t sector, const volume::SectorBuffer& buffer) {
  return WriteSectors(sector, buffer) == WriteResult::kOk;
}

}  // namespace kestrova::repair
