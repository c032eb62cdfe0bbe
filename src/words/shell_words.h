// SPDX-License-Identifier: GPL-3.0-or-later
// A command that the program prints for the user to copy: each argument quoted so that the shell
// of the platform reads it back as the same one word. Linux shows commands for a POSIX shell,
// Windows for cmd; the choice is made when the program is built.
#pragma once

#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

namespace kestrova::words {

// An argument for a POSIX shell: bare when it holds only characters that no shell treats
// specially, otherwise in single quotes, a single quote in it written as '\''.
std::string PosixQuoted(std::string_view argument);

// An argument for cmd: in double quotes when it holds a blank or one of cmd's special characters
// (Windows file names hold no double quote; one that is there is doubled).
std::string CmdQuoted(std::string_view argument);

// The argument quoted for the shell of this platform: PosixQuoted on Linux, CmdQuoted on Windows.
std::string ShellQuoted(std::string_view argument);

// The arguments, each quoted for the shell of this platform, one blank apart.
std::string CommandLine(std::initializer_list<std::string_view> arguments);
std::string CommandLine(const std::vector<std::string>& arguments);

}  // namespace kestrova::words
