// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/win32/main_window.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <vector>

#include "repair/texts.h"
#include "ui/report.h"
#include "ui/win32/ids.h"
#include "volume/drives.h"

namespace kestrova::ui::win32 {
namespace {

constexpr const wchar_t* kPanelClass = L"KestrovaPanel";
constexpr DWORD kWindowStyle = WS_CAPTION | WS_SYSMENU;
constexpr DWORD kChildStyle = WS_CHILD | WS_VISIBLE | WS_CLIPSIBLINGS;
// A design colour (0xRRGGBB) as GDI stores it.
constexpr COLORREF Gdi(unsigned rgb) { return RGB(rgb >> 16 & 0xFF, rgb >> 8 & 0xFF, rgb & 0xFF); }
constexpr BYTE kChineseCharset = GB2312_CHARSET;  // 134
// A greyed picture keeps its shapes: each pixel's brightness is squeezed into the light greys,
// short of white so that nothing becomes transparent that was not.
constexpr int kGreyFloor = 128;
constexpr int kGreyCeiling = 254;
// Brightness of a pixel: the Rec. 601 weights of blue, green and red, in thousandths.
constexpr int kBlueWeight = 114;
constexpr int kGreenWeight = 587;
constexpr int kRedWeight = 299;
constexpr int kWeightSum = 1000;

constexpr const wchar_t* kBrowser = L"explorer.exe";

MainWindow* FromWindow(HWND window) {
  return reinterpret_cast<MainWindow*>(GetWindowLongPtrW(window, GWLP_USERDATA));
}

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

SIZE BitmapSize(HBITMAP bitmap) {
  BITMAP info{};
  if (!bitmap || !GetObjectW(bitmap, sizeof info, &info)) return SIZE{0, 0};
  return SIZE{info.bmWidth, info.bmHeight};
}

// Draws `picture` into `target` on `dc`: copied when the sizes agree, otherwise stretched with
// the halftone filter, which averages the source pixels that each target pixel covers.
void DrawPicture(HDC dc, HBITMAP picture, const RECT& target) {
  const SIZE size = BitmapSize(picture);
  if (size.cx <= 0 || size.cy <= 0) return;
  HDC memory = CreateCompatibleDC(dc);
  HGDIOBJ old = SelectObject(memory, picture);
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
  SelectObject(memory, old);
  DeleteDC(memory);
}

// A picture box's sunken border, one width per side in pixels, kept in the box's window bytes.
struct Border {
  int left = 0, top = 0, right = 0, bottom = 0;
};
constexpr int kBorderBits = 8;
constexpr LONG kBorderMask = 0xFF;

LONG Packed(const Border& border) {
  return border.left | border.top << kBorderBits | border.right << 2 * kBorderBits |
         border.bottom << 3 * kBorderBits;
}

Border Unpacked(LONG packed) {
  return Border{packed & kBorderMask, packed >> kBorderBits & kBorderMask,
                packed >> 2 * kBorderBits & kBorderMask, packed >> 3 * kBorderBits & kBorderMask};
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

// Where a container's inner area starts in the client area, in twips.
struct TwipPoint {
  int x;
  int y;
};
constexpr TwipPoint Inside(TwipPoint container, const TwipRect& box, int border) {
  return TwipPoint{container.x + box.left + border, container.y + box.top + border};
}
constexpr TwipPoint kFormInner{0, 0};
constexpr TwipPoint kFrame1Inner = Inside(kFormInner, kFrame1Rect, 0);
constexpr TwipPoint kFrame2Inner = Inside(kFormInner, kFrame2Rect, 0);
constexpr TwipPoint kPicture1Inner = Inside(kFrame2Inner, kPicture1Rect, kSunkenBorder);
constexpr TwipPoint kPicture2Inner = Inside(kFrame2Inner, kPicture2Rect, kSunkenBorder);

// The resolution of a window as the system reports it; 0 where the system cannot tell.
int WindowDpi(HWND window) {
  using GetDpiForWindowFunction = UINT(WINAPI*)(HWND);
  HMODULE user = GetModuleHandleW(L"user32.dll");
  const auto query = user ? reinterpret_cast<GetDpiForWindowFunction>(
                                reinterpret_cast<void*>(GetProcAddress(user, "GetDpiForWindow")))
                          : nullptr;
  return query ? static_cast<int>(query(window)) : 0;
}

std::string WindowTextUtf8(HWND window) {
  std::wstring text(static_cast<std::size_t>(GetWindowTextLengthW(window)) + 1, L'\0');
  text.resize(
      static_cast<std::size_t>(GetWindowTextW(window, text.data(), static_cast<int>(text.size()))));
  return Utf8(text);
}

// Which of the pictures drawn at kPictureScales suits `dpi` best: the index of the nearest scale.
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

}  // namespace

std::wstring Wide(const std::string& utf8) {
  if (utf8.empty()) return {};
  const int length =
      MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
  std::wstring wide(static_cast<std::size_t>(length), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), wide.data(), length);
  return wide;
}

std::string Utf8(const std::wstring& wide) {
  if (wide.empty()) return {};
  const int length = WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()),
                                         nullptr, 0, nullptr, nullptr);
  std::string utf8(static_cast<std::size_t>(length), '\0');
  WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), utf8.data(), length,
                      nullptr, nullptr);
  return utf8;
}

