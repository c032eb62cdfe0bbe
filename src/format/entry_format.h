// SPDX-License-Identifier: GPL-3.0-or-later
// A directory's files as the file systems' entries describe them, and how those entries change:
// what the walkers and the listings decode, and what every pass that changes an entry goes
// through.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "format/fat.h"
#include "format/geometry.h"

namespace kestrova::repair {

// A file or folder of a directory, decoded from its entries, with what it takes to change or
// remove it.
struct RootFile {
  std::int64_t offset = 0;  // the directory offset of its first entry: on FAT its first long-name
                            // entry (or its short entry), on exFAT its File entry
  int entryCount = 1;       // its entries from there on: the long-name entries and the short
                            // entry, or the whole entry set
  std::int64_t sector = 0;  // where its short entry or File entry lies
  int index = 0;            // and the position in that sector
  std::string shortName;    // 8.3 name, UTF-8 (bytes of 0x80 and above read as code page 936);
                            // empty on exFAT, which has none
  std::string longName;
  std::uint16_t attributes = 0;
  std::uint32_t firstCluster = 0;  // 0 for a file without data
  std::uint64_t size = 0;          // bytes; exFAT: the data length
  std::uint64_t validSize = 0;     // exFAT: the valid data length; FAT: the size
  bool noFatChain =
      false;  // exFAT: its clusters follow one another and the FAT does not chain them

  std::int64_t main = 0;  // the directory offset of its short entry, or of its File entry

  const std::string& Name() const { return longName.empty() ? shortName : longName; }
  bool IsFolder() const { return (attributes & fat::kAttrDirectory) != 0; }
};

// How the entries of one file system's directories change: every pass that changes an entry (the
// repair's attributes, the removal's marks, inside folders as in the root) goes through this.
class EntryFormat {
 public:
  virtual ~EntryFormat() = default;
  // Marks one entry of a file's run removed, as a file system driver does when it deletes the
  // file: FAT's long-name entries and short entry get 0xE5, each entry of an exFAT set loses its
  // in-use bit. `entry` is the 32 bytes of that one entry.
  virtual void MarkRemoved(std::span<std::uint8_t> entry) const = 0;
  // Gives the file whose entries begin at `entries` the attributes `attributes`: FAT's short
  // entry takes their low byte, an exFAT set its two bytes and the set checksum that follows from
  // them (`entries` is then the whole set).
  virtual void SetAttributes(std::span<std::uint8_t> entries, std::uint16_t attributes) const = 0;
  // Whether a folder's entry says how many bytes the folder holds (exFAT's data length); FAT keeps
  // 0 there, and the chain alone says how long a folder is.
  virtual bool SizesFolders() const = 0;
};

// The entries of `fileSystem`.
const EntryFormat& EntryFormatOf(FileSystem fileSystem);
const EntryFormat& FatEntryFormat();
const EntryFormat& ExfatEntryFormat();

}  // namespace kestrova::repair
