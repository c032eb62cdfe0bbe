// SPDX-License-Identifier: GPL-3.0-or-later
// A removal frees nothing that anything else owns, at any depth: the virus's script x.vbs is made
// to share clusters with a photo two folders down, with that folder's own chain, or to begin at
// the photo's first cluster, on FAT32, FAT16 and exFAT (the photo and its folder contiguous as
// exfat-fuse writes them, or chained by the FAT). Each is refused with nothing written, naming
// what else owns the cluster, and so is a folder that its own folder reaches again. A folder of
// the virus's that holds a document somewhere inside stays whole.
#include <gtest/gtest.h>

#include <map>
#include <regex>
#include <string>
#include <vector>

#include "exfat_tools.h"
#include "fat_tools.h"
#include "image_tools.h"
#include "shortcut_writer.h"
#include "words/messages.h"

namespace kestrova::testing {
namespace {

using texts::Format;

constexpr std::uint32_t kCluster = 512;
constexpr const char* kPhoto = "Photos\\2024\\IMG_0001.jpg";
constexpr const char* kYear = "Photos\\2024";
constexpr std::uint32_t kExfatEnd = 0xFFFFFFFF;

struct Layout {
  const char* name;
  const char* mkfs;  // mkfs.fat's options; empty for exFAT
  std::uint64_t sizeKiB;
  bool chained = false;  // exFAT: the photo and its folder chained by the FAT
  bool exfat() const { return std::string(mkfs).empty(); }
  bool fat16() const { return std::string(mkfs).starts_with("-F 16"); }
};

void PrintTo(const Layout& layout, std::ostream* out) { *out << layout.name; }

std::vector<ImageFile> StickFiles() {
  const auto text = [](const std::string& s) {
    return std::vector<std::uint8_t>(s.begin(), s.end());
  };
  std::vector<ImageFile> files = {
      {"/Photos.lnk", ShortcutBytes({.localPath = "C:\\Windows\\System32\\cmd.exe",
                                     .arguments = "/c start x.vbs & start explorer Photos"})},
      {"/x.vbs", Noise(2 * kCluster, 1)},
      {"/Photos/2024/IMG_0001.jpg", Noise(6 * kCluster, 2)},
      {"/Photos/readme.txt", text("mine")},
      // What the virus hid in a recycle bin of its own, beside a document of the user's.
      {"/RECYCLER/x.exe", text("MZ")},
      {"/RECYCLER/S-5-3-42-1/Report.docx", text("PK report")},
  };
  // Enough long names that the year's folder takes several clusters.
  for (int i = 0; i < 20; ++i) {
    files.push_back({"/Photos/2024/holiday picture number " + std::to_string(i) + ".txt",
                     text(std::to_string(i))});
  }
  return files;
}

class OwnershipTest : public ::testing::TestWithParam<Layout> {
 protected:
  void SetUp() override {
    const Layout& layout = GetParam();
    const std::vector<std::string> folders = {"Photos", "Photos/2024", "RECYCLER",
                                              "RECYCLER/S-5-3-42-1"};
    if (layout.exfat()) {
      ASSERT_TRUE(MakeExfatImage(image, layout.sizeKiB / 1024, "-c 512"));
      const std::string why = MakeFoldersThroughFuse(image, folders, StickFiles());
      if (!why.empty()) GTEST_SKIP() << "exFAT files cannot be made here: " << why;
      ExfatRootSets root(image);
      root.SetAttributes("x.vbs", 0x26);
      for (const char* hidden : {"Photos", "RECYCLER"}) root.SetAttributes(hidden, 0x16);
      // exfat-fuse writes the photo contiguous; the folder, which grew, is chained.
      if (layout.chained) Chain({"Photos", "2024"}, "IMG_0001.jpg");
    } else {
      ASSERT_TRUE(MakeFatImage(image, layout.sizeKiB, layout.mkfs));
      for (const std::string& folder : folders) {
        ASSERT_EQ(Mtools("mmd", image, Quote("::/" + folder)).status, 0);
      }
      for (const ImageFile& file : StickFiles()) {
        ASSERT_TRUE(PutFile(image, file, file.path == "/x.vbs" ? "+h +s" : ""));
      }
      ASSERT_EQ(Mtools("mattrib", image, "+h +s ::/Photos ::/RECYCLER").status, 0);
    }
    ASSERT_TRUE(CopySparse(image, pristine));
  }

