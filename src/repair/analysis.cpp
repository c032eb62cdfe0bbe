// The analysis of a drive: boot sector, geometry and the root directory's cluster chain.
#include <algorithm>
#include <string>

#include "repair/checked.h"
#include "repair/engine.h"
#include "repair/fat32.h"
#include "repair/messages.h"
#include "repair/sector_io.h"

namespace kestrova::repair {
namespace {

using namespace fat32;

constexpr std::int64_t kBootSector = 0;

bool IsPowerOfTwo(std::uint32_t value) { return value != 0 && (value & (value - 1)) == 0; }

std::string Hex(std::uint32_t value) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string text = "0x";
  for (int shift = 28; shift >= 0; shift -= 4) text += kDigits[(value >> shift) & 0xF];
  return text;
}

// Follows the root directory's chain through the FAT in use (the first one unless mirroring is
// off), recording its clusters. Returns the
// refusal message when a sector cannot be read or the chain is damaged.
std::optional<std::string> WalkRootChain(VolumeLayout& layout) {
  const std::int64_t lastCluster = static_cast<std::int64_t>(layout.clusterCount) + 1;
  layout.rootClusters[0] = layout.rootCluster;
  std::int32_t count = 1;
  std::int64_t loadedFatSector = -1;  // which FAT sector fatSector holds
  std::int64_t cluster = layout.rootCluster;
  for (;;) {
    const std::int64_t entryOffset = cluster * kFatEntrySize;
    const std::int64_t fatSectorIndex = entryOffset / kSectorSize;
    if (fatSectorIndex != loadedFatSector) {
      const std::int64_t sector = layout.reservedSectors +
                                  static_cast<std::int64_t>(layout.activeFat) * layout.fatSize +
                                  fatSectorIndex;
      if (!ReadSectorAt(sector, layout.fatSector, layout.bytesRead)) {
        return messages::ReadFailed(sector);
      }
      loadedFatSector = fatSectorIndex;
    }
    const std::uint32_t raw = Read32(layout.fatSector, entryOffset % kSectorSize);
    const std::uint32_t next = raw & kClusterMask;
    if (next >= kEndOfChain) break;

    const std::string where = "簇" + std::to_string(cluster) + "的下一簇为" + Hex(raw);
    if (next == kBadCluster) return messages::DamagedChain(where + "，即坏簇标记");
    if (next < kFirstDataCluster || next > lastCluster) {
      return messages::DamagedChain(where + "，超出卷的范围");
    }
    const auto recorded = layout.rootClusters.begin();
    if (std::find(recorded, recorded + count, static_cast<std::int32_t>(next)) !=
        recorded + count) {
      return messages::DamagedChain(where + "，簇链成环");
    }
    if (count == kRootClusterCapacity) return messages::RootTooLong(kRootClusterCapacity);
    layout.rootClusters.at(static_cast<std::size_t>(count)) = static_cast<std::int32_t>(next);
    ++count;
    cluster = next;
  }
  layout.rootClusterCount = count;
  return std::nullopt;
}

}  // namespace

