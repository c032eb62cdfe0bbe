// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/win32/owner_draw.h"

#include <algorithm>
#include <string>
#include <vector>

#include "ui/win32/wide_text.h"
#include "words/texts.h"

namespace kestrova::ui::win32 {
namespace {

std::string WindowTextUtf8(HWND window) {
  std::wstring text(static_cast<std::size_t>(GetWindowTextLengthW(window)) + 1, L'\0');
  text.resize(
      static_cast<std::size_t>(GetWindowTextW(window, text.data(), static_cast<int>(text.size()))));
  return Utf8(text);
}

}  // namespace

void DrawProgressBar(const DRAWITEMSTRUCT& item, HBRUSH brush) {
  RECT face = item.rcItem;
  if (face.right > face.left) {
    DrawEdge(item.hDC, &face, EDGE_RAISED, BF_RECT | BF_ADJUST);
    FillRect(item.hDC, &face, brush);
  }
}

// The graphical Repair button: its picture centred above its caption, its white ground showing
// the button face; picture and caption greyed while the button is disabled.
void DrawRepairButton(const DRAWITEMSTRUCT& item, HFONT font, HBITMAP picture, int dpi) {
  HDC dc = item.hDC;
  RECT face = item.rcItem;
  const bool pushed = (item.itemState & ODS_SELECTED) != 0;
  const bool disabled = (item.itemState & ODS_DISABLED) != 0;
  FillRect(dc, &face, GetSysColorBrush(COLOR_BTNFACE));
  DrawEdge(dc, &face, pushed ? EDGE_SUNKEN : EDGE_RAISED, BF_RECT);
  const int shift = pushed ? 1 : 0;

  const std::wstring caption = Wide(texts::Tr(texts::kRepair));
  HGDIOBJ oldFont = SelectObject(dc, font);
  SIZE text{};
  GetTextExtentPoint32W(dc, caption.c_str(), static_cast<int>(caption.size()), &text);
  const SIZE size = BitmapSize(picture);
  const int width = face.right - face.left;
  const int height = face.bottom - face.top;
  const int top = face.top + (height - size.cy - text.cy) / 2 + shift;

  if (picture) {
    // The picture is wider than the button; what lies past the edge is ground and not drawn.
    const int saved = SaveDC(dc);
    const int edge = GetSystemMetrics(SM_CXEDGE);
    IntersectClipRect(dc, face.left + edge, face.top + edge, face.right - edge, face.bottom - edge);
    const int left = face.left + (width - size.cx) / 2 + shift;
    DrawPicture(dc, picture, RECT{left, top, left + size.cx, top + size.cy});
    RestoreDC(dc, saved);
  }
  SetBkMode(dc, TRANSPARENT);
  SetTextColor(dc, GetSysColor(disabled ? COLOR_GRAYTEXT : COLOR_BTNTEXT));
  RECT textRect{face.left + shift, top + size.cy, face.right + shift, top + size.cy + text.cy};
  DrawTextW(dc, caption.c_str(), static_cast<int>(caption.size()), &textRect,
            DT_CENTER | DT_SINGLELINE | DT_NOPREFIX);
  SelectObject(dc, oldFont);

  if ((item.itemState & ODS_FOCUS) && !disabled) {
    RECT focus = face;
    const int inset = ScaledPixels(3, dpi);
    InflateRect(&focus, -inset, -inset);
    DrawFocusRect(dc, &focus);
  }
}

// The banner fills its picture box: the picture drawn nearest to the box's size, stretched to it.
void DrawBanner(const DRAWITEMSTRUCT& item, const Pictures& banners, int dpi) {
  FillRect(item.hDC, &item.rcItem, GetSysColorBrush(COLOR_WINDOW));
  DrawPicture(item.hDC, NearestPicture(banners, dpi), item.rcItem);
}

std::vector<std::wstring> WrappedLines(HDC dc, const std::wstring& text, int width) {
  std::vector<std::wstring> lines;
  // A line may break after a space, and before or after a wide (Chinese) character; a word longer
  // than the line breaks where it must.
  const auto wide = [](wchar_t c) { return c >= 0x2E80 && !(c >= 0xD800 && c <= 0xDFFF); };
  const auto breaksBefore = [&](std::size_t i) {
    return text[i - 1] == L' ' || wide(text[i - 1]) || wide(text[i]);
  };
  for (std::size_t at = 0; at < text.size();) {
    int fit = 0;
    SIZE size{};
    GetTextExtentExPointW(dc, text.c_str() + at, static_cast<int>(text.size() - at), width, &fit,
                          nullptr, &size);
    std::size_t count = fit > 0 ? static_cast<std::size_t>(fit) : 1;
    if (at + count < text.size()) {
      std::size_t end = at + count;
      while (end > at + 1 && !breaksBefore(end)) --end;
      if (end > at + 1 || breaksBefore(end)) count = end - at;
    }
    std::wstring line = text.substr(at, count);
    while (!line.empty() && line.back() == L' ') line.pop_back();
    lines.push_back(std::move(line));
    at += count;
    while (at < text.size() && text[at] == L' ') ++at;
  }
  return lines;
}

// Label1: the text in the lines of WrappedLines. A substitute face may set its lines further
// apart than the label's font would; the lines then close up so that every one of them stays
// inside the label.
void DrawWrappedLabel(const DRAWITEMSTRUCT& item, HFONT font) {
  HDC dc = item.hDC;
  const RECT area = item.rcItem;
  FillRect(dc, &area, GetSysColorBrush(COLOR_BTNFACE));
  const std::wstring text = Wide(WindowTextUtf8(item.hwndItem));
  HGDIOBJ oldFont = SelectObject(dc, font);
  const std::vector<std::wstring> lines = WrappedLines(dc, text, area.right - area.left);
  TEXTMETRICW metrics{};
  GetTextMetricsW(dc, &metrics);
  int pitch = metrics.tmHeight;
  const int height = area.bottom - area.top;
  if (!lines.empty() && pitch * static_cast<int>(lines.size()) > height) {
    pitch = height / static_cast<int>(lines.size());
  }
  SetBkMode(dc, TRANSPARENT);
  SetTextColor(dc, GetSysColor(COLOR_BTNTEXT));
  int y = area.top;
  for (const auto& line : lines) {
    ExtTextOutW(dc, area.left, y, ETO_CLIPPED, &area, line.c_str(), static_cast<UINT>(line.size()),
                nullptr);
    y += pitch;
  }
  SelectObject(dc, oldFont);
}

// Label3: one line that ends at the label's right edge, whatever its length.
void DrawRightAlignedLabel(const DRAWITEMSTRUCT& item, HFONT font, COLORREF colour) {
  HDC dc = item.hDC;
  RECT area = item.rcItem;
  FillRect(dc, &area, GetSysColorBrush(COLOR_BTNFACE));
  const std::wstring text = Wide(WindowTextUtf8(item.hwndItem));
  HGDIOBJ oldFont = SelectObject(dc, font);
  SetBkMode(dc, TRANSPARENT);
  SetTextColor(dc, colour);
  DrawTextW(dc, text.c_str(), static_cast<int>(text.size()), &area,
            DT_RIGHT | DT_TOP | DT_SINGLELINE | DT_NOPREFIX);
  SelectObject(dc, oldFont);
}

// The sunken 3-D border, as wide as the box's border on each side: the outer half of each side in
// the shadow and highlight colours, the inner half in the dark shadow and light colours. Two
// pixels a side draw exactly the system's sunken edge.
void DrawSunkenBorder(HDC dc, RECT box, const Border& border) {
  const int widest = std::max({border.left, border.top, border.right, border.bottom});
  const int widths[] = {border.left, border.top, border.right, border.bottom};
  constexpr UINT kSides[] = {BF_LEFT, BF_TOP, BF_RIGHT, BF_BOTTOM};
  for (int ring = 0; ring < widest; ++ring) {
    UINT outer = 0;
    UINT inner = 0;
    for (int side = 0; side < 4; ++side) {
      if (ring >= widths[side]) continue;
      (ring < (widths[side] + 1) / 2 ? outer : inner) |= kSides[side];
    }
    if (outer) DrawEdge(dc, &box, BDR_SUNKENOUTER, outer);
    if (inner) DrawEdge(dc, &box, BDR_SUNKENINNER, inner);
    InflateRect(&box, -1, -1);
  }
}

}  // namespace kestrova::ui::win32
