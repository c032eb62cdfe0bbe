// SPDX-License-Identifier: GPL-3.0-or-later
// A stick judged through a mounted file system, as a guard without raw access does: each corpus
// stick's tree copied out of its image (mtools on FAT, exfat-fuse on exFAT) into a folder whose
// hidden and system bits are kept as Wine keeps them (user.DOSATTRIB), then judged by the rules
// through that listing. The virus's things and the counts that a notice gives are the raw
// volume's; where the driver shows no bits, nothing is called the virus's that the raw volume
// does not call so.
#include <gtest/gtest.h>
#include <sys/xattr.h>

#include <cstdio>
#include <filesystem>
#include <set>
#include <string>

#include "exfat_tools.h"
#include "fat_tools.h"
#include "infected_sticks.h"
#include "repair/engine.h"
#include "repair/journal.h"
#include "repair/label.h"
#include "repair/listed_root.h"
#include "repair/signs.h"

namespace kestrova::testing {
namespace {

std::set<std::string> VirusPaths(const repair::VolumeLayout& layout) {
  std::set<std::string> paths;
  for (const auto* list : {&layout.findings.leftovers, &layout.findings.judged}) {
    for (const auto& judged : *list) {
      if (judged.verdict == repair::Verdict::kVirus) paths.insert(judged.Path());
    }
  }
  return paths;
}

// Copies the stick's files and folders into `out`; empty, or why it cannot be done here.
std::string CopyTree(const std::filesystem::path& image, StickFs fs,
                     const std::filesystem::path& out) {
  std::filesystem::create_directories(out);
  if (fs != StickFs::kExfat) {
    const auto copied = Mtools("mcopy", image, "-s -n -Q ::/ " + Quote(out.string()));
    EXPECT_EQ(copied.status, 0) << copied.output;
    return {};
  }
  return WithFuseMount(image, [&](const std::filesystem::path& mount) {
    std::filesystem::copy(mount, out, std::filesystem::copy_options::recursive);
    return std::string();
  });
}

// Gives every entry that StickAttributes reads its hidden and system bits as Wine keeps them;
// false when this file system keeps no such attribute.
bool KeepAttributes(const std::filesystem::path& image, StickFs fs,
                    const std::filesystem::path& out) {
  for (const auto& [path, attributes] : StickAttributes(image, fs)) {
    const auto entry = out / path;
    if (!std::filesystem::exists(std::filesystem::symlink_status(entry))) continue;
    char text[16];
    std::snprintf(text, sizeof text, "0x%x", attributes & 0x06u);
    if (::setxattr(entry.c_str(), "user.DOSATTRIB", text, std::char_traits<char>::length(text),
                   0) != 0) {
      return false;
    }
  }
  return true;
}

class ListedRootTest : public ::testing::TestWithParam<InfectedStick> {
 protected:
  TempDir dir;
  std::filesystem::path image = dir / "stick.img";
};

TEST_P(ListedRootTest, JudgesAsTheRawVolumeDoes) {
  const InfectedStick& stick = GetParam();
  const std::string why = MakeStick(stick, image);
  ASSERT_FALSE(HasFailure());
  if (!why.empty()) GTEST_SKIP() << "the stick cannot be made here: " << why;
  auto opened =
      volume::Volume::Open(volume::DriveTarget::OfPath(image.string()), volume::Access::kReadOnly);
  ASSERT_TRUE(opened);
  const auto raw = repair::Analyse(*opened);
  ASSERT_TRUE(raw);

  const auto root = dir / "root";
  const std::string copied = CopyTree(image, stick.fs, root);
  ASSERT_FALSE(HasFailure());
  if (!copied.empty()) GTEST_SKIP() << "the stick cannot be mounted here: " << copied;
  if (!KeepAttributes(image, stick.fs, root)) GTEST_SKIP() << "no user attributes here";

  const repair::MountedVolume mounted{root, raw->fileSystem, repair::VolumeLabel(*raw),
                                      repair::IdentityOf(*raw).serial,
                                      static_cast<std::uint32_t>(raw->ClusterBytes())};
  const auto listed = repair::LookThroughFileSystem(mounted);
  ASSERT_TRUE(listed);
  EXPECT_TRUE(listed->attributesSeen);
  EXPECT_EQ(VirusPaths(listed->layout), VirusPaths(*raw));
  const auto rawSigns = repair::SignsOf(*raw);
  const auto listedSigns = repair::SignsOf(listed->layout, listed->attributesSeen);
  EXPECT_EQ(listedSigns.hiddenFolders, rawSigns.hiddenFolders);
  EXPECT_EQ(listedSigns.hiddenFiles, rawSigns.hiddenFiles);
  EXPECT_EQ(listedSigns.virusFiles, rawSigns.virusFiles);
  EXPECT_EQ(listedSigns.movedFiles, rawSigns.movedFiles);
  EXPECT_EQ(listedSigns.Any(), rawSigns.Any());

  // A driver that shows no bits: nothing seems hidden, and no more is the virus's.
  for (const auto& entry : std::filesystem::recursive_directory_iterator(root)) {
    ::removexattr(entry.path().c_str(), "user.DOSATTRIB");
  }
  ::removexattr(root.c_str(), "user.DOSATTRIB");
  const auto blind = repair::LookThroughFileSystem(mounted);
  ASSERT_TRUE(blind);
  EXPECT_FALSE(blind->attributesSeen);
  const auto blindSigns = repair::SignsOf(blind->layout, blind->attributesSeen);
  EXPECT_EQ(blindSigns.hiddenFolders + blindSigns.hiddenFiles, 0u);
  const auto rawVirus = VirusPaths(*raw);
  for (const std::string& path : VirusPaths(blind->layout)) {
    EXPECT_TRUE(rawVirus.count(path)) << path << " is the virus's only through the listing";
  }
}

INSTANTIATE_TEST_SUITE_P(Sticks, ListedRootTest, ::testing::ValuesIn(Corpus()),
                         [](const auto& info) {
                           return info.param.family + "_" + StickFsName(info.param.fs);
                         });

}  // namespace
}  // namespace kestrova::testing
