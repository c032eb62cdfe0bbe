// SPDX-License-Identifier: GPL-3.0-or-later
// The quarantine of a removal: beside its journal, a file that keeps every file it removed (its
// bytes, names, directory entries, verdict and evidence), so that any of them can be put back at
// any time, and a record of each file of the virus's that stayed (its place, size and digest),
// so that a later look still knows it for the virus's once the removal took away what showed it.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "format/problem.h"
#include "format/sha256.h"
#include "repair/findings.h"
#include "repair/journal.h"
#include "repair/journals.h"
#include "volume/volume.h"

namespace kestrova::repair {

// A file as a removal recorded it.
struct QuarantinedFile {
  bool removed = true;  // removed, with its bytes kept; false: the virus's, and it stayed
  std::string path;     // as the lists show it: `folder\name` inside a folder
  std::string longName;
  std::string shortName;
  std::uint16_t attributes = 0;
  std::uint64_t size = 0;
  std::uint32_t firstCluster = 0;
  Sha256Digest digest{};
  Verdict verdict = Verdict::kVirus;
  Evidence evidence = Evidence::kHiddenProgram;
  std::string subject;
  std::string command;
  std::vector<std::uint8_t> entries;  // its directory entries as they were (FAT: the long-name
                                      // entries and the short entry; exFAT: the entry set)
  std::vector<std::uint8_t> bytes;    // a removed file's content (`size` bytes)
};

struct Quarantine {
  VolumeIdentity volume;
  std::vector<QuarantinedFile> files;
};

// The quarantine as a file's bytes, and back. The bytes carry a CRC-32 of the header and of each
// record, and a kept file's content is stored masked (each byte combined with a repeating key),
// so that the quarantine is neither a program that runs nor a copy that a virus scanner takes for
// the virus. Nothing for bytes that are not a whole quarantine, `damaged` set when they are one of
// this program's whose length or a checksum is wrong. With `withBytes` false the content is not
// kept in memory (a look that only recalls).
std::vector<std::uint8_t> EncodeQuarantine(const Quarantine& quarantine);
std::optional<Quarantine> DecodeQuarantine(std::span<const std::uint8_t> bytes,
                                           bool* damaged = nullptr, bool withBytes = true);

// Combines kept bytes with the quarantine's key, both ways: what keeps stored copies of the
// virus's files from being programs that run or copies that a scanner takes for the virus.
void MaskQuarantined(std::span<std::uint8_t> bytes);

// The quarantine beside the journal `journal`: the same name, ending in .quarantine.
std::filesystem::path QuarantineOf(const std::filesystem::path& journal);
// Writes the quarantine as a new file that reaches the disk; the problem when it cannot.
std::optional<Problem> WriteQuarantine(const std::filesystem::path& path,
                                       const Quarantine& quarantine);
// Reads a quarantine file: the problem when it cannot be read or is not one (kQuarantineDamaged
// when it is damaged).
Expected<Quarantine, Problem> ReadQuarantine(const std::filesystem::path& path,
                                             bool withBytes = true);

// A quarantine file of the folder, as the listing finds it: its path and what its name says as a
// journal's does (the command, label and time), and the quarantine without its files' content.
struct ListedQuarantine {
  JournalName named;
  std::optional<Quarantine> quarantine;  // nothing: damaged, or none
  Problem problem;                       // why not, then
};
// The quarantine files that `files` names, read, newest first (by name); with `volume`, only those
// whose names may be of it, and of those not the ones that hold another volume's. Their
// content is not kept.
std::vector<ListedQuarantine> ListQuarantines(const JournalFolderFiles& files,
                                              std::optional<VolumeIdentity> volume = {});

// What a look recalls of a volume: the files that a removal of this program's judged the virus's,
// the user's files that the virus's shortcuts posed as and the folders it moved the files into,
// from the quarantines of the volume that `files` names.
std::vector<QuarantinedFile> Recall(const JournalFolderFiles& files, const VolumeIdentity& volume);

}  // namespace kestrova::repair
