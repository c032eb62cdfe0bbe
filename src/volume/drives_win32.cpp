// SPDX-License-Identifier: GPL-3.0-or-later
// Drives on Windows: the system's drive letters and types.
#include <windows.h>

#include <string>

#include "volume/drives.h"
#include "volume/volume.h"

namespace kestrova::volume {

unsigned QueryDriveType(const std::string& root) { return GetDriveTypeA(root.c_str()); }

std::vector<DriveInfo> ListRemovableDrives() {
  std::vector<DriveInfo> drives;
  for (char letter = kFirstDriveLetter; letter <= kLastDriveLetter; ++letter) {
    const std::string root = DriveRoot(letter);
    if (QueryDriveType(root) != kDriveRemovable) continue;
    DriveInfo info;
    info.letter = letter;
    info.target = DriveTarget::OfLetter(letter);
    info.device = *DrivePath(info.letter);
    ULARGE_INTEGER total{};
    const std::string rootDir = root + "\\";
    if (GetDiskFreeSpaceExA(rootDir.c_str(), nullptr, &total, nullptr)) {
      info.sizeBytes = total.QuadPart;
    }
    // The label in UTF-8, as every text of the program: the ANSI code page may not hold it.
    const std::wstring wideRoot(rootDir.begin(), rootDir.end());
    wchar_t label[MAX_PATH + 1] = {};
    if (GetVolumeInformationW(wideRoot.c_str(), label, MAX_PATH + 1, nullptr, nullptr, nullptr,
                              nullptr, 0)) {
      const int bytes = WideCharToMultiByte(CP_UTF8, 0, label, -1, nullptr, 0, nullptr, nullptr);
      if (bytes > 1) {
        info.label.resize(static_cast<std::size_t>(bytes));
        WideCharToMultiByte(CP_UTF8, 0, label, -1, info.label.data(), bytes, nullptr, nullptr);
        info.label.resize(static_cast<std::size_t>(bytes - 1));
      }
    }
    drives.push_back(info);
  }
  return drives;
}

// Windows keeps its own drive letters; there is nothing to take a look at ahead of time.
void RefreshDrives() {}

// Windows has its own drive letters; a path cannot be presented as one.
bool RegisterDrive(char, const std::string&) { return false; }
// "\\.\X:", the path by which Windows opens the volume of drive X.
std::optional<std::string> DrivePath(char letter) { return std::string("\\\\.\\") + letter + ":"; }

// The repair's open dismounts the volume (FSCTL_DISMOUNT_VOLUME): nothing to unmount ahead of it.
std::string DriveMountPoint(const DriveTarget&) { return {}; }
MountChange UnmountDrive(const DriveTarget&) { return {false, false, true, {}, {}}; }
MountChange MountDrive(const DriveTarget& target) { return UnmountDrive(target); }

}  // namespace kestrova::volume
