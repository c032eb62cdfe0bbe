// A read-only look at the root directory that the analysis read: the entries that the repair
// pass changes, with their names.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "repair/layout.h"

namespace kestrova::repair {

struct HiddenFolder {
  std::int64_t sector = 0;  // where the entry lies
  int index = 0;            // its position in the sector
  std::string shortName;    // 8.3 name, UTF-8 (bytes of 0x80 and above read as code page 936);
                            // empty on exFAT, which has none
  std::string longName;     // UTF-8, empty when the entry has no valid long name
  std::uint16_t attribute = 0;
  bool deleted = false;   // the entry's first byte marks it deleted
  bool afterEnd = false;  // it lies after the end-of-directory mark

  // The name to show: the long name where there is one.
  const std::string& Name() const { return longName.empty() ? shortName : longName; }
};

// The entries of layout.root that the repair changes, in order.
std::vector<HiddenFolder> ListHiddenFolders(const VolumeLayout& layout);

// The 8.3 name of a FAT directory entry, as the user would read it.
std::string DisplayShortName(std::span<const std::uint8_t> entry);

// The long-name checksum of an 11-byte short name.
std::uint8_t ShortNameChecksum(const std::uint8_t* name11);

}  // namespace kestrova::repair
