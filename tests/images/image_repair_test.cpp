// SPDX-License-Identifier: GPL-3.0-or-later
// kestrova-cli on FAT32 images made by mkfs.fat and filled by mtools. The oracles are the FAT
// tools themselves (mattrib, mcopy, fsck.fat) and a byte comparison of the image before and
// after: only the attribute bytes of the infected root folders may change.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "disk_facts.h"
#include "exfat_tools.h"
#include "fat32_volume.h"
#include "fat_image.h"
#include "fat_tools.h"
#include "image_tools.h"

namespace kestrova::testing {
namespace {

constexpr std::size_t kEntrySize = 32;

// What a virus leaves: a folder with hidden and/or system set, without the volume-label bit or a
// bit that no file system defines.
bool VirusAttribute(std::uint8_t attribute) {
  return (attribute & 0x10) && (attribute & 0x06) && !(attribute & 0xC8);
}

// What a volume holds and what a repair must make of it.
struct Content {
  std::vector<std::string> repaired;    // root folders (mtools paths) that must become plain
  std::set<std::string> archived;       // those of them that keep their archive bit
  std::vector<std::string> untouched;   // every other path; its attributes must not change
  std::set<std::string> repairedNames;  // the 11-byte names of the entries that must change,
                                        // where mtools stores the name as given
  std::map<std::string, std::vector<std::uint8_t>> files;  // path -> contents
};

// The 11-byte stored form of an upper-case 8.3 name.
std::string Stored(const std::string& name, const std::string& extension = "") {
  std::string stored = name;
  stored.resize(8, ' ');
  std::string ext = extension;
  ext.resize(3, ' ');
  return stored + ext;
}

// How `scan` shows a stored name: blanks trimmed, a deleted entry's first byte as '?'.
std::string Shown(std::string stored) {
  if (static_cast<unsigned char>(stored[0]) == 0xE5) stored[0] = '?';
  auto trim = [](std::string text) {
    while (!text.empty() && text.back() == ' ') text.pop_back();
    return text;
  };
  const std::string name = trim(stored.substr(0, 8));
  const std::string ext = trim(stored.substr(8, 3));
  return ext.empty() ? name : name + "." + ext;
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    if (!line.empty()) lines.push_back(line);
  }
  return lines;
}

std::vector<std::string> Fields(const std::string& line) {
  std::vector<std::string> fields;
  std::size_t start = 0;
  for (std::size_t tab; (tab = line.find('\t', start)) != std::string::npos; start = tab + 1) {
    fields.push_back(line.substr(start, tab - start));
  }
  fields.push_back(line.substr(start));
  return fields;
}

// The number in front of `label` in fsck.fat -v output ("    32 reserved sectors").
long long NumberBefore(const std::string& text, const std::string& label) {
  const auto at = text.find(label);
  if (at == std::string::npos) return -1;
  std::size_t end = at;
  while (end > 0 && text[end - 1] == ' ') --end;
  std::size_t begin = end;
  while (begin > 0 && std::isdigit(static_cast<unsigned char>(text[begin - 1]))) --begin;
  return begin == end ? -1 : std::stoll(text.substr(begin, end - begin));
}

// The number after `label` in text ("reserved sectors: 32").
long long NumberAfter(const std::string& text, const std::string& label) {
  const auto at = text.find(label);
  if (at == std::string::npos) return -1;
  return std::stoll(text.substr(at + label.size()));
}

// The line of analyze that lists the root's clusters.
template <typename Chain>
std::string ClustersLine(const Chain& chain) {
  std::string clusters;
  for (const auto cluster : chain) {
    clusters += (clusters.empty() ? "" : " ") + std::to_string(cluster);
  }
  return texts::Format(texts::kLayoutRootClusters, clusters) + "\n";
}

class ImageTest : public ::testing::Test {
 protected:
  void Mt(const std::string& tool, const std::string& arguments) {
    const auto result = Mtools(tool, image, arguments);
    ASSERT_EQ(result.status, 0) << tool << " " << arguments << ": " << result.output;
  }
  void Folder(const std::string& path, const std::string& attributes = "") {
    Mt("mmd", Quote("::/" + path));
    if (!attributes.empty()) Mt("mattrib", attributes + " " + Quote("::/" + path));
  }
  void File(Content& content, const std::string& path, std::size_t length,
            const std::string& attributes = "") {
    const auto bytes = Noise(length, static_cast<std::uint32_t>(content.files.size() + 7));
    ASSERT_TRUE(PutFile(image, {"/" + path, bytes}, attributes));
    content.files[path] = bytes;
    content.untouched.push_back(path);
  }

