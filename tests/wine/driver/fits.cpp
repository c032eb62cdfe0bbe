// SPDX-License-Identifier: GPL-3.0-or-later
// kestrova-fits.exe: the Win32 window's own code, made in each language at the screen's
// resolution, measuring every text of its fixed layout with the font that its control draws it in.
// Prints "dpi<TAB>N", then for each language "fit<TAB>LANG<TAB>WHAT<TAB>NEED<TAB>ROOM" (pixels, or
// lines for Label1) and "font<TAB>LANG<TAB>WHAT<TAB>PIXELS<TAB>LEAST<TAB>MOST", the font's height
// and the heights the design allows; wine/fits_test.cpp judges them.
#include <windows.h>

#include <commctrl.h>

#include <cstdio>
#include <string>

#include "ui/win32/ids.h"
#include "ui/win32/main_window.h"
#include "ui/win32/owner_draw.h"
#include "words/texts.h"

namespace {

namespace texts = kestrova::texts;
namespace ui = kestrova::ui;
using namespace kestrova::ui::win32;

std::string code;  // the language being measured
int dpi = USER_DEFAULT_SCREEN_DPI;

void Fit(const char* what, long need, long room) {
  std::printf("fit\t%s\t%s\t%ld\t%ld\n", code.c_str(), what, need, room);
}

std::wstring Text(HWND control) {
  std::wstring text(static_cast<std::size_t>(GetWindowTextLengthW(control)) + 1, L'\0');
  text.resize(static_cast<std::size_t>(
      GetWindowTextW(control, text.data(), static_cast<int>(text.size()))));
  return text;
}

HFONT FontOf(HWND control) {
  return reinterpret_cast<HFONT>(SendMessageW(control, WM_GETFONT, 0, 0));
}

// The control's font's height in pixels, against the design's `pixelsAt96` (down to `least` of it
// in fifths).
void FontSize(const char* what, HWND control, int pixelsAt96, int least = 5) {
  LOGFONTW font{};
  GetObjectW(FontOf(control), sizeof font, &font);
  const int designed = ScaledPixels(pixelsAt96, dpi);
  std::printf("font\t%s\t%s\t%ld\t%d\t%d\n", code.c_str(), what, -font.lfHeight,
              designed * least / 5, designed);
}

// `text` in the control's font, through `measure(dc)`.
template <typename Measure>
auto InFont(HWND control, Measure measure) {
  HDC dc = GetDC(control);
  HGDIOBJ old = SelectObject(dc, FontOf(control));
  const auto result = measure(dc);
  SelectObject(dc, old);
  ReleaseDC(control, dc);
  return result;
}

SIZE Extent(HWND control, const std::wstring& text) {
  return InFont(control, [&](HDC dc) {
    SIZE size{};
    GetTextExtentPoint32W(dc, text.c_str(), static_cast<int>(text.size()), &size);
    return size;
  });
}

RECT Client(HWND control) {
  RECT client{};
  GetClientRect(control, &client);
  return client;
}

RECT OnScreen(HWND control) {
  RECT box{};
  GetWindowRect(control, &box);
  return box;
}

void MeasureWindow(HWND window) {
  HWND frame1 = GetDlgItem(window, kFrame1);
  HWND frame2 = GetDlgItem(window, kFrame2);
  // The group boxes' captions stand in from their ends by about a character.
  for (HWND box : {GetDlgItem(frame1, kFrame1Box), GetDlgItem(frame2, kFrame2Box)}) {
    Fit(box == GetDlgItem(frame1, kFrame1Box) ? "Frame1" : "Frame2",
        Extent(box, Text(box)).cx + 2 * ScaledPixels(8, dpi), Client(box).right);
    FontSize("frames", box, ui::kDefaultFontPx);
  }
  HWND label2 = GetDlgItem(frame1, kLabel2);
  Fit("Label2", Extent(label2, Text(label2)).cx, Client(label2).right);
  Fit("Label2 height", Extent(label2, Text(label2)).cy, Client(label2).bottom);
  FontSize("Label2", label2, ui::kDefaultFontPx);

  // Refresh is a centred static control, which breaks its text between words.
  HWND command2 = GetDlgItem(frame1, kCommand2);
  const std::wstring refresh = Text(command2);
  RECT drawn = Client(command2);
  InFont(command2, [&](HDC dc) {
    return DrawTextW(dc, refresh.c_str(), static_cast<int>(refresh.size()), &drawn,
                     DT_CALCRECT | DT_CENTER | DT_WORDBREAK);
  });
  Fit("Command2", Extent(command2, refresh).cx, Client(command2).right);
  Fit("Command2 height", drawn.bottom - drawn.top, Client(command2).bottom);
  FontSize("Command2", command2, ui::kCommand2FontPx, 3);

  HWND command1 = GetDlgItem(GetDlgItem(frame2, kPicture1), kCommand1);
  Fit("Command1", Extent(command1, Text(command1)).cx,
      Client(command1).right - 2 * GetSystemMetrics(SM_CXEDGE));
  FontSize("Command1", command1, ui::kCommand1FontPx);

  // The contact line grows towards the banner, which it must not reach.
  HWND label3 = GetDlgItem(window, kLabel3);
  const RECT line = OnScreen(label3);
  const RECT banner = OnScreen(GetDlgItem(window, kPicture3));
  Fit("Label3 height", Extent(label3, Text(label3)).cy, Client(label3).bottom);
  Fit("Label3", Extent(label3, Text(label3)).cx,
      texts::UserLanguage().RightToLeft() ? banner.left - line.left : line.right - banner.right);
  FontSize("Label3", label3, ui::kLabel3FontPx);

  HWND label1 = GetDlgItem(window, kLabel1);
  const auto lines = InFont(label1, [&](HDC dc) {
    return WrappedLines(dc, Text(label1), static_cast<int>(Client(label1).right)).size();
  });
  Fit("Label1 lines", static_cast<long>(lines), ui::kLabel1Lines);
  FontSize("Label1", label1, ui::kLabel1FontPx);
}

// The removal dialog's column headings, measured once the dialog has built itself; then it closes.
LRESULT CALLBACK MeasureDialog(int action, WPARAM wParam, LPARAM lParam) {
  const auto& message = *reinterpret_cast<const CWPRETSTRUCT*>(lParam);
  HWND list = message.message == WM_INITDIALOG ? GetDlgItem(message.hwnd, kRemovalList) : nullptr;
  if (action == HC_ACTION && list) {
    HWND header = ListView_GetHeader(list);
    for (int column = 0; column < Header_GetItemCount(header); ++column) {
      wchar_t text[256] = {};
      HDITEMW item{};
      item.mask = HDI_TEXT;
      item.pszText = text;
      item.cchTextMax = 256;
      RECT place{};
      Header_GetItem(header, column, &item);
      Header_GetItemRect(header, column, &place);
      // A heading stands in from each end by three edges.
      Fit(column == 0 ? "File column" : "Reason column",
          Extent(header, text).cx + 6 * GetSystemMetrics(SM_CXEDGE), place.right - place.left);
    }
    PostMessageW(message.hwnd, WM_COMMAND, IDCANCEL, 0);
  }
  return CallNextHookEx(nullptr, action, wParam, lParam);
}

}  // namespace

