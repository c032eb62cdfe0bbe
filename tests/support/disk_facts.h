// SPDX-License-Identifier: GPL-3.0-or-later
// The on-disk values that the tests' builders and checks share, each named once. They are taken
// from the FAT and exFAT documents rather than from the engine's headers, so that a test does not
// inherit a mistake of the engine.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kestrova::testing {

inline constexpr std::size_t kAttributeByte = 11;    // of a FAT directory entry
inline constexpr std::size_t kShortNameLength = 11;  // 8 + 3, blank-padded
inline constexpr std::uint8_t kPlainFolder = 0x10;   // the directory bit alone
inline constexpr std::uint8_t kDeletedMark = 0xE5;   // the first byte of a deleted entry
inline constexpr std::uint32_t kFat32EndMark = 0x0FFFFFFF;
inline constexpr std::uint32_t kExfatEndMark = 0xFFFFFFFF;

}  // namespace kestrova::testing
