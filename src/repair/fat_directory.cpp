// SPDX-License-Identifier: GPL-3.0-or-later
// The root directory of FAT12, FAT16 and FAT32: 8.3 entries with long names in front of them.
#include <algorithm>
#include <array>
#include <span>

#include "repair/codepage.h"
#include "repair/cross_links.h"
#include "repair/directory.h"
#include "repair/engine.h"
#include "repair/entries.h"
#include "repair/fat.h"
#include "repair/label.h"
#include "repair/problems.h"

namespace kestrova::repair {
namespace {

using namespace fat;

constexpr std::size_t kMaxLongEntries = 20;  // 255 characters / 13 per entry
constexpr char16_t kLongNameEnd = 0x0000;
constexpr char16_t kLongNamePad = 0xFFFF;

// A long name and where its entries begin in the root.
struct LongName {
  std::string text;
  int entries = 0;
  std::int64_t first = 0;
};

// A restored entry's old bytes are one whole directory entry.
static_assert(std::tuple_size_v<decltype(RestoredEntry::before)> == kDirEntrySize);

// Gathers the long-name entries in front of a short entry.
class LongNameCollector {
 public:
  // The entry at root offset `offset`.
  void Add(std::span<const std::uint8_t> entry, std::int64_t offset) {
    const std::uint8_t ordinalByte = entry[kLongOrdinalOffset];
    const std::size_t ordinal = ordinalByte & kLongOrdinalMask;
    if (ordinal == 0 || ordinal > kMaxLongEntries) return Reset();
    if (ordinalByte & kLastLongEntry) {
      Reset();
      count_ = ordinal;
      checksum_ = entry[kLongChecksumOffset];
      expected_ = ordinal;
      first_ = offset;
    }
    if (count_ == 0 || ordinal != expected_ || entry[kLongChecksumOffset] != checksum_) {
      return Reset();
    }
    auto& chars = parts_[ordinal - 1];
    for (std::size_t i = 0; i < kLongCharsPerEntry; ++i) {
      chars[i] = static_cast<char16_t>(Read16(entry, kLongCharOffsets[i]));
    }
    --expected_;
  }

  // The long name that belongs to this short entry, or none.
  LongName Take(std::span<const std::uint8_t> shortEntry) {
    if (count_ == 0) return {};
    const bool complete =
        count_ != 0 && expected_ == 0 && ShortNameChecksum(&shortEntry[kNameOffset]) == checksum_;
    std::u16string text;
    for (std::size_t part = 0; complete && part < count_; ++part) {
      for (char16_t c : parts_[part]) {
        if (c == kLongNameEnd) break;
        if (c != kLongNamePad) text += c;
      }
    }
    const LongName name{Utf16ToUtf8(text), complete ? static_cast<int>(count_) : 0, first_};
    Reset();
    return complete ? name : LongName{};
  }

  void Reset() { count_ = expected_ = 0; }

 private:
  std::array<std::array<char16_t, kLongCharsPerEntry>, kMaxLongEntries> parts_{};
  std::size_t count_ = 0;
  std::size_t expected_ = 0;
  std::uint8_t checksum_ = 0;
  std::int64_t first_ = 0;
};

// A file's short name as Windows shows it: in lower case where the entry's case bits say so.
std::string ShownShortName(std::span<const std::uint8_t> entry) {
  std::string name = DisplayShortName(entry);
  const std::uint8_t lower = entry[kCaseFlagsOffset];
  const std::size_t dot = name.find('.');
  for (std::size_t i = 0; i < name.size(); ++i) {
    const bool inBase = i < dot;
    if (name[i] >= 'A' && name[i] <= 'Z' &&
        (lower & (inBase ? kLowerCaseBase : kLowerCaseExtension))) {
      name[i] = static_cast<char>(name[i] - 'A' + 'a');
    }
  }
  return name;
}

class FatWalker final : public RootWalker {
 public:
  FatWalker(const VolumeLayout& layout, RootFindings& findings,
            std::vector<RestoredEntry>* restored, RootEntries* entries)
      : layout_(layout),
        extents_(RootExtents(layout)),
        rootClusters_(layout),
        findings_(findings),
        restored_(restored),
        entries_(entries) {}

  // Every 32-byte slot is visited, also after the end-of-directory mark.
  std::optional<Problem> Look(std::span<std::uint8_t> window, std::int64_t offset, bool,
                              std::size_t& done) override {
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
      if (auto problem = CrossLink(entry)) return problem;
      if (attribute == kAttrLongName && lead != kDeletedEntry) {
        longName_.Add(entry, at);
        continue;
      }
      const bool deleted = lead == kDeletedEntry;
      const bool live = !deleted && !ended_;
      if (live && (attribute & kAttrVolumeId)) {
        if (findings_.label.empty()) findings_.label = FatLabelText(entry, kNameOffset);
        longName_.Reset();
        continue;
      }
      const bool hiddenFolder = IsHiddenFolderEntry(entry);
      if (!hiddenFolder && !(live && entries_)) {
        longName_.Reset();
        continue;
      }
      LongName name = longName_.Take(entry);
      const bool folderInUse = live && entries_ && (attribute & kAttrDirectory);
      std::string shortName = hiddenFolder || folderInUse ? DisplayShortName(entry) : "";
      if (live && entries_) Record(entry, at, name, shortName);
      if (!hiddenFolder) continue;
      HiddenFolder folder = PlaceOf(layout_, extents_, at);
      folder.shortName = std::move(shortName);
      folder.longName = deleted ? "" : std::move(name.text);
      folder.attribute = attribute;
      folder.deleted = deleted;
      folder.afterEnd = ended_;
      if (!deleted && IsWindowsOwnFolder(folder.Name())) {
        findings_.leftAlone.push_back({std::move(folder), LeftAloneReason::kWindowsFolder, 0});
        continue;
      }
      findings_.hidden.push_back(std::move(folder));
      if (restored_) {
        restored_->push_back(RestoredEntry::Of(at, entry));
        entry[kAttributeOffset] = RestoredAttribute(attribute);
      }
    }
    return std::nullopt;
  }

