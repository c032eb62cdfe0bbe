// SPDX-License-Identifier: GPL-3.0-or-later
#include "memory_stick.h"

#include "format/codepage.h"
#include "format/exfat_sets.h"

#include <algorithm>
#include <cctype>
#include <set>
#include <stdexcept>

#include "disk_facts.h"
#include "exfat_tools.h"

namespace kestrova::testing {
namespace {

constexpr std::uint64_t kSector = volume::kSectorSize;
constexpr std::uint64_t kEntry = 32;
constexpr std::uint32_t kFat32Root = 2;
constexpr std::uint16_t kReserved = 32;  // Fat32Geometry's default, which the stick keeps
constexpr std::uint64_t kFsInfoSector = 1;
constexpr std::size_t kFsInfoFree = 488, kFsInfoNext = 492;
constexpr std::uint8_t kLongNameAttribute = 0x0F;
constexpr std::size_t kLongNameChars = 13;
// The stream extension's flags: allocation possible, and no FAT chain.
constexpr std::uint8_t kAllocationPossible = 0x01, kNoFatChain = 0x02;

std::uint64_t Read(const MemoryVolume& memory, char letter, std::uint64_t offset, int bytes) {
  const auto raw = memory.Peek(letter, offset, static_cast<std::size_t>(bytes));
  std::uint64_t value = 0;
  for (int i = bytes - 1; i >= 0; --i) value = value << 8 | raw.at(static_cast<std::size_t>(i));
  return value;
}

// Whether a name is stored as it is in a short entry: upper case, eight and three characters.
bool IsShortName(const std::string& name) {
  const auto dot = name.find('.');
  const std::string base = name.substr(0, dot);
  const std::string ext = dot == std::string::npos ? "" : name.substr(dot + 1);
  const auto plain = [](const std::string& part) {
    return std::all_of(part.begin(), part.end(), [](char c) {
      return std::isupper(static_cast<unsigned char>(c)) ||
             std::isdigit(static_cast<unsigned char>(c)) ||
             std::string("$~_-!#").find(c) != std::string::npos;
    });
  };
  return !base.empty() && base.size() <= 8 && ext.size() <= 3 && plain(base) && plain(ext);
}

// The 11 bytes of a short name: the name as it is, or its first letters with ~N.
std::string ShortName11(const std::string& name, int number) {
  const auto upper = [](const std::string& part, std::size_t most) {
    std::string kept;
    for (const char c : part) {
      if (std::isalnum(static_cast<unsigned char>(c)) && kept.size() < most) {
        kept += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
      }
    }
    return kept;
  };
  const auto dot = name.rfind('.');
  std::string base = name.substr(0, dot == 0 ? std::string::npos : dot);
  std::string ext = dot == std::string::npos || dot == 0 ? "" : name.substr(dot + 1);
  if (IsShortName(name)) {
    base = name.substr(0, name.find('.'));
  } else {
    const std::string tail = "~" + std::to_string(number);
    base = upper(base, 8 - tail.size()) + tail;
    ext = upper(ext, 3);
  }
  base.resize(8, ' ');
  ext.resize(3, ' ');
  return base + ext;
}

std::uint8_t ShortNameSum(const std::string& name11) {
  std::uint8_t sum = 0;
  for (const char c : name11) {
    sum = static_cast<std::uint8_t>(((sum & 1) << 7) + (sum >> 1) + static_cast<std::uint8_t>(c));
  }
  return sum;
}

// The long-name entries of `name`, in the order they are stored (the last part first).
std::vector<std::uint8_t> LongNameEntries(const std::string& name, std::uint8_t sum) {
  const std::u16string wide = repair::Utf8ToUtf16(name);
  std::vector<std::uint16_t> units(wide.begin(), wide.end());
  if (units.size() % kLongNameChars != 0) units.push_back(0);
  while (units.size() % kLongNameChars != 0) units.push_back(0xFFFF);
  const std::size_t count = units.size() / kLongNameChars;
  std::vector<std::uint8_t> bytes;
  constexpr std::size_t kPlaces[] = {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30};
  for (std::size_t ordinal = count; ordinal >= 1; --ordinal) {
    std::vector<std::uint8_t> entry(kEntry, 0);
    entry[0] = static_cast<std::uint8_t>(ordinal | (ordinal == count ? 0x40 : 0));
    entry[kAttributeByte] = kLongNameAttribute;
    entry[13] = sum;
    for (std::size_t i = 0; i < kLongNameChars; ++i) {
      const std::uint16_t unit = units[(ordinal - 1) * kLongNameChars + i];
      entry[kPlaces[i]] = static_cast<std::uint8_t>(unit);
      entry[kPlaces[i] + 1] = static_cast<std::uint8_t>(unit >> 8);
    }
    bytes.insert(bytes.end(), entry.begin(), entry.end());
  }
  return bytes;
}

}  // namespace

std::vector<std::uint64_t> ChangedBytes(const Snapshot& before, const Snapshot& after) {
  std::set<std::uint64_t> sectors;
  for (const auto& [sector, bytes] : before) sectors.insert(sector);
  for (const auto& [sector, bytes] : after) sectors.insert(sector);
  static const volume::SectorBuffer kZero{};
  std::vector<std::uint64_t> changed;
  for (const std::uint64_t sector : sectors) {
    const auto a = before.find(sector);
    const auto b = after.find(sector);
    const auto& x = a == before.end() ? kZero : a->second;
    const auto& y = b == after.end() ? kZero : b->second;
    for (std::size_t i = 0; i < kSector; ++i) {
      if (x[i] != y[i]) changed.push_back(sector * kSector + i);
    }
  }
  return changed;
}

volume::Expected<volume::Volume, volume::DeviceError> OpenDrive(char letter) {
  return volume::Volume::Open(volume::DriveTarget::OfLetter(letter), volume::Access::kReadWrite);
}

MemoryStick::MemoryStick(MemoryVolume& memory, Kind kind, char letter, std::uint32_t fatSectors)
    : memory_(memory), kind_(kind), letter_(letter), fatSectors_(fatSectors) {
  if (kind == Kind::kFat32) {
    fat32_.emplace(memory, letter, Fat32Geometry{.fatSize = fatSectors});
    fat32_->PokeBoot(48, Le16(kFsInfoSector));
    const std::string noLabel = "NO NAME    ";  // the boot sector's label field, as mkfs leaves it
    fat32_->PokeBoot(71, {noLabel.begin(), noLabel.end()});
    memory.Poke(letter, kFsInfoSector * kSector, Le32(0x41615252));
    memory.Poke(letter, kFsInfoSector * kSector + 484, Le32(0x61417272));
    memory.Poke(letter, kFsInfoSector * kSector + kFsInfoNext, Le32(0xFFFFFFFF));
    memory.Poke(letter, kFsInfoSector * kSector + 508, Le32(0xAA550000));
    nextCluster_ = kFat32Root + 1;
    used_ = 1;
    slots_[kFat32Root] = 0;
    SetFreeCount(static_cast<std::uint32_t>(fat32_->ClusterCount()) - used_);
  } else {
    exfat_.emplace(memory, letter);
    nextCluster_ = exfat_->RootCluster() + 1;
    slots_[exfat_->RootCluster()] = 1;  // after the allocation bitmap's entry
  }
}

std::uint64_t MemoryStick::ClusterBytes() const {
  if (fat32_) return 8 * kSector;
  return kSector << Read(memory_, letter_, 109, 1);
}

std::uint32_t MemoryStick::RootCluster() const {
  return fat32_ ? kFat32Root : exfat_->RootCluster();
}

std::uint32_t MemoryStick::LastCluster() const {
  return fat32_ ? fat32_->LastCluster()
                : static_cast<std::uint32_t>(Read(memory_, letter_, 92, 4) + 1);
}

std::uint64_t MemoryStick::ClusterOffset(std::uint32_t cluster) const {
  if (fat32_) return fat32_->ClusterSector(cluster) * kSector;
  return Read(memory_, letter_, 88, 4) * kSector + (cluster - 2) * ClusterBytes();
}

std::vector<std::uint64_t> MemoryStick::FatEntryOffsets(std::uint32_t cluster) const {
  if (!fat32_) return {Read(memory_, letter_, 80, 4) * kSector + cluster * 4ull};
  return {kReserved * kSector + cluster * 4ull,
          (kReserved + fatSectors_) * kSector + cluster * 4ull};
}

std::uint64_t MemoryStick::BitmapByte(std::uint32_t cluster) const {
  return ClusterOffset(2) + (cluster - 2) / 8;
}

void MemoryStick::Link(std::uint32_t cluster, std::uint32_t next) {
  if (fat32_) {
    fat32_->SetFat(cluster, next);
  } else {
    exfat_->SetFat(cluster, next);
  }
}

void MemoryStick::MarkRemoved(const Item& item) {
  for (const std::uint64_t at : item.entries) {
    const std::uint8_t first = memory_.Peek(letter_, at, 1).at(0);
    memory_.Poke(letter_, at,
                 {static_cast<std::uint8_t>(kind_ == Kind::kFat32 ? 0xE5 : first & 0x7F)});
  }
}

void MemoryStick::SetFirstCluster(const Item& item, std::uint32_t cluster) {
  if (fat32_) {
    const std::uint64_t entry = item.entries.back();
    fat32_->SetFirstCluster(entry / kSector, static_cast<int>(entry % kSector / kEntry), cluster);
    return;
  }
  memory_.Poke(letter_, item.entries.at(1) + 20, Le32(cluster));
  std::vector<std::uint8_t> set;
  for (const std::uint64_t at : item.entries) {
    const auto entry = memory_.Peek(letter_, at, kEntry);
    set.insert(set.end(), entry.begin(), entry.end());
  }
  memory_.Poke(letter_, item.entries.front() + 2, Le16(repair::SetChecksum(set)));
}

std::uint64_t MemoryStick::FreeCountOffset() const { return kFsInfoSector * kSector + kFsInfoFree; }

void MemoryStick::SetFreeCount(std::uint32_t count) {
  memory_.Poke(letter_, FreeCountOffset(), Le32(count));
}

void MemoryStick::Use(std::size_t clusters) {
  used_ += static_cast<std::uint32_t>(clusters);
  if (fat32_) SetFreeCount(static_cast<std::uint32_t>(fat32_->ClusterCount()) - used_);
}

std::uint32_t MemoryStick::Allocate() {
  Use(1);
  return nextCluster_++;
}

std::uint64_t MemoryStick::NextSlots(const Item* in, std::size_t count) {
  const std::uint32_t folder =
      in ? in->clusters.back() : (fat32_ ? kFat32Root : exfat_->RootCluster());
  std::size_t& used = slots_.at(folder);
  if ((used + count) * kEntry > ClusterBytes()) throw std::length_error("a folder of one cluster");
  const std::uint64_t at = ClusterOffset(folder) + used * kEntry;
  used += count;
  return at;
}

MemoryStick::Item MemoryStick::Add(const File& file, const Item* in) {
  Item item;
  item.clusters = file.clusters;
  const std::uint64_t clusterBytes = ClusterBytes();
  if (item.clusters.empty()) {
    for (std::uint64_t at = 0; at < file.bytes.size(); at += clusterBytes) {
      item.clusters.push_back(Allocate());
    }
  } else {
    Use(item.clusters.size());
  }
  for (std::size_t i = 0; i < item.clusters.size(); ++i) {
    const std::uint64_t from = i * clusterBytes;
    if (from >= file.bytes.size()) break;
    const auto end = file.bytes.begin() +
                     static_cast<std::ptrdiff_t>(std::min(file.bytes.size(), from + clusterBytes));
    memory_.Poke(letter_, ClusterOffset(item.clusters[i]),
                 {file.bytes.begin() + static_cast<std::ptrdiff_t>(from), end});
  }
  const bool fatChain = fat32_ || file.chained;
  for (std::size_t i = 0; i < item.clusters.size() && fatChain; ++i) {
    Link(item.clusters[i], i + 1 < item.clusters.size() ? item.clusters[i + 1]
                                                        : (fat32_ ? kFat32EndMark : kExfatEndMark));
  }
  const std::uint64_t size = file.size.value_or(file.bytes.size());
  if (exfat_) {
    for (const std::uint32_t c : item.clusters) exfat_->SetAllocated(c, true);
    const auto flags = static_cast<std::uint8_t>(item.clusters.empty() || fatChain
                                                     ? kAllocationPossible
                                                     : kAllocationPossible | kNoFatChain);
    const auto set = ExfatSetBytes({.name = file.name,
                                    .attributes = file.attributes,
                                    .flags = flags,
                                    .first = item.First(),
                                    .length = size});
    const std::uint64_t at = NextSlots(in, set.size() / kEntry);
    memory_.Poke(letter_, at, set);
    for (std::uint64_t e = 0; e < set.size() / kEntry; ++e) item.entries.push_back(at + e * kEntry);
    return item;
  }
  const std::string name11 = ShortName11(file.name, IsShortName(file.name) ? 0 : ++shortNames_);
  const auto longName = IsShortName(file.name) ? std::vector<std::uint8_t>()
                                               : LongNameEntries(file.name, ShortNameSum(name11));
  const std::uint64_t at = NextSlots(in, longName.size() / kEntry + 1);
  memory_.Poke(letter_, at, longName);
  for (std::uint64_t e = 0; e <= longName.size() / kEntry; ++e) {
    item.entries.push_back(at + e * kEntry);
  }
  const std::uint64_t entry = item.entries.back();
  fat32_->PutEntry(entry / kSector, static_cast<int>(entry % kSector / kEntry), name11,
                   static_cast<std::uint8_t>(file.attributes));
  fat32_->SetFirstCluster(entry / kSector, static_cast<int>(entry % kSector / kEntry),
                          item.First());
  // The short name's case as stored (no lower-case flags), and the size.
  memory_.Poke(letter_, entry + 12, {0});
  memory_.Poke(letter_, entry + 28, Le32(static_cast<std::uint32_t>(size)));
  return item;
}

MemoryStick::Item MemoryStick::AddFolder(const std::string& name, std::uint16_t attributes,
                                         const Item* in) {
  const std::uint32_t cluster = nextCluster_++;  // Add counts it used
  Item item = Add({.name = name,
                   .attributes = attributes,
                   .clusters = {cluster},
                   .chained = true,
                   .size = fat32_ ? 0 : ClusterBytes()},
                  in);
  slots_[cluster] = 0;
  if (fat32_) {
    // "." names the folder itself, ".." its parent (0 for the root).
    const Item self{{cluster}, {}};
    const Item* parent = in;
    for (const auto& [dots, first] : {std::pair<std::string, std::uint32_t>{".          ", cluster},
                                      {"..         ", parent ? parent->First() : 0}}) {
      const std::uint64_t at = NextSlots(&self, 1);
      fat32_->PutEntry(at / kSector, static_cast<int>(at % kSector / kEntry), dots, 0x10);
      fat32_->SetFirstCluster(at / kSector, static_cast<int>(at % kSector / kEntry), first);
      memory_.Poke(letter_, at + 28, Le32(0));
    }
  }
  return item;
}

void MemoryStick::GrowFolder(Item& folder, std::uint32_t cluster) {
  if (!fat32_) throw std::logic_error("an exFAT folder's length is its set's");
  Link(folder.clusters.back(), cluster);
  Link(cluster, kFat32EndMark);
  Use(1);
  folder.clusters.push_back(cluster);
  slots_[cluster] = 0;
}

std::uint32_t MemoryStick::TakeCluster() {
  if (!exfat_) throw std::logic_error("exFAT only");
  const std::uint32_t cluster = Allocate();
  exfat_->SetAllocated(cluster, true);
  Link(cluster, kExfatEndMark);
  return cluster;
}

MemoryStick::Item MemoryStick::AddRootEntries(const std::vector<std::uint8_t>& entries) {
  if (!exfat_) throw std::logic_error("exFAT only");
  Item item;
  const std::uint64_t at = NextSlots(nullptr, entries.size() / kEntry);
  memory_.Poke(letter_, at, entries);
  for (std::uint64_t e = 0; e < entries.size() / kEntry; ++e)
    item.entries.push_back(at + e * kEntry);
  return item;
}

}  // namespace kestrova::testing
