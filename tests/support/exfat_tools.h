// SPDX-License-Identifier: GPL-3.0-or-later
// The tests' own small exFAT tools: folders made through the FUSE driver, and a reader and writer
// of the root directory's entry sets that keeps their checksums right (fsck.exfat checks it).
#pragma once

#include <functional>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "fat_tools.h"

namespace kestrova::testing {

// Makes a sparse exFAT image with mkfs.exfat and the options given; false when mkfs.exfat fails.
// Sectors other than 512 bytes come from a loop device of that logical block size (root only;
// `why` then says why it could not be made).
bool MakeExfatImage(const std::filesystem::path& image, std::uint64_t sizeMiB,
                    const std::string& options = "", std::uint32_t sectorBytes = 512,
                    std::string* why = nullptr);

// Mounts an exFAT image through exfat-fuse on a loop device and calls `use` with the mount
// point; returns why it could not (no loop device, no FUSE), else what `use` returned. `writable`
// mounts it for writing; a read-only mount leaves every byte as it was (no access times, no
// dirty flag).
std::string WithFuseMount(const std::filesystem::path& image,
                          const std::function<std::string(const std::filesystem::path&)>& use,
                          bool writable = false);

// Makes the folders (names in UTF-8) in the root of an exFAT image, then the files, through
// exfat-fuse on a loop device. Returns an empty string on success, else why it could not (no loop
// device, no FUSE).
std::string MakeFoldersThroughFuse(const std::filesystem::path& image,
                                   const std::vector<std::string>& folders,
                                   const std::vector<ImageFile>& files = {});

// The checksum of an entry set, its File entry first: the sum skips the checksum's own bytes.
std::uint16_t ExfatSetChecksum(const std::vector<std::uint8_t>& set);

// An entry set to write: a File entry with `attributes`; a stream extension with `flags`, `first`
// and `length`; the name entries of `name` (ASCII); then secondaries of the types in `extra`.
struct ExfatSet {
  std::string name;
  std::uint16_t attributes = 0;
  std::uint8_t flags = 0;
  std::uint32_t first = 0;
  std::uint64_t length = 0;
  std::vector<std::uint8_t> extra = {};
  int secondaryCount = -1;  // as many as there are
};
// Its bytes, with its checksum.
std::vector<std::uint8_t> ExfatSetBytes(const ExfatSet& set);

class ExfatRootSets {
 public:
  struct Set {
    std::string name;  // UTF-8
    std::uint16_t attributes = 0;
    std::vector<std::uint64_t> entries;  // the image offset of each of its entries, File first
    std::uint32_t first = 0;             // the stream extension's first cluster
    std::uint8_t flags = 0;              // and its flags (bit 1: contiguous, no FAT chain)
    std::uint64_t length = 0;            // and its data length
  };

  // Reads the in-use File entry sets of the image's root directory, or of the folder that the
  // names of `folder` lead to from there (each read along its FAT chain or, when contiguous, by
  // its data length).
  explicit ExfatRootSets(const std::filesystem::path& image,
                         const std::vector<std::string>& folder = {});
  const std::vector<Set>& sets() const { return sets_; }
  const Set& Named(const std::string& name) const;

  // Writes new attributes into a set's File entry, with the set checksum to match.
  void SetAttributes(const std::string& name, std::uint16_t attributes);
  // Whether a set's checksum matches its entries.
  bool ChecksumHolds(const std::string& name) const;
  // Writes a wrong set checksum.
  void SpoilChecksum(const std::string& name);
  // Writes the stream extension's flags, first cluster and (valid) data length into a set, with
  // the set checksum to match.
  void SetStream(const std::string& name, std::uint8_t flags, std::uint32_t first,
                 std::uint64_t length);
  // Sets the entry of `cluster` in the first FAT.
  void SetFat(std::uint32_t cluster, std::uint32_t value);
  std::uint32_t RootCluster() const { return rootCluster_; }

  // Writes a set at root entry `index` (counted in chain order). The entries from the end of the
  // directory up to `index` become unused ones. Read the sets again to see it.
  void PutSet(std::size_t index, const ExfatSet& set);
  // The clusters of a set's data in order: contiguous or along the FAT.
  std::vector<std::uint32_t> Clusters(const std::string& name) const;
  // The directory's entries in chain order: how many, and where each lies in the image.
  std::size_t EntryCount() const { return places_.size(); }
  std::uint64_t EntryPlace(std::size_t index) const { return places_.at(index); }

  std::uint64_t SectorBytes() const { return sectorBytes_; }
  std::uint64_t ClusterBytes() const { return clusterBytes_; }

 private:
  std::uint16_t Checksum(const Set& set) const;
  // Reads the directory of `clusters` in place of the one read before.
  void ReadDirectory(const std::vector<std::uint32_t>& clusters);
  std::vector<std::uint32_t> ChainFrom(std::uint32_t first, bool contiguous,
                                       std::uint64_t length) const;
  std::uint64_t heap_ = 0;
  std::filesystem::path image_;
  std::uint64_t sectorBytes_ = 0;
  std::uint64_t clusterBytes_ = 0;
  std::uint64_t fatOffset_ = 0;
  std::uint32_t rootCluster_ = 0;
  std::vector<Set> sets_;
  std::vector<std::uint64_t> places_;
  std::vector<std::uint8_t> root_;  // the root's bytes, as this writer left them
};

}  // namespace kestrova::testing
