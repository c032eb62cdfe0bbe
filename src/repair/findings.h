// SPDX-License-Identifier: GPL-3.0-or-later
// What the analysis finds in the root directory as it reads it: the entries that the repair pass
// changes, with their names, the folders that it leaves hidden on purpose, and whose each entry is
// by the evidence found of it.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "format/entry_format.h"
#include "format/exfat_sets.h"

namespace kestrova::repair {

// A root entry that is hidden like the virus's: a folder, or a file that the user may own.
struct HiddenEntry {
  std::int64_t sector = 0;  // where the entry lies
  int index = 0;            // its position in the sector
  std::int64_t offset = 0;  // and its root offset (the short entry's, or the File entry's)
  std::string shortName;    // 8.3 name, UTF-8 (bytes of 0x80 and above read as code page 936);
                            // empty on exFAT, which has none
  std::string longName;     // UTF-8, empty when the entry has no valid long name
  std::uint16_t attribute = 0;
  bool deleted = false;   // the entry's first byte marks it deleted
  bool afterEnd = false;  // it lies after the end-of-directory mark
  bool folder = true;     // a folder; else a file

  // The name to show: the long name where there is one.
  const std::string& Name() const { return longName.empty() ? shortName : longName; }
};

// Why a folder that is hidden like the virus's is left as it is.
enum class LeftAloneReason {
  kUnknownCriticalEntry,  // its exFAT entry set holds a critical entry of `entryType`
};

struct LeftAloneFolder {
  HiddenEntry folder;
  LeftAloneReason reason = LeftAloneReason::kUnknownCriticalEntry;
  std::uint8_t entryType = 0;
};

// Whose a root entry is, by the evidence that the analysis found of it.
enum class Verdict {
  kUser,     // the user's: shown again when hidden, never removed
  kVirus,    // the virus's: listed; root files are removed only on the user's word (Clean)
  kSystem,   // Windows' or another system's own: left exactly as it is
  kVaccine,  // a vaccine against autorun worms: left exactly as it is
  kUnsure,   // no evidence either way: left as it is (a folder is shown again) and listed
};

// The evidence behind a verdict; `subject` and `command` of Judged say what it names. Quarantines
// keep their numbers: a new one goes at the end.
enum class Evidence {
  // The virus's.
  kShortcutRunsHost,         // a shortcut whose command interpreter or script host runs something
                             // on this drive, or that is named like a root item or the label
  kShortcutRunsFromDrive,    // a shortcut that runs a program or script on this drive
  kUrlRunsProgram,           // an internet shortcut whose address is a program or script
  kAutorun,                  // autorun.inf; `subject` is its first line that runs something
  kNamedByShortcut,          // what the virus's shortcut `subject` runs besides its disguise
  kNamedByAutorun,           // named by autorun.inf's line `subject`
  kProgramLikeFolder,        // a program named like the root folder `subject`
  kProgramLikeLabel,         // a program named like the volume label `subject`
  kProgramGenericName,       // a program named as a new folder or a drive is (`New Folder.exe`)
  kProgramHiddenCharacters,  // a program whose name holds invisible or direction characters
  kProgramDoubleExtension,   // a program whose name has a document's extension before its own
  kFolderRunFrom,            // a folder that the virus's command `subject` runs something in
  kFolderImpostor,           // a folder named as Windows' own that holds the program `subject`
  kInHidingFolder,           // desktop.ini in the folder into which the virus moved the files
  // The user's.
  kDisguise,          // what the virus's shortcut `subject` opens to look like the real thing
  kHiddenDocument,    // a hidden document
  kMovedFilesFolder,  // a hidden folder with a blank or invisible name, `_` or the label's name:
                      // the virus moved the user's files there (`files`, `folders`)
  kAutorunIconOnly,   // an autorun.inf that only names the drive's icon and label
  // Unsure.
  kHiddenProgram,        // a hidden program or script without further evidence
  kProgramsOnlyFolder,   // a hidden folder that holds programs and scripts only
  kShortcutUnreadable,   // a shortcut whose target cannot be read
  kShortcutHostUnknown,  // a shortcut that starts a command interpreter with nothing to show what
  // Windows' or another system's own.
  kWindowsFolder,      // a folder that Windows keeps hidden and system (its recycle bin, ...)
  kOtherSystemFolder,  // macOS's .Trashes, .fseventsd, ..., Linux's .Trash-*
  kOtherSystemFile,    // macOS's ._* files, desktop.ini, Thumbs.db
  // Vaccines.
  kVaccineFolder,  // a folder named autorun.inf
  kVaccineFile,    // an autorun.inf whose attribute byte carries a reserved bit
  // The virus's, as an earlier removal of this program's recorded it, its bytes unchanged.
  kRemovedShortcutRan,  // what the virus's shortcut `subject`, since removed, ran
  kJudgedBefore,        // judged the virus's before, for the evidence `subject` says
  // Added since; the verdicts of each are in VerdictOf.
  kShortcutRunsVisible,   // unsure: a shortcut that runs a program of this drive that is not
                          // hidden, with nothing else of a worm's
  kIdenticalCopies,       // the virus's: a program named like a root item whose bytes are those
                          // of the program `subject`, named like another (a worm's copies)
  kAutorunNothingHere,    // unsure: an autorun.inf that starts nothing found on this drive
  kPlatformAutorun,       // the system's: an autorun.inf that starts the drive's own visible
                          // program `subject` (a portable-apps platform, an installer)
  kPlatformProgram,       // the system's: the program that such an autorun.inf starts
  kBootEntry,             // the system's: a boot or installation drive's own entry
  kCameraEntry,           // the system's: a camera card's own entry
  kInWindowsFolder,       // the virus's: a program inside Windows' own folder `subject`, where
                          // Windows keeps no program
  kAutorunStartsVisible,  // unsure: a hidden autorun.inf that starts the drive's visible program
                          // `subject`, which a platform's does and a worm's may
};
// The last evidence, for the readers of stored numbers.
inline constexpr Evidence kLastEvidence = Evidence::kAutorunStartsVisible;

// A root entry, or one inside a hidden folder of the root, with its verdict.
struct Judged {
  RootFile file;
  std::string folder;  // the root folder that holds it (its name); empty for a root entry
  Verdict verdict = Verdict::kUnsure;
  Evidence evidence = Evidence::kHiddenProgram;
  std::string subject;    // what the evidence names
  std::string command;    // the shortcut's target and arguments: the entry's own, or for
                          // kNamedByShortcut and kDisguise the naming shortcut's; empty when none
  std::size_t files = 0;  // kMovedFilesFolder: the files and folders it holds (as far as read)
  std::size_t folders = 0;

  // The name as the lists show it: `folder\name` inside a folder.
  std::string Path() const;
};

// A folder of the virus's that a removal left as it is: it holds the document `document` (its
// path), which is never the virus's.
struct KeptFolder {
  Judged folder;
  std::string document;
};

// What the analysis found in the root directory.
struct RootFindings {
  std::vector<HiddenEntry> hidden;  // the entries that the repair changes, in order
  std::vector<LeftAloneFolder> leftAlone;
  std::string label;  // the root's volume label entry's text (FAT keeps one in the boot sector too)
  std::optional<BitmapPlace> bitmap;  // exFAT: the allocation bitmap of the FAT in use
  std::vector<Judged> leftovers;      // the virus's root files (what Clean removes), in root order
  // Every entry that the lists name with its verdict, in root order (an entry inside a folder
  // after the folder): the virus's besides `leftovers`, the unsure, the user's that were hidden
  // or disguised, the system's own and the vaccines.
  std::vector<Judged> judged;
};

}  // namespace kestrova::repair
