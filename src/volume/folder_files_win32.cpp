// SPDX-License-Identifier: GPL-3.0-or-later
#include <windows.h>

#include <algorithm>

#include "volume/folder_files.h"
#include "volume/utf16_win32.h"

namespace kestrova::volume {

std::string Utf8(const wchar_t* text) {
  const int bytes = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
  if (bytes <= 1) return {};
  std::string out(static_cast<std::size_t>(bytes), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text, -1, out.data(), bytes, nullptr, nullptr);
  out.pop_back();
  return out;
}

std::wstring Wide(const std::string& text) {
  if (text.empty()) return {};
  const int n =
      MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring out(static_cast<std::size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n);
  return out;
}

FolderFiles ListFolderFiles(const std::filesystem::path& folder, std::size_t maxEntries) {
  FolderFiles listed;
  listed.attributesSeen = true;
  const std::wstring pattern = (folder / L"*").wstring();
  WIN32_FIND_DATAW found{};
  HANDLE find = FindFirstFileExW(pattern.c_str(), FindExInfoBasic, &found, FindExSearchNameMatch,
                                 nullptr, FIND_FIRST_EX_LARGE_FETCH);
  if (find == INVALID_HANDLE_VALUE) {
    listed.complete = GetLastError() == ERROR_FILE_NOT_FOUND;  // an empty root
    return listed;
  }
  do {
    const std::wstring_view name = found.cFileName;
    if (name == L"." || name == L"..") continue;
    if (listed.entries.size() >= maxEntries) {
      listed.complete = false;
      break;
    }
    ListedEntry entry;
    entry.name = Utf8(found.cFileName);
    entry.attributes =
        found.dwFileAttributes & 0x37u;  // the bits that FAT keeps; no "normal" (0x80)
    if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
      entry.size = (static_cast<std::uint64_t>(found.nFileSizeHigh) << 32) | found.nFileSizeLow;
    }
    listed.entries.push_back(std::move(entry));
  } while (FindNextFileW(find, &found));
  if (listed.complete && GetLastError() != ERROR_NO_MORE_FILES) listed.complete = false;
  FindClose(find);
  return listed;
}

void ListNames(const std::filesystem::path& folder,
               const std::function<void(std::string_view name, ListedType type)>& take) {
  if (folder.empty()) return;  // not the current folder
  const std::wstring pattern = (folder / L"*").wstring();
  WIN32_FIND_DATAW found{};
  HANDLE find = FindFirstFileExW(pattern.c_str(), FindExInfoBasic, &found, FindExSearchNameMatch,
                                 nullptr, FIND_FIRST_EX_LARGE_FETCH);
  if (find == INVALID_HANDLE_VALUE) return;
  do {
    const std::wstring_view name = found.cFileName;
    if (name == L"." || name == L"..") continue;
    const DWORD attributes = found.dwFileAttributes;
    take(Utf8(found.cFileName), attributes & FILE_ATTRIBUTE_REPARSE_POINT ? ListedType::kUnknown
                                : attributes & FILE_ATTRIBUTE_DIRECTORY   ? ListedType::kOther
                                                                          : ListedType::kFile);
  } while (FindNextFileW(find, &found));
  FindClose(find);
}

std::vector<std::uint8_t> ReadFileHead(const std::filesystem::path& file, std::size_t limit) {
  std::vector<std::uint8_t> bytes;
  HANDLE handle = CreateFileW(file.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return bytes;
  if (GetFileType(handle) != FILE_TYPE_DISK) {
    CloseHandle(handle);
    return bytes;
  }
  bytes.resize(limit);
  std::size_t done = 0;
  while (done < limit) {
    const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(limit - done, 1u << 20));
    DWORD read = 0;
    if (!ReadFile(handle, bytes.data() + done, chunk, &read, nullptr) || read == 0) break;
    done += read;
  }
  CloseHandle(handle);
  bytes.resize(done);
  return bytes;
}

std::filesystem::path PathIn(const std::filesystem::path& folder, const std::string& name) {
  return folder / Wide(name);
}

}  // namespace kestrova::volume
