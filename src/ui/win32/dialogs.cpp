// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/win32/dialogs.h"

#include <commctrl.h>

#include <algorithm>
#include <cstring>

#include "ui/win32/dpi.h"
#include "ui/win32/ids.h"
#include "ui/win32/wide_text.h"
#include "words/texts.h"

namespace kestrova::ui::win32 {
namespace {

constexpr DWORD kDialogStyle = WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME;
constexpr DWORD kControlStyle = WS_CHILD | WS_VISIBLE;
// How the text's static control draws it, and so how it is measured.
constexpr UINT kTextFormat = DT_LEFT | DT_EXPANDTABS | DT_WORDBREAK | DT_NOPREFIX;

// Sizes in pixels at 96 dots per inch.
constexpr int kMargin = 12;
constexpr int kIconSize = 32;
constexpr int kIconGap = 12;     // between the icon and the text
constexpr int kControlGap = 10;  // between the text, the list and the buttons
constexpr int kButtonGap = 8;    // between two buttons
constexpr int kButtonHeight = 24;
constexpr int kButtonMinWidth = 80;
constexpr int kButtonPadding = 14;     // beside a button's caption, each side
constexpr int kReportTextWidth = 420;  // a report's lines are broken at this width
constexpr int kListWidth = 540;
constexpr int kListHeight = 180;
constexpr int kFileColumnWidth = 170;

// The dialog without controls, as DialogBoxIndirectParam takes it: the frame and the caption.
// The controls are made at the window's resolution once the dialog is there.
std::vector<WORD> EmptyTemplate(const std::wstring& title) {
  DLGTEMPLATE head{};
  head.style = kDialogStyle;
  head.dwExtendedStyle = WS_EX_DLGMODALFRAME;
  std::vector<WORD> words((sizeof head + sizeof(WORD) - 1) / sizeof(WORD), 0);
  std::memcpy(words.data(), &head, sizeof head);
  words.push_back(0);  // no menu
  words.push_back(0);  // the system's dialog class
  words.insert(words.end(), title.begin(), title.end());
  words.push_back(0);
  return words;
}

// The system's message font at `dpi`: the system tells it at its own resolution.
HFONT MessageFontAt(int dpi) {
  const std::optional<LOGFONTW> message = SystemMessageFont();
  if (!message) {
    return CreateFontW(-ScaledPixels(12, dpi), 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE,
                       DEFAULT_CHARSET, OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY,
                       DEFAULT_PITCH | FF_DONTCARE, L"MS Shell Dlg 2");
  }
  HDC screen = GetDC(nullptr);
  const int systemDpi = GetDeviceCaps(screen, LOGPIXELSY);
  ReleaseDC(nullptr, screen);
  LOGFONTW font = *message;
  font.lfHeight = MulDiv(font.lfHeight, dpi, systemDpi > 0 ? systemDpi : USER_DEFAULT_SCREEN_DPI);
  return CreateFontIndirectW(&font);
}

// The system's information icon drawn at `size` pixels, for the caller to destroy; none where
// the common controls cannot draw it at a size of their choice.
HICON InformationIcon(int size) {
  using LoadIconWithScaleDownFunction = HRESULT(WINAPI*)(HINSTANCE, PCWSTR, int, int, HICON*);
  HMODULE controls = GetModuleHandleW(L"comctl32.dll");
  const auto load =
      controls ? reinterpret_cast<LoadIconWithScaleDownFunction>(
                     reinterpret_cast<void*>(GetProcAddress(controls, "LoadIconWithScaleDown")))
               : nullptr;
  HICON icon = nullptr;
  if (!load || FAILED(load(nullptr, IDI_INFORMATION, size, size, &icon))) return nullptr;
  return icon;
}

// What the two dialogs share: the empty template, the font, the resolution, the placing of
// controls and buttons, and the size and place of the dialog over its owner.
class Dialog {
 public:
  Dialog(HWND owner, int dpi) : owner_(owner), dpi_(dpi > 0 ? dpi : USER_DEFAULT_SCREEN_DPI) {}
  virtual ~Dialog() {
    if (font_) DeleteObject(font_);
  }
  Dialog(const Dialog&) = delete;
  Dialog& operator=(const Dialog&) = delete;

