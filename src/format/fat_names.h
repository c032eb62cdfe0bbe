// SPDX-License-Identifier: GPL-3.0-or-later
// The names of FAT12, FAT16 and FAT32 directory entries, as the root's walker and the folder
// listing read them: long names gathered in front of a short entry, short names as shown, and the
// volume label's text.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "format/codepage.h"
#include "format/entry_format.h"
#include "format/fat.h"
#include "format/geometry.h"

namespace kestrova::repair {

// The 8.3 name of a FAT directory entry, as the user would read it.
std::string DisplayShortName(std::span<const std::uint8_t> entry);

// The long-name checksum of an 11-byte short name.
std::uint8_t ShortNameChecksum(const std::uint8_t* name11);

inline constexpr std::size_t kMaxLongEntries = 20;  // 255 characters / 13 per entry
inline constexpr char16_t kLongNameEnd = 0x0000;
inline constexpr char16_t kLongNamePad = 0xFFFF;

// A long name and where its entries begin in the directory.
struct LongName {
  std::string text;
  int entries = 0;
  std::int64_t first = 0;
};

// Gathers the long-name entries in front of a short entry.
class LongNameCollector {
 public:
  // The entry at directory offset `offset`.
  void Add(std::span<const std::uint8_t> entry, std::int64_t offset) {
    using namespace fat;
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
    const bool complete = count_ != 0 && expected_ == 0 &&
                          ShortNameChecksum(&shortEntry[fat::kNameOffset]) == checksum_;
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
  std::array<std::array<char16_t, fat::kLongCharsPerEntry>, kMaxLongEntries> parts_{};
  std::size_t count_ = 0;
  std::size_t expected_ = 0;
  std::uint8_t checksum_ = 0;
  std::int64_t first_ = 0;
};

// The file or folder of the short entry `entry` at directory offset `at`, with `name`, the long
// name gathered in front of it: all of it but where it lies (sector, index), which the reader of
// the directory knows. `shortName`, when given, is the entry's DisplayShortName or ShownShortName
// already decoded, which is then not decoded again.
RootFile DecodeFatFile(FileSystem fileSystem, std::span<const std::uint8_t> entry, std::int64_t at,
                       LongName name, const std::string* shortName = nullptr);

// A file's short name as Windows shows it: in lower case where the entry's case bits say so.
std::string ShownShortName(std::span<const std::uint8_t> entry);
// `name`, an entry's DisplayShortName, with the parts that the entry's case bits mark in lower
// case.
std::string WithShortNameCase(std::string name, std::span<const std::uint8_t> entry);

// The 11-byte label at `offset` of `bytes` (a boot sector, or a FAT root's label entry) as the
// user reads it: trailing blanks removed, the formatters' "NO NAME" as none.
std::string FatLabelText(std::span<const std::uint8_t> bytes, std::size_t offset);

// The first cluster that an entry names; only FAT32 keeps its high half.
inline std::uint32_t EntryFirstCluster(FileSystem fileSystem, std::span<const std::uint8_t> entry) {
  const std::uint32_t high =
      fileSystem == FileSystem::kFat32 ? fat::Read16(entry, fat::kFirstClusterHighOffset) : 0;
  return (high << 16 | fat::Read16(entry, fat::kFirstClusterLowOffset)) & fat::kClusterMask;
}

}  // namespace kestrova::repair
