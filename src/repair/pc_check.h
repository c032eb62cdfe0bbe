// SPDX-License-Identifier: GPL-3.0-or-later
// The PC's side of a worm: of the places from which this PC starts programs by itself (a listing
// of volume/startup.h), those that start the worm of a stick, judged by evidence: the bytes and the
// names of the files judged the virus's on the stick, never a name alone; then the changes that
// stop it (collected, journaled with everything needed to put them back, then made) and their
// undo. The rules read files through a reader that the caller gives, so that they run on a
// listing in memory as well as on the system's.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "format/problem.h"
#include "format/sha256.h"
#include "repair/journals.h"
#include "volume/startup.h"
#include "volume/volume.h"

namespace kestrova::repair {

// A file that was judged the virus's on a stick: its name and its bytes' digest.
struct VirusFile {
  std::string name;
  Sha256Digest digest{};
};

// What this PC knows of the sticks' worms.
struct PcEvidence {
  std::vector<VirusFile> files;
  bool Empty() const { return files.empty(); }
};

// The virus's files of the stick `target` (read only) and what the quarantines of `files` record
// of it; without a target, what every quarantine of `files` records.
Expected<PcEvidence, Problem> EvidenceOfStick(const volume::DriveTarget& target,
                                              const JournalFolderFiles& files);
PcEvidence EvidenceRecalled(const JournalFolderFiles& files);

// Whose a place is, and why. The numbers are kept in PC journals: a new one goes at the end.
enum class PcVerdict : std::uint8_t { kVirus, kUnsure, kOther };
enum class PcWhy : std::uint8_t {
  kSameBytes,         // the virus's: it starts a file with the bytes of the stick's `subject`
  kHostRunsCopy,      // the virus's: a script host runs a file with the bytes of `subject`
  kNamedLikeHidden,   // the virus's: it starts a hidden file in the profile named as `subject`
  kNamedLikeVisible,  // unsure: the same name, but the file is not hidden and its bytes differ
  kHiddenScript,      // unsure: a script host runs a hidden script in the profile, no match
  kFamilyWay,         // unsure: no stick's evidence here; a Run value starts a hidden script in
                      // the profile through wscript, as the script worms' copies do
  kNothing,           // none of this: left alone
};
PcVerdict VerdictOf(PcWhy why);

enum class PcPlace : std::uint8_t { kRunValue, kStartupFile, kTask, kProcess };

// A place of the listing with its verdict.
struct PcEntry {
  PcPlace place = PcPlace::kRunValue;
  std::size_t index = 0;  // in the listing's list of that place
  std::string command;    // what it starts
  std::string file;       // the file that the verdict is of (the worm's copy); empty when none
  PcWhy why = PcWhy::kNothing;
  std::string subject;  // the stick's file that it matched
};

// Reads a file of the PC; the system's (volume::ReadPcFile) or a test's.
using PcFileReader = std::function<std::optional<volume::PcFile>(const std::string& path)>;
std::optional<volume::PcFile> ReadFileOfPc(const std::string& path);

// The largest file that a look reads and a clean keeps.
inline constexpr std::uint64_t kMaxPcFileBytes = std::uint64_t{64} << 20;

// Judges every place of the listing. The entries of the virus's and the unsure ones, and with
// `all` every other one too, in the listing's order (Run values, Startup files, tasks, processes).
std::vector<PcEntry> JudgePc(const volume::StartupListing& listing, const PcEvidence& evidence,
                             const PcFileReader& read, bool all = false);

// The words of a Windows command line, as the system splits them (quotes group, and are dropped).
std::vector<std::string> CommandWords(const std::string& command);

// A change of a PC clean, with what puts it back.
struct PcChange {
  enum class Kind : std::uint8_t { kRunValue = 1, kFile = 2, kTask = 3, kProcess = 4 };
  Kind kind = Kind::kRunValue;
  volume::RunValue value;     // kRunValue: the value as it was
  std::string path;           // kFile: the file; kTask: the task; kProcess: its image
  volume::PcFile file;        // kFile: its attributes and bytes
  std::string xml;            // kTask: its definition
  std::uint32_t process = 0;  // kProcess: its number (ending it is not undone)
  PcWhy why = PcWhy::kNothing;
  std::string subject;
};

struct PcJournal {
  std::vector<PcChange> changes;
};

// The PC journal as a file's bytes, and back (a CRC-32 guards each record; the files' bytes are
// stored masked as a quarantine's are). Nothing for bytes that are no PC journal; `damaged` when
// they are one of this program's that is cut or changed.
std::vector<std::uint8_t> EncodePcJournal(const PcJournal& journal);
std::optional<PcJournal> DecodePcJournal(std::span<const std::uint8_t> bytes,
                                         bool* damaged = nullptr);
// Whether the bytes begin as a PC journal does (undo tells the two kinds of journal by this).
bool IsPcJournal(std::span<const std::uint8_t> bytes);

// The changes that stop the entries of the virus's among `entries`: its processes ended, its Run
// values, Startup files and tasks removed, and the files that they start moved into the journal;
// each with what puts it back, read now. A file that cannot be read whole stays (`left`).
struct PcPlan {
  PcJournal journal;
  std::vector<std::string> left;  // files of the virus's that stay: unreadable or too large
};
PcPlan PlanPcClean(const volume::StartupListing& listing, std::span<const PcEntry> entries,
                   const PcFileReader& read);

// What one change did: 0, or the system's error value.
struct PcDone {
  const PcChange* change = nullptr;
  int error = 0;
};

// Writes the journal to a new file in `folder` (pcclean-TIME.journal), making it reach the disk,
// then makes the changes, processes first; the journal's path, or the problem when it could not
// be written (then nothing was changed). `done` hears of each change.
Expected<std::filesystem::path, Problem> CleanPc(const PcJournal& journal,
                                                 const std::filesystem::path& folder,
                                                 std::vector<PcDone>& done);

// Puts back what the PC journal records: Run values, files and tasks (ended processes stay ended).
// A value or a file that is there again is left as it is (error ERROR_ALREADY_EXISTS / EEXIST).
std::vector<PcDone> UndoPc(const PcJournal& journal);

// Reads a PC journal file; the problem when it cannot be read or is not one.
Expected<PcJournal, Problem> ReadPcJournal(const std::filesystem::path& path);

}  // namespace kestrova::repair