  // Shows the dialog until it ends; what EndDialog was given.
  INT_PTR Run(const std::string& title) {
    font_ = MessageFontAt(dpi_);
    const std::vector<WORD> form = EmptyTemplate(Wide(title));
    return DialogBoxIndirectParamW(GetModuleHandleW(nullptr),
                                   reinterpret_cast<const DLGTEMPLATE*>(form.data()), owner_,
                                   &Dialog::Proc, reinterpret_cast<LPARAM>(this));
  }

 protected:
  // Makes the controls, sizes the dialog and gives the keyboard focus to a control.
  virtual void Build() = 0;
  // A button was pressed, or Enter or Escape pressed one.
  virtual void Command(int id) = 0;
  // A notification of a control; true when it was answered with `result`.
  virtual bool Notify(const NMHDR& /*header*/, LRESULT& /*result*/) { return false; }

  int Px(int pixelsAt96) const { return ScaledPixels(pixelsAt96, dpi_); }

  HWND Add(const wchar_t* className, const std::wstring& text, DWORD style, DWORD exStyle, int id,
           const RECT& place) {
    HWND control = CreateWindowExW(
        exStyle, className, text.c_str(), kControlStyle | style, place.left, place.top,
        place.right - place.left, place.bottom - place.top, dialog_,
        reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), GetModuleHandleW(nullptr), nullptr);
    SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(font_), FALSE);
    return control;
  }

  // The text as the static control draws it, its lines broken at `width`.
  struct Extent {
    int width;
    int height;
  };
  Extent TextSize(const std::wstring& text, int width) const {
    HDC dc = GetDC(dialog_);
    HGDIOBJ old = SelectObject(dc, font_);
    RECT box{0, 0, width, 0};
    DrawTextW(dc, text.c_str(), static_cast<int>(text.size()), &box, kTextFormat | DT_CALCRECT);
    SelectObject(dc, old);
    ReleaseDC(dialog_, dc);
    return Extent{static_cast<int>(box.right), static_cast<int>(box.bottom)};
  }

  struct Button {
    int id;
    std::wstring caption;
  };
  // The buttons in a row whose right end is `right`, at `top`; the row's width.
  int ButtonsWidth(const std::vector<Button>& buttons) const {
    int width = 0;
    for (const Button& button : buttons) width += ButtonWidth(button.caption) + Px(kButtonGap);
    return width - Px(kButtonGap);
  }
  void AddButtons(const std::vector<Button>& buttons, int defaultId, int right, int top) {
    int left = right - ButtonsWidth(buttons);
    for (const Button& button : buttons) {
      const int width = ButtonWidth(button.caption);
      const DWORD kind = button.id == defaultId ? BS_DEFPUSHBUTTON : BS_PUSHBUTTON;
      Add(L"BUTTON", button.caption, WS_TABSTOP | kind, 0, button.id,
          RECT{left, top, left + width, top + Px(kButtonHeight)});
      left += width + Px(kButtonGap);
    }
    SendMessageW(dialog_, DM_SETDEFID, static_cast<WPARAM>(defaultId), 0);
  }

  // The widest client area that the dialog may have: nine tenths of the work area of its
  // owner's monitor, less the dialog's frame.
  int MostWidth() const {
    RECT outer{};
    RECT client{};
    GetWindowRect(dialog_, &outer);
    GetClientRect(dialog_, &client);
    const RECT work = WorkArea();
    return (work.right - work.left) * 9 / 10 - (outer.right - outer.left - client.right);
  }

