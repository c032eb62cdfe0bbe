// SPDX-License-Identifier: GPL-3.0-or-later
#include "memory_volume.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace kestrova::testing {

namespace {

using volume::CallFailure;
using volume::DeviceError;
using Kind = volume::DeviceErrorKind;

// A device whose calls go to the log as they are made.
class LoggedDevice final : public volume::Device {
 public:
  LoggedDevice(std::unique_ptr<volume::Device> inner, DeviceLog& log)
      : inner_(std::move(inner)), log_(log) {}
  LoggedDevice(const LoggedDevice&) = delete;
  LoggedDevice& operator=(const LoggedDevice&) = delete;
  ~LoggedDevice() override {
    inner_.reset();
    log_.events.push_back({DeviceCall::kClose, true});
  }

  std::optional<DeviceError> Read(std::uint64_t offset, std::span<std::uint8_t> bytes) override {
    return Transfer(DeviceCall::kRead, offset, bytes.size(),
                    [&] { return inner_->Read(offset, bytes); });
  }
  std::optional<DeviceError> Write(std::uint64_t offset,
                                   std::span<const std::uint8_t> bytes) override {
    return Transfer(DeviceCall::kWrite, offset, bytes.size(),
                    [&] { return inner_->Write(offset, bytes); });
  }
  std::optional<DeviceError> Flush() override { return Log(DeviceCall::kFlush, inner_->Flush()); }
  std::optional<DeviceError> Dismount() override {
    return Log(DeviceCall::kDismount, inner_->Dismount());
  }
  volume::Expected<volume::DeviceSize, DeviceError> Size() override {
    auto size = inner_->Size();
    log_.events.push_back({DeviceCall::kSize, size.has_value()});
    return size;
  }

 private:
  template <typename Move>
  std::optional<DeviceError> Transfer(DeviceCall call, std::uint64_t offset, std::size_t size,
                                      Move move) {
    if (log_.onTransfer) log_.onTransfer(call);
    auto failure = move();
    log_.events.push_back({call, !failure, offset, failure ? failure->bytesMoved : size});
    return failure;
  }
  std::optional<DeviceError> Log(DeviceCall call, std::optional<DeviceError> failure) {
    log_.events.push_back({call, !failure});
    return failure;
  }

  std::unique_ptr<volume::Device> inner_;
  DeviceLog& log_;
};

}  // namespace

OpenedDevice DeviceLog::Logged(OpenedDevice opened) {
  events.push_back({DeviceCall::kOpen, opened.has_value()});
  if (!opened) return opened;
  return std::unique_ptr<volume::Device>(std::make_unique<LoggedDevice>(std::move(*opened), *this));
}

// A device of a drive of the store: what it reads, writes and is asked goes to the store's drive,
// counted, recorded and failed as the store's plan says.
class MemoryVolume::MemoryDevice final : public volume::Device {
 public:
  MemoryDevice(MemoryVolume& store, char letter, volume::Access access)
      : store_(store), letter_(letter), access_(access) {}
  MemoryDevice(const MemoryDevice&) = delete;
  MemoryDevice& operator=(const MemoryDevice&) = delete;
  ~MemoryDevice() override {
    store_.Next(Call::kClose);
    store_.open_.erase(letter_);
  }

  std::optional<DeviceError> Read(std::uint64_t offset, std::span<std::uint8_t> bytes) override {
    const auto fault = store_.Next(Call::kRead);
    if (fault == Fault::kFails) return CallFailure(Kind::kIoFailed);
    if (fault == Fault::kNotStarted) return CallFailure(Kind::kNotStarted);
    const std::size_t wanted = fault ? bytes.size() / 2 : bytes.size();
    const std::size_t got = ReadBytes(Stored(), offset, bytes.data(), wanted);
    store_.readTransfers_.push_back({static_cast<std::int64_t>(offset / volume::kSectorSize),
                                     static_cast<std::int64_t>(got / volume::kSectorSize)});
    for (std::uint64_t at = offset; at < offset + got; at += volume::kSectorSize) {
      store_.sectorsRead_.push_back(static_cast<std::int64_t>(at / volume::kSectorSize));
    }
    // The end of the drive, or the planned cut, is a read that succeeds with fewer bytes.
    if (got == bytes.size()) return std::nullopt;
    return CallFailure(Kind::kShort, 0, got);
  }

