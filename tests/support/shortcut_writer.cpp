// SPDX-License-Identifier: GPL-3.0-or-later
#include "shortcut_writer.h"

#include <algorithm>

namespace kestrova::testing {
namespace {

using Bytes = std::vector<std::uint8_t>;

void Put(Bytes& bytes, std::uint64_t value, std::size_t size) {
  for (std::size_t i = 0; i < size; ++i) bytes.push_back(static_cast<std::uint8_t>(value >> 8 * i));
}

void Append(Bytes& bytes, const Bytes& more) {
  bytes.insert(bytes.end(), more.begin(), more.end());
}

std::u16string Utf16(const std::string& text) {
  std::u16string out;
  for (std::size_t i = 0; i < text.size();) {
    const auto c = static_cast<unsigned char>(text[i]);
    const std::size_t length = c < 0x80 ? 1 : c < 0xE0 ? 2 : 3;
    char16_t unit = length == 1 ? c : length == 2 ? c & 0x1F : c & 0x0F;
    for (std::size_t k = 1; k < length && i + k < text.size(); ++k) {
      unit = static_cast<char16_t>(unit << 6 | (text[i + k] & 0x3F));
    }
    out += unit;
    i += length;
  }
  return out;
}

// Text with its NUL: ANSI bytes (the tests write ASCII there), or UTF-16.
Bytes Terminated(const std::string& text, bool unicode) {
  Bytes bytes;
  if (!unicode) {
    bytes.assign(text.begin(), text.end());
    bytes.push_back(0);
    return bytes;
  }
  for (const char16_t unit : Utf16(text)) Put(bytes, unit, 2);
  Put(bytes, 0, 2);
  return bytes;
}

// An item of the ID list: its size, counting itself, then its bytes.
Bytes Item(const Bytes& body) {
  Bytes item;
  Put(item, body.size() + 2, 2);
  Append(item, body);
  return item;
}

// A file entry (a folder, or the file `last`): type, size, time, attributes, the primary name and
// the extension block of version 9 with the long name, as Windows 10 writes them.
Bytes FileEntry(const std::string& name, bool file) {
  Bytes body = {static_cast<std::uint8_t>(file ? 0x32 : 0x31), 0};
  Put(body, 0, 4);                   // file size
  Put(body, 0x5A215B3C, 4);          // modification time
  Put(body, file ? 0x20 : 0x10, 2);  // archive, or directory
  // The primary name is the short name, in ANSI: the tests give it for names beyond ASCII.
  const bool ascii = std::all_of(name.begin(), name.end(), [](char c) { return c > 0; });
  const auto dot = name.rfind('.');
  const std::string suffix = dot == std::string::npos ? "" : name.substr(dot);
  Append(body, Terminated(ascii ? name : "ITEM~1" + suffix, false));
  if (body.size() % 2) body.push_back(0);
  const std::size_t extensionAt = body.size() + 2;  // counted from the item's size field
  Bytes extension;
  Put(extension, 9, 2);           // version
  Put(extension, 0xBEEF0004, 4);  // signature
  Put(extension, 0x5A215B3C, 4);  // creation time
  Put(extension, 0x5A215B3C, 4);  // access time
  Put(extension, 0x2E, 2);        // identifier
  Put(extension, 0, 2);
  Put(extension, 0x0001000000001234ull, 8);  // the NTFS file reference
  Put(extension, 0, 8);
  Put(extension, 0, 2);  // no localized name
  Put(extension, 0, 4);
  Put(extension, 0, 4);
  Append(extension, Terminated(name, true));
  Put(extension, extensionAt, 2);
  Put(body, extension.size() + 2, 2);
  Append(body, extension);
  return Item(body);
}

Bytes IdList(const std::vector<std::string>& parts) {
  // My Computer, then the volume, then the file entries.
  Bytes items = Item({0x1F, 0x50, 0xE0, 0x4F, 0xD0, 0x20, 0xEA, 0x3A, 0x69, 0x10, 0xA2, 0xD8, 0x08,
                      0x00, 0x2B, 0x30, 0x30, 0x9D});
  Bytes volume = {0x2F};
  Append(volume, Terminated(parts.front(), false));
  volume.resize(23, 0);
  Append(items, Item(volume));
  for (std::size_t i = 1; i < parts.size(); ++i) {
    Append(items, FileEntry(parts[i], i + 1 == parts.size()));
  }
  Put(items, 0, 2);  // the terminal item
  Bytes list;
  Put(list, items.size(), 2);
  Append(list, items);
  return list;
}

Bytes LinkInfo(const Shortcut& shortcut) {
  const std::size_t header = shortcut.unicodeLocalPath ? 0x24 : 0x1C;
  Bytes volume;
  Put(volume, 0x11, 4);
  Put(volume, shortcut.driveType, 4);
  Put(volume, shortcut.driveSerial, 4);
  Put(volume, 0x10, 4);  // the label, empty, right after
  volume.push_back(0);
  const Bytes base = Terminated(shortcut.localPath, false);
  const Bytes suffix = {0};
  const std::size_t baseAt = header + volume.size();
  const std::size_t suffixAt = baseAt + base.size();
  const Bytes unicodeBase = Terminated(shortcut.localPath, true);
  const std::size_t unicodeBaseAt = suffixAt + suffix.size();
  const std::size_t unicodeSuffixAt = unicodeBaseAt + unicodeBase.size();
  const std::size_t size = shortcut.unicodeLocalPath ? unicodeSuffixAt + 2 : suffixAt + 1;
  Bytes info;
  Put(info, size, 4);
  Put(info, header, 4);
  Put(info, 1, 4);  // a volume and a local path
  Put(info, header, 4);
  Put(info, baseAt, 4);
  Put(info, 0, 4);  // no network path
  Put(info, suffixAt, 4);
  if (shortcut.unicodeLocalPath) {
    Put(info, unicodeBaseAt, 4);
    Put(info, unicodeSuffixAt, 4);
  }
  Append(info, volume);
  Append(info, base);
  Append(info, suffix);
  if (shortcut.unicodeLocalPath) {
    Append(info, unicodeBase);
    Put(info, 0, 2);
  }
  return info;
}

}  // namespace

std::vector<std::uint8_t> ShortcutBytes(const Shortcut& shortcut) {
  const std::string* strings[] = {&shortcut.name, &shortcut.relativePath,
                                  &shortcut.workingDirectory, &shortcut.arguments,
                                  &shortcut.iconLocation};
  std::uint32_t flags = shortcut.unicode ? 0x80 : 0;
  if (!shortcut.idList.empty()) flags |= 0x01;
  if (!shortcut.localPath.empty()) flags |= 0x02;
  for (std::size_t i = 0; i < std::size(strings); ++i) {
    if (!strings[i]->empty()) flags |= 0x04u << i;
  }
  Bytes bytes;
  Put(bytes, 0x4C, 4);
  Append(bytes, {0x01, 0x14, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00, 0xC0, 0x00, 0x00, 0x00, 0x00, 0x00,
                 0x00, 0x46});
  Put(bytes, flags, 4);
  Put(bytes, 0x20, 4);    // the target's attributes: archive
  bytes.resize(0x3C, 0);  // times, file size, icon index
  Put(bytes, 1, 4);       // shown normally
  bytes.resize(0x4C, 0);  // hot key and reserved
  if (!shortcut.idList.empty()) Append(bytes, IdList(shortcut.idList));
  if (!shortcut.localPath.empty()) Append(bytes, LinkInfo(shortcut));
  for (const std::string* text : strings) {
    if (text->empty()) continue;
    const std::u16string units = Utf16(*text);
    Put(bytes, shortcut.unicode ? units.size() : text->size(), 2);
    if (shortcut.unicode) {
      for (const char16_t unit : units) Put(bytes, unit, 2);
    } else {
      Append(bytes, Bytes(text->begin(), text->end()));
    }
  }
  if (!shortcut.environmentPath.empty()) {
    Bytes block;
    Put(block, 0x314, 4);
    Put(block, 0xA0000001, 4);
    Bytes ansi = Terminated(shortcut.environmentPath, false);
    ansi.resize(260, 0);
    Bytes wide = Terminated(shortcut.environmentPath, true);
    wide.resize(520, 0);
    Append(block, ansi);
    Append(block, wide);
    Append(bytes, block);
  }
  Put(bytes, 0, 4);  // the terminal block
  return bytes;
}

}  // namespace kestrova::testing
