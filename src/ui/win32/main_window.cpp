// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/win32/main_window.h"

#include <dbt.h>

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <utility>
#include <vector>

#include "ui/win32/dialogs.h"
#include "ui/win32/ids.h"
#include "ui/win32/owner_draw.h"
#include "ui/win32/wide_text.h"
#include "volume/drives.h"
#include "words/texts.h"

namespace kestrova::ui::win32 {
namespace {

constexpr const wchar_t* kPanelClass = L"KestrovaPanel";
constexpr DWORD kWindowStyle = WS_CAPTION | WS_SYSMENU;
constexpr DWORD kChildStyle = WS_CHILD | WS_VISIBLE | WS_CLIPSIBLINGS;
// A design colour (0xRRGGBB) as GDI stores it.
constexpr COLORREF Gdi(unsigned rgb) { return RGB(rgb >> 16 & 0xFF, rgb >> 8 & 0xFF, rgb & 0xFF); }

constexpr const wchar_t* kBrowser = L"explorer.exe";

// Posted to the window when a volume came or went. The system's notice is sent, and waits for its
// answer: the new look, which may open a message box, is taken once the notice has been answered.
constexpr UINT kDrivesChanged = WM_APP + 1;

MainWindow* FromWindow(HWND window) {
  return reinterpret_cast<MainWindow*>(GetWindowLongPtrW(window, GWLP_USERDATA));
}

// A picture box's border is kept in its window bytes.
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

// The keys that press Refresh and the banner link, as they press a button.
bool PressesKeyLink(WPARAM key) { return key == VK_RETURN || key == VK_SPACE; }

// Where the containers' inner areas start in the client area.
constexpr TwipPoint kFormInner{0, 0};
constexpr TwipPoint kFrame1Inner = Inside(kFormInner, kFrame1Rect, 0);
constexpr TwipPoint kFrame2Inner = Inside(kFormInner, kFrame2Rect, 0);
constexpr TwipPoint kPicture1Inner = Inside(kFrame2Inner, kPicture1Rect, kSunkenBorder);
constexpr TwipPoint kPicture2Inner = Inside(kFrame2Inner, kPicture2Rect, kSunkenBorder);

}  // namespace

int ProgressPixels(float percent, int trackWidth) {
  if (!(percent > 0.0f) || trackWidth <= 0) return 0;  // also NaN
  const double pixels = std::round(static_cast<double>(percent) * trackWidth / repair::kFullTrack);
  return pixels >= trackWidth ? trackWidth : static_cast<int>(pixels);
}

MainWindow::MainWindow(HINSTANCE instance, FontChoice fonts)
    : instance_(instance), form_(*this, *this), fontChoice_(std::move(fonts)) {}

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
  // A window made again in the same program finds its classes there.
  const auto registered = [](const WNDCLASSEXW& windowClass) {
    return RegisterClassExW(&windowClass) != 0 || GetLastError() == ERROR_CLASS_ALREADY_EXISTS;
  };
  if (!registered(form)) return false;

  WNDCLASSEXW panel{};
  panel.cbSize = sizeof panel;
  panel.lpfnWndProc = PanelProc;
  panel.cbWndExtra = sizeof(LONG);  // the border, packed
  panel.hInstance = instance_;
  panel.hCursor = LoadCursorW(nullptr, IDC_ARROW);
  panel.hbrBackground = GetSysColorBrush(COLOR_BTNFACE);
  panel.lpszClassName = kPanelClass;
  return registered(panel);
}

bool MainWindow::Create(int showCommand, char drive) {
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
  if (drive) form_.SelectDrive(drive);
  return true;
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
  repairPictures_ = LoadPictures(instance_, kRepairIds);
  banners_ = LoadPictures(instance_, kBannerIds);

  // Created in keyboard order: a window's children take the Tab key in the order of creation.
  label1_ = Child(window_, L"STATIC", texts::Tr(texts::kDescription), kChildStyle | SS_OWNERDRAW, 0,
                  kLabel1);
  frame1_ = Child(window_, kPanelClass, "", kChildStyle, WS_EX_CONTROLPARENT, kFrame1);
  list1_ = Child(frame1_, L"LISTBOX", "",
                 kChildStyle | WS_TABSTOP | WS_VSCROLL | LBS_NOTIFY | LBS_NOINTEGRALHEIGHT,
                 WS_EX_CLIENTEDGE, kList1);
  command2_ = Child(frame1_, L"STATIC", texts::Tr(texts::kRefresh),
                    kChildStyle | WS_TABSTOP | SS_CENTER | SS_NOTIFY, 0, kCommand2);
  MakeKeyLink(command2_);
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

  picture3_ = Child(window_, L"STATIC", "", kChildStyle | WS_TABSTOP | SS_OWNERDRAW | SS_NOTIFY, 0,
                    kPicture3);
  MakeKeyLink(picture3_);
  label3_ = Child(window_, L"STATIC", std::string(texts::Tr(texts::kMailPrefix)) + kAuthorMail,
                  kChildStyle | SS_OWNERDRAW, 0, kLabel3);
}

