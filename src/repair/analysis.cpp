// SPDX-License-Identifier: GPL-3.0-or-later
// The analysis of a drive: boot sector, geometry, the root directory's chain and its contents.
#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <unordered_set>

#include "format/exfat.h"
#include "format/fat.h"
#include "format/fat_table.h"
#include "format/folder_listing.h"
#include "format/problems.h"
#include "format/sector_io.h"
#include "format/sha256.h"
#include "repair/cross_links.h"
#include "repair/directory.h"
#include "repair/engine.h"
#include "repair/quarantine.h"
#include "repair/verdicts.h"

namespace kestrova::repair {
namespace {

constexpr std::int64_t kBootSector = 0;
// Sector 0 is read whole whatever the sector size: 4,096 bytes cover one sector of every size.
constexpr std::uint32_t kBootReadBytes = fat::kMaxSectorSize;
// The root chain's walk reads the FAT a window at a time.
constexpr std::int64_t kFatWindowBytes = 64 << 10;

// Follows the root directory's chain through the FAT in use (the first one unless the boot
// sector names another), recording its clusters. The FAT is read a window of sectors at a time,
// or whole in one transfer when it fits one of the scan's (the scan then reads nothing more);
// `window` keeps the last one. Returns the refusal when a sector cannot be read or the chain is
// damaged. `track` hears of every read.
std::optional<Problem> WalkRootChain(volume::Volume& volume, VolumeLayout& layout,
                                     FatWindow& window, ProgressTrack& track) {
  const std::int64_t lastCluster = layout.clusterCount + 1;
  const std::int64_t sectorSize = layout.bytesPerSector;
  const std::int64_t describing = DescribingFatSectors(layout);
  const bool whole = describing * sectorSize <= kFatScanTransferBytes;
  const std::int64_t windowSectors = whole
                                         ? std::max<std::int64_t>(1, describing)
                                         : std::max<std::int64_t>(1, kFatWindowBytes / sectorSize);
  const std::int64_t fatStart = layout.ActiveFatStart();
  layout.rootClusters[0] = layout.rootCluster;
  std::int32_t count = 1;
  window.buffer = volume::AlignedBuffer(static_cast<std::size_t>(windowSectors * sectorSize));
  window.first = -1;
  window.count = 0;
  std::int64_t cluster = layout.rootCluster;
  std::int64_t highest = cluster;  // the highest cluster recorded
  for (;;) {
    const std::int64_t entryOffset = cluster * fat::kFatEntrySize;
    const std::int64_t fatSectorIndex = entryOffset / sectorSize;
    if (fatSectorIndex < window.first || fatSectorIndex >= window.first + window.count) {
      const std::int64_t first = whole && fatSectorIndex < describing ? 0 : fatSectorIndex;
      window.count = std::min<std::int64_t>(windowSectors, layout.fatSize - first);
      const auto bytes =
          window.buffer.bytes().first(static_cast<std::size_t>(window.count * sectorSize));
      if (const auto failed = ReadSectors(volume, fatStart + first, layout.bytesPerSector, bytes)) {
        return ReadProblem(*failed, fatStart + first, sectorSize);
      }
      track.Touched();
      window.first = first;
    }
    // The FAT sector that holds the entry.
    const std::size_t at = static_cast<std::size_t>((fatSectorIndex - window.first) * sectorSize);
    const std::uint32_t raw =
        fat::Read32(window.buffer.bytes(), at + static_cast<std::size_t>(entryOffset % sectorSize));
    std::uint32_t next = 0;
    const Link link = Follow(layout.fileSystem, raw, next);
    if (link == Link::kEnd) break;

    auto damaged = [&](DetailKind kind) { return DamagedChain({kind, cluster, raw, {}}); };
    if (link == Link::kBad) return damaged(DetailKind::kBadClusterLink);
    if (next < fat::kFirstDataCluster || next > lastCluster) {
      return damaged(DetailKind::kLinkOutsideVolume);
    }
    // A cluster past every one recorded cannot be one of them: a chain that runs forward is
    // checked in one pass, not once a cluster over all that came before.
    const auto recorded = layout.rootClusters.begin();
    if (next <= highest && std::find(recorded, recorded + count, static_cast<std::int32_t>(next)) !=
                               recorded + count) {
      return damaged(DetailKind::kChainLoop);
    }
    highest = std::max<std::int64_t>(highest, next);
    if (count == kRootClusterCapacity) {
      Problem problem = MakeProblem(ProblemKind::kRootTooLong);
      problem.count = kRootClusterCapacity;
      return problem;
    }
    layout.rootClusters.at(static_cast<std::size_t>(count)) = static_cast<std::int32_t>(next);
    ++count;
    cluster = next;
  }
  layout.rootClusterCount = count;
  return std::nullopt;
}

// Room in front of a transfer for what the walker left of the one before: whole sectors, from the
// sector where that begins. It is less than an entry set, so at most two 512-byte sectors or one
// sector of any size.
constexpr std::size_t kHeldRoom = volume::kBufferAlignment;
static_assert(kHeldRoom % volume::kBufferAlignment == 0 && kHeldRoom >= fat::kMaxSectorSize &&
              kHeldRoom >= 2 * fat::kMinSectorSize && kMaxHeldBytes <= 2 * fat::kMinSectorSize);

// Reads the root directory in transfers of a bounded size, a run of contiguous sectors at a time,
// a batch of runs together, and shows each batch to the file system's walker, which fills
// layout.findings. With `restored`, the walker restores the hidden folders, and the sectors that
// it changed are kept, as they are to be written. The root is planned on `track` before its first
// read, and each changed sector as it is found; each run moves the track as it arrives, the last
// once the walker has looked at it. With `copy`, every transfer is kept there as it was read.
std::optional<Problem> ScanRootDirectory(volume::Volume& volume, VolumeLayout& layout,
                                         RestoredSectors* restored, RootEntries& entries,
                                         ProgressTrack& track, RootCopy* copy) {
  const std::vector<RootExtent> extents = RootExtents(layout);
  const std::int64_t sectorSize = layout.bytesPerSector;
  const std::int64_t rootBytes = layout.RootBytes();
  std::int64_t total = 0;
  for (const RootExtent& extent : extents) total += extent.sectors;
  const std::int64_t maxSectors =
      std::clamp<std::int64_t>(kMaxTransferBytes / sectorSize, 1, std::max<std::int64_t>(total, 1));
  const std::int64_t batchSectors = std::clamp<std::int64_t>(
      kRootBatchBytes / sectorSize, maxSectors, std::max<std::int64_t>(total, maxSectors));
  volume::AlignedBuffer buffer(kHeldRoom + static_cast<std::size_t>(batchSectors * sectorSize));
  const auto bytes = buffer.bytes();
  track.Plan(total * sectorSize);

  layout.findings = {};
  std::vector<RestoredEntry> changed;
  const std::unique_ptr<RootWalker> walker =
      MakeRootWalker(layout, layout.findings, restored ? &changed : nullptr, &entries);
  std::int64_t read = 0;    // root bytes read so far
  std::int64_t looked = 0;  // root bytes the walker is done with
  std::size_t extent = 0;
  std::int64_t inExtent = 0;  // sectors of extents[extent] already read
  std::vector<SectorRead> runs;
  while (extent < extents.size()) {
    // The next batch: runs of contiguous sectors, each up to the largest transfer, one after
    // another in the buffer, read together.
    runs.clear();
    std::int64_t sectors = 0;  // in the batch
    while (extent < extents.size() && sectors < batchSectors) {
      const std::int64_t first = extents[extent].firstSector + inExtent;
      std::int64_t run = 0;
      while (extent < extents.size() && run < maxSectors && sectors + run < batchSectors &&
             extents[extent].firstSector + inExtent == first + run) {
        const std::int64_t take = std::min<std::int64_t>(
            {extents[extent].sectors - inExtent, maxSectors - run, batchSectors - sectors - run});
        run += take;
        inExtent += take;
        if (inExtent == extents[extent].sectors) {
          ++extent;
          inExtent = 0;
        }
      }
      runs.push_back(
          {first, bytes.subspan(kHeldRoom + static_cast<std::size_t>(sectors * sectorSize),
                                static_cast<std::size_t>(run * sectorSize))});
      sectors += run;
    }
    // Each run moves the track as it arrives, so that a window answers its input between two of
    // them; the root's last run moves it once the walker has looked at it, when the sectors to
    // write are planned, so that the track does not reach its end before them.
    const std::size_t lastRun = extent == extents.size() ? runs.size() - 1 : runs.size();
    const auto arrived = [&](std::size_t run) {
      if (run != lastRun) track.Moved(static_cast<std::int64_t>(runs[run].bytes.size()));
    };
    // A run that failed is told once the runs before it were looked at, as when each is read
    // after the one before it.
    std::optional<Problem> failedRun;
    if (const auto failed =
            ReadSectorsTogether(volume, static_cast<std::uint32_t>(sectorSize), runs, arrived)) {
      failedRun = ReadProblem(failed->error, runs[failed->index].sector, sectorSize);
      if (failed->index == 0) return failedRun;
      runs.resize(failed->index);
      sectors = 0;
      for (const SectorRead& run : runs) {
        sectors += static_cast<std::int64_t>(run.bytes.size()) / sectorSize;
      }
    }
    const auto area = bytes.subspan(kHeldRoom, static_cast<std::size_t>(sectors * sectorSize));
    if (copy) {
      copy->bytes.insert(copy->bytes.end(), area.begin(), area.end());
      for (const SectorRead& run : runs) {
        for (std::int64_t i = 0; i < static_cast<std::int64_t>(run.bytes.size()) / sectorSize;
             ++i) {
          copy->sectors.push_back(run.sector + i);
        }
      }
    }

    // The window: what the walker left, then the transfer, up to the end of the root's entries.
    const std::int64_t transferStart = read;
    read += sectors * sectorSize;
    const std::int64_t windowEnd = std::min(read, rootBytes);
    const bool last = !failedRun && (extent == extents.size() || windowEnd == rootBytes);
    const std::size_t windowFirst = kHeldRoom - static_cast<std::size_t>(transferStart - looked);
    const auto window = bytes.subspan(
        windowFirst, static_cast<std::size_t>(std::max<std::int64_t>(windowEnd - looked, 0)));
    std::size_t done = 0;
    changed.clear();
    if (auto problem = walker->Look(window, looked, last, done)) return problem;
    // The sectors that changed, whole: each lies in the buffer, from the held sectors on. A
    // sector's old bytes are its bytes now with each changed entry's old bytes put back. The
    // entries come in the root's order: a sector is taken once for all of its entries.
    SectorChange* current = nullptr;
    std::int64_t currentSector = -1;
    for (const RestoredEntry& entry : changed) {
      const std::int64_t sector = entry.offset / sectorSize;
      if (sector != currentSector) {
        const auto from = static_cast<std::size_t>(static_cast<std::int64_t>(kHeldRoom) +
                                                   sector * sectorSize - transferStart);
        const auto source = bytes.subspan(from, static_cast<std::size_t>(sectorSize));
        const auto [kept, added] = restored->sectors.try_emplace(sector);
        kept->second.after.assign(source.begin(), source.end());
        if (added) {
          kept->second.before = kept->second.after;
          track.Plan(sectorSize);
        }
        current = &kept->second;
        currentSector = sector;
      }
      std::copy(entry.before.begin(), entry.before.end(),
                current->before.begin() + (entry.offset - sector * sectorSize));
    }
    looked += static_cast<std::int64_t>(done);
    if (failedRun) return failedRun;
    if (lastRun < runs.size()) track.Moved(static_cast<std::int64_t>(runs[lastRun].bytes.size()));
    if (last) break;
    // Keeps the sectors from the one where the walker stopped for the next window.
    const std::int64_t keepFrom = looked / sectorSize * sectorSize;
    const std::int64_t held = read - keepFrom;
    if (held > static_cast<std::int64_t>(kHeldRoom)) {
      return DamagedDirectory(DetailKind::kIncompleteSet,
                              looked / static_cast<std::int64_t>(fat::kDirEntrySize));
    }
    const auto keep = bytes.subspan(
        static_cast<std::size_t>(static_cast<std::int64_t>(kHeldRoom) + keepFrom - transferStart),
        static_cast<std::size_t>(held));
    std::memmove(bytes.data() + kHeldRoom - held, keep.data(), keep.size());
  }
  if (copy) copy->bytes.resize(std::min(copy->bytes.size(), static_cast<std::size_t>(rootBytes)));
  return std::nullopt;
}

// Takes the entries at the root offsets `keep` out of the hidden entries to change, and puts their
// old bytes back in the sectors to write; a sector left as it was is not written.
void KeepHidden(VolumeLayout& layout, const std::unordered_set<std::int64_t>& keep,
                RestoredSectors* restored) {
  const std::int64_t sectorSize = layout.bytesPerSector;
  std::erase_if(layout.findings.hidden, [&](const HiddenEntry& entry) {
    if (entry.deleted || entry.afterEnd || !keep.count(entry.offset)) return false;
    if (restored) {
      const auto sector = restored->sectors.find(entry.offset / sectorSize);
      if (sector != restored->sectors.end()) {
        const auto at = static_cast<std::ptrdiff_t>(entry.offset % sectorSize);
        std::copy_n(sector->second.before.begin() + at, fat::kDirEntrySize,
                    sector->second.after.begin() + at);
      }
    }
    return true;
  });
  if (restored) {
    std::erase_if(restored->sectors,
                  [](const auto& sector) { return sector.second.before == sector.second.after; });
  }
}

// What an earlier pass of this program's recorded, found again at its place with the same size,
// first cluster and bytes, is judged as then although that pass took away or showed what told it:
// the virus's file (the shortcut that ran it removed) becomes a leftover and stays as it is in the
// root, or is the virus's inside its folder; the user's file that the virus's shortcut posed as
// is shown again; the folder that the virus moved the files into, shown since, is that folder
// still. A document is never the virus's; a file that any of this differs from is judged anew.
void Remember(volume::Volume& volume, VolumeLayout& layout, const RootEntries& entries,
              const std::vector<QuarantinedFile>& recalled, std::unordered_set<std::int64_t>& keep,
              ProgressTrack& track) {
  if (recalled.empty()) return;
  RootFindings& found = layout.findings;
  // The record of the file at `path` (its size, first cluster and bytes the same), the virus's
  // before the user's; a document is never the virus's.
  const auto recalledAs = [&](const std::string& path, const RootFile& file) {
    const QuarantinedFile* same = nullptr;
    if (file.IsFolder()) return same;
    std::optional<Sha256Digest> digest;  // read once, when a record names the file's place
    for (const QuarantinedFile& one : recalled) {
      // A record of the virus's for evidence that the rules no longer take as the virus's (a
      // name alone) is not recalled either.
      if (one.path != path || one.size != file.size || one.firstCluster != file.firstCluster ||
          one.evidence == Evidence::kMovedFilesFolder ||
          (one.verdict == Verdict::kVirus &&
           (IsDocument(file.Name()) || VerdictOf(one.evidence) != Verdict::kVirus))) {
        continue;
      }
      if (!digest) digest = Sha256Of(ReadFileContent(volume, layout, file, track));
      if (*digest != one.digest) continue;
      // The record that names a shortcut says most.
      const bool better =
          !same || (same->verdict != Verdict::kVirus && one.verdict == Verdict::kVirus) ||
          (one.verdict == same->verdict && one.evidence == Evidence::kNamedByShortcut);
      if (better) same = &one;
    }
    return same;
  };
  const auto judgeAgain = [](Judged& judged, const QuarantinedFile& was) {
    judged.verdict = was.verdict == Verdict::kVirus ? Verdict::kVirus : Verdict::kUser;
    if (judged.verdict == Verdict::kUser) {
      judged.evidence = Evidence::kDisguise;
    } else {
      const bool shortcut = was.evidence == Evidence::kNamedByShortcut ||
                            was.evidence == Evidence::kRemovedShortcutRan;
      judged.evidence = shortcut ? Evidence::kRemovedShortcutRan : Evidence::kJudgedBefore;
    }
    judged.subject = was.subject.empty() ? was.path : was.subject;
    judged.command = was.command;
  };
  // The folder that the virus moved the user's files into, shown since, by its name and place.
  const auto movedFiles = [&](const RootFile& folder) {
    return std::any_of(recalled.begin(), recalled.end(), [&](const QuarantinedFile& one) {
      return one.evidence == Evidence::kMovedFilesFolder && one.path == folder.Name() &&
             one.firstCluster == folder.firstCluster;
    });
  };
  // The root's folders that a record names, each listed once.
  std::vector<const RootFile*> named;
  for (const RootFile& folder : entries.folders) {
    const std::string within = folder.Name() + '\\';
    if (movedFiles(folder) ||
        std::any_of(recalled.begin(), recalled.end(),
                    [&](const QuarantinedFile& one) { return one.path.starts_with(within); })) {
      named.push_back(&folder);
    }
  }
  // Of what they hold, only the entries that a record names are kept; the rest are counted.
  const std::vector<FolderListing> listings =
      named.empty() ? std::vector<FolderListing>{}
                    : ListFolders(volume, layout, named, kMaxFolderBytes, track,
                                  [&](std::size_t f, const RootFile& file) {
                                    const std::string path = named[f]->Name() + '\\' + file.Name();
                                    return std::any_of(recalled.begin(), recalled.end(),
                                                       [&](const QuarantinedFile& one) {
                                                         return one.path == path;
                                                       });
                                  });
  for (std::size_t f = 0; f < listings.size(); ++f) {
    const RootFile& root = *named[f];
    const std::string& folder = root.Name();
    const bool known = std::any_of(found.judged.begin(), found.judged.end(), [&](const Judged& j) {
      return j.folder.empty() && j.file.offset == root.offset &&
             j.evidence == Evidence::kMovedFilesFolder;
    });
    if (!known && movedFiles(root)) {
      std::erase_if(found.judged, [&](const Judged& j) {
        return j.folder.empty() && j.file.offset == root.offset;
      });
      Judged moved;
      moved.file = root;
      moved.verdict = Verdict::kUser;
      moved.evidence = Evidence::kMovedFilesFolder;
      moved.files = listings[f].files;
      moved.folders = listings[f].folders;
      found.judged.push_back(std::move(moved));
    }
    for (const RootFile& file : listings[f].entries) {
      const QuarantinedFile* was = recalledAs(folder + '\\' + file.Name(), file);
      if (!was || was->verdict != Verdict::kVirus) continue;
      const auto judged = std::find_if(
          found.judged.begin(), found.judged.end(),
          [&](const Judged& j) { return j.folder == folder && j.file.offset == file.offset; });
      if (judged != found.judged.end()) {
        if (judged->verdict != Verdict::kVirus) judgeAgain(*judged, *was);
        continue;
      }
      Judged again;
      again.file = file;
      again.folder = folder;
      judgeAgain(again, *was);
      found.judged.push_back(std::move(again));
    }
  }
  for (const RootFile& file : entries.files) {
    const bool leftover = std::any_of(
        found.leftovers.begin(), found.leftovers.end(),
        [&](const Judged& j) { return j.folder.empty() && j.file.offset == file.offset; });
    if (leftover) continue;
    const QuarantinedFile* was = recalledAs(file.Name(), file);
    if (!was) continue;
    const auto judged = std::find_if(
        found.judged.begin(), found.judged.end(),
        [&](const Judged& j) { return j.folder.empty() && j.file.offset == file.offset; });
    if (was->verdict != Verdict::kVirus) {
      // The user's, which the virus's shortcut posed as: shown again as then, unless it is
      // judged the user's or anything but unsure now.
      if (judged != found.judged.end() && judged->verdict != Verdict::kUnsure) continue;
      keep.erase(file.main);
      if (judged != found.judged.end()) {
        judgeAgain(*judged, *was);
      } else {
        Judged again;
        again.file = file;
        judgeAgain(again, *was);
        found.judged.push_back(std::move(again));
      }
      continue;
    }
    if (judged != found.judged.end()) found.judged.erase(judged);
    Judged again;
    again.file = file;
    judgeAgain(again, *was);
    const auto at = std::find_if(
        found.leftovers.begin(), found.leftovers.end(),
        [&](const Judged& j) { return !j.folder.empty() || j.file.offset > file.offset; });
    found.leftovers.insert(at, std::move(again));
    keep.insert(file.main);
  }
  GatherLeftoversInside(found);
}

std::optional<Problem> AnalyseVolume(volume::Volume& volume, VolumeLayout& layout,
                                     RestoredSectors* restored, ProgressTrack& track,
                                     RootCopy* root, const JournalFolderFiles* recall) {
  // A volume too short for its boot sector cannot be read at all: no size was claimed yet.
  volume::AlignedBuffer boot(kBootReadBytes);
  if (ReadSectors(volume, kBootSector, kBootReadBytes, boot.bytes())) {
    Problem problem = MakeProblem(ProblemKind::kReadFailed);
    problem.sector = kBootSector;
    return problem;
  }
  track.Touched();
  std::copy_n(boot.bytes().begin(), layout.bootSector.size(), layout.bootSector.begin());
  if (auto problem = CheckBootRegion(volume, layout, boot.bytes(), &track)) return problem;
  if (auto problem = ReadGeometry(layout)) return problem;
  if (auto problem = CheckDevice(volume, layout)) return problem;
  layout.rootClusterCount = 0;
  FatWindow window;
  if (layout.RootHasChain()) {
    if (auto problem = WalkRootChain(volume, layout, window, track)) return problem;
  }
  // The rest of the FAT is planned before the root, which plans itself, is read.
  track.Plan(FatScanBytes(layout, window));
  RootEntries entries;
  if (auto problem = ScanRootDirectory(volume, layout, restored, entries, track, root))
    return problem;
  if (auto problem = CheckOtherChains(volume, layout, window, track)) return problem;
  // Whose each entry is, once the volume proved to be one the engine reads; the hidden entries
  // that are not to be shown again are put back as they were.
  auto keep = JudgeRoot(volume, layout, entries, track);
  if (recall) Remember(volume, layout, entries, Recall(*recall, IdentityOf(layout)), keep, track);
  KeepHidden(layout, keep, restored);
  return std::nullopt;
}

}  // namespace

std::optional<Problem> AnalyseInto(volume::Volume& volume, VolumeLayout& layout,
                                   RestoredSectors* restored, ProgressTrack* track, RootCopy* root,
                                   const JournalFolderFiles* recall) {
  ProgressTrack unseen;
  try {
    return AnalyseVolume(volume, layout, restored, track ? *track : unseen, root, recall);
  } catch (const std::bad_alloc&) {
    return MakeProblem(ProblemKind::kOutOfMemory);
  }
}

Expected<VolumeLayout, Problem> Analyse(volume::Volume& volume, RestoredSectors* restored,
                                        ProgressTrack* track) {
  VolumeLayout layout;
  if (auto problem = AnalyseInto(volume, layout, restored, track)) return std::move(*problem);
  return layout;
}

}  // namespace kestrova::repair
