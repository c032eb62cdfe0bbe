// POSIX stand-in for drive letters: a table that maps letters to removable block devices and to
// the image files or devices that a front end registers.
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>

#include "volume/drives.h"

namespace kestrova::volume {
namespace {

namespace fs = std::filesystem;

constexpr char kFirstLetter = 'C';
constexpr char kLastLetter = 'Z';
constexpr char kFirstAutomaticLetter = 'D';  // C is the system's own drive on Windows

// Letters that front ends registered explicitly.
std::map<char, std::string>& Registered() {
  static std::map<char, std::string> table;
  return table;
}

std::string ReadSysfs(const fs::path& file) {
  std::ifstream in(file);
  std::string value;
  std::getline(in, value);
  return value;
}

// The removable block devices of the machine: for each removable disk with media, its partitions,
// or the whole disk when it has none. Sorted by name so that letters are stable.
std::vector<std::string> RemovableBlockDevices() {
  std::vector<std::string> devices;
  std::error_code error;
  for (const auto& disk : fs::directory_iterator("/sys/block", error)) {
    if (ReadSysfs(disk.path() / "removable") != "1") continue;
    if (ReadSysfs(disk.path() / "size") == "0") continue;  // a reader without media
    const std::string name = disk.path().filename().string();
    std::vector<std::string> partitions;
    for (const auto& child : fs::directory_iterator(disk.path(), error)) {
      if (fs::exists(child.path() / "partition")) {
        partitions.push_back("/dev/" + child.path().filename().string());
      }
    }
    std::sort(partitions.begin(), partitions.end());
    if (partitions.empty()) partitions.push_back("/dev/" + name);
    devices.insert(devices.end(), partitions.begin(), partitions.end());
  }
  std::sort(devices.begin(), devices.end());
  return devices;
}

char Upper(char letter) { return letter >= 'a' && letter <= 'z' ? letter - 'a' + 'A' : letter; }

// The whole table: registered letters first, then the removable block devices on free letters.
std::map<char, std::string> DriveTable() {
  std::map<char, std::string> table = Registered();
  char next = kFirstAutomaticLetter;
  for (const auto& device : RemovableBlockDevices()) {
    const bool presented = std::any_of(table.begin(), table.end(),
                                       [&](const auto& entry) { return entry.second == device; });
    if (presented) continue;
    while (next <= kLastLetter && table.count(next)) ++next;
    if (next > kLastLetter) break;
    table[next] = device;
  }
  return table;
}

std::uint64_t SizeOf(const std::string& path) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) return 0;
  if (S_ISREG(info.st_mode)) return static_cast<std::uint64_t>(info.st_size);
  std::uint64_t size = 0;
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return 0;
  if (::ioctl(fd, BLKGETSIZE64, &size) != 0) size = 0;
  ::close(fd);
  return size;
}

}  // namespace

bool RegisterDrive(char letter, const std::string& path) {
  letter = Upper(letter);
  if (letter < kFirstLetter || letter > kLastLetter) return false;
  Registered()[letter] = path;
  return true;
}

std::optional<char> FreeDriveLetter() {
  const auto table = DriveTable();
  for (char letter = kFirstAutomaticLetter; letter <= kLastLetter; ++letter) {
    if (!table.count(letter)) return letter;
  }
  if (!table.count(kFirstLetter)) return kFirstLetter;
  return std::nullopt;
}

std::optional<std::string> DriveTarget(char letter) {
  const auto table = DriveTable();
  const auto found = table.find(Upper(letter));
  if (found == table.end()) return std::nullopt;
  return found->second;
}

unsigned QueryDriveType(const std::string& root) {
  if (root.size() != 2 || root[1] != ':') return kDriveNoRootDir;
  return DriveTarget(root[0]) ? kDriveRemovable : kDriveNoRootDir;
}

std::vector<DriveInfo> ListRemovableDrives() {
  std::vector<DriveInfo> drives;
  for (const auto& [letter, path] : DriveTable()) {
    drives.push_back({letter, path, SizeOf(path), {}});
  }
  return drives;
}

}  // namespace kestrova::volume
