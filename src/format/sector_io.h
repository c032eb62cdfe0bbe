// SPDX-License-Identifier: GPL-3.0-or-later
// Whole-sector transfers at a sector number, on an open volume.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "volume/volume.h"

namespace kestrova::repair {

// The largest transfer of the root, folders and the writes: a run of contiguous sectors moves at
// once up to this size. On flash a transfer of many sectors costs about as much as one of a
// single sector, and a USB drive takes at most about this much in one command. Each transfer is
// walked entry by entry as soon as it arrives: one that fits the processor's cache is walked
// there, where a transfer of a megabyte is fetched from memory again (measured: the walk of a
// large root took ten times as long). The buffers this takes are all the memory the engine needs,
// whatever the volume.
inline constexpr std::int64_t kMaxTransferBytes = 128 << 10;
// The most of the root read together: its runs, scattered or not, go to the device at once up
// to this size, and the walker then looks at them in one go.
inline constexpr std::int64_t kRootBatchBytes = 256 << 10;
// The largest transfer of a scan of the whole FAT, whose entries are tested in blocks without
// branches: it runs at the speed of memory, and what counts is the number of commands. The
// system splits a transfer into as many commands as the drive takes and sends them one after
// another without waiting for the program in between (measured on a virtual disk: 8 MiB read in
// transfers of 128 KiB took 1.4 to 2 times as long as in transfers of 1 MiB).
inline constexpr std::int64_t kFatScanTransferBytes = 1 << 20;

// The byte offset of a sector of `sectorSize` bytes, or nothing when it cannot be represented.
std::optional<std::int64_t> SectorOffset(std::int64_t sector, std::uint32_t sectorSize);
// Reads bytes.size() bytes (whole sectors) from `sector`. Nothing when all of them arrived.
std::optional<volume::DeviceError> ReadSectors(volume::Volume& volume, std::int64_t sector,
                                               std::uint32_t sectorSize,
                                               std::span<std::uint8_t> bytes);
// One read of several made together: bytes.size() bytes (whole sectors) from `sector`.
struct SectorRead {
  std::int64_t sector = 0;
  std::span<std::uint8_t> bytes;
};
// Reads each of `reads`, together where the device can: scattered reads then cost about as much
// as one. `arrived` hears of each as it arrives whole. The first of them, in their order, that did
// not bring all its bytes; those after it may or may not have been read.
std::optional<volume::ReadManyFailure> ReadSectorsTogether(volume::Volume& volume,
                                                           std::uint32_t sectorSize,
                                                           std::span<const SectorRead> reads,
                                                           const volume::ReadArrived& arrived = {});
// Writes all of `bytes` (whole sectors) at `sector`. Nothing when all of them went out.
std::optional<volume::DeviceError> WriteSectors(volume::Volume& volume, std::int64_t sector,
                                                std::uint32_t sectorSize,
                                                std::span<const std::uint8_t> bytes);

}  // namespace kestrova::repair