int TwipsToPixels(int twips, int dpi) { return MulDiv(twips, dpi, kTwipsPerInch); }

int ProgressPixels(float percent, int trackWidth) {
  if (!(percent > 0.0f) || trackWidth <= 0) return 0;  // also NaN
  const double pixels = std::round(static_cast<double>(percent) * trackWidth / kFullTrack);
  return pixels >= trackWidth ? trackWidth : static_cast<int>(pixels);
}

MainWindow::MainWindow(HINSTANCE instance) : instance_(instance), form_(*this, *this) {}

MainWindow::~MainWindow() {
  std::vector<HGDIOBJ> objects{fonts_.normal,   fonts_.label1, fonts_.list,   fonts_.command2,
                               fonts_.command1, fonts_.label3, progressBrush_};
  for (const auto* pictures : {&repairPictures_, &banners_}) {
    objects.insert(objects.end(), pictures->begin(), pictures->end());
  }
  objects.insert(objects.end(), repairOnFace_.begin(), repairOnFace_.end());
  for (HGDIOBJ object : objects) {
    if (object) DeleteObject(object);
  }
}

bool MainWindow::RegisterClasses() {
  hand_ = static_cast<HCURSOR>(
      LoadImageW(instance_, MAKEINTRESOURCEW(KESTROVA_HAND_CURSOR), IMAGE_CURSOR, 0, 0, 0));
  bigIcon_ =
      static_cast<HICON>(LoadImageW(instance_, MAKEINTRESOURCEW(KESTROVA_ICON_GROUP), IMAGE_ICON,
                                    GetSystemMetrics(SM_CXICON), GetSystemMetrics(SM_CYICON), 0));
  smallIcon_ = static_cast<HICON>(LoadImageW(instance_, MAKEINTRESOURCEW(KESTROVA_ICON_GROUP),
                                             IMAGE_ICON, GetSystemMetrics(SM_CXSMICON),
                                             GetSystemMetrics(SM_CYSMICON), 0));

  WNDCLASSEXW form{};
  form.cbSize = sizeof form;
  form.lpfnWndProc = WindowProc;
  form.hInstance = instance_;
  form.hIcon = bigIcon_;
  form.hIconSm = smallIcon_;
  form.hCursor = LoadCursorW(nullptr, IDC_ARROW);
  form.hbrBackground = GetSysColorBrush(COLOR_BTNFACE);
  form.lpszClassName = kWindowClass;
  if (!RegisterClassExW(&form)) return false;

  WNDCLASSEXW panel{};
  panel.cbSize = sizeof panel;
  panel.lpfnWndProc = PanelProc;
  panel.cbWndExtra = sizeof(LONG);  // the border, packed
  panel.hInstance = instance_;
  panel.hCursor = LoadCursorW(nullptr, IDC_ARROW);
  panel.hbrBackground = GetSysColorBrush(COLOR_BTNFACE);
  panel.lpszClassName = kPanelClass;
  return RegisterClassExW(&panel) != 0;
}

