// SPDX-License-Identifier: GPL-3.0-or-later
#include "fat32_volume.h"
#include "disk_facts.h"

#include <algorithm>
#include <stdexcept>

#include "format/fat.h"
#include "words/messages.h"

namespace kestrova::testing {

namespace fat = kestrova::fat;

namespace {

constexpr std::uint32_t kMediaEntry = 0x0FFFFFF8;  // FAT entry 0: the media byte and ones
constexpr std::size_t kSignatureOffset = 510;

}  // namespace

std::vector<std::uint8_t> Le16(std::uint16_t value) {
  return {static_cast<std::uint8_t>(value), static_cast<std::uint8_t>(value >> 8)};
}

std::vector<std::uint8_t> Le32(std::uint32_t value) {
  return {static_cast<std::uint8_t>(value), static_cast<std::uint8_t>(value >> 8),
          static_cast<std::uint8_t>(value >> 16), static_cast<std::uint8_t>(value >> 24)};
}

Fat32Volume::Fat32Volume(MemoryVolume& memory, char letter, const Fat32Geometry& geometry)
    : memory_(memory), letter_(letter), geometry_(geometry) {
  const std::uint64_t dataStart = DataStart();
  const std::uint64_t spc = std::max<std::uint64_t>(geometry.sectorsPerCluster, 1);
  totalSectors_ =
      geometry.totalSectors != 0
          ? geometry.totalSectors
          : std::min<std::uint64_t>(dataStart + (std::uint64_t{geometry.fatSize} * 128 - 2) * spc,
                                    0xFFFFFFFFu);
  memory.AddSparseDrive(letter, totalSectors_ * geometry.bytesPerSector);

  PokeBoot(0, {0xEB, 0x58, 0x90, 'K', 'E', 'S', 'T', 'R', 'O', 'V', 'A'});
  PokeBoot(fat::kBytesPerSectorOffset, Le16(geometry.bytesPerSector));
  PokeBoot(fat::kSectorsPerClusterOffset, {geometry.sectorsPerCluster});
  PokeBoot(fat::kReservedSectorsOffset, Le16(geometry.reservedSectors));
  PokeBoot(fat::kFatCountOffset, {geometry.fatCount});
  PokeBoot(fat::kTotalSectors32Offset, Le32(static_cast<std::uint32_t>(totalSectors_)));
  PokeBoot(fat::kFatSize32Offset, Le32(geometry.fatSize));
  PokeBoot(fat::kRootClusterOffset, Le32(geometry.rootCluster));
  PokeBoot(fat::kFileSystemTypeOffset,
           std::vector<std::uint8_t>(geometry.typeText.begin(), geometry.typeText.end()));
  PokeBoot(kSignatureOffset, {0x55, 0xAA});

  if (geometry.fatCount > 0 && geometry.fatSize > 0) {
    SetFat(0, kMediaEntry);
    SetFat(1, kFat32EndMark);
    SetFat(geometry.rootCluster, kFat32EndMark);
  }
}

std::uint64_t Fat32Volume::DataStart() const {
  return geometry_.reservedSectors + std::uint64_t{geometry_.fatCount} * geometry_.fatSize;
}

std::uint64_t Fat32Volume::ClusterCount() const {
  const std::uint64_t spc = std::max<std::uint64_t>(geometry_.sectorsPerCluster, 1);
  return totalSectors_ > DataStart() ? (totalSectors_ - DataStart()) / spc : 0;
}

std::uint64_t Fat32Volume::ClusterSector(std::uint32_t cluster) const {
  return DataStart() + std::uint64_t{cluster - 2} * geometry_.sectorsPerCluster;
}

void Fat32Volume::SetFat(std::uint32_t cluster, std::uint32_t value) {
  for (std::uint32_t copy = 0; copy < geometry_.fatCount; ++copy) {
    const std::uint64_t fatStart =
        geometry_.reservedSectors + std::uint64_t{copy} * geometry_.fatSize;
    memory_.Poke(letter_, fatStart * geometry_.bytesPerSector + std::uint64_t{cluster} * 4,
                 Le32(value));
  }
}

void Fat32Volume::Chain(const std::vector<std::uint32_t>& clusters) {
  for (std::size_t i = 0; i < clusters.size(); ++i) {
    SetFat(clusters[i], i + 1 < clusters.size() ? clusters[i + 1] : kFat32EndMark);
  }
}

void Fat32Volume::PutEntry(std::uint64_t sector, int index, const std::string& name11,
                           std::uint8_t attribute) {
  if (name11.size() != fat::kNameLength + fat::kExtensionLength) {
    throw std::invalid_argument("an 8.3 name has 11 bytes");
  }
  std::vector<std::uint8_t> entry(fat::kDirEntrySize, 0);
  std::copy(name11.begin(), name11.end(), entry.begin());
  entry[fat::kAttributeOffset] = attribute;
  // Something in the time and cluster fields, so that a stray write there shows.
  for (std::size_t i = fat::kAttributeOffset + 1; i < fat::kDirEntrySize; ++i) {
    entry[i] = static_cast<std::uint8_t>(0x40 + index + i);
  }
  memory_.Poke(letter_, sector * geometry_.bytesPerSector + static_cast<std::uint64_t>(index) * 32,
               entry);
}

void Fat32Volume::SetFirstCluster(std::uint64_t sector, int index, std::uint32_t cluster) {
  const std::uint64_t entry =
      sector * geometry_.bytesPerSector + static_cast<std::uint64_t>(index) * 32;
  memory_.Poke(letter_, entry + fat::kFirstClusterHighOffset, Le16(cluster >> 16));
  memory_.Poke(letter_, entry + fat::kFirstClusterLowOffset, Le16(cluster & 0xFFFF));
}

void Fat32Volume::PokeBoot(std::size_t offset, const std::vector<std::uint8_t>& bytes) {
  memory_.Poke(letter_, offset, bytes);
}

bool EngineRun::EverEnabled() const {
  return std::find(enabledHistory.begin(), enabledHistory.end(), true) != enabledHistory.end();
}

void EngineRun::Advance(float percent) {
  widths.push_back(percent);
  ++pumps;
  if (onPump) onPump();
}

void EngineRun::Tell(const repair::Problem& problem) {
  messages.push_back({repair::messages::Text(problem), repair::messages::Title(problem)});
}

namespace {

volume::DriveTarget EntryTarget(const EngineRun& run, std::int16_t item) {
  return volume::DriveTarget::OfLetter(run.entries.at(static_cast<std::size_t>(item)).at(0));
}

}  // namespace

void AnalyseEntry(repair::VolumeLayout& layout, EngineRun& run, std::int16_t item,
                  volume::Access access) {
  run.enabledHistory.push_back(false);
  auto opened = volume::Volume::Open(EntryTarget(run, item), access);
  if (!opened) {
    run.Tell(repair::OpenProblem(opened.error()));
    return;
  }
  layout = {};
  if (auto problem = repair::AnalyseInto(*opened, layout)) {
    run.Tell(*problem);
    return;
  }
  run.enabledHistory.push_back(true);
}

std::optional<repair::Problem> PassOnEntry(const repair::VolumeLayout* analysed, EngineRun& run,
                                           repair::RepairReport* report) {
  auto opened = volume::Volume::Open(EntryTarget(run, run.selected));
  if (!opened) {
    const auto problem =
        repair::OpenProblem(opened.error(), analysed ? repair::ProblemKind::kPassOpenFailed
                                                     : repair::ProblemKind::kOpenFailed);
    run.Tell(problem);
    return problem;
  }
  auto repaired = repair::Repair(*opened, analysed, &run);
  if (!repaired) {
    run.Tell(repaired.error());
    return repaired.error();
  }
  if (report) *report = std::move(*repaired);
  return std::nullopt;
}

}  // namespace kestrova::testing
