// SPDX-License-Identifier: GPL-3.0-or-later
// The window's one click and one dialog on every stick of the corpus: read into memory as drive F,
// repaired, every line of the dialog that follows the repair checked as it offers them (the
// virus's files, the move back), and written back, the stick ends as kestrova-cli fix leaves it:
// the same files with the same bytes, the same attributes, and the checker finds it clean.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <span>
#include <string>
#include <vector>

#include "fake_window.h"
#include "fat_tools.h"
#include "image_tools.h"
#include "infected_sticks.h"
#include "memory_volume.h"
#include "scoped_env.h"
#include "ui/form1.h"

namespace kestrova::testing {
namespace {

// The window's click on the stick in `image`, presented as drive F, and its dialog with every
// line checked. The stick is read into memory and written back as the window left it.
void RepairInTheWindow(const std::filesystem::path& image) {
  MemoryVolume memory;
  const auto size = std::filesystem::file_size(image);
  memory.AddSparseDrive('F', size);
  std::ifstream in(image, std::ios::binary);
  std::vector<std::uint8_t> piece(1 << 20);
  for (std::uint64_t at = 0; at < size; at += piece.size()) {
    in.read(reinterpret_cast<char*>(piece.data()), static_cast<std::streamsize>(piece.size()));
    piece.resize(static_cast<std::size_t>(in.gcount()));
    for (std::size_t s = 0; s < piece.size(); s += volume::kSectorSize) {
      const auto sector = std::span(piece).subspan(s, volume::kSectorSize);
      if (std::any_of(sector.begin(), sector.end(), [](std::uint8_t b) { return b != 0; })) {
        memory.Poke('F', at + s, {sector.begin(), sector.end()});
      }
    }
  }
  {
    ScopedBackend backend(memory);
    FakeWindow window;
    window.driveTypes = {{"f:", 2}};
    window.chooseAll = true;
    ui::Form1 form(window, window);
    form.Form_Load();
    window.Select(form, "F");
    form.Command1_Click();
    for (const auto& message : window.messages) {
      EXPECT_NE(message.style, ui::kStyleCritical) << message.text;
    }
  }
  std::fstream out(image, std::ios::binary | std::ios::in | std::ios::out);
  for (const std::int64_t sector : memory.SectorsWritten()) {
    const auto at = static_cast<std::uint64_t>(sector) * volume::kSectorSize;
    const auto bytes = memory.Peek('F', at, volume::kSectorSize);
    out.seekp(static_cast<std::streamoff>(at));
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
  }
  EXPECT_TRUE(out.good());
}

class WindowCorpusTest : public ::testing::TestWithParam<InfectedStick> {
 protected:
  TempDir dir;
};

TEST_P(WindowCorpusTest, OneClickAndOneDialogEndAsFix) {
  const InfectedStick& stick = GetParam();
  const auto fixed = dir / "fixed.img";
  const std::string why = MakeStick(stick, fixed);
  ASSERT_FALSE(HasFailure());
  if (!why.empty()) GTEST_SKIP() << "the stick cannot be made here: " << why;
  const auto windowed = dir / "windowed.img";
  ASSERT_TRUE(CopySparse(fixed, windowed));
  {
    const ScopedEnv journals("XDG_STATE_HOME", (dir / "fix-state").string());
    const auto fix = Cli("fix " + Quote(fixed.string()));
    ASSERT_EQ(fix.status, 0) << fix.err;
  }
  {
    const ScopedEnv journals("XDG_STATE_HOME", (dir / "window-state").string());
    RepairInTheWindow(windowed);
  }
  const auto checked = testing::Run(
      (stick.fs == StickFs::kExfat ? "fsck.exfat -n " : "fsck.fat -n ") + Quote(windowed.string()),
      true);
  EXPECT_EQ(checked.status, 0) << checked.output;
  EXPECT_EQ(StickFiles(windowed, stick.fs), StickFiles(fixed, stick.fs));
  EXPECT_EQ(StickAttributes(windowed, stick.fs), StickAttributes(fixed, stick.fs));
}

INSTANTIATE_TEST_SUITE_P(Sticks, WindowCorpusTest, ::testing::ValuesIn(Corpus()),
                         [](const auto& info) {
                           return info.param.family + "_" + StickFsName(info.param.fs);
                         });

}  // namespace
}  // namespace kestrova::testing
