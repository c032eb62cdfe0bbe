// SPDX-License-Identifier: GPL-3.0-or-later
// Raw volume access: the system's only contact with the disk.
//
// One volume is open at a time, held in the module-wide handle `hVolume`. Everything above this
// module addresses the volume as a flat run of 512-byte sectors: it positions, then reads or
// writes exactly one sector. Every operation reports success as true and failure as false; none
// raises an error of its own except the bounds check of a read or write buffer.
//
// The operations go through a VolumeBackend. The platform's backend (Win32 or POSIX) is chosen at
// build time; tests and the fuzzer may put an in-memory or failing backend in its place.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>

namespace kestrova::volume {

inline constexpr std::uint32_t kSectorSize = 512;
// Unbuffered I/O wants sector-aligned buffers; a page covers every device's requirement.
inline constexpr std::size_t kBufferAlignment = 4096;

// One sector, aligned for unbuffered transfers.
struct alignas(kBufferAlignment) SectorBuffer : std::array<std::uint8_t, kSectorSize> {};

// Zero-filled whole pages from the platform, aligned for unbuffered transfers, all committed at
// once (no page faults on first touch); ReleasePages gives them back. Throws std::bad_alloc.
std::uint8_t* AllocatePages(std::size_t size);
void ReleasePages(std::uint8_t* pages, std::size_t size);

struct PageRelease {
  std::size_t size = 0;
  void operator()(std::uint8_t* pages) const { ReleasePages(pages, size); }
};

// A zero-filled run of bytes aligned for unbuffered transfers, for reads and writes of many
// sectors at once.
class AlignedBuffer {
 public:
  AlignedBuffer() = default;
  explicit AlignedBuffer(std::size_t size);
  AlignedBuffer(const AlignedBuffer& other);
  AlignedBuffer& operator=(const AlignedBuffer& other);
  AlignedBuffer(AlignedBuffer&&) noexcept = default;
  AlignedBuffer& operator=(AlignedBuffer&&) noexcept = default;
  std::span<std::uint8_t> bytes() { return {data_.get(), size_}; }
  std::span<const std::uint8_t> bytes() const { return {data_.get(), size_}; }
  std::size_t size() const { return size_; }

 private:
  std::unique_ptr<std::uint8_t[], PageRelease> data_;
  std::size_t size_ = 0;
};

// How a volume is opened: for the repair (read and write), or only to look at it; both
// exclusively. kReadShared looks at a volume that a file system has mounted, beside it: what it
// reads may lag behind what the system has not yet written.
enum class Access { kReadWrite, kReadOnly, kReadShared };

// Why the last open failed. The text for the user is made from it at the edge.
enum class OpenFailureKind {
  kNone,
  kNotFound,       // no such drive or device (it may have been unplugged)
  kNoSuchFile,     // a path that names nothing (an image file that is not there)
  kNotADrive,      // a path that names neither a block device nor a file: a folder (EISDIR), a
                   // character device or another special file (ENODEV)
  kUnknownLetter,  // a drive letter that names no drive
  kBusy,           // another program holds the volume, or it is mounted
  kAccessDenied,   // the user lacks the rights for raw access to disks
  kReadOnly,       // the medium or the file cannot be written
  kLoopBacked,     // an image file that backs a loop device, which may be in use
  kDriveChanged,   // the letter now names another device than at the last refresh
  kNotAuthorized,  // the system's authorization (polkit) refused raw access to the disk
  kWholeDisk,      // a whole disk that holds partitions: the volumes are its partitions
  kSystemDisk,     // a fixed disk that holds a mounted system file system (or the system drive)
  kOther,
};

struct OpenFailure {
  OpenFailureKind kind = OpenFailureKind::kNone;
  int systemError = 0;     // errno, or the Win32 last-error value
  std::string device;      // what was opened, when known (a block device or a file)
  std::string mountPoint;  // kBusy: where the device, or one of its partitions, is mounted;
                           // kSystemDisk: the system file system's mount point on that disk
  std::string partition;   // kWholeDisk: the device path of one of its partitions
};

// An opaque handle value. On Windows it carries a HANDLE, on POSIX a file descriptor.
using VolumeHandle = std::intptr_t;
inline constexpr VolumeHandle kInvalidHandle = -1;  // all bits set, as INVALID_HANDLE_VALUE

// The handle of the open volume. Set by OpenVolume (also to kInvalidHandle when the open fails);
// CloseVolume leaves the closed value in it.
extern VolumeHandle hVolume;

// Opens the volume named by a device path "\\.\X:" for exclusive, unbuffered access: read and
// write unless asked for reading only. When it fails, LastOpenFailure() says why.
bool OpenVolume(const std::string& devicePath, Access access = Access::kReadWrite);
const OpenFailure& LastOpenFailure();
bool CloseVolume();
// Moves the file pointer to the byte offset high:low (two 32-bit halves, from the start).
bool SetVolumePosition(std::int32_t highPart, std::int32_t lowPart);
// Reads byteCount bytes into buffer[0...]; bytesRead receives the count actually read.
// Throws std::out_of_range when the buffer cannot hold byteCount bytes.
bool ReadVolume(std::uint32_t byteCount, std::span<std::uint8_t> buffer, std::uint32_t& bytesRead);
// Writes byteCount bytes from buffer[0...]. Throws std::out_of_range like ReadVolume.
bool WriteVolume(std::uint32_t byteCount, std::span<const std::uint8_t> buffer);
// After WriteVolume failed: whether the medium refused the write because it is write-protected,
// before any of it was written.
bool LastWriteProtected();
// Makes everything written so far reach the device. False when that cannot be promised.
bool FlushVolume();
// What the system says of the open volume's device: its size, and the unit that every transfer's
// offset and length must be a multiple of.
struct DeviceSize {
  std::uint64_t bytes = 0;
  std::uint32_t sectorBytes = kSectorSize;
};
// False when the system cannot tell the size.
bool VolumeDeviceSize(DeviceSize& size);
// Asks the file system to drop its view of the volume so that it re-reads the structures.
bool DismountVolume();

// The device path of a drive list entry (a drive letter): "\\.\" + letter + ":".
std::string DevicePath(std::string_view driveLetter);

// What stands behind the handle. Each call receives the handle that the operation acts on.
class VolumeBackend {
 public:
  virtual ~VolumeBackend() = default;
  // Returns kInvalidHandle, and says why in `failure`, when the volume cannot be opened.
  virtual VolumeHandle Open(const std::string& devicePath, Access access, OpenFailure& failure) = 0;
  virtual bool Close(VolumeHandle handle) = 0;
  virtual bool SetPosition(VolumeHandle handle, std::int32_t highPart, std::int32_t lowPart) = 0;
  virtual bool Read(VolumeHandle handle, std::uint8_t* buffer, std::uint32_t byteCount,
                    std::uint32_t& bytesRead) = 0;
  virtual bool Write(VolumeHandle handle, const std::uint8_t* buffer, std::uint32_t byteCount,
                     std::uint32_t& bytesWritten) = 0;
  // After a failed Write: whether the medium refused it as write-protected.
  virtual bool WriteProtected(VolumeHandle) { return false; }
  virtual bool Flush(VolumeHandle handle) = 0;
  virtual bool Size(VolumeHandle handle, DeviceSize& size) = 0;
  virtual bool Dismount(VolumeHandle handle) = 0;
};

// The backend of this platform, defined by the backend source linked into the build.
VolumeBackend& PlatformVolumeBackend();
// Puts another backend in place of the platform's; nullptr restores the platform's.
void UseVolumeBackend(VolumeBackend* backend);

}  // namespace kestrova::volume
