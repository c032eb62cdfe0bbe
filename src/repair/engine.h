// The folder repair engine: the analysis of a drive and the attribute repair pass.
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>

#include "repair/layout.h"
#include "repair/window_contacts.h"

namespace kestrova::repair {

// A repair pass that failed after it started. what() is the user's message (UTF-8).
class RepairFailure : public std::runtime_error {
 public:
  RepairFailure(const std::string& message, bool anyWritten)
      : std::runtime_error(message), anyWritten_(anyWritten) {}
  // Whether sectors had been rewritten before the failure.
  bool anyWritten() const { return anyWritten_; }

 private:
  bool anyWritten_;
};

// Analyses the drive of list entry `item`: opens its volume, reads the boot sector, refuses what
// is not a FAT32 volume the engine can handle, derives the layout into `layout` and records the
// root directory's cluster chain. Enables Repair only when all of it succeeded; otherwise shows
// its own message. Reads the disk, never writes it.
void List1_ItemCheck(VolumeLayout& layout, WindowContacts& window, std::int16_t item);

// The repair pass over the root directory that the last successful analysis recorded, on the
// drive of the first selected list entry: every folder entry that is hidden and/or system
// becomes a plain folder; every root sector is rewritten; the volume is dismounted and closed.
// Throws RepairFailure when the pass cannot complete.
void cmdrepair_Click(VolumeLayout& layout, WindowContacts& window);

// Reads the geometry fields of layout.bootSector into layout. Returns the refusal message when
// the boot sector is not one of a FAT32 volume that the engine can handle.
std::optional<std::string> ReadGeometry(VolumeLayout& layout);

// The first sector of data cluster `cluster`, or nothing when it lies outside the data region.
std::optional<std::int64_t> ClusterFirstSector(const VolumeLayout& layout, std::int64_t cluster);

}  // namespace kestrova::repair
