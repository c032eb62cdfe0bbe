// SPDX-License-Identifier: GPL-3.0-or-later
#include "format/entries.h"

#include "format/fat.h"

namespace kestrova::repair {
namespace {

using namespace fat;

constexpr std::uint8_t kCleared = kAttrHiddenOrSystem | kAttrReadOnly;
// A folder with any of these is not one the virus made: a label, a long name, or bits that no
// file system defines.
constexpr std::uint8_t kNeverRepaired = kAttrVolumeId | kAttrReserved;

}  // namespace

bool IsHiddenFolderAttributes(std::uint16_t attributes, std::uint16_t neverRepaired) {
  return (attributes & kAttrDirectory) && (attributes & kAttrHiddenOrSystem) &&
         !(attributes & neverRepaired);
}

std::uint16_t RestoredAttributes(std::uint16_t attributes) {
  return static_cast<std::uint16_t>(attributes & ~kCleared);
}

bool IsHiddenFolderEntry(std::span<const std::uint8_t> entry) {
  return IsHiddenFolderAttributes(entry[kAttributeOffset], kNeverRepaired);
}

bool IsHiddenFileAttributes(std::uint16_t attributes, std::uint16_t neverRepaired) {
  return !(attributes & kAttrDirectory) && (attributes & kAttrHiddenOrSystem) &&
         !(attributes & neverRepaired);
}

std::uint16_t ShownFileAttributes(std::uint16_t attributes) {
  return static_cast<std::uint16_t>(attributes & ~kAttrHiddenOrSystem);
}

bool IsHiddenFileEntry(std::span<const std::uint8_t> entry) {
  return entry[kAttributeOffset] != kAttrLongName &&
         IsHiddenFileAttributes(entry[kAttributeOffset], kNeverRepaired);
}

std::uint8_t RestoredAttribute(std::uint8_t attribute) {
  return static_cast<std::uint8_t>(RestoredAttributes(attribute));
}

}  // namespace kestrova::repair
