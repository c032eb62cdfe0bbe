// SPDX-License-Identifier: GPL-3.0-or-later
// The removal of the files that the virus left in the root, as a file system driver removes a
// file: their entries marked deleted or not in use, their clusters freed.
#include <algorithm>
#include <map>
#include <new>
#include <optional>
#include <vector>

#include "format/fat.h"
#include "format/fat_table.h"
#include "format/folder_listing.h"
#include "format/problems.h"
#include "repair/commit.h"
#include "repair/directory.h"
#include "repair/engine.h"
#include "repair/ownership.h"
#include "repair/pass.h"
#include "repair/steps.h"
#include "repair/verdicts.h"

namespace kestrova::repair {
namespace {

// A read of the FAT in use that failed, at the sector of `cluster`'s entry.
Problem FatReadProblem(const VolumeLayout& layout, std::int64_t cluster) {
  Problem problem = PassProblem(ProblemKind::kReadFailed);
  problem.sector =
      layout.ActiveFatStart() + FatEntryOffset(layout, cluster) / layout.bytesPerSector;
  return problem;
}

Problem ChainProblem(const std::string& path, DetailKind kind, std::int64_t at,
                     std::int64_t value) {
  Problem problem = PassProblem(ProblemKind::kLeftoverChain, kind);
  problem.detail.name = path;
  problem.detail.at = at;
  problem.detail.value = value;
  return problem;
}

// Whether a removal's refusal is for a chain that ends too early or too late or leaves the volume.
bool IsBrokenChain(const Problem& problem) {
  if (problem.kind != ProblemKind::kLeftoverChain) return false;
  const DetailKind kind = problem.detail.kind;
  return kind == DetailKind::kChainLength || kind == DetailKind::kLinkOutsideVolume ||
         kind == DetailKind::kBadClusterLink;
}

// A file or folder inside a removed folder: its path and entry, and where its directory entries
// lie (in `entries` of the removal, from `first` on).
struct Inside {
  std::string folder;
  RootFile file;
  std::size_t owner = 0;
  std::size_t first = 0;
  std::size_t count = 0;
};

// What is removed: the clusters and their owners, the entries to mark deleted or not in use by
// the volume sector and the byte in it where each lies, and what lay inside the removed folders.
struct Removal {
  RemovalPlan plan;
  std::vector<std::int64_t> fatChained;  // the freed clusters that the FAT chains
  std::vector<std::pair<std::int64_t, std::int64_t>> entries;
  std::vector<Inside> inside;
};

// Adds a cluster of the removed entry `owner`: one that another removed entry holds already, or
// this one before, refuses the removal.
std::optional<Problem> Take(Removal& removal, std::size_t owner, const std::string& path,
                            std::int64_t previous, std::int64_t cluster) {
  const auto holder = removal.plan.freed.Add(cluster, owner);
  if (!holder) return std::nullopt;
  if (*holder == owner) return ChainProblem(path, DetailKind::kChainLoop, previous, cluster);
  Problem problem = ChainProblem(path, DetailKind::kChainReachesOther, cluster, 0);
  problem.detail.other = removal.plan.names.at(*holder);
  return problem;
}

// The clusters of an entry to remove, checked and added for `owner`: in the volume, no loop, and
// as many as its size takes, its chain ending there; a FAT folder's chain to its end. Returns its
// clusters in order in `clusters`.
std::optional<Problem> EntryClusters(const VolumeLayout& layout, FatReader& fat,
                                     const RootFile& entry, const std::string& path,
                                     std::size_t owner, Removal& removal,
                                     std::vector<std::int64_t>& clusters) {
  const auto clusterBytes = static_cast<std::uint64_t>(layout.ClusterBytes());
  // A FAT folder's size is 0: its chain says how long it is.
  const bool toEnd = entry.IsFolder() && !EntryFormatOf(layout.fileSystem).SizesFolders();
  const auto need = toEnd
                        ? static_cast<std::int64_t>(kMaxFolderBytes / clusterBytes)
                        : static_cast<std::int64_t>((entry.size + clusterBytes - 1) / clusterBytes);
  if (need == 0 || entry.firstCluster == 0) {
    if (need == 0 && entry.firstCluster == 0) return std::nullopt;
    return ChainProblem(path, DetailKind::kChainLength, entry.firstCluster ? 1 : 0, need);
  }
  std::int64_t c = entry.firstCluster;
  for (std::int64_t k = 0;; ++k) {
    const std::int64_t previous = clusters.empty() ? 0 : clusters.back();
    if (c < fat::kFirstDataCluster || c >= layout.clusterCount + fat::kFirstDataCluster) {
      return ChainProblem(path, DetailKind::kLinkOutsideVolume, previous, c);
    }
    if (auto problem = Take(removal, owner, path, previous, c)) return problem;
    clusters.push_back(c);
    if (!entry.noFatChain) removal.fatChained.push_back(c);
    if (entry.noFatChain) {
      if (k + 1 == need) return std::nullopt;
      ++c;
      continue;
    }
    const auto raw = fat.Entry(c);
    if (!raw) return FatReadProblem(layout, c);
    std::uint32_t next = 0;
    const Link link = Follow(layout.fileSystem, *raw, next);
    if (link == Link::kBad) return ChainProblem(path, DetailKind::kBadClusterLink, c, *raw);
    if (toEnd) {
      if (link == Link::kEnd) return std::nullopt;
      if (k + 1 == need) return ChainProblem(path, DetailKind::kChainLength, k + 2, need);
    } else if (link == Link::kEnd || k + 1 == need) {
      if (link == Link::kEnd && k + 1 == need) return std::nullopt;
      return ChainProblem(path, DetailKind::kChainLength, link == Link::kEnd ? k + 1 : k + 2, need);
    }
    c = next;
  }
}

// Where the entries of `entry` lie in its folder, whose clusters are `clusters`: the volume sector
// and the byte in it of each, added to `entries`.
void PlaceEntries(const VolumeLayout& layout, const RootFile& entry,
                  const std::vector<std::int64_t>& clusters,
                  std::vector<std::pair<std::int64_t, std::int64_t>>& entries) {
  const std::int64_t clusterBytes = layout.ClusterBytes();
  const std::int64_t sectorBytes = layout.bytesPerSector;
  for (int i = 0; i < entry.entryCount; ++i) {
    const std::int64_t at = entry.offset + i * static_cast<std::int64_t>(fat::kDirEntrySize);
    const auto index = static_cast<std::size_t>(at / clusterBytes);
    if (index >= clusters.size()) return;
    const auto first = ClusterFirstSector(layout, clusters[index]);
    if (!first) return;
    const std::int64_t within = at % clusterBytes;
    entries.emplace_back(*first + within / sectorBytes, within % sectorBytes);
  }
}

// A folder to remove with everything in it: each entry inside marked for removal, each chain and
// the folder's own taken for `owner`, as far down as it goes. Its first document, when it holds
// one at any depth, in `document`: such a folder is kept.
class TreeRemoval {
 public:
  TreeRemoval(volume::Volume& volume, const VolumeLayout& layout, FatReader& fat,
              ProgressTrack& track)
      : volume_(volume), layout_(layout), fat_(fat), track_(track) {}

