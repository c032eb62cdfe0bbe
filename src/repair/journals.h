// SPDX-License-Identifier: GPL-3.0-or-later
// The journals of the user's journal folder, and what became of each change on its volume: still
// there, undone, cut short, or changed again by a later change. A change that was cut short is
// finished before the next pass on its volume.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "format/problem.h"
#include "format/progress.h"
#include "repair/journal.h"
#include "volume/volume.h"

namespace kestrova::repair {

// What the name of a file of the journal folder says, a journal's or a quarantine's (whose name
// differs by the extension): the command, the label, the serial number, the time and the number of
// a name that was taken (JournalFileName); or, in the names of the first versions, the command,
// the time and the process number.
struct JournalName {
  std::filesystem::path path;
  std::string command;  // "repair", "clean"; empty when the name does not say
  std::string label;    // the volume's label as the name carries it; empty when it does not
  std::optional<std::uint32_t> serial;  // nothing when the name does not say (the first versions'
                                        // names, a name that the user gave)
  std::string stamp;  // the time, "20261208-103259"; empty when the name does not say
  int number = 1;     // of a name that was taken at that time
};
// The one reader of that name format.
JournalName ReadJournalName(const std::filesystem::path& path);

// The journal folder keeps each volume's journals and quarantines in a folder of their own, named
// by the volume's serial number as the names carry it ("1A2B3C4D"), so that a pass lists its
// volume's files alone, whatever the number of other volumes'. Files whose names carry no serial
// number (the first versions') are in kNoSerialFolder, which may be anyone's. The files that the
// first versions left at the top are moved into those folders the first time the folder is looked
// at; kLayoutMark, written once they all are, says that none is left there.
inline constexpr std::string_view kNoSerialFolder = "no-serial";
inline constexpr std::string_view kLayoutMark = "by-serial";
// The folder of the volume with `serial` in the journal folder `folder`.
std::filesystem::path SerialFolder(const std::filesystem::path& folder, std::uint32_t serial);

// Where the file that `named` names is now: in its volume's folder when a look moved it there from
// the top of the journal folder (a path that a first version printed); else `named` itself.
std::filesystem::path ArrangedPath(const std::filesystem::path& named);

// The journals and quarantines of a journal folder, picked by their names before any is read:
// those that carry a volume's serial number, and those that carry none, which may be anyone's. Each
// folder is listed once, when a question first needs it (the first asks for the layout above), and
// the names are kept as the listings gave them; a path and the rest of what a name says are made
// for the files picked alone.
class JournalFolderFiles {
 public:
  JournalFolderFiles() = default;
  explicit JournalFolderFiles(std::filesystem::path folder);

  // Whether the folder may hold a journal of any volume: false when there is no folder.
  bool AnyJournal() const;
  // The journals (*.journal, the files) whose names may be of the volume with `serial`, all of
  // them without; newest first (by name).
  std::vector<JournalName> Journals(std::optional<std::uint32_t> serial = {}) const;
  // The quarantines (*.quarantine) the same way.
  std::vector<JournalName> Quarantines(std::optional<std::uint32_t> serial = {}) const;

 private:
  struct Entry {
    std::size_t at = 0;  // the name in names_
    std::size_t length = 0;
    std::size_t place = 0;  // its folder in places_
    bool journal = false;   // else a quarantine
    std::optional<std::uint32_t> serial;
  };
  // The first versions' files at the top moved into their folders, once.
  void Arrange() const;
  // The folders that the files of `serial` (of every volume without) may be in, listed once each.
  void ListFor(std::optional<std::uint32_t> serial) const;
  void ListPlace(const std::filesystem::path& place) const;
  std::vector<JournalName> Named(bool journals, std::optional<std::uint32_t> serial) const;

