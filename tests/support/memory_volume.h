// SPDX-License-Identifier: GPL-3.0-or-later
// A volume backend in memory, for tests and the fuzzer: drives are byte vectors, every call is
// counted, and any call can be made to fail on demand.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "volume/volume.h"

namespace kestrova::testing {

class MemoryVolume final : public volume::VolumeBackend {
 public:
  enum class Call { kOpen, kClose, kSetPosition, kRead, kWrite, kFlush, kDismount, kSize };

  // Presents `bytes` as the volume of drive `letter` (uppercase).
  void AddDrive(char letter, const std::vector<std::uint8_t>& bytes);
  // Presents a zero-filled volume of `sizeBytes`, stored sparsely (only sectors written to it).
  void AddSparseDrive(char letter, std::uint64_t sizeBytes);
  // Byte access to a drive's contents, outside the handle's view.
  void Poke(char letter, std::uint64_t offset, const std::vector<std::uint8_t>& bytes);
  std::vector<std::uint8_t> Peek(char letter, std::uint64_t offset, std::size_t length) const;
  // The sectors of a drive that hold anything other than zeros, by sector number.
  const std::map<std::uint64_t, volume::SectorBuffer>& Sectors(char letter) const;
  std::uint64_t Size(char letter) const { return drives_.at(letter).size; }

  // Makes the n-th call (counted from 1, over the backend's life) of a kind fail. A read or write
  // failure may be made "short": the call succeeds but moves fewer bytes.
  void FailAt(Call call, int n, bool shortTransfer = false);
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
  bool IsOpen() const { return open_.has_value(); }

  // The access of the open handle.
  volume::Access OpenAccess() const { return access_; }

  volume::VolumeHandle Open(const volume::DriveTarget& target, volume::Access access,
                            volume::DeviceError& failure) override;
  bool Close(volume::VolumeHandle handle) override;
  bool SetPosition(volume::VolumeHandle handle, std::int32_t highPart,
                   std::int32_t lowPart) override;
  bool Read(volume::VolumeHandle handle, std::uint8_t* buffer, std::uint32_t byteCount,
            std::uint32_t& bytesRead) override;
  bool Write(volume::VolumeHandle handle, const std::uint8_t* buffer, std::uint32_t byteCount,
             std::uint32_t& bytesWritten) override;
  bool WriteProtected(volume::VolumeHandle handle) override;
  bool Flush(volume::VolumeHandle handle) override;
  bool Size(volume::VolumeHandle handle, volume::DeviceSize& size) override;
  bool Dismount(volume::VolumeHandle handle) override;

 private:
  struct Failure {
    bool shortTransfer = false;
  };
  // Counts the call; returns the failure planned for it, if any.
  std::optional<Failure> Next(Call call);
  bool Valid(volume::VolumeHandle handle) const;

  struct Drive {
    std::uint64_t size = 0;
    std::uint32_t sectorBytes = volume::kSectorSize;
    std::map<std::uint64_t, volume::SectorBuffer> sectors;
  };
  // Copy between a drive and memory, clipped at the drive's end. Return the bytes moved.
  static std::size_t ReadBytes(const Drive& drive, std::uint64_t offset, std::uint8_t* bytes,
                               std::size_t length);
  static std::size_t WriteBytes(Drive& drive, std::uint64_t offset, const std::uint8_t* bytes,
                                std::size_t length);

  std::map<char, Drive> drives_;
  std::set<char> held_;
  std::map<char, Protection> protected_;
  bool writeRefused_ = false;  // the last write was refused as write-protected
  volume::Access access_ = volume::Access::kReadWrite;
  std::map<std::pair<Call, int>, Failure> failures_;
  std::map<Call, int> counts_;
  std::optional<char> open_;  // the drive behind the open handle
  volume::VolumeHandle nextHandle_ = 100;
  volume::VolumeHandle handle_ = volume::kInvalidHandle;
  std::uint64_t position_ = 0;
  std::vector<Transfer> readTransfers_;
  std::vector<std::int64_t> sectorsRead_;
  std::vector<std::int64_t> sectorsWritten_;
};

// Puts a backend in place for the lifetime of the object.
class ScopedBackend {
 public:
  explicit ScopedBackend(volume::VolumeBackend& backend) { volume::UseVolumeBackend(&backend); }
  ~ScopedBackend() { volume::UseVolumeBackend(nullptr); }
  ScopedBackend(const ScopedBackend&) = delete;
  ScopedBackend& operator=(const ScopedBackend&) = delete;
};

}  // namespace kestrova::testing
