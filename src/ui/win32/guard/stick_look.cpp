// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/win32/guard/stick_look.h"

#include <windows.h>

#include "repair/drive_use.h"
#include "repair/label.h"
#include "repair/listed_root.h"
#include "ui/win32/wide_text.h"
#include "volume/volume.h"

namespace kestrova::ui::win32::guard {
namespace {

repair::FileSystem FileSystemNamed(const std::wstring& name) {
  if (name == L"exFAT") return repair::FileSystem::kExfat;
  if (name == L"FAT") return repair::FileSystem::kFat16;
  if (name == L"FAT12") return repair::FileSystem::kFat12;
  if (name == L"FAT16") return repair::FileSystem::kFat16;
  return repair::FileSystem::kFat32;
}

// What the system tells of the mounted volume of drive `letter`.
repair::MountedVolume Mounted(char letter) {
  const std::wstring root{static_cast<wchar_t>(letter), L':', L'\\'};
  repair::MountedVolume volume;
  volume.root = root;
  wchar_t label[MAX_PATH + 1] = {};
  wchar_t fileSystem[MAX_PATH + 1] = {};
  DWORD serial = 0;
  if (GetVolumeInformationW(root.c_str(), label, MAX_PATH + 1, &serial, nullptr, nullptr,
                            fileSystem, MAX_PATH + 1)) {
    volume.label = Utf8(label);
    volume.serial = serial;
    volume.fileSystem = FileSystemNamed(fileSystem);
  }
  DWORD sectorsPerCluster = 0;
  DWORD bytesPerSector = 0;
  DWORD free = 0;
  DWORD total = 0;
  if (GetDiskFreeSpaceW(root.c_str(), &sectorsPerCluster, &bytesPerSector, &free, &total) &&
      sectorsPerCluster * bytesPerSector > 0) {
    volume.clusterBytes = sectorsPerCluster * bytesPerSector;
  }
  return volume;
}

}  // namespace

std::optional<StickLook> LookAtStick(char letter) {
  // Beside the file system, which keeps the volume: read-only and shared, so that nothing that
  // uses the stick is disturbed.
  const auto target = volume::DriveTarget::OfLetter(letter);
  if (const auto layout = repair::Look(target, volume::Access::kReadShared)) {
    return StickLook{true, repair::VolumeLabel(*layout), repair::SignsOf(*layout)};
  }
  const auto mounted = Mounted(letter);
  const auto listed = repair::LookThroughFileSystem(mounted);
  if (!listed) return std::nullopt;
  return StickLook{false, mounted.label, repair::SignsOf(listed->layout, listed->attributesSeen)};
}

}  // namespace kestrova::ui::win32::guard
