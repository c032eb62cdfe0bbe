// SPDX-License-Identifier: GPL-3.0-or-later
#include "repair/ownership.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <limits>

#include "format/exfat.h"
#include "format/fat.h"
#include "format/fat_table.h"
#include "format/folder_listing.h"
#include "format/problems.h"
#include "repair/cross_links.h"
#include "repair/engine.h"
#include "repair/pass.h"

namespace kestrova::repair {

std::optional<std::size_t> FreedClusters::Add(std::int64_t cluster, std::size_t owner) {
  const auto [at, added] = added_.try_emplace(cluster, owner);
  if (!added) return at->second;
  clusters_.push_back({cluster, owner});
  return std::nullopt;
}

void FreedClusters::Forget(std::size_t owner) {
  std::erase_if(clusters_, [&](const Freed& freed) { return freed.owner == owner; });
  std::erase_if(added_, [&](const auto& added) { return added.second == owner; });
}

std::vector<std::int64_t> FreedClusters::Clusters() const {
  std::vector<std::int64_t> clusters;
  clusters.reserve(clusters_.size());
  for (const Freed& freed : clusters_) clusters.push_back(freed.cluster);
  return clusters;
}

void FreedClusters::Seal() {
  std::sort(clusters_.begin(), clusters_.end(),
            [](const Freed& a, const Freed& b) { return a.cluster < b.cluster; });
  added_.clear();
}

std::optional<std::size_t> FreedClusters::OwnerOf(std::int64_t cluster) const {
  const auto found =
      std::lower_bound(clusters_.begin(), clusters_.end(), cluster,
                       [](const Freed& freed, std::int64_t c) { return freed.cluster < c; });
  if (found == clusters_.end() || found->cluster != cluster) return std::nullopt;
  return found->owner;
}

std::optional<std::int64_t> FreedClusters::FirstWithin(std::int64_t first,
                                                       std::int64_t last) const {
  const auto found =
      std::lower_bound(clusters_.begin(), clusters_.end(), first,
                       [](const Freed& freed, std::int64_t c) { return freed.cluster < c; });
  if (found == clusters_.end() || found->cluster > last) return std::nullopt;
  return found->cluster;
}

namespace {

// The most folders read together: their first clusters go out in shared transfers where they
// follow one another, and their entries are held until they are looked at.
constexpr std::size_t kFoldersAtOnce = 64;
// The most links into the freed clusters that exFAT's FAT may show from clusters in use before
// the walk tells which of them lie in contiguous files (whose FAT entries mean nothing).
constexpr std::size_t kMaxSuspectLinks = 4096;

Problem Refusal(const RemovalPlan& removal, std::size_t owner, Detail detail) {
  Problem problem = PassProblem(ProblemKind::kLeftoverChain, detail.kind);
  detail.name = removal.names.at(owner);
  problem.detail = std::move(detail);
  return problem;
}

// A FAT entry of `cluster` that links to `next`, which is freed, from a cluster that is not.
struct LinkInto {
  std::int64_t from = 0;
  std::int64_t to = 0;
};

// A folder still to read, and the path that names it.
struct Pending {
  RootFile folder;
  std::string path;
};

class OwnershipWalk {
 public:
  OwnershipWalk(volume::Volume& volume, const VolumeLayout& layout, const RemovalPlan& removal,
                ProgressTrack& track)
      : volume_(volume),
        layout_(layout),
        removal_(removal),
        track_(track),
        exfat_(layout.fileSystem == FileSystem::kExfat),
        clusterBytes_(static_cast<std::uint64_t>(layout.ClusterBytes())) {}

  std::optional<Problem> Run(std::span<const std::uint8_t> rootBytes) {
    if (removal_.freed.empty()) return std::nullopt;
    if (auto problem = ScanFat()) return problem;
    for (std::int32_t i = 0; i < layout_.rootClusterCount; ++i) {
      const std::int64_t c = layout_.rootClusters.at(static_cast<std::size_t>(i));
      if (const auto owner = removal_.freed.OwnerOf(c)) {
        return Refusal(removal_, *owner, {DetailKind::kChainReachesOther, c, 0, {}, {}});
      }
      seen_.insert(c);
    }
    if (exfat_) {
      if (auto problem = CheckTables(rootBytes)) return problem;
    }
    const FolderListing root = ListEntries(layout_, rootBytes);
    if (!root.complete) return Unreadable("\\");
    for (const RootFile& entry : root.entries) {
      if (removal_.rootOffsets.count(entry.offset)) continue;
      if (auto problem = Look(entry, nullptr)) return problem;
    }
    while (!pending_.empty()) {
      if (auto problem = ReadSomeFolders()) return problem;
    }
    // What is left of exFAT's links comes from a cluster in use outside every contiguous file: a
    // chain of a file that the walk did not find, or of one it did.
    if (!suspects_.empty()) return Linked(suspects_.front());
    return std::nullopt;
  }

