// SPDX-License-Identifier: GPL-3.0-or-later
// POSIX volume devices. A drive letter is resolved through the drive table to a block device or
// an image file; a path is opened as it is. The open is exclusive (O_EXCL on a block device, which
// the kernel refuses while the device is mounted or held; an image file takes a flock and an
// open-file-description lock, shared when only reading) and unbuffered (O_DIRECT) where the file
// system allows it. It is refused when the letter now names another device or file than the drive
// table recorded, and when an image file backs a loop device. A process that does not run as root
// has UDisks2 open a block device for it (polkit decides), where the daemon answers and knows it.
// The open device keeps its descriptor and moves bytes with pread and pwrite at each call's offset.
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <optional>
#include <utility>
#include <vector>

#include "volume/drives.h"
#include "volume/mounts_posix.h"
#include "volume/read_ring_linux.h"
#include "volume/udisks_posix.h"
#include "volume/volume.h"

namespace kestrova::volume {
namespace {

DeviceErrorKind KindOf(int error) {
  switch (error) {
    case ENOENT:
    case ENXIO:
    case ENODEV:
    case ENOTDIR:
    case ENOMEDIUM:
      return DeviceErrorKind::kNotFound;
    case EBUSY:
    case EWOULDBLOCK:
      return DeviceErrorKind::kBusy;
    case EACCES:
    case EPERM:
      return DeviceErrorKind::kAccessDenied;
    case EROFS:
      return DeviceErrorKind::kReadOnly;
    default:
      return DeviceErrorKind::kOther;
  }
}

int Refuse(DeviceError& failure, int error, std::optional<DeviceErrorKind> kind = std::nullopt) {
  failure.kind = kind.value_or(KindOf(error));
  failure.systemError = error;
  return -1;
}

// A descriptor that is closed unless it is released to the caller.
class Descriptor {
 public:
  explicit Descriptor(int fd) : fd_(fd) {}
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  ~Descriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  int get() const { return fd_; }
  int release() { return std::exchange(fd_, -1); }

 private:
  int fd_;
};

// After a read-write open failed with EACCES or EPERM: whether the target merely cannot be
// written (a device set read-only, a file without write permission or marked immutable or
// append-only) while it can be read.
bool OnlyReadable(const std::string& path, bool blockDevice) {
  const Descriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (fd.get() < 0) return false;
  if (blockDevice) {
    int readOnly = 0;
    return ::ioctl(fd.get(), BLKROGET, &readOnly) == 0 && readOnly != 0;
  }
  if (::faccessat(AT_FDCWD, path.c_str(), W_OK, AT_EACCESS) != 0 && errno == EACCES) return true;
  int attributes = 0;
  return ::ioctl(fd.get(), FS_IOC_GETFLAGS, &attributes) == 0 &&
         (attributes & (FS_IMMUTABLE_FL | FS_APPEND_FL)) != 0;
}

// Takes the image file's locks: a flock and an open-file-description lock on the whole file,
// exclusive for writing, shared for reading. Programs use either kind (the second also meets the
// fcntl record locks of other processes); both are taken so that a holder of either is seen.
bool LockImage(int fd, bool writing, DeviceError& failure) {
  if (::flock(fd, (writing ? LOCK_EX : LOCK_SH) | LOCK_NB) != 0) {
    const int error = errno;
    Refuse(failure, error, error == EWOULDBLOCK ? DeviceErrorKind::kBusy : KindOf(error));
    return false;
  }
  struct flock range {};
  range.l_type = writing ? F_WRLCK : F_RDLCK;
  range.l_whence = SEEK_SET;  // from byte 0 to the end, however far the file grows
  if (::fcntl(fd, F_OFD_SETLK, &range) != 0) {
    const int error = errno;
    const bool held = error == EAGAIN || error == EACCES;
    Refuse(failure, error, held ? DeviceErrorKind::kBusy : KindOf(error));
    return false;
  }
  return true;
}

int OpenDrive(char letter, const DriveBinding& drive, Access access, DeviceError& failure) {
  const std::string& path = drive.path;
  failure.device = path;
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) {
    const int error = errno;
    // A missing device node is a drive that went away; any other missing path is just missing.
    const bool device = path.starts_with("/dev/");
    return Refuse(
        failure, error,
        error == ENOENT && !device ? std::optional(DeviceErrorKind::kNoSuchFile) : std::nullopt);
  }
  const bool blockDevice = S_ISBLK(info.st_mode);
  if (S_ISDIR(info.st_mode)) return Refuse(failure, EISDIR, DeviceErrorKind::kNotADrive);
  if (!blockDevice && !S_ISREG(info.st_mode)) {
    return Refuse(failure, ENODEV, DeviceErrorKind::kNotADrive);
  }
  // What the device is comes before whether it can be opened or is mounted.
  if (blockDevice) {
    const DeviceRole role = RoleOf(info.st_rdev);
    if (role.kind == DeviceRole::Kind::kSystemDisk) {
      failure.mountPoint = role.mountPoint;
      return Refuse(failure, 0, DeviceErrorKind::kSystemDisk);
    }
    if (role.kind == DeviceRole::Kind::kWholeDisk) {
      failure.partition = role.partition;
      return Refuse(failure, 0, DeviceErrorKind::kWholeDisk);
    }
  }
  const bool writing = access == Access::kReadWrite;
  int opened = -1;
  int error = 0;
  bool byDaemon = false;
  if (blockDevice && ::geteuid() != 0) {
    const udisks::Outcome outcome = udisks::OpenDevice(info.st_rdev, access);
    if (outcome.notAuthorized) return Refuse(failure, EACCES, DeviceErrorKind::kNotAuthorized);
    byDaemon = outcome.reached;
    opened = outcome.fd;
    error = outcome.error;
  }
  if (!byDaemon) {
    const bool exclusive = blockDevice && access != Access::kReadShared;
    const int flags = (writing ? O_RDWR : O_RDONLY) | O_CLOEXEC | (exclusive ? O_EXCL : 0);
    opened = ::open(path.c_str(), flags | O_DIRECT);
    if (opened < 0 && errno == EINVAL) opened = ::open(path.c_str(), flags);  // no O_DIRECT (tmpfs)
    error = errno;
  }
  if (opened < 0) {
    if (!byDaemon && writing && (error == EACCES || error == EPERM) &&
        OnlyReadable(path, blockDevice)) {
      return Refuse(failure, error, DeviceErrorKind::kReadOnly);
    }
    if (blockDevice && error == EBUSY) failure.mountPoint = MountPointOf(info.st_rdev);
    return Refuse(failure, error);
  }
  Descriptor fd(opened);

