// SPDX-License-Identifier: GPL-3.0-or-later
// The window's pictures: loaded from the program's resources at each of kPictureScales, drawn
// copied or stretched, and put on the button face, greyed or not.
#pragma once

#include <windows.h>

#include <array>

#include "ui/win32/dpi.h"

namespace kestrova::ui::win32 {

// A picture at each of kPictureScales.
using Pictures = std::array<HBITMAP, kPictureScaleCount>;

// Loads the bitmap resources `ids`, one for each of kPictureScales; a picture that the program
// lacks is null.
Pictures LoadPictures(HINSTANCE instance, const int (&ids)[kPictureScaleCount]);
// The picture drawn nearest to `dpi`, or the design's where that one is missing.
HBITMAP NearestPicture(const Pictures& pictures, int dpi);
SIZE BitmapSize(HBITMAP bitmap);
// Draws `picture` into `target` on `dc`: copied when the sizes agree, otherwise stretched with
// the halftone filter, which averages the source pixels that each target pixel covers.
void DrawPicture(HDC dc, HBITMAP picture, const RECT& target);
// The picture at its design size at `dpi`, its white ground in the button face's colour, greyed or
// not; the caller's to delete. Null where the picture is not a 24-bit one.
HBITMAP PictureOnFace(const Pictures& pictures, int dpi, bool greyed);

}  // namespace kestrova::ui::win32
