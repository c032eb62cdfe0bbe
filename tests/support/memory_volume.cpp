// SPDX-License-Identifier: GPL-3.0-or-later
#include "memory_volume.h"

#include <algorithm>
#include <cstring>

namespace kestrova::testing {

void MemoryVolume::AddDrive(char letter, const std::vector<std::uint8_t>& bytes) {
  AddSparseDrive(letter, bytes.size());
  Poke(letter, 0, bytes);
}

void MemoryVolume::AddSparseDrive(char letter, std::uint64_t sizeBytes) {
  drives_[letter] = Drive{sizeBytes, volume::kSectorSize, {}};
}

void MemoryVolume::Poke(char letter, std::uint64_t offset, const std::vector<std::uint8_t>& bytes) {
  WriteBytes(drives_.at(letter), offset, bytes.data(), bytes.size());
}

std::vector<std::uint8_t> MemoryVolume::Peek(char letter, std::uint64_t offset,
                                             std::size_t length) const {
  std::vector<std::uint8_t> bytes(length);
  bytes.resize(ReadBytes(drives_.at(letter), offset, bytes.data(), length));
  return bytes;
}

const std::map<std::uint64_t, volume::SectorBuffer>& MemoryVolume::Sectors(char letter) const {
  return drives_.at(letter).sectors;
}

std::size_t MemoryVolume::ReadBytes(const Drive& drive, std::uint64_t offset, std::uint8_t* bytes,
                                    std::size_t length) {
  if (offset >= drive.size) return 0;
  length = static_cast<std::size_t>(std::min<std::uint64_t>(length, drive.size - offset));
  for (std::size_t done = 0; done < length;) {
    const std::uint64_t sector = (offset + done) / volume::kSectorSize;
    const std::size_t within = static_cast<std::size_t>((offset + done) % volume::kSectorSize);
    const std::size_t part = std::min<std::size_t>(length - done, volume::kSectorSize - within);
    const auto found = drive.sectors.find(sector);
    if (found == drive.sectors.end()) {
      std::memset(bytes + done, 0, part);
    } else {
      std::memcpy(bytes + done, found->second.data() + within, part);
    }
    done += part;
  }
  return length;
}

std::size_t MemoryVolume::WriteBytes(Drive& drive, std::uint64_t offset, const std::uint8_t* bytes,
                                     std::size_t length) {
  if (offset >= drive.size) return 0;
  length = static_cast<std::size_t>(std::min<std::uint64_t>(length, drive.size - offset));
  for (std::size_t done = 0; done < length;) {
    const std::uint64_t sector = (offset + done) / volume::kSectorSize;
    const std::size_t within = static_cast<std::size_t>((offset + done) % volume::kSectorSize);
    const std::size_t part = std::min<std::size_t>(length - done, volume::kSectorSize - within);
    auto& stored = drive.sectors[sector];
    std::memcpy(stored.data() + within, bytes + done, part);
    if (std::all_of(stored.begin(), stored.end(), [](std::uint8_t b) { return b == 0; })) {
      drive.sectors.erase(sector);
    }
    done += part;
  }
  return length;
}

void MemoryVolume::FailAt(Call call, int n, bool shortTransfer) {
  failures_[{call, n}] = Failure{shortTransfer};
}

int MemoryVolume::Count(Call call) const {
  const auto found = counts_.find(call);
  return found == counts_.end() ? 0 : found->second;
}

std::optional<MemoryVolume::Failure> MemoryVolume::Next(Call call) {
  const int n = ++counts_[call];
  const auto found = failures_.find({call, n});
  if (found == failures_.end()) return std::nullopt;
  return found->second;
}

bool MemoryVolume::Valid(volume::VolumeHandle handle) const {
  return open_.has_value() && handle == handle_;
}

void MemoryVolume::Truncate(char letter, std::uint64_t sizeBytes) {
  auto& drive = drives_.at(letter);
  drive.size = sizeBytes;
  std::erase_if(drive.sectors, [&](const auto& entry) {
    return entry.first >= (sizeBytes + volume::kSectorSize - 1) / volume::kSectorSize;
  });
}

volume::VolumeHandle MemoryVolume::Open(const volume::DriveTarget& target, volume::Access access,
                                        volume::DeviceError& failure) {
  using Kind = volume::DeviceErrorKind;
  auto refuse = [&](Kind kind) {
    failure.kind = kind;
    return volume::kInvalidHandle;
  };
  if (Next(Call::kOpen)) return refuse(Kind::kOther);
  const char letter = target.letter;
  if (!drives_.count(letter)) return refuse(Kind::kNotFound);
  if (held_.count(letter) || open_) return refuse(Kind::kBusy);
  const auto protection = protected_.find(letter);
  if (access == volume::Access::kReadWrite && protection != protected_.end() &&
      protection->second == Protection::kRefusesOpen) {
    return refuse(Kind::kReadOnly);
  }
  access_ = access;
  open_ = letter;
  handle_ = nextHandle_++;
  position_ = 0;
  return handle_;
}

bool MemoryVolume::Close(volume::VolumeHandle handle) {
  if (Next(Call::kClose) || !Valid(handle)) return false;
  open_.reset();
  return true;
}

bool MemoryVolume::SetPosition(volume::VolumeHandle handle, std::int32_t highPart,
                               std::int32_t lowPart) {
  if (Next(Call::kSetPosition) || !Valid(handle)) return false;
  position_ = (static_cast<std::uint64_t>(static_cast<std::uint32_t>(highPart)) << 32) |
              static_cast<std::uint32_t>(lowPart);
  return true;
}

bool MemoryVolume::Read(volume::VolumeHandle handle, std::uint8_t* buffer, std::uint32_t byteCount,
                        std::uint32_t& bytesRead) {
  bytesRead = 0;
  const auto failure = Next(Call::kRead);
  if ((failure && !failure->shortTransfer) || !Valid(handle)) return false;
  const std::uint32_t wanted = failure ? byteCount / 2 : byteCount;
  bytesRead = static_cast<std::uint32_t>(ReadBytes(drives_.at(*open_), position_, buffer, wanted));
  readTransfers_.push_back({static_cast<std::int64_t>(position_ / volume::kSectorSize),
                            static_cast<std::int64_t>(bytesRead / volume::kSectorSize)});
  for (std::uint64_t at = position_; at < position_ + bytesRead; at += volume::kSectorSize) {
    sectorsRead_.push_back(static_cast<std::int64_t>(at / volume::kSectorSize));
  }
  position_ += bytesRead;
  return true;
}

bool MemoryVolume::Write(volume::VolumeHandle handle, const std::uint8_t* buffer,
                         std::uint32_t byteCount, std::uint32_t& bytesWritten) {
  bytesWritten = 0;
  writeRefused_ = false;
  const auto failure = Next(Call::kWrite);
  if ((failure && !failure->shortTransfer) || !Valid(handle)) return false;
  if (access_ != volume::Access::kReadWrite) return false;
  if (protected_.count(*open_)) {
    writeRefused_ = true;
    return false;
  }
  const std::uint32_t wanted = failure ? byteCount / 2 : byteCount;
  bytesWritten =
      static_cast<std::uint32_t>(WriteBytes(drives_.at(*open_), position_, buffer, wanted));
  for (std::uint64_t at = position_; at < position_ + bytesWritten; at += volume::kSectorSize) {
    sectorsWritten_.push_back(static_cast<std::int64_t>(at / volume::kSectorSize));
  }
  position_ += bytesWritten;
  return true;
}

bool MemoryVolume::WriteProtected(volume::VolumeHandle handle) {
  return Valid(handle) && writeRefused_;
}

bool MemoryVolume::Flush(volume::VolumeHandle handle) {
  return !Next(Call::kFlush) && Valid(handle);
}

bool MemoryVolume::Size(volume::VolumeHandle handle, volume::DeviceSize& size) {
  if (Next(Call::kSize) || !Valid(handle)) return false;
  const Drive& drive = drives_.at(*open_);
  size.bytes = drive.size;
  size.sectorBytes = drive.sectorBytes;
  return true;
}

bool MemoryVolume::Dismount(volume::VolumeHandle handle) {
  return !Next(Call::kDismount) && Valid(handle);
}

}  // namespace kestrova::testing
