// SPDX-License-Identifier: GPL-3.0-or-later
// Raw volume access: the system's only contact with the disk.
//
// A DriveTarget names a drive as the user chose it; Volume::Open opens it and the Volume owns the
// handle until it goes. The volume is addressed at 64-bit byte offsets, in whole sectors of the
// device (512 to 4,096 bytes); every failure comes back as a DeviceError.
//
// The operations go through a VolumeBackend. The platform's backend (Win32 or POSIX) is chosen at
// build time; tests and the fuzzer may put an in-memory or failing backend in its place.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

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

// Pages that a buffer no longer needs: the thread keeps a few blocks for its next buffers and
// gives the others back.
void DropPages(std::uint8_t* pages, std::size_t size) noexcept;

struct PageRelease {
  std::size_t size = 0;  // of the whole block, which may be larger than its buffer
  void operator()(std::uint8_t* pages) const { DropPages(pages, size); }
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

// A drive as the user named it: by a letter of the drive list or, on POSIX, by the path of a block
// device or an image file. Resolved once and passed down; the open checks that a letter still
// names the device it named when the list was made.
struct DriveTarget {
  char letter = 0;   // an uppercase drive letter, as DriveLetter gives it; 0 for a path
  std::string path;  // a path named directly; empty for a letter

  static DriveTarget OfLetter(char letter) { return {letter, {}}; }
  static DriveTarget OfPath(std::string path) { return {0, std::move(path)}; }
  // "F:" or the path: how messages name it.
  std::string Name() const { return letter ? std::string{letter, ':'} : path; }
};

// The drive letters that a drive can have, in the order in which they are listed.
inline constexpr char kFirstDriveLetter = 'C';
inline constexpr char kLastDriveLetter = 'Z';

// The drive letter that a text names, in upper case: "F", "f", "F:" or "f:", for a letter from
// kFirstDriveLetter to kLastDriveLetter; nothing for any other.
std::optional<char> DriveLetter(std::string_view text);

// What went wrong with the device: opening it, a transfer, the flush or a question to the system.
enum class DeviceErrorKind {
  kNotFound,       // no such drive or device (it may have been unplugged)
  kNoSuchFile,     // a path that names nothing (an image file that is not there)
  kNotADrive,      // a path that names neither a block device nor a file: a folder (EISDIR), a
                   // character device or another special file (ENODEV)
  kUnknownLetter,  // a drive letter that names no drive
  kBusy,           // another program holds the volume, or it is mounted
  kAccessDenied,   // the user lacks the rights for raw access to disks
  kReadOnly,       // the medium or the file cannot be written (also a write it refused whole)
  kLoopBacked,     // an image file that backs a loop device, which may be in use
  kDriveChanged,   // the letter now names another device than at the last refresh
  kNotAuthorized,  // the system's authorization (polkit) refused raw access to the disk
  kWholeDisk,      // a whole disk that holds partitions: the volumes are its partitions
  kSystemDisk,     // a fixed disk that holds a mounted system file system (or the system drive)
  kOther,          // an open that failed for another reason
  // Transfers and the rest, on an open volume.
  kNotStarted,   // the transfer could not begin (its position): nothing moved
  kShort,        // the device ended before all the bytes moved
  kIoFailed,     // the read or write failed; a write may have landed in part
  kFlushFailed,  // what was written cannot be promised to have reached the device
  kSizeUnknown,  // the system did not tell the device's size
};

struct DeviceError {
  DeviceErrorKind kind = DeviceErrorKind::kOther;
  int systemError = 0;           // errno, or the Win32 last-error value; 0 when none applies
  std::string device;            // what was opened, when known (a block device, a file or "F:")
  std::string mountPoint;        // kBusy: where the device, or one of its partitions, is mounted;
                                 // kSystemDisk: the system file system's mount point on that disk
  std::string partition;         // kWholeDisk: the device path of one of its partitions
  std::uint64_t bytesMoved = 0;  // a transfer: the bytes that moved before it failed
};

// A value, or why there is none.
template <typename T, typename E>
class Expected {
 public:
  Expected(T value) : held_(std::in_place_index<0>, std::move(value)) {}  // NOLINT: implicit
  Expected(E error) : held_(std::in_place_index<1>, std::move(error)) {}  // NOLINT: implicit
  bool has_value() const { return held_.index() == 0; }
  explicit operator bool() const { return has_value(); }
  T& value() { return std::get<0>(held_); }
  const T& value() const { return std::get<0>(held_); }
  T& operator*() { return value(); }
  const T& operator*() const { return value(); }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }
  E& error() { return std::get<1>(held_); }
  const E& error() const { return std::get<1>(held_); }

 private:
  std::variant<T, E> held_;
};

// An opaque handle value. On Windows it carries a HANDLE, on POSIX a file descriptor.
using VolumeHandle = std::intptr_t;
inline constexpr VolumeHandle kInvalidHandle = -1;  // all bits set, as INVALID_HANDLE_VALUE

// What the system says of a volume's device: its size, and the unit that every transfer's offset
// and length must be a multiple of.
struct DeviceSize {
  std::uint64_t bytes = 0;
  std::uint32_t sectorBytes = kSectorSize;
};

class VolumeBackend;

// An open volume. It owns its handle and closes it when it goes.
class Volume {
 public:
  // Opens the drive for exclusive, unbuffered access: read and write unless asked otherwise.
  static Expected<Volume, DeviceError> Open(const DriveTarget& target,
                                            Access access = Access::kReadWrite);
  Volume(Volume&& other) noexcept;
  Volume& operator=(Volume&& other) noexcept;
  Volume(const Volume&) = delete;
  Volume& operator=(const Volume&) = delete;
  ~Volume();

  // Reads bytes.size() bytes from `offset` (both whole sectors of the device).
  std::optional<DeviceError> Read(std::uint64_t offset, std::span<std::uint8_t> bytes);
  // Writes all of `bytes` at `offset`. kReadOnly when the medium refused it whole as
  // write-protected; kNotStarted when nothing went to the device.
  std::optional<DeviceError> Write(std::uint64_t offset, std::span<const std::uint8_t> bytes);
  // Makes everything written so far reach the device.
  std::optional<DeviceError> Flush();
  // Asks the file system to drop its view of the volume so that it re-reads the structures.
  bool Dismount();
  Expected<DeviceSize, DeviceError> Size();
  const DriveTarget& target() const { return target_; }
  VolumeHandle handle() const { return handle_; }

 private:
  Volume(VolumeBackend& backend, VolumeHandle handle, DriveTarget target)
      : backend_(&backend), handle_(handle), target_(std::move(target)) {}
  DeviceError Failure(DeviceErrorKind kind) const;

  VolumeBackend* backend_;
  VolumeHandle handle_;
  DriveTarget target_;
};

// What stands behind a handle. Each call receives the handle that the operation acts on.
class VolumeBackend {
 public:
  virtual ~VolumeBackend() = default;
  // Returns kInvalidHandle, and says why in `failure`, when the volume cannot be opened.
  virtual VolumeHandle Open(const DriveTarget& target, Access access, DeviceError& failure) = 0;
  virtual bool Close(VolumeHandle handle) = 0;
  // Moves the file pointer to the byte offset high:low (two 32-bit halves, from the start).
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
  // The system's error value of the last failed call, where it keeps one.
  virtual int LastError() { return 0; }
};

// The backend of this platform, defined by the backend source linked into the build.
VolumeBackend& PlatformVolumeBackend();
// Puts another backend in place of the platform's; nullptr restores the platform's.
void UseVolumeBackend(VolumeBackend* backend);

}  // namespace kestrova::volume
