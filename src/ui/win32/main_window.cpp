#include "ui/win32/main_window.h"

#include <cmath>
#include <stdexcept>
#include <vector>

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

// A copy of a 24-bit picture in light greys, white pixels left white.
HBITMAP GreyedCopy(HBITMAP picture) {
  DIBSECTION section{};
  if (!picture || GetObjectW(picture, sizeof section, &section) != sizeof section) return nullptr;
  const BITMAPINFOHEADER& header = section.dsBmih;
  if (header.biBitCount != 24 || !section.dsBm.bmBits) return nullptr;
  BITMAPINFO info{};
  info.bmiHeader = header;
  info.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
  info.bmiHeader.biCompression = BI_RGB;
  void* bits = nullptr;
  HBITMAP grey = CreateDIBSection(nullptr, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
  if (!grey) return nullptr;
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
      const bool white = in[0] == kWhite && in[1] == kWhite && in[2] == kWhite;
      const int brightness =
          (kBlueWeight * in[0] + kGreenWeight * in[1] + kRedWeight * in[2]) / kWeightSum;
      const int value =
          white ? kWhite
                : std::min(kGreyCeiling, kGreyFloor + brightness * (kWhite - kGreyFloor) / kWhite);
      out[0] = out[1] = out[2] = static_cast<BYTE>(value);
    }
  }
  return grey;
}

std::string WindowTextUtf8(HWND window) {
  std::wstring text(static_cast<std::size_t>(GetWindowTextLengthW(window)) + 1, L'\0');
  text.resize(
      static_cast<std::size_t>(GetWindowTextW(window, text.data(), static_cast<int>(text.size()))));
  return Utf8(text);
}

SIZE BitmapSize(HBITMAP bitmap) {
  BITMAP info{};
  if (!bitmap || !GetObjectW(bitmap, sizeof info, &info)) return SIZE{0, 0};
  return SIZE{info.bmWidth, info.bmHeight};
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
  for (HGDIOBJ object :
       {static_cast<HGDIOBJ>(defaultFont_), static_cast<HGDIOBJ>(label1Font_),
        static_cast<HGDIOBJ>(listFont_), static_cast<HGDIOBJ>(command2Font_),
        static_cast<HGDIOBJ>(command1Font_), static_cast<HGDIOBJ>(label3Font_),
        static_cast<HGDIOBJ>(repairPicture_), static_cast<HGDIOBJ>(repairPictureGrey_),
        static_cast<HGDIOBJ>(banner_), static_cast<HGDIOBJ>(progressBrush_)}) {
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

  RECT frame{0, 0, Px(kClientWidth), Px(kClientHeight)};
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
  form_.Form_Load();
  ShowWindow(window_, showCommand);
  UpdateWindow(window_);
  SetFocus(list1_);
  return true;
}

HFONT MainWindow::Font(const char* face, int pixelsAt96, int weight, bool underline) {
  return CreateFontW(-MulDiv(pixelsAt96, dpi_, USER_DEFAULT_SCREEN_DPI), 0, 0, 0, weight, FALSE,
                     underline, FALSE, kChineseCharset, OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS,
                     DEFAULT_QUALITY, DEFAULT_PITCH | FF_DONTCARE, Wide(face).c_str());
}

HWND MainWindow::Child(HWND parent, const wchar_t* className, const std::string& text, DWORD style,
                       DWORD exStyle, const TwipRect& twips, int id) {
  HWND child = CreateWindowExW(exStyle, className, Wide(text).c_str(), style, Px(twips.left),
                               Px(twips.top), Px(twips.width), Px(twips.height), parent,
                               reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), instance_, this);
  if (child) SendMessageW(child, WM_SETFONT, reinterpret_cast<WPARAM>(defaultFont_), FALSE);
  return child;
}