  // A device node that holds nothing (a detached loop device, a reader without its card) is a
  // drive that went away.
  std::uint64_t bytes = 0;
  if (blockDevice && ::ioctl(fd.get(), BLKGETSIZE64, &bytes) == 0 && bytes == 0) {
    return Refuse(failure, ENOMEDIUM);
  }
  // The letter must still name what it named at the last refresh (or at its first open).
  if (::fstat(fd.get(), &info) != 0) return Refuse(failure, errno);
  const DeviceIdentity now = IdentityOfDescriptor(fd.get(), info);
  if (drive.identity && !SameDevice(*drive.identity, now)) {
    return Refuse(failure, 0, DeviceErrorKind::kDriveChanged);
  }
  if (letter && !drive.identity) RecordDriveIdentity(letter, path, now);

  if (S_ISBLK(info.st_mode)) {
    // A device set read-only opens for writing and refuses every write: refuse it here instead.
    int readOnly = 0;
    if (writing && ::ioctl(fd.get(), BLKROGET, &readOnly) != 0) return Refuse(failure, errno);
    if (readOnly != 0) return Refuse(failure, EROFS, DeviceErrorKind::kReadOnly);
  } else {
    if (BacksLoopDevice(info.st_dev, info.st_ino)) {
      return Refuse(failure, 0, DeviceErrorKind::kLoopBacked);
    }
    if (!LockImage(fd.get(), writing, failure)) return -1;
  }
  return fd.release();
}

// Whether `error` is the want of a capability.
bool NotPermitted(int error) { return error == EACCES || error == EPERM; }

bool IsBlockDevice(int fd) {
  struct stat info {};
  return ::fstat(fd, &info) == 0 && S_ISBLK(info.st_mode);
}

// Unbuffered transfers need the device's own alignment, which can exceed a 512-byte sector
// (an image on a disk with 4 KiB logical blocks). Falls back to buffered I/O for this descriptor.
bool DropDirectIo(int fd) {
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags < 0 || !(flags & O_DIRECT)) return false;
  return ::fcntl(fd, F_SETFL, flags & ~O_DIRECT) == 0;
}

