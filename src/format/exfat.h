// SPDX-License-Identifier: GPL-3.0-or-later
// exFAT on-disk structures: every offset and value that the engine reads or writes, named once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace kestrova::exfat {

// Main boot sector; byte offsets from its start.
inline constexpr std::size_t kFileSystemNameOffset = 3;  // 8 bytes
inline constexpr std::string_view kFileSystemName = "EXFAT   ";
inline constexpr std::size_t kMustBeZeroOffset = 11;  // 53 bytes, where FAT keeps its BPB
inline constexpr std::size_t kMustBeZeroLength = 53;
inline constexpr std::size_t kVolumeLengthOffset = 72;       // 64 bits, sectors
inline constexpr std::size_t kFatOffsetOffset = 80;          // 32 bits, sectors
inline constexpr std::size_t kFatLengthOffset = 84;          // 32 bits, sectors
inline constexpr std::size_t kClusterHeapOffsetOffset = 88;  // 32 bits, sectors
inline constexpr std::size_t kClusterCountOffset = 92;       // 32 bits
inline constexpr std::size_t kRootClusterOffset = 96;        // 32 bits
inline constexpr std::size_t kVolumeSerialOffset = 100;      // 32 bits
inline constexpr std::size_t kVolumeFlagsOffset = 106;       // 16 bits
inline constexpr std::uint16_t kVolumeFlagsActiveFat = 0x0001;
inline constexpr std::size_t kBytesPerSectorShiftOffset = 108;     // 8 bits
inline constexpr std::size_t kSectorsPerClusterShiftOffset = 109;  // 8 bits
inline constexpr std::size_t kFatCountOffset = 110;                // 8 bits
inline constexpr std::size_t kPercentInUseOffset = 112;            // 8 bits
inline constexpr std::uint32_t kMinBytesPerSectorShift = 9;
inline constexpr std::uint32_t kMaxBytesPerSectorShift = 12;
inline constexpr std::uint32_t kMaxClusterShift = 25;  // sector and cluster shifts together
inline constexpr std::uint32_t kMinFatOffset = 24;     // after the main and backup boot regions
// Sector 0 ends its first 512 bytes with the signature of FAT (fat::kBootSignatureOffset).

// The main boot region: sectors 0 to 11, of the volume's own sector size. Sectors 1 to 8 are
// extended boot sectors, each ending in a signature (last 4 bytes). Every 4-byte word of sector 11
// holds the checksum of sectors 0 to 10, which leaves out VolumeFlags and PercentInUse of sector 0
// (they change without the checksum being written again).
inline constexpr std::int64_t kFirstExtendedBootSector = 1;
inline constexpr std::int64_t kExtendedBootSectors = 8;
inline constexpr std::uint32_t kExtendedBootSignature = 0xAA550000;  // 32 bits: 00 00 55 AA
inline constexpr std::size_t kExtendedBootSignatureSize = 4;
inline constexpr std::int64_t kChecksummedSectors = 11;  // sectors 0 to 10
inline constexpr std::int64_t kBootChecksumSector = 11;
inline constexpr std::size_t kBootChecksumSize = 4;

// FAT entries: 32 bits, no reserved bits.
inline constexpr std::uint32_t kFatEntrySize = 4;
inline constexpr std::uint32_t kFirstDataCluster = 2;
inline constexpr std::uint32_t kBadCluster = 0xFFFFFFF7;
inline constexpr std::uint32_t kEndOfChain = 0xFFFFFFFF;
inline constexpr std::uint32_t kMaxClusterCount = 0xFFFFFFF5;

// Directory entries: 32 bytes, the first byte the entry type.
inline constexpr std::size_t kEntrySize = 32;
inline constexpr std::size_t kEntryTypeOffset = 0;
inline constexpr std::uint8_t kEndOfDirectory = 0x00;
inline constexpr std::uint8_t kInUse = 0x80;
inline constexpr std::uint8_t kSecondary = 0x40;  // type category: a secondary entry of a set
inline constexpr std::uint8_t kBenign = 0x20;     // type importance: may be left uninterpreted
inline constexpr std::uint8_t kAllocationBitmap = 0x81;
inline constexpr std::uint8_t kUpcaseTable = 0x82;
inline constexpr std::uint8_t kVendorAllocation = 0xE1;  // a secondary entry that owns clusters
inline constexpr std::uint8_t kVolumeLabel = 0x83;
inline constexpr std::uint8_t kFile = 0x85;
inline constexpr std::uint8_t kStreamExtension = 0xC0;
inline constexpr std::uint8_t kFileName = 0xC1;

// The File entry and its set.
inline constexpr std::size_t kSecondaryCountOffset = 1;  // 8 bits
inline constexpr std::size_t kSetChecksumOffset = 2;     // 16 bits
inline constexpr std::size_t kFileAttributesOffset = 4;  // 16 bits
inline constexpr std::uint32_t kMinSecondaryCount = 2;   // a stream extension and one name entry
inline constexpr std::uint32_t kMaxSecondaryCount = 18;
inline constexpr std::uint16_t kAttrReadOnly = 0x0001;
inline constexpr std::uint16_t kAttrHidden = 0x0002;
inline constexpr std::uint16_t kAttrSystem = 0x0004;
inline constexpr std::uint16_t kAttrDirectory = 0x0010;
inline constexpr std::uint16_t kAttrReserved = 0xFFC8;  // no exFAT defines these bits

// Entries that own clusters keep the first of them here (allocation bitmap, up-case table,
// stream extension), and the length of their data in bytes.
inline constexpr std::size_t kFirstClusterOffset = 20;  // 32 bits
inline constexpr std::size_t kDataLengthOffset = 24;    // 64 bits
// The stream extension's valid data length: the bytes past it read as zeros.
inline constexpr std::size_t kValidDataLengthOffset = 8;  // 64 bits
// The allocation bitmap entry: which FAT's bitmap it is (a volume with two FATs has two).
inline constexpr std::size_t kBitmapFlagsOffset = 1;  // 8 bits
inline constexpr std::uint8_t kBitmapOfSecondFat = 0x01;
// The stream extension: its clusters follow one another and the FAT does not chain them.
inline constexpr std::size_t kSecondaryFlagsOffset = 1;  // 8 bits
inline constexpr std::uint8_t kNoFatChain = 0x02;
// The stream extension's name length, and the name entries' characters.
inline constexpr std::size_t kNameLengthOffset = 3;  // 8 bits
// The hash of the name in capitals (by the volume's up-case table), which a lookup compares first.
inline constexpr std::size_t kNameHashOffset = 4;  // 16 bits
inline constexpr std::size_t kMaxNameLength = 255;
inline constexpr std::size_t kFileNameOffset = 2;  // 15 UTF-16 characters
inline constexpr std::size_t kFileNameCharsPerEntry = 15;
// The volume label entry: its length and up to 11 UTF-16 characters.
inline constexpr std::size_t kLabelLengthOffset = 1;
inline constexpr std::size_t kLabelOffset = 2;
inline constexpr std::size_t kMaxLabelLength = 11;

}  // namespace kestrova::exfat
