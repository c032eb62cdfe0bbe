// SPDX-License-Identifier: GPL-3.0-or-later
// The Shell Link binary format, as far as it tells what a shortcut runs.
#include "format/shell_link.h"

#include <algorithm>
#include <array>
#include <utility>

#include "format/codepage.h"

namespace kestrova::repair {
namespace {

// The header.
constexpr std::size_t kHeaderSize = 0x4C;
constexpr std::array<std::uint8_t, 16> kLinkClsid = {
    0x01, 0x14, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00, 0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46};
constexpr std::size_t kClsidOffset = 4;
constexpr std::size_t kFlagsOffset = 0x14;
constexpr std::uint32_t kHasIdList = 0x01;
constexpr std::uint32_t kHasLinkInfo = 0x02;
constexpr std::uint32_t kIsUnicode = 0x80;
// The string data that follow the LinkInfo, in this order, each when its flag is set.
constexpr std::uint32_t kHasName = 0x04;
constexpr std::uint32_t kHasRelativePath = 0x08;
constexpr std::uint32_t kHasWorkingDirectory = 0x10;
constexpr std::uint32_t kHasArguments = 0x20;
constexpr std::uint32_t kHasIconLocation = 0x40;

// The ID list's items: a size that counts itself, then a class type.
constexpr std::size_t kItemTypeOffset = 2;
constexpr std::uint8_t kTypeGroupMask = 0x70;
constexpr std::uint8_t kVolumeGroup = 0x20;     // "C:\" after the type
constexpr std::uint8_t kFileEntryGroup = 0x30;  // a folder or a file
constexpr std::uint8_t kRootFolderType = 0x1F;  // My Computer and the like: no part of the path
constexpr std::uint8_t kUnicodeFileEntry = 0x04;
constexpr std::size_t kVolumeNameOffset = 3;
constexpr std::size_t kFileEntryNameOffset = 14;
// A file entry's extension block with its long name: a size, a version and this signature.
constexpr std::uint32_t kFileEntryExtension = 0xBEEF0004;
constexpr std::size_t kExtensionHeader = 8;

// LinkInfo.
constexpr std::size_t kLinkInfoMinHeader = 0x1C;
constexpr std::size_t kLinkInfoUnicodeHeader = 0x24;
constexpr std::uint32_t kVolumeIdAndLocalPath = 0x01;
constexpr std::size_t kVolumeIdMinSize = 0x10;
constexpr std::size_t kDriveTypeOffset = 4;
constexpr std::size_t kDriveSerialOffset = 8;

// The environment-variables block of the extra data: ANSI and Unicode targets.
constexpr std::uint32_t kEnvironmentBlock = 0xA0000001;
constexpr std::size_t kEnvironmentBlockSize = 0x314;
constexpr std::size_t kEnvironmentAnsiOffset = 8;
constexpr std::size_t kEnvironmentUnicodeOffset = 268;
constexpr std::size_t kEnvironmentAnsiBytes = 260;
constexpr std::size_t kEnvironmentUnicodeBytes = 520;

// Bounds-checked little-endian reads of a span; a read past its end gives nothing.
class Bytes {
 public:
  explicit Bytes(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}
  std::size_t size() const { return bytes_.size(); }
  bool Has(std::size_t offset, std::size_t length) const {
    return offset <= bytes_.size() && length <= bytes_.size() - offset;
  }
  std::optional<std::uint32_t> Le(std::size_t offset, std::size_t length) const {
    if (!Has(offset, length)) return std::nullopt;
    std::uint32_t value = 0;
    for (std::size_t i = length; i-- > 0;) value = value << 8 | bytes_[offset + i];
    return value;
  }
  // The part from `offset` of `length` bytes, or nothing when it does not fit.
  std::optional<Bytes> Part(std::size_t offset, std::size_t length) const {
    if (!Has(offset, length)) return std::nullopt;
    return Bytes(bytes_.subspan(offset, length));
  }
  // Text up to its NUL (which must be there) from `offset`: ANSI (code page 936) or UTF-16.
  // `end`, when given, is set to the offset after the NUL.
  std::optional<std::string> Terminated(std::size_t offset, bool unicode,
                                        std::size_t* end = nullptr) const {
    const std::size_t unit = unicode ? 2 : 1;
    for (std::size_t at = offset; Has(at, unit); at += unit) {
      if (Le(at, unit) != 0u) continue;
      if (end) *end = at + unit;
      return Text(offset, (at - offset) / unit, unicode);
    }
    return std::nullopt;
  }
  // `count` characters from `offset`.
  std::string Text(std::size_t offset, std::size_t count, bool unicode) const {
    if (!unicode) {
      return Cp936ToUtf8({reinterpret_cast<const char*>(bytes_.data() + offset), count});
    }
    std::u16string text(count, u'\0');
    for (std::size_t i = 0; i < count; ++i) {
      text[i] = static_cast<char16_t>(bytes_[offset + 2 * i] | bytes_[offset + 2 * i + 1] << 8);
    }
    return Utf16ToUtf8(text);
  }