bool Aligned(const void* pointer) {
  return reinterpret_cast<std::uintptr_t>(pointer) % kBufferAlignment == 0;
}

// What a transfer came to: the bytes that moved (fewer at the end of the device), and the errno
// of the system call that failed, or 0.
struct Moved {
  std::size_t bytes = 0;
  int error = 0;
};

// Moves `buffer` from or to the device at `offset` with `transfer` (pread or pwrite). A buffer
// that is not aligned for O_DIRECT, of any size, goes through an aligned copy, so that the
// descriptor stays unbuffered.
template <typename Transfer>
Moved MoveBytes(int fd, std::uint64_t offset, std::uint8_t* buffer, std::size_t byteCount,
                bool toDevice, Transfer transfer) {
  Moved moved;
  std::optional<AlignedBuffer> bounce;
  if (!Aligned(buffer)) bounce.emplace(byteCount);
  std::uint8_t* io = bounce ? bounce->bytes().data() : buffer;
  if (bounce && toDevice) std::memcpy(io, buffer, byteCount);
  while (moved.bytes < byteCount) {
    const ssize_t n = transfer(fd, io + moved.bytes, byteCount - moved.bytes,
                               static_cast<off_t>(offset + moved.bytes));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EINVAL && DropDirectIo(fd)) continue;
    if (n < 0) moved.error = errno;
    if (n <= 0) break;
    moved.bytes += static_cast<std::size_t>(n);
  }
  if (bounce && !toDevice) std::memcpy(buffer, io, moved.bytes);
  return moved;
}

// An open block device or image file.
class PosixDevice final : public Device {
 public:
  explicit PosixDevice(int fd) : fd_(fd) {}
  PosixDevice(const PosixDevice&) = delete;
  PosixDevice& operator=(const PosixDevice&) = delete;
  ~PosixDevice() override { ::close(fd_); }

  std::optional<DeviceError> Read(std::uint64_t offset, std::span<std::uint8_t> bytes) override {
    // The end of the device is a successful read of fewer bytes, as on Windows.
    const Moved moved = MoveBytes(
        fd_, offset, bytes.data(), bytes.size(), false,
        [](int fd, std::uint8_t* p, std::size_t n, off_t at) { return ::pread(fd, p, n, at); });
    if (moved.bytes == bytes.size()) return std::nullopt;
    return CallFailure(moved.error ? DeviceErrorKind::kIoFailed : DeviceErrorKind::kShort,
                       moved.error, moved.bytes);
  }

  std::optional<ReadManyFailure> ReadMany(std::span<const ReadRequest> requests,
                                          const ReadArrived& arrived) override {
    // The reads go to the kernel together, through a ring made at the first list of them; what
    // did not arrive whole is read again here, one by one, which says why. Without a ring (the
    // system gives none) they are read one after another.
    if (requests.size() > 1 && !ringTried_) {
      ringTried_ = true;
      ring_ = ReadRing::Make();
    }
    if (requests.size() < 2 || !ring_) return Device::ReadMany(requests, arrived);
    const std::vector<bool> whole = ring_->ReadAll(fd_, requests, arrived);
    for (std::size_t i = 0; i < requests.size(); ++i) {
      if (whole[i]) continue;
      if (auto failed = Read(requests[i].offset, requests[i].bytes)) {
        return ReadManyFailure{i, std::move(*failed)};
      }
      if (arrived) arrived(i);
    }
    return std::nullopt;
  }

  std::optional<DeviceError> Write(std::uint64_t offset,
                                   std::span<const std::uint8_t> bytes) override {
    const Moved moved = MoveBytes(
        fd_, offset, const_cast<std::uint8_t*>(bytes.data()), bytes.size(), true,
        [](int fd, std::uint8_t* p, std::size_t n, off_t at) { return ::pwrite(fd, p, n, at); });
    if (moved.bytes == bytes.size()) return std::nullopt;
    const bool refused = moved.bytes == 0 && WriteProtected(moved.error);
    return CallFailure(refused ? DeviceErrorKind::kReadOnly : DeviceErrorKind::kIoFailed,
                       moved.error, moved.bytes);
  }

