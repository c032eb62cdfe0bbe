// SPDX-License-Identifier: GPL-3.0-or-later
// FAT32 volumes built byte by byte in a MemoryVolume, and a window that records what the engine
// asks of it. The builder writes only what a test names: a boot sector, FAT entries and
// directory entries; everything else stays zero.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "memory_volume.h"
#include "repair/window_contacts.h"

namespace kestrova::testing {

struct Fat32Geometry {
  std::uint16_t bytesPerSector = 512;
  std::uint8_t sectorsPerCluster = 8;
  std::uint16_t reservedSectors = 32;
  std::uint8_t fatCount = 2;
  std::uint32_t fatSize = 64;
  std::uint32_t totalSectors = 0;  // 0: as many as the FAT can describe
  std::uint32_t rootCluster = 2;
  std::string typeText = "FAT32   ";
};

class Fat32Volume {
 public:
  // Writes the boot sector and the two reserved FAT entries; the root is one cluster long.
  Fat32Volume(MemoryVolume& memory, char letter, const Fat32Geometry& geometry);

  std::uint64_t DataStart() const;
  std::uint64_t ClusterCount() const;
  std::uint64_t ClusterSector(std::uint32_t cluster) const;
  std::uint32_t LastCluster() const { return static_cast<std::uint32_t>(ClusterCount() + 1); }
  std::uint64_t TotalSectors() const { return totalSectors_; }

  // Sets the entry of `cluster` in every FAT.
  void SetFat(std::uint32_t cluster, std::uint32_t value);
  // Links the clusters in order and ends the chain with an end mark.
  void Chain(const std::vector<std::uint32_t>& clusters);
  // Writes a 32-byte directory entry: `name11` is the 8.3 name as stored (11 bytes).
  void PutEntry(std::uint64_t sector, int index, const std::string& name11, std::uint8_t attribute);
  // Sets the first cluster of the entry at `index` of `sector`.
  void SetFirstCluster(std::uint64_t sector, int index, std::uint32_t cluster);
  void PokeBoot(std::size_t offset, const std::vector<std::uint8_t>& bytes);

  char letter() const { return letter_; }
  MemoryVolume& memory() { return memory_; }

 private:
  MemoryVolume& memory_;
  char letter_;
  Fat32Geometry geometry_;
  std::uint64_t totalSectors_ = 0;
};

// Little-endian bytes of a 16- or 32-bit value.
std::vector<std::uint8_t> Le16(std::uint16_t value);
std::vector<std::uint8_t> Le32(std::uint32_t value);

// Passes every call on to another backend and logs it, in order, with its result.
class LoggingBackend final : public volume::VolumeBackend {
 public:
  struct Event {
    MemoryVolume::Call call;
    bool ok = false;
    std::int32_t highPart = 0;  // SetPosition's arguments
    std::int32_t lowPart = 0;
    std::uint32_t bytes = 0;  // the bytes that a read moved
    std::uint64_t Offset() const;
  };

  explicit LoggingBackend(volume::VolumeBackend& inner) : inner_(inner) {}
  std::vector<Event> events;
  // Runs as each read and write begins (kRead or kWrite): a test's chosen point inside a pass.
  std::function<void(MemoryVolume::Call)> onTransfer;

  volume::VolumeHandle Open(const std::string& devicePath, volume::Access access,
                            volume::OpenFailure& failure) override;
  bool Close(volume::VolumeHandle handle) override;
  bool SetPosition(volume::VolumeHandle handle, std::int32_t highPart,
                   std::int32_t lowPart) override;
  bool Read(volume::VolumeHandle handle, std::uint8_t* buffer, std::uint32_t byteCount,
            std::uint32_t& bytesRead) override;
  bool Write(volume::VolumeHandle handle, const std::uint8_t* buffer, std::uint32_t byteCount,
             std::uint32_t& bytesWritten) override;
  bool WriteProtected(volume::VolumeHandle handle) override {
    return inner_.WriteProtected(handle);
  }
  bool Flush(volume::VolumeHandle handle) override;
  bool Size(volume::VolumeHandle handle, volume::DeviceSize& size) override;
  bool Dismount(volume::VolumeHandle handle) override;

 private:
  bool Log(MemoryVolume::Call call, bool ok) {
    events.push_back({call, ok});
    return ok;
  }
  volume::VolumeBackend& inner_;
};

// The window contact points, recorded.
class RecordingWindow final : public repair::WindowContacts {
 public:
  struct Message {
    std::string text;
    std::string title;
    int style = 0;
  };

  std::vector<std::string> entries{"F"};
  std::int16_t selected = 0;
  std::vector<bool> enabledHistory;  // every SetRepairEnabled, in order
  std::vector<Message> messages;
  std::vector<float> widths;
  int pumps = 0;
  std::function<void()> onPump;  // runs inside ProcessPendingEvents

  bool RepairEnabled() const { return !enabledHistory.empty() && enabledHistory.back(); }
  bool EverEnabled() const;

  std::string ListEntryText(std::int16_t index) override;
  std::int16_t FirstSelectedIndex() override { return selected; }
  void SetRepairEnabled(bool enabled) override { enabledHistory.push_back(enabled); }
  void ShowMessage(const std::string& text, const std::string& title, int style) override {
    messages.push_back({text, title, style});
  }
  void SetProgressWidth(float percent) override { widths.push_back(percent); }
  void ProcessPendingEvents() override;
};

}  // namespace kestrova::testing
