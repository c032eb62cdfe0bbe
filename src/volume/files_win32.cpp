// SPDX-License-Identifier: GPL-3.0-or-later
#include <windows.h>

#include <algorithm>
#include <system_error>

#include "volume/files.h"

namespace kestrova::volume {

int WriteFileDurably(const std::filesystem::path& path, std::span<const std::uint8_t> bytes) {
  std::error_code made;
  if (path.has_parent_path()) std::filesystem::create_directories(path.parent_path(), made);
  if (made) return made.value();
  HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return static_cast<int>(GetLastError());
  std::size_t done = 0;
  while (done < bytes.size()) {
    const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(bytes.size() - done, 1u << 30));
    DWORD written = 0;
    if (!WriteFile(file, bytes.data() + done, chunk, &written, nullptr) || written == 0) {
      const DWORD error = GetLastError();
      CloseHandle(file);
      return static_cast<int>(error ? error : ERROR_WRITE_FAULT);
    }
    done += written;
  }
  const BOOL flushed = FlushFileBuffers(file);
  const DWORD error = flushed ? 0 : GetLastError();
  CloseHandle(file);
  return static_cast<int>(error);
}

int MoveFileNoReplace(const std::filesystem::path& from, const std::filesystem::path& to) {
  // Without MOVEFILE_REPLACE_EXISTING a taken name fails.
  return MoveFileExW(from.c_str(), to.c_str(), 0) ? 0 : static_cast<int>(GetLastError());
}

int SyncFileSystem(const std::filesystem::path&) {
  // NTFS journals its names: a move needs no flush of its own.
  return 0;
}

int MakePrivateFolder(const std::filesystem::path& path) {
  // A folder under %LOCALAPPDATA% inherits the user's own access rights.
  std::error_code made;
  std::filesystem::create_directories(path, made);
  if (made) return made.value();
  return std::filesystem::is_directory(path, made) ? 0 : ERROR_DIRECTORY;
}

FileErrorKind KindOfFileError(int error) {
  switch (error) {
    case ERROR_ACCESS_DENIED:
      return FileErrorKind::kNoPermission;
    case ERROR_WRITE_PROTECT:
      return FileErrorKind::kReadOnly;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
      return FileErrorKind::kFull;
    case ERROR_DIRECTORY:
    case ERROR_PATH_NOT_FOUND:
      return FileErrorKind::kNotAFolder;
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS:
      return FileErrorKind::kExists;
    default:
      return FileErrorKind::kOther;
  }
}

ReadOutcome ReadRegularFile(const std::filesystem::path& path, std::uint64_t maxBytes,
                            std::vector<std::uint8_t>& bytes, int& error) {
  bytes.clear();
  error = 0;
  // Without FILE_FLAG_BACKUP_SEMANTICS a folder does not open; the type is checked before any
  // read, so that a pipe or a device is never read or waited on.
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    const DWORD why = GetLastError();
    error = static_cast<int>(why);
    if (why == ERROR_FILE_NOT_FOUND || why == ERROR_PATH_NOT_FOUND) return ReadOutcome::kMissing;
    return why == ERROR_ACCESS_DENIED && std::filesystem::is_directory(path)
               ? ReadOutcome::kNotRegular
               : ReadOutcome::kFailed;
  }
  LARGE_INTEGER size{};
  if (GetFileType(file) != FILE_TYPE_DISK) {
    CloseHandle(file);
    return ReadOutcome::kNotRegular;
  }
  if (!GetFileSizeEx(file, &size)) {
    error = static_cast<int>(GetLastError());
    CloseHandle(file);
    return ReadOutcome::kFailed;
  }
  if (size.QuadPart < 0 || static_cast<std::uint64_t>(size.QuadPart) > maxBytes) {
    CloseHandle(file);
    return ReadOutcome::kTooLarge;
  }
  bytes.resize(static_cast<std::size_t>(size.QuadPart));
  std::size_t done = 0;
  while (done < bytes.size()) {
    const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(bytes.size() - done, 1u << 30));
    DWORD read = 0;
    if (!ReadFile(file, bytes.data() + done, chunk, &read, nullptr) || read == 0) {
      const DWORD why = GetLastError();
      error = static_cast<int>(why ? why : ERROR_HANDLE_EOF);
      CloseHandle(file);
      bytes.clear();
      return ReadOutcome::kFailed;
    }
    done += read;
  }
  CloseHandle(file);
  return ReadOutcome::kRead;
}

std::filesystem::path StateDirectory() {
  wchar_t local[MAX_PATH] = {};
  const DWORD length = GetEnvironmentVariableW(L"LOCALAPPDATA", local, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return {};
  return std::filesystem::path(local) / L"Kestrova";
}

}  // namespace kestrova::volume
