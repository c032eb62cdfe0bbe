// SPDX-License-Identifier: GPL-3.0-or-later
#include "volume_generator.h"

#include <algorithm>
#include <fstream>
#include <numeric>
#include <random>
#include <stdexcept>

#include "fat_image.h"
#include "fat_tools.h"

namespace kestrova::proof {
namespace {

namespace fs = std::filesystem;
using testing::Quote;

constexpr std::uint32_t kMinFat32Clusters = 66000;  // mkfs.fat wants at least 65,525
constexpr std::uint32_t kRootLimit = 501;           // what the repair can handle
constexpr std::uint64_t kTwoGiB = 1ull << 31;
constexpr std::uint32_t kFatEntriesPerSector = kImageSectorSize / 4;
constexpr std::uint32_t kFatSectorsLimit = 65535;  // beyond the 16-bit sectors-per-FAT field
constexpr std::size_t kMaxPathsPerCall = 150;
constexpr std::uint32_t kEarlyClusters = 8;

class Rng {
 public:
  explicit Rng(std::uint64_t seed) : engine_(seed) {}
  // Uniform in [low, high].
  std::uint64_t In(std::uint64_t low, std::uint64_t high) {
    return std::uniform_int_distribution<std::uint64_t>(low, high)(engine_);
  }
  bool Chance(double p) { return std::bernoulli_distribution(p)(engine_); }
  template <typename T>
  const T& Pick(const std::vector<T>& values) {
    return values[In(0, values.size() - 1)];
  }
  template <typename T>
  void Shuffle(std::vector<T>& values) {
    std::shuffle(values.begin(), values.end(), engine_);
  }

