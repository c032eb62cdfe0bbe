// POSIX stand-in for drive letters: a table that maps letters to removable block devices and to
// the image files or devices that a front end registers. The table is a snapshot made at the last
// RefreshDrives(): a letter keeps its device until the next refresh, and the open checks that the
// device or file is still the one the letter was given.
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>

#include "volume/drives.h"
#include "volume/mounts_posix.h"

namespace kestrova::volume {
namespace {

namespace fs = std::filesystem;

constexpr char kFirstLetter = 'C';
constexpr char kLastLetter = 'Z';
constexpr char kFirstAutomaticLetter = 'D';  // C is the system's own drive on Windows

struct Drive {
  std::string path;
  bool registered = false;  // by a front end; else a removable block device found in sysfs
  std::optional<DeviceIdentity> identity;
};

struct Snapshot {
  std::mutex mutex;
  bool made = false;
  std::map<char, Drive> drives;
};

Snapshot& TheSnapshot() {
  static Snapshot snapshot;
  return snapshot;
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
      if (fs::exists(child.path() / "partition", error)) {
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

bool SameBlockDevice(const Drive& drive, const DeviceIdentity& device) {
  return drive.identity && drive.identity->blockDevice && drive.identity->device == device.device;
}

// A new look at the machine: registered letters stay and have their identity taken again; the
// removable block devices keep the letters they had, and new ones take free letters from D.
void Refresh(Snapshot& snapshot) {
  std::map<char, Drive> fresh;
  for (const auto& [letter, drive] : snapshot.drives) {
    if (drive.registered) fresh[letter] = {drive.path, true, IdentityOfPath(drive.path)};
  }
  std::vector<Drive> arrived;
  for (const auto& path : RemovableBlockDevices()) {
    const auto identity = IdentityOfPath(path);
    if (!identity || !identity->blockDevice) continue;  // gone since sysfs listed it
    const bool presented = std::any_of(fresh.begin(), fresh.end(), [&](const auto& entry) {
      return entry.second.path == path || SameBlockDevice(entry.second, *identity);
    });
    if (presented) continue;
    const auto before =
        std::find_if(snapshot.drives.begin(), snapshot.drives.end(), [&](const auto& entry) {
          return !entry.second.registered && entry.second.path == path &&
                 SameBlockDevice(entry.second, *identity);
        });
    Drive drive{path, false, identity};
    if (before != snapshot.drives.end() && !fresh.count(before->first)) {
      fresh[before->first] = std::move(drive);
    } else {
      arrived.push_back(std::move(drive));
    }
  }
  char next = kFirstAutomaticLetter;
  for (auto& drive : arrived) {
    while (next <= kLastLetter && fresh.count(next)) ++next;
    if (next > kLastLetter) break;
    fresh[next] = std::move(drive);
  }
  snapshot.drives = std::move(fresh);
  snapshot.made = true;
}

// The letters of the snapshot, made on its first use. The caller holds the snapshot's lock.
std::map<char, Drive>& Drives(Snapshot& snapshot) {
  if (!snapshot.made) Refresh(snapshot);
  return snapshot.drives;
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

void RefreshDrives() {
  auto& snapshot = TheSnapshot();
  const std::lock_guard lock(snapshot.mutex);
  Refresh(snapshot);
}

bool RegisterDrive(char letter, const std::string& path) {
  letter = Upper(letter);
  if (letter < kFirstLetter || letter > kLastLetter) return false;
  auto& snapshot = TheSnapshot();
  const std::lock_guard lock(snapshot.mutex);
  auto& drives = Drives(snapshot);
  Drive drive{path, true, IdentityOfPath(path)};
  // A removable device now presented under this letter leaves its automatic one.
  std::erase_if(drives, [&](const auto& entry) {
    return !entry.second.registered &&
           (entry.second.path == path || (drive.identity && drive.identity->blockDevice &&
                                          SameBlockDevice(entry.second, *drive.identity)));
  });
  drives[letter] = std::move(drive);
  return true;
}

std::optional<DriveBinding> BoundDrive(char letter) {
  auto& snapshot = TheSnapshot();
  const std::lock_guard lock(snapshot.mutex);
  const auto& drives = Drives(snapshot);
  const auto found = drives.find(Upper(letter));
  if (found == drives.end()) return std::nullopt;
  return DriveBinding{found->second.path, found->second.identity};
}

void RecordDriveIdentity(char letter, const std::string& path, const DeviceIdentity& identity) {
  auto& snapshot = TheSnapshot();
  const std::lock_guard lock(snapshot.mutex);
  auto& drives = Drives(snapshot);
  const auto found = drives.find(Upper(letter));
  if (found != drives.end() && found->second.path == path && !found->second.identity) {
    found->second.identity = identity;
  }
}

std::optional<char> FreeDriveLetter() {
  auto& snapshot = TheSnapshot();
  const std::lock_guard lock(snapshot.mutex);
  const auto& drives = Drives(snapshot);
  for (char letter = kFirstAutomaticLetter; letter <= kLastLetter; ++letter) {
    if (!drives.count(letter)) return letter;
  }
  if (!drives.count(kFirstLetter)) return kFirstLetter;
  return std::nullopt;
}

std::optional<std::string> DriveTarget(char letter) {
  const auto drive = BoundDrive(letter);
  if (!drive) return std::nullopt;
  return drive->path;
}

unsigned QueryDriveType(const std::string& root) {
  if (root.size() != 2 || root[1] != ':') return kDriveNoRootDir;
  return DriveTarget(root[0]) ? kDriveRemovable : kDriveNoRootDir;
}

std::vector<DriveInfo> ListRemovableDrives() {
  std::vector<DriveInfo> drives;
  {
    auto& snapshot = TheSnapshot();
    const std::lock_guard lock(snapshot.mutex);
    for (const auto& [letter, drive] : Drives(snapshot))
      drives.push_back({letter, drive.path, 0, {}});
  }
  for (auto& drive : drives) drive.sizeBytes = SizeOf(drive.device);
  return drives;
}

}  // namespace kestrova::volume
