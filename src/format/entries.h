// SPDX-License-Identifier: GPL-3.0-or-later
// Root-directory entries that the repair turns back into plain folders.
#pragma once

#include <cstdint>
#include <span>

namespace kestrova::repair {

// True for an entry whose attribute is a folder with hidden and/or system set, without the
// volume-label bit or a reserved bit: what the virus leaves behind, whatever the name or its
// extension. Long-name entries and volume labels never match; deleted entries can.
bool IsHiddenFolderEntry(std::span<const std::uint8_t> entry);
// The attribute a hidden folder gets back: hidden, system and read-only cleared, the rest kept.
std::uint8_t RestoredAttribute(std::uint8_t attribute);
// The same on the attribute bits that FAT and exFAT share (exFAT's FileAttributes are 16 bits):
// a folder with hidden and/or system set and none of `neverRepaired`; its attributes with hidden,
// system and read-only cleared.
bool IsHiddenFolderAttributes(std::uint16_t attributes, std::uint16_t neverRepaired);
std::uint16_t RestoredAttributes(std::uint16_t attributes);

// A file in use whose hidden or system bit may be the virus's, without the volume-label bit or a
// reserved bit (a vaccine sets those); long-name entries never match. Whether it is shown again
// is decided by the verdict on it: a restored file loses hidden and system, and keeps read-only.
bool IsHiddenFileEntry(std::span<const std::uint8_t> entry);
bool IsHiddenFileAttributes(std::uint16_t attributes, std::uint16_t neverRepaired);
std::uint16_t ShownFileAttributes(std::uint16_t attributes);

}  // namespace kestrova::repair
