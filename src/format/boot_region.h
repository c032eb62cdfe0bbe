// SPDX-License-Identifier: GPL-3.0-or-later
// What the analysis checks before it trusts the boot sector's fields and reads what they place:
// the boot region (signatures, and the exFAT boot checksum), and the device behind the volume.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "format/geometry.h"
#include "format/problem.h"
#include "format/progress.h"
#include "volume/volume.h"

namespace kestrova::repair {

// The boot region of the open volume, before the fields of its sector 0 (layout.bootSector, and
// whole in `sector0`) are trusted: sector 0's signature; on exFAT also the boot checksum and the
// extended boot sectors' signatures, read from the volume. Returns the refusal when it is damaged
// or cannot be read; nothing for a sector 0 of no FAT or exFAT volume, which the geometry refuses.
// `track`, when given, hears of the read.
std::optional<Problem> CheckBootRegion(volume::Volume& volume, const VolumeGeometry& layout,
                                       std::span<const std::uint8_t> sector0,
                                       ProgressTrack* track = nullptr);
// The exFAT boot checksum of sectors 0 to 10 (`sectors`, each of `sectorBytes`).
std::uint32_t ExfatBootChecksum(std::span<const std::uint8_t> sectors, std::size_t sectorBytes);
// Whether the open volume's device, as the system tells it, holds the whole volume of `layout`
// (its geometry read) and takes transfers of its sectors. Returns the refusal when it does not.
std::optional<Problem> CheckDevice(volume::Volume& volume, const VolumeGeometry& layout);

}  // namespace kestrova::repair