bool MainWindow::Create(int showCommand) {
  if (!RegisterClasses()) return false;
  HDC screen = GetDC(nullptr);
  dpi_ = GetDeviceCaps(screen, LOGPIXELSX);
  ReleaseDC(nullptr, screen);

  RECT frame{0, 0, Edge(kClientWidth), Edge(kClientHeight)};
  AdjustWindowRectEx(&frame, kWindowStyle, FALSE, WS_EX_CONTROLPARENT);
  const int width = frame.right - frame.left;
  const int height = frame.bottom - frame.top;
  RECT work{};
  SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0);
  const int left = work.left + (work.right - work.left - width) / 2;
  const int top = work.top + (work.bottom - work.top - height) / 2;

  window_ = CreateWindowExW(WS_EX_CONTROLPARENT, kWindowClass, Wide(kWindowCaption).c_str(),
                            kWindowStyle | WS_CLIPCHILDREN, left, top, width, height, nullptr,
                            nullptr, instance_, this);
  if (!window_) return false;
  CreateControls();
  // A monitor of its own resolution: the window opens at that one.
  if (const int own = WindowDpi(window_); own > 0 && own != dpi_) {
    ApplyDpi(own);
    FitClientArea();
  } else {
    ApplyDpi(dpi_);
  }
  form_.Form_Load();
  ShowWindow(window_, showCommand);
  UpdateWindow(window_);
  SetFocus(list1_);
  return true;
}

HFONT MainWindow::Font(const char* face, int pixelsAt96, int weight, bool underline) const {
  return CreateFontW(-ScaledPixels(pixelsAt96), 0, 0, 0, weight, FALSE, underline, FALSE,
                     kChineseCharset, OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY,
                     DEFAULT_PITCH | FF_DONTCARE, Wide(face).c_str());
}

int MainWindow::ScaledPixels(int pixelsAt96) const {
  return MulDiv(pixelsAt96, dpi_, USER_DEFAULT_SCREEN_DPI);
}

// Controls are made without a place; ApplyDpi places them.
HWND MainWindow::Child(HWND parent, const wchar_t* className, const std::string& text, DWORD style,
                       DWORD exStyle, int id) {
  return CreateWindowExW(exStyle, className, Wide(text).c_str(), style, 0, 0, 0, 0, parent,
                         reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), instance_, this);
}

void MainWindow::CreateControls() {
  progressBrush_ = CreateSolidBrush(Gdi(kProgressFace));
  constexpr int kRepairIds[] = {KESTROVA_REPAIR_BITMAP, KESTROVA_REPAIR_BITMAP_125,
                                KESTROVA_REPAIR_BITMAP_150, KESTROVA_REPAIR_BITMAP_200};
  constexpr int kBannerIds[] = {KESTROVA_BANNER_BITMAP, KESTROVA_BANNER_BITMAP_125,
                                KESTROVA_BANNER_BITMAP_150, KESTROVA_BANNER_BITMAP_200};
  for (int i = 0; i < kPictureScaleCount; ++i) {
    repairPictures_[i] = static_cast<HBITMAP>(LoadImageW(instance_, MAKEINTRESOURCEW(kRepairIds[i]),
                                                         IMAGE_BITMAP, 0, 0, LR_CREATEDIBSECTION));
    banners_[i] = static_cast<HBITMAP>(LoadImageW(instance_, MAKEINTRESOURCEW(kBannerIds[i]),
                                                  IMAGE_BITMAP, 0, 0, LR_CREATEDIBSECTION));
  }

  // Created in keyboard order: a window's children take the Tab key in the order of creation.
  label1_ = Child(window_, L"STATIC", texts::Tr(texts::kDescription), kChildStyle | SS_OWNERDRAW, 0,
                  kLabel1);
  frame1_ = Child(window_, kPanelClass, "", kChildStyle, WS_EX_CONTROLPARENT, kFrame1);
  list1_ = Child(frame1_, L"LISTBOX", "",
                 kChildStyle | WS_TABSTOP | WS_VSCROLL | LBS_NOTIFY | LBS_NOINTEGRALHEIGHT,
                 WS_EX_CLIENTEDGE, kList1);
  command2_ = Child(frame1_, L"STATIC", texts::Tr(texts::kRefresh),
                    kChildStyle | SS_CENTER | SS_NOTIFY, 0, kCommand2);
  label2_ =
      Child(frame1_, L"STATIC", texts::Tr(texts::kChooseDrive), kChildStyle | SS_LEFT, 0, kLabel2);
  // The group box spans the whole frame and lies beneath the frame's other controls.
  box1_ = Child(frame1_, L"BUTTON", texts::Tr(texts::kStepOne), kChildStyle | BS_GROUPBOX, 0,
                kFrame1Box);
  SetWindowPos(box1_, HWND_BOTTOM, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);

  frame2_ = Child(window_, kPanelClass, "", kChildStyle, WS_EX_CONTROLPARENT, kFrame2);
  picture1_ = Child(frame2_, kPanelClass, "", kChildStyle, WS_EX_CONTROLPARENT, kPicture1);
  command1_ = Child(picture1_, L"BUTTON", texts::Tr(texts::kRepair),
                    kChildStyle | WS_TABSTOP | BS_OWNERDRAW, 0, kCommand1);
  picture2_ = Child(frame2_, kPanelClass, "", kChildStyle, WS_EX_CONTROLPARENT, kPicture2);
  progress_ =
      Child(picture2_, L"BUTTON", "", kChildStyle | WS_DISABLED | BS_OWNERDRAW, 0, kProgress);
  box2_ = Child(frame2_, L"BUTTON", texts::Tr(texts::kStepTwo), kChildStyle | BS_GROUPBOX, 0,
                kFrame2Box);
  SetWindowPos(box2_, HWND_BOTTOM, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);

  picture3_ = Child(window_, L"STATIC", "", kChildStyle | SS_OWNERDRAW | SS_NOTIFY, 0, kPicture3);
  label3_ = Child(window_, L"STATIC", std::string(texts::Tr(texts::kMailPrefix)) + kAuthorMail,
                  kChildStyle | SS_OWNERDRAW, 0, kLabel3);
}