int main() {
  HDC screen = GetDC(nullptr);
  dpi = GetDeviceCaps(screen, LOGPIXELSX);
  ReleaseDC(nullptr, screen);
  std::printf("dpi\t%d\n", dpi);
  INITCOMMONCONTROLSEX classes{sizeof classes, ICC_LISTVIEW_CLASSES};
  InitCommonControlsEx(&classes);
  HHOOK hook = SetWindowsHookExW(WH_CALLWNDPROCRET, MeasureDialog, nullptr, GetCurrentThreadId());
  for (std::size_t i = 0; i < texts::Language::Count(); ++i) {
    const texts::Language language = texts::Language::At(i);
    texts::SetLanguage(language);
    code = language.Code();
    // As Kestrova.exe starts in the language.
    SetProcessDefaultLayout(language.RightToLeft() ? LAYOUT_RTL : 0);
    MainWindow main(GetModuleHandleW(nullptr), FontChoiceFor(language));
    if (!main.Create(SW_SHOWNOACTIVATE)) {
      std::fprintf(stderr, "%s: no window (error %lu)\n", code.c_str(), GetLastError());
      return 1;
    }
    HWND window = FindWindowW(kWindowClass, nullptr);
    MeasureWindow(window);
    main.ChooseRemovals("", "", texts::Tr(texts::kRemoveSelected), {{"X.EXE", "-", ""}});
    DestroyWindow(window);
    // The window's end posts the quit that ends Kestrova.exe; here the next language follows.
    MSG message{};
    while (GetMessageW(&message, nullptr, 0, 0) > 0) DispatchMessageW(&message);
  }
  UnhookWindowsHookEx(hook);
  return std::fflush(stdout) == 0 ? 0 : 1;
}
