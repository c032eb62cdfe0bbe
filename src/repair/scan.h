// A read-only look at the root directory: the entries that the repair pass would change.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "repair/layout.h"

namespace kestrova::repair {

struct HiddenFolder {
  std::int64_t sector = 0;  // where the entry lies
  int index = 0;            // its position in the sector, 0..15
  std::string shortName;    // 8.3 name; bytes outside ASCII shown as '?'
  std::string longName;     // UTF-8, empty when the entry has no valid long name
  std::uint8_t attribute = 0;
  bool deleted = false;   // the entry's first byte marks it deleted
  bool afterEnd = false;  // it lies after the end-of-directory mark
};

// Reads every root-directory sector of an analysed layout from drive `driveLetter` and lists the
// entries that the repair would change. Writes nothing. Returns the user's message on failure.
std::optional<std::string> ScanRootDirectory(VolumeLayout& layout, const std::string& driveLetter,
                                             std::vector<HiddenFolder>& found);

// The long-name checksum of an 11-byte short name.
std::uint8_t ShortNameChecksum(const std::uint8_t* name11);

}  // namespace kestrova::repair
