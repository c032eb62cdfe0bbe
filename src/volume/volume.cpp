// SPDX-License-Identifier: GPL-3.0-or-later
#include "volume/volume.h"

#include <algorithm>
#include <stdexcept>

namespace kestrova::volume {

VolumeHandle hVolume = kInvalidHandle;

namespace {

OpenFailure lastOpenFailure;
bool lastWriteProtected = false;

VolumeBackend* activeBackend = nullptr;

VolumeBackend& Backend() { return activeBackend ? *activeBackend : PlatformVolumeBackend(); }

void CheckBuffer(std::size_t bufferSize, std::uint32_t byteCount) {
  if (bufferSize == 0 || byteCount > bufferSize) {
    throw std::out_of_range("sector buffer too small for the transfer");
  }
}

}  // namespace

void UseVolumeBackend(VolumeBackend* backend) { activeBackend = backend; }

std::string DevicePath(std::string_view driveLetter) {
  return std::string("\\\\.\\").append(driveLetter).append(":");
}

AlignedBuffer::AlignedBuffer(std::size_t size)
    : data_(size == 0 ? nullptr : AllocatePages(size), PageRelease{size}), size_(size) {}

AlignedBuffer::AlignedBuffer(const AlignedBuffer& other) : AlignedBuffer(other.size_) {
  std::copy_n(other.data_.get(), size_, data_.get());
}

AlignedBuffer& AlignedBuffer::operator=(const AlignedBuffer& other) {
  if (this != &other) *this = AlignedBuffer(other);
  return *this;
}

bool OpenVolume(const std::string& devicePath, Access access) {
  lastOpenFailure = {};
  hVolume = Backend().Open(devicePath, access, lastOpenFailure);
  if (hVolume != kInvalidHandle) {
    lastOpenFailure = {};
    return true;
  }
  if (lastOpenFailure.kind == OpenFailureKind::kNone)
    lastOpenFailure.kind = OpenFailureKind::kOther;
  return false;
}

const OpenFailure& LastOpenFailure() { return lastOpenFailure; }

bool CloseVolume() { return Backend().Close(hVolume); }

bool SetVolumePosition(std::int32_t highPart, std::int32_t lowPart) {
  return Backend().SetPosition(hVolume, highPart, lowPart);
}

bool ReadVolume(std::uint32_t byteCount, std::span<std::uint8_t> buffer, std::uint32_t& bytesRead) {
  CheckBuffer(buffer.size(), byteCount);
  return Backend().Read(hVolume, buffer.data(), byteCount, bytesRead);
}

bool WriteVolume(std::uint32_t byteCount, std::span<const std::uint8_t> buffer) {
  CheckBuffer(buffer.size(), byteCount);
  std::uint32_t bytesWritten = 0;
  const bool written =
      Backend().Write(hVolume, buffer.data(), byteCount, bytesWritten) && bytesWritten == byteCount;
  lastWriteProtected = !written && bytesWritten == 0 && Backend().WriteProtected(hVolume);
  return written;
}

bool LastWriteProtected() { return lastWriteProtected; }

bool FlushVolume() { return Backend().Flush(hVolume); }

bool VolumeDeviceSize(DeviceSize& size) { return Backend().Size(hVolume, size); }

bool DismountVolume() { return Backend().Dismount(hVolume); }

}  // namespace kestrova::volume
