// SPDX-License-Identifier: GPL-3.0-or-later
// Test helpers around the real FAT tools (mkfs.fat, fsck.fat, mtools) and the built programs.
#pragma once

#include <map>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace kestrova::testing {

struct CommandResult {
  int status = -1;     // exit status, or -1 when the command could not run or was signalled
  std::string output;  // standard output (standard error too when asked)
};

// Runs a shell command and collects its output.
CommandResult Run(const std::string& command, bool withStderr = false);

// Quotes a string for the shell.
std::string Quote(const std::string& text);

// A fresh directory, removed with everything in it when the object goes.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::filesystem::path& path() const { return path_; }
  std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

 private:
  std::filesystem::path path_;
};

// Makes a sparse FAT32 image of `sizeKiB` with mkfs.fat -F 32 and the extra options given.
// Fails the calling test (ADD_FAILURE) and returns false when mkfs.fat refuses.
bool MakeFat32Image(const std::filesystem::path& image, std::uint64_t sizeKiB,
                    const std::string& mkfsOptions = "");

// The same with any options of mkfs.fat (-F 12, -F 16, -S 4096, ...).
bool MakeFatImage(const std::filesystem::path& image, std::uint64_t sizeKiB,
                  const std::string& mkfsOptions);

// Runs an mtools command (mmd, mattrib, mcopy, ...) on an image; arguments are passed as given.
CommandResult Mtools(const std::string& tool, const std::filesystem::path& image,
                     const std::string& arguments);

// A file to put on an image: its path from the root ("/DIR/NAME", UTF-8) and its bytes.
struct ImageFile {
  std::string path;
  std::vector<std::uint8_t> bytes;
};
// Copies a file onto a FAT image with mcopy, then gives it the mattrib `attributes` ("+h +s")
// when there are any. Fails the calling test (ADD_FAILURE) and returns false when a tool refuses.
bool PutFile(const std::filesystem::path& image, const ImageFile& file,
             const std::string& attributes = "");

// The attribute letters that mattrib prints for a path on the image ("SHR", "A", ...).
std::string MattribFlags(const std::filesystem::path& image, const std::string& path);

// Whole-file reads and byte comparisons.
std::vector<std::uint8_t> ReadBytes(const std::filesystem::path& file);
// The byte offsets at which two equally long files differ. Regions that are holes in both files
// are skipped, so this is quick on sparse images of several GiB.
std::vector<std::uint64_t> DifferingOffsets(const std::filesystem::path& a,
                                            const std::filesystem::path& b);
// Copies a file keeping its holes.
bool CopySparse(const std::filesystem::path& from, const std::filesystem::path& to);

// Every file under a folder, by its path from there ("/DIR/NAME"), with its bytes.
std::map<std::string, std::vector<std::uint8_t>> FilesUnder(const std::filesystem::path& dir);
// Every file of a FAT image as mtools copies it out; empty when mcopy fails.
std::map<std::string, std::vector<std::uint8_t>> FatFiles(const std::filesystem::path& image);

// Byte patches of an image file in place.
void PatchBytes(const std::filesystem::path& file, std::uint64_t offset,
                const std::vector<std::uint8_t>& bytes);
std::vector<std::uint8_t> ReadAt(const std::filesystem::path& file, std::uint64_t offset,
                                 std::size_t length);

// Detaches a loop device and waits until no loop device is backed by `image` any more: the kernel
// lets go of the file only once the device's last opener (udev's probe, say) has closed it. Fails
// the calling test (ADD_FAILURE) and returns false when either does not happen.
bool DetachLoop(const std::string& device, const std::filesystem::path& image);

// The built command-line program.
std::string CliPath();

}  // namespace kestrova::testing