void MainWindow::ApplyDpi(int dpi) {
  dpi_ = dpi;
  const Fonts old = fonts_;
  fonts_ = FontsAt(dpi_, fontChoice_);
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
    const RECT place = PixelRect(rect, container, dpi_);
    UINT flags = SWP_NOZORDER | SWP_NOACTIVATE;
    if (control == picture1_ || control == picture2_) {
      SetWindowLongW(control, 0, Packed(SunkenBorderPixels(rect, container, dpi_)));
      flags |= SWP_FRAMECHANGED;
    }
    SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
    SetWindowPos(control, nullptr, place.left, place.top, place.right - place.left,
                 place.bottom - place.top, flags);
  }
  SetProgressWidth(progressPercent_);

  // The contact line ends at the label's right edge; an address longer than the label widens it
  // to the left rather than losing the start of the line, and a face taller than the design's
  // lowers the label's bottom edge rather than losing the letters' tails.
  const std::wstring mail = Wide(std::string(texts::Tr(texts::kMailPrefix)) + kAuthorMail);
  HDC dc = GetDC(label3_);
  HGDIOBJ oldFont = SelectObject(dc, fonts_.label3);
  SIZE extent{};
  GetTextExtentPoint32W(dc, mail.c_str(), static_cast<int>(mail.size()), &extent);
  SelectObject(dc, oldFont);
  ReleaseDC(label3_, dc);
  const int right = Edge(kLabel3Rect.left + kLabel3Rect.width);
  const int top = Edge(kLabel3Rect.top);
  const int width = std::max(static_cast<int>(extent.cx), right - Edge(kLabel3Rect.left));
  const int height =
      std::max(static_cast<int>(extent.cy), Edge(kLabel3Rect.top + kLabel3Rect.height) - top);
  SetWindowPos(label3_, nullptr, right - width, top, width, height, SWP_NOZORDER | SWP_NOACTIVATE);

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
  // F5 refreshes the drive list wherever the focus is in the window.
  if (window_ && message.message == WM_KEYDOWN && message.wParam == VK_F5 &&
      (message.hwnd == window_ || IsChild(window_, message.hwnd))) {
    form_.Command2_Click();
    return;
  }
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

bool MainWindow::ListFits(const std::string& text) {
  const std::wstring wide = Wide(text);
  HDC dc = GetDC(list1_);
  HGDIOBJ oldFont = SelectObject(dc, fonts_.list);
  SIZE extent{};
  GetTextExtentPoint32W(dc, wide.c_str(), static_cast<int>(wide.size()), &extent);
  SelectObject(dc, oldFont);
  ReleaseDC(list1_, dc);
  // The list box draws an entry's text a few pixels in from its left edge.
  RECT client{};
  GetClientRect(list1_, &client);
  return extent.cx + 2 * GetSystemMetrics(SM_CXEDGE) <= client.right;
}

// LB_SETCURSEL notifies nobody, as a program's own selection should not.
void MainWindow::ListSelect(std::int16_t index) {
  SendMessageW(list1_, LB_SETCURSEL, static_cast<WPARAM>(index), 0);
}

void MainWindow::ListClear() { SendMessageW(list1_, LB_RESETCONTENT, 0, 0); }

std::int16_t MainWindow::ListCount() {
  return static_cast<std::int16_t>(SendMessageW(list1_, LB_GETCOUNT, 0, 0));
}

bool MainWindow::ListSelected(std::int16_t index) {
  return SendMessageW(list1_, LB_GETCURSEL, 0, 0) == index;
}

void MainWindow::SetRepairEnabled(bool enabled) { Enable(command1_, enabled); }

// While a pass runs the window itself holds the focus, so that no greyed control keeps it; the
// control that had it takes it back afterwards when it can.
void MainWindow::SetSelectionEnabled(bool enabled) {
  if (!enabled) {
    HWND focus = GetFocus();
    if (focus == list1_ || focus == command2_ || focus == command1_) {
      focusBeforePass_ = focus;
      SetFocus(window_);
    }
  }
  EnableWindow(list1_, enabled);
  EnableWindow(command2_, enabled);
  InvalidateRect(command2_, nullptr, TRUE);
  if (enabled && GetFocus() == window_) {
    HWND back = focusBeforePass_ && IsWindowEnabled(focusBeforePass_) ? focusBeforePass_ : list1_;
    SetFocus(back);
  }
  if (enabled) focusBeforePass_ = nullptr;
}

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

namespace {
// A message box reads from the right in a language written right to left.
UINT Reading() { return texts::UserLanguage().RightToLeft() ? MB_RTLREADING | MB_RIGHT : 0; }
}  // namespace

void MainWindow::ShowMessage(const std::string& text, const std::string& title, int style) {
  MessageBoxW(window_, Wide(text).c_str(), Wide(title).c_str(),
              static_cast<UINT>(style) | Reading());
}

