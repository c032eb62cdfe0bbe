// SPDX-License-Identifier: GPL-3.0-or-later
#include "words/shell_words.h"

namespace kestrova::words {
namespace {

// Whether every character is one that the shell reads as itself; an empty argument is not.
bool AllOf(std::string_view argument, std::string_view safe) {
  if (argument.empty()) return false;
  for (const char c : argument) {
    const bool alphanumeric =
        (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
    if (!alphanumeric && safe.find(c) == std::string_view::npos) return false;
  }
  return true;
}

}  // namespace

std::string PosixQuoted(std::string_view argument) {
  if (AllOf(argument, "/._-+,:@%=")) return std::string(argument);
  std::string quoted = "'";
  for (const char c : argument) {
    if (c == '\'') {
      quoted += "'\\''";
    } else {
      quoted += c;
    }
  }
  return quoted + "'";
}

std::string CmdQuoted(std::string_view argument) {
  // Besides letters and digits, what cmd passes on as it is: no blank, no &|<>^()%!,;=" and no
  // wildcard that a program might expand.
  if (AllOf(argument, "\\/._-+:@#$~[]{}'`")) return std::string(argument);
  std::string quoted = "\"";
  for (const char c : argument) {
    quoted += c;
    if (c == '"') quoted += '"';
  }
  return quoted + "\"";
}

std::string ShellQuoted(std::string_view argument) {
#ifdef _WIN32
  return CmdQuoted(argument);
#else
  return PosixQuoted(argument);
#endif
}

namespace {

// The arguments, each quoted, one blank apart.
template <typename Arguments>
std::string Joined(const Arguments& arguments) {
  std::string line;
  for (const std::string_view argument : arguments) {
    if (!line.empty()) line += ' ';
    line += ShellQuoted(argument);
  }
  return line;
}

}  // namespace

std::string CommandLine(std::initializer_list<std::string_view> arguments) {
  return Joined(arguments);
}

std::string CommandLine(const std::vector<std::string>& arguments) { return Joined(arguments); }

}  // namespace kestrova::words
