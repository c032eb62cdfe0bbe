// SPDX-License-Identifier: GPL-3.0-or-later
// The window contact points: what Form1's handlers use of the main window, and what a pass's
// progress reaches it through. Form1 provides them over its controls. The engine never sees them
// nor a toolkit: it tells a pass's progress to a repair::Progress.
#pragma once

#include <cstdint>
#include <string>

namespace kestrova::ui {

// Message box styles: an OK button with an icon.
inline constexpr int kStyleCritical = 16;     // MB_OK | MB_ICONSTOP
inline constexpr int kStyleInformation = 64;  // MB_OK | MB_ICONINFORMATION

class WindowContacts {
 public:
  virtual ~WindowContacts() = default;
  // The lowest index of a selected list entry, or -1 when none is selected.
  virtual std::int16_t FirstSelectedIndex() = 0;
  // Whether the Repair button can be clicked.
  virtual void SetRepairEnabled(bool enabled) = 0;
  // A modal message box (UTF-8 text and title, style as above); returns when it is closed.
  virtual void ShowMessage(const std::string& text, const std::string& title, int style) = 0;
  // The progress bar's width, in percent of its track.
  virtual void SetProgressWidth(float percent) = 0;
  // Lets the window handle all pending input and repaints, then returns.
  virtual void ProcessPendingEvents() = 0;
};

}  // namespace kestrova::ui
