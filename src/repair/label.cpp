// SPDX-License-Identifier: GPL-3.0-or-later
#include "repair/label.h"

#include <algorithm>

#include "format/fat.h"
#include "format/fat_names.h"
#include "repair/engine.h"

namespace kestrova::repair {

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
