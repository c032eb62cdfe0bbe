// SPDX-License-Identifier: GPL-3.0-or-later
// The folder repair engine: the analysis of a drive and the attribute repair pass.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "repair/layout.h"
#include "repair/messages.h"
#include "repair/progress.h"
#include "repair/scan.h"
#include "repair/window_contacts.h"

namespace kestrova::repair {

// A repair pass that failed. what() is the user's message (UTF-8).
class RepairFailure : public std::runtime_error {
 public:
  RepairFailure(Problem problem, bool mayHaveWritten)
      : std::runtime_error(messages::Text(problem)),
        problem_(std::move(problem)),
        mayHaveWritten_(mayHaveWritten) {}
  const Problem& problem() const { return problem_; }
  // Whether the pass had begun to write when it failed (a failed write may have landed).
  bool anyWritten() const { return mayHaveWritten_; }

 private:
  Problem problem_;
  bool mayHaveWritten_;
};

// What a finished pass did.
struct RepairReport {
  std::vector<HiddenFolder> restored;  // the entries it changed, in chain order
  std::int64_t sectorsWritten = 0;
};

// Analyses the drive of list entry `item`: opens its volume, reads the boot sector, refuses what
// is not a FAT32 volume the engine can handle, derives the layout into `layout`, records the root
// directory's cluster chain and reads the root directory. Enables Repair only when all of it
// succeeded; otherwise shows its own message. Reads the disk, never writes it; `access` says how
// the volume is opened (the window and the command line open it for reading only, so that a
// write-protected drive is analysed too; the pass opens it again for writing).
void List1_ItemCheck(VolumeLayout& layout, WindowContacts& window, std::int16_t item,
                     volume::Access access = volume::Access::kReadWrite);

// The repair pass on the drive of the first selected list entry. Under its own open it checks
// that the volume still has the layout of the last successful analysis, reads the whole root
// directory, restores every hidden folder entry, writes only the sectors that change, makes them
// reach the disk, and dismounts and closes the volume. Throws RepairFailure when the pass cannot
// complete; `report`, when given, receives what a completed pass did.
void cmdrepair_Click(VolumeLayout& layout, WindowContacts& window, RepairReport* report = nullptr);

// The analysis and the pass under one open, for a front end that does not pause between looking
// and repairing (the command line): the drive of the first selected list entry is analysed as
// List1_ItemCheck does and repaired as cmdrepair_Click does. A refusal of the analysis comes back
// as a RepairFailure with nothing written.
void RepairDrive(WindowContacts& window, RepairReport* report = nullptr);

// The root directory's sectors that a repair changes, restored, by their number counted from the
// root's first sector: what the pass writes.
struct RestoredSectors {
  std::map<std::int64_t, std::vector<std::uint8_t>> sectors;
};

// The analysis on the open volume: boot sector, geometry, root chain, root directory, which it
// reads in transfers of a bounded size and looks at as they come, filling layout.findings. With
// `restored`, it also keeps the root's sectors with every hidden folder restored. With `track`, it
// plans the root and the rest of the FAT on it (and with `restored` the sectors to write) and
// tells it of every transfer. Returns the problem that makes it refuse the volume (also when
// memory runs out).
std::optional<Problem> AnalyseOpenVolume(VolumeLayout& layout, RestoredSectors* restored = nullptr,
                                         ProgressTrack* track = nullptr);

// Reads the geometry fields of layout.bootSector into layout. Returns the refusal when the boot
// sector is not one of a FAT32 volume that the engine can handle.
std::optional<Problem> ReadGeometry(VolumeLayout& layout);

// What a sector 0 is, by the exFAT name, the FAT32 type text or the FAT12/FAT16 fields.
enum class BootSectorKind { kOther, kSmallFat, kFat32, kExfat };
BootSectorKind KindOfBootSector(std::span<const std::uint8_t> boot);

// The boot region of the open volume, before the fields of its sector 0 (layout.bootSector, and
// whole in `sector0`) are trusted: sector 0's signature; on exFAT also the boot checksum and the
// extended boot sectors' signatures, read from the volume. Returns the refusal when it is damaged
// or cannot be read; nothing for a sector 0 of no FAT or exFAT volume, which the geometry refuses.
// `track`, when given, hears of the read.
std::optional<Problem> CheckBootRegion(VolumeLayout& layout, std::span<const std::uint8_t> sector0,
                                       ProgressTrack* track = nullptr);
// The exFAT boot checksum of sectors 0 to 10 (`sectors`, each of `sectorBytes`).
std::uint32_t ExfatBootChecksum(std::span<const std::uint8_t> sectors, std::size_t sectorBytes);
// Whether the open volume's device, as the system tells it, holds the whole volume of `layout`
// (its geometry read) and takes transfers of its sectors. Returns the refusal when it does not.
std::optional<Problem> CheckDevice(const VolumeLayout& layout);

// The first sector of data cluster `cluster`, or nothing when it lies outside the data region.
std::optional<std::int64_t> ClusterFirstSector(const VolumeLayout& layout, std::int64_t cluster);

}  // namespace kestrova::repair
