// SPDX-License-Identifier: GPL-3.0-or-later
// Helpers for the image tests: runs of kestrova-cli and repeatable noise. Images are read and
// rearranged with the shared FatImage (fat_image.h).
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "fat_tools.h"
#include "words/texts.h"

namespace kestrova::testing {

struct CliResult {
  int status = -1;
  std::string out;  // standard output
  std::string err;  // standard error
};
// Runs kestrova-cli with the given (already quoted) arguments.
CliResult Cli(const std::string& arguments);

// What a text of the command line's reports says, in the user's language, before its first value:
// "reserved sectors: " for "reserved sectors: %lld".
inline std::string Lead(const texts::Text& text) {
  const std::string words = texts::Tr(text);
  return words.substr(0, words.find('%'));
}

// kestrova-cli in an address space of 30 MiB, with standard error in the output.
CommandResult CliInLittleMemory(const std::string& arguments);

// AddressSanitizer reserves far more address space than such a limit leaves.
#ifdef __SANITIZE_ADDRESS__
#define SKIP_WHEN_SANITIZED() GTEST_SKIP() << "the address sanitizer needs more address space"
#else
#define SKIP_WHEN_SANITIZED() static_cast<void>(0)
#endif

// Bytes of repeatable pseudo-random content.
std::vector<std::uint8_t> Noise(std::size_t length, std::uint32_t seed);

}  // namespace kestrova::testing