void MainWindow::ApplyDpi(int dpi) {
  dpi_ = dpi;
  const Fonts old = fonts_;
  fonts_.normal = Font(kSongFace, kDefaultFontPx, FW_NORMAL, false);
  fonts_.label1 = Font(kSongFace, kLabel1FontPx, FW_NORMAL, false);
  fonts_.list = Font(kSongFace, kList1FontPx, FW_NORMAL, false);
  fonts_.command2 = Font(kSongFace, kCommand2FontPx, FW_NORMAL, true);
  fonts_.command1 = Font(kXinweiFace, kCommand1FontPx, FW_NORMAL, false);
  fonts_.label3 = Font(kSongFace, kLabel3FontPx, FW_BOLD, false);
  for (HBITMAP& picture : repairOnFace_) {
    if (picture) DeleteObject(picture);
    picture = nullptr;
  }

  struct Placement {
    HWND control;
    TwipRect rect;
    TwipPoint container;  // where the container's inner area starts
    HFONT font;
  };
  const TwipRect frameBox{0, 0, kFrame1Rect.width, kFrame1Rect.height};
  const Placement placements[] = {
      {label1_, kLabel1Rect, kFormInner, fonts_.label1},
      {frame1_, kFrame1Rect, kFormInner, fonts_.normal},
      {list1_, kList1Rect, kFrame1Inner, fonts_.list},
      {command2_, kCommand2Rect, kFrame1Inner, fonts_.command2},
      {label2_, kLabel2Rect, kFrame1Inner, fonts_.normal},
      {box1_, frameBox, kFrame1Inner, fonts_.normal},
      {frame2_, kFrame2Rect, kFormInner, fonts_.normal},
      {picture1_, kPicture1Rect, kFrame2Inner, fonts_.normal},
      {command1_, kCommand1Rect, kPicture1Inner, fonts_.command1},
      {picture2_, kPicture2Rect, kFrame2Inner, fonts_.normal},
      {progress_, kProgressRect, kPicture2Inner, fonts_.normal},
      {box2_, TwipRect{0, 0, kFrame2Rect.width, kFrame2Rect.height}, kFrame2Inner, fonts_.normal},
      {picture3_, kPicture3Rect, kFormInner, fonts_.normal},
      {label3_, kLabel3Rect, kFormInner, fonts_.label3},
  };
  SendMessageW(window_, WM_SETFONT, reinterpret_cast<WPARAM>(fonts_.normal), FALSE);
  for (const auto& [control, rect, container, font] : placements) {
    // Every edge is rounded where it lies in the client area, so a control that fills its
    // container's inner area fills it at any resolution.
    const int left = Edge(container.x + rect.left) - Edge(container.x);
    const int top = Edge(container.y + rect.top) - Edge(container.y);
    const int right = Edge(container.x + rect.left + rect.width) - Edge(container.x);
    const int bottom = Edge(container.y + rect.top + rect.height) - Edge(container.y);
    UINT flags = SWP_NOZORDER | SWP_NOACTIVATE;
    if (control == picture1_ || control == picture2_) {
      const int outerLeft = container.x + rect.left;
      const int outerTop = container.y + rect.top;
      const Border border{
          Edge(outerLeft + kSunkenBorder) - Edge(outerLeft),
          Edge(outerTop + kSunkenBorder) - Edge(outerTop),
          Edge(outerLeft + rect.width) - Edge(outerLeft + rect.width - kSunkenBorder),
          Edge(outerTop + rect.height) - Edge(outerTop + rect.height - kSunkenBorder)};
      SetWindowLongW(control, 0, Packed(border));
      flags |= SWP_FRAMECHANGED;
    }
    SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
    SetWindowPos(control, nullptr, left, top, right - left, bottom - top, flags);
  }
  SetProgressWidth(progressPercent_);

  // The contact line ends at the label's right edge; an address longer than the label widens it
  // to the left rather than losing the start of the line.
  const std::wstring mail = Wide(std::string(texts::Tr(texts::kMailPrefix)) + kAuthorMail);
  HDC dc = GetDC(label3_);
  HGDIOBJ oldFont = SelectObject(dc, fonts_.label3);
  SIZE extent{};
  GetTextExtentPoint32W(dc, mail.c_str(), static_cast<int>(mail.size()), &extent);
  SelectObject(dc, oldFont);
  ReleaseDC(label3_, dc);
  const int right = Edge(kLabel3Rect.left + kLabel3Rect.width);
  const int top = Edge(kLabel3Rect.top);
  const int height = Edge(kLabel3Rect.top + kLabel3Rect.height) - top;
  if (extent.cx > right - Edge(kLabel3Rect.left)) {
    SetWindowPos(label3_, nullptr, right - extent.cx, top, extent.cx, height,
                 SWP_NOZORDER | SWP_NOACTIVATE);
  }

  for (HFONT font : {old.normal, old.label1, old.list, old.command2, old.command1, old.label3}) {
    if (font) DeleteObject(font);
  }
  RedrawWindow(window_, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_FRAME | RDW_ALLCHILDREN);
}

