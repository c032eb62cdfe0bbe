// SPDX-License-Identifier: GPL-3.0-or-later
// What a shortcut (.lnk, the Shell Link binary format) runs, read from its own bytes: the header,
// the target's ID list (its volume and file entries), the LinkInfo's local path, the string data
// and the environment-variables block. Every offset and size is checked against the bytes; a
// shortcut that breaks any of them has no target.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace kestrova::repair {

// The most bytes of a file that the analysis reads to look into it.
inline constexpr std::size_t kMaxInspectedBytes = 64 << 10;

// The LinkInfo's drive type of a removable drive.
inline constexpr std::uint32_t kRemovableDrive = 2;

struct ShellLink {
  std::string localPath;        // LinkInfo: the local base path with the common path suffix
  std::string idListPath;       // the ID list's volume and file entries ("C:\Windows\notepad.exe")
  std::string environmentPath;  // the environment-variables block ("%windir%\system32\cmd.exe")
  std::string name;             // the string data, UTF-8
  std::string relativePath;
  std::string workingDirectory;
  std::string arguments;
  std::string iconLocation;
  std::optional<std::uint32_t> driveSerial;  // the serial number of the target's volume
  std::optional<std::uint32_t> driveType;    // and the kind of its drive (kRemovableDrive, ...)

  // The target as the user would read it: the local path, else the ID list's, else the
  // environment block's, else the relative path.
  const std::string& Target() const;
  // The target, then the arguments after a space when there are any.
  std::string Command() const;
};

// The shortcut in `bytes`, or nothing when they are no shell link or a structure in them does not
// fit (a damaged or cut shortcut). Text in the ANSI fields is read as code page 936.
std::optional<ShellLink> ParseShellLink(std::span<const std::uint8_t> bytes);

}  // namespace kestrova::repair
