// The main window's design: where every control stands (in twips relative to its container),
// its fonts, colours and texts. Both windows build themselves from these values. One pixel is 15
// twips at 96 dots per inch; at other resolutions the twips convert with that resolution's factor.
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
// The progress track: the inner width of Picture2, which a width of 100 percent fills.
inline constexpr int kTrackWidth = 1755;
inline constexpr double kFullTrack = 100.0;

// Fonts: face, and size in pixels at 96 dots per inch. A face the machine lacks is replaced by a
// Chinese face of the same pixel size.
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

// Texts.
inline constexpr const char* kWindowCaption = "Kestrova by Varkel V1.1 2009.03.30";
inline constexpr const char* kDescription =
    "当您的Ｕ盘因感染病毒而导致所有文件夹的属性变为隐藏、系统属性无法更改时，本工具可以瞬间将它们"
    "恢复如初！";
inline constexpr const char* kStepOne = " 第一步>> ";
inline constexpr const char* kStepTwo = " 第二步>> ";
inline constexpr const char* kChooseDrive = "请选择盘符：";
inline constexpr const char* kRefresh = "刷新";
inline constexpr const char* kRepair = "修复";
inline constexpr const char* kMailPrefix = "作者信箱：";

}  // namespace kestrova::ui