  // Gives the dialog a client area of `width` by `height` and centres it over its owner, inside
  // the work area of the owner's monitor.
  void Place(int width, int height) {
    RECT outer{};
    RECT client{};
    GetWindowRect(dialog_, &outer);
    GetClientRect(dialog_, &client);
    const int fullWidth = outer.right - outer.left - client.right + width;
    const int fullHeight = outer.bottom - outer.top - client.bottom + height;
    RECT over{};
    if (!owner_ || !GetWindowRect(owner_, &over))
      SystemParametersInfoW(SPI_GETWORKAREA, 0, &over, 0);
    const RECT work = WorkArea();
    const int left = std::clamp((over.left + over.right - fullWidth) / 2, work.left,
                                std::max(work.left, work.right - fullWidth));
    const int top = std::clamp((over.top + over.bottom - fullHeight) / 2, work.top,
                               std::max(work.top, work.bottom - fullHeight));
    SetWindowPos(dialog_, nullptr, left, top, fullWidth, fullHeight, SWP_NOZORDER | SWP_NOACTIVATE);
  }

  HWND dialog_ = nullptr;
  HFONT font_ = nullptr;

 private:
  // The work area of the monitor that the owner is on (the nearest one).
  RECT WorkArea() const {
    RECT over{};
    if (!owner_ || !GetWindowRect(owner_, &over))
      SystemParametersInfoW(SPI_GETWORKAREA, 0, &over, 0);
    MONITORINFO monitor{};
    monitor.cbSize = sizeof monitor;
    GetMonitorInfoW(MonitorFromRect(&over, MONITOR_DEFAULTTONEAREST), &monitor);
    return monitor.rcWork;
  }

  int ButtonWidth(const std::wstring& caption) const {
    return std::max(Px(kButtonMinWidth),
                    TextSize(caption, Px(kListWidth)).width + 2 * Px(kButtonPadding));
  }

  static INT_PTR CALLBACK Proc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_INITDIALOG) {
      auto* self = reinterpret_cast<Dialog*>(lParam);
      SetWindowLongPtrW(window, DWLP_USER, lParam);
      self->dialog_ = window;
      self->Build();
      return FALSE;  // Build has given the focus
    }
    auto* self = reinterpret_cast<Dialog*>(GetWindowLongPtrW(window, DWLP_USER));
    if (!self) return FALSE;
    switch (message) {
      case WM_COMMAND:
        if (HIWORD(wParam) == BN_CLICKED) self->Command(LOWORD(wParam));
        return TRUE;
      case WM_NOTIFY: {
        LRESULT result = 0;
        if (!self->Notify(*reinterpret_cast<const NMHDR*>(lParam), result)) return FALSE;
        SetWindowLongPtrW(window, DWLP_MSGRESULT, result);
        return TRUE;
      }
      default:
        return FALSE;
    }
  }

  HWND owner_;
  int dpi_;
};

class Report final : public Dialog {
 public:
  Report(HWND owner, int dpi, const std::string& text, const std::string& action)
      : Dialog(owner, dpi), text_(Wide(text)), action_(Wide(action)) {}
  ~Report() override {
    if (icon_) DestroyIcon(icon_);
  }

 private:
  void Build() override {
    const int iconSize = Px(kIconSize);
    icon_ = InformationIcon(iconSize);
    HWND icon = Add(L"STATIC", L"", SS_ICON, 0, -1,
                    RECT{Px(kMargin), Px(kMargin), Px(kMargin) + iconSize, Px(kMargin) + iconSize});
    SendMessageW(icon, STM_SETICON,
                 reinterpret_cast<WPARAM>(icon_ ? icon_ : LoadIconW(nullptr, IDI_INFORMATION)), 0);
    SetWindowPos(icon, nullptr, 0, 0, iconSize, iconSize,
                 SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);

    const Extent text = TextSize(text_, Px(kReportTextWidth));
    const int textLeft = Px(kMargin) + iconSize + Px(kIconGap);
    // A short text stands beside the icon's middle, as a message box's does.
    const int textTop = Px(kMargin) + std::max(0, (iconSize - text.height) / 2);
    Add(L"STATIC", text_, SS_LEFT | SS_NOPREFIX, 0, kDialogText,
        RECT{textLeft, textTop, textLeft + text.width, textTop + text.height});

    const std::vector<Button> buttons{{IDOK, Wide(texts::Tr(texts::kOk))},
                                      {kReportAction, action_}};
    const int buttonsTop = Px(kMargin) + std::max(iconSize, text.height) + Px(kControlGap);
    const int width =
        std::max(textLeft + text.width, Px(kMargin) + ButtonsWidth(buttons)) + Px(kMargin);
    AddButtons(buttons, IDOK, width - Px(kMargin), buttonsTop);
    Place(width, buttonsTop + Px(kButtonHeight) + Px(kMargin));
    SetFocus(GetDlgItem(dialog_, IDOK));
  }