  // Folders and files as a virus leaves them, with everything a repair must leave alone around
  // them. `extra` more root entries (empty files and, every fifth, a hidden folder) make the
  // root directory longer.
  Content Populate(int extra = 0) {
    Content c;
    Folder("VIRUS1", "+h +s");
    Folder("VIRUS1/SUB", "+h +s");
    Folder("VIRUS1/SUB/DEEP", "+h");
    Folder("Long Hidden Folder", "+h");
    Folder("Long Hidden Folder/Inner Folder", "+s");
    Folder("RONLY", "+r +h +s");
    Folder("SYSONLY", "+s");
    Folder("PLAIN");
    Folder("ARCH", "+a +h");
    Folder("RO", "+r");
    Folder("MY.DIR", "+h");
    Folder("2009.03.30", "+h +s");
    Folder("v1.2 backup", "+a +h +s");
    Folder("GONE", "+h");
    File(c, "readme.txt", 3000);
    File(c, "VIRUS1/data.bin", 20000);
    File(c, "Long Hidden Folder/Inner Folder/notes.txt", 700);
    File(c, "HIDDEN.SYS", 1500, "-a +h +s");
    c.repaired = {"VIRUS1", "Long Hidden Folder", "RONLY",      "SYSONLY", "ARCH",
                  "MY.DIR", "2009.03.30",         "v1.2 backup"};
    c.archived = {"ARCH", "v1.2 backup"};
    c.repairedNames = {Stored("VIRUS1"), Stored("LONGHI~1"),  Stored("RONLY"),  Stored("SYSONLY"),
                       Stored("ARCH"),   Stored("MY", "DIR"), Stored("\xE5ONE")};
    for (const char* path :
         {"VIRUS1/SUB", "VIRUS1/SUB/DEEP", "Long Hidden Folder/Inner Folder", "PLAIN", "RO"}) {
      c.untouched.push_back(path);
    }
    for (int i = 0; i < extra; ++i) {
      const std::string number = std::to_string(100 + i);
      if (i % 5 == 4) {
        Folder("H" + number, i % 2 ? "+h" : "+h +s +r");
        c.repaired.push_back("H" + number);
        c.repairedNames.insert(Stored("H" + number));
      } else {
        File(c, "F" + number + ".TXT", i % 4 == 0 ? 100 : 0);
      }
    }
    // Deleted last, so that no later entry takes its slot.
    Mt("mrd", Quote("::/GONE"));
    return c;
  }

  std::string Flags(const std::string& path) { return MattribFlags(image, "/" + path); }

  // Repairs the image with the command-line program and checks everything a repair promises.
  void RepairAndCheck(const Content& content) {
    const auto fsckBefore = testing::Run("fsck.fat -n " + Quote(image.string()), true);
    std::map<std::string, std::string> flagsBefore;
    for (const auto& path : content.untouched) flagsBefore[path] = Flags(path);
    for (const auto& path : content.repaired)
      ASSERT_NE(Flags(path).find_first_of("HS"), std::string::npos) << path;
    ASSERT_TRUE(CopySparse(image, before));
    const proof::FatImage fat(image, false);
    const auto root = *fat.RootChain();

    const auto scan = Cli("scan " + Quote(image.string()));
    ASSERT_EQ(scan.status, 0) << scan.err;
    EXPECT_TRUE(DifferingOffsets(before, image).empty()) << "scan wrote to the volume";

    const auto repair = Cli("repair " + Quote(image.string()));
    ASSERT_EQ(repair.status, 0) << repair.err;
    EXPECT_FALSE(repair.out.empty());

    // Only attribute bytes of root entries changed: hidden, system and read-only went, the rest
    // stayed. The changed entries are the repaired folders and the deleted one.
    std::set<std::string> changedNames;
    for (const std::uint64_t offset : DifferingOffsets(before, image)) {
      ASSERT_EQ(offset % kEntrySize, kAttributeByte) << "byte " << offset << " changed";
      const std::uint64_t entry = offset - kAttributeByte;
      const auto name = ReadAt(image, entry, kShortNameLength);
      changedNames.insert(std::string(name.begin(), name.end()));
      const std::uint8_t was = ReadAt(before, offset, 1).at(0);
      EXPECT_TRUE(VirusAttribute(was)) << offset;
      EXPECT_EQ(ReadAt(image, offset, 1).at(0), was & ~0x07) << offset;
      const bool inRoot = std::any_of(root.begin(), root.end(), [&](std::uint32_t cluster) {
        return entry >= fat.ClusterOffset(cluster) &&
               entry < fat.ClusterOffset(cluster) + fat.ClusterBytes();
      });
      EXPECT_TRUE(inRoot) << "entry at " << entry << " is outside the root directory";
    }
    EXPECT_EQ(changedNames.size(), content.repaired.size() + 1);  // and the deleted folder
    EXPECT_TRUE(std::includes(changedNames.begin(), changedNames.end(),
                              content.repairedNames.begin(), content.repairedNames.end()));

    // scan listed exactly those entries, with the long name where there is one, and repair
    // named each folder it restored.
    std::set<std::string> scanned, shownLong;
    for (const auto& line : Lines(scan.out)) {
      if (!line.starts_with("0x")) continue;  // the verdicts on the other entries
      const auto fields = Fields(line);
      ASSERT_GE(fields.size(), 3u) << line;
      scanned.insert(fields[1]);
      if (!fields[2].empty()) shownLong.insert(fields[2]);
    }
    std::set<std::string> changedShown;
    for (const auto& name : changedNames) changedShown.insert(Shown(name));
    EXPECT_EQ(scanned, changedShown);
    for (const char* name : {"Long Hidden Folder", "2009.03.30", "v1.2 backup"}) {
      EXPECT_TRUE(shownLong.count(name)) << name;
      EXPECT_NE(repair.out.find(std::string("已恢复：") + name + "\n"), std::string::npos) << name;
    }
    EXPECT_NE(repair.out.find("共恢复" + std::to_string(changedNames.size()) + "个文件夹。"),
              std::string::npos)
        << repair.out;

    // The FAT tools see the same: infected folders plain (keeping their archive bit), all else
    // as it was, a clean volume, the files' contents intact.
    for (const auto& path : content.repaired) {
      EXPECT_EQ(Flags(path), content.archived.count(path) ? "A" : "") << path;
    }
    for (const auto& path : content.untouched) EXPECT_EQ(Flags(path), flagsBefore[path]) << path;
    const auto fsckAfter = testing::Run("fsck.fat -n " + Quote(image.string()), true);
    EXPECT_EQ(fsckAfter.status, fsckBefore.status);
    EXPECT_EQ(fsckAfter.output, fsckBefore.output);
    for (const auto& [path, bytes] : content.files) {
      const auto out = dir / "out.bin";
      std::filesystem::remove(out);
      Mt("mcopy", "-n " + Quote("::/" + path) + " " + Quote(out.string()));
      EXPECT_TRUE(ReadBytes(out) == bytes) << path;
    }

    // A second repair finds nothing more to change.
    ASSERT_TRUE(CopySparse(image, before));
    EXPECT_EQ(Cli("repair " + Quote(image.string())).status, 0);
    EXPECT_TRUE(DifferingOffsets(before, image).empty());
  }

