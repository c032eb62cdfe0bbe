// SPDX-License-Identifier: GPL-3.0-or-later
#include "repair/label.h"

#include <algorithm>

#include "repair/codepage.h"
#include "repair/engine.h"
#include "repair/fat.h"

namespace kestrova::repair {
namespace {

std::string FatLabel(std::span<const std::uint8_t> boot, std::size_t offset) {
  std::string label(reinterpret_cast<const char*>(&boot[offset]), fat::kVolumeLabelLength);
  for (char& c : label) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '?';
  }
  while (!label.empty() && label.back() == ' ') label.pop_back();
  return label == fat::kNoVolumeLabel ? std::string() : Cp936ToUtf8(label);
}

// The window contact points of a look that nobody sees.
class Unseen final : public WindowContacts {
 public:
  std::string ListEntryText(std::int16_t) override { return letter; }
  std::int16_t FirstSelectedIndex() override { return 0; }
  void SetRepairEnabled(bool enabled) override { analysed = enabled; }
  void ShowMessage(const std::string&, const std::string&, int) override {}
  void SetProgressWidth(float) override {}
  void ProcessPendingEvents() override {}
  std::string letter;
  bool analysed = false;
};

}  // namespace

std::string VolumeLabel(const VolumeLayout& layout) {
  switch (layout.fileSystem) {
    case FileSystem::kExfat:
      return layout.findings.label;
    case FileSystem::kFat32:
      return FatLabel(layout.bootSector, fat::kVolumeLabelOffset);
    case FileSystem::kFat12:
    case FileSystem::kFat16:
      return FatLabel(layout.bootSector, fat::kSmallVolumeLabelOffset);
  }
  return {};
}

std::string ReadVolumeLabel(const std::string& driveLetter) {
  Unseen window;
  window.letter = driveLetter;
  VolumeLayout layout;
  List1_ItemCheck(layout, window, 0, volume::Access::kReadOnly);
  return window.analysed ? VolumeLabel(layout) : std::string();
}

}  // namespace kestrova::repair
