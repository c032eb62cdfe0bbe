// SPDX-License-Identifier: GPL-3.0-or-later
// Sticks drawn at random: a user's tree (folders of documents, the user's own programs and
// shortcuts, sometimes a boot, platform or camera stick, Windows' recycle bin or a vaccine)
// beside a worm of a random family, or none, on FAT32 or exFAT. Whatever the draw, no entry of
// the user's or of the stick's own is judged the virus's or removed, and every file of the worm
// whose command starts something hidden is removed. KESTROVA_RANDOM_STICKS_SEED runs one seed,
// KESTROVA_RANDOM_STICKS_SEEDS sets how many.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "memory_stick.h"
#include "repair/engine.h"
#include "shortcut_writer.h"

namespace kestrova::testing {
namespace {

using Kind = MemoryStick::Kind;
using Bytes = std::vector<std::uint8_t>;

constexpr std::uint16_t kShown = 0x10, kHiddenFolder = 0x16, kHiddenFile = 0x26;

enum class Worm { kNone, kShortcuts, kCopies, kAutorun };
enum class Own { kNone, kBoot, kPlatform, kCamera, kRecycleBin, kVaccine };

// One drawn stick, written on `stick`, with what must stay and what must go.
struct Drawn {
  std::set<std::string> keep;  // the user's and the stick's own: never the virus's
  std::set<std::string> go;    // the worm's, started by something hidden
  std::string said;            // the draw in words, for a failure
};

Drawn Draw(std::mt19937& random, MemoryStick& stick) {
  const auto pick = [&](int n) { return static_cast<int>(random() % static_cast<unsigned>(n)); };
  std::vector<std::string> names = {"Fotos", "Tareas",      "Proyecto final", "tesis",
                                    "Music", "Backup",      "Setup",          "Tools",
                                    "Obras", "Clientes 25", "Rapports"};
  std::shuffle(names.begin(), names.end(), random);
  const auto own = static_cast<Own>(pick(6));
  auto worm = static_cast<Worm>(pick(4));
  if (own == Own::kPlatform && worm == Worm::kAutorun) worm = Worm::kShortcuts;
  const int folderCount = 2 + pick(3);
  const std::vector<std::string> folders(names.begin(), names.begin() + folderCount);
  const std::string spare = names[static_cast<std::size_t>(folderCount)];
  Drawn drawn;
  drawn.said = "own " + std::to_string(static_cast<int>(own)) + ", worm " +
               std::to_string(static_cast<int>(worm)) + ", folders";
  for (const auto& folder : folders) drawn.said += " " + folder;
  const bool hides = worm != Worm::kNone;

  // The user's tree: each folder with a document, hidden when a worm came; a document in the
  // root; a program of the user's in the first folder, which a shortcut of the user's starts.
  std::vector<MemoryStick::Item> made;
  for (const auto& folder : folders) {
    made.push_back(stick.AddFolder(folder, hides ? kHiddenFolder : kShown));
    stick.Add({.name = "readme " + folder + ".txt", .bytes = Text("notes of " + folder)},
              &made.back());
    drawn.keep.insert(folder);
  }
  stick.Add({.name = "app.exe", .bytes = Text("MZ the user's app")}, &made.front());
  if (pick(2)) {
    stick.Add({.name = "App.lnk",
               .bytes = ShortcutBytes({.relativePath = ".\\" + folders[0] + "\\app.exe"})});
    drawn.keep.insert("App.lnk");
  }
  stick.Add({.name = "presupuesto.xlsx",
             .attributes = hides ? kHiddenFile : std::uint16_t{0x20},
             .bytes = Text("PK budget")});
  drawn.keep.insert("presupuesto.xlsx");
  // A script of the user's named like the folder beside it, and a lone program named like one.
  if (pick(2)) {
    stick.Add({.name = spare + ".bat", .bytes = Text("@xcopy /s C:\\data " + spare)});
    stick.AddFolder(spare, kShown);
    drawn.keep.insert(spare + ".bat");
  }
  if (worm != Worm::kCopies && pick(2)) {
    stick.Add({.name = folders.back() + ".exe", .bytes = Text("MZ the user's own tool")});
    drawn.keep.insert(folders.back() + ".exe");
  }

  // What the stick is besides.
  switch (own) {
    case Own::kBoot: {
      stick.Add({.name = "bootmgr", .attributes = 0x27, .bytes = Text("MZ loader")});
      const auto boot = stick.AddFolder("boot", 0x12);
      stick.Add({.name = "BCD", .bytes = Text("regf")}, &boot);
      stick.AddFolder("efi", pick(2) ? 0x12 : kShown);
      drawn.keep.insert({"bootmgr", "boot", "efi"});
      break;
    }
    case Own::kPlatform:
      stick.Add({.name = "autorun.inf", .bytes = Text("[autorun]\r\nopen=Start.exe\r\n")});
      stick.Add({.name = "Start.exe", .bytes = Text("MZ menu")});
      drawn.keep.insert({"autorun.inf", "Start.exe"});
      break;
    case Own::kCamera: {
      const auto dcim = stick.AddFolder("DCIM", kShown);
      stick.Add({.name = "IMG_0001.JPG", .bytes = {0xFF, 0xD8, 0xFF}}, &dcim);
      stick.AddFolder("MISC", 0x12);
      drawn.keep.insert({"DCIM", "MISC"});
      break;
    }
    case Own::kRecycleBin: {
      const auto bin = stick.AddFolder("$RECYCLE.BIN", kHiddenFolder);
      const auto user = stick.AddFolder("S-1-5-21-1001", kHiddenFolder, &bin);
      stick.Add({.name = "$RABC12.exe", .bytes = Text("MZ deleted")}, &user);
      stick.Add({.name = "desktop.ini", .attributes = kHiddenFile, .bytes = Text("[.Shell]")},
                &bin);
      drawn.keep.insert("$RECYCLE.BIN");
      break;
    }
    case Own::kVaccine: {
      const std::string vaccine = pick(2) ? "AUTORUN.INF" : "autorun.inf";
      stick.AddFolder(vaccine, 0x17);
      drawn.keep.insert(vaccine);
      if (worm == Worm::kAutorun) worm = Worm::kShortcuts;  // the vaccine kept it out
      break;
    }
    case Own::kNone:
      break;
  }

  // The worm.
  const std::string payload = std::vector<std::string>{"wsvc.vbs", "~$q1.js", "drv.vbe"}[pick(3)];
  switch (worm) {
    case Worm::kShortcuts:
      stick.Add({.name = payload, .attributes = kHiddenFile, .bytes = Text("WScript worm")});
      for (const auto& folder : folders) {
        if (pick(3) == 0) continue;
        drawn.go.insert(payload);
        stick.Add({.name = folder + ".lnk",
                   .bytes = ShortcutBytes({.localPath = "C:\\Windows\\System32\\cmd.exe",
                                           .arguments = "/c start " + payload +
                                                        "&start explorer \"" + folder + "\""})});
        drawn.go.insert(folder + ".lnk");
      }
      break;
    case Worm::kCopies:
      for (const auto& folder : folders) {
        stick.Add({.name = folder + ".exe", .bytes = Text("MZ one worm, copied")});
      }
      break;
    case Worm::kAutorun:
      stick.Add({.name = "autorun.inf",
                 .attributes = 0x27,
                 .bytes = Text("[AutoRun]\r\nopen=" + payload + "\r\n")});
      stick.Add({.name = payload, .attributes = kHiddenFile, .bytes = Text("WScript worm")});
      drawn.go.insert({"autorun.inf", payload});
      break;
    case Worm::kNone:
      break;
  }
  return drawn;
}

std::uint32_t EnvNumber(const char* name, std::uint32_t otherwise) {
  const char* text = std::getenv(name);
  return text ? static_cast<std::uint32_t>(std::strtoul(text, nullptr, 10)) : otherwise;
}

TEST(RandomSticksTest, NoUserFileIsJudgedTheVirussOrRemoved) {
  const std::uint32_t one = EnvNumber("KESTROVA_RANDOM_STICKS_SEED", 0);
  const std::uint32_t seeds = one ? 1 : EnvNumber("KESTROVA_RANDOM_STICKS_SEEDS", 300);
  for (std::uint32_t n = 0; n < seeds; ++n) {
    const std::uint32_t seed = one ? one : n + 1;
    std::mt19937 random(seed);
    const Kind kind = random() % 2 ? Kind::kExfat : Kind::kFat32;
    MemoryVolume memory;
    ScopedBackend scoped{memory};
    MemoryStick stick(memory, kind);
    const Drawn drawn = Draw(random, stick);
    SCOPED_TRACE("seed " + std::to_string(seed) + (kind == Kind::kExfat ? " exFAT, " : " FAT32, ") +
                 drawn.said);
    auto opened = OpenDrive();
    ASSERT_TRUE(opened);
    const auto layout = repair::Analyse(*opened);
    ASSERT_TRUE(layout);
    for (const auto* list : {&layout->findings.leftovers, &layout->findings.judged}) {
      for (const repair::Judged& entry : *list) {
        EXPECT_FALSE(entry.verdict == repair::Verdict::kVirus && drawn.keep.count(entry.Path()))
            << entry.Path();
      }
    }
    const auto cleaned = repair::Clean(*opened, &*layout);
    ASSERT_TRUE(cleaned);
    std::set<std::string> removed;
    for (const auto& entry : cleaned->removed) {
      if (entry.folder.empty()) removed.insert(entry.Path());
    }
    for (const std::string& path : drawn.keep) EXPECT_FALSE(removed.count(path)) << path;
    for (const std::string& path : drawn.go) EXPECT_TRUE(removed.count(path)) << path;
    if (HasFailure()) return;
  }
}

}  // namespace
}  // namespace kestrova::testing
