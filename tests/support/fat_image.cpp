// SPDX-License-Identifier: GPL-3.0-or-later
#include "fat_image.h"
#include "disk_facts.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <stdexcept>
#include <unordered_set>

#include "fat_tools.h"

namespace kestrova::proof {
namespace {

using testing::kDeletedMark;
using testing::kFat32EndMark;

// Boot sector and FSInfo fields, as this reader knows them.
constexpr std::size_t kOffBytesPerSector = 11;
constexpr std::size_t kOffSectorsPerCluster = 13;
constexpr std::size_t kOffReserved = 14;
constexpr std::size_t kOffFatCount = 16;
constexpr std::size_t kOffTotal16 = 19;
constexpr std::size_t kOffTotal32 = 32;
constexpr std::size_t kOffFatSectors = 36;
constexpr std::size_t kOffRootEntries = 17;   // FAT12 and FAT16
constexpr std::size_t kOffFatSectors16 = 22;  // FAT12 and FAT16
constexpr std::size_t kOffRootCluster = 44;
constexpr std::size_t kOffFsInfo = 48;
constexpr std::size_t kOffBackupBoot = 50;
constexpr std::size_t kOffTypeText = 82;
constexpr char kTypeText[] = "FAT32   ";
constexpr std::size_t kOffFreeCount = 488;
constexpr std::uint32_t kUnknownFreeCount = 0xFFFFFFFF;

constexpr std::uint32_t kEntryBytes = 4;
constexpr std::uint32_t kValueBits = 0x0FFFFFFF;
constexpr std::uint32_t kTopBits = 0xF0000000;
constexpr std::uint32_t kEndMin = 0x0FFFFFF8;
constexpr std::uint32_t kFree = 0;
constexpr std::uint32_t kFirstCluster = 2;

// Directory entries.
constexpr std::size_t kOffAttribute = 11;
constexpr std::uint8_t kReadOnlyBit = 0x01;
constexpr std::uint8_t kHiddenBit = 0x02;
constexpr std::uint8_t kSystemBit = 0x04;
constexpr std::uint8_t kDirectoryBit = 0x10;

std::uint32_t Le(const std::uint8_t* p, std::size_t bytes) {
  std::uint32_t value = 0;
  for (std::size_t i = bytes; i-- > 0;) value = value << 8 | p[i];
  return value;
}

void PutLe32(std::uint8_t* p, std::uint32_t value) {
  for (std::size_t i = 0; i < kEntryBytes; ++i) p[i] = static_cast<std::uint8_t>(value >> (8 * i));
}

// An entry the virus leaves: a folder carrying hidden and/or system, whatever its name, and
// neither a volume label nor one with bits that no file system defines.
bool MustChange(const std::uint8_t* entry) {
  const std::uint8_t attribute = entry[kOffAttribute];
  constexpr std::uint8_t kLabelOrUndefined = 0xC8;
  return (attribute & kDirectoryBit) && (attribute & (kHiddenBit | kSystemBit)) &&
         !(attribute & kLabelOrUndefined);
}

// A file in use that is hidden like the virus hides the user's files, whose name is one of a
// document (the generators make no programs, shortcuts or system files): it is shown again.
bool IsHiddenDocument(const std::uint8_t* entry) {
  const std::uint8_t attribute = entry[kOffAttribute];
  constexpr std::uint8_t kLongName = 0x0F;
  constexpr std::uint8_t kLabelOrUndefined = 0xC8;
  return attribute != kLongName && !(attribute & kDirectoryBit) &&
         (attribute & (kHiddenBit | kSystemBit)) && !(attribute & kLabelOrUndefined);
}

}  // namespace

FatImage::FatImage(const std::filesystem::path& image, bool writable) {
  fd_ = ::open(image.c_str(), (writable ? O_RDWR : O_RDONLY) | O_CLOEXEC);
  if (fd_ < 0) throw std::runtime_error("cannot open " + image.string());
  std::array<std::uint8_t, kImageSectorSize> boot{};
  ReadAt(0, boot.data(), boot.size());
  Geometry& g = geometry_;
  g.bytesPerSector = Le(&boot[kOffBytesPerSector], 2);
  g.sectorsPerCluster = boot[kOffSectorsPerCluster];
  g.reservedSectors = Le(&boot[kOffReserved], 2);
  g.fatCount = boot[kOffFatCount];
  g.totalSectors = Le(&boot[kOffTotal16], 2);
  if (g.totalSectors == 0) g.totalSectors = Le(&boot[kOffTotal32], 4);
  const std::uint32_t rootEntries = Le(&boot[kOffRootEntries], 2);
  g.fixedRoot = std::memcmp(boot.data() + kOffTypeText, kTypeText, sizeof kTypeText - 1) != 0;
  if (g.fixedRoot && (rootEntries == 0 || Le(&boot[kOffFatSectors16], 2) == 0)) {
    throw std::runtime_error(image.string() + " is not FAT");
  }
  if (g.bytesPerSector < kImageSectorSize || g.sectorsPerCluster == 0) {
    throw std::runtime_error(image.string() + ": unexpected geometry");
  }
  if (g.fixedRoot) {
    g.fatSectors = Le(&boot[kOffFatSectors16], 2);
    g.rootStart = g.reservedSectors + static_cast<std::uint64_t>(g.fatCount) * g.fatSectors;
    g.rootSectors =
        (rootEntries * std::uint64_t{kDirEntryBytes} + g.bytesPerSector - 1) / g.bytesPerSector;
    g.firstDataSector = g.rootStart + g.rootSectors;
  } else {
    g.fatSectors = Le(&boot[kOffFatSectors], 4);
    g.rootCluster = Le(&boot[kOffRootCluster], 4);
    g.fsInfoSector = Le(&boot[kOffFsInfo], 2);
    g.backupBootSector = Le(&boot[kOffBackupBoot], 2);
    g.firstDataSector = g.reservedSectors + static_cast<std::uint64_t>(g.fatCount) * g.fatSectors;
  }
  g.dataClusters =
      static_cast<std::uint32_t>((g.totalSectors - g.firstDataSector) / g.sectorsPerCluster);
}

FatImage::~FatImage() {
  if (fd_ >= 0) ::close(fd_);
}

void FatImage::ReadAt(std::uint64_t offset, void* bytes, std::size_t length) const {
  if (::pread(fd_, bytes, length, static_cast<off_t>(offset)) != static_cast<ssize_t>(length)) {
    throw std::runtime_error("short read at " + std::to_string(offset));
  }
}

void FatImage::WriteAt(std::uint64_t offset, const void* bytes, std::size_t length) {
  if (::pwrite(fd_, bytes, length, static_cast<off_t>(offset)) != static_cast<ssize_t>(length)) {
    throw std::runtime_error("short write at " + std::to_string(offset));
  }
}

std::uint64_t FatImage::ClusterOffset(std::uint32_t cluster) const {
  const std::uint64_t sector =
      geometry_.firstDataSector +
      static_cast<std::uint64_t>(cluster - kFirstCluster) * geometry_.sectorsPerCluster;
  return sector * geometry_.bytesPerSector;
}

std::uint32_t FatImage::NextCluster(std::uint32_t cluster) const {
  std::array<std::uint8_t, kEntryBytes> raw{};
  ReadAt(static_cast<std::uint64_t>(geometry_.reservedSectors) * geometry_.bytesPerSector +
             static_cast<std::uint64_t>(cluster) * kEntryBytes,
         raw.data(), raw.size());
  return Le(raw.data(), kEntryBytes) & kValueBits;
}

void FatImage::SetNextCluster(std::uint32_t cluster, std::uint32_t next) {
  for (std::uint32_t fat = 0; fat < geometry_.fatCount; ++fat) {
    const std::uint64_t offset =
        (geometry_.reservedSectors + static_cast<std::uint64_t>(fat) * geometry_.fatSectors) *
            geometry_.bytesPerSector +
        static_cast<std::uint64_t>(cluster) * kEntryBytes;
    std::array<std::uint8_t, kEntryBytes> raw{};
    ReadAt(offset, raw.data(), raw.size());
    PutLe32(raw.data(), (Le(raw.data(), kEntryBytes) & kTopBits) | (next & kValueBits));
    WriteAt(offset, raw.data(), raw.size());
  }
}

bool FatImage::IsEnd(std::uint32_t value) { return (value & kValueBits) >= kEndMin; }

std::optional<std::vector<std::uint32_t>> FatImage::RootChain(std::size_t limit) const {
  std::vector<std::uint32_t> chain;
  if (geometry_.fixedRoot) return chain;
  std::unordered_set<std::uint32_t> seen;
  std::uint32_t cluster = geometry_.rootCluster;
  while (chain.size() < limit) {
    if (cluster < kFirstCluster || cluster > LastCluster() || !seen.insert(cluster).second) {
      return std::nullopt;
    }
    chain.push_back(cluster);
    const std::uint32_t next = NextCluster(cluster);
    if (IsEnd(next)) break;
    cluster = next;
  }
  return chain;
}

std::vector<std::uint8_t> FatImage::ReadCluster(std::uint32_t cluster) const {
  std::vector<std::uint8_t> bytes(ClusterBytes());
  ReadAt(ClusterOffset(cluster), bytes.data(), bytes.size());
  return bytes;
}

void FatImage::WriteCluster(std::uint32_t cluster, const std::vector<std::uint8_t>& bytes) {
  WriteAt(ClusterOffset(cluster), bytes.data(), bytes.size());
}

std::optional<std::uint32_t> FatImage::FreeCluster(std::uint32_t from, std::uint32_t to) const {
  from = std::max(from, kFirstCluster);
  to = std::min(to, LastCluster());
  for (std::uint32_t c = from; c <= to; ++c) {
    if (NextCluster(c) == kFree) return c;
  }
  return std::nullopt;
}

void FatImage::AdjustFreeCount(std::int64_t delta) {
  for (const std::uint32_t base : {0u, geometry_.backupBootSector}) {
    const std::uint64_t offset =
        static_cast<std::uint64_t>(base + geometry_.fsInfoSector) * geometry_.bytesPerSector +
        kOffFreeCount;
    std::array<std::uint8_t, kEntryBytes> raw{};
    ReadAt(offset, raw.data(), raw.size());
    const std::uint32_t count = Le(raw.data(), kEntryBytes);
    if (count == kUnknownFreeCount) continue;
    PutLe32(raw.data(), static_cast<std::uint32_t>(static_cast<std::int64_t>(count) + delta));
    WriteAt(offset, raw.data(), raw.size());
  }
}

bool FatImage::GrowRoot(std::uint32_t count, std::uint32_t searchFrom) {
  auto chain = RootChain();
  if (!chain) return false;
  const std::vector<std::uint8_t> zeros(ClusterBytes(), 0);
  std::uint32_t last = chain->back();
  std::uint32_t from = searchFrom;
  for (std::uint32_t i = 0; i < count; ++i) {
    auto free = FreeCluster(from, LastCluster());
    if (!free) free = FreeCluster(kFirstCluster, LastCluster());
    if (!free) return false;
    WriteCluster(*free, zeros);
    SetNextCluster(*free, kFat32EndMark);
    SetNextCluster(last, *free);
    AdjustFreeCount(-1);
    last = *free;
    from = *free + 1;
  }
  return true;
}

void FatImage::MoveRootCluster(std::size_t index, std::uint32_t target) {
  const auto chain = RootChain();
  if (!chain || index == 0 || index >= chain->size()) {
    throw std::runtime_error("cannot move root cluster " + std::to_string(index));
  }
  MoveCluster((*chain)[index - 1], (*chain)[index], target);
}

void FatImage::MoveCluster(std::uint32_t previous, std::uint32_t from, std::uint32_t to) {
  if (NextCluster(to) != kFree) {
    throw std::runtime_error("cluster " + std::to_string(to) + " is not free");
  }
  WriteCluster(to, ReadCluster(from));
  WriteCluster(from, std::vector<std::uint8_t>(ClusterBytes(), 0));
  SetNextCluster(to, NextCluster(from));
  SetNextCluster(from, kFree);
  if (previous != 0) {
    SetNextCluster(previous, to);
    return;
  }
  std::array<std::uint8_t, kEntryBytes> root{};
  PutLe32(root.data(), to);
  WriteAt(kOffRootCluster, root.data(), root.size());
  if (geometry_.backupBootSector != 0) {
    WriteAt(std::uint64_t{geometry_.backupBootSector} * geometry_.bytesPerSector + kOffRootCluster,
            root.data(), root.size());
  }
  geometry_.rootCluster = to;
}

std::vector<std::uint32_t> FatImage::ChainFrom(std::uint32_t first, std::size_t limit) const {
  std::vector<std::uint32_t> chain{first};
  for (std::uint32_t next = NextCluster(first);
       next >= kFirstCluster && next <= LastCluster() && chain.size() < limit;
       next = NextCluster(next)) {
    chain.push_back(next);
  }
  return chain;
}

std::vector<ExpectedChange> FatImage::PredictRepair() const {
  std::vector<ExpectedChange> changes;
  bool ended = false;
  auto look = [&](std::uint64_t offset, const std::vector<std::uint8_t>& bytes) {
    for (std::size_t at = 0; at + kDirEntryBytes <= bytes.size(); at += kDirEntryBytes) {
      ended |= bytes[at] == 0;
      const std::uint8_t before = bytes[at + kOffAttribute];
      if (MustChange(&bytes[at])) {
        const auto after =
            static_cast<std::uint8_t>(before & ~(kHiddenBit | kSystemBit | kReadOnlyBit));
        changes.push_back({offset + at + kOffAttribute, before, after, bytes[at] == kDeletedMark});
      } else if (!ended && bytes[at] != kDeletedMark && IsHiddenDocument(&bytes[at])) {
        const auto after = static_cast<std::uint8_t>(before & ~(kHiddenBit | kSystemBit));
        changes.push_back({offset + at + kOffAttribute, before, after, false});
      }
    }
  };
  if (geometry_.fixedRoot) {
    std::vector<std::uint8_t> bytes(geometry_.rootSectors * geometry_.bytesPerSector);
    const std::uint64_t offset = geometry_.rootStart * geometry_.bytesPerSector;
    ReadAt(offset, bytes.data(), bytes.size());
    look(offset, bytes);
    return changes;
  }
  const auto chain = RootChain();
  if (!chain) throw std::runtime_error("broken root chain");
  for (const std::uint32_t cluster : *chain) look(ClusterOffset(cluster), ReadCluster(cluster));
  return changes;
}

namespace {

// The [start, end) ranges of a file that hold data.
std::vector<std::pair<std::uint64_t, std::uint64_t>> DataRanges(int fd, std::uint64_t size) {
  std::vector<std::pair<std::uint64_t, std::uint64_t>> ranges;
  off_t at = 0;
  while (static_cast<std::uint64_t>(at) < size) {
    const off_t data = ::lseek(fd, at, SEEK_DATA);
    if (data < 0) break;
    off_t hole = ::lseek(fd, data, SEEK_HOLE);
    if (hole < 0) hole = static_cast<off_t>(size);
    ranges.emplace_back(data, hole);
    at = hole;
  }
  return ranges;
}

class ReadOnlyFile {
 public:
  explicit ReadOnlyFile(const std::filesystem::path& path)
      : fd_(::open(path.c_str(), O_RDONLY | O_CLOEXEC)) {
    if (fd_ < 0) throw std::runtime_error("cannot open " + path.string());
  }
  ~ReadOnlyFile() { ::close(fd_); }
  ReadOnlyFile(const ReadOnlyFile&) = delete;
  ReadOnlyFile& operator=(const ReadOnlyFile&) = delete;
  int fd() const { return fd_; }

