// SPDX-License-Identifier: GPL-3.0-or-later
// A seeded generator of FAT12, FAT16 and FAT32 volumes of any sector size for the randomized
// repair tests: random geometry made with mkfs.fat, random root trees made with mtools (folders and
// files with every attribute combination, long names, deleted entries, subfolders), and root chains
// that are grown, moved across FAT sectors or past 2 GiB by patching the image.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

namespace kestrova::proof {

// Features that a volume must have. The generator adds others at random.
enum Feature : unsigned {
  kPlain = 0,
  kHugeFat = 1u << 0,       // more than 65,535 sectors per FAT
  kFarRoot = 1u << 1,       // root clusters whose data lies past the first 2 GiB
  kFullRoot = 1u << 2,      // a root directory of exactly 501 clusters
  kTooLongRoot = 1u << 3,   // a root directory of more than 501 clusters
  kMovedRoot = 1u << 4,     // a root chain that crosses FAT sectors and comes back
  kManyEntries = 1u << 5,   // hundreds of extra root entries over many clusters
  kSmallFat = 1u << 6,      // FAT12 or FAT16: a fixed root region, no chain
  kLargeSectors = 1u << 7,  // sectors of 1,024, 2,048 or 4,096 bytes
};
// The features that only a FAT32 volume of 512-byte sectors can have.
inline constexpr unsigned kChainFeatures =
    kHugeFat | kFarRoot | kFullRoot | kTooLongRoot | kMovedRoot;

// Attribute letters as mattrib prints them.
inline constexpr unsigned kReadOnly = 1u << 0;
inline constexpr unsigned kHidden = 1u << 1;
inline constexpr unsigned kSystem = 1u << 2;
inline constexpr unsigned kArchive = 1u << 3;
inline constexpr unsigned kAttributeCombinations = 16;
std::string AttributeLetters(unsigned attributes);
// Parses the letters that mattrib prints ("A", "SHR", ...) back into bits.
unsigned ParseAttributeLetters(const std::string& letters);

struct RootItem {
  bool folder = false;
  unsigned attributes = 0;      // kReadOnly | kHidden | kSystem | kArchive
  bool blankExtension = false;  // the short name has no extension (the name has no dot)
};

struct GeneratedVolume {
  std::filesystem::path image;
  std::map<std::string, RootItem> rootItems;  // live root entries by the name mattrib shows
  unsigned features = 0;                      // every feature the volume ended up with
  std::size_t rootClusters = 0;
  std::size_t deletedEntries = 0;
  std::string description;  // geometry and features, for failure reports
};

// Builds the volume of `seed` in `directory`. Throws std::runtime_error when a tool fails.
GeneratedVolume GenerateVolume(std::uint64_t seed, unsigned requiredFeatures,
                               const std::filesystem::path& directory);

// What mattrib shows for every live root entry: name -> attribute bits.
std::map<std::string, unsigned> ListRootAttributes(const std::filesystem::path& image);

}  // namespace kestrova::proof