void MainWindow::FitClientArea() {
  RECT client{};
  RECT outer{};
  GetClientRect(window_, &client);
  GetWindowRect(window_, &outer);
  const int width = outer.right - outer.left + Edge(kClientWidth) - client.right;
  const int height = outer.bottom - outer.top + Edge(kClientHeight) - client.bottom;
  SetWindowPos(window_, nullptr, 0, 0, width, height, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
}

// The window moved to a monitor of another resolution, or the resolution changed: the window
// takes the place that the system suggests and lays itself out again at the new resolution.
void MainWindow::OnDpiChanged(int dpi, const RECT& suggested) {
  ApplyDpi(dpi);
  SetWindowPos(window_, nullptr, suggested.left, suggested.top, suggested.right - suggested.left,
               suggested.bottom - suggested.top, SWP_NOZORDER | SWP_NOACTIVATE);
  // A title bar that keeps its size leaves the suggestion off by its growth.
  FitClientArea();
}

int MainWindow::Run() {
  MSG message{};
  BOOL got = 0;
  while ((got = GetMessageW(&message, nullptr, 0, 0)) > 0) Dispatch(message);
  return got < 0 ? 1 : static_cast<int>(message.wParam);
}

void MainWindow::Dispatch(MSG& message) {
  if (window_ && IsDialogMessageW(window_, &message)) return;
  TranslateMessage(&message);
  DispatchMessageW(&message);
}

// Form1Controls

void MainWindow::ListAddItem(const std::string& text) {
  const LRESULT result =
      SendMessageW(list1_, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(Wide(text).c_str()));
  if (result == LB_ERR || result == LB_ERRSPACE) throw std::runtime_error("List1.AddItem");
}

void MainWindow::ListClear() { SendMessageW(list1_, LB_RESETCONTENT, 0, 0); }

std::int16_t MainWindow::ListCount() {
  return static_cast<std::int16_t>(SendMessageW(list1_, LB_GETCOUNT, 0, 0));
}

std::string MainWindow::ListText(std::int16_t index) {
  const LRESULT length = SendMessageW(list1_, LB_GETTEXTLEN, static_cast<WPARAM>(index), 0);
  if (length == LB_ERR) throw std::out_of_range("List1.List");
  std::wstring text(static_cast<std::size_t>(length) + 1, L'\0');
  const LRESULT copied = SendMessageW(list1_, LB_GETTEXT, static_cast<WPARAM>(index),
                                      reinterpret_cast<LPARAM>(text.data()));
  if (copied == LB_ERR) throw std::out_of_range("List1.List");
  text.resize(static_cast<std::size_t>(copied));
  return Utf8(text);
}

bool MainWindow::ListSelected(std::int16_t index) {
  return SendMessageW(list1_, LB_GETCURSEL, 0, 0) == index;
}

void MainWindow::SetRepairEnabled(bool enabled) { Enable(command1_, enabled); }

// A disabled control takes no focus, and the system leaves the focus with no control when the one
// that has it is disabled: the keyboard would do nothing until the next click.
void MainWindow::Enable(HWND control, bool enabled) {
  if (!enabled) {
    if (GetFocus() == control) SetFocus(list1_);
    if (lastFocus_ == control) lastFocus_ = list1_;
  }
  EnableWindow(control, enabled);
}

void MainWindow::SetProgressVisible(bool visible) {
  ShowWindow(progress_, visible ? SW_SHOWNA : SW_HIDE);
}

void MainWindow::SetProgressWidth(float percent) {
  progressPercent_ = percent;
  RECT track{};
  GetClientRect(picture2_, &track);
  // The bar is the track's full inner height.
  SetWindowPos(progress_, nullptr, 0, 0, ProgressPixels(percent, track.right), track.bottom,
               SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
  InvalidateRect(picture2_, nullptr, TRUE);
}

void MainWindow::ShowMessage(const std::string& text, const std::string& title, int style) {
  MessageBoxW(window_, Wide(text).c_str(), Wide(title).c_str(), static_cast<UINT>(style));
}

void MainWindow::ProcessPendingEvents() {
  MSG message{};
  while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
    if (message.message == WM_QUIT) {
      // The main loop ends the program; leave the request for it.
      PostQuitMessage(static_cast<int>(message.wParam));
      return;
    }
    Dispatch(message);
  }
}

void MainWindow::SetCaption(const std::string& text) {
  SetWindowTextW(window_, Wide(text).c_str());
}

// Posted: the window closes once the handler that asks for it has returned.
void MainWindow::CloseForm() { PostMessageW(window_, WM_CLOSE, 0, 0); }

// Form1Platform

unsigned MainWindow::DriveType(const std::string& root) { return volume::QueryDriveType(root); }

float MainWindow::SecondsTimer() { return SecondsSinceMidnight(); }

void MainWindow::OpenWebSite(const std::string& address) {
  std::wstring commandLine = std::wstring(kBrowser) + L" " + Wide(address);
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESHOWWINDOW;
  startup.wShowWindow = SW_SHOWMAXIMIZED;
  PROCESS_INFORMATION process{};
  if (!CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                      &startup, &process)) {
    throw std::runtime_error("explorer.exe: error " + std::to_string(GetLastError()));
  }
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
}

