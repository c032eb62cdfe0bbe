// The Win32 shell of Form1: native controls laid out in twips, forwarding their notifications to
// the toolkit-free handlers of ui/form1.h.
#pragma once

#include <windows.h>

#include <string>

#include "ui/form1.h"
#include "ui/layout.h"

namespace kestrova::ui::win32 {

std::wstring Wide(const std::string& utf8);
std::string Utf8(const std::wstring& wide);

// Converts twips to pixels at `dpi` dots per inch, rounding to the nearest pixel.
int TwipsToPixels(int twips, int dpi);
// The width in pixels of a progress bar of `percent` on a track `trackWidth` pixels wide; never
// negative and never past the track.
int ProgressPixels(float percent, int trackWidth);

class MainWindow final : public Form1Controls, public Form1Platform {
 public:
  explicit MainWindow(HINSTANCE instance);
  ~MainWindow() override;
  MainWindow(const MainWindow&) = delete;
  MainWindow& operator=(const MainWindow&) = delete;

  // Builds the window and its controls, runs Form_Load, then shows the window.
  bool Create(int showCommand);
  // Runs the message loop until the window is closed; returns the exit code.
  int Run();

  // Form1Controls
  void ListAddItem(const std::string& text) override;
  void ListClear() override;
  std::int16_t ListCount() override;
  std::string ListText(std::int16_t index) override;
  bool ListSelected(std::int16_t index) override;
  void SetRepairEnabled(bool enabled) override;
  void SetProgressVisible(bool visible) override;
  void SetProgressWidth(float percent) override;
  void ShowMessage(const std::string& text, const std::string& title, int style) override;
  void ProcessPendingEvents() override;

  // Form1Platform
  unsigned DriveType(const std::string& root) override;
  float SecondsTimer() override;
  void OpenWebSite(const std::string& address) override;

 private:
  static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
  static LRESULT CALLBACK PanelProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
  LRESULT Handle(UINT message, WPARAM wParam, LPARAM lParam);

  bool RegisterClasses();
  void CreateControls();
  HWND Child(HWND parent, const wchar_t* className, const std::string& text, DWORD style,
             DWORD exStyle, const TwipRect& twips, int id);
  HFONT Font(const char* face, int pixelsAt96, int weight, bool underline);
  int Px(int twips) const { return TwipsToPixels(twips, dpi_); }
  void OnCommand(int id, int code);
  bool OnDrawItem(const DRAWITEMSTRUCT& item);
  void DrawRepairButton(const DRAWITEMSTRUCT& item);
  void DrawWrappedLabel(const DRAWITEMSTRUCT& item, HFONT font);
  void DrawRightAlignedLabel(const DRAWITEMSTRUCT& item, HFONT font, COLORREF colour);
  HBRUSH OnColorStatic(HDC dc, HWND control);
  bool OnSetCursor(HWND target, int hitTest);
  void Dispatch(MSG& message);

  HINSTANCE instance_;
  Form1 form_;
  int dpi_ = USER_DEFAULT_SCREEN_DPI;
  HWND window_ = nullptr;
  HWND lastFocus_ = nullptr;
  HWND label1_ = nullptr;
  HWND list1_ = nullptr;
  HWND command1_ = nullptr;
  HWND command2_ = nullptr;
  HWND picture2_ = nullptr;
  HWND progress_ = nullptr;
  HWND picture3_ = nullptr;
  HWND label3_ = nullptr;
  HFONT defaultFont_ = nullptr;
  HFONT label1Font_ = nullptr;
  HFONT listFont_ = nullptr;
  HFONT command2Font_ = nullptr;
  HFONT command1Font_ = nullptr;
  HFONT label3Font_ = nullptr;
  HBITMAP repairPicture_ = nullptr;
  HBITMAP repairPictureGrey_ = nullptr;
  HBITMAP banner_ = nullptr;
  HCURSOR hand_ = nullptr;
  HICON bigIcon_ = nullptr;
  HICON smallIcon_ = nullptr;
  HBRUSH progressBrush_ = nullptr;
  int progressHeight_ = 0;
};

}  // namespace kestrova::ui::win32
