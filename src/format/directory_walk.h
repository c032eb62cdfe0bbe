// SPDX-License-Identifier: GPL-3.0-or-later
// A directory's entries met in order as its bytes are read, a window at a time, so that a
// directory of any size needs only a bounded buffer: the walk keeps what it needs of the entries
// behind it (a long name in the making) and leaves an entry set that goes on past a window for the
// next one. It decodes and checks the entries' structure; what they mean is for whoever it shows
// them to (the root's walkers judge them).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>

#include "format/exfat.h"
#include "format/exfat_sets.h"
#include "format/fat_names.h"
#include "format/geometry.h"
#include "format/problem.h"

namespace kestrova::repair {

// The most bytes that a walk leaves for the next window: an exFAT entry set of a File entry and
// 18 secondaries.
inline constexpr std::size_t kMaxHeldBytes = (1 + exfat::kMaxSecondaryCount) * exfat::kEntrySize;

// One entry as the walk meets it.
struct WalkedEntry {
  std::int64_t offset = 0;        // its directory offset (FAT's short entry, exFAT's File entry)
  std::span<std::uint8_t> bytes;  // FAT: the short entry; exFAT: the whole set, or the one entry
                                  // in use outside a set
  LongName name;                  // FAT: the long name gathered in front of the short entry
  bool deleted = false;           // FAT: the entry's first byte marks it deleted
  bool afterEnd = false;          // FAT: it lies after the end-of-directory mark
  bool set = false;               // exFAT: a File entry's set, whole and with its checksum right
  SetShape shape;                 // and what its secondaries say of it
};

// Shown each entry in turn; a problem ends the walk.
using EntryVisit = std::function<std::optional<Problem>(WalkedEntry&)>;

class DirectoryWalk {
 public:
  virtual ~DirectoryWalk() = default;
  // Shows `visit` the entries of `window`, the directory's bytes from byte `offset` on (whole
  // entries); `last` when it reaches the end of the directory. Sets `done` to how many bytes at
  // its front the walk is finished with: all of them but an entry set that goes on past the
  // window, which comes again at the front of the next one. FAT: every short entry, deleted ones
  // and those after the end-of-directory mark too (but the slots there with no attributes), each
  // with the long name in front of it. exFAT: the entries in use up to the end-of-directory entry,
  // a File entry with its whole set; a set that is cut short or fails its checksum refuses the
  // directory (kDamagedDirectory).
  virtual std::optional<Problem> Look(std::span<std::uint8_t> window, std::int64_t offset,
                                      bool last, std::size_t& done, const EntryVisit& visit) = 0;
};

std::unique_ptr<DirectoryWalk> MakeDirectoryWalk(FileSystem fileSystem);

}  // namespace kestrova::repair