void MainWindow::CreateControls() {
  defaultFont_ = Font(kSongFace, kDefaultFontPx, FW_NORMAL, false);
  label1Font_ = Font(kSongFace, kLabel1FontPx, FW_NORMAL, false);
  listFont_ = Font(kSongFace, kList1FontPx, FW_NORMAL, false);
  command2Font_ = Font(kSongFace, kDefaultFontPx, FW_NORMAL, true);
  command1Font_ = Font(kXinweiFace, kCommand1FontPx, FW_NORMAL, false);
  label3Font_ = Font(kSongFace, kLabel3FontPx, FW_BOLD, false);
  progressBrush_ = CreateSolidBrush(Gdi(kProgressFace));
  repairPicture_ =
      static_cast<HBITMAP>(LoadImageW(instance_, MAKEINTRESOURCEW(KESTROVA_REPAIR_BITMAP),
                                      IMAGE_BITMAP, 0, 0, LR_CREATEDIBSECTION));
  repairPictureGrey_ = GreyedCopy(repairPicture_);
  banner_ = static_cast<HBITMAP>(LoadImageW(instance_, MAKEINTRESOURCEW(KESTROVA_BANNER_BITMAP),
                                            IMAGE_BITMAP, 0, 0, LR_CREATEDIBSECTION));
  SendMessageW(window_, WM_SETFONT, reinterpret_cast<WPARAM>(defaultFont_), FALSE);

  // Created in keyboard order: a window's children take the Tab key in the order of creation.
  label1_ =
      Child(window_, L"STATIC", kDescription, kChildStyle | SS_OWNERDRAW, 0, kLabel1Rect, kLabel1);
  SendMessageW(label1_, WM_SETFONT, reinterpret_cast<WPARAM>(label1Font_), FALSE);

  HWND frame1 =
      Child(window_, kPanelClass, "", kChildStyle, WS_EX_CONTROLPARENT, kFrame1Rect, kFrame1);
  list1_ = Child(frame1, L"LISTBOX", "",
                 kChildStyle | WS_TABSTOP | WS_VSCROLL | LBS_NOTIFY | LBS_NOINTEGRALHEIGHT,
                 WS_EX_CLIENTEDGE, kList1Rect, kList1);
  SendMessageW(list1_, WM_SETFONT, reinterpret_cast<WPARAM>(listFont_), FALSE);
  command2_ = Child(frame1, L"STATIC", kRefresh, kChildStyle | SS_CENTER | SS_NOTIFY, 0,
                    kCommand2Rect, kCommand2);
  SendMessageW(command2_, WM_SETFONT, reinterpret_cast<WPARAM>(command2Font_), FALSE);
  Child(frame1, L"STATIC", kChooseDrive, kChildStyle | SS_LEFT, 0, kLabel2Rect, kLabel2);
  // The group box spans the whole frame and lies beneath the frame's other controls.
  HWND box1 = Child(frame1, L"BUTTON", kStepOne, kChildStyle | BS_GROUPBOX, 0,
                    TwipRect{0, 0, kFrame1Rect.width, kFrame1Rect.height}, kFrame1Box);
  SetWindowPos(box1, HWND_BOTTOM, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);

  HWND frame2 =
      Child(window_, kPanelClass, "", kChildStyle, WS_EX_CONTROLPARENT, kFrame2Rect, kFrame2);
  HWND picture1 = Child(frame2, kPanelClass, "", kChildStyle,
                        WS_EX_CLIENTEDGE | WS_EX_CONTROLPARENT, kPicture1Rect, kPicture1);
  command1_ = Child(picture1, L"BUTTON", kRepair, kChildStyle | WS_TABSTOP | BS_OWNERDRAW, 0,
                    kCommand1Rect, kCommand1);
  SendMessageW(command1_, WM_SETFONT, reinterpret_cast<WPARAM>(command1Font_), FALSE);
  picture2_ = Child(frame2, kPanelClass, "", kChildStyle, WS_EX_CLIENTEDGE | WS_EX_CONTROLPARENT,
                    kPicture2Rect, kPicture2);
  progress_ = Child(picture2_, L"BUTTON", "", kChildStyle | WS_DISABLED | BS_OWNERDRAW, 0,
                    kProgressRect, kProgress);
  progressHeight_ = Px(kProgressRect.height);
  HWND box2 = Child(frame2, L"BUTTON", kStepTwo, kChildStyle | BS_GROUPBOX, 0,
                    TwipRect{0, 0, kFrame2Rect.width, kFrame2Rect.height}, kFrame2Box);
  SetWindowPos(box2, HWND_BOTTOM, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);

  // Sized to its picture.
  picture3_ = Child(window_, L"STATIC", "", kChildStyle | SS_BITMAP | SS_NOTIFY, 0, kPicture3Rect,
                    kPicture3);
  SendMessageW(picture3_, STM_SETIMAGE, IMAGE_BITMAP, reinterpret_cast<LPARAM>(banner_));
  label3_ = Child(window_, L"STATIC", std::string(kMailPrefix) + kAuthorMail,
                  kChildStyle | SS_OWNERDRAW, 0, kLabel3Rect, kLabel3);
  SendMessageW(label3_, WM_SETFONT, reinterpret_cast<WPARAM>(label3Font_), FALSE);
  // The text ends at the label's right edge; an address longer than the label widens it to the
  // left rather than losing the start of the line.
  const std::wstring mail = Wide(std::string(kMailPrefix) + kAuthorMail);
  HDC screen = GetDC(label3_);
  HGDIOBJ oldFont = SelectObject(screen, label3Font_);
  SIZE extent{};
  GetTextExtentPoint32W(screen, mail.c_str(), static_cast<int>(mail.size()), &extent);
  SelectObject(screen, oldFont);
  ReleaseDC(label3_, screen);
  const int right = Px(kLabel3Rect.left + kLabel3Rect.width);
  if (extent.cx > Px(kLabel3Rect.width)) {
    MoveWindow(label3_, right - extent.cx, Px(kLabel3Rect.top), extent.cx, Px(kLabel3Rect.height),
               FALSE);
  }
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

void MainWindow::SetRepairEnabled(bool enabled) { EnableWindow(command1_, enabled); }

void MainWindow::SetProgressVisible(bool visible) {
  ShowWindow(progress_, visible ? SW_SHOWNA : SW_HIDE);
}

void MainWindow::SetProgressWidth(float percent) {
  RECT track{};
  GetClientRect(picture2_, &track);
  SetWindowPos(progress_, nullptr, 0, 0, ProgressPixels(percent, track.right), progressHeight_,
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
    case WM_CLOSE:
      // A running pass holds the volume open; the window stays until it has finished.
      if (form_.PassRunning()) return 0;
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
  if (control == picture3_) {
    SetTextColor(dc, GetSysColor(COLOR_WINDOWTEXT));
    SetBkColor(dc, GetSysColor(COLOR_WINDOW));
    return GetSysColorBrush(COLOR_WINDOW);
  }
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
  if (item.hwndItem == label1_) {
    DrawWrappedLabel(item, label1Font_);
    return true;
  }
  if (item.hwndItem == label3_) {
    DrawRightAlignedLabel(item, label3Font_, Gdi(kLinkBlue));
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

// The graphical Repair button: its picture centred above its caption, white pixels left out so
// the face shows through; picture and caption greyed while the button is disabled.
void MainWindow::DrawRepairButton(const DRAWITEMSTRUCT& item) {
  HDC dc = item.hDC;
  RECT face = item.rcItem;
  const bool pushed = (item.itemState & ODS_SELECTED) != 0;
  const bool disabled = (item.itemState & ODS_DISABLED) != 0;
  FillRect(dc, &face, GetSysColorBrush(COLOR_BTNFACE));
  DrawEdge(dc, &face, pushed ? EDGE_SUNKEN : EDGE_RAISED, BF_RECT);
  const int shift = pushed ? 1 : 0;

  const std::wstring caption = Wide(kRepair);
  HGDIOBJ oldFont = SelectObject(dc, command1Font_);
  SIZE text{};
  GetTextExtentPoint32W(dc, caption.c_str(), static_cast<int>(caption.size()), &text);
  HBITMAP picture = disabled && repairPictureGrey_ ? repairPictureGrey_ : repairPicture_;
  const SIZE size = BitmapSize(picture);
  const int width = face.right - face.left;
  const int height = face.bottom - face.top;
  const int top = face.top + (height - size.cy - text.cy) / 2 + shift;

  if (picture) {
    HDC memory = CreateCompatibleDC(dc);
    HGDIOBJ oldBitmap = SelectObject(memory, picture);
    TransparentBlt(dc, face.left + (width - size.cx) / 2 + shift, top, size.cx, size.cy, memory, 0,
                   0, size.cx, size.cy, Gdi(kMaskWhite));
    SelectObject(memory, oldBitmap);
    DeleteDC(memory);
  }
  SetBkMode(dc, TRANSPARENT);
  SetTextColor(dc, GetSysColor(disabled ? COLOR_GRAYTEXT : COLOR_BTNTEXT));
  RECT textRect{face.left + shift, top + size.cy, face.right + shift, top + size.cy + text.cy};
  DrawTextW(dc, caption.c_str(), static_cast<int>(caption.size()), &textRect,
            DT_CENTER | DT_SINGLELINE | DT_NOPREFIX);
  SelectObject(dc, oldFont);

  if ((item.itemState & ODS_FOCUS) && !disabled) {
    RECT focus = face;
    constexpr int kFocusInset = 3;
    InflateRect(&focus, -kFocusInset, -kFocusInset);
    DrawFocusRect(dc, &focus);
  }
}

}  // namespace kestrova::ui::win32
