// SPDX-License-Identifier: GPL-3.0-or-later
// The controls that the window draws itself: the Repair button, the progress bar, the banner,
// Label1 and Label3 (as their WM_DRAWITEM asks), and the picture boxes' sunken borders.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "ui/win32/bitmaps.h"
#include "ui/win32/dpi.h"

namespace kestrova::ui::win32 {

// The progress bar: a raised bar filled with `brush`, nothing while it has no width.
void DrawProgressBar(const DRAWITEMSTRUCT& item, HBRUSH brush);
// The graphical Repair button at `dpi`, its caption in `font` beneath `picture`, the Repair
// picture on the button face (greyed while the button is disabled).
void DrawRepairButton(const DRAWITEMSTRUCT& item, HFONT font, HBITMAP picture, int dpi);
// The banner among `banners` that suits `dpi`, over its whole picture box.
void DrawBanner(const DRAWITEMSTRUCT& item, const Pictures& banners, int dpi);
// `text` broken into lines no wider than `width` in the font selected into `dc`, as Label1 shows
// it: after a space, or before or after a wide (Chinese) character; a word longer than the line
// breaks where it must.
std::vector<std::wstring> WrappedLines(HDC dc, const std::wstring& text, int width);
// Label1's text in `font`, in the lines of WrappedLines at the label's width.
void DrawWrappedLabel(const DRAWITEMSTRUCT& item, HFONT font);
// Label3's text in `font` and `colour`, on one line that ends at the label's right edge.
void DrawRightAlignedLabel(const DRAWITEMSTRUCT& item, HFONT font, COLORREF colour);
// The sunken border of a picture box whose window area on `dc` is `box`.
void DrawSunkenBorder(HDC dc, RECT box, const Border& border);

}  // namespace kestrova::ui::win32
