// SPDX-License-Identifier: GPL-3.0-or-later
// The entry sets of exFAT directories, as the root's walker and the folder listing read them: a
// File entry, its stream extension and name entries, guarded by a checksum; and the volume label
// entry's text.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "format/entry_format.h"

namespace kestrova::repair {

// Where an exFAT allocation bitmap lies, as its root entry says.
struct BitmapPlace {
  std::int64_t firstCluster = 0;
  std::uint64_t bytes = 0;
};

// The set checksum over the File entry and its secondaries, skipping the checksum's own bytes.
std::uint16_t SetChecksum(std::span<const std::uint8_t> set);

// The name of a set: its name entries' characters, as long as the stream extension says. The set
// holds at least its File entry and stream extension.
std::string NameOf(std::span<const std::uint8_t> set);

// What a whole entry set's secondaries say of it.
struct SetShape {
  bool whole = false;                // a stream extension, then name entries that hold the name
  std::uint8_t unknownCritical = 0;  // the type of a critical secondary this program does not know
};

// The secondaries of a set (at least two) must all be in use, the first a stream extension, the
// next ones the name entries that its name length asks for; after them come only entries of other
// kinds (benign ones, or critical ones of kinds that later versions may define).
SetShape ShapeOf(std::span<const std::uint8_t> set);

// The file or folder of a whole entry set (ShapeOf says so) at directory offset `at`: all of it but
// where it lies (sector, index), which the reader of the directory knows.
RootFile DecodeExfatSet(std::span<const std::uint8_t> set, std::int64_t at);

// The text of a volume label entry.
std::string ExfatLabelText(std::span<const std::uint8_t> entry);

}  // namespace kestrova::repair
