// SPDX-License-Identifier: GPL-3.0-or-later
// Kestrova.exe: the main window. "/drive F" on the command line starts it with drive F selected
// (the guard starts it so), "/lang es" (or --lang es) in that language; anything else there is
// ignored.
#include <windows.h>

#include <cctype>
#include <sstream>
#include <string>

#include "ui/win32/main_window.h"
#include "ui/win32/wide_text.h"
#include "volume/volume.h"
#include "words/texts.h"

namespace {

// The value that follows "/NAME" (or -NAME, --NAME) on the command line; empty when none does.
std::string ValueOfCommandLine(const char* commandLine, const std::string& name) {
  std::istringstream words(commandLine ? commandLine : "");
  std::string word;
  while (words >> word) {
    for (char& c : word) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (word != "/" + name && word != "-" + name && word != "--" + name) continue;
    std::string value;
    words >> value;
    return value;
  }
  return {};
}

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR commandLine, int showCommand) {
  namespace texts = kestrova::texts;
  if (const auto language = texts::Language::Named(ValueOfCommandLine(commandLine, "lang"))) {
    texts::SetLanguage(*language);
  }
  // Arabic and Persian read from the right: every window of the program is mirrored.
  if (texts::UserLanguage().RightToLeft()) SetProcessDefaultLayout(LAYOUT_RTL);
  namespace win32 = kestrova::ui::win32;
  win32::MainWindow window(instance, win32::FontChoiceFor(texts::UserLanguage()));
  const char drive =
      kestrova::volume::DriveLetter(ValueOfCommandLine(commandLine, "drive")).value_or(0);
  if (!window.Create(showCommand, drive)) {
    using kestrova::ui::win32::Wide;
    MessageBoxW(nullptr, Wide(texts::Tr(texts::kCannotCreateWindow)).c_str(),
                Wide(texts::Tr(texts::kFailureTitle)).c_str(), MB_OK | MB_ICONSTOP);
    return 1;
  }
  return window.Run();
}