bool MainWindow::AskYesNo(const std::string& text, const std::string& title) {
  // No is the default: Enter keeps the files.
  return MessageBoxW(window_, Wide(text).c_str(), Wide(title).c_str(),
                     MB_YESNO | MB_ICONQUESTION | MB_DEFBUTTON2 | Reading()) == IDYES;
}

bool MainWindow::ShowReport(const std::string& text, const std::string& title,
                            const std::string& action) {
  return RunReport(window_, dpi_, text, title, action);
}

std::optional<std::vector<std::size_t>> MainWindow::ChooseRemovals(
    const std::string& text, const std::string& title, const std::string& action,
    const std::vector<repair::messages::RemovalChoice>& files) {
  return RunRemovalChoice(window_, dpi_, text, title, action, files);
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

void MainWindow::RefreshDrives() { listed_ = volume::ListRemovableDrives(); }

void MainWindow::DescribeDrive(volume::DriveInfo& drive) {
  for (const volume::DriveInfo& listed : listed_) {
    if (listed.letter == drive.letter) drive = listed;
  }
}

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

void MainWindow::MakeKeyLink(HWND control) {
  const auto old = reinterpret_cast<WNDPROC>(SetWindowLongPtrW(
      control, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&MainWindow::KeyLinkProc)));
  if (!staticProc_) staticProc_ = old;
}

LRESULT CALLBACK MainWindow::KeyLinkProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  MainWindow* self = FromWindow(GetAncestor(window, GA_ROOT));
  const WNDPROC base = self ? self->staticProc_ : nullptr;
  if (!base) return DefWindowProcW(window, message, wParam, lParam);
  switch (message) {
    case WM_GETDLGCODE:
      // Enter and Space come to the control itself rather than to the dialog navigation, which
      // would press Repair on Enter.
      if (const auto* key = reinterpret_cast<const MSG*>(lParam);
          key && key->message == WM_KEYDOWN && PressesKeyLink(key->wParam)) {
        return CallWindowProcW(base, window, message, wParam, lParam) | DLGC_WANTMESSAGE;
      }
      break;
    case WM_KEYDOWN:
      if (!PressesKeyLink(wParam)) break;
      // A key held down presses once.
      if ((lParam & (LPARAM{1} << 30)) == 0) {
        SendMessageW(GetParent(window), WM_COMMAND, MAKEWPARAM(GetDlgCtrlID(window), STN_CLICKED),
                     reinterpret_cast<LPARAM>(window));
      }
      return 0;
    case WM_SETFOCUS:
    case WM_KILLFOCUS:
      InvalidateRect(window, nullptr, TRUE);
      break;
    case WM_PAINT:
      if (GetFocus() == window) {
        // The whole control is drawn again, then the focus rectangle over it.
        InvalidateRect(window, nullptr, TRUE);
        const LRESULT painted = CallWindowProcW(base, window, message, wParam, lParam);
        RECT area{};
        GetClientRect(window, &area);
        HDC dc = GetDC(window);
        DrawFocusRect(dc, &area);
        ReleaseDC(window, dc);
        return painted;
      }
      break;
    default:
      break;
  }
  return CallWindowProcW(base, window, message, wParam, lParam);
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
    case WM_DEVICECHANGE:
      if ((wParam == DBT_DEVICEARRIVAL || wParam == DBT_DEVICEREMOVECOMPLETE) && lParam != 0 &&
          reinterpret_cast<const DEV_BROADCAST_HDR*>(lParam)->dbch_devicetype ==
              DBT_DEVTYP_VOLUME) {
        PostMessageW(window_, kDrivesChanged, 0, 0);
      }
      return TRUE;
    case kDrivesChanged:
      form_.DrivesChanged();
      return 0;
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
  // Refresh is blue while it can be clicked, and greyed during a pass.
  COLORREF text = GetSysColor(COLOR_BTNTEXT);
  if (control == label3_) text = Gdi(kLinkBlue);
  if (control == command2_) {
    text = IsWindowEnabled(command2_) ? Gdi(kLinkBlue) : GetSysColor(COLOR_GRAYTEXT);
  }
  SetTextColor(dc, text);
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
    DrawProgressBar(item, progressBrush_);
    return true;
  }
  if (item.hwndItem == command1_) {
    DrawRepairButton(item, fonts_.command1, RepairPicture((item.itemState & ODS_DISABLED) != 0),
                     dpi_);
    return true;
  }
  if (item.hwndItem == picture3_) {
    DrawBanner(item, banners_, dpi_);
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

HBITMAP MainWindow::RepairPicture(bool greyed) {
  HBITMAP& made = repairOnFace_[greyed ? 1 : 0];
  if (!made) made = PictureOnFace(repairPictures_, dpi_, greyed);
  return made;
}

}  // namespace kestrova::ui::win32
