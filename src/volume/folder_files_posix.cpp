// SPDX-License-Identifier: GPL-3.0-or-later
#include <dirent.h>
#include <fcntl.h>
#include <linux/msdos_fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "volume/folder_files.h"

namespace kestrova::volume {
namespace {

// Where Wine and Samba keep the DOS attributes on a Unix file system: "0x" and their bits in hex.
constexpr const char* kDosAttributeName = "user.DOSATTRIB";

// The hidden, system and read-only bits of the entry `name` of the open folder `folder`: through
// the vfat driver's call, else the DOSATTRIB attribute. False when neither is there (an entry
// without the attribute is visible, but says nothing of whether the file system keeps them).
bool DosAttributes(int folder, const char* name, bool isFolder, std::uint32_t& bits) {
  const int fd = ::openat(
      folder, name, O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | (isFolder ? O_DIRECTORY : 0));
  if (fd < 0) return false;
  std::uint32_t driver = 0;
  bool seen = ::ioctl(fd, FAT_IOCTL_GET_ATTRIBUTES, &driver) == 0;
  if (seen) {
    bits = driver & (kListedReadOnly | kListedHidden | kListedSystem);
  } else {
    char text[32] = {};
    const ssize_t n = ::fgetxattr(fd, kDosAttributeName, text, sizeof text - 1);
    if (n >= 0) {
      seen = true;
      text[n] = '\0';
      bits = static_cast<std::uint32_t>(std::strtoul(text, nullptr, 16)) &
             (kListedReadOnly | kListedHidden | kListedSystem);
    }
  }
  ::close(fd);
  return seen;
}

}  // namespace

FolderFiles ListFolderFiles(const std::filesystem::path& folder, std::size_t maxEntries) {
  FolderFiles listed;
  const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) {
    listed.complete = false;
    return listed;
  }
  DIR* dir = ::fdopendir(fd);
  if (!dir) {
    ::close(fd);
    listed.complete = false;
    return listed;
  }
  bool anySeen = false;
  for (;;) {
    errno = 0;
    const dirent* entry = ::readdir(dir);
    if (!entry) {
      if (errno != 0) listed.complete = false;
      break;
    }
    const std::string_view name = entry->d_name;
    if (name == "." || name == "..") continue;
    if (listed.entries.size() >= maxEntries) {
      listed.complete = false;
      break;
    }
    struct stat info {};
    if (::fstatat(fd, entry->d_name, &info, AT_SYMLINK_NOFOLLOW) != 0) {
      listed.complete = false;
      continue;
    }
    const bool isFolder = S_ISDIR(info.st_mode);
    if (!isFolder && !S_ISREG(info.st_mode)) continue;  // no FAT or exFAT entry is anything else
    ListedEntry listedEntry;
    listedEntry.name = std::string(name);
    listedEntry.attributes = isFolder ? kListedFolder : kListedArchive;
    if (!isFolder) listedEntry.size = static_cast<std::uint64_t>(info.st_size);
    std::uint32_t bits = 0;
    if (DosAttributes(fd, entry->d_name, isFolder, bits)) {
      anySeen = true;
      listedEntry.attributes |= bits;
    }
    listed.entries.push_back(std::move(listedEntry));
  }
  ::closedir(dir);
  listed.attributesSeen = anySeen;
  return listed;
}

void ListNames(const std::filesystem::path& folder,
               const std::function<void(std::string_view name, ListedType type)>& take) {
  DIR* dir = ::opendir(folder.c_str());
  if (!dir) return;
  while (const dirent* entry = ::readdir(dir)) {
    const std::string_view name = entry->d_name;
    if (name == "." || name == "..") continue;
    take(name, entry->d_type == DT_REG                                  ? ListedType::kFile
               : entry->d_type == DT_LNK || entry->d_type == DT_UNKNOWN ? ListedType::kUnknown
                                                                        : ListedType::kOther);
  }
  ::closedir(dir);
}

std::vector<std::uint8_t> ReadFileHead(const std::filesystem::path& file, std::size_t limit) {
  std::vector<std::uint8_t> bytes;
  // Without an access time where the owner may ask for that; a stick is never written to.
  int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOATIME);
  if (fd < 0 && errno == EPERM)
    fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
  if (fd < 0) return bytes;
  struct stat info {};
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    ::close(fd);
    return bytes;
  }
  bytes.resize(limit);
  std::size_t done = 0;
  while (done < limit) {
    const ssize_t n = ::read(fd, bytes.data() + done, limit - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<std::size_t>(n);
  }
  ::close(fd);
  bytes.resize(done);
  return bytes;
}

std::filesystem::path PathIn(const std::filesystem::path& folder, const std::string& name) {
  return folder / name;
}

}  // namespace kestrova::volume
