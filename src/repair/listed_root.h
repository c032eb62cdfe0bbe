// SPDX-License-Identifier: GPL-3.0-or-later
// A drive's root judged through the file system that the system mounted, by the rules that judge
// the raw volume (verdicts.h): its entries as the driver lists them (names, attributes, sizes),
// the shortcuts' and autorun.inf's bytes read as files, one level of its folders listed as
// folders. What a guard does when the volume does not open for reading. Never writes.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

#include "format/geometry.h"
#include "repair/layout.h"

namespace kestrova::repair {

// What the system tells of a mounted volume besides its root.
struct MountedVolume {
  std::filesystem::path root;  // F:\ on Windows, the mount point on Linux
  FileSystem fileSystem = FileSystem::kFat32;
  std::string label;                   // UTF-8; empty when it has none
  std::uint32_t serial = 0;            // 0 when unknown
  std::uint32_t clusterBytes = 32768;  // the first-cluster bound of the folders' listings
};

struct ListedLook {
  // The findings as the analysis of the raw volume makes them: the hidden entries that a repair
  // would show again (`hidden`, offsets in listing order), the virus's root files (`leftovers`)
  // and the other judged entries; of the geometry only the file system and the cluster's size.
  VolumeLayout layout;
  // Whether the driver showed the hidden and system bits: without them nothing seems hidden.
  bool attributesSeen = false;
};

// Lists the root of `volume` and judges it. Nothing when the root cannot be listed.
std::optional<ListedLook> LookThroughFileSystem(const MountedVolume& volume);

}  // namespace kestrova::repair
