// Root-directory entries that the repair turns back into plain folders.
#pragma once

#include <cstdint>
#include <span>

namespace kestrova::repair {

// True for an entry with a blank extension whose attribute is a folder with hidden and/or system
// set (with or without read-only), and nothing else: what the virus leaves behind. The name is
// not examined, so deleted entries match too.
bool IsHiddenFolderEntry(std::span<const std::uint8_t> entry);

// Sets the attribute of every matching entry of a sector to a plain folder. Returns how many
// entries changed.
int ClearHiddenFolders(std::span<std::uint8_t> sector);

}  // namespace kestrova::repair