  void Command(int id) override {
    if (id == kReportAction) EndDialog(dialog_, 1);
    if (id == IDOK || id == IDCANCEL) EndDialog(dialog_, 0);
  }

  std::wstring text_;
  std::wstring action_;
  HICON icon_ = nullptr;
};

class RemovalChoice final : public Dialog {
 public:
  RemovalChoice(HWND owner, int dpi, const std::string& text, const std::string& action,
                const std::vector<repair::messages::RemovalChoice>& files)
      : Dialog(owner, dpi), text_(Wide(text)), action_(Wide(action)), files_(files) {}

  // The rows checked when Remove selected was pressed.
  const std::vector<std::size_t>& Checked() const { return checked_; }

 private:
  void Build() override {
    const int left = Px(kMargin);
    list_ = Add(
        WC_LISTVIEWW, L"",
        WS_TABSTOP | WS_VSCROLL | LVS_REPORT | LVS_SINGLESEL | LVS_SHOWSELALWAYS | LVS_NOSORTHEADER,
        WS_EX_CLIENTEDGE, kRemovalList, RECT{left, 0, left + Px(kListWidth), Px(kListHeight)});
    const DWORD extended = LVS_EX_CHECKBOXES | LVS_EX_FULLROWSELECT | LVS_EX_INFOTIP;
    SendMessageW(list_, LVM_SETEXTENDEDLISTVIEWSTYLE, extended, extended);
    const std::wstring headings[] = {Wide(texts::Tr(texts::kFileColumn)),
                                     Wide(texts::Tr(texts::kReasonColumn))};
    for (int column = 0; column < 2; ++column) {
      LVCOLUMNW heading{};
      heading.mask = LVCF_TEXT | LVCF_WIDTH | LVCF_SUBITEM;
      heading.pszText = const_cast<wchar_t*>(headings[column].c_str());
      heading.cx = Px(kFileColumnWidth);
      heading.iSubItem = column;
      SendMessageW(list_, LVM_INSERTCOLUMNW, static_cast<WPARAM>(column),
                   reinterpret_cast<LPARAM>(&heading));
    }
    for (std::size_t row = 0; row < files_.size(); ++row) {
      std::wstring name = Wide(files_[row].name);
      std::wstring reason = Wide(files_[row].reason);
      LVITEMW item{};
      item.mask = LVIF_TEXT;
      item.iItem = static_cast<int>(row);
      item.pszText = name.data();
      const auto at = static_cast<int>(
          SendMessageW(list_, LVM_INSERTITEMW, 0, reinterpret_cast<LPARAM>(&item)));
      item.iItem = at;
      item.iSubItem = 1;
      item.pszText = reason.data();
      SendMessageW(list_, LVM_SETITEMTEXTW, static_cast<WPARAM>(at),
                   reinterpret_cast<LPARAM>(&item));
      ListView_SetCheckState(list_, at, TRUE);
    }
    // Both columns as wide as their widest line (the name with its check box), the list widened
    // for them up to most of the screen's width; beyond that it scrolls sideways. The reason then
    // takes the rest of the list's width, beside its scroll bar when it has one.
    RECT outer{};
    RECT inside{};
    GetWindowRect(list_, &outer);
    GetClientRect(list_, &inside);
    const int frame = static_cast<int>(outer.right - outer.left - inside.right);
    int columns[2] = {};
    for (int column = 0; column < 2; ++column) {
      SendMessageW(list_, LVM_SETCOLUMNWIDTH, static_cast<WPARAM>(column),
                   MAKELPARAM(LVSCW_AUTOSIZE, 0));
      columns[column] = std::max(Px(kFileColumnWidth),
                                 static_cast<int>(SendMessageW(list_, LVM_GETCOLUMNWIDTH,
                                                               static_cast<WPARAM>(column), 0)));
    }
    SendMessageW(list_, LVM_SETCOLUMNWIDTH, 0, MAKELPARAM(columns[0], 0));
    const int width = std::clamp(columns[0] + columns[1] + frame, Px(kListWidth),
                                 std::max(Px(kListWidth), MostWidth() - 2 * Px(kMargin)));

    const Extent text = TextSize(text_, width);
    Add(L"STATIC", text_, SS_LEFT | SS_NOPREFIX, 0, kDialogText,
        RECT{left, Px(kMargin), left + text.width, Px(kMargin) + text.height});
    const int listTop = Px(kMargin) + text.height + Px(kControlGap);
    SetWindowPos(list_, nullptr, left, listTop, width, Px(kListHeight),
                 SWP_NOZORDER | SWP_NOACTIVATE);
    GetClientRect(list_, &inside);
    SendMessageW(list_, LVM_SETCOLUMNWIDTH, 1,
                 MAKELPARAM(std::max(columns[1], static_cast<int>(inside.right) - columns[0]), 0));
    if (!files_.empty()) {
      ListView_SetItemState(list_, 0, LVIS_FOCUSED, LVIS_FOCUSED);
    }

    const std::vector<Button> buttons{{kRemoveSelected, action_},
                                      {IDCANCEL, Wide(texts::Tr(texts::kKeep))}};
    const int buttonsTop = listTop + Px(kListHeight) + Px(kControlGap);
    AddButtons(buttons, IDCANCEL, left + width, buttonsTop);
    Place(left + width + Px(kMargin), buttonsTop + Px(kButtonHeight) + Px(kMargin));
    // Space checks and unchecks the row that has the focus; Enter still keeps the files.
    SetFocus(list_);
  }

