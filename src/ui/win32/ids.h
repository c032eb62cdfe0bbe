// SPDX-License-Identifier: GPL-3.0-or-later
// Identifiers shared by the window, its resource script and the Win32 test driver.
#pragma once

// Resources of the program file.
// The build reads these two for the generated icons.rc (CMakeLists.txt).
#define KESTROVA_ICON_GROUP 1
#define KESTROVA_FIRST_ICON_IMAGE 30001
#define KESTROVA_REPAIR_BITMAP 101
#define KESTROVA_BANNER_BITMAP 102
#define KESTROVA_HAND_CURSOR 103
// The two bitmaps again, drawn at 125, 150 and 200 percent of their size.
#define KESTROVA_REPAIR_BITMAP_125 111
#define KESTROVA_REPAIR_BITMAP_150 112
#define KESTROVA_REPAIR_BITMAP_200 113
#define KESTROVA_BANNER_BITMAP_125 121
#define KESTROVA_BANNER_BITMAP_150 122
#define KESTROVA_BANNER_BITMAP_200 123

#ifndef RC_INVOKED

#include "ui/layout.h"  // the window's caption

namespace kestrova::ui::win32 {

inline constexpr const wchar_t* kWindowClass = L"KestrovaForm1";

// Control ids. 1 and 2 stay free: dialog navigation sends them for Enter and Escape.
enum ControlId : int {
  kLabel1 = 101,
  kFrame1 = 102,
  kList1 = 103,
  kCommand2 = 104,
  kLabel2 = 105,
  kFrame2 = 106,
  kPicture1 = 107,
  kCommand1 = 108,
  kPicture2 = 109,
  kProgress = 110,
  kPicture3 = 111,
  kLabel3 = 112,
  kFrame1Box = 121,  // the group box that draws Frame1's border and caption
  kFrame2Box = 122,
};

// The controls of the report and of the removal dialog (dialogs.h). Their OK is IDOK and their
// Keep IDCANCEL, as Enter and Escape press them.
enum DialogControlId : int {
  kDialogText = 0xFFFF,  // the text, under the id of a message box's own
  kReportAction = 131,   // the report's second button
  kRemovalList = 132,
  kRemoveSelected = 133,
};

}  // namespace kestrova::ui::win32

#endif
