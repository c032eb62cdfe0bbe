// SPDX-License-Identifier: GPL-3.0-or-later
// POSIX stand-in for drive letters: a table that maps letters to removable block devices and to
// the image files or devices that a front end registers. The table is a snapshot made at the last
// RefreshDrives(): a letter keeps its device until the next refresh, and the open checks that the
// device or file is still the one the letter was given. The block devices come from UDisks2 (those
// with a FAT or exFAT file system on a removable drive or a loop device) or, where it does not
// answer, from sysfs (every removable disk's partitions).
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
#include "volume/udisks_posix.h"

namespace kestrova::volume {
namespace {

namespace fs = std::filesystem;

constexpr char kFirstAutomaticLetter = 'D';  // C is the system's own drive on Windows

struct Drive {
  std::string path;
  bool registered = false;  // by a front end; else a removable block device the system listed
  std::optional<DeviceIdentity> identity;
  // As UDisks2 told them at the refresh: the label, and the size (which a user without root
  // could not learn from the device).
  std::optional<std::string> label;
  std::optional<std::uint64_t> size;
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

// A block device that may take a letter, and its label and size where the system told them.
struct Candidate {
  std::string path;
  std::optional<std::string> label;
  std::optional<std::uint64_t> size;
};

// The removable block devices of the machine in sysfs: for each removable disk with media, its
// partitions, or the whole disk when it has none. Sorted by name so that letters are stable.
std::vector<std::string> SysfsBlockDevices() {
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

// UDisks2's list where it answers, else sysfs's.
std::vector<Candidate> CandidateDevices() {
  std::vector<Candidate> candidates;
  if (const auto listed = udisks::CandidateDevices()) {
    for (const auto& device : *listed) {
      candidates.push_back({device.device, device.label, device.sizeBytes});
    }
  } else {
    for (auto& path : SysfsBlockDevices()) candidates.push_back({std::move(path), {}, {}});
  }
  return candidates;
}

// The letter in the drive table's form (uppercase), or 0 for none.
char TableLetter(char letter) { return DriveLetter(std::string_view(&letter, 1)).value_or(0); }

bool SameBlockDevice(const Drive& drive, const DeviceIdentity& device) {
  return drive.identity && drive.identity->blockDevice && drive.identity->device == device.device;
}

// A new look at the machine: registered letters stay and have their identity taken again; the
// removable block devices keep the letters they had, and new ones take free letters from D.
void Refresh(Snapshot& snapshot) {
  std::map<char, Drive> fresh;
  for (const auto& [letter, drive] : snapshot.drives) {
    if (drive.registered) fresh[letter] = {drive.path, true, IdentityOfPath(drive.path), {}, {}};
  }
  std::vector<Drive> arrived;
  for (auto& candidate : CandidateDevices()) {
    const std::string& path = candidate.path;
    const auto identity = IdentityOfPath(path);
    if (!identity || !identity->blockDevice) continue;  // gone since it was listed
    const bool presented = std::any_of(fresh.begin(), fresh.end(), [&](const auto& entry) {
      return entry.second.path == path || SameBlockDevice(entry.second, *identity);
    });
    if (presented) continue;
    const auto before =
        std::find_if(snapshot.drives.begin(), snapshot.drives.end(), [&](const auto& entry) {
          return !entry.second.registered && entry.second.path == path &&
                 SameBlockDevice(entry.second, *identity);
        });
    Drive drive{path, false, identity, std::move(candidate.label), candidate.size};
    if (before != snapshot.drives.end() && !fresh.count(before->first)) {
      fresh[before->first] = std::move(drive);
    } else {
      arrived.push_back(std::move(drive));
    }
  }
  char next = kFirstAutomaticLetter;
  for (auto& drive : arrived) {
    while (next <= kLastDriveLetter && fresh.count(next)) ++next;
    if (next > kLastDriveLetter) break;
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
  letter = TableLetter(letter);
  if (letter == 0) return false;
  auto& snapshot = TheSnapshot();
  const std::lock_guard lock(snapshot.mutex);
  auto& drives = Drives(snapshot);
  Drive drive{path, true, IdentityOfPath(path), {}, {}};
  // A removable device now presented under this letter leaves its automatic one.
  std::erase_if(drives, [&](const auto& entry) {
    return !entry.second.registered &&
           (entry.second.path == path || (drive.identity && drive.identity->blockDevice &&
                                          SameBlockDevice(entry.second, *drive.identity)));
  });
  drives[letter] = std::move(drive);
  return true;
}

std::optional<DriveBinding> Binding(const DriveTarget& target) {
  if (!target.letter) return DriveBinding{target.path, std::nullopt};
  return BoundDrive(target.letter);
}

std::optional<DriveBinding> BoundDrive(char letter) {
  auto& snapshot = TheSnapshot();
  const std::lock_guard lock(snapshot.mutex);
  const auto& drives = Drives(snapshot);
  const auto found = drives.find(TableLetter(letter));
  if (found == drives.end()) return std::nullopt;
  return DriveBinding{found->second.path, found->second.identity};
}

void RecordDriveIdentity(char letter, const std::string& path, const DeviceIdentity& identity) {
  auto& snapshot = TheSnapshot();
  const std::lock_guard lock(snapshot.mutex);
  auto& drives = Drives(snapshot);
  const auto found = drives.find(TableLetter(letter));
  if (found != drives.end() && found->second.path == path && !found->second.identity) {
    found->second.identity = identity;
  }
}

std::optional<std::string> DrivePath(char letter) {
  const auto drive = BoundDrive(letter);
  if (!drive) return std::nullopt;
  return drive->path;
}

unsigned QueryDriveType(const std::string& root) {
  if (root.size() != 2 || root[1] != ':') return kDriveNoRootDir;
  return DrivePath(root[0]) ? kDriveRemovable : kDriveNoRootDir;
}

std::vector<DriveInfo> ListRemovableDrives() {
  std::vector<DriveInfo> drives;
  {
    auto& snapshot = TheSnapshot();
    const std::lock_guard lock(snapshot.mutex);
    for (const auto& [letter, drive] : Drives(snapshot)) {
      drives.push_back({letter,
                        drive.path,
                        drive.size.value_or(0),
                        drive.label.value_or(""),
                        drive.label.has_value(),
                        {},
                        DriveTarget::OfLetter(letter)});
    }
  }
  for (auto& drive : drives) {
    if (drive.sizeBytes == 0) drive.sizeBytes = SizeOf(drive.device);
    drive.mountPoint = DriveMountPoint(drive.target);
  }
  return drives;
}

std::string DriveMountPoint(const DriveTarget& target) {
  const auto drive = Binding(target);
  const auto identity = drive ? IdentityOfPath(drive->path) : std::nullopt;
  if (!identity || !identity->blockDevice) return {};
  return MountPointOf(identity->device);
}

namespace {

// Unmounts or mounts the drive's file system through UDisks2: only while a letter still names the
// device it was given.
MountChange ChangeMount(const DriveTarget& target, udisks::Outcome (*change)(dev_t)) {
  const auto drive = Binding(target);
  const auto identity = drive ? IdentityOfPath(drive->path) : std::nullopt;
  if (!identity || !identity->blockDevice ||
      (drive->identity && !SameDevice(*drive->identity, *identity))) {
    MountChange unknown;
    unknown.noService = true;
    return unknown;
  }
  const udisks::Outcome outcome = change(identity->device);
  return {outcome.done, outcome.notAuthorized, !outcome.reached, outcome.mountPoint,
          outcome.detail};
}

}  // namespace

MountChange UnmountDrive(const DriveTarget& target) { return ChangeMount(target, udisks::Unmount); }

MountChange MountDrive(const DriveTarget& target) { return ChangeMount(target, udisks::Mount); }

}  // namespace kestrova::volume