  std::optional<DeviceError> Flush() override {
    // Everything written reaches the device: the file's or device's data, then the block
    // device's own buffers. Without root (a descriptor that UDisks2 opened) the kernel refuses
    // the second step; the first has already written a block device's buffers and flushed the
    // device's cache. The data is what counts: an image's modification time need not wait for
    // the file system's journal.
    if (::fdatasync(fd_) != 0) return CallFailure(DeviceErrorKind::kFlushFailed, errno);
    if (!IsBlockDevice(fd_) || ::ioctl(fd_, BLKFLSBUF, 0) == 0 || NotPermitted(errno)) {
      return std::nullopt;
    }
    return CallFailure(DeviceErrorKind::kFlushFailed, errno);
  }

  Expected<DeviceSize, DeviceError> Size() override {
    // A block device's size comes from the kernel, an image file's from its length. Every
    // transfer of whole 512-byte sectors is accepted: where the device wants larger aligned
    // blocks for unbuffered I/O, the descriptor falls back to the page cache (DropDirectIo),
    // which reads and writes the device's whole blocks itself.
    struct stat info {};
    if (::fstat(fd_, &info) != 0) return CallFailure(DeviceErrorKind::kSizeUnknown, errno);
    std::uint64_t bytes = 0;
    if (S_ISBLK(info.st_mode)) {
      if (::ioctl(fd_, BLKGETSIZE64, &bytes) != 0) {
        return CallFailure(DeviceErrorKind::kSizeUnknown, errno);
      }
    } else if (S_ISREG(info.st_mode) && info.st_size >= 0) {
      bytes = static_cast<std::uint64_t>(info.st_size);
    } else {
      return CallFailure(DeviceErrorKind::kSizeUnknown);
    }
    return DeviceSize{bytes, kSectorSize};
  }

  std::optional<DeviceError> Dismount() override {
    // No file system has the volume mounted (the open is exclusive); what is left is to make the
    // kernel drop its cached blocks, so that the next mount reads the directory from the device.
    // Without root, the cached blocks are dropped as a file's are.
    if (IsBlockDevice(fd_)) {
      if (::ioctl(fd_, BLKFLSBUF, 0) == 0) return std::nullopt;
      if (!NotPermitted(errno)) return CallFailure(DeviceErrorKind::kOther, errno);
    }
    // posix_fadvise returns its error rather than setting errno.
    const int error = ::posix_fadvise(fd_, 0, 0, POSIX_FADV_DONTNEED);
    if (error == 0) return std::nullopt;
    return CallFailure(DeviceErrorKind::kOther, error);
  }

 private:
  // After a write that moved nothing failed with `error`: whether the medium refused it as
  // write-protected. A file on a file system mounted read-only fails with EROFS; a block device
  // set read-only refuses writes with EPERM.
  bool WriteProtected(int error) const {
    if (error == EROFS) return true;
    if (!NotPermitted(error)) return false;
    int readOnly = 0;
    return IsBlockDevice(fd_) && ::ioctl(fd_, BLKROGET, &readOnly) == 0 && readOnly != 0;
  }

  int fd_;
  std::unique_ptr<ReadRing> ring_;  // made at the first list of reads, when the system gives one
  bool ringTried_ = false;
};

class PosixOpener final : public DeviceOpener {
 public:
  Expected<std::unique_ptr<Device>, DeviceError> Open(const DriveTarget& target,
                                                      Access access) override {
    DeviceError failure;
    const auto drive = Binding(target);
    if (!drive) {
      failure.kind = DeviceErrorKind::kUnknownLetter;
      failure.device = target.Name();
      return failure;
    }
    const int fd = OpenDrive(target.letter, *drive, access, failure);
    if (fd < 0) return failure;
    return std::unique_ptr<Device>(std::make_unique<PosixDevice>(fd));
  }
};

}  // namespace

std::uint8_t* AllocatePages(std::size_t size) {
  void* pages = ::mmap(nullptr, size, PROT_READ | PROT_WRITE,
                       MAP_PRIVATE | MAP_ANONYMOUS | MAP_POPULATE, -1, 0);
  if (pages == MAP_FAILED) throw std::bad_alloc();
  return static_cast<std::uint8_t*>(pages);
}

void ReleasePages(std::uint8_t* pages, std::size_t size) {
  if (pages) ::munmap(pages, size);
}

DeviceOpener& PlatformDeviceOpener() {
  static PosixOpener opener;
  return opener;
}

}  // namespace kestrova::volume
