// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/win32/dpi.h"

#include <cstdlib>

#include "ui/win32/wide_text.h"
#include "words/texts.h"

namespace kestrova::ui::win32 {
namespace {

// The face that stands for the system's message font where the system does not tell it: the
// system maps it to its dialog font.
constexpr const wchar_t* kShellDialogFace = L"MS Shell Dlg 2";
// Windows' user-interface face of the Indic scripts (Bengali, Devanagari) since Windows 8, the
// face that the message font falls back to for them. Asked for by name, it is also what the window
// measures its texts with; a system without it falls back as for the message font.
constexpr const wchar_t* kIndicFace = L"Nirmala UI";

HFONT FontOfHeight(const FontChoice& choice, const std::wstring& face, int pixels, int weight,
                   bool underline) {
  return CreateFontW(-pixels, 0, 0, 0, weight, FALSE, underline, FALSE, choice.charset,
                     OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY,
                     DEFAULT_PITCH | FF_DONTCARE, face.c_str());
}

HFONT ScaledFont(const FontChoice& choice, int pixelsAt96, int weight, bool underline, int dpi) {
  return FontOfHeight(choice, choice.face, ScaledPixels(pixelsAt96, dpi), weight, underline);
}

// The font for a one-line control `width` pixels wide that shows `text`: the design's, made a
// pixel smaller at a time while a translation is wider than the control (down to three fifths of
// its size), so that the text is never cut off.
HFONT FittedFont(const FontChoice& choice, int pixelsAt96, int weight, bool underline, int dpi,
                 const char* text, int width) {
  const int designed = ScaledPixels(pixelsAt96, dpi);
  HFONT font = FontOfHeight(choice, choice.face, designed, weight, underline);
  HDC dc = GetDC(nullptr);
  if (!dc) return font;
  const std::wstring wide = Wide(text);
  for (int pixels = designed; font && pixels > designed * 3 / 5; --pixels) {
    HGDIOBJ old = SelectObject(dc, font);
    SIZE size{};
    const bool measured =
        GetTextExtentPoint32W(dc, wide.c_str(), static_cast<int>(wide.size()), &size);
    SelectObject(dc, old);
    if (!measured || size.cx <= width) break;
    DeleteObject(font);
    font = FontOfHeight(choice, choice.face, pixels - 1, weight, underline);
  }
  ReleaseDC(nullptr, dc);
  return font;
}

}  // namespace

int TwipsToPixels(int twips, int dpi) { return MulDiv(twips, dpi, kTwipsPerInch); }

int ScaledPixels(int pixelsAt96, int dpi) {
  return MulDiv(pixelsAt96, dpi, USER_DEFAULT_SCREEN_DPI);
}

int WindowDpi(HWND window) {
  using GetDpiForWindowFunction = UINT(WINAPI*)(HWND);
  HMODULE user = GetModuleHandleW(L"user32.dll");
  const auto query = user ? reinterpret_cast<GetDpiForWindowFunction>(
                                reinterpret_cast<void*>(GetProcAddress(user, "GetDpiForWindow")))
                          : nullptr;
  return query ? static_cast<int>(query(window)) : 0;
}

int NearestPictureScale(int dpi) {
  // Compared in hundredths of a percent; between two scales the larger one wins, as shrinking a
  // picture keeps more of its detail than enlarging one.
  const int wanted = dpi * 100 * 100 / USER_DEFAULT_SCREEN_DPI;
  int best = 0;
  for (int i = 1; i < kPictureScaleCount; ++i) {
    if (std::abs(kPictureScales[i] * 100 - wanted) <=
        std::abs(kPictureScales[best] * 100 - wanted)) {
      best = i;
    }
  }
  return best;
}

RECT PixelRect(const TwipRect& rect, TwipPoint container, int dpi) {
  const auto edge = [dpi](int twips) { return TwipsToPixels(twips, dpi); };
  // Every edge is rounded where it lies in the client area, so a control that fills its
  // container's inner area fills it at any resolution.
  const int left = edge(container.x + rect.left) - edge(container.x);
  const int top = edge(container.y + rect.top) - edge(container.y);
  const int right = edge(container.x + rect.left + rect.width) - edge(container.x);
  const int bottom = edge(container.y + rect.top + rect.height) - edge(container.y);
  return RECT{left, top, right, bottom};
}

Border SunkenBorderPixels(const TwipRect& rect, TwipPoint container, int dpi) {
  const auto edge = [dpi](int twips) { return TwipsToPixels(twips, dpi); };
  const int outerLeft = container.x + rect.left;
  const int outerTop = container.y + rect.top;
  return Border{edge(outerLeft + kSunkenBorder) - edge(outerLeft),
                edge(outerTop + kSunkenBorder) - edge(outerTop),
                edge(outerLeft + rect.width) - edge(outerLeft + rect.width - kSunkenBorder),
                edge(outerTop + rect.height) - edge(outerTop + rect.height - kSunkenBorder)};
}

FontChoice FontChoiceFor(texts::Language language) {
  if (language == texts::Language::kChinese) {
    return FontChoice{Wide(kSongFace), Wide(kXinweiFace), GB2312_CHARSET};
  }
  if (language.Code() == "bn" || language.Code() == "hi") {
    return FontChoice{kIndicFace, kIndicFace, DEFAULT_CHARSET};
  }
  const std::optional<LOGFONTW> message = SystemMessageFont();
  const std::wstring face = message ? message->lfFaceName : kShellDialogFace;
  return FontChoice{face, face, DEFAULT_CHARSET};
}

std::optional<LOGFONTW> SystemMessageFont() {
  NONCLIENTMETRICSW metrics{};
  metrics.cbSize = sizeof metrics;
  if (!SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0)) {
    return std::nullopt;
  }
  return metrics.lfMessageFont;
}

Fonts FontsAt(int dpi, const FontChoice& choice) {
  Fonts fonts;
  fonts.normal = ScaledFont(choice, kDefaultFontPx, FW_NORMAL, false, dpi);
  fonts.label1 = ScaledFont(choice, kLabel1FontPx, FW_NORMAL, false, dpi);
  fonts.list = ScaledFont(choice, kList1FontPx, FW_NORMAL, false, dpi);
  fonts.command2 = FittedFont(choice, kCommand2FontPx, FW_NORMAL, true, dpi,
                              texts::Tr(texts::kRefresh), TwipsToPixels(kCommand2Rect.width, dpi));
  fonts.command1 =
      FontOfHeight(choice, choice.buttonFace, ScaledPixels(kCommand1FontPx, dpi), FW_NORMAL, false);
  fonts.label3 = ScaledFont(choice, kLabel3FontPx, FW_BOLD, false, dpi);
  return fonts;
}

}  // namespace kestrova::ui::win32
