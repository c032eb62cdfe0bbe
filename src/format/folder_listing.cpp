// SPDX-License-Identifier: GPL-3.0-or-later
#include "format/folder_listing.h"

#include <algorithm>
#include <cstdint>
#include <limits>
#include <memory>
#include <optional>
#include <span>
#include <string_view>
#include <unordered_set>

#include "format/exfat.h"
#include "format/exfat_sets.h"
#include "format/fat.h"
#include "format/fat_names.h"
#include "format/fat_table.h"
#include "format/read_ahead.h"
#include "format/sector_io.h"

namespace kestrova::repair {
namespace {

// Reads a folder's entries as its bytes arrive, in order, and keeps between two pieces what it
// needs of the entries behind it: a long name in the making, or an exFAT entry set that goes on
// in the next piece.
class FolderReader {
 public:
  FolderReader(const VolumeGeometry& layout, FolderListing& listing,
               const EntryFilter* keep = nullptr, std::size_t folder = 0)
      : layout_(layout), listing_(listing), keep_(keep), folder_(folder) {}

  // The folder's next `bytes`, which begin at sector `sector`.
  void Look(std::span<const std::uint8_t> bytes, std::int64_t sector) {
    if (layout_.fileSystem == FileSystem::kExfat) {
      LookExfat(bytes, sector);
    } else {
      LookFat(bytes, sector);
    }
    offset_ += static_cast<std::int64_t>(bytes.size());
  }

  // Whether the entries ended (the end-of-directory mark) or stopped at a damaged set.
  bool Done() const { return ended_ || stopped_; }

  // The listing is complete when its entries ended, or when `allRead` (the folder's chain or data
  // length came to its end) and no set was left unfinished.
  void Finish(bool allRead) {
    listing_.complete = !stopped_ && (ended_ || (allRead && held_.empty()));
  }

 private:
  // Where the entry at byte `at` of a piece that begins at `sector` lies.
  void Place(RootFile& file, std::int64_t sector, std::size_t at) const {
    const auto sectorBytes = static_cast<std::size_t>(layout_.bytesPerSector);
    file.sector = sector + static_cast<std::int64_t>(at / sectorBytes);
    file.index = static_cast<int>(at % sectorBytes / fat::kDirEntrySize);
  }

  void LookFat(std::span<const std::uint8_t> bytes, std::int64_t sector) {
    using namespace fat;
    for (std::size_t at = 0; !ended_ && at + kDirEntrySize <= bytes.size(); at += kDirEntrySize) {
      const auto entry = bytes.subspan(at, kDirEntrySize);
      const std::int64_t offset = offset_ + static_cast<std::int64_t>(at);
      const std::uint8_t lead = entry[kNameOffset];
      const std::uint8_t attribute = entry[kAttributeOffset];
      if (lead == kEndOfDirectory) {
        ended_ = true;
        break;
      }
      if (lead == kDeletedEntry) {
        longName_.Reset();
        continue;
      }
      if (attribute == kAttrLongName) {
        longName_.Add(entry, offset);
        continue;
      }
      const std::string_view name11(reinterpret_cast<const char*>(&entry[kNameOffset]),
                                    kNameLength + kExtensionLength);
      if ((attribute & kAttrVolumeId) || name11 == kDotName || name11 == kDotDotName) {
        longName_.Reset();
        continue;
      }
      RootFile file = DecodeFatFile(layout_.fileSystem, entry, offset, longName_.Take(entry));
      Place(file, sector, at);
      Add(std::move(file));
    }
  }

