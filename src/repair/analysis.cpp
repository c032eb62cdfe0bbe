// The analysis of a drive: boot sector, geometry and the root directory's cluster chain.
#include <algorithm>
#include <string>

#include "repair/checked.h"
#include "repair/engine.h"
#include "repair/fat32.h"
#include "repair/messages.h"
#include "repair/scan.h"
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

// The largest transfer of the root directory: a run of contiguous clusters is read at once up to
// this size (always at least one cluster).
constexpr std::int64_t kMaxTransferBytes = 1 << 20;

Problem Refusal(ProblemKind kind, std::string detail = {}) {
  Problem problem;
  problem.kind = kind;
  problem.detail = std::move(detail);
  return problem;
}

Problem Geometry(std::string detail) {
  return Refusal(ProblemKind::kUnsupportedGeometry, std::move(detail));
}

Problem ReadProblem(ReadResult result, std::int64_t sector) {
  Problem problem = Refusal(result == ReadResult::kShort ? ProblemKind::kVolumeTooShort
                                                         : ProblemKind::kReadFailed);
  problem.sector = sector;
  return problem;
}

// Follows the root directory's chain through the FAT in use (the first one unless mirroring is
// off), recording its clusters. Returns the refusal when a sector cannot be read or the chain is
// damaged.
// The FAT is read a window of sectors at a time: on flash a read of many sectors costs about as
// much as a read of one.
constexpr std::int64_t kFatWindowSectors = 128;

std::optional<Problem> WalkRootChain(VolumeLayout& layout) {
  const std::int64_t lastCluster = static_cast<std::int64_t>(layout.clusterCount) + 1;
  layout.rootClusters[0] = layout.rootCluster;
  std::int32_t count = 1;
  volume::AlignedBuffer window(static_cast<std::size_t>(kFatWindowSectors) * kSectorSize);
  std::int64_t windowFirst = -1;  // the first FAT sector (counted in the FAT) that window holds
  std::int64_t windowCount = 0;
  std::int64_t cluster = layout.rootCluster;
  for (;;) {
    const std::int64_t entryOffset = cluster * kFatEntrySize;
    const std::int64_t fatSectorIndex = entryOffset / kSectorSize;
    if (fatSectorIndex < windowFirst || fatSectorIndex >= windowFirst + windowCount) {
      const std::int64_t fatStart =
          layout.reservedSectors + static_cast<std::int64_t>(layout.activeFat) * layout.fatSize;
      windowCount = std::min<std::int64_t>(kFatWindowSectors, layout.fatSize - fatSectorIndex);
      const auto bytes = window.bytes().first(static_cast<std::size_t>(windowCount) * kSectorSize);
      const ReadResult read = ReadSectors(fatStart + fatSectorIndex, bytes, layout.bytesRead);
      if (read != ReadResult::kOk) {
        return ReadProblem(read, fatStart + fatSectorIndex + layout.bytesRead / kSectorSize);
      }
      windowFirst = fatSectorIndex;
    }
    // The FAT sector that holds the entry, as the layout keeps it.
    const auto held = window.bytes().subspan(
        static_cast<std::size_t>(fatSectorIndex - windowFirst) * kSectorSize, kSectorSize);
    std::copy(held.begin(), held.end(), layout.fatSector.begin());
    const std::uint32_t raw = Read32(layout.fatSector, entryOffset % kSectorSize);
    const std::uint32_t next = raw & kClusterMask;
    if (next >= kEndOfChain) break;

    const std::string where = "簇" + std::to_string(cluster) + "的下一簇为" + Hex(raw);
    if (next == kBadCluster) return Refusal(ProblemKind::kDamagedChain, where + "，即坏簇标记");
    if (next < kFirstDataCluster || next > lastCluster) {
      return Refusal(ProblemKind::kDamagedChain, where + "，超出卷的范围");
    }
    const auto recorded = layout.rootClusters.begin();
    if (std::find(recorded, recorded + count, static_cast<std::int32_t>(next)) !=
        recorded + count) {
      return Refusal(ProblemKind::kDamagedChain, where + "，簇链成环");
    }
    if (count == kRootClusterCapacity) {
      Problem problem = Refusal(ProblemKind::kRootTooLong);
      problem.count = kRootClusterCapacity;
      return problem;
    }
    layout.rootClusters.at(static_cast<std::size_t>(count)) = static_cast<std::int32_t>(next);
    ++count;
    cluster = next;
  }
  layout.rootClusterCount = count;
  return std::nullopt;
}

// Reads the root directory into layout.root, a run of contiguous clusters at a time.
std::optional<Problem> ReadRootDirectory(VolumeLayout& layout) {
  const std::int64_t clusterBytes = layout.ClusterBytes();
  const std::int32_t count = layout.rootClusterCount;
  layout.root = volume::AlignedBuffer(static_cast<std::size_t>(count * clusterBytes));
  const std::int64_t clustersPerTransfer =
      std::max<std::int64_t>(1, kMaxTransferBytes / clusterBytes);
  const auto cluster = [&](std::int32_t i) {
    return layout.rootClusters.at(static_cast<std::size_t>(i));
  };
  for (std::int32_t i = 0; i < count;) {
    std::int32_t end = i + 1;
    while (end < count && end - i < clustersPerTransfer && cluster(end) == cluster(end - 1) + 1)
      ++end;
    const auto first = ClusterFirstSector(layout, cluster(i));
    if (!first) return Geometry("根目录的簇超出卷的范围");
    const auto bytes =
        layout.root.bytes().subspan(static_cast<std::size_t>(i * clusterBytes),
                                    static_cast<std::size_t>((end - i) * clusterBytes));
    const ReadResult read = ReadSectors(*first, bytes, layout.bytesRead);
    if (read != ReadResult::kOk) {
      return ReadProblem(read, *first + layout.bytesRead / volume::kSectorSize);
    }
    i = end;
  }
  return std::nullopt;
}

