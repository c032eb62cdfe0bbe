// SPDX-License-Identifier: GPL-3.0-or-later
// A read-only look at the root directory, made while the analysis reads it: the entries that the
// repair pass changes, with their names, and the folders that it leaves hidden on purpose.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace kestrova::repair {

struct HiddenFolder {
  std::int64_t sector = 0;  // where the entry lies
  int index = 0;            // its position in the sector
  std::string shortName;    // 8.3 name, UTF-8 (bytes of 0x80 and above read as code page 936);
                            // empty on exFAT, which has none
  std::string longName;     // UTF-8, empty when the entry has no valid long name
  std::uint16_t attribute = 0;
  bool deleted = false;   // the entry's first byte marks it deleted
  bool afterEnd = false;  // it lies after the end-of-directory mark

  // The name to show: the long name where there is one.
  const std::string& Name() const { return longName.empty() ? shortName : longName; }
};

// Why a folder that is hidden like the virus's is left as it is.
enum class LeftAloneReason {
  kWindowsFolder,         // Windows itself keeps it hidden and system
  kUnknownCriticalEntry,  // its exFAT entry set holds a critical entry of `entryType`
};

struct LeftAloneFolder {
  HiddenFolder folder;
  LeftAloneReason reason = LeftAloneReason::kWindowsFolder;
  std::uint8_t entryType = 0;
};

// Where an exFAT allocation bitmap lies, as its root entry says.
struct BitmapPlace {
  std::int64_t firstCluster = 0;
  std::uint64_t bytes = 0;
};

// A file of the root directory, with what it takes to remove it.
struct RootFile {
  std::int64_t offset = 0;  // the root offset of its first entry: on FAT its first long-name entry
                            // (or its short entry), on exFAT its File entry
  int entryCount = 1;       // its entries from there on: the long-name entries and the short
                            // entry, or the whole entry set
  std::int64_t sector = 0;  // where its short entry or File entry lies
  int index = 0;            // and the position in that sector
  std::string shortName;    // as HiddenFolder's
  std::string longName;
  std::uint16_t attributes = 0;
  std::uint32_t firstCluster = 0;  // 0 for a file without data
  std::uint64_t size = 0;          // bytes; exFAT: the data length
  std::uint64_t validSize = 0;     // exFAT: the valid data length; FAT: the size
  bool noFatChain =
      false;  // exFAT: its clusters follow one another and the FAT does not chain them

  const std::string& Name() const { return longName.empty() ? shortName : longName; }
};

// Why a root file is one that the virus left.
enum class LeftoverReason {
  kShortcutRunsHost,       // a shortcut whose target or arguments run an interpreter or script host
  kShortcutRunsFromDrive,  // a shortcut that runs a program or script on this drive
  kShortcutLikeFolder,     // a shortcut named like the root folder `subject`
  kShortcutLikeLabel,      // a shortcut named like the volume label `subject`
  kAutorun,                // autorun.inf; `subject` is its first line that runs something
  kNamedByShortcut,        // named by the target or arguments of the shortcut `subject`
  kNamedByAutorun,         // named by autorun.inf's line `subject`
  kHiddenProgram,          // a program or script with the hidden or system attribute
};

struct Leftover {
  RootFile file;
  LeftoverReason reason = LeftoverReason::kHiddenProgram;
  std::string subject;  // what the reason names (see LeftoverReason)
  std::string command;  // the shortcut's target and arguments: the file's own, or for
                        // kNamedByShortcut the naming shortcut's; empty when it has none
};

// What the analysis found in the root directory.
struct RootFindings {
  std::vector<HiddenFolder> hidden;  // the entries that the repair changes, in order
  std::vector<LeftAloneFolder> leftAlone;
  std::string label;  // the root's volume label entry's text (FAT keeps one in the boot sector too)
  std::optional<BitmapPlace> bitmap;  // exFAT: the allocation bitmap of the FAT in use
  std::vector<Leftover> leftovers;    // the files the virus left, in root order
};

// The 8.3 name of a FAT directory entry, as the user would read it.
std::string DisplayShortName(std::span<const std::uint8_t> entry);

// The long-name checksum of an 11-byte short name.
std::uint8_t ShortNameChecksum(const std::uint8_t* name11);

// True for the names of the folders that Windows creates hidden and system in a drive's root
// ("System Volume Information", "$RECYCLE.BIN"), in any case.
bool IsWindowsOwnFolder(std::string_view name);

}  // namespace kestrova::repair
