// Kestrova.exe: the main window. It takes nothing on the command line.
#include <windows.h>

#include "ui/win32/main_window.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int showCommand) {
  kestrova::ui::win32::MainWindow window(instance);
  if (!window.Create(showCommand)) {
    MessageBoxW(nullptr, L"无法创建主窗口。", L"出错啦~~", MB_OK | MB_ICONSTOP);
    return 1;
  }
  return window.Run();
}