 private:
  std::span<const std::uint8_t> bytes_;
};

// The long name in a file entry's extension block, where its version puts it.
std::optional<std::string> LongName(const Bytes& block) {
  const auto version = block.Le(2, 2);
  if (!version || *version < 3) return std::nullopt;
  const std::size_t at = *version < 7 ? 20 : *version == 7 ? 38 : *version == 8 ? 42 : 46;
  return block.Terminated(at, true);
}

// One file entry's name: the extension block's long name, else the primary name.
std::optional<std::string> FileEntryName(const Bytes& item) {
  const bool unicode = item.Le(kItemTypeOffset, 1).value_or(0) & kUnicodeFileEntry;
  std::size_t at = 0;
  const auto primary = item.Terminated(kFileEntryNameOffset, unicode, &at);
  if (!primary) return std::nullopt;
  at += at % 2;  // the extension block follows the primary name at an even offset
  const auto size = item.Le(at, 2);
  if (size && *size >= kExtensionHeader && item.Le(at + 4, 4) == kFileEntryExtension) {
    if (const auto block = item.Part(at, *size)) {
      if (auto name = LongName(*block); name && !name->empty()) return name;
    }
  }
  return primary;
}

// The path that the ID list's items name, or empty when an item is of a kind that no path names.
// Nothing when the list does not fit its size.
std::optional<std::string> IdListPath(const Bytes& list) {
  std::string path;
  bool named = true;
  std::size_t at = 0;
  for (;;) {
    const auto size = list.Le(at, 2);
    if (!size) return std::nullopt;
    if (*size == 0) break;  // the terminal item
    const auto item = list.Part(at, *size);
    if (!item || *size <= kItemTypeOffset) return std::nullopt;
    at += *size;
    const auto type = static_cast<std::uint8_t>(*item->Le(kItemTypeOffset, 1));
    if (type == kRootFolderType || !named) continue;
    std::optional<std::string> part;
    if ((type & kTypeGroupMask) == kVolumeGroup) part = item->Terminated(kVolumeNameOffset, false);
    if ((type & kTypeGroupMask) == kFileEntryGroup) part = FileEntryName(*item);
    if (!part || part->empty()) {
      named = false;
      continue;
    }
    if (!path.empty() && path.back() != '\\') path += '\\';
    path += *part;
  }
  return named ? path : std::string();
}

// The LinkInfo's local path and the serial number of its volume. Nothing when it does not fit.
std::optional<std::string> LocalPath(const Bytes& info, std::optional<std::uint32_t>& serial,
                                     std::optional<std::uint32_t>& driveType) {
  const auto headerSize = info.Le(4, 4);
  const auto flags = info.Le(8, 4);
  if (!headerSize || !flags || *headerSize < kLinkInfoMinHeader || *headerSize > info.size()) {
    return std::nullopt;
  }
  if (!(*flags & kVolumeIdAndLocalPath)) return std::string();
  const auto volumeAt = info.Le(12, 4);
  const auto volumeSize = volumeAt ? info.Le(*volumeAt, 4) : std::nullopt;
  if (!volumeSize || *volumeSize < kVolumeIdMinSize || !info.Has(*volumeAt, *volumeSize)) {
    return std::nullopt;
  }
  serial = info.Le(*volumeAt + kDriveSerialOffset, 4);
  driveType = info.Le(*volumeAt + kDriveTypeOffset, 4);
  // The Unicode fields, when the header has them and they are set, else the ANSI ones.
  const bool unicode = *headerSize >= kLinkInfoUnicodeHeader && info.Le(0x1C, 4).value_or(0) != 0;
  const auto base = info.Terminated(*info.Le(unicode ? 0x1C : 16, 4), unicode);
  const auto suffixAt = unicode ? info.Le(0x20, 4) : info.Le(24, 4);
  const auto suffix =
      suffixAt && *suffixAt != 0 ? info.Terminated(*suffixAt, unicode) : std::string();
  if (!base || !suffix) return std::nullopt;
  return *base + *suffix;
}

// The environment-variables block's target, when the extra data from `at` hold one. The extra
// data are read as far as their blocks fit.
std::string EnvironmentPath(const Bytes& bytes, std::size_t at) {
  for (;;) {
    const auto size = bytes.Le(at, 4);
    if (!size || *size < 8 || !bytes.Has(at, *size)) return {};
    if (bytes.Le(at + 4, 4) == kEnvironmentBlock && *size >= kEnvironmentBlockSize) {
      const Bytes block = *bytes.Part(at, *size);
      auto path = block.Part(kEnvironmentUnicodeOffset, kEnvironmentUnicodeBytes)
                      ->Terminated(0, true)
                      .value_or(std::string());
      if (path.empty()) {
        path = block.Part(kEnvironmentAnsiOffset, kEnvironmentAnsiBytes)
                   ->Terminated(0, false)
                   .value_or(std::string());
      }
      return path;
    }
    at += *size;
  }
}

}  // namespace

const std::string& ShellLink::Target() const {
  for (const std::string* path : {&localPath, &idListPath, &environmentPath}) {
    if (!path->empty()) return *path;
  }
  return relativePath;
}

std::string ShellLink::Command() const {
  return arguments.empty() ? Target() : Target() + " " + arguments;
}

std::optional<ShellLink> ParseShellLink(std::span<const std::uint8_t> data) {
  const Bytes bytes(data);
  if (bytes.Le(0, 4) != kHeaderSize || !bytes.Has(0, kHeaderSize) ||
      !std::equal(kLinkClsid.begin(), kLinkClsid.end(), data.begin() + kClsidOffset)) {
    return std::nullopt;
  }
  const std::uint32_t flags = *bytes.Le(kFlagsOffset, 4);
  ShellLink link;
  std::size_t at = kHeaderSize;
  if (flags & kHasIdList) {
    const auto size = bytes.Le(at, 2);
    const auto list = size ? bytes.Part(at + 2, *size) : std::nullopt;
    if (!list) return std::nullopt;
    auto path = IdListPath(*list);
    if (!path) return std::nullopt;
    link.idListPath = std::move(*path);
    at += 2 + *size;
  }
  if (flags & kHasLinkInfo) {
    const auto size = bytes.Le(at, 4);
    const auto info = size ? bytes.Part(at, *size) : std::nullopt;
    auto path = info ? LocalPath(*info, link.driveSerial, link.driveType) : std::nullopt;
    if (!path) return std::nullopt;
    link.localPath = std::move(*path);
    at += *size;
  }
  const bool unicode = flags & kIsUnicode;
  for (const auto& [flag, field] :
       {std::pair{kHasName, &link.name}, std::pair{kHasRelativePath, &link.relativePath},
        std::pair{kHasWorkingDirectory, &link.workingDirectory},
        std::pair{kHasArguments, &link.arguments},
        std::pair{kHasIconLocation, &link.iconLocation}}) {
    if (!(flags & flag)) continue;
    const auto count = bytes.Le(at, 2);
    const std::size_t length = count ? *count * (unicode ? 2u : 1u) : 0;
    if (!count || !bytes.Has(at + 2, length)) return std::nullopt;
    *field = bytes.Text(at + 2, *count, unicode);
    at += 2 + length;
  }
  link.environmentPath = EnvironmentPath(bytes, at);
  return link;
}

}  // namespace kestrova::repair
