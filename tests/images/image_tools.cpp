// SPDX-License-Identifier: GPL-3.0-or-later
#include "image_tools.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <iterator>

#include "fat_tools.h"

namespace kestrova::testing {

CliResult Cli(const std::string& arguments) {
  char pattern[] = "/tmp/kestrova-cli-err-XXXXXX";
  const int fd = ::mkstemp(pattern);
  if (fd >= 0) ::close(fd);
  CliResult result;
  const auto run = Run(Quote(CliPath()) + " " + arguments + " 2>" + Quote(pattern));
  result.status = run.status;
  result.out = run.output;
  std::ifstream err(pattern, std::ios::binary);
  result.err.assign(std::istreambuf_iterator<char>(err), std::istreambuf_iterator<char>());
  ::unlink(pattern);
  return result;
}

std::vector<std::uint8_t> Noise(std::size_t length, std::uint32_t seed) {
  std::vector<std::uint8_t> bytes(length);
  std::uint32_t state = seed * 2654435761u + 1;
  for (auto& b : bytes) {
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    b = static_cast<std::uint8_t>(state);
  }
  return bytes;
}

CommandResult CliInLittleMemory(const std::string& arguments) {
  return Run("prlimit --as=" + std::to_string(30u << 20) + " " + Quote(CliPath()) + " " + arguments,
             true);
}

}  // namespace kestrova::testing
