// SPDX-License-Identifier: GPL-3.0-or-later
// Sticks in a MemoryVolume that hold files and folders, written as a file system driver writes
// them: on FAT32 (over Fat32Volume) a long name where the name is no upper-case 8.3 one, the data
// in clusters handed out in order and chained in both FATs, and an FSInfo sector that counts the
// free clusters; on exFAT (over ExfatVolume) an entry set, the data contiguous or chained by the
// FAT and marked in the allocation bitmap. A folder takes one cluster. Names are ASCII.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <ostream>
#include <string>
#include <tuple>
#include <type_traits>
#include <vector>

#include "exfat_volume.h"
#include "fat32_volume.h"
#include "memory_volume.h"
#include "volume/volume.h"

namespace kestrova::testing {

// A drive's contents as MemoryVolume::Sectors gives them.
using Snapshot = std::map<std::uint64_t, volume::SectorBuffer>;
// The byte offsets at which two drive contents differ, in order.
std::vector<std::uint64_t> ChangedBytes(const Snapshot& before, const Snapshot& after);
// Drive `letter` of the memory volumes, opened for writing as the passes open it.
volume::Expected<volume::Volume, volume::DeviceError> OpenDrive(char letter = 'F');
// The byte at `offset` of a drive's contents, and bytes put there.
inline std::uint8_t ByteAt(const Snapshot& drive, std::uint64_t offset) {
  const auto sector = drive.find(offset / volume::kSectorSize);
  return sector == drive.end() ? 0 : sector->second[offset % volume::kSectorSize];
}
inline void Put(Snapshot& drive, std::uint64_t offset, const std::vector<std::uint8_t>& bytes) {
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    drive[(offset + i) / volume::kSectorSize][(offset + i) % volume::kSectorSize] = bytes[i];
  }
}
// A file's bytes that are text.
inline std::vector<std::uint8_t> Text(const std::string& text) {
  return {text.begin(), text.end()};
}

class MemoryStick {
 public:
  enum class Kind { kFat32, kExfat };

  // A file or folder as it was written.
  struct Item {
    std::vector<std::uint32_t> clusters;  // its data, in order; empty for a file without data
    std::vector<std::uint64_t> entries;   // the drive offset of each of its directory entries:
                                          // long-name entries then the short one, or the set
    std::uint32_t First() const { return clusters.empty() ? 0 : clusters.front(); }
  };

  // A file to write. Its clusters are the next free ones unless given; on exFAT they are
  // contiguous, without a FAT chain, unless `chained`.
  struct File {
    std::string name;
    std::uint16_t attributes = 0x20;
    std::vector<std::uint8_t> bytes = {};
    std::vector<std::uint32_t> clusters = {};
    bool chained = false;
    std::optional<std::uint64_t> size = std::nullopt;  // what the entry records; else the bytes'
  };

  // A stick on drive `letter` of `memory`, with an empty root; on FAT32 each FAT takes
  // `fatSectors` sectors (the stick has 128 clusters a sector of them, less two).
  MemoryStick(MemoryVolume& memory, Kind kind, char letter = 'F', std::uint32_t fatSectors = 64);

  Item Add(const File& file, const Item* in = nullptr);
  Item AddFolder(const std::string& name, std::uint16_t attributes, const Item* in = nullptr);
  // FAT32: chains `cluster` on at a folder's end; what is added to the folder goes there.
  void GrowFolder(Item& folder, std::uint32_t cluster);
  // exFAT: the next free cluster, marked used and its FAT entry an end mark; and entries written
  // as they are given in the root's next free slots (an up-case table's, a set Add does not make).
  std::uint32_t TakeCluster();
  Item AddRootEntries(const std::vector<std::uint8_t>& entries);

  Kind kind() const { return kind_; }
  char letter() const { return letter_; }
  std::uint64_t ClusterBytes() const;
  std::uint64_t ClusterOffset(std::uint32_t cluster) const;
  std::uint32_t RootCluster() const;
  // The volume's last cluster: its cluster count + 1.
  std::uint32_t LastCluster() const;
  // Where the entry of `cluster` lies in each FAT (exFAT's first), and its bit in the allocation
  // bitmap (exFAT).
  std::vector<std::uint64_t> FatEntryOffsets(std::uint32_t cluster) const;
  std::uint64_t BitmapByte(std::uint32_t cluster) const;
  // Sets the FAT entry of `cluster` in every FAT.
  void Link(std::uint32_t cluster, std::uint32_t next);
  // The clusters handed out from now on start at `cluster`; those skipped stay free.
  void AllocateFrom(std::uint32_t cluster) { nextCluster_ = cluster; }
  // Makes an item's entry name `cluster` as its first (exFAT: its set checksum made anew).
  void SetFirstCluster(const Item& item, std::uint32_t cluster);
  // Marks each of the item's entries removed, as a driver's delete does to the entries alone.
  void MarkRemoved(const Item& item);
  // FAT32: where FSInfo keeps its count of free clusters.
  std::uint64_t FreeCountOffset() const;

  Snapshot Drive() const { return memory_.Sectors(letter_); }

 private:
  // The drive offset of the next free entry slot of a folder (its first cluster; 0: the root).
  std::uint64_t NextSlots(const Item* in, std::size_t count);
  // The next free cluster, counted used; clusters counted used.
  std::uint32_t Allocate();
  void Use(std::size_t clusters);
  void SetFreeCount(std::uint32_t count);

  MemoryVolume& memory_;
  Kind kind_;
  char letter_;
  std::uint32_t fatSectors_;
  std::optional<Fat32Volume> fat32_;
  std::optional<ExfatVolume> exfat_;
  std::uint32_t nextCluster_ = 0;
  std::uint32_t used_ = 0;
  std::map<std::uint32_t, std::size_t> slots_;  // the entries in use of each folder, by cluster
  int shortNames_ = 0;                          // the ~N numbers handed out
};

// The file system's name, for the tests' names.
inline const char* KindName(MemoryStick::Kind kind) {
  return kind == MemoryStick::Kind::kFat32 ? "fat32" : "exfat";
}
inline void PrintTo(MemoryStick::Kind kind, std::ostream* out) { *out << KindName(kind); }
// Names a test after its stick's kind ("exfat"), or its kind and its case's name ("exfat_name").
struct KindTestName {
  template <typename Info>
  std::string operator()(const Info& info) const {
    if constexpr (std::is_same_v<std::decay_t<decltype(info.param)>, MemoryStick::Kind>) {
      return KindName(info.param);
    } else {
      return std::string(KindName(std::get<0>(info.param))) + "_" + std::get<1>(info.param).name;
    }
  }
};

}  // namespace kestrova::testing
