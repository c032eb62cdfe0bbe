// SPDX-License-Identifier: GPL-3.0-or-later
// The tests' own small writer of shortcuts (.lnk files, the Shell Link binary format), as the
// shell writes them: a header, the target's ID list, a LinkInfo with the local path, the string
// data and an environment-variables block. Text is UTF-8 (characters of the BMP).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kestrova::testing {

struct Shortcut {
  // The target's ID list after My Computer: a volume ("C:\"), then the names of the folders
  // down to the target, the target last. Empty: no ID list.
  std::vector<std::string> idList = {};
  std::string localPath = {};     // the LinkInfo's local path; empty: no LinkInfo
  bool unicodeLocalPath = false;  // the local path also in UTF-16 (a LinkInfo header of 0x24)
  std::uint32_t driveSerial = 0;
  std::uint32_t driveType = 3;  // 2 removable, 3 fixed
  std::string name = {};        // the string data; each one only when it is not empty
  std::string relativePath = {};
  std::string workingDirectory = {};
  std::string arguments = {};
  std::string iconLocation = {};
  bool unicode = true;               // the string data in UTF-16, else in ANSI
  std::string environmentPath = {};  // an environment-variables block with this target
  std::uint32_t showCommand = 1;     // the window: 1 normal, 3 maximised, 7 minimised and inactive
};

std::vector<std::uint8_t> ShortcutBytes(const Shortcut& shortcut);

// A program information file (.pif) that starts `program` with `parameters`: the basic section,
// then the heading of the section list.
std::vector<std::uint8_t> PifBytes(const std::string& program, const std::string& parameters);

// PowerShell's -EncodedCommand for a command's text (UTF-8): base64 of its UTF-16LE.
std::string EncodedCommand(const std::string& text);

}  // namespace kestrova::testing
