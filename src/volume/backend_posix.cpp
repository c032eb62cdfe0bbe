// POSIX volume backend. The device path "\\.\X:" is resolved through the drive table to a block
// device or an image file. The open is exclusive (O_EXCL on a block device, which the kernel
// refuses while the device is mounted or held; an exclusive advisory lock on an image file) and
// unbuffered (O_DIRECT) where the file system allows it.
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <optional>

#include "volume/drives.h"
#include "volume/volume.h"

namespace kestrova::volume {
namespace {

// "\\.\X:" -> X (uppercase), or nothing when the path is not of that form.
std::optional<char> DriveLetterOf(const std::string& devicePath) {
  static constexpr std::string_view kPrefix = "\\\\.\\";
  if (devicePath.size() != kPrefix.size() + 2 || devicePath.compare(0, kPrefix.size(), kPrefix) ||
      devicePath.back() != ':') {
    return std::nullopt;
  }
  const char letter = devicePath[kPrefix.size()];
  if (letter >= 'a' && letter <= 'z') return static_cast<char>(letter - 'a' + 'A');
  if (letter >= 'A' && letter <= 'Z') return letter;
  return std::nullopt;
}

int OpenExclusive(const std::string& path) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) return -1;
  const bool blockDevice = S_ISBLK(info.st_mode);
  if (!blockDevice && !S_ISREG(info.st_mode)) return -1;
  const int flags = O_RDWR | O_CLOEXEC | (blockDevice ? O_EXCL : 0);
  int fd = ::open(path.c_str(), flags | O_DIRECT);
  if (fd < 0 && errno == EINVAL) fd = ::open(path.c_str(), flags);  // no O_DIRECT here (tmpfs)
  if (fd < 0) return -1;
  if (!blockDevice && ::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

bool IsBlockDevice(int fd) {
  struct stat info {};
  return ::fstat(fd, &info) == 0 && S_ISBLK(info.st_mode);
}

// Unbuffered transfers need the device's own alignment, which can exceed a 512-byte sector
// (an image on a disk with 4 KiB logical blocks). Falls back to buffered I/O for this handle.
bool DropDirectIo(int fd) {
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags < 0 || !(flags & O_DIRECT)) return false;
  return ::fcntl(fd, F_SETFL, flags & ~O_DIRECT) == 0;
}

bool Aligned(const void* pointer) {
  return reinterpret_cast<std::uintptr_t>(pointer) % kBufferAlignment == 0;
}

// Moves byteCount bytes with `transfer` (read or write), going through an aligned bounce buffer
// when the caller's buffer is not aligned for O_DIRECT. Returns false on an error of the system
// call; `done` tells how many bytes moved (fewer at the end of the device).
template <typename Transfer>
bool MoveBytes(int fd, std::uint8_t* buffer, std::uint32_t byteCount, std::uint32_t& done,
               bool toDevice, Transfer transfer) {
  done = 0;
  SectorBuffer bounce;
  const bool bounced = !Aligned(buffer) && byteCount <= bounce.size();
  std::uint8_t* io = bounced ? bounce.data() : buffer;
  if (bounced && toDevice) std::memcpy(io, buffer, byteCount);
  bool ok = true;
  while (done < byteCount) {
    const ssize_t n = transfer(fd, io + done, byteCount - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EINVAL && DropDirectIo(fd)) continue;
    if (n < 0) ok = false;
    if (n <= 0) break;
    done += static_cast<std::uint32_t>(n);
  }
  if (bounced && !toDevice) std::memcpy(buffer, io, done);
  return ok;
}

class PosixBackend final : public VolumeBackend {
 public:
  VolumeHandle Open(const std::string& devicePath) override {
    const auto letter = DriveLetterOf(devicePath);
    if (!letter) return kInvalidHandle;
    const auto target = DriveTarget(*letter);
    if (!target) return kInvalidHandle;
    const int fd = OpenExclusive(*target);
    return fd < 0 ? kInvalidHandle : static_cast<VolumeHandle>(fd);
  }

  bool Close(VolumeHandle handle) override { return ::close(Fd(handle)) == 0; }

  bool SetPosition(VolumeHandle handle, std::int32_t highPart, std::int32_t lowPart) override {
    const std::uint64_t offset =
        (static_cast<std::uint64_t>(static_cast<std::uint32_t>(highPart)) << 32) |
        static_cast<std::uint32_t>(lowPart);
    if (offset > static_cast<std::uint64_t>(INT64_MAX)) return false;
    return ::lseek(Fd(handle), static_cast<off_t>(offset), SEEK_SET) >= 0;
  }

  bool Read(VolumeHandle handle, std::uint8_t* buffer, std::uint32_t byteCount,
            std::uint32_t& bytesRead) override {
    // The end of the device is a successful read of fewer bytes, as on Windows; callers check
    // the count.
    return MoveBytes(Fd(handle), buffer, byteCount, bytesRead, false,
                     [](int fd, std::uint8_t* p, std::size_t n) { return ::read(fd, p, n); });
  }

  bool Write(VolumeHandle handle, const std::uint8_t* buffer, std::uint32_t byteCount,
             std::uint32_t& bytesWritten) override {
    return MoveBytes(Fd(handle), const_cast<std::uint8_t*>(buffer), byteCount, bytesWritten, true,
                     [](int fd, std::uint8_t* p, std::size_t n) { return ::write(fd, p, n); }) &&
           bytesWritten == byteCount;
  }

  bool Dismount(VolumeHandle handle) override {
    // Flush what was written and make the kernel drop its cached blocks, so that the next mount
    // reads the directory from the device.
    const int fd = Fd(handle);
    bool ok = ::fsync(fd) == 0;
    if (ok && IsBlockDevice(fd)) ok = ::ioctl(fd, BLKFLSBUF, 0) == 0;
    return ok;
  }

 private:
  static int Fd(VolumeHandle handle) {
    return handle < 0 || handle > INT32_MAX ? -1 : static_cast<int>(handle);
  }
};

}  // namespace

VolumeBackend& PlatformVolumeBackend() {
  static PosixBackend backend;
  return backend;
}

}  // namespace kestrova::volume
