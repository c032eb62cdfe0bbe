// SPDX-License-Identifier: GPL-3.0-or-later
// What kestrova-guard.exe shows of itself to the system and to its test driver: its window's
// class, the message by which its notification-area icon calls it, and its menu's commands.
// Free of windows.h: the tests under Wine, built for Linux, read it too.
#pragma once

namespace kestrova::ui::win32::guard {

inline constexpr const wchar_t* kGuardClass = L"KestrovaGuard";
// The icon's calls: with NOTIFYICON_VERSION_4, LOWORD(lParam) says what happened
// (WM_CONTEXTMENU, NIN_BALLOONUSERCLICK, ...) and HIWORD(lParam) the icon.
inline constexpr unsigned kTrayMessage = 0x8000 + 1;  // WM_APP + 1
inline constexpr unsigned kTrayIconId = 1;
// The menu's commands, sent as WM_COMMAND.
enum GuardCommand : int {
  kCheckAll = 201,
  kStartAtLogon = 202,
  kExit = 203,
};
// The environment variable that names a file to which the guard appends a line for each drive it
// looked at, each notice it gave and each window it started (UTF-8, fields split by tabs):
// "look<TAB>F<TAB>raw|files|none<TAB>infected|clean", "notice<TAB>F<TAB>TITLE<TAB>TEXT<TAB>SHOWN"
// (SHOWN 1 when the system took the notice) and "start<TAB>F<TAB>DONE". For tests.
inline constexpr const wchar_t* kReportVariable = L"KESTROVA_GUARD_REPORT";

}  // namespace kestrova::ui::win32::guard
