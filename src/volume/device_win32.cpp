// SPDX-License-Identifier: GPL-3.0-or-later
// Win32 volume devices: CreateFileA on "\\.\X:", exclusive and unbuffered. The open device keeps
// its HANDLE and turns the last-error value of a call that failed into that call's DeviceError.
#include <windows.h>
#include <winioctl.h>

#include <algorithm>
#include <memory>
#include <new>
#include <string>
#include <utility>

#include "volume/drives.h"
#include "volume/volume.h"

namespace kestrova::volume {
namespace {

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

// The last-error value of the call that just failed, as a DeviceError's.
int LastError() { return static_cast<int>(GetLastError()); }

// An open volume.
class Win32Device final : public Device {
 public:
  explicit Win32Device(HANDLE handle) : handle_(handle) {}
  Win32Device(const Win32Device&) = delete;
  Win32Device& operator=(const Win32Device&) = delete;
  ~Win32Device() override { CloseHandle(handle_); }

  std::optional<DeviceError> Read(std::uint64_t offset, std::span<std::uint8_t> bytes) override {
    if (!Seek(offset)) return CallFailure(DeviceErrorKind::kNotStarted, LastError());
    const auto count = static_cast<DWORD>(bytes.size());
    DWORD got = 0;
    // The end of the device is a read that succeeds with fewer bytes.
    if (!ReadFile(handle_, bytes.data(), count, &got, nullptr)) {
      return CallFailure(DeviceErrorKind::kIoFailed, LastError(), std::min(got, count));
    }
    if (got == count) return std::nullopt;
    return CallFailure(DeviceErrorKind::kShort, 0, std::min(got, count));
  }

  std::optional<DeviceError> Write(std::uint64_t offset,
                                   std::span<const std::uint8_t> bytes) override {
    if (!Seek(offset)) return CallFailure(DeviceErrorKind::kNotStarted, LastError());
    const auto count = static_cast<DWORD>(bytes.size());
    DWORD written = 0;
    const BOOL ok = WriteFile(handle_, bytes.data(), count, &written, nullptr);
    const int error = ok ? 0 : LastError();
    if (ok && written == count) return std::nullopt;
    // A medium that refuses the write whole as write-protected.
    const bool refused = written == 0 && error == ERROR_WRITE_PROTECT;
    return CallFailure(refused ? DeviceErrorKind::kReadOnly : DeviceErrorKind::kIoFailed, error,
                       std::min(written, count));
  }

  std::optional<DeviceError> Flush() override {
    if (FlushFileBuffers(handle_)) return std::nullopt;
    return CallFailure(DeviceErrorKind::kFlushFailed, LastError());
  }

  Expected<DeviceSize, DeviceError> Size() override {
    // A volume tells its length and its disk's logical sector size, which unbuffered transfers
    // must be aligned to; a file standing for a volume (an image under Wine) tells its length and
    // takes any whole 512-byte sectors.
    DWORD returned = 0;
    GET_LENGTH_INFORMATION length{};
    if (DeviceIoControl(handle_, IOCTL_DISK_GET_LENGTH_INFO, nullptr, 0, &length, sizeof length,
                        &returned, nullptr)) {
      DISK_GEOMETRY geometry{};
      if (!DeviceIoControl(handle_, IOCTL_DISK_GET_DRIVE_GEOMETRY, nullptr, 0, &geometry,
                           sizeof geometry, &returned, nullptr)) {
        return CallFailure(DeviceErrorKind::kSizeUnknown, LastError());
      }
      if (length.Length.QuadPart < 0) return CallFailure(DeviceErrorKind::kSizeUnknown);
      return DeviceSize{static_cast<std::uint64_t>(length.Length.QuadPart),
                        static_cast<std::uint32_t>(geometry.BytesPerSector)};
    }
    LARGE_INTEGER bytes{};
    if (!GetFileSizeEx(handle_, &bytes))
      return CallFailure(DeviceErrorKind::kSizeUnknown, LastError());
    if (bytes.QuadPart < 0) return CallFailure(DeviceErrorKind::kSizeUnknown);
    return DeviceSize{static_cast<std::uint64_t>(bytes.QuadPart), kSectorSize};
  }

  std::optional<DeviceError> Dismount() override {
    DWORD returned = 0;
    if (DeviceIoControl(handle_, FSCTL_DISMOUNT_VOLUME, nullptr, 0, nullptr, 0, &returned,
                        nullptr)) {
      return std::nullopt;
    }
    return CallFailure(DeviceErrorKind::kOther, LastError());
  }

 private:
  // Moves the file pointer to `offset` bytes from the start.
  bool Seek(std::uint64_t offset) {
    LARGE_INTEGER to{};
    to.QuadPart = static_cast<LONGLONG>(offset);
    return SetFilePointerEx(handle_, to, nullptr, FILE_BEGIN) != FALSE;
  }

  HANDLE handle_;
};

class Win32Opener final : public DeviceOpener {
 public:
  Expected<std::unique_ptr<Device>, DeviceError> Open(const DriveTarget& target,
                                                      Access access) override {
    DeviceError failure;
    // Windows opens a volume by its letter only.
    if (!target.letter) {
      failure.kind = DeviceErrorKind::kNotFound;
      failure.device = target.path;
      return failure;
    }
    const std::string devicePath = *DrivePath(target.letter);
    // What the drive is comes before whether it can be opened.
    if (std::string root = SystemDriveRoot(target.letter); !root.empty()) {
      failure.kind = DeviceErrorKind::kSystemDisk;
      failure.device = devicePath;
      failure.mountPoint = std::move(root);
      return failure;
    }
    const bool writing = access == Access::kReadWrite;
    const DWORD rights = writing ? GENERIC_READ | GENERIC_WRITE : GENERIC_READ;
    // Exclusive, unless only looking beside the file system that has the volume.
    const DWORD sharing =
        access == Access::kReadShared ? FILE_SHARE_READ | FILE_SHARE_WRITE : DWORD{0};
    HANDLE handle = CreateFileA(devicePath.c_str(), rights, sharing, nullptr, OPEN_EXISTING,
                                FILE_FLAG_NO_BUFFERING, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
      const DWORD error = GetLastError();
      failure.kind = writing && error == ERROR_ACCESS_DENIED && ReportedReadOnly(devicePath)
                         ? DeviceErrorKind::kReadOnly
                         : KindOf(error);
      failure.systemError = static_cast<int>(error);
      failure.device = devicePath;
      return failure;
    }
    return std::unique_ptr<Device>(std::make_unique<Win32Device>(handle));
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

DeviceOpener& PlatformDeviceOpener() {
  static Win32Opener opener;
  return opener;
}

}  // namespace kestrova::volume
