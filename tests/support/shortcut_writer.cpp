// SPDX-License-Identifier: GPL-3.0-or-later
#include "shortcut_writer.h"

#include <nettle/base64.h>

#include <algorithm>
#include <initializer_list>
#include <utility>

namespace kestrova::testing {
namespace {

using Bytes = std::vector<std::uint8_t>;

// Appends little-endian numbers, each {value, size in bytes}, and bytes.
Bytes& Put(Bytes& bytes, std::initializer_list<std::pair<std::uint64_t, std::size_t>> numbers) {
  for (const auto& [value, size] : numbers) {
    // A field wider than the number is zero-filled past its eight bytes.
    for (std::size_t i = 0; i < size; ++i) {
      bytes.push_back(i < 8 ? static_cast<std::uint8_t>(value >> 8 * i) : std::uint8_t{0});
    }
  }
  return bytes;
}
Bytes& Put(Bytes& bytes, const Bytes& more) {
  bytes.insert(bytes.end(), more.begin(), more.end());
  return bytes;
}

// Text with its NUL: its bytes as ANSI (ASCII in the tests), or UTF-16 from UTF-8 of the BMP.
Bytes Terminated(const std::string& text, bool unicode) {
  Bytes bytes;
  if (!unicode) return Put(Put(bytes, Bytes(text.begin(), text.end())), {{0, 1}});
  for (std::size_t i = 0; i < text.size();) {
    const auto c = static_cast<unsigned char>(text[i]);
    const std::size_t length = c < 0x80 ? 1 : c < 0xE0 ? 2 : 3;
    std::uint32_t unit = length == 1 ? c : c & (length == 2 ? 0x1F : 0x0F);
    for (std::size_t k = 1; k < length; ++k) unit = unit << 6 | (text.at(i + k) & 0x3F);
    Put(bytes, {{unit, 2}});
    i += length;
  }
  return Put(bytes, {{0, 2}});
}

// An item of the ID list: its size, counting itself, then its bytes.
Bytes Item(const Bytes& body) {
  Bytes item;
  return Put(Put(item, {{body.size() + 2, 2}}), body);
}

// A folder's or the file's entry: type, size, time, attributes, the primary (short) name in ANSI,
// and the extension block of version 9 with the long name, as Windows 10 writes them.
Bytes FileEntry(const std::string& name, bool file) {
  const bool ascii = std::all_of(name.begin(), name.end(), [](char c) { return c > 0; });
  const auto dot = name.rfind('.');
  const std::string shortName = ascii ? name : "ITEM~1" + name.substr(std::min(dot, name.size()));
  Bytes body;
  Put(body, {{file ? 0x32 : 0x31, 2}, {0, 4}, {0x5A215B3C, 4}, {file ? 0x20 : 0x10, 2}});
  Put(body, Terminated(shortName, false));
  if (body.size() % 2) body.push_back(0);
  const std::size_t extensionAt = body.size() + 2;  // counted from the item's size field
  Bytes extension;
  // Version, signature, creation and access times, identifier, the NTFS file reference, no
  // localized name.
  Put(extension, {{9, 2},
                  {0xBEEF0004, 4},
                  {0x5A215B3C, 4},
                  {0x5A215B3C, 4},
                  {0x2E, 2},
                  {0, 2},
                  {0x0001000000001234ull, 8},
                  {0, 8},
                  {0, 2},
                  {0, 8}});
  Put(Put(extension, Terminated(name, true)), {{extensionAt, 2}});
  return Item(Put(Put(body, {{extension.size() + 2, 2}}), extension));
}

Bytes IdList(const std::vector<std::string>& parts) {
  // My Computer, then the volume, then the file entries, then the terminal item.
  Bytes items = Item({0x1F, 0x50, 0xE0, 0x4F, 0xD0, 0x20, 0xEA, 0x3A, 0x69, 0x10, 0xA2, 0xD8, 0x08,
                      0x00, 0x2B, 0x30, 0x30, 0x9D});
  Bytes volume = {0x2F};
  Put(volume, Terminated(parts.front(), false));
  volume.resize(23, 0);
  Put(items, Item(volume));
  for (std::size_t i = 1; i < parts.size(); ++i)
    Put(items, FileEntry(parts[i], i + 1 == parts.size()));
  Bytes list;
  return Put(Put(Put(list, {{items.size() + 2, 2}}), items), {{0, 2}});
}

// A LinkInfo with a volume ID and the local path, in ANSI and, asked for, in UTF-16.
Bytes LinkInfo(const Shortcut& shortcut) {
  const bool wide = shortcut.unicodeLocalPath;
  const std::size_t header = wide ? 0x24 : 0x1C;
  Bytes tail;  // what follows the header
  Put(tail, {{0x11, 4}, {shortcut.driveType, 4}, {shortcut.driveSerial, 4}, {0x10, 4}, {0, 1}});
  const std::size_t base = header + tail.size();
  Put(tail, Terminated(shortcut.localPath, false));
  const std::size_t suffix = header + tail.size();
  Put(tail, {{0, 1}});
  const std::size_t wideBase = header + tail.size();
  if (wide) Put(tail, Terminated(shortcut.localPath, true));
  const std::size_t wideSuffix = header + tail.size();
  if (wide) Put(tail, {{0, 2}});
  Bytes info;
  Put(info, {{header + tail.size(), 4},
             {header, 4},
             {1, 4},
             {header, 4},
             {base, 4},
             {0, 4},
             {suffix, 4}});
  if (wide) Put(info, {{wideBase, 4}, {wideSuffix, 4}});
  return Put(info, tail);
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
  // The header: its size, the class identifier, the flags, the target's attributes (archive),
  // times, size and icon, how its window shows, no hot key.
  Bytes bytes;
  Put(bytes, {{0x4C, 4},
              {0x0000000000021401ull, 8},
              {0x46000000000000C0ull, 8},
              {flags, 4},
              {0x20, 4},
              {0, 24},
              {0, 8},
              {shortcut.showCommand, 4},
              {0, 12}});
  if (!shortcut.idList.empty()) Put(bytes, IdList(shortcut.idList));
  if (!shortcut.localPath.empty()) Put(bytes, LinkInfo(shortcut));
  for (const std::string* text : strings) {
    if (text->empty()) continue;
    Bytes chars = shortcut.unicode ? Terminated(*text, true) : Bytes(text->begin(), text->end());
    if (shortcut.unicode) chars.resize(chars.size() - 2);  // counted, not terminated
    Put(Put(bytes, {{chars.size() / (shortcut.unicode ? 2 : 1), 2}}), chars);
  }
  if (!shortcut.environmentPath.empty()) {
    Bytes ansi = Terminated(shortcut.environmentPath, false);
    Bytes wide = Terminated(shortcut.environmentPath, true);
    ansi.resize(260, 0);
    wide.resize(520, 0);
    Put(Put(Put(bytes, {{0x314, 4}, {0xA0000001, 4}}), ansi), wide);
  }
  return Put(bytes, {{0, 4}});  // the terminal block
}

std::vector<std::uint8_t> PifBytes(const std::string& program, const std::string& parameters) {
  std::vector<std::uint8_t> pif(0x221, 0);
  std::copy(program.begin(), program.end(), pif.begin() + 0x24);
  std::copy(parameters.begin(), parameters.end(), pif.begin() + 0xA5);
  const std::string heading = "MICROSOFT PIFEX";
  std::copy(heading.begin(), heading.end(), pif.begin() + 0x171);
  return pif;
}

std::string EncodedCommand(const std::string& text) {
  Bytes utf16 = Terminated(text, true);
  utf16.resize(utf16.size() - 2);
  std::string base64(BASE64_ENCODE_RAW_LENGTH(utf16.size()), '\0');
  base64_encode_raw(base64.data(), utf16.size(), utf16.data());
  return base64;
}

}  // namespace kestrova::testing