 private:
  // The refusal for a chain that links into a freed cluster.
  Problem Linked(const LinkInto& link) const {
    return Refusal(removal_, *removal_.freed.OwnerOf(link.to),
                   {DetailKind::kChainLinkedFrom, link.to, link.from, {}, {}});
  }

  static constexpr std::int64_t kBlock = 64;

  // Whether one of the kBlock 32-bit FAT entries at the start of `bytes`, each taken as `mask`
  // says, links to a cluster from `low` to `high`.
  static bool AnyLinkWithin(std::span<const std::uint8_t> bytes, std::uint32_t mask,
                            std::int64_t low, std::int64_t high) {
    const auto first = static_cast<std::uint32_t>(low);
    const auto span = static_cast<std::uint32_t>(high - low);
    std::uint32_t near = 0;
    for (std::int64_t i = 0; i < kBlock; ++i) {
      std::uint32_t entry;
      std::memcpy(&entry, bytes.data() + i * fat::kFatEntrySize, sizeof entry);
      if constexpr (std::endian::native == std::endian::big) entry = __builtin_bswap32(entry);
      near |= (entry & mask) - first <= span;
    }
    return near != 0;
  }

  // Every entry of the FAT in use, once: a link from a cluster that is not freed into one that is.
  std::optional<Problem> ScanFat() {
    std::optional<AllocationBitmap> bitmap;
    if (exfat_) bitmap.emplace(volume_, layout_, track_);
    const std::int64_t lastCluster = layout_.clusterCount + 1;
    const std::int64_t low = removal_.freed.Lowest();
    const std::int64_t high = removal_.freed.Highest();
    const bool wide = FatEntryBytes(layout_.fileSystem) == fat::kFatEntrySize;
    // The top four bits of a FAT32 entry are not part of the link; exFAT uses all 32.
    const std::uint32_t mask = exfat_ ? 0xFFFFFFFFu : fat::kClusterMask;
    const auto look = [&](std::span<const std::uint8_t> bytes,
                          std::int64_t firstSector) -> std::optional<Problem> {
      const std::int64_t startByte = firstSector * layout_.bytesPerSector;
      const std::int64_t endByte = startByte + static_cast<std::int64_t>(bytes.size());
      // The clusters whose entries lie wholly in the piece.
      std::int64_t cluster = std::max<std::int64_t>(fat::kFirstDataCluster,
                                                    FirstClusterAt(layout_.fileSystem, startByte));
      for (; cluster <= lastCluster; ++cluster) {
        const std::int64_t at = FatEntryOffset(layout_, cluster);
        if (at + FatEntryBytes(layout_.fileSystem) > endByte) break;
        // A block of FAT32's or exFAT's entries none of which links between the lowest and the
        // highest freed cluster is passed over at once: its test is a loop of fixed length
        // without branches, which the compiler turns into vector instructions.
        if (wide && cluster + kBlock - 1 <= lastCluster &&
            at + kBlock * fat::kFatEntrySize <= endByte &&
            !AnyLinkWithin(bytes.subspan(static_cast<std::size_t>(at - startByte)), mask, low,
                           high)) {
          cluster += kBlock - 1;
          continue;
        }
        const std::uint32_t raw = DecodeFatEntry(layout_.fileSystem, bytes, startByte, cluster);
        std::uint32_t next = 0;
        if (Follow(layout_.fileSystem, raw, next) != Link::kNext) continue;
        if (next < low || next > high) continue;
        if (!removal_.freed.OwnerOf(next) || removal_.freed.OwnerOf(cluster)) continue;
        if (!exfat_) return Linked({cluster, next});
        bool used = false;
        if (auto problem = bitmap->Allocated(cluster, used)) return problem;
        if (!used) continue;  // exFAT leaves the FAT entries of freed clusters as they were
        if (suspects_.size() == kMaxSuspectLinks) return Linked({cluster, next});
        suspects_.push_back({cluster, next});
      }
      return std::nullopt;
    };
    return ReadFatInOrder(volume_, layout_, nullptr, track_, look);
  }

  // exFAT's allocation bitmap and up-case table, which the root's entries place, and the clusters
  // of a vendor allocation entry in the root: none may hold a freed cluster. They are taken as
  // contiguous, as they are written (a vendor allocation that the FAT chains is taken as its
  // first cluster's run and its links, which the FAT scan checks).
  std::optional<Problem> CheckTables(std::span<const std::uint8_t> root) {
    for (std::size_t at = 0; at + exfat::kEntrySize <= root.size(); at += exfat::kEntrySize) {
      const std::uint8_t type = root[at + exfat::kEntryTypeOffset];
      if (type == exfat::kEndOfDirectory) break;
      if (type != exfat::kAllocationBitmap && type != exfat::kUpcaseTable &&
          type != exfat::kVendorAllocation) {
        continue;
      }
      const auto entry = root.subspan(at, exfat::kEntrySize);
      const std::int64_t first = fat::Read32(entry, exfat::kFirstClusterOffset);
      const std::uint64_t length = fat::Read64(entry, exfat::kDataLengthOffset);
      if (const auto hit = InRun(first, length)) {
        return Refusal(removal_, *removal_.freed.OwnerOf(*hit),
                       {DetailKind::kClusterOfTable, *hit, 0, {}, {}});
      }
      Clear(first, length);
    }
    return std::nullopt;
  }