std::optional<std::string> ReadGeometry(VolumeLayout& layout) {
  const std::span<const std::uint8_t> boot = layout.bootSector;
  for (std::size_t i = 0; i < kFileSystemType.size(); ++i) {
    if (boot[kFileSystemTypeOffset + i] != static_cast<std::uint8_t>(kFileSystemType[i])) {
      return std::string(messages::kNotFat32);
    }
  }

  const std::uint32_t bytesPerSector = Read16(boot, kBytesPerSectorOffset);
  const std::uint32_t sectorsPerCluster = boot[kSectorsPerClusterOffset];
  const std::uint32_t reservedSectors = Read16(boot, kReservedSectorsOffset);
  const std::uint32_t fatCount = boot[kFatCountOffset];
  const std::uint32_t totalSectors16 = Read16(boot, kTotalSectors16Offset);
  const std::uint32_t totalSectors =
      totalSectors16 != 0 ? totalSectors16 : Read32(boot, kTotalSectors32Offset);
  const std::uint32_t fatSize = Read32(boot, kFatSize32Offset);
  const std::uint32_t rootCluster = Read32(boot, kRootClusterOffset);
  const std::uint32_t extFlags = Read16(boot, kExtFlagsOffset);
  // With mirroring off only one FAT is current; the others may be stale.
  const std::uint32_t activeFat =
      (extFlags & kExtFlagsNoMirroring) ? (extFlags & kExtFlagsActiveFatMask) : 0;

  if (bytesPerSector != kSectorSize) {
    return messages::UnsupportedGeometry("每扇区" + std::to_string(bytesPerSector) +
                                         "字节，本程序仅支持512字节");
  }
  if (!IsPowerOfTwo(sectorsPerCluster) || sectorsPerCluster > kMaxSectorsPerCluster) {
    return messages::UnsupportedGeometry("每簇扇区数为" + std::to_string(sectorsPerCluster));
  }
  if (reservedSectors == 0) return messages::UnsupportedGeometry("保留扇区数为0");
  if (fatCount == 0) return messages::UnsupportedGeometry("没有文件分配表");
  if (Read16(boot, kRootEntryCountOffset) != 0 || Read16(boot, kFatSize16Offset) != 0) {
    return messages::UnsupportedGeometry("含有FAT12/FAT16的字段，不是有效的FAT32引导扇区");
  }
  if (fatSize == 0) return messages::UnsupportedGeometry("文件分配表大小为0");
  if (activeFat >= fatCount) {
    return messages::UnsupportedGeometry("当前文件分配表编号" + std::to_string(activeFat) +
                                         "超出文件分配表个数");
  }

  // dataStart = reserved + FAT count x FAT size; with one FAT of 2 that is the familiar
  // 2 x fatSize + reserved.
  const auto fatsSize = CheckedMul<std::int64_t>(fatCount, fatSize);
  const auto dataStart =
      fatsSize ? CheckedAdd<std::int64_t>(*fatsSize, reservedSectors) : std::nullopt;
  if (!dataStart || *dataStart > INT32_MAX || *dataStart >= totalSectors) {
    return messages::UnsupportedGeometry("数据区起点超出卷的范围");
  }
  const std::int64_t clusterCount = (totalSectors - *dataStart) / sectorsPerCluster;
  if (clusterCount < 1 || clusterCount > kMaxClusterCount) {
    return messages::UnsupportedGeometry("簇数为" + std::to_string(clusterCount));
  }
  // The FAT must have an entry for every cluster, including the two reserved ones.
  if (static_cast<std::int64_t>(fatSize) * kFatEntriesPerSector <
      clusterCount + kFirstDataCluster) {
    return messages::UnsupportedGeometry("文件分配表小于卷的簇数");
  }
  if (rootCluster < kFirstDataCluster || rootCluster > clusterCount + 1) {
    return messages::UnsupportedGeometry("根目录起始簇" + std::to_string(rootCluster) +
                                         "超出卷的范围");
  }

  layout.reservedSectors = static_cast<std::int32_t>(reservedSectors);
  layout.fatSize = static_cast<std::int32_t>(fatSize);
  layout.dataStart = static_cast<std::int32_t>(*dataStart);
  layout.sectorsPerCluster = static_cast<std::int32_t>(sectorsPerCluster);
  layout.fatCount = static_cast<std::int32_t>(fatCount);
  layout.activeFat = static_cast<std::int32_t>(activeFat);
  layout.totalSectors = totalSectors;
  layout.clusterCount = static_cast<std::int32_t>(clusterCount);
  layout.rootCluster = static_cast<std::int32_t>(rootCluster);
  return std::nullopt;
}

std::optional<std::int64_t> ClusterFirstSector(const VolumeLayout& layout, std::int64_t cluster) {
  if (cluster < kFirstDataCluster || cluster > static_cast<std::int64_t>(layout.clusterCount) + 1) {
    return std::nullopt;
  }
  const auto offset =
      CheckedMul<std::int64_t>(cluster - kFirstDataCluster, layout.sectorsPerCluster);
  return offset ? CheckedAdd<std::int64_t>(*offset, layout.dataStart) : std::nullopt;
}

void List1_ItemCheck(VolumeLayout& layout, WindowContacts& window, std::int16_t item) {
  window.SetRepairEnabled(false);
  if (!volume::OpenVolume(volume::DevicePath(window.ListEntryText(item)))) {
    window.ShowMessage(messages::kOpenFailed, messages::kOpenFailedTitle, kStyleCritical);
    return;
  }

  std::optional<std::string> refusal;
  if (!ReadSectorAt(kBootSector, layout.bootSector, layout.bytesRead)) {
    refusal = messages::ReadFailed(kBootSector);
  }
  if (!refusal) refusal = ReadGeometry(layout);
  if (!refusal) refusal = WalkRootChain(layout);
  if (refusal) {
    volume::CloseVolume();
    window.ShowMessage(*refusal, messages::kErrorTitle, kStyleCritical);
    return;
  }

  window.SetRepairEnabled(true);
  volume::CloseVolume();
}

}  // namespace kestrova::repair
