// SPDX-License-Identifier: GPL-3.0-or-later
#include "volume/mounts_posix.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <linux/loop.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string_view>
#include <vector>

namespace kestrova::volume {
namespace {

namespace fs = std::filesystem;

// The first line of a small file (sysfs's), without its newline; empty when it cannot be read.
// Read with plain calls: a stream's buffer and locale cost more than the read itself, and a drive's
// open reads a file of every loop device.
std::string ReadLine(const fs::path& file) {
  const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return {};
  std::string value;
  std::array<char, 512> buffer;
  for (;;) {
    const ssize_t got = ::read(fd, buffer.data(), buffer.size());
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    const auto size = static_cast<std::size_t>(got);
    const auto* end = static_cast<const char*>(std::memchr(buffer.data(), '\n', size));
    value.append(buffer.data(), end ? static_cast<std::size_t>(end - buffer.data()) : size);
    if (end) break;
  }
  ::close(fd);
  return value;
}

fs::path SysfsOf(dev_t device) {
  return "/sys/dev/block/" + std::to_string(major(device)) + ":" + std::to_string(minor(device));
}

// "8:17" -> the device number; nothing when the text is not of that form.
std::optional<dev_t> ParseDeviceNumber(const std::string& text) {
  unsigned majorNumber = 0;
  unsigned minorNumber = 0;
  char colon = 0;
  std::istringstream in(text);
  if (!(in >> majorNumber >> colon >> minorNumber) || colon != ':') return std::nullopt;
  return makedev(majorNumber, minorNumber);
}

// The sequence number of the disk that `device` is or is a partition of; 0 when unknown.
std::uint64_t DiskSequenceOf(dev_t device) {
  const fs::path entry = SysfsOf(device);
  std::error_code missing;
  const fs::path disk = fs::exists(entry / "partition", missing) ? entry / ".." : entry;
  const std::string text = ReadLine(disk / "diskseq");
  std::uint64_t sequence = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), sequence);
  return error == std::errc() && end == text.data() + text.size() ? sequence : 0;
}

// The device and the partitions it holds (none for a partition or an unpartitioned disk).
std::vector<dev_t> DeviceAndPartitions(dev_t device) {
  std::vector<dev_t> devices{device};
  std::error_code error;
  for (const auto& child : fs::directory_iterator(SysfsOf(device), error)) {
    if (!fs::exists(child.path() / "partition", error)) continue;
    if (const auto number = ParseDeviceNumber(ReadLine(child.path() / "dev"))) {
      devices.push_back(*number);
    }
  }
  return devices;
}

// mountinfo writes a space, tab, newline and backslash in a path as \040, \011, \012 and \134.
std::string Unescape(const std::string& text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const bool octal = text[i] == '\\' && i + 3 < text.size() && text[i + 1] >= '0' &&
                       text[i + 1] <= '3' && text[i + 2] >= '0' && text[i + 2] <= '7' &&
                       text[i + 3] >= '0' && text[i + 3] <= '7';
    if (!octal) {
      out += text[i];
      continue;
    }
    out +=
        static_cast<char>((text[i + 1] - '0') * 64 + (text[i + 2] - '0') * 8 + (text[i + 3] - '0'));
    i += 3;
  }
  return out;
}

// The mount points of the devices in /proc/self/mountinfo, in its order; only the first when
// `firstOnly`.
std::vector<std::string> MountPointsOf(const std::vector<dev_t>& devices, bool firstOnly) {
  const auto ours = [&](dev_t number) {
    return std::find(devices.begin(), devices.end(), number) != devices.end();
  };
  std::vector<std::string> mounts;
  std::ifstream in("/proc/self/mountinfo");
  std::string line;
  while (std::getline(in, line) && !(firstOnly && !mounts.empty())) {
    // ID PARENT MAJ:MIN ROOT MOUNT-POINT OPTIONS [OPTIONAL...] - TYPE SOURCE SUPER-OPTIONS
    std::istringstream fields(line);
    std::vector<std::string> field;
    for (std::string word; fields >> word;) field.push_back(word);
    const auto separator = std::find(field.begin() + std::min<std::size_t>(field.size(), 6),
                                     field.end(), std::string("-"));
    if (separator == field.end() || field.end() - separator < 3) continue;
    const auto number = ParseDeviceNumber(field[2]);
    if (number && ours(*number)) {
      mounts.push_back(Unescape(field[4]));
      continue;
    }
    // A FUSE block-device mount (fuseblk) may carry a number of its own; its source names the
    // device.
    const std::string source = Unescape(*(separator + 2));
    if (source.rfind("/dev/", 0) != 0) continue;
    struct stat info {};
    if (::stat(source.c_str(), &info) == 0 && S_ISBLK(info.st_mode) && ours(info.st_rdev)) {
      mounts.push_back(Unescape(field[4]));
    }
  }
  return mounts;
}

// Where the machine's own system lives: a fixed disk holding one of these is not for repair.
bool IsSystemMountPoint(const std::string& mountPoint) {
  static constexpr std::string_view kSystem[] = {"/",    "/boot", "/efi", "/usr",
                                                 "/var", "/home", "/opt", "/srv"};
  for (const std::string_view system : kSystem) {
    if (mountPoint == system) return true;
  }
  return mountPoint.starts_with("/boot/");
}

