// SPDX-License-Identifier: GPL-3.0-or-later
// The files that the virus leaves in the root beside the folders it hid: its shortcuts, its
// autorun.inf, its hidden programs and the files that they run. Found by reading only: the root's
// entries as the walker saw them, then the shortcuts' and autorun.inf's own bytes.
#pragma once

#include <cstddef>
#include <span>
#include <string>
#include <vector>

#include "repair/layout.h"
#include "repair/progress.h"
#include "repair/scan.h"
#include "volume/volume.h"

namespace kestrova::repair {

// The most files, and folder names, that the analysis keeps of the root besides the files whose
// own names make them suspects: as many as a FAT directory holds entries.
inline constexpr std::size_t kMaxRootNames = 65536;

// What the root's walker records for the leftovers' rules.
struct RootEntries {
  std::vector<RootFile> files;           // in root order
  std::vector<std::string> folderNames;  // each folder's name (its long name where it has one)
  std::size_t others = 0;                // the files kept that are no suspects by their names

  void AddFile(RootFile file);
  void AddFolder(const std::string& shortName, const std::string& longName);
};

// Judges the root's files in `entries` and puts the virus's in layout.findings.leftovers, in root
// order. Reads each shortcut and autorun.inf (at most kMaxInspectedBytes of each) along its chain
// through the open volume and the FAT in use. Never refuses the volume: a file that cannot be read
// or parsed is judged by its name. `track` hears of every read.
void FindLeftovers(volume::Volume& volume, VolumeLayout& layout, const RootEntries& entries,
                   ProgressTrack& track);

// The lines of an autorun.inf that run something (open=, shellexecute=, shell\VERB\command=), as
// written without the blanks around them. Its text is UTF-16 after a byte order mark, UTF-8 after
// one, code page 936 otherwise.
std::vector<std::string> AutorunRunLines(std::span<const std::uint8_t> bytes);

}  // namespace kestrova::repair
