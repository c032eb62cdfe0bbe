// SPDX-License-Identifier: GPL-3.0-or-later
// kestrova-guard.exe's one window, never shown: the notification-area icon and its menu, the
// drives that arrive, the notices of infected sticks, and the start of the repair window.
#pragma once

#include <windows.h>

#include <string>

namespace kestrova::ui::win32::guard {

class Guard {
 public:
  explicit Guard(HINSTANCE instance);
  ~Guard();
  Guard(const Guard&) = delete;
  Guard& operator=(const Guard&) = delete;

  // Makes the window and the icon, and looks at the removable drives present.
  bool Create();
  // Runs the message loop until the guard exits; returns the exit code.
  int Run();

 private:
  static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
  LRESULT Handle(UINT message, WPARAM wParam, LPARAM lParam);
  // Adds the icon (again, after Explorer started anew) and asks for its current behaviour.
  void AddIcon();
  void ShowMenu(POINT at);
  void OnCommand(int id);
  // Looks soon at the drives among `letters` (bit 0 is A:) that have not been looked at since
  // they came.
  void LookLater(DWORD letters);
  // Looks at the removable drives among `letters` now; with `again` (the user asked) says so
  // when none is infected.
  void LookAt(DWORD letters, bool again);
  void Notify(char letter, const std::string& text);
  // Starts Kestrova.exe from the guard's folder for drive `letter`, with the rights it asks for.
  void StartWindow(char letter);
  void Report(const std::string& line);

  HINSTANCE instance_;
  HWND window_ = nullptr;
  HICON icon_ = nullptr;
  UINT taskbarCreated_ = 0;
  bool iconAdded_ = false;
  DWORD looked_ = 0;      // the drives looked at since they came, bit 0 for A:
  char noticeDrive_ = 0;  // the drive of the last notice
};

}  // namespace kestrova::ui::win32::guard