// Window procedures

LRESULT CALLBACK MainWindow::WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_NCCREATE) {
    auto* self = static_cast<MainWindow*>(reinterpret_cast<CREATESTRUCTW*>(lParam)->lpCreateParams);
    self->window_ = window;
    SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
  }
  MainWindow* self = FromWindow(window);
  return self ? self->Handle(message, wParam, lParam)
              : DefWindowProcW(window, message, wParam, lParam);
}

// Frames and picture boxes are containers only: what their controls tell them goes to the window.
LRESULT CALLBACK MainWindow::PanelProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_NCCREATE) {
    auto* self = static_cast<MainWindow*>(reinterpret_cast<CREATESTRUCTW*>(lParam)->lpCreateParams);
    SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
  }
  switch (message) {
    case WM_NCCALCSIZE:
      // Picture boxes keep their border outside the client area, as their controls' origin.
      if (const Border border = Unpacked(GetWindowLongW(window, 0)); Packed(border) != 0) {
        RECT& area = *reinterpret_cast<RECT*>(lParam);  // also the first of NCCALCSIZE_PARAMS
        area.left += border.left;
        area.top += border.top;
        area.right = std::max(area.left, area.right - border.right);
        area.bottom = std::max(area.top, area.bottom - border.bottom);
        return 0;
      }
      break;
    case WM_NCPAINT:
      if (const Border border = Unpacked(GetWindowLongW(window, 0)); Packed(border) != 0) {
        RECT box{};
        GetWindowRect(window, &box);
        OffsetRect(&box, -box.left, -box.top);
        HDC dc = GetWindowDC(window);
        DrawSunkenBorder(dc, box, border);
        ReleaseDC(window, dc);
        return 0;
      }
      break;
    case WM_COMMAND:
    case WM_DRAWITEM:
    case WM_CTLCOLORSTATIC:
    case WM_CTLCOLORBTN:
    case WM_CTLCOLORLISTBOX:
      if (MainWindow* self = FromWindow(window); self && self->window_) {
        return self->Handle(message, wParam, lParam);
      }
      break;
    default:
      break;
  }
  return DefWindowProcW(window, message, wParam, lParam);
}

