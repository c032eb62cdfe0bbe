// SPDX-License-Identifier: GPL-3.0-or-later
// The journal of a change to a volume: which volume, and for each sector that the change writes
// its bytes before and after. It is written to a file beside the volume, and made to reach the
// disk, before the first write; undoing puts the old bytes back when every sector still holds
// what the change wrote.
#pragma once

#include <cstdint>
#include <ctime>
#include <filesystem>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "format/problem.h"
#include "repair/layout.h"
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

// Reads the journal's sectors from the volume as they are now, in the journal's order, and gives
// each to `look` with its place in the journal. Sectors that follow one another in the journal
// and on the volume go in one transfer of up to kMaxTransferBytes (a change's sectors mostly
// do), transfers elsewhere on the volume are read together, and `read` hears of each transfer's
// bytes as they arrive. The problem of a read that failed, or the first that `look` gives, ends
// the reading.
using JournalSectorLook =
    std::function<std::optional<Problem>(std::size_t index, std::span<const std::uint8_t> now)>;
std::optional<Problem> ReadJournalSectors(volume::Volume& volume, const Journal& journal,
                                          const JournalSectorLook& look,
                                          const std::function<void(std::int64_t bytes)>& read);

class JournalFolderFiles;

// Where a pass writes the journal of its change.
struct JournalPlace {
  // The file that the user named (--journal), taken as it is; empty: a new file in `folder`,
  // named by JournalFileName once the pass has analysed the volume under its lock.
  std::filesystem::path file;
  std::filesystem::path folder;
  std::string what;  // the command: "repair", "clean"
  // Told the journal's path once it has reached the disk, before the first write to the volume.
  std::function<void(const std::filesystem::path&)> saved;
  // `folder` as the pass listed it, once for the whole pass (ListedOnce); null: not listed yet.
  const JournalFolderFiles* listed = nullptr;
};

// The folder of the user's journals (volume::StateDirectory()), or the current folder when the
// system names none.
std::filesystem::path JournalFolder();

// The local time now, which names a new journal.
std::tm LocalTimeNow();

// The name of a new journal: the command, the volume's label made safe for a file name on Linux
// and on Windows (kNoLabelName for none), its serial number and the local time, as in
// clean-KINGSTON-1A2B3C4D-20261208-103259.journal; a `number` from 2 on follows the time, for a
// name that is taken.
inline constexpr std::string_view kNoLabelName = "NONAME";
std::string JournalFileName(std::string_view what, std::string_view label, std::uint32_t serial,
                            const std::tm& time, int number = 1);

struct Quarantine;

// Writes the journal of a change to the volume of `layout` to its place, a new file that reaches
// the disk, and tells place.saved; with `quarantine`, that goes first beside it (QuarantineOf),
// and no journal is written without it. A name that the folder's listing (place.listed, else one
// made now) has for another journal of the volume's serial number and time is numbered on. The
// path it went to, or the problem: a journal folder that cannot be made or written in is
// kJournalFolderFailed.
Expected<std::filesystem::path, Problem> WriteJournal(const JournalPlace& place,
                                                      const VolumeLayout& layout,
                                                      const Journal& journal,
                                                      const Quarantine* quarantine = nullptr);

// Reads a journal file; the problem when it cannot be read or is not one.
Expected<Journal, Problem> ReadJournal(const std::filesystem::path& path);

}  // namespace kestrova::repair
