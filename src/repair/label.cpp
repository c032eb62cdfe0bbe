#include "repair/label.h"

#include <algorithm>

#include "repair/fat32.h"
#include "repair/sector_io.h"

namespace kestrova::repair {

std::string VolumeLabel(std::span<const std::uint8_t> bootSector) {
  using namespace fat32;
  const auto type = bootSector.subspan(kFileSystemTypeOffset, kFileSystemType.size());
  if (!std::equal(type.begin(), type.end(), kFileSystemType.begin())) return {};
  std::string label;
  for (std::uint8_t b : bootSector.subspan(kVolumeLabelOffset, kVolumeLabelLength)) {
    label += (b >= 0x20 && b < 0x7F) ? static_cast<char>(b) : '?';
  }
  while (!label.empty() && label.back() == ' ') label.pop_back();
  return label == kNoVolumeLabel ? std::string() : label;
}

std::string ReadVolumeLabel(const std::string& driveLetter) {
  if (!volume::OpenVolume(volume::DevicePath(driveLetter), volume::Access::kReadOnly)) return {};
  volume::SectorBuffer boot{};
  std::uint32_t bytesRead = 0;
  const bool read = ReadSectorAt(0, boot, bytesRead);
  volume::CloseVolume();
  return read ? VolumeLabel(boot) : std::string();
}

}  // namespace kestrova::repair
