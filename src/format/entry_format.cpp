// SPDX-License-Identifier: GPL-3.0-or-later
#include "format/entry_format.h"

#include "format/exfat.h"
#include "format/exfat_sets.h"

namespace kestrova::repair {
namespace {

class FatEntries final : public EntryFormat {
 public:
  void MarkRemoved(std::span<std::uint8_t> entry) const override {
    entry[fat::kNameOffset] = fat::kDeletedEntry;
  }
  void SetAttributes(std::span<std::uint8_t> entries, std::uint16_t attributes) const override {
    entries[fat::kAttributeOffset] = static_cast<std::uint8_t>(attributes);
  }
  bool SizesFolders() const override { return false; }
};

class ExfatEntries final : public EntryFormat {
 public:
  void MarkRemoved(std::span<std::uint8_t> entry) const override {
    entry[exfat::kEntryTypeOffset] =
        static_cast<std::uint8_t>(entry[exfat::kEntryTypeOffset] & ~exfat::kInUse);
  }
  void SetAttributes(std::span<std::uint8_t> entries, std::uint16_t attributes) const override {
    fat::Write16(entries, exfat::kFileAttributesOffset, attributes);
    fat::Write16(entries, exfat::kSetChecksumOffset, SetChecksum(entries));
  }
  bool SizesFolders() const override { return true; }
};

}  // namespace

const EntryFormat& FatEntryFormat() {
  static const FatEntries entries;
  return entries;
}

const EntryFormat& ExfatEntryFormat() {
  static const ExfatEntries entries;
  return entries;
}

const EntryFormat& EntryFormatOf(FileSystem fileSystem) {
  return fileSystem == FileSystem::kExfat ? ExfatEntryFormat() : FatEntryFormat();
}

}  // namespace kestrova::repair
