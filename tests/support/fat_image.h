// SPDX-License-Identifier: GPL-3.0-or-later
// An independent reading of a FAT12, FAT16 or FAT32 image file (any sector size), written for the
// tests without the engine's code: the boot sector's geometry, the first FAT, the root directory
// (its chain on FAT32, its fixed region on FAT12 and FAT16), and the root entries that a repair
// has to change. It can also rearrange the root chain on the image (grow it, move its
// clusters elsewhere) while keeping the file system consistent.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace kestrova::proof {

inline constexpr std::uint32_t kImageSectorSize = 512;
inline constexpr std::uint32_t kDirEntryBytes = 32;

struct Geometry {
  bool fixedRoot = false;  // FAT12 or FAT16: the root is the region between the FATs and the data
  std::uint32_t bytesPerSector = 0;
  std::uint32_t sectorsPerCluster = 0;
  std::uint32_t reservedSectors = 0;
  std::uint32_t fatCount = 0;
  std::uint32_t fatSectors = 0;  // sectors per FAT
  std::uint64_t rootStart = 0;   // the fixed root's first sector and its length
  std::uint64_t rootSectors = 0;
  std::uint64_t totalSectors = 0;
  std::uint32_t rootCluster = 0;
  std::uint32_t fsInfoSector = 0;
  std::uint32_t backupBootSector = 0;
  std::uint64_t firstDataSector = 0;
  std::uint32_t dataClusters = 0;  // clusters 2 .. dataClusters + 1
};

// A root entry whose attribute byte the repair must rewrite.
struct ExpectedChange {
  std::uint64_t offset = 0;  // byte offset of the attribute byte in the image
  std::uint8_t before = 0;
  std::uint8_t after = 0;
  bool deleted = false;
};

class FatImage {
 public:
  // Opens the image for reading, and for writing when `writable`. Throws std::runtime_error
  // when it cannot be opened or does not look like FAT. Everything about chains and the FAT below
  // is FAT32's; a fixed root has no chain.
  FatImage(const std::filesystem::path& image, bool writable);
  ~FatImage();
  FatImage(const FatImage&) = delete;
  FatImage& operator=(const FatImage&) = delete;

  const Geometry& geometry() const { return geometry_; }
  std::uint32_t ClusterBytes() const {
    return geometry_.sectorsPerCluster * geometry_.bytesPerSector;
  }
  std::uint64_t ClusterOffset(std::uint32_t cluster) const;
  std::uint32_t LastCluster() const { return geometry_.dataClusters + 1; }

  // The entry of `cluster` in the first FAT, top four bits dropped.
  std::uint32_t NextCluster(std::uint32_t cluster) const;
  // Sets the entry of `cluster` in every FAT, keeping its top four bits.
  void SetNextCluster(std::uint32_t cluster, std::uint32_t next);
  static bool IsEnd(std::uint32_t value);

  // The root directory's chain through the first FAT. Stops after `limit` clusters; nothing
  // when the chain is broken (a value outside the data clusters, or a loop); empty for a fixed
  // root.
  std::optional<std::vector<std::uint32_t>> RootChain(std::size_t limit = 1u << 20) const;

  std::vector<std::uint8_t> ReadCluster(std::uint32_t cluster) const;
  void WriteCluster(std::uint32_t cluster, const std::vector<std::uint8_t>& bytes);

  // The chain that starts at `first`, as far as it goes through valid links (at most `limit`).
  std::vector<std::uint32_t> ChainFrom(std::uint32_t first, std::size_t limit = 1u << 20) const;
  // Moves the data of cluster `from` to the free cluster `to` and links `to` in its place;
  // `previous` is the cluster that links to `from`, or 0 when `from` starts the root directory
  // (the boot sector and its backup then name `to`). `from` becomes free.
  void MoveCluster(std::uint32_t previous, std::uint32_t from, std::uint32_t to);

  // A free cluster in [from, to], searched upwards from `from`.
  std::optional<std::uint32_t> FreeCluster(std::uint32_t from, std::uint32_t to) const;

  // Keeps the free-cluster count of the FSInfo sector (and its backup) right after clusters
  // were allocated (negative) or freed (positive).
  void AdjustFreeCount(std::int64_t delta);

  // Appends `count` zero-filled clusters from the free ones to the root directory.
  // Returns false when the volume has too few free clusters.
  bool GrowRoot(std::uint32_t count, std::uint32_t searchFrom);
  // Moves the data of root cluster number `index` (index > 0) of the chain to `target`, a free
  // cluster, and relinks the chain; the old cluster becomes free.
  void MoveRootCluster(std::size_t index, std::uint32_t target);

  // Every root entry that a repair must change, by this reading of the image.
  std::vector<ExpectedChange> PredictRepair() const;

 private:
  void ReadAt(std::uint64_t offset, void* bytes, std::size_t length) const;
  void WriteAt(std::uint64_t offset, const void* bytes, std::size_t length);

  int fd_ = -1;
  Geometry geometry_;
};

// A byte that differs between two files of equal size.
struct ByteDifference {
  std::uint64_t offset = 0;
  std::uint8_t a = 0;
  std::uint8_t b = 0;
};
// Compares two (possibly sparse, possibly large) files, reading only where either holds data.
// Stops after `limit` differences. Throws std::runtime_error when a file cannot be read.
std::vector<ByteDifference> CompareImages(const std::filesystem::path& a,
                                          const std::filesystem::path& b,
                                          std::size_t limit = 1u << 20);

}  // namespace kestrova::proof
