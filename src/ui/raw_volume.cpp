// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/raw_volume.h"

#include <utility>

namespace kestrova::ui {

namespace {
std::optional<volume::Volume> openVolume;
}  // namespace

std::optional<volume::DeviceError> OpenVolume(const volume::DriveTarget& target,
                                              volume::Access access) {
  CloseVolume();
  auto opened = volume::Volume::Open(target, access);
  if (!opened) return std::move(opened.error());
  openVolume.emplace(std::move(*opened));
  return std::nullopt;
}

volume::Volume& OpenedVolume() { return openVolume.value(); }

void CloseVolume() { openVolume.reset(); }

}  // namespace kestrova::ui
