// SPDX-License-Identifier: GPL-3.0-or-later
// Kestrova.exe: the main window. It takes nothing on the command line.
#include <windows.h>

#include "ui/win32/main_window.h"
#include "ui/win32/wide_text.h"
#include "words/texts.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int showCommand) {
  kestrova::ui::win32::MainWindow window(instance);
  if (!window.Create(showCommand)) {
    using kestrova::ui::win32::Wide;
    namespace texts = kestrova::texts;
    MessageBoxW(nullptr, Wide(texts::Tr(texts::kCannotCreateWindow)).c_str(),
                Wide(texts::Tr(texts::kFailureTitle)).c_str(), MB_OK | MB_ICONSTOP);
    return 1;
  }
  return window.Run();
}