// "/dev/NAME" of the first partition (by sysfs name order) of the disk at `disk`.
std::string FirstPartitionPath(const fs::path& disk) {
  std::vector<std::string> names;
  std::error_code error;
  for (const auto& child : fs::directory_iterator(disk, error)) {
    if (fs::exists(child.path() / "partition", error)) {
      names.push_back(child.path().filename().string());
    }
  }
  std::sort(names.begin(), names.end(), [](const std::string& a, const std::string& b) {
    return a.size() != b.size() ? a.size() < b.size() : a < b;
  });
  return names.empty() ? std::string() : "/dev/" + names.front();
}

// The names of the loop devices that may have a file behind them. /proc/partitions lists only the
// block devices with a capacity, which an unattached loop device has not: one read instead of a
// look into each of the machine's loop devices (dozens where images are attached often). Every
// loop device in /sys/block when /proc/partitions cannot be read.
std::vector<std::string> LoopDevicesWithCapacity() {
  std::vector<std::string> names;
  if (std::ifstream partitions("/proc/partitions"); partitions) {
    std::string line;
    while (std::getline(partitions, line)) {
      std::istringstream fields(line);
      unsigned long long majorNumber = 0, minorNumber = 0, blocks = 0;
      std::string name;
      if (fields >> majorNumber >> minorNumber >> blocks >> name && name.rfind("loop", 0) == 0) {
        names.push_back(name);
      }
    }
    return names;
  }
  std::error_code error;
  for (const auto& entry : fs::directory_iterator("/sys/block", error)) {
    std::string name = entry.path().filename().string();
    if (name.rfind("loop", 0) == 0) names.push_back(std::move(name));
  }
  return names;
}

// Whether a loop device, opened to ask it, is backed by the file (st_dev, st_ino). The kernel
// reports the file itself, whatever has become of its name.
bool LoopBackedBy(const std::string& loopName, dev_t device, ino_t inode) {
  // Closing the last descriptor of an auto-clearing loop device detaches it: leave those alone.
  if (ReadLine(fs::path("/sys/block") / loopName / "loop" / "autoclear") == "1") return false;
  const int fd = ::open(("/dev/" + loopName).c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return false;
  loop_info64 info{};
  const bool known = ::ioctl(fd, LOOP_GET_STATUS64, &info) == 0;
  ::close(fd);
  return known && major(info.lo_device) == major(device) &&
         minor(info.lo_device) == minor(device) && info.lo_inode == inode;
}

}  // namespace

std::optional<DeviceIdentity> IdentityOfPath(const std::string& path) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) return std::nullopt;
  if (S_ISBLK(info.st_mode)) {
    return DeviceIdentity{true, info.st_rdev, 0, DiskSequenceOf(info.st_rdev)};
  }
  if (S_ISREG(info.st_mode)) return DeviceIdentity{false, info.st_dev, info.st_ino, 0};
  return std::nullopt;
}

DeviceIdentity IdentityOfDescriptor(int fd, const struct stat& info) {
  if (!S_ISBLK(info.st_mode)) return {false, info.st_dev, info.st_ino, 0};
  std::uint64_t sequence = 0;
  if (::ioctl(fd, BLKGETDISKSEQ, &sequence) != 0) sequence = 0;  // a kernel before 5.15
  return {true, info.st_rdev, 0, sequence};
}

bool SameDevice(const DeviceIdentity& recorded, const DeviceIdentity& now) {
  if (recorded.blockDevice != now.blockDevice || recorded.device != now.device) return false;
  if (!now.blockDevice) return recorded.inode == now.inode;
  return recorded.diskSequence == 0 || now.diskSequence == 0 ||
         recorded.diskSequence == now.diskSequence;
}

std::string MountPointOf(dev_t device) {
  const auto mounts = MountPointsOf(DeviceAndPartitions(device), true);
  return mounts.empty() ? std::string() : mounts.front();
}

DeviceRole RoleOf(dev_t device) {
  const fs::path entry = SysfsOf(device);
  std::error_code error;
  const bool partition = fs::exists(entry / "partition", error);
  const fs::path disk = partition ? fs::canonical(entry, error).parent_path() : entry;
  const std::vector<dev_t> onDisk =
      partition ? DeviceAndPartitions(ParseDeviceNumber(ReadLine(disk / "dev")).value_or(device))
                : DeviceAndPartitions(device);
  if (ReadLine(disk / "removable") != "1") {
    for (const std::string& mountPoint : MountPointsOf(onDisk, false)) {
      if (IsSystemMountPoint(mountPoint)) return {DeviceRole::Kind::kSystemDisk, {}, mountPoint};
    }
  }
  if (!partition && onDisk.size() > 1) {
    return {DeviceRole::Kind::kWholeDisk, FirstPartitionPath(entry), {}};
  }
  return {};
}

bool BacksLoopDevice(dev_t device, ino_t inode) {
  static constexpr std::string_view kDeleted = " (deleted)";
  for (const std::string& name : LoopDevicesWithCapacity()) {
    const std::string backing = ReadLine(fs::path("/sys/block") / name / "loop" / "backing_file");
    if (backing.empty()) continue;  // not attached
    const bool deleted =
        backing.size() > kDeleted.size() &&
        backing.compare(backing.size() - kDeleted.size(), kDeleted.size(), kDeleted) == 0;
    if (deleted) {
      // The name is gone, or names another file now; the file may live on under another link.
      if (LoopBackedBy(name, device, inode)) return true;
      continue;
    }
    struct stat info {};
    if (::stat(backing.c_str(), &info) == 0 && info.st_dev == device && info.st_ino == inode) {
      return true;
    }
  }
  return false;
}

}  // namespace kestrova::volume
