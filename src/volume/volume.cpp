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

VolumeBackend* activeBackend = nullptr;

VolumeBackend& Backend() { return activeBackend ? *activeBackend : PlatformVolumeBackend(); }

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

void UseVolumeBackend(VolumeBackend* backend) { activeBackend = backend; }

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
  VolumeBackend& backend = Backend();
  DeviceError failure;
  const VolumeHandle handle = backend.Open(target, access, failure);
  if (handle == kInvalidHandle) {
    if (failure.device.empty()) failure.device = target.Name();
    return failure;
  }
  return Volume(backend, handle, target);
}

Volume::Volume(Volume&& other) noexcept
    : backend_(other.backend_),
      handle_(std::exchange(other.handle_, kInvalidHandle)),
      target_(std::move(other.target_)) {}

Volume& Volume::operator=(Volume&& other) noexcept {
  if (this != &other) {
    if (handle_ != kInvalidHandle) backend_->Close(handle_);
    backend_ = other.backend_;
    handle_ = std::exchange(other.handle_, kInvalidHandle);
    target_ = std::move(other.target_);
  }
  return *this;
}

Volume::~Volume() {
  if (handle_ != kInvalidHandle) backend_->Close(handle_);
}

DeviceError Volume::Failure(DeviceErrorKind kind) const {
  return {kind, backend_->LastError(), target_.Name(), {}, {}, 0};
}

namespace {

// The byte offset as the two 32-bit halves of a position.
std::pair<std::int32_t, std::int32_t> Halves(std::uint64_t offset) {
  return {static_cast<std::int32_t>(offset >> 32), static_cast<std::int32_t>(offset & 0xFFFFFFFFu)};
}

bool Transferable(std::uint64_t offset, std::size_t size) {
  return offset <= static_cast<std::uint64_t>(INT64_MAX) && size <= UINT32_MAX;
}

}  // namespace

std::optional<DeviceError> Volume::Read(std::uint64_t offset, std::span<std::uint8_t> bytes) {
  const auto [high, low] = Halves(offset);
  if (!Transferable(offset, bytes.size()) || !backend_->SetPosition(handle_, high, low)) {
    return Failure(DeviceErrorKind::kNotStarted);
  }
  const auto count = static_cast<std::uint32_t>(bytes.size());
  std::uint32_t got = 0;
  // The end of the device is a read that succeeds with fewer bytes.
  const bool read = backend_->Read(handle_, bytes.data(), count, got);
  if (read && got == count) return std::nullopt;
  DeviceError failure = Failure(read ? DeviceErrorKind::kShort : DeviceErrorKind::kIoFailed);
  failure.bytesMoved = std::min(got, count);
  return failure;
}

std::optional<DeviceError> Volume::Write(std::uint64_t offset,
                                         std::span<const std::uint8_t> bytes) {
  const auto [high, low] = Halves(offset);
  if (!Transferable(offset, bytes.size()) || !backend_->SetPosition(handle_, high, low)) {
    return Failure(DeviceErrorKind::kNotStarted);
  }
  const auto count = static_cast<std::uint32_t>(bytes.size());
  std::uint32_t written = 0;
  if (backend_->Write(handle_, bytes.data(), count, written) && written == count) {
    return std::nullopt;
  }
  DeviceError failure = Failure(DeviceErrorKind::kIoFailed);
  failure.bytesMoved = std::min(written, count);
  if (written == 0 && backend_->WriteProtected(handle_)) failure.kind = DeviceErrorKind::kReadOnly;
  return failure;
}

std::optional<DeviceError> Volume::Flush() {
  if (backend_->Flush(handle_)) return std::nullopt;
  return Failure(DeviceErrorKind::kFlushFailed);
}

bool Volume::Dismount() { return backend_->Dismount(handle_); }

Expected<DeviceSize, DeviceError> Volume::Size() {
  DeviceSize size;
  if (!backend_->Size(handle_, size)) return Failure(DeviceErrorKind::kSizeUnknown);
  return size;
}

}  // namespace kestrova::volume
