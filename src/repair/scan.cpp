#include "repair/scan.h"

#include <array>
#include <span>

#include "repair/codepage.h"
#include "repair/engine.h"
#include "repair/entries.h"
#include "repair/fat32.h"

namespace kestrova::repair {
namespace {

using namespace fat32;

constexpr std::size_t kMaxLongEntries = 20;  // 255 characters / 13 per entry
constexpr char16_t kLongNameEnd = 0x0000;
constexpr char16_t kLongNamePad = 0xFFFF;

void AppendUtf8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | c >> 6);
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | c >> 12);
    out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | c >> 18);
    out += static_cast<char>(0x80 | (c >> 12 & 0x3F));
    out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

std::string Utf16ToUtf8(const std::u16string& text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    char32_t c = text[i];
    const bool high = c >= 0xD800 && c <= 0xDBFF;
    if (high && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (text[++i] - 0xDC00);
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      c = 0xFFFD;
    }
    AppendUtf8(out, c);
  }
  return out;
}

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

}  // namespace

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

std::vector<HiddenFolder> ListHiddenFolders(const VolumeLayout& layout) {
  std::vector<HiddenFolder> found;
  const auto root = layout.root.bytes();
  const std::int64_t clusterBytes = layout.ClusterBytes();
  if (clusterBytes <= 0) return found;
  LongNameCollector longName;
  bool ended = false;
  for (std::size_t offset = 0; offset + kDirEntrySize <= root.size(); offset += kDirEntrySize) {
    const auto entry = root.subspan(offset, kDirEntrySize);
    const std::uint8_t lead = entry[kNameOffset];
    if (lead == kEndOfDirectory) ended = true;
    if (entry[kAttributeOffset] == kAttrLongName && lead != kDeletedEntry) {
      longName.Add(entry);
      continue;
    }
    if (!IsHiddenFolderEntry(entry)) {
      longName.Reset();
      continue;
    }
    std::string name = longName.Take(entry);
    const auto at = static_cast<std::int64_t>(offset);
    const std::size_t cluster = static_cast<std::size_t>(at / clusterBytes);
    const auto first = ClusterFirstSector(layout, layout.rootClusters.at(cluster));
    const std::int64_t sector = (first ? *first : 0) + at % clusterBytes / volume::kSectorSize;
    const int index = static_cast<int>(at % volume::kSectorSize / kDirEntrySize);
    const bool deleted = lead == kDeletedEntry;
    found.push_back({sector, index, DisplayShortName(entry), deleted ? "" : name,
                     entry[kAttributeOffset], deleted, ended});
  }
  return found;
}

}  // namespace kestrova::repair
