// SPDX-License-Identifier: GPL-3.0-or-later
// The main window's design: where every control stands (in twips relative to its container),
// its fonts and colours. Both windows build themselves from these values. One pixel is 15 twips
// at 96 dots per inch; at other resolutions the twips convert with that resolution's factor.
// Their texts are entries of words/texts.def (kDescription, kStepOne, kStepTwo, kChooseDrive,
// kRefresh, kRepair, kMailPrefix) in the user's language.
#pragma once

namespace kestrova::ui {

struct TwipRect {
  int left;
  int top;
  int width;
  int height;
};

inline constexpr int kTwipsPerInch = 1440;
inline constexpr double kDesignDpi = 96.0;

inline constexpr int kClientWidth = 5865;   // 391 px
inline constexpr int kClientHeight = 4650;  // 310 px

inline constexpr TwipRect kLabel1Rect{360, 240, 5175, 975};
inline constexpr TwipRect kFrame1Rect{360, 1440, 2535, 2415};
inline constexpr TwipRect kList1Rect{240, 600, 2055, 1545};
inline constexpr TwipRect kCommand2Rect{1800, 360, 495, 255};
inline constexpr TwipRect kLabel2Rect{240, 360, 1335, 255};
inline constexpr TwipRect kFrame2Rect{3000, 1440, 2535, 2415};
inline constexpr TwipRect kPicture1Rect{360, 360, 1815, 1335};
inline constexpr TwipRect kCommand1Rect{0, 0, 1755, 1275};
inline constexpr TwipRect kPicture2Rect{360, 1800, 1815, 375};
inline constexpr TwipRect kProgressRect{0, 0, 285, 315};
inline constexpr TwipRect kPicture3Rect{360, 4080, 1410, 360};
inline constexpr TwipRect kLabel3Rect{2280, 4150, 3255, 255};

// The sunken border of the picture boxes and of the list; a box's children are placed inside it.
inline constexpr int kSunkenBorder = 30;  // 2 px
// The progress track: the inner width of Picture2, which a width of repair::kFullTrack fills.
inline constexpr int kTrackWidth = 1755;

// Fonts: face, and size in pixels at 96 dots per inch. A face the machine lacks is replaced by a
// Chinese face of the same pixel size. The faces are Chinese ones: the Win32 window takes others
// in other languages (win32/dpi.h, FontChoiceFor), at the same sizes.
inline constexpr const char* kSongFace = "宋体";
inline constexpr const char* kXinweiFace = "华文新魏";
inline constexpr int kDefaultFontPx = 12;   // the window's own font: 9 pt
inline constexpr int kLabel1FontPx = 20;    // 15 pt
inline constexpr int kList1FontPx = 32;     // 24 pt
inline constexpr int kCommand2FontPx = 12;  // 9 pt, underlined
inline constexpr int kCommand1FontPx = 29;  // 21.75 pt
inline constexpr int kLabel3FontPx = 16;    // 12 pt, bold
inline constexpr int kLabel1Lines = 3;

// Colours as 0xRRGGBB.
inline constexpr unsigned kLinkBlue = 0x0000FF;
inline constexpr unsigned kProgressFace = 0x8080FF;
inline constexpr unsigned kMaskWhite = 0xFFFFFF;

// The hand cursor's hot spot.
inline constexpr int kHandHotX = 7;
inline constexpr int kHandHotY = 0;

// The caption, the same in every language.
inline constexpr const char* kWindowCaption = "Kestrova by Varkel V1.1 2009.03.30";

}  // namespace kestrova::ui