  // exFAT: a contiguous entry of the folder `folder` becomes one chained by the FAT.
  void Chain(const std::vector<std::string>& folder, const std::string& name) {
    ExfatRootSets sets(image, folder);
    const auto& set = sets.Named(name);
    ASSERT_TRUE(set.flags & 0x02) << name << " was written chained";
    const auto clusters = sets.Clusters(name);
    for (std::size_t i = 0; i < clusters.size(); ++i) {
      sets.SetFat(clusters[i], i + 1 < clusters.size() ? clusters[i + 1] : kExfatEnd);
    }
    sets.SetStream(name, static_cast<std::uint8_t>(set.flags & ~0x02), set.first, set.length);
  }

  // Whether a file or folder (`path` from the root, with '/') is contiguous on exFAT.
  bool Contiguous(const std::string& path) {
    if (!GetParam().exfat()) return false;
    const auto slash = path.rfind('/');
    std::vector<std::string> folder;
    if (slash != std::string::npos) {
      for (std::size_t from = 0; from < slash;) {
        const auto next = path.find('/', from);
        folder.push_back(path.substr(from, next - from));
        from = next + 1;
      }
    }
    return ExfatRootSets(image, folder).Named(path.substr(slash + 1)).flags & 0x02;
  }

  // The clusters of a file or folder in order (`path` from the root, with '/').
  std::vector<std::uint32_t> ClustersOf(const std::string& path) {
    if (GetParam().exfat()) {
      std::vector<std::string> folder;
      std::string rest = path;
      for (std::size_t slash; (slash = rest.find('/')) != std::string::npos;) {
        folder.push_back(rest.substr(0, slash));
        rest = rest.substr(slash + 1);
      }
      return ExfatRootSets(image, folder).Clusters(rest);
    }
    // mshowfat prints the chain as runs: <3-8> <12> ...
    const std::string shown = Mtools("mshowfat", image, Quote("::/" + path)).output;
    std::vector<std::uint32_t> clusters;
    const std::regex run("<(\\d+)(?:-(\\d+))?>");
    for (auto it = std::sregex_iterator(shown.begin(), shown.end(), run);
         it != std::sregex_iterator(); ++it) {
      const auto first = static_cast<std::uint32_t>(std::stoul((*it)[1]));
      const auto last = (*it)[2].matched ? static_cast<std::uint32_t>(std::stoul((*it)[2])) : first;
      for (std::uint32_t c = first; c <= last; ++c) clusters.push_back(c);
    }
    return clusters;
  }

  // x.vbs begins at `first`, holds `length` bytes, and the FAT links its first cluster to `next`.
  void PointScript(std::uint32_t first, std::uint32_t length, std::uint32_t next) {
    if (GetParam().exfat()) {
      ExfatRootSets root(image);
      root.SetStream("x.vbs", 0x01, first, length);
      root.SetFat(first, next);
      return;
    }
    const auto boot = ReadAt(image, 0, 40);
    const std::uint64_t reserved = boot[14] | boot[15] << 8;
    const bool fat16 = GetParam().fat16();
    const std::uint64_t fatSectors = fat16 ? (boot[22] | boot[23] << 8)
                                           : (boot[36] | boot[37] << 8 | boot[38] << 16 |
                                              static_cast<std::uint64_t>(boot[39]) << 24);
    const std::uint64_t entry = fat16 ? 2 : 4;
    for (std::uint64_t copy = 0; copy < 2; ++copy) {
      std::vector<std::uint8_t> link;
      for (std::uint64_t i = 0; i < entry; ++i)
        link.push_back(static_cast<std::uint8_t>(next >> 8 * i));
      PatchBytes(image, (reserved + copy * fatSectors) * 512 + first * entry, link);
    }
    const auto at = ShortEntry("X       VBS");
    PatchBytes(image, at + 20,
               {static_cast<std::uint8_t>(first >> 16), static_cast<std::uint8_t>(first >> 24)});
    PatchBytes(image, at + 26,
               {static_cast<std::uint8_t>(first), static_cast<std::uint8_t>(first >> 8),
                static_cast<std::uint8_t>(length), static_cast<std::uint8_t>(length >> 8),
                static_cast<std::uint8_t>(length >> 16), 0});
  }

