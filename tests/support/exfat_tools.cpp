// SPDX-License-Identifier: GPL-3.0-or-later
#include "exfat_tools.h"
#include "disk_facts.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <functional>
#include <stdexcept>

#include "fat_tools.h"
#include "format/codepage.h"

namespace kestrova::testing {
namespace {

// Where exFAT keeps its fields.
constexpr std::uint64_t kFatOffsetField = 80;
constexpr std::uint64_t kHeapOffsetField = 88;
constexpr std::uint64_t kRootClusterField = 96;
constexpr std::uint64_t kSectorShiftField = 108;
constexpr std::uint64_t kClusterShiftField = 109;
constexpr std::size_t kEntry = 32;
constexpr std::uint8_t kFileType = 0x85;
constexpr std::uint8_t kNameType = 0xC1;
constexpr std::uint8_t kStreamType = 0xC0;
constexpr std::uint8_t kUnusedFileType = 0x05;  // a File entry not in use

std::uint64_t Le(const std::vector<std::uint8_t>& bytes, std::size_t at, std::size_t length) {
  std::uint64_t value = 0;
  for (std::size_t i = length; i-- > 0;) value = value << 8 | bytes.at(at + i);
  return value;
}

// The `size` little-endian bytes of a value.
std::vector<std::uint8_t> Bytes(std::uint64_t value, std::size_t size) {
  std::vector<std::uint8_t> bytes(size);
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<std::uint8_t>(value >> (8 * i));
  return bytes;
}

}  // namespace

bool MakeExfatImage(const std::filesystem::path& image, std::uint64_t sizeMiB,
                    const std::string& options, std::uint32_t sectorBytes, std::string* why) {
  std::filesystem::remove(image);
  const std::string file = Quote(image.string());
  if (Run("truncate -s " + std::to_string(sizeMiB) + "M " + file).status != 0) return false;
  std::string target = file;
  std::string device;
  if (sectorBytes != 512) {
    const auto attached =
        ::geteuid() == 0
            ? Run("losetup -b " + std::to_string(sectorBytes) + " -f --show " + file, true)
            : CommandResult{};
    if (attached.status != 0) {
      if (why) *why = "no loop device with " + std::to_string(sectorBytes) + "-byte sectors";
      return false;
    }
    device = attached.output.substr(0, attached.output.find('\n'));
    target = Quote(device);
  }
  const auto made = Run("mkfs.exfat " + options + " " + target, true);
  if (!device.empty()) DetachLoop(device, image);
  if (made.status != 0) ADD_FAILURE() << "mkfs.exfat " << options << ": " << made.output;
  return made.status == 0;
}

std::string WithFuseMount(const std::filesystem::path& image,
                          const std::function<std::string(const std::filesystem::path&)>& use,
                          bool writable) {
  if (::geteuid() != 0) return "needs root for a loop device and a FUSE mount";
  const auto attached = Run("losetup -f --show " + Quote(image.string()), true);
  if (attached.status != 0) return "no loop device: " + attached.output;
  const std::string device = attached.output.substr(0, attached.output.find('\n'));
  TempDir mount;
  std::string why;
  const auto mounted = Run("mount.exfat-fuse " + std::string(writable ? "" : "-o ro ") +
                               Quote(device) + " " + Quote(mount.path().string()),
                           true);
  if (mounted.status != 0) {
    why = "no FUSE mount: " + mounted.output;
  } else {
    why = use(mount.path());
    if (Run("umount " + Quote(mount.path().string()), true).status != 0 && why.empty()) {
      why = "cannot unmount";
    }
  }
  DetachLoop(device, image);
  if (!why.empty() && mounted.status == 0) ADD_FAILURE() << why;
  return why;
}

std::string MakeFoldersThroughFuse(const std::filesystem::path& image,
                                   const std::vector<std::string>& folders,
                                   const std::vector<ImageFile>& files) {
  return WithFuseMount(
      image,
      [&](const std::filesystem::path& mount) -> std::string {
        for (const auto& folder : folders) {
          std::error_code error;
          if (!std::filesystem::create_directory(mount / folder, error)) {
            return "mkdir " + folder + ": " + error.message();
          }
        }
        for (const auto& file : files) {
          std::ofstream(mount.string() + file.path, std::ios::binary)
              .write(reinterpret_cast<const char*>(file.bytes.data()),
                     static_cast<std::streamsize>(file.bytes.size()));
        }
        return {};
      },
      true);
}

ExfatRootSets::ExfatRootSets(const std::filesystem::path& image,
                             const std::vector<std::string>& folder)
    : image_(image) {
  const auto boot = ReadAt(image, 0, 512);
  if (boot.size() < 512) throw std::runtime_error("no boot sector");
  sectorBytes_ = std::uint64_t{1} << boot[kSectorShiftField];
  clusterBytes_ = sectorBytes_ << boot[kClusterShiftField];
  fatOffset_ = Le(boot, kFatOffsetField, 4) * sectorBytes_;
  rootCluster_ = static_cast<std::uint32_t>(Le(boot, kRootClusterField, 4));
  heap_ = Le(boot, kHeapOffsetField, 4) * sectorBytes_;
  ReadDirectory(ChainFrom(rootCluster_, false, 0));
  for (const std::string& name : folder) ReadDirectory(Clusters(name));
}

std::vector<std::uint32_t> ExfatRootSets::ChainFrom(std::uint32_t first, bool contiguous,
                                                    std::uint64_t length) const {
  std::vector<std::uint32_t> clusters;
  if (contiguous) {
    for (std::uint64_t i = 0; i * clusterBytes_ < length; ++i) {
      clusters.push_back(first + static_cast<std::uint32_t>(i));
    }
    return clusters;
  }
  for (std::uint32_t cluster = first; cluster != kExfatEndMark;) {
    clusters.push_back(cluster);
    cluster = static_cast<std::uint32_t>(Le(ReadAt(image_, fatOffset_ + cluster * 4ull, 4), 0, 4));
    if (clusters.size() > (1u << 20)) throw std::runtime_error("chain does not end");
  }
  return clusters;
}

std::vector<std::uint32_t> ExfatRootSets::Clusters(const std::string& name) const {
  const Set& set = Named(name);
  return ChainFrom(set.first, set.flags & 0x02, set.length);
}

void ExfatRootSets::ReadDirectory(const std::vector<std::uint32_t>& clusters) {
  // The directory's bytes in chain order, and where each of its entries lies in the image.
  std::vector<std::uint8_t>& root = root_;
  std::vector<std::uint64_t>& places = places_;
  root.clear();
  places.clear();
  sets_.clear();
  for (const std::uint32_t cluster : clusters) {
    const std::uint64_t at = heap_ + (cluster - 2) * clusterBytes_;
    const auto bytes = ReadAt(image_, at, clusterBytes_);
    root.insert(root.end(), bytes.begin(), bytes.end());
    for (std::uint64_t i = 0; i < clusterBytes_; i += kEntry) places.push_back(at + i);
  }
  for (std::size_t e = 0; e < places.size() && root[e * kEntry] != 0;) {
    if (root[e * kEntry] != kFileType) {
      ++e;
      continue;
    }
    const std::size_t count = root[e * kEntry + 1];
    Set set;
    set.attributes = static_cast<std::uint16_t>(Le(root, e * kEntry + 4, 2));
    set.first = static_cast<std::uint32_t>(Le(root, (e + 1) * kEntry + 20, 4));
    set.flags = root.at((e + 1) * kEntry + 1);
    set.length = Le(root, (e + 1) * kEntry + 24, 8);
    std::u16string name;
    const std::size_t length = root.at((e + 1) * kEntry + 3);
    for (std::size_t i = 0; i <= count; ++i) {
      set.entries.push_back(places.at(e + i));
      if (i >= 2 && root[(e + i) * kEntry] == kNameType) {
        for (std::size_t c = 0; c < 15 && name.size() < length; ++c) {
          name += static_cast<char16_t>(Le(root, (e + i) * kEntry + 2 + 2 * c, 2));
        }
      }
    }
    set.name = repair::Utf16ToUtf8(name);
    sets_.push_back(set);
    e += count + 1;
  }
}

const ExfatRootSets::Set& ExfatRootSets::Named(const std::string& name) const {
  for (const auto& set : sets_) {
    if (set.name == name) return set;
  }
  throw std::runtime_error("no set named " + name);
}

std::uint16_t ExfatSetChecksum(const std::vector<std::uint8_t>& set) {
  std::uint16_t sum = 0;
  for (std::size_t i = 0; i < set.size(); ++i) {
    if (i == 2 || i == 3) continue;
    sum = static_cast<std::uint16_t>((sum >> 1 | sum << 15) + set[i]);
  }
  return sum;
}

std::uint16_t ExfatRootSets::Checksum(const Set& set) const {
  std::vector<std::uint8_t> bytes;
  for (const std::uint64_t entry : set.entries) {
    const auto read = ReadAt(image_, entry, kEntry);
    bytes.insert(bytes.end(), read.begin(), read.end());
  }
  return ExfatSetChecksum(bytes);
}

void ExfatRootSets::SetAttributes(const std::string& name, std::uint16_t attributes) {
  const Set& set = Named(name);
  PatchBytes(image_, set.entries[0] + 4, Bytes(attributes, 2));
  PatchBytes(image_, set.entries[0] + 2, Bytes(Checksum(set), 2));
  const_cast<Set&>(set).attributes = attributes;
}

bool ExfatRootSets::ChecksumHolds(const std::string& name) const {
  const Set& set = Named(name);
  const auto stored = ReadAt(image_, set.entries[0] + 2, 2);
  return Checksum(set) == (stored.at(0) | stored.at(1) << 8);
}

void ExfatRootSets::SpoilChecksum(const std::string& name) {
  const Set& set = Named(name);
  PatchBytes(image_, set.entries[0] + 2, Bytes(Checksum(set) ^ 0x5A5A, 2));
}

void ExfatRootSets::SetStream(const std::string& name, std::uint8_t flags, std::uint32_t first,
                              std::uint64_t length) {
  const std::uint64_t stream = Named(name).entries.at(1);
  PatchBytes(image_, stream + 1, {flags});
  for (const std::uint64_t at : {stream + 8, stream + 24}) PatchBytes(image_, at, Bytes(length, 8));
  PatchBytes(image_, stream + 20, Bytes(first, 4));
  auto& set = const_cast<Set&>(Named(name));
  set.flags = flags;
  set.first = first;
  set.length = length;
  SetAttributes(name, set.attributes);  // the checksum
}

void ExfatRootSets::SetFat(std::uint32_t cluster, std::uint32_t value) {
  PatchBytes(image_, fatOffset_ + cluster * 4ull, Bytes(value, 4));
}

std::vector<std::uint8_t> ExfatSetBytes(const ExfatSet& set) {
  const std::size_t nameEntries = (set.name.size() + 14) / 15;
  std::vector<std::uint8_t> bytes((2 + nameEntries + set.extra.size()) * kEntry, 0);
  auto put = [&](std::size_t at, std::uint64_t value, std::size_t size) {
    const auto le = Bytes(value, size);
    std::copy(le.begin(), le.end(), bytes.begin() + static_cast<std::ptrdiff_t>(at));
  };
  put(0, kFileType, 1);
  put(1, set.secondaryCount < 0 ? bytes.size() / kEntry - 1 : set.secondaryCount, 1);
  put(4, set.attributes, 2);
  put(kEntry, kStreamType, 1);
  put(kEntry + 1, set.flags, 1);
  put(kEntry + 3, set.name.size(), 1);
  put(kEntry + 20, set.first, 4);
  put(kEntry + 8, set.length, 8);  // valid data length
  put(kEntry + 24, set.length, 8);
  for (std::size_t c = 0; c < set.name.size(); ++c) {
    if (c % 15 == 0) put((2 + c / 15) * kEntry, kNameType, 1);
    put((2 + c / 15) * kEntry + 2 + 2 * (c % 15), static_cast<std::uint8_t>(set.name[c]), 2);
  }
  for (std::size_t i = 0; i < set.extra.size(); ++i) {
    put((2 + nameEntries + i) * kEntry, set.extra[i], 1);
  }
  put(2, ExfatSetChecksum(bytes), 2);
  return bytes;
}

void ExfatRootSets::PutSet(std::size_t index, const ExfatSet& set) {
  const std::vector<std::uint8_t> bytes = ExfatSetBytes(set);
  // Unused entries from the end of the directory up to the set.
  const std::vector<std::uint8_t> unused = [] {
    std::vector<std::uint8_t> entry(kEntry, 0);
    entry[0] = kUnusedFileType;
    return entry;
  }();
  // Written a run of entries that follow one another in the image at a time.
  std::vector<std::uint8_t> run;
  std::uint64_t runStart = 0;
  auto flush = [&] {
    if (!run.empty()) PatchBytes(image_, runStart, run);
    run.clear();
  };
  for (std::size_t i = 0; i < index; ++i) {
    if (root_.at(i * kEntry) != 0) {
      flush();
      continue;
    }
    root_[i * kEntry] = kUnusedFileType;
    if (!run.empty() && runStart + run.size() != places_[i]) flush();
    if (run.empty()) runStart = places_[i];
    run.insert(run.end(), unused.begin(), unused.end());
  }
  flush();
  for (std::size_t i = 0; i < bytes.size() / kEntry; ++i) {
    const auto entry = bytes.begin() + static_cast<std::ptrdiff_t>(i * kEntry);
    PatchBytes(image_, places_.at(index + i), {entry, entry + kEntry});
    root_.at((index + i) * kEntry) = *entry;
  }
}

}  // namespace kestrova::testing