  void LookExfat(std::span<const std::uint8_t> bytes, std::int64_t sector) {
    using namespace exfat;
    std::size_t at = 0;
    if (!held_.empty()) {
      // The set begun in the piece before: its secondary count was checked when it was held.
      const std::size_t setBytes = (1 + std::size_t{held_[kSecondaryCountOffset]}) * kEntrySize;
      const std::size_t take = std::min(setBytes - held_.size(), bytes.size());
      held_.insert(held_.end(), bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(take));
      at = take;
      if (held_.size() < setBytes) return;
      LookAtSet(held_, heldPlace_);
      held_.clear();
    }
    while (!Done() && at + kEntrySize <= bytes.size()) {
      const std::uint8_t type = bytes[at + kEntryTypeOffset];
      if (type == kEndOfDirectory) {
        ended_ = true;
        break;
      }
      if (type != kFile) {  // unused entries, and in-use ones outside a set
        at += kEntrySize;
        continue;
      }
      const std::uint32_t secondaries = bytes[at + kSecondaryCountOffset];
      if (secondaries < kMinSecondaryCount || secondaries > kMaxSecondaryCount) {
        stopped_ = true;
        break;
      }
      RootFile place;
      place.offset = offset_ + static_cast<std::int64_t>(at);
      Place(place, sector, at);
      const std::size_t setBytes = (1 + std::size_t{secondaries}) * kEntrySize;
      if (at + setBytes > bytes.size()) {
        held_.assign(bytes.begin() + static_cast<std::ptrdiff_t>(at), bytes.end());
        heldPlace_ = place;
        break;
      }
      LookAtSet(bytes.subspan(at, setBytes), place);
      at += setBytes;
    }
  }

  // A whole entry set, whose File entry lies at `place`.
  void LookAtSet(std::span<const std::uint8_t> set, const RootFile& place) {
    if (!ShapeOf(set).whole || SetChecksum(set) != fat::Read16(set, exfat::kSetChecksumOffset)) {
      stopped_ = true;
      return;
    }
    RootFile file = DecodeExfatSet(set, place.offset);
    file.sector = place.sector;
    file.index = place.index;
    Add(std::move(file));
  }

  // An entry read: counted, and kept when the filter keeps it.
  void Add(RootFile file) {
    ++(file.IsFolder() ? listing_.folders : listing_.files);
    if (keep_ && *keep_ && !(*keep_)(folder_, file)) return;
    listing_.entries.push_back(std::move(file));
  }

  const VolumeGeometry& layout_;
  FolderListing& listing_;
  const EntryFilter* keep_;
  std::size_t folder_;
  std::int64_t offset_ = 0;  // the folder's byte that the next piece begins with
  bool ended_ = false;
  bool stopped_ = false;
  LongNameCollector longName_;
  std::vector<std::uint8_t> held_;  // an exFAT set begun in the piece before
  RootFile heldPlace_;              // where it lies
};

// Where a folder's reading has come to.
struct Cursor {
  std::size_t folder = 0;    // its index in the folders
  std::int64_t cluster = 0;  // the cluster being read
  std::int64_t within = 0;   // its bytes read so far
  std::int64_t want = 0;     // the folder's bytes to read at most
  std::int64_t read = 0;     // its bytes read so far
  std::unique_ptr<FolderReader> reader;
  bool finished = false;  // its listing is final
};

class Lister {
 public:
  Lister(volume::Volume& volume, const VolumeGeometry& layout, ProgressTrack& track)
      : volume_(volume),
        layout_(layout),
        track_(track),
        fat_(volume, layout, &track),
        sectorBytes_(layout.bytesPerSector),
        clusterBytes_(layout.ClusterBytes()) {}