 private:
  // A file or folder in use at root offset `at`, for the leftovers' rules; a folder's short name
  // as it is shown is `shortName`.
  void Record(std::span<const std::uint8_t> entry, std::int64_t at, const LongName& name,
              const std::string& shortName) {
    const std::uint8_t attribute = entry[kAttributeOffset];
    if (attribute & kAttrDirectory) {
      entries_->AddFolder(shortName, name.text);
      return;
    }
    const HiddenFolder place = PlaceOf(layout_, extents_, at);
    RootFile file;
    file.offset = name.entries > 0 ? name.first : at;
    file.entryCount = name.entries + 1;
    file.sector = place.sector;
    file.index = place.index;
    file.shortName = ShownShortName(entry);
    file.longName = name.text;
    file.attributes = attribute;
    file.firstCluster = FirstCluster(entry);
    file.size = file.validSize = Read32(entry, kFileSizeOffset);
    entries_->AddFile(std::move(file));
  }

  // The first cluster that an entry names; only FAT32 keeps its high half.
  std::uint32_t FirstCluster(std::span<const std::uint8_t> entry) const {
    const std::uint32_t high =
        layout_.fileSystem == FileSystem::kFat32 ? Read16(entry, kFirstClusterHighOffset) : 0;
    return (high << 16 | Read16(entry, kFirstClusterLowOffset)) & kClusterMask;
  }

  // A root whose chain runs into the clusters of a file or folder that the root itself lists is
  // cross-linked: rewriting the root would rewrite that file's data. A fixed root has no chain.
  std::optional<Problem> CrossLink(std::span<const std::uint8_t> entry) const {
    const std::uint8_t lead = entry[kNameOffset];
    if (ended_ || !layout_.RootHasChain() || lead == kDeletedEntry ||
        (entry[kAttributeOffset] & kAttrVolumeId)) {  // also long names
      return std::nullopt;
    }
    const std::uint32_t first = FirstCluster(entry);
    if (!rootClusters_.Contains(first)) return std::nullopt;
    return DamagedChain({DetailKind::kNamedCrossLink, 0, first, DisplayShortName(entry)});
  }

  const VolumeLayout& layout_;
  const std::vector<RootExtent> extents_;
  const RootClusterSet rootClusters_;
  RootFindings& findings_;
  std::vector<RestoredEntry>* restored_;
  RootEntries* entries_;
  LongNameCollector longName_;
  bool ended_ = false;
};

}  // namespace

std::unique_ptr<RootWalker> MakeFatRootWalker(const VolumeLayout& layout, RootFindings& findings,
                                              std::vector<RestoredEntry>* restored,
                                              RootEntries* entries) {
  return std::make_unique<FatWalker>(layout, findings, restored, entries);
}

std::uint8_t ShortNameChecksum(const std::uint8_t* name11) {
  std::uint8_t sum = 0;
  for (std::size_t i = 0; i < kNameLength + kExtensionLength; ++i) {
    sum = static_cast<std::uint8_t>(((sum & 1) << 7) + (sum >> 1) + name11[i]);
  }
  return sum;
}

std::string DisplayShortName(std::span<const std::uint8_t> entry) {
  auto part = [&](std::size_t offset, std::size_t size) {
    static_assert(kNameLength >= kExtensionLength);
    std::array<char, kNameLength> bytes{};
    std::size_t end = size;
    while (end > 0 && entry[offset + end - 1] == ' ') --end;
    for (std::size_t i = 0; i < end; ++i) {
      char c = static_cast<char>(entry[offset + i]);
      // A deleted entry has lost its first byte. A name that really starts with 0xE5 (a GBK lead
      // byte) is stored with 0x05 in its place.
      if (offset == kNameOffset && i == 0 && c == static_cast<char>(kDeletedEntry)) c = '?';
      if (offset == kNameOffset && i == 0 && c == static_cast<char>(kEscapedE5)) {
        c = static_cast<char>(kDeletedEntry);
      }
      bytes[i] = static_cast<unsigned char>(c) < 0x20 || c == 0x7F ? '?' : c;
    }
    return Cp936ToUtf8(std::string_view(bytes.data(), end));
  };
  std::string name = part(kNameOffset, kNameLength);
  const std::string extension = part(kExtensionOffset, kExtensionLength);
  if (!extension.empty()) name.append(".").append(extension);
  return name;
}

}  // namespace kestrova::repair
