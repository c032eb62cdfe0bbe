// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/win32/bitmaps.h"

#include <algorithm>
#include <cstdlib>

namespace kestrova::ui::win32 {
namespace {

// A greyed picture keeps its shapes: each pixel's brightness is squeezed into the light greys,
// short of white so that nothing becomes transparent that was not.
constexpr int kGreyFloor = 128;
constexpr int kGreyCeiling = 254;
// Brightness of a pixel: the Rec. 601 weights of blue, green and red, in thousandths.
constexpr int kBlueWeight = 114;
constexpr int kGreenWeight = 587;
constexpr int kRedWeight = 299;
constexpr int kWeightSum = 1000;

// A 24-bit copy of a 24-bit picture whose white pixels take the colour `face`; with `greyed`, the
// other pixels become light greys of their brightness.
HBITMAP FacedCopy(HBITMAP picture, COLORREF face, bool greyed) {
  DIBSECTION section{};
  if (!picture || GetObjectW(picture, sizeof section, &section) != sizeof section) return nullptr;
  const BITMAPINFOHEADER& header = section.dsBmih;
  if (header.biBitCount != 24 || !section.dsBm.bmBits) return nullptr;
  BITMAPINFO info{};
  info.bmiHeader = header;
  info.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
  info.bmiHeader.biCompression = BI_RGB;
  void* bits = nullptr;
  HBITMAP copy = CreateDIBSection(nullptr, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
  if (!copy) return nullptr;
  const int stride = section.dsBm.bmWidthBytes;
  const int rows = std::abs(header.biHeight);
  const auto* from = static_cast<const BYTE*>(section.dsBm.bmBits);
  auto* to = static_cast<BYTE*>(bits);
  constexpr int kChannels = 3;
  constexpr int kWhite = 255;
  for (int row = 0; row < rows; ++row) {
    for (int x = 0; x < header.biWidth; ++x) {
      const BYTE* in = from + row * stride + x * kChannels;
      BYTE* out = to + row * stride + x * kChannels;
      if (in[0] == kWhite && in[1] == kWhite && in[2] == kWhite) {
        out[0] = GetBValue(face);
        out[1] = GetGValue(face);
        out[2] = GetRValue(face);
      } else if (greyed) {
        const int brightness =
            (kBlueWeight * in[0] + kGreenWeight * in[1] + kRedWeight * in[2]) / kWeightSum;
        out[0] = out[1] = out[2] = static_cast<BYTE>(
            std::min(kGreyCeiling, kGreyFloor + brightness * (kWhite - kGreyFloor) / kWhite));
      } else {
        out[0] = in[0];
        out[1] = in[1];
        out[2] = in[2];
      }
    }
  }
  return copy;
}

}  // namespace

Pictures LoadPictures(HINSTANCE instance, const int (&ids)[kPictureScaleCount]) {
  Pictures pictures{};
  for (int i = 0; i < kPictureScaleCount; ++i) {
    pictures[i] = static_cast<HBITMAP>(
        LoadImageW(instance, MAKEINTRESOURCEW(ids[i]), IMAGE_BITMAP, 0, 0, LR_CREATEDIBSECTION));
  }
  return pictures;
}

HBITMAP NearestPicture(const Pictures& pictures, int dpi) {
  HBITMAP nearest = pictures[NearestPictureScale(dpi)];
  return nearest ? nearest : pictures[0];
}

SIZE BitmapSize(HBITMAP bitmap) {
  BITMAP info{};
  if (!bitmap || !GetObjectW(bitmap, sizeof info, &info)) return SIZE{0, 0};
  return SIZE{info.bmWidth, info.bmHeight};
}

void DrawPicture(HDC dc, HBITMAP picture, const RECT& target) {
  const SIZE size = BitmapSize(picture);
  if (size.cx <= 0 || size.cy <= 0) return;
  HDC memory = CreateCompatibleDC(dc);
  HGDIOBJ old = SelectObject(memory, picture);
  // In a mirrored window (a language written right to left) the picture keeps its own
  // orientation: only its place is mirrored.
  const DWORD layout = GetLayout(dc);
  const bool mirrored = layout != GDI_ERROR && (layout & LAYOUT_RTL);
  if (mirrored) SetLayout(dc, layout | LAYOUT_BITMAPORIENTATIONPRESERVED);
  const int width = target.right - target.left;
  const int height = target.bottom - target.top;
  if (width == size.cx && height == size.cy) {
    BitBlt(dc, target.left, target.top, width, height, memory, 0, 0, SRCCOPY);
  } else {
    const int oldMode = SetStretchBltMode(dc, HALFTONE);
    POINT oldOrigin{};
    SetBrushOrgEx(dc, 0, 0, &oldOrigin);  // the halftone mode needs the origin set after it
    StretchBlt(dc, target.left, target.top, width, height, memory, 0, 0, size.cx, size.cy, SRCCOPY);
    SetBrushOrgEx(dc, oldOrigin.x, oldOrigin.y, nullptr);
    SetStretchBltMode(dc, oldMode);
  }
  if (mirrored) SetLayout(dc, layout);
  SelectObject(memory, old);
  DeleteDC(memory);
}

HBITMAP PictureOnFace(const Pictures& pictures, int dpi, bool greyed) {
  const SIZE design = BitmapSize(pictures[0]);
  // The white ground becomes the face before stretching, so that the folder's edges blend into
  // the face and no white fringe is left.
  HBITMAP faced = FacedCopy(NearestPicture(pictures, dpi), GetSysColor(COLOR_BTNFACE), greyed);
  if (!faced) return nullptr;
  const SIZE size{ScaledPixels(design.cx, dpi), ScaledPixels(design.cy, dpi)};
  if (BitmapSize(faced).cx == size.cx && BitmapSize(faced).cy == size.cy) return faced;
  HDC screen = GetDC(nullptr);
  HBITMAP made = CreateCompatibleBitmap(screen, size.cx, size.cy);
  HDC dc = CreateCompatibleDC(screen);
  HGDIOBJ old = SelectObject(dc, made);
  DrawPicture(dc, faced, RECT{0, 0, size.cx, size.cy});
  SelectObject(dc, old);
  DeleteDC(dc);
  ReleaseDC(nullptr, screen);
  DeleteObject(faced);
  return made;
}

}  // namespace kestrova::ui::win32