  // Reads the first cluster of each cursor (sorted by it), a run of consecutive clusters at once;
  // each run is on its way while the one before it is looked at.
  void ReadFirstClusters(std::vector<Cursor>& cursors) {
    struct Run {
      std::size_t first = 0, end = 0;  // its cursors
      std::int64_t start = 0;          // its first cluster
      std::optional<std::int64_t> sector;
      std::int64_t bytes = 0;
    };
    std::vector<Run> runs;
    std::vector<SectorTransfer> transfers;
    for (std::size_t first = 0; first < cursors.size();) {
      const std::int64_t start = cursors[first].cluster;
      std::int64_t last = start;
      std::int64_t want = cursors[first].want;
      std::size_t end = first + 1;
      for (; end < cursors.size(); ++end) {
        const std::int64_t cluster = cursors[end].cluster;
        const bool follows =
            cluster == last + 1 && (cluster - start + 1) * clusterBytes_ <= kMaxTransferBytes;
        if (cluster != last && !follows) break;
        last = cluster;
        want = std::max(want, cursors[end].want);
      }
      // One cluster alone is read only as far as its folders want it (a cluster may be larger
      // than a transfer); a run is read whole.
      const std::int64_t bytes = last == start
                                     ? Rounded(std::min({clusterBytes_, want, kMaxTransferBytes}))
                                     : (last - start + 1) * clusterBytes_;
      const auto sector = ClusterFirstSector(layout_, start);
      runs.push_back({first, end, start, sector, bytes});
      if (sector) transfers.push_back({*sector, bytes});
      first = end;
    }
    ReadAhead ahead(volume_, static_cast<std::uint32_t>(sectorBytes_), std::move(transfers),
                    [this] { track_.Touched(); });
    for (const Run& run : runs) {
      std::span<const std::uint8_t> bytes;
      if (run.sector) {
        std::optional<volume::DeviceError> failed;
        const auto arrived = ahead.Next(failed);
        if (arrived && !failed) bytes = *arrived;
      }
      for (std::size_t i = run.first; i < run.end; ++i) {
        Cursor& cursor = cursors[i];
        if (bytes.empty()) {
          cursor.reader->Finish(false);
          cursor.finished = true;
          continue;
        }
        const std::int64_t at = (cursor.cluster - run.start) * clusterBytes_;
        cursor.within = std::min(clusterBytes_, run.bytes - at);
        Feed(cursor, bytes, at, cursor.within, *run.sector + at / sectorBytes_);
      }
    }
  }

  // Reads on along the cursor's chain from where its first cluster left it, a run of consecutive
  // clusters at a time, until its folder's entries end or its bytes to read are read; then ends
  // its listing.
  void ReadOn(Cursor& cursor, const RootFile& folder) {
    if (cursor.finished) return;
    std::unordered_set<std::int64_t> seen{cursor.cluster};
    bool allRead = false;
    while (GoesOn(cursor)) {
      if (cursor.within == clusterBytes_) {
        const auto next = Next(cursor.cluster, folder, allRead);
        if (!next || !seen.insert(*next).second) break;
        cursor.cluster = *next;
        cursor.within = 0;
      }
      const std::int64_t rest = Rounded(std::min(cursor.want - cursor.read, kMaxTransferBytes));
      std::int64_t bytes = std::min(clusterBytes_ - cursor.within, rest);
      std::int64_t last = cursor.cluster;
      while (bytes < rest && bytes + clusterBytes_ <= kMaxTransferBytes) {
        bool ends = false;
        const auto next = Next(last, folder, ends);
        if (!next || *next != last + 1 || seen.count(*next)) break;
        seen.insert(*next);
        last = *next;
        bytes += std::min(clusterBytes_, rest - bytes);
      }
      const auto sector = ClusterFirstSector(layout_, cursor.cluster);
      const std::int64_t from = cursor.within / sectorBytes_;
      if (!sector || !Read(*sector + from, bytes)) break;
      const std::int64_t reach = cursor.within + bytes;  // from the start of cursor.cluster
      Feed(cursor, buffer_.bytes(), 0, bytes, *sector + from);
      const std::int64_t further = (reach - 1) / clusterBytes_;
      cursor.cluster += further;
      cursor.within = reach - further * clusterBytes_;
    }
    // exFAT's data length, not its chain, says where the folder ends.
    if (layout_.fileSystem == FileSystem::kExfat) {
      allRead = static_cast<std::uint64_t>(cursor.read) == folder.size;
    }
    cursor.reader->Finish(allRead);
    cursor.finished = true;
  }

 private:
  // Whether a cursor's folder has more to read.
  static bool GoesOn(const Cursor& cursor) {
    return !cursor.reader->Done() && cursor.read < cursor.want;
  }

  // Bytes rounded up to whole sectors.
  std::int64_t Rounded(std::int64_t bytes) const {
    return (bytes + sectorBytes_ - 1) / sectorBytes_ * sectorBytes_;
  }

