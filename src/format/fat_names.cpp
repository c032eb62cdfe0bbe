// SPDX-License-Identifier: GPL-3.0-or-later
#include "format/fat_names.h"

#include <algorithm>

namespace kestrova::repair {

using namespace fat;

std::string FatLabelText(std::span<const std::uint8_t> boot, std::size_t offset) {
  std::string label(reinterpret_cast<const char*>(&boot[offset]), fat::kVolumeLabelLength);
  for (char& c : label) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '?';
  }
  while (!label.empty() && label.back() == ' ') label.pop_back();
  return label == fat::kNoVolumeLabel ? std::string() : Cp936ToUtf8(label);
}

RootFile DecodeFatFile(FileSystem fileSystem, std::span<const std::uint8_t> entry, std::int64_t at,
                       LongName name, const std::string* shortName) {
  RootFile file;
  file.offset = name.entries > 0 ? name.first : at;
  file.entryCount = name.entries + 1;
  file.main = at;
  // The case flags only lower capitals: applied to a name they were applied to, they change
  // nothing.
  file.shortName = shortName ? WithShortNameCase(*shortName, entry) : ShownShortName(entry);
  file.longName = std::move(name.text);
  file.attributes = entry[kAttributeOffset];
  file.firstCluster = EntryFirstCluster(fileSystem, entry);
  file.size = file.validSize = Read32(entry, kFileSizeOffset);
  return file;
}

std::string ShownShortName(std::span<const std::uint8_t> entry) {
  return WithShortNameCase(DisplayShortName(entry), entry);
}

std::string WithShortNameCase(std::string name, std::span<const std::uint8_t> entry) {
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

std::uint8_t ShortNameChecksum(const std::uint8_t* name11) {
  std::uint8_t sum = 0;
  for (std::size_t i = 0; i < kNameLength + kExtensionLength; ++i) {
    sum = static_cast<std::uint8_t>(((sum & 1) << 7) + (sum >> 1) + name11[i]);
  }
  return sum;
}

std::string DisplayShortName(std::span<const std::uint8_t> entry) {
  // A name of no-break spaces written by a tool that kept only the short name: byte 0xFF (code
  // page 437's no-break space) or 0xA0 (the ANSI code pages'), which code page 936 cannot read.
  const auto name11 = entry.subspan(kNameOffset, kNameLength + kExtensionLength);
  const auto end =
      std::find_if(name11.rbegin(), name11.rend(), [](std::uint8_t b) { return b != kBlank; });
  const auto used = static_cast<std::size_t>(name11.rend() - end);
  if (used > 0 && used <= kNameLength &&
      std::all_of(name11.begin(), name11.begin() + static_cast<std::ptrdiff_t>(used),
                  [](std::uint8_t b) { return b == kNoBreakSpace437 || b == kNoBreakSpaceAnsi; })) {
    std::string blank;
    for (std::size_t i = 0; i < used; ++i) blank += "\u00A0";
    return blank;
  }
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