  // Where the FAT short entry of an 11-byte name lies in the image.
  std::uint64_t ShortEntry(const std::string& name11) {
    const auto bytes = ReadBytes(image);
    const auto at = std::search(bytes.begin(), bytes.end(), name11.begin(), name11.end());
    EXPECT_NE(at, bytes.end()) << name11;
    return static_cast<std::uint64_t>(at - bytes.begin());
  }

  // clean refuses the removal of x.vbs for `why`, with the advice to check the disk, and writes
  // neither the image nor a journal.
  void ExpectRefused(const std::string& why) {
    const auto before = dir / "before.img";
    ASSERT_TRUE(CopySparse(image, before));
    const auto journal = dir / "clean.journal";
    const auto clean =
        Cli("clean --journal " + Quote(journal.string()) + " " + Quote(image.string()));
    EXPECT_EQ(clean.status, 1) << clean.out;
    EXPECT_NE(clean.err.find(why), std::string::npos) << clean.err << "\nnot: " << why;
    EXPECT_NE(clean.err.find(texts::Tr(texts::kRunDiskCheck)), std::string::npos) << clean.err;
    EXPECT_TRUE(DifferingOffsets(before, image).empty());
    EXPECT_FALSE(std::filesystem::exists(journal));
    ASSERT_TRUE(CopySparse(pristine, image));
  }

  std::string Refusal(const std::string& why) {
    return Format(texts::kLeftoverChain, "x.vbs", why);
  }

