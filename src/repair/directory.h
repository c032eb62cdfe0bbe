// SPDX-License-Identifier: GPL-3.0-or-later
// What differs between the file systems' root directories for the rules: how the root is checked
// before it is written, how its hidden folders are found and named, and how they are restored.
// The analysis and the pass go through this and nothing else of the file system's entries.
//
// The root is looked at as it is read, a window of bytes at a time: the format's walk
// (format/directory_walk.h) shows each entry, decoded, and a walker here judges it.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "format/directory_walk.h"
#include "format/entry_format.h"
#include "format/exfat.h"
#include "format/fat.h"
#include "format/problem.h"
#include "repair/findings.h"
#include "repair/layout.h"
#include "repair/verdicts.h"

namespace kestrova::repair {

// An entry that a walker restored: its root offset and its 32 bytes as they were before. Every
// byte that a restoring walker changes lies in one of these.
struct RestoredEntry {
  std::int64_t offset = 0;
  std::array<std::uint8_t, fat::kDirEntrySize> before{};

  // The entry at root offset `at` whose bytes start `entry`, as it is now.
  static RestoredEntry Of(std::int64_t at, std::span<const std::uint8_t> entry) {
    RestoredEntry restored{at, {}};
    std::copy_n(entry.begin(), restored.before.size(), restored.before.begin());
    return restored;
  }
};

class RootWalker {
 public:
  virtual ~RootWalker() = default;
  // Looks at the entries of `window`, the root's bytes from byte `offset` on (whole entries);
  // `last` when it reaches the end of the root. Sets `done` to how many bytes at its front the
  // walker is finished with: all of them but an entry set that goes on past the window, which
  // comes again at the front of the next one. Returns the problem that refuses the root (cross-
  // linked with a file it lists, damaged entries).
  virtual std::optional<Problem> Look(std::span<std::uint8_t> window, std::int64_t offset,
                                      bool last, std::size_t& done) = 0;
};

// A walker of the analysed layout's root that fills `findings`. With `restored`, it also restores
// every hidden folder in the windows it is given and appends each entry it changed. With `entries`,
// it records there the files and folders in use, for the leftovers' rules.
std::unique_ptr<RootWalker> MakeRootWalker(const VolumeLayout& layout, RootFindings& findings,
                                           std::vector<RestoredEntry>* restored,
                                           RootEntries* entries = nullptr);
std::unique_ptr<RootWalker> MakeFatRootWalker(const VolumeLayout& layout, RootFindings& findings,
                                              std::vector<RestoredEntry>* restored,
                                              RootEntries* entries);
std::unique_ptr<RootWalker> MakeExfatRootWalker(const VolumeLayout& layout, RootFindings& findings,
                                                std::vector<RestoredEntry>* restored,
                                                RootEntries* entries);

// A hidden folder with only its place filled in: the sector and the index in it of the entry at
// byte `offset` of the root, whose extents are `extents` (RootExtents of the layout).
HiddenEntry PlaceOf(const VolumeLayout& layout, const std::vector<RootExtent>& extents,
                    std::int64_t offset);

}  // namespace kestrova::repair