// A root whose chain runs into the clusters of a file or folder that the root itself lists is
// cross-linked: rewriting the root would rewrite that file's data.
std::optional<Problem> CheckCrossLinks(const VolumeLayout& layout) {
  const auto recorded = layout.rootClusters.begin();
  const auto recordedEnd = recorded + layout.rootClusterCount;
  const auto root = layout.root.bytes();
  for (std::size_t offset = 0; offset + kDirEntrySize <= root.size(); offset += kDirEntrySize) {
    const auto entry = root.subspan(offset, kDirEntrySize);
    const std::uint8_t lead = entry[kNameOffset];
    if (lead == kEndOfDirectory) break;
    const std::uint8_t attribute = entry[kAttributeOffset];
    if (lead == kDeletedEntry || (attribute & kAttrVolumeId)) continue;  // also long names
    const std::uint32_t first =
        (static_cast<std::uint32_t>(Read16(entry, kFirstClusterHighOffset)) << 16 |
         Read16(entry, kFirstClusterLowOffset)) &
        kClusterMask;
    if (std::find(recorded, recordedEnd, static_cast<std::int32_t>(first)) != recordedEnd) {
      return Refusal(ProblemKind::kDamagedChain, "根目录中的“" + DisplayShortName(entry) +
                                                     "”起始于根目录自身的簇" +
                                                     std::to_string(first) + "，簇链交叉");
    }
  }
  return std::nullopt;
}

}  // namespace

std::optional<Problem> ReadGeometry(VolumeLayout& layout) {
  const std::span<const std::uint8_t> boot = layout.bootSector;
  for (std::size_t i = 0; i < kFileSystemType.size(); ++i) {
    if (boot[kFileSystemTypeOffset + i] != static_cast<std::uint8_t>(kFileSystemType[i])) {
      return Refusal(ProblemKind::kNotFat32);
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
    return Geometry("每扇区" + std::to_string(bytesPerSector) + "字节，本程序仅支持512字节");
  }
  if (!IsPowerOfTwo(sectorsPerCluster) || sectorsPerCluster > kMaxSectorsPerCluster) {
    return Geometry("每簇扇区数为" + std::to_string(sectorsPerCluster));
  }
  if (reservedSectors == 0) return Geometry("保留扇区数为0");
  if (fatCount == 0) return Geometry("没有文件分配表");
  if (Read16(boot, kRootEntryCountOffset) != 0 || Read16(boot, kFatSize16Offset) != 0) {
    return Geometry("含有FAT12/FAT16的字段，不是有效的FAT32引导扇区");
  }
  if (fatSize == 0) return Geometry("文件分配表大小为0");
  if (activeFat >= fatCount) {
    return Geometry("当前文件分配表编号" + std::to_string(activeFat) + "超出文件分配表个数");
  }

  // dataStart = reserved + FAT count x FAT size; with one FAT of 2 that is the familiar
  // 2 x fatSize + reserved.
  const auto fatsSize = CheckedMul<std::int64_t>(fatCount, fatSize);
  const auto dataStart =
      fatsSize ? CheckedAdd<std::int64_t>(*fatsSize, reservedSectors) : std::nullopt;
  if (!dataStart || *dataStart > INT32_MAX || *dataStart >= totalSectors) {
    return Geometry("数据区起点超出卷的范围");
  }
  const std::int64_t clusterCount = (totalSectors - *dataStart) / sectorsPerCluster;
  if (clusterCount < 1 || clusterCount > kMaxClusterCount) {
    return Geometry("簇数为" + std::to_string(clusterCount));
  }
  // The FAT must have an entry for every cluster, including the two reserved ones.
  if (static_cast<std::int64_t>(fatSize) * kFatEntriesPerSector <
      clusterCount + kFirstDataCluster) {
    return Geometry("文件分配表小于卷的簇数");
  }
  if (rootCluster < kFirstDataCluster || rootCluster > clusterCount + 1) {
    return Geometry("根目录起始簇" + std::to_string(rootCluster) + "超出卷的范围");
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

std::optional<Problem> AnalyseOpenVolume(VolumeLayout& layout) {
  // A volume too short for its boot sector cannot be read at all: no size was claimed yet.
  if (ReadSectors(kBootSector, layout.bootSector, layout.bytesRead) != ReadResult::kOk) {
    return ReadProblem(ReadResult::kFailed, kBootSector);
  }
  if (auto problem = ReadGeometry(layout)) return problem;
  if (auto problem = WalkRootChain(layout)) return problem;
  if (auto problem = ReadRootDirectory(layout)) return problem;
  return CheckCrossLinks(layout);
}

void List1_ItemCheck(VolumeLayout& layout, WindowContacts& window, std::int16_t item,
                     volume::Access access) {
  window.SetRepairEnabled(false);
  if (!volume::OpenVolume(volume::DevicePath(window.ListEntryText(item)), access)) {
    Problem problem = Refusal(ProblemKind::kOpenFailed);
    problem.open = volume::LastOpenFailure();
    window.ShowMessage(messages::Text(problem), messages::AnalysisTitle(problem), kStyleCritical);
    return;
  }
  if (const std::optional<Problem> refusal = AnalyseOpenVolume(layout)) {
    volume::CloseVolume();
    window.ShowMessage(messages::Text(*refusal), messages::AnalysisTitle(*refusal), kStyleCritical);
    return;
  }
  window.SetRepairEnabled(true);
  volume::CloseVolume();
}

}  // namespace kestrova::repair
