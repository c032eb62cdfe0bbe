// SPDX-License-Identifier: GPL-3.0-or-later
#include "format/exfat_sets.h"

#include <algorithm>

#include "format/codepage.h"
#include "format/exfat.h"
#include "format/fat.h"

namespace kestrova::repair {

using namespace exfat;
using fat::Read16;

RootFile DecodeExfatSet(std::span<const std::uint8_t> set, std::int64_t at) {
  const auto stream = set.subspan(kEntrySize, kEntrySize);
  RootFile file;
  file.offset = file.main = at;
  file.entryCount = static_cast<int>(set.size() / kEntrySize);
  file.longName = NameOf(set);
  file.attributes = Read16(set, kFileAttributesOffset);
  file.firstCluster = fat::Read32(stream, kFirstClusterOffset);
  file.size = fat::Read64(stream, kDataLengthOffset);
  file.validSize = fat::Read64(stream, kValidDataLengthOffset);
  file.noFatChain = stream[kSecondaryFlagsOffset] & kNoFatChain;
  return file;
}

std::string ExfatLabelText(std::span<const std::uint8_t> entry) {
  const std::size_t length = std::min<std::size_t>(entry[kLabelLengthOffset], kMaxLabelLength);
  std::u16string label;
  for (std::size_t i = 0; i < length; ++i) {
    label += static_cast<char16_t>(Read16(entry, kLabelOffset + 2 * i));
  }
  return Utf16ToUtf8(label);
}

// The set checksum over the File entry and its secondaries, skipping the checksum's own bytes.
std::uint16_t SetChecksum(std::span<const std::uint8_t> set) {
  std::uint16_t sum = 0;
  for (std::size_t i = 0; i < set.size(); ++i) {
    if (i == kSetChecksumOffset || i == kSetChecksumOffset + 1) continue;
    sum = static_cast<std::uint16_t>(((sum & 1) ? 0x8000 : 0) + (sum >> 1) + set[i]);
  }
  return sum;
}

// The name of a set: its name entries' characters, as long as the stream extension says.
std::string NameOf(std::span<const std::uint8_t> set) {
  const std::size_t length = set[kEntrySize + kNameLengthOffset];
  std::u16string name;
  for (std::size_t entry = 2; entry * kEntrySize < set.size() && name.size() < length; ++entry) {
    const auto bytes = set.subspan(entry * kEntrySize, kEntrySize);
    if (bytes[kEntryTypeOffset] != kFileName) break;
    for (std::size_t i = 0; i < kFileNameCharsPerEntry && name.size() < length; ++i) {
      name += static_cast<char16_t>(Read16(bytes, kFileNameOffset + 2 * i));
    }
  }
  return Utf16ToUtf8(name);
}

// The secondaries of a set must all be in use, the first a stream extension, the next ones the
// name entries that its name length asks for; after them come only entries of other kinds
// (benign ones, or critical ones of kinds that later versions may define).
SetShape ShapeOf(std::span<const std::uint8_t> set) {
  SetShape shape;
  const std::size_t secondaries = set.size() / kEntrySize - 1;
  const std::size_t nameLength = set[kEntrySize + kNameLengthOffset];
  const std::size_t nameEntries =
      (nameLength + kFileNameCharsPerEntry - 1) / kFileNameCharsPerEntry;
  if (nameLength == 0 || 1 + nameEntries > secondaries) return shape;
  for (std::size_t i = 1; i <= secondaries; ++i) {
    const std::uint8_t type = set[i * kEntrySize + kEntryTypeOffset];
    if ((type & (kInUse | kSecondary)) != (kInUse | kSecondary)) return shape;
    const std::uint8_t expected = i == 1 ? kStreamExtension : i <= 1 + nameEntries ? kFileName : 0;
    if (expected != 0) {
      if (type != expected) return shape;
      continue;
    }
    if (type == kStreamExtension || type == kFileName) return shape;
    if (!(type & kBenign) && shape.unknownCritical == 0) shape.unknownCritical = type;
  }
  shape.whole = true;
  return shape;
}

}  // namespace kestrova::repair
