#include "repair/entries.h"

#include <algorithm>
#include <array>

#include "repair/fat32.h"

namespace kestrova::repair {
namespace {

using namespace fat32;

// Every folder attribute with hidden, system or both, with or without read-only.
constexpr std::array<std::uint8_t, 6> kRepairedAttributes = {
    kAttrDirectory | kAttrSystem,
    kAttrDirectory | kAttrHidden,
    kAttrDirectory | kAttrHidden | kAttrSystem,
    kAttrDirectory | kAttrHidden | kAttrReadOnly,
    kAttrDirectory | kAttrSystem | kAttrReadOnly,
    kAttrDirectory | kAttrHidden | kAttrSystem | kAttrReadOnly,
};
constexpr std::uint8_t kPlainFolder = kAttrDirectory;

}  // namespace

bool IsHiddenFolderEntry(std::span<const std::uint8_t> entry) {
  const auto extension = entry.subspan(kExtensionOffset, kExtensionLength);
  if (!std::all_of(extension.begin(), extension.end(),
                   [](std::uint8_t b) { return b == kBlank; })) {
    return false;
  }
  const std::uint8_t attribute = entry[kAttributeOffset];
  return std::find(kRepairedAttributes.begin(), kRepairedAttributes.end(), attribute) !=
         kRepairedAttributes.end();
}

int ClearHiddenFolders(std::span<std::uint8_t> sector) {
  int changed = 0;
  for (std::size_t offset = 0; offset + kDirEntrySize <= sector.size(); offset += kDirEntrySize) {
    const auto entry = sector.subspan(offset, kDirEntrySize);
    if (IsHiddenFolderEntry(entry)) {
      entry[kAttributeOffset] = kPlainFolder;
      ++changed;
    }
  }
  return changed;
}

}  // namespace kestrova::repair