  std::filesystem::path folder_;
  mutable bool arranged_ = false;
  mutable bool exists_ = false;
  mutable bool topHoldsFiles_ = false;                 // files at the top that could not be moved
  mutable std::vector<std::filesystem::path> places_;  // the folders listed
  mutable std::set<std::filesystem::path::string_type> listedPlaces_;
  mutable std::string names_;  // every name, one after the other
  mutable std::vector<Entry> entries_;
};

// A journal of the folder, with what its name says and, once read, what it holds.
struct ListedJournal : JournalName {
  std::optional<Journal> journal;  // nothing: damaged, or no journal
  Problem problem;                 // why not, then
  bool undoCutShort = false;       // an undo of it began and did not end (UndoMarkOf)
};

// The journals that `files` names, read, newest first. With `volume`, only those whose names may
// be of it are read, and those that hold another volume's journal are left out; a damaged one
// stays, as it may be its.
std::vector<ListedJournal> ListJournals(const JournalFolderFiles& files,
                                        std::optional<VolumeIdentity> volume = {});

// The place of a pass's journal with its folder listed once for the whole pass: `place` itself
// when it brings the listing (JournalPlace::listed) or is null; else `copy`, a copy of it with the
// folder listed into `listed`.
const JournalPlace* ListedOnce(const JournalPlace* place, JournalPlace& copy,
                               JournalFolderFiles& listed);

// The file that stands beside a journal while an undo of it runs, so that a change whose undo was
// cut short is not taken for a change cut short and finished again.
std::filesystem::path UndoMarkOf(const std::filesystem::path& journal);

// What became of a change on its volume, by what each of its sectors holds now.
enum class JournalState {
  kUndoable,       // every sector holds what the change wrote
  kUndone,         // every sector holds its old bytes: undone, or never written
  kPartlyApplied,  // each holds its old or its new bytes, some of each: the change was cut short
  kOvertaken,      // a sector was changed again by a later change of another journal
  kChanged,        // a sector holds something else, which no journal explains
};

struct JournalStatus {
  JournalState state = JournalState::kUndoable;
  std::filesystem::path later;  // kOvertaken: the journal of the later change
  std::int64_t sector = -1;     // kOvertaken, kChanged: the first sector that holds neither
};

// The state of `journal`'s change on the open volume, which must be its volume: its sectors are
// read. A sector that holds neither its old nor its new bytes is one that a later change
// overtook when one of `later` (of the same volume) has it with this change's new bytes as its
// old ones and what the sector holds now as its new ones. The problem when a read fails.
Expected<JournalStatus, Problem> StatusOf(volume::Volume& volume, const Journal& journal,
                                          std::span<const ListedJournal> later);

// The open volume's boot region and geometry into `layout`, checked as the analysis checks them
// (the device too), but not its root: a journal's volume is known by them also when a change of
// its root was cut short. The refusal otherwise.
std::optional<Problem> ReadVolumeGeometry(volume::Volume& volume, VolumeLayout& layout,
                                          ProgressTrack* track = nullptr);
// The identity of the open volume, as ReadVolumeGeometry reads it; nothing when it is no volume
// the engine handles.
std::optional<VolumeIdentity> IdentityOfVolume(volume::Volume& volume,
                                               ProgressTrack* track = nullptr);

// A change that was cut short and is now finished.
struct FinishedChange {
  std::filesystem::path journal;
  std::int64_t sectorsWritten = 0;
};

// On a volume opened for writing, before a pass: when the newest journal of this volume that
// `files` names is partly applied (and no undo of it was cut short), writes the new bytes of the
// sectors that still hold their old ones, in the journal's order, and makes them reach the disk.
// Every sector is read before the first write. Nothing when there was nothing to finish; the
// problem, with anyWritten as a pass's, when it failed. Of the journals, only those whose names
// may be of the volume are read, newest first, up to the newest of the volume.
Expected<std::optional<FinishedChange>, Problem> FinishCutShort(volume::Volume& volume,
                                                                const JournalFolderFiles& files,
                                                                Progress* progress = nullptr);

}  // namespace kestrova::repair