  std::optional<Problem> Remove(const RootFile& folder, const std::string& path, std::size_t owner,
                                Removal& removal, std::string& document) {
    struct Next {
      RootFile folder;
      std::string path;
    };
    std::vector<Next> pending{{folder, path}};
    while (!pending.empty()) {
      const Next next = std::move(pending.back());
      pending.pop_back();
      std::vector<std::int64_t> clusters;
      if (auto problem =
              EntryClusters(layout_, fat_, next.folder, next.path, owner, removal, clusters)) {
        return problem;
      }
      const auto listing = ListFolders(volume_, layout_, {&next.folder}, kMaxFolderBytes, track_);
      if (!listing.front().complete) {
        Problem problem = PassProblem(ProblemKind::kFolderUnreadable);
        problem.detail.name = next.path;
        return problem;
      }
      for (const RootFile& entry : listing.front().entries) {
        const std::string inner = next.path + '\\' + entry.Name();
        if (!entry.IsFolder() && IsDocument(entry.Name())) {
          document = inner;
          return std::nullopt;
        }
        const std::size_t first = removal.entries.size();
        PlaceEntries(layout_, entry, clusters, removal.entries);
        removal.inside.push_back({next.path, entry, owner, first, removal.entries.size() - first});
        if (entry.IsFolder()) {
          pending.push_back({entry, inner});
          continue;
        }
        std::vector<std::int64_t> own;
        if (auto problem = EntryClusters(layout_, fat_, entry, inner, owner, removal, own)) {
          return problem;
        }
      }
    }
    return std::nullopt;
  }

