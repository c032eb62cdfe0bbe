// SPDX-License-Identifier: GPL-3.0-or-later
// Win32 volume backend: CreateFileA on "\\.\X:", exclusive and unbuffered.
#include <windows.h>
#include <winioctl.h>

#include <new>
#include <string>
#include <utility>

#include "volume/drives.h"
#include "volume/volume.h"

namespace kestrova::volume {
namespace {

HANDLE AsHandle(VolumeHandle handle) { return reinterpret_cast<HANDLE>(handle); }

// The last-error value, captured right after every system call of this backend.
DWORD lastError = 0;

DeviceErrorKind KindOf(DWORD error) {
  switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_DRIVE:
    case ERROR_NOT_READY:  // a card reader without a card
    case ERROR_INVALID_NAME:
      return DeviceErrorKind::kNotFound;
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
      return DeviceErrorKind::kBusy;
    case ERROR_ACCESS_DENIED:
    case ERROR_PRIVILEGE_NOT_HELD:
      return DeviceErrorKind::kAccessDenied;
    case ERROR_WRITE_PROTECT:
      return DeviceErrorKind::kReadOnly;
    default:
      return DeviceErrorKind::kOther;
  }
}

// After an open for writing was denied: whether the medium is write-protected. The system says
// so (IOCTL_DISK_IS_WRITABLE); where it cannot tell (Wine, whose drive is an image file), a drive
// that opens for reading when it did not for writing is read-only.
bool ReportedReadOnly(const std::string& devicePath) {
  constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE;
  HANDLE query = CreateFileA(devicePath.c_str(), 0, kShareAll, nullptr, OPEN_EXISTING, 0, nullptr);
  if (query == INVALID_HANDLE_VALUE) return false;
  DWORD returned = 0;
  const BOOL writable =
      DeviceIoControl(query, IOCTL_DISK_IS_WRITABLE, nullptr, 0, nullptr, 0, &returned, nullptr);
  const DWORD error = GetLastError();
  CloseHandle(query);
  if (writable) return false;
  if (error == ERROR_WRITE_PROTECT) return true;
  if (error != ERROR_NOT_SUPPORTED && error != ERROR_INVALID_FUNCTION) return false;
  HANDLE reader =
      CreateFileA(devicePath.c_str(), GENERIC_READ, kShareAll, nullptr, OPEN_EXISTING, 0, nullptr);
  if (reader == INVALID_HANDLE_VALUE) return false;
  CloseHandle(reader);
  return true;
}

// The root ("C:\\") of the drive that holds Windows, when it is the drive of `letter`.
std::string SystemDriveRoot(char letter) {
  char windows[MAX_PATH] = {};
  const UINT length = GetSystemWindowsDirectoryA(windows, MAX_PATH);
  if (length < 2 || length >= MAX_PATH || windows[1] != ':') return {};
  if (DriveLetter(std::string_view(windows, 1)) != letter) return {};
  return std::string{letter, ':', '\\'};
}

class Win32Backend final : public VolumeBackend {
 public:
  int LastError() override { return static_cast<int>(lastError); }

  VolumeHandle Open(const DriveTarget& target, Access access, DeviceError& failure) override {
    // Windows opens a volume by its letter only.
    if (!target.letter) {
      failure.kind = DeviceErrorKind::kNotFound;
      failure.device = target.path;
      return kInvalidHandle;
    }
    const std::string devicePath = *DrivePath(target.letter);
    // What the drive is comes before whether it can be opened.
    if (std::string root = SystemDriveRoot(target.letter); !root.empty()) {
      failure.kind = DeviceErrorKind::kSystemDisk;
      failure.device = devicePath;
      failure.mountPoint = std::move(root);
      return kInvalidHandle;
    }
    const bool writing = access == Access::kReadWrite;
    const DWORD rights = writing ? GENERIC_READ | GENERIC_WRITE : GENERIC_READ;
    // Exclusive, unless only looking beside the file system that has the volume.
    const DWORD sharing =
        access == Access::kReadShared ? FILE_SHARE_READ | FILE_SHARE_WRITE : DWORD{0};
    HANDLE handle = CreateFileA(devicePath.c_str(), rights, sharing, nullptr, OPEN_EXISTING,
                                FILE_FLAG_NO_BUFFERING, nullptr);
    lastError = GetLastError();
    if (handle == INVALID_HANDLE_VALUE) {
      failure.kind = writing && lastError == ERROR_ACCESS_DENIED && ReportedReadOnly(devicePath)
                         ? DeviceErrorKind::kReadOnly
                         : KindOf(lastError);
      failure.systemError = static_cast<int>(lastError);
      failure.device = devicePath;
    }
    return reinterpret_cast<VolumeHandle>(handle);
  }

