// SPDX-License-Identifier: GPL-3.0-or-later
// kestrova-guard.exe: looks at each removable drive as it arrives, and at those present when it
// starts, and tells of an infected one in a notice whose click starts Kestrova.exe for it. One
// guard runs in a session; a second one ends at once. It takes nothing on the command line; it
// speaks the user's language (KESTROVA_LANG, else Windows'), mirrored when that reads from the
// right.
#include <windows.h>

#include "ui/win32/guard/guard.h"
#include "words/texts.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
  HANDLE one = CreateMutexW(nullptr, FALSE, L"Local\\KestrovaGuard");
  if (!one || GetLastError() == ERROR_ALREADY_EXISTS) {
    if (one) CloseHandle(one);
    return 0;
  }
  if (kestrova::texts::UserLanguage().RightToLeft()) SetProcessDefaultLayout(LAYOUT_RTL);
  int code = 1;
  {
    kestrova::ui::win32::guard::Guard guard(instance);
    if (guard.Create()) code = guard.Run();
  }
  CloseHandle(one);
  return code;
}