  TempDir dir;
  std::filesystem::path image = dir / "stick.img";
  std::filesystem::path pristine = dir / "pristine.img";
};

TEST_P(OwnershipTest, ClustersOwnedDeepInsideRefuseTheRemovalWithNothingWritten) {
  const auto script = ClustersOf("x.vbs");
  const auto photo = ClustersOf("Photos/2024/IMG_0001.jpg");
  const auto year = ClustersOf("Photos/2024");
  ASSERT_EQ(photo.size(), 6u);
  ASSERT_GE(year.size(), 2u);
  if (GetParam().exfat()) {
    EXPECT_EQ(Contiguous("Photos/2024/IMG_0001.jpg"), !GetParam().chained);
  }
  {
    SCOPED_TRACE("its chain runs into the photo's last cluster");
    PointScript(script[0], 2 * kCluster, photo.back());
    ExpectRefused(Refusal(Contiguous("Photos/2024/IMG_0001.jpg")
                              ? Format(texts::kChainReachesOther, photo.back(), kPhoto)
                              : Format(texts::kChainLinkedFrom, photo[4], photo.back())));
  }
  {
    SCOPED_TRACE("its chain runs into the folder's second cluster");
    PointScript(script[0], 2 * kCluster, year[1]);
    ExpectRefused(Refusal(Contiguous("Photos/2024")
                              ? Format(texts::kChainReachesOther, year[1], kYear)
                              : Format(texts::kChainLinkedFrom, year[0], year[1])));
  }
  {
    SCOPED_TRACE("it begins at the photo's first cluster");
    if (GetParam().exfat()) {
      ExfatRootSets(image).SetStream("x.vbs", 0x03, photo[0], kCluster);
    } else {
      PointScript(photo[0], kCluster, photo[1]);
    }
    ExpectRefused(Refusal(Format(texts::kChainReachesOther, photo[0], kPhoto)));
  }
  if (!GetParam().exfat()) {
    SCOPED_TRACE("the year's folder begins where its own folder does");
    const auto photos = ClustersOf("Photos");
    const auto at = ShortEntry("2024       ");
    PatchBytes(
        image, at + 20,
        {static_cast<std::uint8_t>(photos[0] >> 16), static_cast<std::uint8_t>(photos[0] >> 24)});
    PatchBytes(image, at + 26,
               {static_cast<std::uint8_t>(photos[0]), static_cast<std::uint8_t>(photos[0] >> 8)});
    ExpectRefused(Format(texts::kFolderUnreadable, kYear));
  }
}

TEST_P(OwnershipTest, AFolderOfTheVirussThatHoldsADocumentStaysWhole) {
  const auto files = [&] {
    std::map<std::string, std::vector<std::uint8_t>> found;
    const std::string why = GetParam().exfat() ? WithFuseMount(image,
                                                               [&](const auto& mount) {
                                                                 found = FilesUnder(mount);
                                                                 return std::string();
                                                               })
                                               : (found = FatFiles(image), std::string());
    EXPECT_TRUE(why.empty()) << why;
    return found;
  };
  const auto before = files();
  const auto scan = Cli("scan " + Quote(image.string()));
  EXPECT_NE(scan.out.find("RECYCLER\t" + Format(texts::kLeftoverFolderImpostor, "x.exe") +
                          Format(texts::kFolderHolds, Format(texts::kFilesCount, 1),
                                 Format(texts::kFoldersCount, 1))),
            std::string::npos)
      << scan.out;
  const auto clean =
      Cli("clean --journal " + Quote((dir / "j").string()) + " " + Quote(image.string()));
  ASSERT_EQ(clean.status, 0) << clean.err;
  EXPECT_NE(
      clean.out.find(Format(texts::kKeptFolder, "RECYCLER", "RECYCLER\\S-5-3-42-1\\Report.docx")),
      std::string::npos)
      << clean.out;
  const auto after = files();
  for (const auto& [path, bytes] : before) {
    if (path == "/x.vbs" || path == "/Photos.lnk") {
      EXPECT_EQ(after.count(path), 0u) << path;
    } else {
      ASSERT_EQ(after.count(path), 1u) << path;
      EXPECT_EQ(after.at(path), bytes) << path;
    }
  }
}

// A volume of 2,040 folders is walked in an address space of 30 MiB: clean removes the virus's
// autorun.inf and the script it runs.
TEST(OwnershipWalkTest, TwoThousandFoldersAreWalkedInBoundedMemory) {
  SKIP_WHEN_SANITIZED();
  TempDir dir;
  const auto image = dir / "stick.img";
  ASSERT_TRUE(MakeFatImage(image, 64 * 1024, "-F 32 -s 1"));
  for (int top = 0; top < 40; ++top) {
    std::string folders = "::/T" + std::to_string(top);
    for (int sub = 0; sub < 50; ++sub)
      folders += " ::/T" + std::to_string(top) + "/S" + std::to_string(sub);
    ASSERT_EQ(Mtools("mmd", image, folders).status, 0);
  }
  const std::string autorun = "[AutoRun]\r\nopen=wscript x.vbs\r\n";
  ASSERT_TRUE(PutFile(image, {"/autorun.inf", {autorun.begin(), autorun.end()}}));
  ASSERT_TRUE(PutFile(image, {"/x.vbs", {'x'}}, "+h +s"));
  const auto clean = CliInLittleMemory("clean --journal " + Quote((dir / "j").string()) + " " +
                                       Quote(image.string()));
  EXPECT_EQ(clean.status, 0) << clean.output;
  EXPECT_NE(clean.output.find(kestrova::repair::messages::RemovedCount(2)), std::string::npos)
      << clean.output;
  EXPECT_EQ(FatFiles(image).size(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Sticks, OwnershipTest,
                         ::testing::Values(Layout{"fat32", "-F 32 -s 1", 40 * 1024},
                                           Layout{"fat16", "-F 16 -s 1", 16 * 1024},
                                           Layout{"exfat", "", 32 * 1024},
                                           Layout{"exfat_chained", "", 32 * 1024, true}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace kestrova::testing
