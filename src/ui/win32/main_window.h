// SPDX-License-Identifier: GPL-3.0-or-later
// The Win32 shell of Form1: native controls laid out in twips, forwarding their notifications to
// the toolkit-free handlers of ui/form1.h.
#pragma once

#include <windows.h>

#include <array>
#include <optional>
#include <string>
#include <vector>

#include "format/progress.h"
#include "ui/form1.h"
#include "ui/layout.h"
#include "ui/win32/bitmaps.h"
#include "ui/win32/dpi.h"
#include "volume/drives.h"

namespace kestrova::ui::win32 {

// The width in pixels of a progress bar of `percent` on a track `trackWidth` pixels wide; never
// negative and never past the track.
int ProgressPixels(float percent, int trackWidth);

class MainWindow final : public Form1Controls, public Form1Platform {
 public:
  // The window's fonts take the faces of `fonts` (FontChoiceFor the user's language).
  MainWindow(HINSTANCE instance, FontChoice fonts);
  ~MainWindow() override;
  MainWindow(const MainWindow&) = delete;
  MainWindow& operator=(const MainWindow&) = delete;

  // Builds the window and its controls, runs Form_Load, then shows the window; with a `drive`
  // letter, selects that drive and looks at it as a click on its entry does.
  bool Create(int showCommand, char drive = 0);
  // Runs the message loop until the window is closed; returns the exit code.
  int Run();

  // Form1Controls
  void ListAddItem(const std::string& text) override;
  bool ListFits(const std::string& text) override;
  void ListSelect(std::int16_t index) override;
  void ListClear() override;
  std::int16_t ListCount() override;
  bool ListSelected(std::int16_t index) override;
  void SetRepairEnabled(bool enabled) override;
  void SetSelectionEnabled(bool enabled) override;
  void SetProgressVisible(bool visible) override;
  void SetProgressWidth(float percent) override;
  void ShowMessage(const std::string& text, const std::string& title, int style) override;
  bool AskYesNo(const std::string& text, const std::string& title) override;
  bool ShowReport(const std::string& text, const std::string& title,
                  const std::string& action) override;
  std::optional<std::vector<std::size_t>> ChooseRemovals(
      const std::string& text, const std::string& title, const std::string& action,
      const std::vector<repair::messages::RemovalChoice>& files) override;
  void ProcessPendingEvents() override;
  void SetCaption(const std::string& text) override;
  void CloseForm() override;

  // Form1Platform
  unsigned DriveType(const std::string& root) override;
  void RefreshDrives() override;
  void DescribeDrive(volume::DriveInfo& drive) override;
  void OpenWebSite(const std::string& address) override;

 private:
  static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
  static LRESULT CALLBACK PanelProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
  // Refresh and the banner link: static controls that take the keyboard focus, show it, and are
  // pressed by Enter or Space as a click does.
  static LRESULT CALLBACK KeyLinkProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
  void MakeKeyLink(HWND control);
  LRESULT Handle(UINT message, WPARAM wParam, LPARAM lParam);

  bool RegisterClasses();
  void CreateControls();
  HWND Child(HWND parent, const wchar_t* className, const std::string& text, DWORD style,
             DWORD exStyle, int id);
  // Places every control, its font and the picture boxes' borders for dpi_, from the design.
  void ApplyDpi(int dpi);
  void OnDpiChanged(int dpi, const RECT& suggested);
  // Sizes the window so that its client area is the design's at dpi_.
  void FitClientArea();
  int Edge(int twips) const { return TwipsToPixels(twips, dpi_); }
  void OnCommand(int id, int code);
  bool OnDrawItem(const DRAWITEMSTRUCT& item);
  // The Repair picture at dpi_ on the button's face, greyed or not; made on first use.
  HBITMAP RepairPicture(bool greyed);
  HBRUSH OnColorStatic(HDC dc, HWND control);
  bool OnSetCursor(HWND target, int hitTest);
  // Enables or disables a control; a control that loses the keyboard focus this way hands it to
  // the drive list.
  void Enable(HWND control, bool enabled);
  void Dispatch(MSG& message);

  HINSTANCE instance_;
  Form1 form_;
  int dpi_ = USER_DEFAULT_SCREEN_DPI;
  HWND window_ = nullptr;
  HWND lastFocus_ = nullptr;
  HWND focusBeforePass_ = nullptr;  // the control that had the focus when a pass began
  WNDPROC staticProc_ = nullptr;    // the system's procedure of the static controls
  HWND label1_ = nullptr;
  HWND frame1_ = nullptr;
  HWND box1_ = nullptr;
  HWND list1_ = nullptr;
  HWND command2_ = nullptr;
  HWND label2_ = nullptr;
  HWND frame2_ = nullptr;
  HWND box2_ = nullptr;
  HWND picture1_ = nullptr;
  HWND command1_ = nullptr;
  HWND picture2_ = nullptr;
  HWND progress_ = nullptr;
  HWND picture3_ = nullptr;
  HWND label3_ = nullptr;
  FontChoice fontChoice_;
  Fonts fonts_;
  Pictures repairPictures_{};
  Pictures banners_{};
  std::array<HBITMAP, 2> repairOnFace_{};  // at dpi_: as it is, greyed
  HCURSOR hand_ = nullptr;
  HICON bigIcon_ = nullptr;
  HICON smallIcon_ = nullptr;
  HBRUSH progressBrush_ = nullptr;
  std::vector<volume::DriveInfo> listed_;  // the drives as the last look found them
  float progressPercent_ = repair::kFullTrack * kProgressRect.width / kTrackWidth;  // as built
};

}  // namespace kestrova::ui::win32