LRESULT MainWindow::Handle(UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_COMMAND:
      OnCommand(LOWORD(wParam), HIWORD(wParam));
      return 0;
    case WM_DRAWITEM:
      if (OnDrawItem(*reinterpret_cast<const DRAWITEMSTRUCT*>(lParam))) return TRUE;
      break;
    case WM_CTLCOLORSTATIC:
      return reinterpret_cast<LRESULT>(
          OnColorStatic(reinterpret_cast<HDC>(wParam), reinterpret_cast<HWND>(lParam)));
    case WM_SETCURSOR:
      if (OnSetCursor(reinterpret_cast<HWND>(wParam), LOWORD(lParam))) return TRUE;
      break;
    case WM_ACTIVATE:
      // Keyboard focus returns to the control that had it when the window was left.
      if (LOWORD(wParam) == WA_INACTIVE) {
        if (HWND focus = GetFocus(); focus && IsChild(window_, focus)) lastFocus_ = focus;
      } else {
        SetFocus(lastFocus_ && IsWindowEnabled(lastFocus_) ? lastFocus_ : list1_);
      }
      return 0;
    case DM_GETDEFID:
      // Enter presses Repair while it can be clicked, as a dialog's default button.
      return IsWindowEnabled(command1_) ? MAKELRESULT(kCommand1, DC_HASDEFID) : 0;
    case WM_DPICHANGED:
      OnDpiChanged(HIWORD(wParam), *reinterpret_cast<const RECT*>(lParam));
      return 0;
    case WM_CLOSE:
      // A running pass holds the volume open; the window closes once it has finished.
      if (!form_.Form_QueryUnload()) return 0;
      DestroyWindow(window_);
      return 0;
    case WM_DESTROY:
      PostQuitMessage(0);
      return 0;
    default:
      break;
  }
  return DefWindowProcW(window_, message, wParam, lParam);
}

void MainWindow::OnCommand(int id, int code) {
  switch (id) {
    case kList1:
      if (code == LBN_SELCHANGE) form_.List1_Click();
      break;
    case kCommand1:
      if (code == BN_CLICKED) form_.Command1_Click();
      break;
    case kCommand2:
      if (code == STN_CLICKED) form_.Command2_Click();
      break;
    case kPicture3:
      if (code == STN_CLICKED) form_.Picture3_Click();
      break;
    default:
      break;
  }
}

HBRUSH MainWindow::OnColorStatic(HDC dc, HWND control) {
  SetTextColor(
      dc, control == command2_ || control == label3_ ? Gdi(kLinkBlue) : GetSysColor(COLOR_BTNTEXT));
  SetBkColor(dc, GetSysColor(COLOR_BTNFACE));
  return GetSysColorBrush(COLOR_BTNFACE);
}

bool MainWindow::OnSetCursor(HWND target, int hitTest) {
  if (hitTest != HTCLIENT || !hand_) return false;
  if (target != command1_ && target != command2_ && target != picture3_) return false;
  SetCursor(hand_);
  return true;
}

bool MainWindow::OnDrawItem(const DRAWITEMSTRUCT& item) {
  if (item.hwndItem == progress_) {
    RECT face = item.rcItem;
    if (face.right > face.left) {
      DrawEdge(item.hDC, &face, EDGE_RAISED, BF_RECT | BF_ADJUST);
      FillRect(item.hDC, &face, progressBrush_);
    }
    return true;
  }
  if (item.hwndItem == command1_) {
    DrawRepairButton(item);
    return true;
  }
  if (item.hwndItem == picture3_) {
    DrawBanner(item);
    return true;
  }
  if (item.hwndItem == label1_) {
    DrawWrappedLabel(item, fonts_.label1);
    return true;
  }
  if (item.hwndItem == label3_) {
    DrawRightAlignedLabel(item, fonts_.label3, Gdi(kLinkBlue));
    return true;
  }
  return false;
}