 private:
  volume::Volume& volume_;
  const VolumeLayout& layout_;
  FatReader& fat_;
  ProgressTrack& track_;
};

}  // namespace

std::optional<Problem> RemoveLeftovers(volume::Volume& volume, const VolumeLayout& now,
                                       const std::vector<Judged>& leftovers, RootEdit& root,
                                       SectorChanges& changes, ProgressTrack& track, Plan& plan,
                                       std::vector<RemovedFile>& removed) {
  if (leftovers.empty()) return std::nullopt;
  Removal removal;
  // Everything is read and checked before the first write; the root was, by the analysis.
  FatReader fat(volume, now, &track);
  TreeRemoval trees(volume, now, fat, track);
  std::vector<bool> removedEntries(root.read.bytes.size() /
                                   static_cast<std::int64_t>(fat::kDirEntrySize));
  // A chain that does not end as its size says may run on into another file's clusters: the
  // refusal names that file when the walk below finds it.
  std::optional<Problem> broken;
  for (const Judged& leftover : leftovers) {
    if (leftover.folder.empty()) removal.plan.rootOffsets.insert(leftover.file.offset);
  }
  // The root's entries, for the folders that files of the virus's are removed from.
  std::optional<FolderListing> rootEntries;
  // Where the entries of each file removed from inside a folder lie in `removal.entries`, by its
  // place in `plan.remove`.
  std::map<std::size_t, std::pair<std::size_t, std::size_t>> insideEntries;
  for (const Judged& leftover : leftovers) {
    const RootFile& file = leftover.file;
    const std::size_t owner = removal.plan.names.size();
    removal.plan.names.push_back(leftover.Path());
    std::vector<std::int64_t> clusters;
    if (!leftover.folder.empty()) {
      // A file inside a root folder that stays: its entries in the folder's clusters.
      if (!rootEntries) rootEntries = ListEntries(now, root.read.bytes);
      const auto folder = std::find_if(
          rootEntries->entries.begin(), rootEntries->entries.end(),
          [&](const RootFile& one) { return one.IsFolder() && one.Name() == leftover.folder; });
      if (folder == rootEntries->entries.end()) {
        return PassProblem(ProblemKind::kLayoutChanged, DetailKind::kRootFailsCheck);
      }
      Removal walked;  // the folder's own clusters, which stay
      std::vector<std::int64_t> folderClusters;
      if (auto problem =
              EntryClusters(now, fat, *folder, folder->Name(), 0, walked, folderClusters)) {
        return problem;
      }
      const std::size_t first = removal.entries.size();
      PlaceEntries(now, file, folderClusters, removal.entries);
      const std::size_t count = removal.entries.size() - first;
      if (count != static_cast<std::size_t>(file.entryCount)) {
        Problem problem = PassProblem(ProblemKind::kFolderUnreadable);
        problem.detail.name = folder->Name();
        return problem;
      }
      if (auto problem = EntryClusters(now, fat, file, leftover.Path(), owner, removal, clusters)) {
        if (!IsBrokenChain(*problem)) return problem;
        broken = std::move(problem);
        break;
      }
      removal.plan.insideOffsets.emplace(folder->firstCluster, file.offset);
      insideEntries.emplace(plan.remove.size(), std::make_pair(first, count));
      plan.remove.push_back(leftover);
      continue;
    }
    if (!file.IsFolder()) {
      if (auto problem = EntryClusters(now, fat, file, file.Name(), owner, removal, clusters)) {
        if (!IsBrokenChain(*problem)) return problem;
        broken = std::move(problem);
        break;
      }
    } else {
      const std::size_t chained = removal.fatChained.size();
      const std::size_t entries = removal.entries.size();
      std::string document;
      if (auto problem = trees.Remove(file, file.Name(), owner, removal, document)) {
        if (!IsBrokenChain(*problem)) return problem;
        broken = std::move(problem);
        break;
      }
      if (!document.empty()) {
        // A folder that holds a document stays, with all that is in it.
        removal.plan.freed.Forget(owner);
        removal.fatChained.resize(chained);
        removal.entries.resize(entries);
        std::erase_if(removal.inside, [&](const Inside& in) { return in.owner == owner; });
        removal.plan.rootOffsets.erase(file.offset);
        plan.kept.push_back({leftover, std::move(document)});
        continue;
      }
    }
    plan.remove.push_back(leftover);
    const auto first =
        static_cast<std::size_t>(file.offset / static_cast<std::int64_t>(fat::kDirEntrySize));
    for (int i = 0; i < file.entryCount && first + i < removedEntries.size(); ++i) {
      removedEntries[first + static_cast<std::size_t>(i)] = true;
    }
  }
  removal.plan.freed.Seal();
  // Nothing else in the volume may own a cluster to free.
  if (auto problem = ProveNothingElseOwns(volume, now, root.read.bytes, removal.plan, track)) {
    return problem;
  }
  if (broken) return broken;
  // The root's entries, and those inside the removed folders.
  const EntryFormat& entries = EntryFormatOf(now.fileSystem);
  for (std::size_t e = 0; e < removedEntries.size(); ++e) {
    if (!removedEntries[e]) continue;
    entries.MarkRemoved(std::span(root.bytes).subspan(e * fat::kDirEntrySize, fat::kDirEntrySize));
  }
  for (const auto& [sector, at] : removal.entries) {
    if (auto problem = changes.Load(sector)) return problem;
  }
  // The entries of each removed file as they were, for the quarantine.
  const auto entriesBefore = [&](std::size_t first, std::size_t count) {
    std::vector<std::uint8_t> bytes;
    for (std::size_t i = first; i < first + count; ++i) {
      const auto& [sector, at] = removal.entries[i];
      const auto& before = changes.sectors().at(sector).before;
      bytes.insert(bytes.end(), before.begin() + at,
                   before.begin() + at + static_cast<std::ptrdiff_t>(fat::kDirEntrySize));
    }
    return bytes;
  };
  for (std::size_t r = 0; r < plan.remove.size(); ++r) {
    const Judged& leftover = plan.remove[r];
    if (const auto inside = insideEntries.find(r); inside != insideEntries.end()) {
      removed.push_back({leftover, entriesBefore(inside->second.first, inside->second.second)});
      continue;
    }
    const auto run =
        std::span(root.read.bytes)
            .subspan(static_cast<std::size_t>(leftover.file.offset),
                     static_cast<std::size_t>(leftover.file.entryCount) * fat::kDirEntrySize);
    removed.push_back({leftover, {run.begin(), run.end()}});
  }
  // What lay inside the removed folders, with its entries as they were, for the quarantine.
  for (const Inside& in : removal.inside) {
    const Judged& top = leftovers[in.owner];
    removed.push_back({{in.file, in.folder, Verdict::kVirus, top.evidence, top.Path(), top.command},
                       entriesBefore(in.first, in.count)});
  }
  for (const auto& [sector, at] : removal.entries) {
    entries.MarkRemoved(changes.Bytes(sector, at, fat::kDirEntrySize));
  }
  // The FATs, FSInfo and the allocation bitmap.
  FatTable table(now, changes);
  for (const std::int64_t c : removal.fatChained) {
    if (auto problem = table.Set(c, 0)) return problem;
  }
  return CountFree(now, now.findings.bitmap, changes, removal.plan.freed.Clusters());
}

}  // namespace kestrova::repair
