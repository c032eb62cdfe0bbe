// SPDX-License-Identifier: GPL-3.0-or-later
// A folder of a file system that the system mounted, as its driver lists it, and a file's first
// bytes read through it: how a drive is looked at without raw access to its volume. Reads only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace kestrova::volume {

// Windows' attribute bits, which are FAT's and exFAT's.
inline constexpr std::uint32_t kListedReadOnly = 0x01;
inline constexpr std::uint32_t kListedHidden = 0x02;
inline constexpr std::uint32_t kListedSystem = 0x04;
inline constexpr std::uint32_t kListedFolder = 0x10;
inline constexpr std::uint32_t kListedArchive = 0x20;

struct ListedEntry {
  std::string name;  // UTF-8
  std::uint32_t attributes = 0;
  std::uint64_t size = 0;  // a file's bytes
};

struct FolderFiles {
  std::vector<ListedEntry> entries;  // without "." and "..", in the order the driver lists them
  bool complete = true;  // false when the folder could not be read to its end or held more
  // Whether the hidden and system bits are the file system's own: Windows always; on Linux when
  // the vfat driver's attribute call answers, or an entry carries the user.DOSATTRIB attribute in
  // which Wine and Samba keep them. Where neither does, every entry shows as visible.
  bool attributesSeen = false;
};

// Lists at most `maxEntries` entries of the folder at `folder`.
FolderFiles ListFolderFiles(const std::filesystem::path& folder, std::size_t maxEntries);

// What one listing of a folder says of an entry: a file, something else (a folder, a device), or
// nothing (a link, or a file system that does not say) until the entry is looked at on its own.
enum class ListedType { kFile, kOther, kUnknown };

// Hands `take` the name (UTF-8) and type of each entry of the folder at `folder` but "." and "..",
// as one listing of it gives them, none looked at on its own; nothing when it cannot be listed.
void ListNames(const std::filesystem::path& folder,
               const std::function<void(std::string_view name, ListedType type)>& take);

// Up to `limit` bytes from the start of the regular file at `file`: fewer when it is shorter, none
// when it cannot be opened, and what was read before a read failed.
std::vector<std::uint8_t> ReadFileHead(const std::filesystem::path& file, std::size_t limit);

// The path of `name` (UTF-8) inside `folder`.
std::filesystem::path PathIn(const std::filesystem::path& folder, const std::string& name);

}  // namespace kestrova::volume
