// SPDX-License-Identifier: GPL-3.0-or-later
// The journal of a change to a volume: which volume, and for each sector that the change writes
// its bytes before and after. It is written to a file beside the volume, and made to reach the
// disk, before the first write; undoing puts the old bytes back when every sector still holds
// what the change wrote.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "repair/layout.h"
#include "repair/messages.h"
#include "volume/volume.h"

namespace kestrova::repair {

using volume::Expected;

// What tells one volume from another, as its boot sector says.
struct VolumeIdentity {
  FileSystem fileSystem = FileSystem::kFat32;
  std::uint32_t serial = 0;
  std::int64_t totalSectors = 0;
  std::int32_t bytesPerSector = 0;
  bool operator==(const VolumeIdentity&) const = default;
};
VolumeIdentity IdentityOf(const VolumeLayout& layout);

struct JournalSector {
  std::int64_t sector = 0;  // counted from the volume's start, in its own sectors
  std::vector<std::uint8_t> before;
  std::vector<std::uint8_t> after;
};

struct Journal {
  VolumeIdentity volume;
  std::vector<JournalSector> sectors;  // in the order they are written
};

// Why bytes are no journal that undo may use.
struct JournalFault {
  bool damaged = false;      // a journal of this program's whose length or a checksum is wrong
  std::int64_t record = -1;  // the sector record whose checksum is wrong; -1: the header or length
};

// The journal as a file's bytes, and back; nothing for bytes that are not a whole journal, with
// `fault` saying why. The bytes carry their length and a CRC-32 of the header and of each sector
// record, so that any change to them is found (journals of the first format, without them, are
// still read).
std::vector<std::uint8_t> EncodeJournal(const Journal& journal);
std::optional<Journal> DecodeJournal(std::span<const std::uint8_t> bytes,
                                     JournalFault* fault = nullptr);

// Writes the journal as a new file and makes it reach the disk; the problem when it cannot.
std::optional<Problem> WriteJournal(const std::filesystem::path& path, const Journal& journal);
// A new file for the journal of a change (`what`: "repair", "clean"), in the user's journal
// folder (the current folder when the system names none): the change's date and time and the
// program's process number, numbered when that name is taken.
std::filesystem::path NewJournalPath(std::string_view what);

// Reads a journal file; the problem when it cannot be read or is not one.
Expected<Journal, Problem> ReadJournal(const std::filesystem::path& path);

}  // namespace kestrova::repair