  bool Read(std::int64_t sector, std::int64_t bytes) {
    if (buffer_.size() == 0)
      buffer_ = volume::AlignedBuffer(static_cast<std::size_t>(kMaxTransferBytes));
    const auto into = buffer_.bytes().first(static_cast<std::size_t>(bytes));
    if (ReadSectors(volume_, sector, layout_.bytesPerSector, into)) return false;
    track_.Touched();
    return true;
  }

  // Gives the cursor's folder `bytes` of `read` from `at` (no more than it wants).
  void Feed(Cursor& cursor, std::span<const std::uint8_t> read, std::int64_t at, std::int64_t bytes,
            std::int64_t sector) {
    const std::int64_t piece = std::min(bytes, cursor.want - cursor.read);
    cursor.reader->Look(read.subspan(static_cast<std::size_t>(at), static_cast<std::size_t>(piece)),
                        sector);
    cursor.read += piece;
  }

  // The cluster after `cluster` in a folder's chain, within the data clusters. Nothing when the
  // chain ends there (`ends` is then set) or cannot be followed.
  std::optional<std::int64_t> Next(std::int64_t cluster, const RootFile& folder, bool& ends) {
    std::int64_t next = cluster + 1;
    if (!folder.noFatChain) {
      const auto raw = fat_.Entry(cluster);
      std::uint32_t linked = 0;
      const Link link = raw ? Follow(layout_.fileSystem, *raw, linked) : Link::kBad;
      ends = link == Link::kEnd;
      if (link != Link::kNext) return std::nullopt;
      next = linked;
    }
    if (next < fat::kFirstDataCluster || next > layout_.clusterCount + 1) return std::nullopt;
    return next;
  }

  volume::Volume& volume_;
  const VolumeGeometry& layout_;
  ProgressTrack& track_;
  FatReader fat_;
  const std::int64_t sectorBytes_;
  const std::int64_t clusterBytes_;
  volume::AlignedBuffer buffer_;  // for the reads along the chains, made at the first of them
};

}  // namespace

std::vector<FolderListing> ListFolders(volume::Volume& volume, const VolumeGeometry& layout,
                                       const std::vector<const RootFile*>& folders,
                                       std::size_t maxBytes, ProgressTrack& track,
                                       const EntryFilter& keep) {
  std::vector<FolderListing> listings(folders.size());
  const bool exfat = layout.fileSystem == FileSystem::kExfat;
  const auto bound = static_cast<std::int64_t>(
      std::min<std::uint64_t>(maxBytes, std::numeric_limits<std::int64_t>::max()));
  std::vector<Cursor> cursors;
  for (std::size_t i = 0; i < folders.size(); ++i) {
    const RootFile& folder = *folders[i];
    const std::int64_t want =
        exfat ? static_cast<std::int64_t>(std::min<std::uint64_t>(bound, folder.size)) : bound;
    const bool placed = ClusterFirstSector(layout, folder.firstCluster).has_value();
    // An exFAT folder of no bytes holds nothing; any other needs its first cluster.
    listings[i].complete = exfat && folder.size == 0;
    if (want == 0 || !placed || layout.bytesPerSector <= 0 || layout.ClusterBytes() <= 0) {
      continue;
    }
    Cursor& cursor = cursors.emplace_back();
    cursor.folder = i;
    cursor.cluster = folder.firstCluster;
    cursor.want = want;
  }
  std::sort(cursors.begin(), cursors.end(), [](const Cursor& a, const Cursor& b) {
    return a.cluster != b.cluster ? a.cluster < b.cluster : a.folder < b.folder;
  });
  if (cursors.empty()) return listings;
  for (Cursor& cursor : cursors) {
    cursor.reader =
        std::make_unique<FolderReader>(layout, listings[cursor.folder], &keep, cursor.folder);
  }
  Lister lister(volume, layout, track);
  lister.ReadFirstClusters(cursors);
  for (Cursor& cursor : cursors) lister.ReadOn(cursor, *folders[cursor.folder]);
  return listings;
}

FolderListing ListEntries(const VolumeGeometry& layout, std::span<const std::uint8_t> bytes) {
  FolderListing listing;
  FolderReader reader(layout, listing);
  reader.Look(bytes, 0);
  reader.Finish(true);
  return listing;
}

}  // namespace kestrova::repair
