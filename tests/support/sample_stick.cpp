// SPDX-License-Identifier: GPL-3.0-or-later
#include "sample_stick.h"

#include <gtest/gtest.h>

#include "fat_tools.h"

namespace kestrova::testing {

bool MakeSampleImage(const std::filesystem::path& image) {
  const auto made = Run(Quote(KESTROVA_SAMPLE_SCRIPT) + " " + Quote(image.string()), true);
  if (made.status != 0) ADD_FAILURE() << made.output;
  return made.status == 0;
}

const std::set<std::string>& SampleVirusPaths() {
  static const std::set<std::string> paths{"autorun.inf",
                                           "sys.vbs",
                                           "资料.lnk",
                                           "我的文档与照片备份.lnk",
                                           "MUSIC.lnk",
                                           "Old Projects.lnk",
                                           "KESTROVA (64MB).lnk",
                                           "\u00a0\\~$WQF5D.FAT32"};
  return paths;
}

FileMap SampleFixed(const FileMap& before) {
  const std::string blank = "/\u00a0/";
  FileMap fixed;
  for (const auto& [path, bytes] : before) {
    std::string judged = path.substr(1);
    std::string after = path;
    if (path.starts_with(blank)) {
      judged = "\u00a0\\" + path.substr(blank.size());
      after = "/" + path.substr(blank.size());
    }
    if (!SampleVirusPaths().contains(judged)) fixed[after] = bytes;
  }
  return fixed;
}

}  // namespace kestrova::testing
