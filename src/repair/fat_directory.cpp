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
#include "repair/problems.h"

namespace kestrova::repair {
namespace {

using namespace fat;

constexpr std::size_t kMaxLongEntries = 20;  // 255 characters / 13 per entry
constexpr char16_t kLongNameEnd = 0x0000;
constexpr char16_t kLongNamePad = 0xFFFF;

// Gathers the long-name entries in front of a short entry.
class LongNameCollector {
 public:
  void Add(std::span<const std::uint8_t> entry) {
    const std::uint8_t ordinalByte = entry[kLongOrdinalOffset];
    const std::size_t ordinal = ordinalByte & kLongOrdinalMask;
    if (ordinal == 0 || ordinal > kMaxLongEntries) return Reset();
    if (ordinalByte & kLastLongEntry) {
      Reset();
      count_ = ordinal;
      checksum_ = entry[kLongChecksumOffset];
      expected_ = ordinal;
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

  // The long name that belongs to this short entry, or empty.
  std::string Take(std::span<const std::uint8_t> shortEntry) {
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
    Reset();
    return Utf16ToUtf8(text);
  }

  void Reset() { count_ = expected_ = 0; }

 private:
  std::array<std::array<char16_t, kLongCharsPerEntry>, kMaxLongEntries> parts_{};
  std::size_t count_ = 0;
  std::size_t expected_ = 0;
  std::uint8_t checksum_ = 0;
};

class FatWalker final : public RootWalker {
 public:
  FatWalker(const VolumeLayout& layout, RootFindings& findings, std::vector<std::int64_t>* restored)
      : layout_(layout),
        extents_(RootExtents(layout)),
        rootClusters_(layout),
        findings_(findings),
        restored_(restored) {}

  // Every 32-byte slot is visited, also after the end-of-directory mark.
  std::optional<Problem> Look(std::span<std::uint8_t> window, std::int64_t offset, bool,
                              std::size_t& done) override {
    for (done = 0; done + kDirEntrySize <= window.size(); done += kDirEntrySize) {
      const auto entry = window.subspan(done, kDirEntrySize);
      const std::uint8_t lead = entry[kNameOffset];
      const std::uint8_t attribute = entry[kAttributeOffset];
      if (lead == kEndOfDirectory) ended_ = true;
      if (auto problem = CrossLink(entry)) return problem;
      if (attribute == kAttrLongName && lead != kDeletedEntry) {
        longName_.Add(entry);
        continue;
      }
      if (!IsHiddenFolderEntry(entry)) {
        longName_.Reset();
        continue;
      }
      std::string name = longName_.Take(entry);
      const bool deleted = lead == kDeletedEntry;
      HiddenFolder folder = PlaceOf(layout_, extents_, offset + static_cast<std::int64_t>(done));
      folder.shortName = DisplayShortName(entry);
      folder.longName = deleted ? "" : std::move(name);
      folder.attribute = attribute;
      folder.deleted = deleted;
      folder.afterEnd = ended_;
      if (!deleted && IsWindowsOwnFolder(folder.Name())) {
        findings_.leftAlone.push_back({std::move(folder), LeftAloneReason::kWindowsFolder, 0});
        continue;
      }
      findings_.hidden.push_back(std::move(folder));
      if (restored_) {
        entry[kAttributeOffset] = RestoredAttribute(attribute);
        restored_->push_back(offset + static_cast<std::int64_t>(done));
      }
    }
    return std::nullopt;
  }

 private:
  // A root whose chain runs into the clusters of a file or folder that the root itself lists is
  // cross-linked: rewriting the root would rewrite that file's data. A fixed root has no chain.
  std::optional<Problem> CrossLink(std::span<const std::uint8_t> entry) const {
    const std::uint8_t lead = entry[kNameOffset];
    if (ended_ || !layout_.RootHasChain() || lead == kDeletedEntry ||
        (entry[kAttributeOffset] & kAttrVolumeId)) {  // also long names
      return std::nullopt;
    }
    const std::uint32_t first =
        (static_cast<std::uint32_t>(Read16(entry, kFirstClusterHighOffset)) << 16 |
         Read16(entry, kFirstClusterLowOffset)) &
        kClusterMask;
    if (!rootClusters_.Contains(first)) return std::nullopt;
    return DamagedChain({DetailKind::kNamedCrossLink, 0, first, DisplayShortName(entry)});
  }

  const VolumeLayout& layout_;
  const std::vector<RootExtent> extents_;
  const RootClusterSet rootClusters_;
  RootFindings& findings_;
  std::vector<std::int64_t>* restored_;
  LongNameCollector longName_;
  bool ended_ = false;
};

}  // namespace

std::unique_ptr<RootWalker> MakeFatRootWalker(const VolumeLayout& layout, RootFindings& findings,
                                              std::vector<std::int64_t>* restored) {
  return std::make_unique<FatWalker>(layout, findings, restored);
}

std::uint8_t ShortNameChecksum(const std::uint8_t* name11) {
  std::uint8_t sum = 0;
  for (std::size_t i = 0; i < kNameLength + kExtensionLength; ++i) {
    sum = static_cast<std::uint8_t>(((sum & 1) << 7) + (sum >> 1) + name11[i]);
  }
  return sum;
}

std::string DisplayShortName(std::span<const std::uint8_t> entry) {
  auto part = [&](std::size_t offset, std::size_t length) {
    std::string bytes(reinterpret_cast<const char*>(&entry[offset]), length);
    // A deleted entry has lost its first byte. A name that really starts with 0xE5 (a GBK lead
    // byte) is stored with 0x05 in its place.
    if (offset == kNameOffset && bytes[0] == static_cast<char>(kDeletedEntry)) bytes[0] = '?';
    if (offset == kNameOffset && bytes[0] == static_cast<char>(kEscapedE5)) {
      bytes[0] = static_cast<char>(kDeletedEntry);
    }
    for (char& c : bytes) {
      if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '?';
    }
    while (!bytes.empty() && bytes.back() == ' ') bytes.pop_back();
    return Cp936ToUtf8(bytes);
  };
  const std::string name = part(kNameOffset, kNameLength);
  const std::string extension = part(kExtensionOffset, kExtensionLength);
  return extension.empty() ? name : name + "." + extension;
}

}  // namespace kestrova::repair