  bool Close(VolumeHandle handle) override {
    const BOOL ok = CloseHandle(AsHandle(handle));
    lastError = GetLastError();
    return ok != FALSE;
  }

  bool SetPosition(VolumeHandle handle, std::int32_t highPart, std::int32_t lowPart) override {
    LONG high = highPart;  // the system may update it; the caller's value stays as it was
    const DWORD result = SetFilePointer(AsHandle(handle), lowPart, &high, FILE_BEGIN);
    lastError = GetLastError();
    // 0xFFFFFFFF is also the low part of a valid position; only the error value tells.
    if (result == INVALID_SET_FILE_POINTER) return lastError == NO_ERROR;
    return true;
  }

  bool Read(VolumeHandle handle, std::uint8_t* buffer, std::uint32_t byteCount,
            std::uint32_t& bytesRead) override {
    DWORD got = 0;
    const BOOL ok = ReadFile(AsHandle(handle), buffer, byteCount, &got, nullptr);
    lastError = GetLastError();
    bytesRead = got;
    return ok != FALSE;
  }

  bool Write(VolumeHandle handle, const std::uint8_t* buffer, std::uint32_t byteCount,
             std::uint32_t& bytesWritten) override {
    DWORD written = 0;
    const BOOL ok = WriteFile(AsHandle(handle), buffer, byteCount, &written, nullptr);
    lastError = GetLastError();
    bytesWritten = written;
    return ok != FALSE;
  }

  bool WriteProtected(VolumeHandle) override { return lastError == ERROR_WRITE_PROTECT; }

  bool Flush(VolumeHandle handle) override {
    const BOOL ok = FlushFileBuffers(AsHandle(handle));
    lastError = GetLastError();
    return ok != FALSE;
  }

  bool Size(VolumeHandle handle, DeviceSize& size) override {
    // A volume tells its length and its disk's logical sector size, which unbuffered transfers
    // must be aligned to; a file standing for a volume (an image under Wine) tells its length and
    // takes any whole 512-byte sectors.
    DWORD returned = 0;
    GET_LENGTH_INFORMATION length{};
    if (DeviceIoControl(AsHandle(handle), IOCTL_DISK_GET_LENGTH_INFO, nullptr, 0, &length,
                        sizeof length, &returned, nullptr)) {
      DISK_GEOMETRY geometry{};
      const BOOL known = DeviceIoControl(AsHandle(handle), IOCTL_DISK_GET_DRIVE_GEOMETRY, nullptr,
                                         0, &geometry, sizeof geometry, &returned, nullptr);
      lastError = GetLastError();
      if (!known || length.Length.QuadPart < 0) return false;
      size.bytes = static_cast<std::uint64_t>(length.Length.QuadPart);
      size.sectorBytes = geometry.BytesPerSector;
      return true;
    }
    LARGE_INTEGER bytes{};
    const BOOL ok = GetFileSizeEx(AsHandle(handle), &bytes);
    lastError = GetLastError();
    if (!ok || bytes.QuadPart < 0) return false;
    size.bytes = static_cast<std::uint64_t>(bytes.QuadPart);
    size.sectorBytes = kSectorSize;
    return true;
  }

  bool Dismount(VolumeHandle handle) override {
    DWORD returned = 0;
    const BOOL ok = DeviceIoControl(AsHandle(handle), FSCTL_DISMOUNT_VOLUME, nullptr, 0, nullptr, 0,
                                    &returned, nullptr);
    lastError = GetLastError();
    return ok != FALSE;
  }
};

}  // namespace

std::uint8_t* AllocatePages(std::size_t size) {
  void* pages = VirtualAlloc(nullptr, size, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
  if (!pages) throw std::bad_alloc();
  return static_cast<std::uint8_t*>(pages);
}

void ReleasePages(std::uint8_t* pages, std::size_t) {
  if (pages) VirtualFree(pages, 0, MEM_RELEASE);
}

VolumeBackend& PlatformVolumeBackend() {
  static Win32Backend backend;
  return backend;
}

}  // namespace kestrova::volume
