// SPDX-License-Identifier: GPL-3.0-or-later
// The tests' devices: drives in memory, for tests and the fuzzer, whose opener hands out a device
// per open; every call is counted and logged, and any call can be made to fail on demand. The
// log also stands over the platform's own devices (LoggingOpener).
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "volume/volume.h"

namespace kestrova::testing {

// The calls of a device, as the log and the counts name them: its open, its reads, writes,
// flushes, dismounts and size questions, and its close when it goes.
enum class DeviceCall { kOpen, kClose, kRead, kWrite, kFlush, kDismount, kSize };

using OpenedDevice = volume::Expected<std::unique_ptr<volume::Device>, volume::DeviceError>;

// Every call made of the devices that an opener handed out, in order, with its result.
class DeviceLog {
 public:
  struct Event {
    DeviceCall call;
    bool ok = false;
    std::uint64_t offset = 0;  // where a read or write began
    std::uint64_t bytes = 0;   // the bytes that it moved
  };
  std::vector<Event> events;
  // Runs as each read and write begins (kRead or kWrite): a test's chosen point inside a pass.
  std::function<void(DeviceCall)> onTransfer;

 protected:
  // Logs an open; the device that it gave logs each of its calls here until it goes.
  OpenedDevice Logged(OpenedDevice opened);
};

// The devices of another opener (the platform's), with their calls logged.
class LoggingOpener final : public volume::DeviceOpener, public DeviceLog {
 public:
  explicit LoggingOpener(volume::DeviceOpener& inner) : inner_(inner) {}
  OpenedDevice Open(const volume::DriveTarget& target, volume::Access access) override {
    return Logged(inner_.Open(target, access));
  }

 private:
  volume::DeviceOpener& inner_;
};

// Drives in memory, by letter, and the opener of their devices. A drive opens once at a time;
// the counts, the planned failures and the records of what moved cover every device that the
// store handed out, in the order of the calls.
class MemoryVolume final : public volume::DeviceOpener, public DeviceLog {
 public:
  using Call = DeviceCall;

  // Presents `bytes` as the volume of drive `letter` (uppercase).
  void AddDrive(char letter, const std::vector<std::uint8_t>& bytes);
  // Presents a zero-filled volume of `sizeBytes`, stored sparsely (only sectors written to it).
  void AddSparseDrive(char letter, std::uint64_t sizeBytes);
  // Byte access to a drive's contents, outside any device.
  void Poke(char letter, std::uint64_t offset, const std::vector<std::uint8_t>& bytes);
  std::vector<std::uint8_t> Peek(char letter, std::uint64_t offset, std::size_t length) const;
  // The sectors of a drive that hold anything other than zeros, by sector number.
  const std::map<std::uint64_t, volume::SectorBuffer>& Sectors(char letter) const;
  std::uint64_t Size(char letter) const { return drives_.at(letter).size; }

  // How a call planned to fail fails: it fails outright (a transfer that moved nothing), it
  // succeeds in moving only half of its bytes (a read that meets the end, a write cut short), or
  // the transfer never begins.
  enum class Fault { kFails, kShort, kNotStarted };
  // Makes the n-th call (counted from 1, over the store's life) of a kind fail.
  void FailAt(Call call, int n, Fault fault = Fault::kFails);
  void FailAt(Call call, int n, bool shortTransfer) {
    FailAt(call, n, shortTransfer ? Fault::kShort : Fault::kFails);
  }
  // Makes a drive look held by another program: opens fail.
  void HoldDrive(char letter) { held_.insert(letter); }
  // Makes a drive write-protected: it opens for reading only, or (as a medium whose protection
  // the system finds out only when writing) it opens for writing too and refuses every write.
  enum class Protection { kRefusesOpen, kRefusesWrites };
  void ProtectDrive(char letter, Protection how = Protection::kRefusesOpen) {
    protected_[letter] = how;
  }
  // Cuts a drive's contents off at `sizeBytes`, as a device shorter than its file system.
  void Truncate(char letter, std::uint64_t sizeBytes);
  // The sector size that the drive reports as its device's (512 unless set).
  void SetDeviceSectorSize(char letter, std::uint32_t bytes) {
    drives_.at(letter).sectorBytes = bytes;
  }

  int Count(Call call) const;
  // The reads, in order: the first sector and the number of sectors of each.
  struct Transfer {
    std::int64_t first = 0;
    std::int64_t count = 0;
    bool operator==(const Transfer&) const = default;
  };
  const std::vector<Transfer>& ReadTransfers() const { return readTransfers_; }
  // Sector numbers read and written, in order: every sector that a transfer covered.
  const std::vector<std::int64_t>& SectorsRead() const { return sectorsRead_; }
  const std::vector<std::int64_t>& SectorsWritten() const { return sectorsWritten_; }
  // Whether a device of the store is open.
  bool IsOpen() const { return !open_.empty(); }

  // The access of the last open.
  volume::Access OpenAccess() const { return access_; }

  OpenedDevice Open(const volume::DriveTarget& target, volume::Access access) override;

 private:
  class MemoryDevice;
  struct Drive {
    std::uint64_t size = 0;
    std::uint32_t sectorBytes = volume::kSectorSize;
    std::map<std::uint64_t, volume::SectorBuffer> sectors;
  };

  // Counts the call; returns the failure planned for it, if any.
  std::optional<Fault> Next(Call call);
  OpenedDevice OpenDrive(const volume::DriveTarget& target, volume::Access access);
  // Copy between a drive and memory, clipped at the drive's end. Return the bytes moved.
  static std::size_t ReadBytes(const Drive& drive, std::uint64_t offset, std::uint8_t* bytes,
                               std::size_t length);
  static std::size_t WriteBytes(Drive& drive, std::uint64_t offset, const std::uint8_t* bytes,
                                std::size_t length);

  std::map<char, Drive> drives_;
  std::set<char> held_;
  std::map<char, Protection> protected_;
  volume::Access access_ = volume::Access::kReadWrite;
  std::map<std::pair<Call, int>, Fault> failures_;
  std::map<Call, int> counts_;
  std::set<char> open_;  // the drives that a device has open
  std::vector<Transfer> readTransfers_;
  std::vector<std::int64_t> sectorsRead_;
  std::vector<std::int64_t> sectorsWritten_;
};

// Puts an opener in place of the platform's for the lifetime of the object.
class ScopedBackend {
 public:
  explicit ScopedBackend(volume::DeviceOpener& opener) { volume::UseDeviceOpener(&opener); }
  ~ScopedBackend() { volume::UseDeviceOpener(nullptr); }
  ScopedBackend(const ScopedBackend&) = delete;
  ScopedBackend& operator=(const ScopedBackend&) = delete;
};

}  // namespace kestrova::testing
