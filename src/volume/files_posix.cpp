// SPDX-License-Identifier: GPL-3.0-or-later
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <system_error>

#include "volume/files.h"

namespace kestrova::volume {

int WriteFileDurably(const std::filesystem::path& path, std::span<const std::uint8_t> bytes) {
  std::error_code made;
  if (path.has_parent_path()) std::filesystem::create_directories(path.parent_path(), made);
  if (made) return made.value();
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0) return errno;
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      const int error = n < 0 ? errno : EIO;
      ::close(fd);
      return error;
    }
    done += static_cast<std::size_t>(n);
  }
  if (::fsync(fd) != 0) {
    const int error = errno;
    ::close(fd);
    return error;
  }
  if (::close(fd) != 0) return errno;
  // The file's name in its folder reaches the disk too.
  const int folder = ::open(path.has_parent_path() ? path.parent_path().c_str() : ".",
                            O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (folder < 0) return errno;
  const int synced = ::fsync(folder) == 0 ? 0 : errno;
  ::close(folder);
  return synced;
}

int SyncFileSystem(const std::filesystem::path& folder) {
  const int fd = ::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return errno;
  const int synced = ::syncfs(fd) == 0 ? 0 : errno;
  ::close(fd);
  return synced;
}

int MoveFileNoReplace(const std::filesystem::path& from, const std::filesystem::path& to) {
  if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) != 0) {
    if (errno != EINVAL && errno != ENOSYS) return errno;
    // A file system that cannot rename so: a second name, then the first one dropped.
    if (::link(from.c_str(), to.c_str()) != 0) return errno;
    if (::unlink(from.c_str()) != 0) return errno;
  }
  return 0;
}

int MakePrivateFolder(const std::filesystem::path& path) {
  // The missing folders are made from the top down, each with its own mode.
  std::filesystem::path made;
  for (const auto& part : path) {
    made /= part;
    if (made == made.root_path() || ::mkdir(made.c_str(), 0700) == 0) continue;
    if (errno != EEXIST) return errno;
    struct stat info {};
    if (::stat(made.c_str(), &info) != 0) return errno;
    if (!S_ISDIR(info.st_mode)) return ENOTDIR;
  }
  return 0;
}

FileErrorKind KindOfFileError(int error) {
  switch (error) {
    case EACCES:
    case EPERM:
      return FileErrorKind::kNoPermission;
    case EROFS:
      return FileErrorKind::kReadOnly;
    case ENOSPC:
    case EDQUOT:
      return FileErrorKind::kFull;
    case ENOTDIR:
      return FileErrorKind::kNotAFolder;
    case EEXIST:
      return FileErrorKind::kExists;
    default:
      return FileErrorKind::kOther;
  }
}

ReadOutcome ReadRegularFile(const std::filesystem::path& path, std::uint64_t maxBytes,
                            std::vector<std::uint8_t>& bytes, int& error) {
  bytes.clear();
  error = 0;
  // O_NONBLOCK: opening a pipe does not wait for its writer; the type is checked before any read.
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) {
    error = errno;
    return error == ENOENT || error == ENOTDIR ? ReadOutcome::kMissing : ReadOutcome::kFailed;
  }
  struct stat info {};
  if (::fstat(fd, &info) != 0) {
    error = errno;
    ::close(fd);
    return ReadOutcome::kFailed;
  }
  if (!S_ISREG(info.st_mode)) {
    ::close(fd);
    return ReadOutcome::kNotRegular;
  }
  if (static_cast<std::uint64_t>(info.st_size) > maxBytes) {
    ::close(fd);
    return ReadOutcome::kTooLarge;
  }
  bytes.resize(static_cast<std::size_t>(info.st_size));
  std::size_t done = 0;
  // A file that grows while it is read is read only as far as it was: a longer one is refused by
  // the reader of its contents, which knows its length.
  while (done < bytes.size()) {
    const ssize_t n = ::read(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      error = n < 0 ? errno : EIO;
      ::close(fd);
      bytes.clear();
      return ReadOutcome::kFailed;
    }
    done += static_cast<std::size_t>(n);
  }
  std::uint8_t extra = 0;
  const ssize_t more = ::read(fd, &extra, 1);
  ::close(fd);
  if (more > 0) return ReadOutcome::kTooLarge;
  return ReadOutcome::kRead;
}

std::filesystem::path StateDirectory() {
  const char* state = std::getenv("XDG_STATE_HOME");
  if (state && *state == '/') return std::filesystem::path(state) / "kestrova";
  const char* home = std::getenv("HOME");
  if (home && *home) return std::filesystem::path(home) / ".local" / "state" / "kestrova";
  return {};
}

}  // namespace kestrova::volume
