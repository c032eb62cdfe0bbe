#include "volume/volume.h"

#include <stdexcept>

namespace kestrova::volume {

VolumeHandle hVolume = kInvalidHandle;

namespace {

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

bool OpenVolume(const std::string& devicePath) {
  hVolume = Backend().Open(devicePath);
  return hVolume != kInvalidHandle;
}

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
  return Backend().Write(hVolume, buffer.data(), byteCount, bytesWritten) &&
         bytesWritten == byteCount;
}

bool DismountVolume() { return Backend().Dismount(hVolume); }

}  // namespace kestrova::volume