  // The freed cluster that the run of `length` bytes from `first` holds, if any.
  std::optional<std::int64_t> InRun(std::int64_t first, std::uint64_t length) const {
    const std::uint64_t count = (length + clusterBytes_ - 1) / clusterBytes_;
    if (count == 0 || first < fat::kFirstDataCluster) return std::nullopt;
    const std::int64_t last =
        first + static_cast<std::int64_t>(std::min<std::uint64_t>(
                    count - 1, static_cast<std::uint64_t>(layout_.clusterCount)));
    return removal_.freed.FirstWithin(first, last);
  }

  // exFAT's links from clusters of a contiguous run mean nothing.
  void Clear(std::int64_t first, std::uint64_t length) {
    if (suspects_.empty()) return;
    const std::uint64_t count = (length + clusterBytes_ - 1) / clusterBytes_;
    std::erase_if(suspects_, [&](const LinkInto& link) {
      return link.from >= first && static_cast<std::uint64_t>(link.from - first) < count;
    });
  }

  // One entry of a folder that stays (of the root when `parent`, its folder's path, is null): its
  // first cluster, its contiguous run, and its own entries when it is a folder.
  std::optional<Problem> Look(const RootFile& entry, const std::string* parent) {
    const auto path = [&] { return parent ? *parent + '\\' + entry.Name() : entry.Name(); };
    if (entry.firstCluster != 0) {
      if (const auto owner = removal_.freed.OwnerOf(entry.firstCluster)) {
        return Refusal(removal_, *owner,
                       {DetailKind::kChainReachesOther, entry.firstCluster, 0, {}, path()});
      }
    }
    if (entry.noFatChain) {
      if (const auto hit = InRun(entry.firstCluster, entry.size)) {
        return Refusal(removal_, *removal_.freed.OwnerOf(*hit),
                       {DetailKind::kChainReachesOther, *hit, 0, {}, path()});
      }
      Clear(entry.firstCluster, entry.size);
    }
    if (entry.IsFolder()) pending_.push_back({entry, path()});
    return std::nullopt;
  }

  // Reads the next few folders still to read, by their first clusters, and looks at their entries.
  std::optional<Problem> ReadSomeFolders() {
    const std::size_t take = std::min(kFoldersAtOnce, pending_.size());
    std::vector<Pending> batch(
        std::make_move_iterator(pending_.end() - static_cast<std::ptrdiff_t>(take)),
        std::make_move_iterator(pending_.end()));
    pending_.resize(pending_.size() - take);
    std::vector<const RootFile*> folders;
    for (const Pending& next : batch) {
      // A folder reached twice: a loop of folders, or two that share their clusters.
      if (next.folder.firstCluster != 0 && !seen_.insert(next.folder.firstCluster).second) {
        return Unreadable(next.path);
      }
      folders.push_back(&next.folder);
    }
    // Each entry is looked at as it is read, while the next folder's read is on its way, and
    // not kept; the first refusal of each folder is.
    std::vector<std::optional<Problem>> refused(batch.size());
    const auto listings = ListFolders(
        volume_, layout_, folders, kMaxFolderBytes, track_,
        [&](std::size_t i, const RootFile& entry) {
          const Pending& folder = batch[i];
          if (refused[i] ||
              removal_.insideOffsets.count({folder.folder.firstCluster, entry.offset})) {
            return false;
          }
          refused[i] = Look(entry, &folder.path);
          return false;
        });
    for (std::size_t i = 0; i < batch.size(); ++i) {
      if (!listings[i].complete) return Unreadable(batch[i].path);
      if (refused[i]) return std::move(refused[i]);
    }
    return std::nullopt;
  }

  static Problem Unreadable(const std::string& path) {
    Problem problem = PassProblem(ProblemKind::kFolderUnreadable);
    problem.detail.name = path;
    return problem;
  }

  volume::Volume& volume_;
  const VolumeLayout& layout_;
  const RemovalPlan& removal_;
  ProgressTrack& track_;
  const bool exfat_;
  const std::uint64_t clusterBytes_;
  std::vector<LinkInto> suspects_;
  std::vector<Pending> pending_;
  std::unordered_set<std::int64_t> seen_;  // the first clusters of the folders read, the root's
};

}  // namespace

std::optional<Problem> ProveNothingElseOwns(volume::Volume& volume, const VolumeLayout& layout,
                                            std::span<const std::uint8_t> rootBytes,
                                            const RemovalPlan& removal, ProgressTrack& track) {
  OwnershipWalk walk(volume, layout, removal, track);
  return walk.Run(rootBytes);
}

}  // namespace kestrova::repair
