// SPDX-License-Identifier: GPL-3.0-or-later
// The proof that a removal frees nothing that anything else of the volume owns, the way a disk
// check proves it: every directory of the volume walked, at any depth, and the FAT read whole.
#pragma once

#include <cstdint>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "format/problem.h"
#include "format/progress.h"
#include "repair/findings.h"
#include "repair/layout.h"
#include "volume/volume.h"

namespace kestrova::repair {

// The clusters that a removal frees, each with the removed entry that owns it.
class FreedClusters {
 public:
  // Adds `cluster` for the removed entry `owner` (its index in the removal). When it was added
  // before (a chain that loops, or runs into another removed entry's), nothing is added and the
  // owner it has is returned.
  std::optional<std::size_t> Add(std::int64_t cluster, std::size_t owner);
  // Takes back every cluster added for `owner`.
  void Forget(std::size_t owner);
  // Sorts what was added for the questions below.
  void Seal();
  // The owner of `cluster`, or nothing when it is not freed.
  std::optional<std::size_t> OwnerOf(std::int64_t cluster) const;
  // The lowest freed cluster in first..last, or nothing.
  std::optional<std::int64_t> FirstWithin(std::int64_t first, std::int64_t last) const;
  // The freed clusters, in order once sealed.
  std::vector<std::int64_t> Clusters() const;
  bool empty() const { return clusters_.empty(); }
  std::size_t size() const { return clusters_.size(); }
  std::int64_t Lowest() const { return clusters_.front().cluster; }
  std::int64_t Highest() const { return clusters_.back().cluster; }

 private:
  struct Freed {
    std::int64_t cluster = 0;
    std::size_t owner = 0;
  };
  std::vector<Freed> clusters_;
  std::unordered_map<std::int64_t, std::size_t> added_;
};

// What the walk needs of the removal: the root entries that go (their root offsets) and, by
// owner, the names that a refusal gives.
struct RemovalPlan {
  std::unordered_set<std::int64_t> rootOffsets;  // each removed root entry's first entry
  // Each file removed from inside a root folder that stays: the folder's first cluster and the
  // file's first entry's offset in it.
  std::set<std::pair<std::int64_t, std::int64_t>> insideOffsets;
  std::vector<std::string> names;  // the removed entries' paths, by owner
  FreedClusters freed;             // sealed
};

// Proves, before a removal writes anything, that no file or folder of the volume other than the
// removed ones owns a freed cluster: none is the root's or the first cluster of another entry, no
// FAT chain links into one from a cluster that is not freed (on exFAT only a cluster that the
// allocation bitmap marks in use and that lies in no contiguous file, whose FAT entries mean
// nothing), and no contiguous exFAT file or folder, the bitmap and the up-case table included,
// holds one. `rootBytes` is the root directory as the removal read it (the walk goes down from
// there); every folder of the volume but the removed ones is read along its chain, a few at a
// time, the FAT in use once in order. The refusal when anything owns a freed cluster, and also
// when a folder cannot be read whole, its chain is damaged, or it is reached twice (a loop): the
// proof cannot be made then. Memory: the folders still to read, a few folders' entries at a time
// and one transfer, whatever the volume's size.
std::optional<Problem> ProveNothingElseOwns(volume::Volume& volume, const VolumeLayout& layout,
                                            std::span<const std::uint8_t> rootBytes,
                                            const RemovalPlan& removal, ProgressTrack& track);

}  // namespace kestrova::repair
