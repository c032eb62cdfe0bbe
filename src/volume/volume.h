// SPDX-License-Identifier: GPL-3.0-or-later
// Raw volume access: the system's only contact with the disk.
//
// A DriveTarget names a drive as the user chose it; Volume::Open opens it and the Volume owns the
// open device until it goes. The volume is addressed at 64-bit byte offsets, in whole sectors of
// the device (512 to 4,096 bytes); every failure comes back as a DeviceError.
//
// Each open gives a Device of its own, which says what went wrong with each of its calls. The
// platform's opener (Win32 or POSIX) is chosen at build time; tests and the fuzzer may put an
// opener of in-memory or failing devices in its place.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
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

// A device's call that failed: its kind, the system's error value and the bytes that moved.
inline DeviceError CallFailure(DeviceErrorKind kind, int systemError = 0,
                               std::uint64_t bytesMoved = 0) {
  DeviceError failure;
  failure.kind = kind;
  failure.systemError = systemError;
  failure.bytesMoved = bytesMoved;
  return failure;
}

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

// What the system says of a volume's device: its size, and the unit that every transfer's offset
// and length must be a multiple of.
struct DeviceSize {
  std::uint64_t bytes = 0;
  std::uint32_t sectorBytes = kSectorSize;
};

// One read of several given to a device together: bytes.size() bytes at `offset`.
struct ReadRequest {
  std::uint64_t offset = 0;
  std::span<std::uint8_t> bytes;
};

// The first read of such a list, in its order, that did not bring all its bytes, and why.
struct ReadManyFailure {
  std::size_t index = 0;
  DeviceError error;
};

// Told of each read of a list (by its place in the list) as it arrives whole, on the reading
// thread, while the others may still be on their way: a window answers its input there.
using ReadArrived = std::function<void(std::size_t index)>;

// The device of one open volume: what the platform (or a test) opened, closed when it goes. Each
// call says itself what went wrong with it: the kind, the system's error value of the call that
// failed and, for a transfer, the bytes that moved before it failed. The Volume above it names the
// device in the error, and hands it no transfer past INT64_MAX nor of more than UINT32_MAX bytes.
class Device {
 public:
  virtual ~Device() = default;
  // Reads bytes.size() bytes at `offset`: kShort when the device ends first, kIoFailed when the
  // read fails, kNotStarted when it cannot begin.
  virtual std::optional<DeviceError> Read(std::uint64_t offset, std::span<std::uint8_t> bytes) = 0;
  // Reads every one of `requests` as Read reads it, tells `arrived` (when given) of each that
  // arrived whole, and returns the first of them (in their order) that failed; the ones after it
  // may or may not have been read. A device that can have several reads on their way at once
  // sends them together; this one reads them one after another, and stops at the first that fails.
  virtual std::optional<ReadManyFailure> ReadMany(std::span<const ReadRequest> requests,
                                                  const ReadArrived& arrived);
  // Writes all of `bytes` at `offset`: kReadOnly when the medium refuses it whole as
  // write-protected, kIoFailed when it fails or stops short, kNotStarted when it cannot begin.
  virtual std::optional<DeviceError> Write(std::uint64_t offset,
                                           std::span<const std::uint8_t> bytes) = 0;
  // kFlushFailed when what was written cannot be promised to have reached the device.
  virtual std::optional<DeviceError> Flush() = 0;
  virtual Expected<DeviceSize, DeviceError> Size() = 0;
  // Makes the system drop its view of the volume (kOther when it cannot).
  virtual std::optional<DeviceError> Dismount() = 0;
};

// Opens the device of a drive, or says why it cannot.
class DeviceOpener {
 public:
  virtual ~DeviceOpener() = default;
  virtual Expected<std::unique_ptr<Device>, DeviceError> Open(const DriveTarget& target,
                                                              Access access) = 0;
};

// The opener of this platform, defined by the device source linked into the build.
DeviceOpener& PlatformDeviceOpener();
// Puts another opener in place of the platform's; nullptr restores the platform's.
void UseDeviceOpener(DeviceOpener* opener);

// An open volume. It owns its device and closes it when it goes.
class Volume {
 public:
  // Opens the drive for exclusive, unbuffered access: read and write unless asked otherwise.
  static Expected<Volume, DeviceError> Open(const DriveTarget& target,
                                            Access access = Access::kReadWrite);
  Volume(Volume&&) noexcept = default;
  Volume& operator=(Volume&&) noexcept = default;
  Volume(const Volume&) = delete;
  Volume& operator=(const Volume&) = delete;
  ~Volume() = default;

  // Reads bytes.size() bytes from `offset` (both whole sectors of the device).
  std::optional<DeviceError> Read(std::uint64_t offset, std::span<std::uint8_t> bytes);
  // Reads each of `requests` (whole sectors of the device), together where the device can, and
  // tells `arrived` of each as it arrives whole; the first of them, in their order, that failed.
  // Those after it may or may not have been read.
  std::optional<ReadManyFailure> ReadMany(std::span<const ReadRequest> requests,
                                          const ReadArrived& arrived = {});
  // Writes all of `bytes` at `offset`. kReadOnly when the medium refused it whole as
  // write-protected; kNotStarted when nothing went to the device.
  std::optional<DeviceError> Write(std::uint64_t offset, std::span<const std::uint8_t> bytes);
  // Makes everything written so far reach the device.
  std::optional<DeviceError> Flush();
  // Asks the file system to drop its view of the volume so that it re-reads the structures.
  bool Dismount();
  Expected<DeviceSize, DeviceError> Size();
  const DriveTarget& target() const { return target_; }

 private:
  Volume(std::unique_ptr<Device> device, DriveTarget target)
      : device_(std::move(device)), target_(std::move(target)) {}
  // Names the drive in a failure of the device.
  std::optional<DeviceError> Named(std::optional<DeviceError> failure) const;

  std::unique_ptr<Device> device_;
  DriveTarget target_;
};

}  // namespace kestrova::volume
