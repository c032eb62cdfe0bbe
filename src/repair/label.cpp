// SPDX-License-Identifier: GPL-3.0-or-later
#include "repair/label.h"

#include <algorithm>

#include "format/codepage.h"
#include "format/fat.h"
#include "repair/engine.h"

namespace kestrova::repair {

std::string FatLabelText(std::span<const std::uint8_t> boot, std::size_t offset) {
  std::string label(reinterpret_cast<const char*>(&boot[offset]), fat::kVolumeLabelLength);
  for (char& c : label) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '?';
  }
  while (!label.empty() && label.back() == ' ') label.pop_back();
  return label == fat::kNoVolumeLabel ? std::string() : Cp936ToUtf8(label);
}

std::string VolumeLabel(const VolumeLayout& layout) {
  switch (layout.fileSystem) {
    case FileSystem::kExfat:
      return layout.findings.label;
    case FileSystem::kFat32:
      return FatLabelText(layout.bootSector, fat::kVolumeLabelOffset);
    case FileSystem::kFat12:
    case FileSystem::kFat16:
      return FatLabelText(layout.bootSector, fat::kSmallVolumeLabelOffset);
  }
  return {};
}

std::string ReadVolumeLabel(const volume::DriveTarget& target) {
  auto opened = volume::Volume::Open(target, volume::Access::kReadOnly);
  if (!opened) return {};
  const auto analysed = Analyse(*opened);
  return analysed ? VolumeLabel(*analysed) : std::string();
}

}  // namespace kestrova::repair
