// SPDX-License-Identifier: GPL-3.0-or-later
// FAT12, FAT16 and FAT32 on-disk structures: every offset and value that the engine reads or
// writes, named once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

namespace kestrova::fat {

// Boot sector (BIOS parameter block and FAT32 extended boot record); byte offsets from its start.
inline constexpr std::uint8_t kShortJump = 0xEB;  // EB xx 90, or E9 xx xx: the jump to the code
inline constexpr std::uint8_t kNoOperation = 0x90;
inline constexpr std::uint8_t kNearJump = 0xE9;
inline constexpr std::size_t kMediaOffset = 21;  // 8 bits: F0, or F8 to FF
inline constexpr std::uint8_t kMediaFirst = 0xF0;
inline constexpr std::uint8_t kMediaFixedFirst = 0xF8;
inline constexpr std::size_t kBytesPerSectorOffset = 11;       // 16 bits
inline constexpr std::size_t kSectorsPerClusterOffset = 13;    // 8 bits
inline constexpr std::size_t kReservedSectorsOffset = 14;      // 16 bits
inline constexpr std::size_t kFatCountOffset = 16;             // 8 bits
inline constexpr std::size_t kRootEntryCountOffset = 17;       // 16 bits, zero on FAT32
inline constexpr std::size_t kTotalSectors16Offset = 19;       // 16 bits, zero when 32-bit is used
inline constexpr std::size_t kFatSize16Offset = 22;            // 16 bits, zero on FAT32
inline constexpr std::size_t kTotalSectors32Offset = 32;       // 32 bits
inline constexpr std::size_t kFatSize32Offset = 36;            // 32 bits, sectors per FAT
inline constexpr std::size_t kExtFlagsOffset = 40;             // 16 bits, FAT mirroring
inline constexpr std::uint16_t kExtFlagsNoMirroring = 0x0080;  // only one FAT is in use...
inline constexpr std::uint16_t kExtFlagsActiveFatMask = 0x000F;  // ...and this is its number
inline constexpr std::size_t kRootClusterOffset = 44;            // 32 bits
inline constexpr std::size_t kVolumeSerialOffset = 67;           // 32 bits
inline constexpr std::size_t kVolumeLabelOffset = 71;            // 11 bytes
inline constexpr std::size_t kVolumeLabelLength = 11;
inline constexpr std::size_t kFileSystemTypeOffset = 82;  // 8 bytes
inline constexpr std::string_view kFileSystemType = "FAT32   ";
inline constexpr std::string_view kNoVolumeLabel = "NO NAME";
// FAT12 and FAT16 keep their extended boot record earlier.
inline constexpr std::size_t kSmallVolumeSerialOffset = 39;  // 32 bits
inline constexpr std::size_t kSmallVolumeLabelOffset = 43;   // 11 bytes
// Sector 0 of every FAT and exFAT volume, whatever its size, has the bytes 55 AA here.
inline constexpr std::size_t kBootSignatureOffset = 510;  // 16 bits
inline constexpr std::uint16_t kBootSignature = 0xAA55;

// The sector sizes the engine handles, as a power of two.
inline constexpr std::uint32_t kMinSectorSize = 512;
inline constexpr std::uint32_t kMaxSectorSize = 4096;
inline constexpr std::uint32_t kMaxSectorsPerCluster = 128;
// The type follows from the cluster count: fewer than these are FAT12, then FAT16.
inline constexpr std::uint32_t kMaxFat12Clusters = 4084;
inline constexpr std::uint32_t kMaxFat16Clusters = 65524;

// File allocation table entries.
inline constexpr std::uint32_t kFatEntrySize = 4;          // FAT32
inline constexpr std::uint32_t kClusterMask = 0x0FFFFFFF;  // the top four bits are reserved
inline constexpr std::uint32_t kFirstDataCluster = 2;
inline constexpr std::uint32_t kFirstReservedValue = 0x0FFFFFF0;  // up to 0x0FFFFFF6
inline constexpr std::uint32_t kBadCluster = 0x0FFFFFF7;
inline constexpr std::uint32_t kEndOfChain = 0x0FFFFFF8;  // and every value above it
// FAT12's entries are 12 bits (two entries in three bytes), FAT16's 16 bits.
inline constexpr std::uint32_t kFat12EndOfChain = 0xFF8;
inline constexpr std::uint32_t kFat12BadCluster = 0xFF7;
inline constexpr std::uint32_t kFat16EndOfChain = 0xFFF8;
inline constexpr std::uint32_t kFat16BadCluster = 0xFFF7;

// FAT32's FSInfo sector: its number in the boot sector, its signatures and its free count.
inline constexpr std::size_t kFsInfoSectorOffset = 48;  // 16 bits, in the boot sector
inline constexpr std::uint32_t kFsInfoLead = 0x41615252;
inline constexpr std::uint32_t kFsInfoStruct = 0x61417272;
inline constexpr std::size_t kFsInfoStructOffset = 484;
inline constexpr std::size_t kFsInfoFreeOffset = 488;        // 32 bits
inline constexpr std::uint32_t kFsInfoUnknown = 0xFFFFFFFF;  // a count that is not known
inline constexpr std::uint32_t kMaxClusterCount = kFirstReservedValue - kFirstDataCluster;

// Directory entries.
inline constexpr std::size_t kDirEntrySize = 32;
inline constexpr std::size_t kNameOffset = 0;  // 8 bytes of name, then 3 of extension
inline constexpr std::size_t kNameLength = 8;
inline constexpr std::size_t kExtensionOffset = 8;
inline constexpr std::size_t kExtensionLength = 3;
inline constexpr std::size_t kAttributeOffset = 11;
// Names that fit 8.3 in lower case keep no long name: these bits say which part is lower case.
inline constexpr std::size_t kCaseFlagsOffset = 12;
inline constexpr std::uint8_t kLowerCaseBase = 0x08;
inline constexpr std::uint8_t kLowerCaseExtension = 0x10;
inline constexpr std::size_t kFirstClusterHighOffset = 20;  // 16 bits
inline constexpr std::size_t kFirstClusterLowOffset = 26;   // 16 bits
inline constexpr std::size_t kFileSizeOffset = 28;          // 32 bits
inline constexpr std::uint8_t kBlank = 0x20;
inline constexpr std::uint8_t kEndOfDirectory = 0x00;  // first name byte: no entries follow
inline constexpr std::uint8_t kDeletedEntry = 0xE5;    // first name byte of a deleted entry
inline constexpr std::uint8_t kEscapedE5 = 0x05;       // first name byte standing for 0xE5
// A folder's own first two entries: its own place, and its parent's.
inline constexpr std::string_view kDotName = ".          ";  // 11 bytes of name and extension
inline constexpr std::string_view kDotDotName = "..         ";
// A no-break space in a short name, as code page 437 and the ANSI code pages write it.
inline constexpr std::uint8_t kNoBreakSpace437 = 0xFF;
inline constexpr std::uint8_t kNoBreakSpaceAnsi = 0xA0;

inline constexpr std::uint8_t kAttrReadOnly = 0x01;
inline constexpr std::uint8_t kAttrHidden = 0x02;
inline constexpr std::uint8_t kAttrSystem = 0x04;
inline constexpr std::uint8_t kAttrVolumeId = 0x08;
inline constexpr std::uint8_t kAttrDirectory = 0x10;
inline constexpr std::uint8_t kAttrArchive = 0x20;
inline constexpr std::uint8_t kAttrReserved = 0xC0;  // no file system defines these bits
inline constexpr std::uint8_t kAttrLongName =
    kAttrReadOnly | kAttrHidden | kAttrSystem | kAttrVolumeId;
// What a virus sets to hide an entry; exFAT's attributes keep both bits at the same places.
inline constexpr std::uint8_t kAttrHiddenOrSystem = kAttrHidden | kAttrSystem;

// Long-name entries.
inline constexpr std::size_t kLongOrdinalOffset = 0;
inline constexpr std::uint8_t kLongOrdinalMask = 0x1F;
inline constexpr std::uint8_t kLastLongEntry = 0x40;
inline constexpr std::size_t kLongChecksumOffset = 13;
inline constexpr std::size_t kLongCharsPerEntry = 13;
// Where the 13 UTF-16 characters of a long-name entry lie.
inline constexpr std::size_t kLongCharOffsets[kLongCharsPerEntry] = {1,  3,  5,  7,  9,  14, 16,
                                                                     18, 20, 22, 24, 28, 30};

inline std::uint16_t Read16(std::span<const std::uint8_t> bytes, std::size_t offset) {
  return static_cast<std::uint16_t>(bytes[offset] | bytes[offset + 1] << 8);
}

inline std::uint32_t Read32(std::span<const std::uint8_t> bytes, std::size_t offset) {
  return static_cast<std::uint32_t>(bytes[offset]) |
         static_cast<std::uint32_t>(bytes[offset + 1]) << 8 |
         static_cast<std::uint32_t>(bytes[offset + 2]) << 16 |
         static_cast<std::uint32_t>(bytes[offset + 3]) << 24;
}

inline std::uint64_t Read64(std::span<const std::uint8_t> bytes, std::size_t offset) {
  return static_cast<std::uint64_t>(Read32(bytes, offset)) |
         static_cast<std::uint64_t>(Read32(bytes, offset + 4)) << 32;
}

inline void Write16(std::span<std::uint8_t> bytes, std::size_t offset, std::uint16_t value) {
  bytes[offset] = static_cast<std::uint8_t>(value);
  bytes[offset + 1] = static_cast<std::uint8_t>(value >> 8);
}

inline void Write32(std::span<std::uint8_t> bytes, std::size_t offset, std::uint32_t value) {
  Write16(bytes, offset, static_cast<std::uint16_t>(value));
  Write16(bytes, offset + 2, static_cast<std::uint16_t>(value >> 16));
}

inline void Write64(std::span<std::uint8_t> bytes, std::size_t offset, std::uint64_t value) {
  Write32(bytes, offset, static_cast<std::uint32_t>(value));
  Write32(bytes, offset + 4, static_cast<std::uint32_t>(value >> 32));
}

}  // namespace kestrova::fat
