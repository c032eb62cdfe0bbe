// SPDX-License-Identifier: GPL-3.0-or-later
#include "format/sector_io.h"

#include <vector>

#include "format/checked.h"

namespace kestrova::repair {
namespace {

// The byte offset of a transfer of whole sectors, or nothing when it cannot be made.
std::optional<std::uint64_t> TransferOffset(std::int64_t sector, std::uint32_t sectorSize,
                                            std::size_t size) {
  if (sectorSize == 0 || size % sectorSize != 0) return std::nullopt;
  const auto offset = SectorOffset(sector, sectorSize);
  if (!offset) return std::nullopt;
  return static_cast<std::uint64_t>(*offset);
}

volume::DeviceError NotStarted(const volume::Volume& volume) {
  volume::DeviceError error;
  error.kind = volume::DeviceErrorKind::kNotStarted;
  error.device = volume.target().Name();
  return error;
}

}  // namespace

std::optional<std::int64_t> SectorOffset(std::int64_t sector, std::uint32_t sectorSize) {
  if (sector < 0) return std::nullopt;
  return CheckedMul<std::int64_t>(sector, sectorSize);
}

std::optional<volume::DeviceError> ReadSectors(volume::Volume& volume, std::int64_t sector,
                                               std::uint32_t sectorSize,
                                               std::span<std::uint8_t> bytes) {
  const auto offset = TransferOffset(sector, sectorSize, bytes.size());
  if (!offset) return NotStarted(volume);
  return volume.Read(*offset, bytes);
}

std::optional<volume::ReadManyFailure> ReadSectorsTogether(volume::Volume& volume,
                                                           std::uint32_t sectorSize,
                                                           std::span<const SectorRead> reads,
                                                           const volume::ReadArrived& arrived) {
  std::vector<volume::ReadRequest> requests;
  requests.reserve(reads.size());
  for (const SectorRead& read : reads) {
    const auto offset = TransferOffset(read.sector, sectorSize, read.bytes.size());
    if (!offset) break;  // those before it are read; it cannot begin
    requests.push_back({*offset, read.bytes});
  }
  if (auto failed = volume.ReadMany(requests, arrived)) return failed;
  if (requests.size() == reads.size()) return std::nullopt;
  return volume::ReadManyFailure{requests.size(), NotStarted(volume)};
}

std::optional<volume::DeviceError> WriteSectors(volume::Volume& volume, std::int64_t sector,
                                                std::uint32_t sectorSize,
                                                std::span<const std::uint8_t> bytes) {
  const auto offset = TransferOffset(sector, sectorSize, bytes.size());
  if (!offset) return NotStarted(volume);
  return volume.Write(*offset, bytes);
}

}  // namespace kestrova::repair
