// SPDX-License-Identifier: GPL-3.0-or-later
// Sticks as the USB worms leave them, one builder per family, each with what the analysis must
// judge of every thing on it. A stick is a description (its label, file system, folders and
// files with their attribute bytes) that MakeStick turns into a sparse image at run time: mkfs.fat
// and mtools on FAT, mkfs.exfat and exfat-fuse on exFAT, then the attribute bytes written in place.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

namespace kestrova::testing {

enum class StickFs { kFat12, kFat16, kFat32, kExfat };
const char* StickFsName(StickFs fs);

// What the analysis must say of a thing: one verdict ("user", "virus", "system", "vaccine",
// "unsure"), "" when it must not be judged at all, or several of them between '|' when either
// is right ("user|": "user" or not judged). kAnyVerdict: not checked, and the virus's may be
// removed.
inline constexpr const char* kAnyVerdict = "*";

// A folder or a file, by its path from the root in UTF-8 with '/' between levels.
struct StickItem {
  std::string path;
  std::optional<std::vector<std::uint8_t>> bytes;  // nothing: a folder
  // Its attribute byte as the stick holds it (0x16 a hidden and system folder, 0x26 a hidden
  // and system file, 0x47 with the reserved bit); 0 keeps what the tools make (0x10, 0x20). On
  // exFAT only root entries get theirs.
  std::uint8_t attributes = 0;
  // Nothing: not checked, but never the virus's (a user's file inside a folder the worm hid).
  std::optional<std::string> verdict = std::nullopt;

  bool folder() const { return !bytes.has_value(); }
};

struct InfectedStick {
  std::string family;
  StickFs fs = StickFs::kFat32;
  std::string label = "KINGSTON";
  std::vector<StickItem> items;  // made in this order, a folder before what it holds
  // Nonzero (FAT only): the root folder named U+00A0 keeps only its short entry, whose name is
  // this byte (0xFF, the no-break space of code page 437, or 0xA0) and ten spaces.
  std::uint8_t shortOnlyBlank = 0;

  const StickItem* Find(const std::string& path) const;
};
// Its family and file system, for the tests' names.
void PrintTo(const InfectedStick& stick, std::ostream* out);

// Makes the stick's image. Returns an empty string when it is made, else why it cannot be made
// here (exFAT needs a loop device and FUSE); a tool that refuses fails the calling test.
std::string MakeStick(const InfectedStick& stick, const std::filesystem::path& image);

// The attribute byte of every root entry and, on FAT, of every entry one level inside a root
// folder, by path as in StickItem ('/' between levels). A short name's bytes 0xFF and 0xA0 read
// as U+00A0.
std::map<std::string, std::uint16_t> StickAttributes(const std::filesystem::path& image,
                                                     StickFs fs);

// Every file of the image with its bytes, by "/" and its path: mcopy's copy on FAT, a read-only
// exfat-fuse mount on exFAT (empty when it cannot be mounted).
std::map<std::string, std::vector<std::uint8_t>> StickFiles(const std::filesystem::path& image,
                                                            StickFs fs);

// A path as the analysis names it: '\' between levels.
std::string VerdictPath(const std::string& path);

// The families.
InfectedStick HWormStick(StickFs fs);
InfectedStick BlankFolderStick(StickFs fs, const std::string& blank, std::uint8_t shortOnly = 0);
InfectedStick SysvolumeStick(StickFs fs);
InfectedStick MovemenoregStick(StickFs fs);
InfectedStick AutorunWormStick(StickFs fs, bool utf16);
InfectedStick FolderDisguiseStick(StickFs fs);
InfectedStick TrickyNamesStick(StickFs fs);
InfectedStick ConsoleHostStick(StickFs fs);
InfectedStick ScriptletStick(StickFs fs);
InfectedStick EscapedLinesStick(StickFs fs);
InfectedStick VaccineFolderStick(StickFs fs);
InfectedStick VaccineFileStick(StickFs fs);  // FAT only: the reserved bit
InfectedStick CarefulUserStick(StickFs fs);

// Every family on each file system it is made on, the careful user's stick and the vaccines.
std::vector<InfectedStick> Corpus();

}  // namespace kestrova::testing