  TempDir dir;
  std::filesystem::path image = dir / "volume.img";
  std::filesystem::path before = dir / "before.img";
};

struct Geometry {
  const char* name;
  std::uint64_t sizeKiB;
  const char* options;
};

void PrintTo(const Geometry& geometry, std::ostream* out) { *out << geometry.name; }

class GeometryTest : public ImageTest, public ::testing::WithParamInterface<Geometry> {};

TEST_P(GeometryTest, AnalyzeShowsTheLayoutAndRepairChangesOnlyInfectedRootFolders) {
  ASSERT_TRUE(MakeFat32Image(image, GetParam().sizeKiB, GetParam().options));
  const Content content = Populate();
  ASSERT_FALSE(HasFatalFailure());

  // The layout as fsck.fat reads it.
  const auto fsck = testing::Run("fsck.fat -n -v " + Quote(image.string()), true);
  const auto analyze = Cli("analyze " + Quote(image.string()));
  ASSERT_EQ(analyze.status, 0) << analyze.err;
  const std::string& shown = analyze.out;
  const std::string& told = fsck.output;
  EXPECT_EQ(NumberAfter(shown, Lead(texts::kLayoutReservedSectors)),
            NumberBefore(told, " reserved sectors"));
  EXPECT_EQ(NumberAfter(shown, Lead(texts::kLayoutFatSectors)),
            NumberAfter(told, "bytes per FAT (= "));
  EXPECT_EQ(NumberAfter(shown, Lead(texts::kLayoutFatCount)), NumberBefore(told, " FATs,"));
  EXPECT_EQ(NumberAfter(shown, Lead(texts::kLayoutClusterSectors)) * 512,
            NumberBefore(told, " bytes per cluster"));
  EXPECT_EQ(NumberAfter(shown, Lead(texts::kLayoutDataStart)) * 512,
            NumberAfter(told, "Data area starts at byte "));
  EXPECT_EQ(NumberAfter(shown, Lead(texts::kLayoutTotalSectors)),
            NumberBefore(told, " sectors total"));
  const proof::FatImage fat(image, false);
  if (std::string(GetParam().name) == "fatOver65535Sectors") {
    EXPECT_GT(fat.geometry().fatSectors, 65535u);
  }
  const auto chain = *fat.RootChain();
  EXPECT_EQ(NumberAfter(shown, Lead(texts::kLayoutRootClusterCount)),
            static_cast<long long>(chain.size()));
  EXPECT_NE(shown.find(ClustersLine(chain)), std::string::npos) << shown;

  RepairAndCheck(content);
}

INSTANTIATE_TEST_SUITE_P(
    Geometries, GeometryTest,
    // mtools takes a FAT32 volume of fewer than 65,525 clusters for FAT16: the sizes keep above.
    ::testing::Values(Geometry{"cluster1", 64 * 1024, "-s 1"},
                      Geometry{"cluster8", 300 * 1024, "-s 8"},
                      Geometry{"cluster32", 1100 * 1024, "-s 32"},
                      Geometry{"cluster64", 2200 * 1024, "-s 64"},
                      Geometry{"reserved32", 300 * 1024, "-s 8 -R 32"},
                      Geometry{"reserved300", 160 * 1024, "-s 4 -R 300"},
                      Geometry{"singleFat", 80 * 1024, "-s 2 -f 1"},
                      Geometry{"fatOver65535Sectors", 4400 * 1024, "-s 1"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(ImageTest, LongRootWhoseChainLeavesTheFirstFatSectorAndComesBack) {
  ASSERT_TRUE(MakeFat32Image(image, 64 * 1024, "-s 1"));
  const Content content = Populate(60);
  ASSERT_FALSE(HasFatalFailure());
  proof::FatImage fat(image, true);
  auto chain = *fat.RootChain();
  ASSERT_GE(chain.size(), 3u);
  std::uint32_t far = 1000;
  while (fat.NextCluster(far) != 0) ++far;
  fat.MoveCluster(chain[0], chain[1], far);
  chain = *fat.RootChain();
  ASSERT_EQ(chain[1], far);
  ASSERT_LT(chain[2], 128u) << "the chain should come back to the first FAT sector";
  ASSERT_EQ(testing::Run("fsck.fat -n " + Quote(image.string())).status, 0);

  const auto analyze = Cli("analyze " + Quote(image.string()));
  ASSERT_EQ(analyze.status, 0) << analyze.err;
  EXPECT_NE(analyze.out.find(ClustersLine(chain)), std::string::npos) << analyze.out;
  RepairAndCheck(content);
}

TEST_F(ImageTest, RootDirectoryPastTwoGiB) {
  ASSERT_TRUE(MakeFat32Image(image, 3 * 1024 * 1024, "-s 8"));
  {
    proof::FatImage fat(image, true);
    const auto& g = fat.geometry();
    const std::uint64_t target = (1ull << 31) + (256ull << 20);
    const auto far = static_cast<std::uint32_t>(
        (target / g.bytesPerSector - g.firstDataSector) / g.sectorsPerCluster + 2);
    fat.MoveCluster(0, g.rootCluster, far);
    ASSERT_GT(fat.ClusterOffset(far), 1ull << 31);
  }
  {
    // Read anew: the boot sector names the moved cluster.
    const proof::FatImage moved(image, false);
    ASSERT_GT(moved.ClusterOffset(moved.geometry().rootCluster), 1ull << 31);
  }
  ASSERT_EQ(testing::Run("fsck.fat -n " + Quote(image.string())).status, 0);
  const Content content = Populate();
  ASSERT_FALSE(HasFatalFailure());
  RepairAndCheck(content);
}

// What the tests change in an exFAT boot region: a byte of sector 0's boot code (zeros from
// mkfs.exfat), the last checksum word of sector 11, the signature of extended boot sector 8.
constexpr std::uint64_t kExfatBootCodeByte = 300;
constexpr std::uint64_t kExfatLastChecksumWord = 12 * 512 - 4;
constexpr std::uint64_t kExfatSector8Signature = 9 * 512 - 4;

// Volumes that the analysis must refuse, leaving them byte for byte as they were.
struct Refusal {
  const char* name;
  const char* expected;            // in the message on standard error
  const char* fsckSays = nullptr;  // in what fsck.fat -n says of the volume
};

void PrintTo(const Refusal& refusal, std::ostream* out) { *out << refusal.name; }

class RefusalTest : public ImageTest, public ::testing::WithParamInterface<Refusal> {
 protected:
  // A boot region damaged by one byte or word, or a volume cut short of what its boot sector
  // claims; the FAT and exFAT tools agree that each is broken. False for the other kinds.
  bool MakeDamagedBootOrCutVolume(const std::string& kind) {
    const bool exfat = kind.starts_with("exfat");
    if (!exfat && kind != "fatSignature" && !kind.ends_with("Cut")) return false;
    if (exfat) {
      EXPECT_TRUE(MakeExfatImage(image, 32));
    } else if (kind == "fat12Cut") {
      EXPECT_TRUE(MakeFatImage(image, 8 * 1024, "-F 12"));
      Folder("VIRUS", "+h +s");
    } else {
      EXPECT_TRUE(MakeFat32Image(image, 64 * 1024, "-s 1"));
      Populate(20);
    }
    if (kind == "exfatBootCode") PatchBytes(image, kExfatBootCodeByte, {0x5A});
    if (kind == "exfatChecksum")
      PatchBytes(image, kExfatLastChecksumWord, {0x78, 0x56, 0x34, 0x12});
    if (kind == "exfatSignature") PatchBytes(image, kExfatSector8Signature, {0, 0, 0, 0});
    if (kind == "fatSignature") PatchBytes(image, 510, {0x55, 0x00});
    const std::map<std::string, std::uintmax_t> cutTo = {
        {"fat32Cut", 8 << 20}, {"fat12Cut", 3 << 20}, {"exfatCut", 4 << 20}};
    if (cutTo.count(kind)) std::filesystem::resize_file(image, cutTo.at(kind));
    // fsck.fat only notes a broken signature as a difference from the backup boot sector.
    if (kind != "fatSignature") {
      const auto fsck =
          testing::Run((exfat ? "fsck.exfat -n " : "fsck.fat -n ") + Quote(image.string()), true);
      EXPECT_NE(fsck.status, 0) << fsck.output;
    }
    return true;
  }

  void Make() {
    const std::string kind = GetParam().name;
    if (kind == "ext2") {
      ASSERT_EQ(testing::Run("truncate -s 16M " + Quote(image.string()) + " && mkfs.ext2 -q -F " +
                                 Quote(image.string()),
                             true)
                    .status,
                0);
      return;
    }
    if (kind == "notFat" || kind == "tooShort") {
      const auto bytes = Noise(kind == "notFat" ? 1 << 20 : 100, 3);
      std::ofstream(image, std::ios::binary)
          .write(reinterpret_cast<const char*>(bytes.data()),
                 static_cast<std::streamsize>(bytes.size()));
      return;
    }
    if (MakeDamagedBootOrCutVolume(kind)) return;
    ASSERT_TRUE(MakeFat32Image(image, 64 * 1024, "-s 1"));
    Populate(20);
    proof::FatImage fat(image, true);
    const auto chain = *fat.RootChain();
    ASSERT_GE(chain.size(), 2u);
    if (kind == "loop") fat.SetNextCluster(chain.back(), chain[1]);
    if (kind == "badCluster") fat.SetNextCluster(chain[0], 0x0FFFFFF7);
    if (kind == "freeLink") fat.SetNextCluster(chain[0], 0);
    if (kind == "pastEnd") fat.SetNextCluster(chain[1], 0x0FFFFFEF);
    if (kind == "chainIntoRoot") {  // the first other chain runs on into the root's second cluster
      std::uint32_t other = chain[0] + 1;
      while (fat.NextCluster(other) == 0 || std::count(chain.begin(), chain.end(), other)) ++other;
      fat.SetNextCluster(other, chain[1]);
    }
  }
};

TEST_P(RefusalTest, EveryCommandRefusesWithStatusOneAndWritesNothing) {
  Make();
  ASSERT_FALSE(HasFatalFailure());
  if (GetParam().fsckSays) {
    const auto fsck = testing::Run("fsck.fat -n " + Quote(image.string()), true);
    EXPECT_NE(fsck.output.find(GetParam().fsckSays), std::string::npos) << fsck.output;
  }
  ASSERT_TRUE(CopySparse(image, before));
  for (const char* command : {"analyze", "scan", "repair"}) {
    const auto result = Cli(std::string(command) + " " + Quote(image.string()));
    EXPECT_EQ(result.status, 1) << command << ": " << result.err;
    EXPECT_NE(result.err.find(GetParam().expected), std::string::npos) << result.err;
    EXPECT_TRUE(result.out.empty()) << result.out;
  }
  EXPECT_TRUE(DifferingOffsets(before, image).empty());
}

INSTANTIATE_TEST_SUITE_P(
    Volumes, RefusalTest,
    ::testing::Values(
        Refusal{"ext2", "错误: 此版本的程序仅支持FAT12、FAT16、FAT32和exFAT文件系统！"},
        Refusal{"notFat", "错误: 此版本的程序仅支持FAT12、FAT16、FAT32和exFAT文件系统！"},
        Refusal{"tooShort", "错误: 读取磁盘第0扇区失败"}, Refusal{"loop", "簇链成环"},
        Refusal{"badCluster", "坏簇"}, Refusal{"freeLink", "根目录的簇链已损坏"},
        Refusal{"pastEnd", "超出卷的范围"},
        Refusal{"exfatBootCode", "错误: 此磁盘的引导区已损坏（第11扇区记录的校验和为0x"},
        Refusal{"exfatChecksum", "第11扇区记录的校验和为0x12345678"},
        Refusal{"exfatSignature", "扩展引导扇区（第8扇区）末尾没有签名"},
        Refusal{"fatSignature", "引导区已损坏（第0扇区没有引导签名55 AA）"},
        Refusal{"fat32Cut",
                "只有8388608字节（8.0 MiB），小于其引导扇区记录的文件"
                "系统容量67108864字节（64.0 MiB）"},
        Refusal{"fat12Cut",
                "只有3145728字节（3.0 MiB），小于其引导扇区记录的文件"
                "系统容量8388608字节（8.0 MiB）"},
        Refusal{"exfatCut",
                "只有4194304字节（4.0 MiB），小于其引导扇区记录的文件"
                "系统容量33554432字节（32.0 MiB）"},
        Refusal{"chainIntoRoot", "另一簇链中的簇", "share clusters"}),
    [](const auto& info) { return std::string(info.param.name); });

// A repair leaves its journal first; undo gives the image back byte for byte, and only to the
// volume that the journal is of, while it holds what the repair wrote.
TEST_F(ImageTest, UndoPutsBackExactlyWhatTheRepairChanged) {
  ASSERT_TRUE(MakeFat32Image(image, 64 * 1024, "-s 1"));
  Populate(40);
  ASSERT_TRUE(CopySparse(image, before));
  const auto journal = dir / "journals" / "repair.journal";
  const std::string target = " " + Quote(image.string());

  // Where no journal can be written, nothing is.
  const auto blocked = Cli("repair --journal " + Quote((before / "j").string()) + target);
  EXPECT_EQ(blocked.status, 1);
  EXPECT_NE(blocked.err.find("无法写入修改记录文件"), std::string::npos) << blocked.err;
  EXPECT_TRUE(DifferingOffsets(before, image).empty());
  // A file of the journal's name is never replaced: the refusal says so and what to do.
  const auto taken = Cli("repair --journal " + Quote(before.string()) + target);
  EXPECT_EQ(taken.status, 1);
  EXPECT_NE(taken.err.find(Format(texts::kJournalExists, before.string())), std::string::npos)
      << taken.err;
  EXPECT_NE(taken.err.find(texts::Tr(texts::kJournalElsewhere)), std::string::npos) << taken.err;
  EXPECT_TRUE(DifferingOffsets(before, image).empty());

  const auto repaired = Cli("repair --journal " + Quote(journal.string()) + target);
  ASSERT_EQ(repaired.status, 0) << repaired.err;
  EXPECT_NE(repaired.out.find("kestrova-cli undo " + journal.string()), std::string::npos);
  const auto changed = DifferingOffsets(before, image);
  ASSERT_FALSE(changed.empty());

  // Another volume is refused without a write, also one that holds every sector of the journal
  // as the repair wrote it: a copy of the repaired image with another serial number, or one
  // sector fewer, in its boot sector and in the backup (sector 6).
  const auto other = dir / "other.img";
  const auto total = ReadAt(image, 32, 4);
  const std::pair<std::uint64_t, std::vector<std::uint8_t>> identities[] = {
      {67, Le32(0x12345678)},
      {32, Le32((total[0] | total[1] << 8 | total[2] << 16 | std::uint32_t{total[3]} << 24) - 1)},
  };
  for (const auto& [offset, bytes] : identities) {
    SCOPED_TRACE(offset);
    ASSERT_TRUE(CopySparse(image, other));
    for (const std::uint64_t boot : {0, 6 * 512}) PatchBytes(other, boot + offset, bytes);
    const auto otherBefore = ReadBytes(other);
    const auto refused = Cli("undo " + Quote(journal.string()) + " " + Quote(other.string()));
    EXPECT_EQ(refused.status, 1);
    EXPECT_NE(refused.err.find(texts::Tr(texts::kJournalOtherVolume)), std::string::npos)
        << refused.err;
    EXPECT_EQ(ReadBytes(other), otherBefore);
  }
  // A file that is no journal is refused without a write too.
  // A journal that is cut, lengthened or has one byte flipped proves itself damaged; a file that
  // is no journal says so.
  const auto bytes = ReadBytes(journal);
  const auto write = [&](const std::string& name, std::vector<std::uint8_t> content) {
    const auto path = dir / name;
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(content.data()),
               static_cast<std::streamsize>(content.size()));
    return path.string();
  };
  auto flipped = bytes;
  flipped.at(bytes.size() / 2) ^= 0x01;  // inside the first sector's record
  auto longer = bytes;
  longer.push_back(0);
  const std::vector<std::pair<std::string, std::string>> damaged = {
      {write("cut.journal", {bytes.begin(), bytes.end() - 1}), "文件头或长度与记录不符"},
      {write("longer.journal", longer), "文件头或长度与记录不符"},
      {write("flipped.journal", flipped), "个扇区记录的校验和不符"},
      {write("other.journal", {'M', 'Z'}), "不是可用的修改记录文件"},
  };
  for (const auto& [path, words] : damaged) {
    const auto refused = Cli("undo " + Quote(path) + target);
    EXPECT_EQ(refused.status, 1) << path;
    EXPECT_NE(refused.err.find(words), std::string::npos) << refused.err;
  }
  // A journal path that names no journal file is refused at once, each in its own words: never
  // read past a bound, never waited on (a pipe without a writer), never a crash.
  const auto fifo = dir / "pipe.journal";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const auto large = dir / "large.journal";
  std::ofstream(large).close();
  std::filesystem::resize_file(large, std::uintmax_t{300} << 20);
  const std::vector<std::pair<std::string, std::string>> notJournals = {
      {(dir / "missing.journal").string(), "找不到修改记录文件"},
      {dir.path().string(), "是文件夹、设备或管道"},
      {"/dev/zero", "是文件夹、设备或管道"},
      {fifo.string(), "是文件夹、设备或管道"},
      {large.string(), "大于256 MiB"},
  };
  for (const auto& [path, words] : notJournals) {
    const auto refused = Cli("undo " + Quote(path) + target);
    EXPECT_EQ(refused.status, 1) << path;
    EXPECT_NE(refused.err.find(words), std::string::npos) << refused.err;
  }
  EXPECT_TRUE(DifferingOffsets(before, image).size() == changed.size());

  // An undo cut short after its first sector (that sector holds its old bytes again) is
  // completed by running it again.
  const std::uint64_t firstSector = changed.front() / 512 * 512;
  PatchBytes(image, firstSector, ReadAt(before, firstSector, 512));
  const auto undone = Cli("undo " + Quote(journal.string()) + target);
  EXPECT_EQ(undone.status, 0) << undone.err;
  EXPECT_TRUE(DifferingOffsets(before, image).empty());
  // Undone, it says so and writes nothing.
  const auto again = Cli("undo " + Quote(journal.string()) + target);
  EXPECT_EQ(again.status, 0) << again.err;
  EXPECT_EQ(again.out, std::string(texts::kAlreadyUndone.chinese) + "\n");
  EXPECT_TRUE(DifferingOffsets(before, image).empty());
  // A sector that holds neither what the repair wrote nor its old bytes refuses them all, named.
  PatchBytes(image, changed.front(),
             {static_cast<std::uint8_t>(~ReadAt(before, changed.front(), 1).at(0))});
  const auto refused = Cli("undo " + Quote(journal.string()) + target);
  EXPECT_EQ(refused.status, 1);
  EXPECT_TRUE(refused.err.starts_with("撤销失败: ")) << refused.err;
  EXPECT_NE(refused.err.find("第" + std::to_string(changed.front() / 512) + "扇区"),
            std::string::npos)
      << refused.err;
}

// What the target names, told in the words of the case: nothing there, a folder, a character
// device, a letter of no drive; and an empty drive list says so.
TEST_F(ImageTest, TargetsThatAreNoDriveSayWhatTheyAre) {
  const std::string missing = (dir / "missing.img").string();
  const std::vector<std::pair<std::string, std::string>> cases = {
      {missing, "出错啦~~: 找不到文件“" + missing + "”。"},
      {dir.path().string(), "出错啦~~: “" + dir.path().string() + "”是一个文件夹"},
      {"/dev/null", "出错啦~~: “/dev/null”既不是磁盘（块设备）也不是映像文件"},
      {"Q", "出错啦~~: 没有盘符为Q:的磁盘。"}};
  for (const auto& [target, expected] : cases) {
    const auto result = Cli("repair " + Quote(target));
    EXPECT_EQ(result.status, 1) << target;
    EXPECT_NE(result.err.find(expected), std::string::npos) << result.err;
  }
  const auto drives = Cli("drives");
  if (!drives.out.empty()) GTEST_SKIP() << "this machine has removable drives";
  EXPECT_EQ(drives.status, 0);
  EXPECT_NE(drives.err.find("没有找到可移动磁盘"), std::string::npos) << drives.err;
}

// Looking needs only read access; repairing needs write access and says so.
TEST_F(ImageTest, ReadOnlyImageIsAnalysedAndScannedButNotRepaired) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to run the program as another user";
  ASSERT_TRUE(MakeFat32Image(image, 64 * 1024, "-s 1"));
  Folder("HIDDEN", "+h +s");
  std::filesystem::permissions(dir.path(), std::filesystem::perms::all);
  std::filesystem::permissions(image, std::filesystem::perms::owner_read |
                                          std::filesystem::perms::group_read |
                                          std::filesystem::perms::others_read);
  ASSERT_TRUE(CopySparse(image, before));
  const std::string asNobody = "setpriv --reuid=nobody --regid=nogroup --clear-groups ";
  const std::string target = " " + Quote(image.string());
  EXPECT_EQ(testing::Run(asNobody + Quote(KESTROVA_CLI_PATH) + " analyze" + target).status, 0);
  const auto scan = testing::Run(asNobody + Quote(KESTROVA_CLI_PATH) + " scan" + target);
  EXPECT_EQ(scan.status, 0);
  EXPECT_NE(scan.output.find("HIDDEN"), std::string::npos) << scan.output;
  const auto repair = testing::Run(asNobody + Quote(KESTROVA_CLI_PATH) + " repair" + target, true);
  EXPECT_EQ(repair.status, 1);
  EXPECT_NE(repair.output.find("写保护"), std::string::npos) << repair.output;
  EXPECT_TRUE(DifferingOffsets(before, image).empty());
}

// A root chain that runs into the clusters of a file the root lists.
TEST_F(ImageTest, CrossLinkedRootIsRefused) {
  ASSERT_TRUE(MakeFat32Image(image, 64 * 1024, "-s 1"));
  Content content;
  File(content, "BIG.BIN", 4000);
  Folder("HIDDEN", "+h +s");
  {
    proof::FatImage fat(image, true);
    const auto root = *fat.RootChain();
    const auto file = fat.ChainFrom(root.back() + 1);  // mcopy puts it right after
    ASSERT_GE(file.size(), 2u);
    fat.SetNextCluster(root.back(), file[0]);
  }
  ASSERT_TRUE(CopySparse(image, before));
  const auto result = Cli("repair " + Quote(image.string()));
  EXPECT_EQ(result.status, 1);
  EXPECT_NE(result.err.find("簇链交叉"), std::string::npos) << result.err;
  EXPECT_TRUE(DifferingOffsets(before, image).empty());
}

TEST_F(ImageTest, UsageErrorsGiveStatusTwo) {
  ASSERT_TRUE(MakeFat32Image(image, 64 * 1024, "-s 8"));
  const std::string target = Quote(image.string());
  for (const std::string& arguments : std::vector<std::string>{
           "", "repair", "analyze", "mend " + target, "fix --keep",
           "repair " + target + " " + target, "drives extra", "REPAIR " + target, "--help extra",
           "scan -x " + target, "repair --"}) {
    const auto result = Cli(arguments);
    EXPECT_EQ(result.status, 2) << "'" << arguments << "'";
    EXPECT_NE(result.err.find(Lead(texts::kHelpUsage)), std::string::npos) << arguments;
  }
  // What the argument reader refuses is told in the program's words.
  const std::pair<std::string, std::string> told[] = {
      {"scan -x " + target, texts::Format(texts::kUsageUnknownOption, "-x")},
      {"fix --keep", texts::Format(texts::kUsageMissingOperand, "--keep", "PATH")},
      {"repair --journal a --journal b " + target,
       texts::Format(texts::kUsageOptionTwice, "--journal")}};
  for (const auto& [arguments, text] : told) {
    EXPECT_NE(Cli(arguments).err.find("kestrova-cli: " + text + "\n"), std::string::npos)
        << arguments;
  }
  EXPECT_EQ(Cli("--help").status, 0);
}

// --version, each command's help (which never runs the command), and '--' before a TARGET that
// begins with '-'.
TEST_F(ImageTest, VersionCommandHelpAndEndOfOptions) {
  const auto version = Cli("--version");
  EXPECT_EQ(version.status, 0);
  EXPECT_TRUE(version.out.starts_with("kestrova-cli " KESTROVA_VERSION "\nCopyright (C) "))
      << version.out;
  EXPECT_NE(version.out.find("\nLicense GPL-3.0-or-later: "), std::string::npos) << version.out;

  ASSERT_TRUE(MakeFat32Image(image, 64 * 1024, "-s 1"));
  Folder("HIDDEN", "+h +s");
  ASSERT_TRUE(CopySparse(image, before));
  for (const std::string command : {"drives", "analyze", "scan", "repair"}) {
    for (const std::string& arguments :
         std::vector<std::string>{" -h", " --help", " " + Quote(image.string()) + " -h"}) {
      const auto help = Cli(command + arguments);
      EXPECT_EQ(help.status, 0) << command << arguments;
      EXPECT_EQ(help.out.rfind(texts::Format(texts::kHelpUsage, "kestrova-cli " + command), 0), 0)
          << help.out;
    }
  }
  EXPECT_TRUE(DifferingOffsets(before, image).empty()) << "a command ran instead of its help";

  const auto cwd = std::filesystem::current_path();
  std::filesystem::current_path(dir.path());
  std::filesystem::rename(image, dir / "-volume.img");
  const auto dashed = Cli("scan -- -volume.img");
  const auto unended = Cli("scan -volume.img");
  std::filesystem::current_path(cwd);
  EXPECT_EQ(dashed.status, 0) << dashed.err;
  EXPECT_NE(dashed.out.find("HIDDEN"), std::string::npos) << dashed.out;
  EXPECT_EQ(unended.status, 2);
}

}  // namespace
}  // namespace kestrova::testing
