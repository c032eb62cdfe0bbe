// SPDX-License-Identifier: GPL-3.0-or-later
#include "volume/volume.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <utility>

namespace kestrova::volume {

namespace {

DeviceOpener* activeOpener = nullptr;

DeviceOpener& Opener() { return activeOpener ? *activeOpener : PlatformDeviceOpener(); }

// Blocks of pages that buffers gave up, kept for the next buffers. A pass takes and drops a few
// transfer buffers one after another; giving pages back to the system and taking new ones costs
// far more than reusing them (measured on a virtual machine: a tenth to a third of a millisecond
// for each block given back). What is kept when the program ends goes with it.
class KeptPages {
 public:
  // The smallest kept block of at least `size` bytes, its first `size` bytes zeroed, as the
  // platform's pages are; or a block of nothing.
  std::pair<std::uint8_t*, std::size_t> Take(std::size_t size) {
    Block block;
    {
      const std::lock_guard lock(mutex_);
      std::size_t best = count_;
      for (std::size_t i = 0; i < count_; ++i) {
        if (blocks_[i].size >= size && (best == count_ || blocks_[i].size < blocks_[best].size)) {
          best = i;
        }
      }
      if (best == count_) return {nullptr, 0};
      block = blocks_[best];
      blocks_[best] = blocks_[--count_];
    }
    std::memset(block.pages, 0, size);
    return {block.pages, block.size};
  }

  void Keep(std::uint8_t* pages, std::size_t size) noexcept {
    {
      const std::lock_guard lock(mutex_);
      if (size <= kLargestKept && count_ < blocks_.size()) {
        blocks_[count_++] = {pages, size};
        return;
      }
    }
    ReleasePages(pages, size);
  }

 private:
  // The transfer buffers of a pass are up to a little more than the largest transfer.
  static constexpr std::size_t kLargestKept = 1 << 20;
  struct Block {
    std::uint8_t* pages = nullptr;
    std::size_t size = 0;
  };
  std::mutex mutex_;
  std::array<Block, 6> blocks_{};
  std::size_t count_ = 0;
};

KeptPages& Kept() {
  static KeptPages* const kept = new KeptPages;  // never destroyed: the pages go with the program
  return *kept;
}

}  // namespace

void DropPages(std::uint8_t* pages, std::size_t size) noexcept {
  if (pages) Kept().Keep(pages, size);
}

void UseDeviceOpener(DeviceOpener* opener) { activeOpener = opener; }

std::optional<char> DriveLetter(std::string_view text) {
  if (text.size() == 2 && text[1] == ':') text.remove_suffix(1);
  if (text.size() != 1) return std::nullopt;
  const char letter =
      text[0] >= 'a' && text[0] <= 'z' ? static_cast<char>(text[0] - 'a' + 'A') : text[0];
  if (letter < kFirstDriveLetter || letter > kLastDriveLetter) return std::nullopt;
  return letter;
}

AlignedBuffer::AlignedBuffer(std::size_t size) : size_(size) {
  if (size == 0) return;
  auto [pages, block] = Kept().Take(size);
  if (!pages) {
    pages = AllocatePages(size);
    block = size;
  }
  data_ = {pages, PageRelease{block}};
}

AlignedBuffer::AlignedBuffer(const AlignedBuffer& other) : AlignedBuffer(other.size_) {
  std::copy_n(other.data_.get(), size_, data_.get());
}

AlignedBuffer& AlignedBuffer::operator=(const AlignedBuffer& other) {
  if (this != &other) *this = AlignedBuffer(other);
  return *this;
}

Expected<Volume, DeviceError> Volume::Open(const DriveTarget& target, Access access) {
  auto opened = Opener().Open(target, access);
  if (!opened) {
    if (opened.error().device.empty()) opened.error().device = target.Name();
    return std::move(opened.error());
  }
  return Volume(std::move(*opened), target);
}

std::optional<DeviceError> Volume::Named(std::optional<DeviceError> failure) const {
  if (failure) failure->device = target_.Name();
  return failure;
}

namespace {

// What every device can be asked to move: a position that the system's signed offsets hold, and
// a length that one system call takes.
bool Transferable(std::uint64_t offset, std::size_t size) {
  return offset <= static_cast<std::uint64_t>(INT64_MAX) && size <= UINT32_MAX;
}

}  // namespace

std::optional<DeviceError> Volume::Read(std::uint64_t offset, std::span<std::uint8_t> bytes) {
  if (!Transferable(offset, bytes.size())) {
    return Named(CallFailure(DeviceErrorKind::kNotStarted));
  }
  return Named(device_->Read(offset, bytes));
}

std::optional<ReadManyFailure> Device::ReadMany(std::span<const ReadRequest> requests,
                                                const ReadArrived& arrived) {
  for (std::size_t i = 0; i < requests.size(); ++i) {
    if (auto failed = Read(requests[i].offset, requests[i].bytes)) {
      return ReadManyFailure{i, std::move(*failed)};
    }
    if (arrived) arrived(i);
  }
  return std::nullopt;
}

std::optional<ReadManyFailure> Volume::ReadMany(std::span<const ReadRequest> requests,
                                                const ReadArrived& arrived) {
  // A request that cannot be handed on ends the list there: those before it are read.
  std::size_t handed = 0;
  while (handed < requests.size() &&
         Transferable(requests[handed].offset, requests[handed].bytes.size())) {
    ++handed;
  }
  if (auto failed = device_->ReadMany(requests.first(handed), arrived)) {
    failed->error = *Named(std::move(failed->error));
    return failed;
  }
  if (handed == requests.size()) return std::nullopt;
  return ReadManyFailure{handed, *Named(CallFailure(DeviceErrorKind::kNotStarted))};
}

std::optional<DeviceError> Volume::Write(std::uint64_t offset,
                                         std::span<const std::uint8_t> bytes) {
  if (!Transferable(offset, bytes.size())) {
    return Named(CallFailure(DeviceErrorKind::kNotStarted));
  }
  return Named(device_->Write(offset, bytes));
}

std::optional<DeviceError> Volume::Flush() { return Named(device_->Flush()); }

bool Volume::Dismount() { return !device_->Dismount(); }

Expected<DeviceSize, DeviceError> Volume::Size() {
  auto size = device_->Size();
  if (!size) size.error().device = target_.Name();
  return size;
}

}  // namespace kestrova::volume
