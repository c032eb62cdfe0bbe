// SPDX-License-Identifier: GPL-3.0-or-later
// The commands that kestrova-cli prints for the user to run next, copied into a shell as they
// are: the clean after a repair and the undo after each change, on an image whose path holds
// blanks and a quote, with the journal folder under such a path too.
#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>
#include <string>

#include "image_tools.h"
#include "infected_sticks.h"

namespace kestrova::testing {
namespace {

namespace fs = std::filesystem;

// The command that a printed line offers: what follows the text's lead ("To remove these files,
// run: "); empty when no line offers one.
std::string Offered(const std::string& printed, const texts::Text& hint) {
  std::istringstream lines(printed);
  for (std::string line; std::getline(lines, line);) {
    if (line.starts_with(Lead(hint))) return line.substr(Lead(hint).size());
  }
  return {};
}

// A printed command run by sh as it is, with kestrova-cli found on the PATH and the journal
// folder under `state`.
CommandResult AsPrinted(const std::string& command, const fs::path& state) {
  const std::string path = fs::path(CliPath()).parent_path().string();
  return Run("env PATH=" + Quote(path) + ":\"$PATH\" XDG_STATE_HOME=" + Quote(state.string()) +
                 " sh -c " + Quote(command),
             true);
}

TEST(PrintedCommandsTest, EveryOfferedCommandRunsInAShellAsPrinted) {
  TempDir dir;
  const fs::path image = dir / "Lin's USB stick.img";
  ASSERT_EQ(MakeStick(HWormStick(StickFs::kFat32), image), "");
  const fs::path state = dir / "my state's folder";
  const fs::path before = dir / "before.img";
  const fs::path repaired = dir / "repaired.img";
  ASSERT_TRUE(CopySparse(image, before));

  const auto repair = AsPrinted("kestrova-cli repair " + Quote(image.string()), state);
  ASSERT_EQ(repair.status, 0) << repair.output;
  ASSERT_TRUE(CopySparse(image, repaired));
  const std::string undoRepair = Offered(repair.output, texts::kUndoHint);
  const std::string clean = Offered(repair.output, texts::kCleanHint);
  // The image is named by its path, quoted once; the journal lies in the folder with the quote.
  EXPECT_EQ(clean, "kestrova-cli clean '" + dir.path().string() + "/Lin'\\''s USB stick.img'");
  EXPECT_TRUE(undoRepair.starts_with("kestrova-cli undo '" + dir.path().string() +
                                     "/my state'\\''s folder/kestrova/"))
      << undoRepair;

  const auto cleaned = AsPrinted(clean, state);
  ASSERT_EQ(cleaned.status, 0) << clean << "\n" << cleaned.output;
  EXPECT_FALSE(DifferingOffsets(repaired, image).empty());
  const std::string undoClean = Offered(cleaned.output, texts::kUndoHint);
  ASSERT_FALSE(undoClean.empty()) << cleaned.output;

  // Undone in turn, newest first, each command as it was printed.
  const auto cleanUndone = AsPrinted(undoClean, state);
  ASSERT_EQ(cleanUndone.status, 0) << undoClean << "\n" << cleanUndone.output;
  EXPECT_TRUE(DifferingOffsets(repaired, image).empty());
  const auto repairUndone = AsPrinted(undoRepair, state);
  ASSERT_EQ(repairUndone.status, 0) << undoRepair << "\n" << repairUndone.output;
  EXPECT_TRUE(DifferingOffsets(before, image).empty());
}

}  // namespace
}  // namespace kestrova::testing
