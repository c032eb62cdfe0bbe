// SPDX-License-Identifier: GPL-3.0-or-later
#include "format/directory_walk.h"

#include "format/fat.h"
#include "format/problems.h"

namespace kestrova::repair {
namespace {

class FatWalk final : public DirectoryWalk {
 public:
  std::optional<Problem> Look(std::span<std::uint8_t> window, std::int64_t offset, bool,
                              std::size_t& done, const EntryVisit& visit) override {
    using namespace fat;
    for (done = 0; done + kDirEntrySize <= window.size(); done += kDirEntrySize) {
      const auto entry = window.subspan(done, kDirEntrySize);
      const std::int64_t at = offset + static_cast<std::int64_t>(done);
      const std::uint8_t lead = entry[kNameOffset];
      const std::uint8_t attribute = entry[kAttributeOffset];
      if (lead == kEndOfDirectory) ended_ = true;
      // Past the end, a slot with no attributes is neither a folder nor part of a long name: the
      // most common slot of a large root. A run of them is passed over at once.
      if (ended_ && attribute == 0) {
        while (done + 2 * kDirEntrySize <= window.size() &&
               window[done + kDirEntrySize + kAttributeOffset] == 0) {
          done += kDirEntrySize;
        }
        longName_.Reset();
        continue;
      }
      if (attribute == kAttrLongName && lead != kDeletedEntry) {
        longName_.Add(entry, at);
        continue;
      }
      WalkedEntry walked;
      walked.offset = at;
      walked.bytes = entry;
      walked.name = longName_.Take(entry);
      walked.deleted = lead == kDeletedEntry;
      walked.afterEnd = ended_;
      if (auto problem = visit(walked)) return problem;
    }
    return std::nullopt;
  }

 private:
  LongNameCollector longName_;
  bool ended_ = false;
};

// The number of the entry at a directory offset.
std::int64_t EntryNumber(std::int64_t offset) {
  return offset / static_cast<std::int64_t>(exfat::kEntrySize);
}

class ExfatWalk final : public DirectoryWalk {
 public:
  std::optional<Problem> Look(std::span<std::uint8_t> window, std::int64_t offset, bool last,
                              std::size_t& done, const EntryVisit& visit) override {
    using namespace exfat;
    for (done = 0; !ended_ && done + kEntrySize <= window.size();) {
      const std::int64_t at = offset + static_cast<std::int64_t>(done);
      const std::uint8_t type = window[done + kEntryTypeOffset];
      if (type == kEndOfDirectory) {
        ended_ = true;
        break;
      }
      WalkedEntry walked;
      walked.offset = at;
      if (type != kFile) {
        if (type & kInUse) {
          walked.bytes = window.subspan(done, kEntrySize);
          if (auto problem = visit(walked)) return problem;
        }
        done += kEntrySize;
        continue;
      }
      const std::uint32_t secondaries = window[done + kSecondaryCountOffset];
      const std::size_t setBytes = (1 + std::size_t{secondaries}) * kEntrySize;
      if (secondaries < kMinSecondaryCount || secondaries > kMaxSecondaryCount) {
        return DamagedDirectory(DetailKind::kIncompleteSet, EntryNumber(at));
      }
      if (done + setBytes > window.size()) {
        if (last) return DamagedDirectory(DetailKind::kIncompleteSet, EntryNumber(at));
        return std::nullopt;  // the set goes on in the next window
      }
      walked.bytes = window.subspan(done, setBytes);
      walked.set = true;
      walked.shape = ShapeOf(walked.bytes);
      if (!walked.shape.whole) return DamagedDirectory(DetailKind::kIncompleteSet, EntryNumber(at));
      if (SetChecksum(walked.bytes) != fat::Read16(walked.bytes, kSetChecksumOffset)) {
        return DamagedDirectory(DetailKind::kSetChecksum, EntryNumber(at));
      }
      if (auto problem = visit(walked)) return problem;
      done += setBytes;
    }
    if (ended_) done = window.size();
    return std::nullopt;
  }

 private:
  bool ended_ = false;
};

}  // namespace

std::unique_ptr<DirectoryWalk> MakeDirectoryWalk(FileSystem fileSystem) {
  if (fileSystem == FileSystem::kExfat) return std::make_unique<ExfatWalk>();
  return std::make_unique<FatWalk>();
}

}  // namespace kestrova::repair
