// SPDX-License-Identifier: GPL-3.0-or-later
// The window at the monitor's resolution: the design's twips and pixels at 96 dots per inch
// converted to pixels at another, the controls' fonts at it, and the pictures drawn for it.
#pragma once

#include <windows.h>

#include <optional>
#include <string>

#include "ui/layout.h"
#include "words/texts.h"

namespace kestrova::ui::win32 {

// The window's pictures are drawn at these scales of their design size (percent); the window
// stretches the nearest one to its resolution.
inline constexpr int kPictureScales[] = {100, 125, 150, 200};
inline constexpr int kPictureScaleCount = 4;

// Converts twips to pixels at `dpi` dots per inch, rounding to the nearest pixel.
int TwipsToPixels(int twips, int dpi);
// Converts a size in pixels at 96 dots per inch to pixels at `dpi`.
int ScaledPixels(int pixelsAt96, int dpi);
// The resolution of a window as the system reports it; 0 where the system cannot tell.
int WindowDpi(HWND window);
// Which of the pictures drawn at kPictureScales suits `dpi` best: the index of the nearest scale.
int NearestPictureScale(int dpi);

// Where a container's inner area starts in the client area, in twips.
struct TwipPoint {
  int x;
  int y;
};
constexpr TwipPoint Inside(TwipPoint container, const TwipRect& box, int border) {
  return TwipPoint{container.x + box.left + border, container.y + box.top + border};
}

// A picture box's sunken border, one width per side in pixels.
struct Border {
  int left = 0, top = 0, right = 0, bottom = 0;
};

// The place in pixels at `dpi` of `rect`, in twips inside the container whose inner area starts
// at `container`.
RECT PixelRect(const TwipRect& rect, TwipPoint container, int dpi);
// The kSunkenBorder of a picture box at `rect` inside `container`, in pixels at `dpi`.
Border SunkenBorderPixels(const TwipRect& rect, TwipPoint container, int dpi);

// The faces and the character set of the window's fonts in one language. Chinese keeps the
// design's faces with the Chinese character set, as the window has always looked. Bengali and
// Hindi take Nirmala UI, Windows' face of the Indic scripts. Every other language takes the
// system's message font, the face Windows itself shows messages in. Both with DEFAULT_CHARSET: the
// face alone chooses the font, and the system's font links and the complex scripts' fallback fill
// in what the face lacks. Chinese faces asked for with the Chinese character set have neither,
// and draw Arabic, Persian, Bengali and Hindi as boxes.
struct FontChoice {
  std::wstring face;        // every text of the window
  std::wstring buttonFace;  // the Repair button's caption
  BYTE charset = DEFAULT_CHARSET;
};
FontChoice FontChoiceFor(texts::Language language);
// The system's message font (SPI_GETNONCLIENTMETRICS), at the system's resolution; nothing where
// the system does not tell it.
std::optional<LOGFONTW> SystemMessageFont();

// The fonts of the controls at one resolution.
struct Fonts {
  HFONT normal = nullptr;
  HFONT label1 = nullptr;
  HFONT list = nullptr;
  HFONT command2 = nullptr;
  HFONT command1 = nullptr;
  HFONT label3 = nullptr;
};
// Makes the design's fonts at `dpi` in the faces of `choice`; they are the caller's to delete.
// Only the Refresh link's may be smaller than the design's: down to three fifths of its size,
// while its text is wider than the link.
Fonts FontsAt(int dpi, const FontChoice& choice);

}  // namespace kestrova::ui::win32
