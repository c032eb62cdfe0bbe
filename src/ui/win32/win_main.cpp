// SPDX-License-Identifier: GPL-3.0-or-later
// Kestrova.exe: the main window. "/drive F" on the command line starts it with drive F selected
// (the guard starts it so); anything else there is ignored.
#include <windows.h>

#include <sstream>
#include <string>

#include "ui/win32/main_window.h"
#include "ui/win32/wide_text.h"
#include "volume/volume.h"
#include "words/texts.h"

namespace {

// The drive that "/drive LETTER" names on the command line; 0 when it names none.
char DriveOfCommandLine(const char* commandLine) {
  std::istringstream words(commandLine ? commandLine : "");
  std::string word;
  while (words >> word) {
    if (word != "/drive" && word != "/DRIVE" && word != "-drive") continue;
    std::string letter;
    if (!(words >> letter)) return 0;
    return kestrova::volume::DriveLetter(letter).value_or(0);
  }
  return 0;
}

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR commandLine, int showCommand) {
  kestrova::ui::win32::MainWindow window(instance);
  if (!window.Create(showCommand, DriveOfCommandLine(commandLine))) {
    using kestrova::ui::win32::Wide;
    namespace texts = kestrova::texts;
    MessageBoxW(nullptr, Wide(texts::Tr(texts::kCannotCreateWindow)).c_str(),
                Wide(texts::Tr(texts::kFailureTitle)).c_str(), MB_OK | MB_ICONSTOP);
    return 1;
  }
  return window.Run();
}