  void Command(int id) override {
    if (id == kRemoveSelected) {
      checked_.clear();
      const auto rows = static_cast<int>(SendMessageW(list_, LVM_GETITEMCOUNT, 0, 0));
      for (int row = 0; row < rows; ++row) {
        if (ListView_GetCheckState(list_, row)) checked_.push_back(static_cast<std::size_t>(row));
      }
      EndDialog(dialog_, 1);
    }
    if (id == IDOK || id == IDCANCEL) EndDialog(dialog_, 0);
  }

  // A row's tip is its file's detail: the reason with the command that it speaks of.
  bool Notify(const NMHDR& header, LRESULT& result) override {
    if (header.hwndFrom != list_ || header.code != LVN_GETINFOTIPW) return false;
    auto& tip = const_cast<NMLVGETINFOTIPW&>(reinterpret_cast<const NMLVGETINFOTIPW&>(header));
    const auto row = static_cast<std::size_t>(tip.iItem);
    if (row < files_.size() && !files_[row].detail.empty() && tip.pszText && tip.cchTextMax > 0) {
      const std::wstring detail = Wide(files_[row].detail);
      lstrcpynW(tip.pszText, detail.c_str(), tip.cchTextMax);
    }
    result = 0;
    return true;
  }

  std::wstring text_;
  std::wstring action_;
  const std::vector<repair::messages::RemovalChoice>& files_;
  HWND list_ = nullptr;
  std::vector<std::size_t> checked_;
};

}  // namespace

bool RunReport(HWND owner, int dpi, const std::string& text, const std::string& title,
               const std::string& action) {
  Report report(owner, dpi, text, action);
  return report.Run(title) == 1;
}

std::optional<std::vector<std::size_t>> RunRemovalChoice(
    HWND owner, int dpi, const std::string& text, const std::string& title,
    const std::string& action, const std::vector<repair::messages::RemovalChoice>& files) {
  // The list view's class is registered by the common controls.
  INITCOMMONCONTROLSEX classes{sizeof classes, ICC_LISTVIEW_CLASSES};
  InitCommonControlsEx(&classes);
  RemovalChoice choice(owner, dpi, text, action, files);
  if (choice.Run(title) != 1) return std::nullopt;
  return choice.Checked();
}

}  // namespace kestrova::ui::win32
