// SPDX-License-Identifier: GPL-3.0-or-later
// Whose each root entry is, by evidence: the virus's shortcuts, its autorun.inf and the programs
// and folders that they run, the user's things that they disguise, what Windows, other systems and
// vaccines keep there, and what cannot be told. Found by reading only: the root's entries as the
// walker saw them, the shortcuts' and autorun.inf's own bytes, and one level inside the hidden
// folders.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "format/progress.h"
#include "repair/findings.h"
#include "repair/layout.h"
#include "volume/volume.h"

namespace kestrova::repair {

class RootSource;

// The most files that the analysis keeps of the root besides those whose names or attributes may
// make them the virus's: as many as a FAT directory holds entries.
inline constexpr std::size_t kMaxRootNames = 65536;

// What the root's walker records for the verdicts: the files and folders in use, in root order.
struct RootEntries {
  std::vector<RootFile> files;
  std::vector<RootFile> folders;
  std::size_t others = 0;  // the files kept that nothing marks out

  void AddFile(RootFile file);
  void AddFolder(RootFile folder);
};

// The verdict that an evidence gives.
Verdict VerdictOf(Evidence evidence);

// Judges the root's entries in `entries`, filling layout.findings.judged and .leftovers (the
// virus's root files). Reads each shortcut and autorun.inf (at most kMaxInspectedBytes of each)
// along its chain and one level inside the hidden folders and the folders that the virus's
// commands name, through the open volume. Never refuses the volume: what cannot be read is judged
// without it. Returns the root offsets (RootFile::main) of the hidden entries that are to stay as
// they are: a file that is not the user's, and a folder of the virus's, of a system or a vaccine.
// `track` hears of every read.
std::unordered_set<std::int64_t> JudgeRoot(volume::Volume& volume, VolumeLayout& layout,
                                           const RootEntries& entries, ProgressTrack& track);
// The same rules, reading the files and folders through `source` (root_source.h): the raw volume
// as above, or a file system that the system mounted.
std::unordered_set<std::int64_t> JudgeRoot(RootSource& source, VolumeLayout& layout,
                                           const RootEntries& entries);

// Moves into `findings.leftovers` (after the root's) each file of the virus's one level inside a
// root folder that stays: the removal takes it alone. One inside a folder of the virus's goes with
// that folder, and one inside the folder that the virus moved the files into goes with it when
// the files are moved back; both stay in `judged`.
void GatherLeftoversInside(RootFindings& findings);

// Whether a file's name is a document's (a text, an office file, a picture, music, a video, an
// archive): never the virus's.
bool IsDocument(std::string_view name);

// The lines of an autorun.inf that run something (open=, shellexecute=, shell\VERB\command=), as
// written without the blanks around them. Its text is UTF-16 after a byte order mark, UTF-8 after
// one, code page 936 otherwise.
std::vector<std::string> AutorunRunLines(std::span<const std::uint8_t> bytes);

}  // namespace kestrova::repair
