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

std::filesystem::path StateDirectory() {
  wchar_t local[MAX_PATH] = {};
  const DWORD length = GetEnvironmentVariableW(L"LOCALAPPDATA", local, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return {};
  return std::filesystem::path(local) / L"Kestrova";
}

std::uint32_t ProcessNumber() { return GetCurrentProcessId(); }

}  // namespace kestrova::volume