// Label1: the text broken into lines at the label's width (Chinese text breaks between any two
// characters). A substitute face may set its lines further apart than the label's font would; the
// lines then close up so that every one of them stays inside the label.
void MainWindow::DrawWrappedLabel(const DRAWITEMSTRUCT& item, HFONT font) {
  HDC dc = item.hDC;
  const RECT area = item.rcItem;
  FillRect(dc, &area, GetSysColorBrush(COLOR_BTNFACE));
  const std::wstring text = Wide(WindowTextUtf8(item.hwndItem));
  HGDIOBJ oldFont = SelectObject(dc, font);
  const int width = area.right - area.left;
  std::vector<std::wstring> lines;
  for (std::size_t at = 0; at < text.size();) {
    int fit = 0;
    SIZE size{};
    GetTextExtentExPointW(dc, text.c_str() + at, static_cast<int>(text.size() - at), width, &fit,
                          nullptr, &size);
    const std::size_t count = fit > 0 ? static_cast<std::size_t>(fit) : 1;
    lines.push_back(text.substr(at, count));
    at += count;
  }
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
void MainWindow::DrawRightAlignedLabel(const DRAWITEMSTRUCT& item, HFONT font, COLORREF colour) {
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

// The banner fills its picture box: the picture drawn nearest to the box's size, stretched to it.
void MainWindow::DrawBanner(const DRAWITEMSTRUCT& item) {
  HBITMAP banner = banners_[NearestPictureScale(dpi_)];
  if (!banner) banner = banners_[0];
  FillRect(item.hDC, &item.rcItem, GetSysColorBrush(COLOR_WINDOW));
  DrawPicture(item.hDC, banner, item.rcItem);
}

HBITMAP MainWindow::RepairPicture(bool greyed) {
  HBITMAP& made = repairOnFace_[greyed ? 1 : 0];
  if (made) return made;
  const SIZE design = BitmapSize(repairPictures_[0]);
  HBITMAP nearest = repairPictures_[NearestPictureScale(dpi_)];
  if (!nearest) nearest = repairPictures_[0];
  // The white ground becomes the face before stretching, so that the folder's edges blend into
  // the face and no white fringe is left.
  HBITMAP faced = FacedCopy(nearest, GetSysColor(COLOR_BTNFACE), greyed);
  if (!faced) return nullptr;
  const SIZE size{ScaledPixels(design.cx), ScaledPixels(design.cy)};
  if (BitmapSize(faced).cx == size.cx && BitmapSize(faced).cy == size.cy) return made = faced;
  HDC screen = GetDC(nullptr);
  made = CreateCompatibleBitmap(screen, size.cx, size.cy);
  HDC dc = CreateCompatibleDC(screen);
  HGDIOBJ old = SelectObject(dc, made);
  DrawPicture(dc, faced, RECT{0, 0, size.cx, size.cy});
  SelectObject(dc, old);
  DeleteDC(dc);
  ReleaseDC(nullptr, screen);
  DeleteObject(faced);
  return made;
}

// The graphical Repair button: its picture centred above its caption, its white ground showing
// the button face; picture and caption greyed while the button is disabled.
void MainWindow::DrawRepairButton(const DRAWITEMSTRUCT& item) {
  HDC dc = item.hDC;
  RECT face = item.rcItem;
  const bool pushed = (item.itemState & ODS_SELECTED) != 0;
  const bool disabled = (item.itemState & ODS_DISABLED) != 0;
  FillRect(dc, &face, GetSysColorBrush(COLOR_BTNFACE));
  DrawEdge(dc, &face, pushed ? EDGE_SUNKEN : EDGE_RAISED, BF_RECT);
  const int shift = pushed ? 1 : 0;

  const std::wstring caption = Wide(texts::Tr(texts::kRepair));
  HGDIOBJ oldFont = SelectObject(dc, fonts_.command1);
  SIZE text{};
  GetTextExtentPoint32W(dc, caption.c_str(), static_cast<int>(caption.size()), &text);
  HBITMAP picture = RepairPicture(disabled);
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
    const int inset = ScaledPixels(3);
    InflateRect(&focus, -inset, -inset);
    DrawFocusRect(dc, &focus);
  }
}

}  // namespace kestrova::ui::win32