 private:
  int fd_;
};

}  // namespace

std::vector<ByteDifference> CompareImages(const std::filesystem::path& a,
                                          const std::filesystem::path& b, std::size_t limit) {
  const std::uint64_t size = std::filesystem::file_size(a);
  if (std::filesystem::file_size(b) != size) throw std::runtime_error("sizes differ");
  ReadOnlyFile fa(a), fb(b);
  auto ranges = DataRanges(fa.fd(), size);
  const auto more = DataRanges(fb.fd(), size);
  ranges.insert(ranges.end(), more.begin(), more.end());
  std::sort(ranges.begin(), ranges.end());

  std::vector<ByteDifference> differences;
  constexpr std::size_t kChunk = 1 << 20;
  std::vector<std::uint8_t> bufferA(kChunk), bufferB(kChunk);
  std::uint64_t done = 0;  // everything below this offset has been compared
  for (const auto& [start, end] : ranges) {
    for (std::uint64_t at = std::max(start, done); at < end; at += kChunk) {
      const std::size_t length =
          static_cast<std::size_t>(std::min<std::uint64_t>(kChunk, end - at));
      if (::pread(fa.fd(), bufferA.data(), length, static_cast<off_t>(at)) !=
              static_cast<ssize_t>(length) ||
          ::pread(fb.fd(), bufferB.data(), length, static_cast<off_t>(at)) !=
              static_cast<ssize_t>(length)) {
        throw std::runtime_error("short read while comparing");
      }
      if (std::memcmp(bufferA.data(), bufferB.data(), length) == 0) continue;
      for (std::size_t i = 0; i < length; ++i) {
        if (bufferA[i] == bufferB[i]) continue;
        differences.push_back({at + i, bufferA[i], bufferB[i]});
        if (differences.size() >= limit) return differences;
      }
    }
    done = std::max(done, end);
  }
  return differences;
}

}  // namespace kestrova::proof
