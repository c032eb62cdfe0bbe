// SPDX-License-Identifier: GPL-3.0-or-later
// What the analysis checks before it trusts the boot sector's fields and reads what they place:
// the boot region (signatures, and the exFAT boot checksum), and the device behind the volume.
#include <algorithm>
#include <bit>

#include "format/boot_region.h"

#include "format/checked.h"
#include "format/exfat.h"
#include "format/fat.h"
#include "format/problems.h"
#include "format/sector_io.h"

namespace kestrova::repair {
namespace {

Problem DamagedBootRegion(DetailKind kind, std::int64_t at = 0, std::int64_t value = 0) {
  return MakeProblem(ProblemKind::kDamagedBootRegion, {kind, at, value, {}});
}

// The main boot region of exFAT, sectors 0 to 11 of the volume's own size: the extended boot
// sectors' signatures, then the checksum in every word of sector 11. The backup region is not
// looked at: a damaged main region is for a disk checking tool to restore.
std::optional<Problem> CheckExfatBootRegion(volume::Volume& volume, const VolumeGeometry& layout,
                                            std::span<const std::uint8_t> sector0,
                                            ProgressTrack* track) {
  const std::uint32_t shift = layout.bootSector[exfat::kBytesPerSectorShiftOffset];
  // A sector size that the engine does not handle is the geometry's to refuse.
  if (shift < exfat::kMinBytesPerSectorShift || shift > exfat::kMaxBytesPerSectorShift ||
      sector0.size() < (std::size_t{1} << shift)) {
    return std::nullopt;
  }
  const std::size_t sectorBytes = std::size_t{1} << shift;
  const auto regionSectors = static_cast<std::size_t>(exfat::kBootChecksumSector + 1);
  volume::AlignedBuffer region(regionSectors * sectorBytes);
  const std::span<std::uint8_t> bytes = region.bytes();
  std::copy_n(sector0.begin(), sectorBytes, bytes.begin());
  if (const auto failed = ReadSectors(volume, 1, static_cast<std::uint32_t>(sectorBytes),
                                      bytes.subspan(sectorBytes))) {
    return ReadProblem(*failed, 1, static_cast<std::int64_t>(sectorBytes));
  }
  if (track) track->Touched();

  for (std::int64_t sector = exfat::kFirstExtendedBootSector;
       sector < exfat::kFirstExtendedBootSector + exfat::kExtendedBootSectors; ++sector) {
    const std::size_t end = static_cast<std::size_t>(sector + 1) * sectorBytes;
    if (fat::Read32(bytes, end - exfat::kExtendedBootSignatureSize) !=
        exfat::kExtendedBootSignature) {
      return DamagedBootRegion(DetailKind::kExtendedBootSignature, sector);
    }
  }
  const auto checksummed = static_cast<std::size_t>(exfat::kChecksummedSectors) * sectorBytes;
  const std::uint32_t sum = ExfatBootChecksum(bytes.first(checksummed), sectorBytes);
  const std::size_t checksumStart =
      static_cast<std::size_t>(exfat::kBootChecksumSector) * sectorBytes;
  for (std::size_t at = checksumStart; at < checksumStart + sectorBytes;
       at += exfat::kBootChecksumSize) {
    const std::uint32_t stored = fat::Read32(bytes, at);
    if (stored != sum) return DamagedBootRegion(DetailKind::kBootChecksum, stored, sum);
  }
  return std::nullopt;
}

}  // namespace

std::uint32_t ExfatBootChecksum(std::span<const std::uint8_t> sectors, std::size_t sectorBytes) {
  const std::size_t end =
      std::min(sectors.size(), static_cast<std::size_t>(exfat::kChecksummedSectors) * sectorBytes);
  std::uint32_t sum = 0;
  for (std::size_t i = 0; i < end; ++i) {
    if (i == exfat::kVolumeFlagsOffset || i == exfat::kVolumeFlagsOffset + 1 ||
        i == exfat::kPercentInUseOffset) {
      continue;
    }
    sum = std::rotr(sum, 1) + sectors[i];
  }
  return sum;
}

std::optional<Problem> CheckBootRegion(volume::Volume& volume, const VolumeGeometry& layout,
                                       std::span<const std::uint8_t> sector0,
                                       ProgressTrack* track) {
  const BootSectorKind kind = KindOfBootSector(layout.bootSector);
  if (kind == BootSectorKind::kOther) return std::nullopt;
  if (fat::Read16(layout.bootSector, fat::kBootSignatureOffset) != fat::kBootSignature) {
    return DamagedBootRegion(DetailKind::kBootSignature);
  }
  if (kind != BootSectorKind::kExfat) return std::nullopt;
  return CheckExfatBootRegion(volume, layout, sector0, track);
}

std::optional<Problem> CheckDevice(volume::Volume& volume, const VolumeGeometry& layout) {
  const auto size = volume.Size();
  if (!size) return MakeProblem(ProblemKind::kDeviceSizeUnknown);
  const volume::DeviceSize& device = *size;
  const auto claimed = CheckedMul<std::uint64_t>(static_cast<std::uint64_t>(layout.totalSectors),
                                                 static_cast<std::uint64_t>(layout.bytesPerSector));
  if (!claimed || *claimed > device.bytes) {
    Problem problem = MakeProblem(ProblemKind::kDeviceTooSmall);
    problem.deviceBytes = device.bytes;
    problem.volumeBytes = claimed.value_or(UINT64_MAX);
    return problem;
  }
  // Transfers of the volume's sectors must be whole sectors of the device (unbuffered I/O on
  // Windows); a device of larger sectors would refuse them, or take some and not others.
  const auto sectorBytes = static_cast<std::int64_t>(layout.bytesPerSector);
  if (device.sectorBytes != 0 && sectorBytes % device.sectorBytes != 0) {
    return MakeProblem(ProblemKind::kUnsupportedGeometry,
                       {DetailKind::kDeviceSectorSize, device.sectorBytes, sectorBytes, {}});
  }
  return std::nullopt;
}

}  // namespace kestrova::repair