  std::optional<DeviceError> Write(std::uint64_t offset,
                                   std::span<const std::uint8_t> bytes) override {
    const auto fault = store_.Next(Call::kWrite);
    if (fault == Fault::kFails) return CallFailure(Kind::kIoFailed);
    if (fault == Fault::kNotStarted) return CallFailure(Kind::kNotStarted);
    if (access_ != volume::Access::kReadWrite) return CallFailure(Kind::kIoFailed);
    if (store_.protected_.count(letter_)) return CallFailure(Kind::kReadOnly);
    const std::size_t wanted = fault ? bytes.size() / 2 : bytes.size();
    const std::size_t written = WriteBytes(Stored(), offset, bytes.data(), wanted);
    for (std::uint64_t at = offset; at < offset + written; at += volume::kSectorSize) {
      store_.sectorsWritten_.push_back(static_cast<std::int64_t>(at / volume::kSectorSize));
    }
    if (written == bytes.size()) return std::nullopt;
    return CallFailure(Kind::kIoFailed, 0, written);
  }

  std::optional<DeviceError> Flush() override {
    if (store_.Next(Call::kFlush)) return CallFailure(Kind::kFlushFailed);
    return std::nullopt;
  }

  std::optional<DeviceError> Dismount() override {
    if (store_.Next(Call::kDismount)) return CallFailure(Kind::kOther);
    return std::nullopt;
  }

  volume::Expected<volume::DeviceSize, DeviceError> Size() override {
    if (store_.Next(Call::kSize)) return CallFailure(Kind::kSizeUnknown);
    return volume::DeviceSize{Stored().size, Stored().sectorBytes};
  }

 private:
  MemoryVolume::Drive& Stored() { return store_.drives_.at(letter_); }

  MemoryVolume& store_;
  char letter_;
  volume::Access access_;
};

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

void MemoryVolume::FailAt(Call call, int n, Fault fault) { failures_[{call, n}] = fault; }

int MemoryVolume::Count(Call call) const {
  const auto found = counts_.find(call);
  return found == counts_.end() ? 0 : found->second;
}

std::optional<MemoryVolume::Fault> MemoryVolume::Next(Call call) {
  const int n = ++counts_[call];
  const auto found = failures_.find({call, n});
  if (found == failures_.end()) return std::nullopt;
  return found->second;
}

void MemoryVolume::Truncate(char letter, std::uint64_t sizeBytes) {
  auto& drive = drives_.at(letter);
  drive.size = sizeBytes;
  std::erase_if(drive.sectors, [&](const auto& entry) {
    return entry.first >= (sizeBytes + volume::kSectorSize - 1) / volume::kSectorSize;
  });
}

OpenedDevice MemoryVolume::Open(const volume::DriveTarget& target, volume::Access access) {
  return Logged(OpenDrive(target, access));
}

OpenedDevice MemoryVolume::OpenDrive(const volume::DriveTarget& target, volume::Access access) {
  if (Next(Call::kOpen)) return CallFailure(Kind::kOther);
  const char letter = target.letter;
  if (!drives_.count(letter)) return CallFailure(Kind::kNotFound);
  if (held_.count(letter) || open_.count(letter)) return CallFailure(Kind::kBusy);
  const auto protection = protected_.find(letter);
  if (access == volume::Access::kReadWrite && protection != protected_.end() &&
      protection->second == Protection::kRefusesOpen) {
    return CallFailure(Kind::kReadOnly);
  }
  access_ = access;
  open_.insert(letter);
  return std::unique_ptr<volume::Device>(std::make_unique<MemoryDevice>(*this, letter, access));
}

}  // namespace kestrova::testing