 private:
  std::mt19937_64 engine_;
};

void Must(const std::string& command) {
  const auto result = testing::Run(command, true);
  if (result.status != 0) {
    throw std::runtime_error("command failed (" + std::to_string(result.status) + "): " + command +
                             "\n" + result.output);
  }
}

std::string Mt(const std::string& tool, const fs::path& image) {
  return tool + " -i " + Quote(image.string());
}

// Runs one mtools command over many paths, in chunks that keep the command line short.
void ForPaths(const std::string& prefix, const std::vector<std::string>& paths) {
  for (std::size_t start = 0; start < paths.size(); start += kMaxPathsPerCall) {
    std::string command = prefix;
    const std::size_t end = std::min(paths.size(), start + kMaxPathsPerCall);
    for (std::size_t i = start; i < end; ++i) command += " " + Quote("::/" + paths[i]);
    Must(command);
  }
}

// "+r -h +s -a": sets exactly these attributes.
std::string AttributeArguments(unsigned attributes) {
  std::string arguments;
  arguments += attributes & kReadOnly ? "+r " : "-r ";
  arguments += attributes & kHidden ? "+h " : "-h ";
  arguments += attributes & kSystem ? "+s " : "-s ";
  arguments += attributes & kArchive ? "+a" : "-a";
  return arguments;
}

// A root name in one of the shapes that occur on real drives. `index` keeps names unique.
std::string MakeName(Rng& rng, std::size_t index, bool folder) {
  const std::string n = std::to_string(index);
  switch (rng.In(0, 6)) {
    case 0:
      return (folder ? "D" : "F") + n;  // a plain 8.3 name in capitals
    case 1:
      return (folder ? "DIR" : "FILE") + n + "." + (folder ? "DIR" : "TXT");  // with extension
    case 2:
      return (folder ? "docs" : "note") + n;  // lower case, still a short name
    case 3:
      return (folder ? "My Folder number " : "Some long file name ") + n;  // long, no dot
    case 4:
      return (folder ? "archive.backup." : "report.final.") + n + ".old";  // long, dotted
    case 5:
      return (folder ? "新建文件夹 " : "工作报告") + n + (folder ? "" : ".docx");  // Chinese
    default:
      return (folder ? "Photos_" : "data-") + n + "_" + std::to_string(rng.In(0, 99999));
  }
}

struct Planned {
  std::string name;
  bool folder = false;
  unsigned attributes = 0;
  bool deleted = false;
  std::vector<std::pair<std::string, unsigned>> children;  // folder paths below, attributes
};

// Sets attributes grouped by combination: one mattrib call per combination.
void ApplyAttributes(const fs::path& image,
                     const std::vector<std::pair<std::string, unsigned>>& assignments) {
  std::map<unsigned, std::vector<std::string>> byCombination;
  for (const auto& [path, attributes] : assignments) byCombination[attributes].push_back(path);
  for (const auto& [attributes, paths] : byCombination) {
    ForPaths(Mt("mattrib", image) + " " + AttributeArguments(attributes), paths);
  }
}

std::string FeatureNames(unsigned features) {
  static const std::vector<std::pair<unsigned, const char*>> kNames = {
      {kHugeFat, "huge-fat"},     {kFarRoot, "far-root"},
      {kFullRoot, "full-root"},   {kTooLongRoot, "too-long-root"},
      {kMovedRoot, "moved-root"}, {kManyEntries, "many-entries"},
      {kSmallFat, "fat12-or-16"}, {kLargeSectors, "large-sectors"}};
  std::string text;
  for (const auto& [bit, name] : kNames) {
    if (features & bit) text += (text.empty() ? "" : ",") + std::string(name);
  }
  return text.empty() ? "plain" : text;
}

}  // namespace

std::string AttributeLetters(unsigned attributes) {
  std::string letters;
  if (attributes & kArchive) letters += 'A';
  if (attributes & kSystem) letters += 'S';
  if (attributes & kHidden) letters += 'H';
  if (attributes & kReadOnly) letters += 'R';
  return letters;
}

unsigned ParseAttributeLetters(const std::string& letters) {
  unsigned attributes = 0;
  for (char c : letters) {
    switch (c) {
      case 'A':
        attributes |= kArchive;
        break;
      case 'S':
        attributes |= kSystem;
        break;
      case 'H':
        attributes |= kHidden;
        break;
      case 'R':
        attributes |= kReadOnly;
        break;
      case ' ':
        break;
      default:
        throw std::runtime_error(std::string("unknown attribute letter ") + c);
    }
  }
  return attributes;
}

std::map<std::string, unsigned> ListRootAttributes(const fs::path& image) {
  const auto listed = testing::Run(Mt("mattrib", image) + " '::/*'", true);
  if (listed.status != 0) throw std::runtime_error("mattrib failed: " + listed.output);
  std::map<std::string, unsigned> result;
  std::size_t pos = 0;
  const std::string& text = listed.output;
  while (pos < text.size()) {
    std::size_t end = text.find('\n', pos);
    if (end == std::string::npos) end = text.size();
    const std::string line = text.substr(pos, end - pos);
    pos = end + 1;
    const auto at = line.find("::/");
    if (at == std::string::npos) continue;
    result[line.substr(at + 3)] = ParseAttributeLetters(line.substr(0, at));
  }
  return result;
}

GeneratedVolume GenerateVolume(std::uint64_t seed, unsigned requiredFeatures,
                               const fs::path& directory) {
  Rng rng(seed);
  unsigned features = requiredFeatures;
  // FAT12 and FAT16 now and then, when nothing asks for a chain; then large sectors now and then.
  const bool chainAsked = requiredFeatures & kChainFeatures;
  if (!chainAsked && !(features & kSmallFat) && rng.Chance(0.25)) features |= kSmallFat;
  if (!(features & kSmallFat)) {
    if (rng.Chance(0.35)) features |= kManyEntries;
    if (rng.Chance(0.4)) features |= kMovedRoot;
    if (!(features & (kFullRoot | kTooLongRoot)) && rng.Chance(0.08)) {
      features |= rng.Chance(0.5) ? kFullRoot : kTooLongRoot;
    }
  }
  if (features & kFarRoot) features |= kManyEntries;
  // The chain features count FAT sectors of 512 bytes.
  if (!(features & kChainFeatures) && rng.Chance(0.3)) features |= kLargeSectors;
  const std::uint32_t sectorBytes = features & kLargeSectors
                                        ? rng.Pick(std::vector<std::uint32_t>{1024, 2048, 4096})
                                        : kImageSectorSize;

  // Geometry.
  std::vector<std::uint32_t> clusterSizes = {1, 2, 4, 8, 16, 32, 64};
  if (features & (kHugeFat | kLargeSectors)) clusterSizes = {1, 2};
  if (features & kSmallFat) clusterSizes = {1, 2, 4, 8};
  // A long root costs a read and a write per sector: keep its clusters small.
  if (features & (kFarRoot | kFullRoot | kTooLongRoot)) clusterSizes = {1, 2, 4, 8};
  const std::uint32_t spc = rng.Pick(clusterSizes);
  std::uint32_t reserved = static_cast<std::uint32_t>(rng.In(8, 64));
  switch (rng.In(0, 6)) {
    case 0:
      reserved = rng.Pick(std::vector<std::uint32_t>{255, 256, 257, 300, 511, 512});
      break;
    case 1:
      reserved = static_cast<std::uint32_t>(rng.In(256, 9000));
      break;
    case 2:
      reserved = static_cast<std::uint32_t>(rng.In(30000, 65535));
      break;
    default:
      break;
  }
  const std::uint32_t fatCount = rng.Chance(0.15) ? 1 : 2;
  std::uint64_t clusters = rng.In(kMinFat32Clusters, 300000);
  if (features & kHugeFat) {
    clusters =
        static_cast<std::uint64_t>(kFatSectorsLimit) * kFatEntriesPerSector + rng.In(1000, 200000);
  }
  if (features & kFarRoot) {
    clusters = std::max<std::uint64_t>(
        clusters, (kTwoGiB + kTwoGiB / 4) / kImageSectorSize / spc + rng.In(0, 100000));
  }
  // FAT12 and FAT16: a cluster count that leaves no doubt of the type, and a root region.
  const bool fat12 = (features & kSmallFat) && rng.Chance(0.4);
  std::uint32_t rootEntries = 0;
  if (features & kSmallFat) {
    clusters = fat12 ? rng.In(300, 4000) : rng.In(4300, 60000);
    reserved = static_cast<std::uint32_t>(rng.In(1, 40));
    rootEntries = rng.Pick(std::vector<std::uint32_t>{512, 768, 1024});
  }
  const std::uint64_t fatBytes = fat12                    ? (clusters + 2) * 3 / 2 + 1
                                 : (features & kSmallFat) ? (clusters + 2) * 2
                                                          : (clusters + 2) * 4;
  const std::uint64_t fatSectors = (fatBytes + sectorBytes - 1) / sectorBytes;
  const std::uint64_t rootSectors =
      (std::uint64_t{rootEntries} * 32 + sectorBytes - 1) / sectorBytes;
  const std::uint64_t sectors =
      clusters * spc + reserved + fatCount * fatSectors + rootSectors + spc;
  const std::uint64_t sizeKiB = (sectors * sectorBytes + 1023) / 1024;

  GeneratedVolume volume;
  volume.image = directory / "volume.img";
  fs::remove(volume.image);
  std::string label;
  if (rng.Chance(0.3)) label = " -n LABEL" + std::to_string(rng.In(0, 999));
  const std::string type = !(features & kSmallFat) ? "32" : fat12 ? "12" : "16";
  const std::string rootOption = rootEntries ? " -r " + std::to_string(rootEntries) : std::string();
  Must("truncate -s " + std::to_string(sizeKiB) + "K " + Quote(volume.image.string()) +
       " && mkfs.fat -F " + type + " -S " + std::to_string(sectorBytes) + " -s " +
       std::to_string(spc) + " -R " + std::to_string(reserved) + " -f " + std::to_string(fatCount) +
       rootOption + " -i " + std::to_string(10000000 + seed % 80000000) + label + " " +
       Quote(volume.image.string()));

  // A file made first and deleted last leaves free clusters low in the FAT's first sector, for
  // root clusters moved back there.
  const fs::path sources = directory / "sources";
  fs::create_directories(sources);
  const fs::path placeholder = sources / "EARLY.BIN";
  std::ofstream(placeholder, std::ios::binary)
      << std::string(kEarlyClusters * spc * sectorBytes, 'x');
  Must(Mt("mcopy", volume.image) + " " + Quote(placeholder.string()) + " ::/EARLY.BIN");

  // The root tree: every attribute combination on folders, a run of them on files.
  std::vector<Planned> items;
  std::size_t index = 0;
  const std::size_t folderCount = rng.In(kAttributeCombinations, 2 * kAttributeCombinations + 4);
  std::vector<unsigned> combinations(kAttributeCombinations);
  std::iota(combinations.begin(), combinations.end(), 0u);
  rng.Shuffle(combinations);
  for (std::size_t i = 0; i < folderCount; ++i) {
    Planned folder{
        MakeName(rng, ++index, true),
        true,
        i < kAttributeCombinations ? combinations[i] : static_cast<unsigned>(rng.In(0, 15)),
        false,
        {}};
    if (rng.Chance(0.3)) {
      const std::size_t children = rng.In(1, 3);
      for (std::size_t c = 0; c < children; ++c) {
        folder.children.emplace_back(folder.name + "/SUB" + std::to_string(c),
                                     static_cast<unsigned>(rng.In(0, 15)));
      }
    }
    items.push_back(folder);
  }
  const std::size_t fileCount = rng.In(2, kAttributeCombinations);
  const unsigned fileStart = static_cast<unsigned>(rng.In(0, 15));
  for (std::size_t i = 0; i < fileCount; ++i) {
    items.push_back({MakeName(rng, ++index, false),
                     false,
                     static_cast<unsigned>((fileStart + i) % kAttributeCombinations),
                     false,
                     {}});
  }
  const std::size_t deletedCount = rng.In(0, 6);
  for (std::size_t i = 0; i < deletedCount; ++i) {
    const bool folder = rng.Chance(0.7);
    items.push_back(
        {MakeName(rng, ++index, folder), folder, static_cast<unsigned>(rng.In(0, 15)), true, {}});
  }
  if (features & kManyEntries) {
    const std::size_t extra = rng.In(100, 400);
    for (std::size_t i = 0; i < extra; ++i) {
      items.push_back(
          {"G" + std::to_string(++index), true, static_cast<unsigned>(rng.In(0, 15)), false, {}});
    }
  }
  rng.Shuffle(items);

  // Create in a few batches so that files and deleted entries fall between folders.
  std::vector<std::string> folderBatch;
  std::vector<std::string> fileBatch;
  auto flush = [&] {
    ForPaths(Mt("mmd", volume.image), folderBatch);
    if (!fileBatch.empty()) {
      std::string command = Mt("mcopy", volume.image);
      for (const auto& name : fileBatch) command += " " + Quote((sources / name).string());
      Must(command + " ::/");
    }
    folderBatch.clear();
    fileBatch.clear();
  };
  for (const auto& item : items) {
    if (item.folder) {
      folderBatch.push_back(item.name);
    } else {
      std::ofstream(sources / item.name) << "seed " << seed << " " << item.name << "\n";
      fileBatch.push_back(item.name);
    }
    if (rng.Chance(0.1)) flush();
  }
  flush();

  // Subfolders and a file in some of them.
  std::vector<std::pair<std::string, unsigned>> assignments;
  std::vector<std::string> children;
  for (const auto& item : items) {
    for (const auto& child : item.children) {
      children.push_back(child.first);
      assignments.push_back(child);
    }
  }
  ForPaths(Mt("mmd", volume.image), children);
  for (const auto& child : children) {
    if (!rng.Chance(0.5)) continue;
    const fs::path source = sources / "inner.txt";
    std::ofstream(source) << child << "\n";
    Must(Mt("mcopy", volume.image) + " " + Quote(source.string()) + " " +
         Quote("::/" + child + "/INNER.TXT"));
    assignments.emplace_back(child + "/INNER.TXT", static_cast<unsigned>(rng.In(0, 15)));
  }
  for (const auto& item : items) assignments.emplace_back(item.name, item.attributes);
  ApplyAttributes(volume.image, assignments);

  // Deleted entries keep their attribute byte; hidden folders among them are still repaired.
  std::vector<std::string> deletedFolders, deletedFiles;
  for (const auto& item : items) {
    if (!item.deleted) continue;
    (item.folder ? deletedFolders : deletedFiles).push_back(item.name);
  }
  ForPaths(Mt("mrd", volume.image), deletedFolders);
  deletedFiles.push_back("EARLY.BIN");
  ForPaths(Mt("mdel", volume.image), deletedFiles);
  volume.deletedEntries = deletedFolders.size() + deletedFiles.size();

  for (const auto& item : items) {
    if (item.deleted) continue;
    volume.rootItems[item.name] = {item.folder, item.attributes,
                                   item.name.find('.') == std::string::npos};
  }

  // Reshape the root chain on the image itself.
  {
    FatImage fat(volume.image, true);
    const std::uint32_t last = fat.LastCluster();
    auto chainLength = [&] { return fat.RootChain()->size(); };
    if (features & kMovedRoot || features & kFarRoot) {
      if (chainLength() < 3) {
        fat.GrowRoot(static_cast<std::uint32_t>(3 - chainLength()),
                     static_cast<std::uint32_t>(rng.In(2, last)));
      }
    }
    if (features & kMovedRoot) {
      // A few moves at random; then the second cluster goes far up the table and the third back
      // into FAT sector 0, so that the walk leaves the first FAT sector and comes back to it.
      auto moveTo = [&](std::size_t at, bool near) {
        const std::uint32_t from =
            near ? 2 : static_cast<std::uint32_t>(rng.In(kFatEntriesPerSector, last));
        auto target = fat.FreeCluster(from, near ? kFatEntriesPerSector - 1 : last);
        if (!target) target = fat.FreeCluster(kFatEntriesPerSector, last);
        if (target) fat.MoveRootCluster(at, *target);
      };
      const std::size_t moves = rng.In(0, std::min<std::size_t>(6, chainLength() - 1));
      for (std::size_t m = 0; m < moves; ++m) moveTo(rng.In(1, chainLength() - 1), rng.Chance(0.5));
      moveTo(1, false);
      moveTo(2, true);
    }
    if (features & kFarRoot) {
      const std::uint64_t farSector = kTwoGiB / kImageSectorSize;
      const std::uint32_t firstFar = static_cast<std::uint32_t>(
          2 + (farSector - fat.geometry().firstDataSector + spc - 1) / spc);
      if (firstFar > last) throw std::runtime_error("volume too small for a far root");
      const std::size_t moves = rng.In(1, chainLength() - 1);
      for (std::size_t m = 0; m < moves; ++m) {
        const std::size_t at = rng.In(1, chainLength() - 1);
        const auto target =
            fat.FreeCluster(static_cast<std::uint32_t>(rng.In(firstFar, last)), last);
        if (target) fat.MoveRootCluster(at, *target);
      }
    }
    if (features & (kFullRoot | kTooLongRoot)) {
      const std::size_t wanted = features & kFullRoot ? kRootLimit : kRootLimit + 1 + rng.In(0, 20);
      if (chainLength() < wanted) {
        if (!fat.GrowRoot(static_cast<std::uint32_t>(wanted - chainLength()),
                          static_cast<std::uint32_t>(rng.In(2, last)))) {
          throw std::runtime_error("cannot grow the root directory");
        }
      }
      if (features & kFullRoot && chainLength() != kRootLimit) features &= ~kFullRoot;
    }
    volume.rootClusters = chainLength();
    if (features & kMovedRoot) {
      // Some cluster whose FAT entry lies past FAT sector 0 is followed by one within it.
      const auto chain = *fat.RootChain();
      bool returns = false;
      for (std::size_t i = 1; i < chain.size(); ++i) {
        returns =
            returns || (chain[i - 1] >= kFatEntriesPerSector && chain[i] < kFatEntriesPerSector);
      }
      if (!returns) features &= ~kMovedRoot;
    }
    if (features & kFarRoot) {
      const auto chain = fat.RootChain();
      const bool far = std::any_of(chain->begin(), chain->end(), [&](std::uint32_t c) {
        return fat.ClusterOffset(c) >= kTwoGiB;
      });
      if (!far) features &= ~kFarRoot;
    }
    const Geometry& g = fat.geometry();
    volume.description = "seed " + std::to_string(seed) + ": " + FeatureNames(features) + "; FAT" +
                         type + ", sector " + std::to_string(g.bytesPerSector) + ", spc " +
                         std::to_string(g.sectorsPerCluster) + ", reserved " +
                         std::to_string(g.reservedSectors) + ", FATs " +
                         std::to_string(g.fatCount) + " x " + std::to_string(g.fatSectors) +
                         " sectors, clusters " + std::to_string(g.dataClusters) +
                         ", root clusters " + std::to_string(volume.rootClusters) +
                         ", root items " + std::to_string(volume.rootItems.size()) + ", deleted " +
                         std::to_string(volume.deletedEntries);
  }
  volume.features = features;
  return volume;
}

}  // namespace kestrova::proof
