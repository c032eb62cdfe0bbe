// SPDX-License-Identifier: GPL-3.0-or-later
// kestrova-probe.exe: drives the running Kestrova window from outside, for the tests under Wine.
//
// usage: kestrova-probe COMMAND [ARGS] [COMMAND [ARGS]]...
//   window MS          wait up to MS milliseconds for the main window
//   layout             print the client size, the window style and every control:
//                      "control<TAB>id<TAB>left<TAB>top<TAB>width<TAB>height<TAB>visible<TAB>
//                      enabled<TAB>text<TAB>left<TAB>top<TAB>width<TAB>height", the control's
//                      rectangle and then its client area, in the main window's client coordinates
//   dpi DPI            send the window WM_DPICHANGED for DPI dots per inch, with the rectangle the
//                      system would suggest: the same top-left corner, the window scaled
//   colours ID         print "colours<TAB>ID<TAB>CORNER<TAB>YELLOW", the colour (RRGGBB) of the
//                      control's bottom-right pixel on the screen and the width of the columns
//                      that hold the folder's yellow
//   list               print "item<TAB>TEXT" for every drive list entry
//   select LETTER      select the first entry that begins with LETTER and notify the window as a
//                      user's click does
//   volume EVENT LETTER send the window WM_DEVICECHANGE as the system does when the volume of
//                      drive LETTER came (EVENT "arrival") or went ("removal"), and wait until
//                      the window has handled what followed
//   click ID           click control ID (it must be enabled), as the user's click does
//   wait-enabled ID MS wait until control ID is enabled
//   message MS         wait for a message box, print "title<TAB>..." and "text<TAB>..." (CR and
//                      LF written as \r and \n), then press its OK button
//   answer yes|no MS   wait for a question box (Yes and No), print its title and text as message
//                      does, then press Yes or No
//   report MS          wait for the report of a change (a box with a second button), print its
//                      "title<TAB>...", "text<TAB>...", "button<TAB>ID<TAB>CAPTION" for each button
//                      and "default<TAB>ID", the button that Enter presses, then press its OK
//   report-action MS   the same, then press its second button instead
//   report-open MS     the same, and leave it open (for report or report-action to press)
//   removals MS        wait for the removal dialog and print its title, text, buttons and default
//                      button as report does, then "dialog<TAB>WIDTH<TAB>HEIGHT" (its client
//                      area), "row<TAB>N<TAB>NAME<TAB>REASON<TAB>CHECKED" for each row of its
//                      list (CHECKED 1 or 0) and "room<TAB>N<TAB>LABEL<TAB>NAME", the width of the
//                      row's first column beside its check box and the width that its name takes
//                      in the list's font; it stays open
//   uncheck N          uncheck row N of the removal dialog's list
//   press BUTTON       in the removal dialog, press "remove" (its accepting button, 删除所选 or
//                      执行所选) or "keep", or the key "enter" or "escape"; wait until the dialog
//                      is gone
//   cursor ID          move the mouse over the middle of control ID and print
//                      "cursor<TAB>ID<TAB>HANDLE", the cursor that shows there
//   focus              print "focus<TAB>ID", the control that has the keyboard focus
//   tab                press the Tab key in the window
//   enter              press the Enter key in the window
//   space              press the Space bar in the window
//   f5                 press the F5 key in the window
//   close MS           ask the window to close; print "closed" once it is gone, else "open"
//   gone MS            wait up to MS milliseconds for the window to be gone by itself; print
//                      "gone", else "open"
//   look               print "look<TAB>CAPTION<TAB>WIDTH<TAB>ENABLED", the window's caption, the
//                      progress bar's width and whether the list, Refresh and Repair are enabled
//                      (three digits, 1 for enabled), all as the system keeps them: this works
//                      while the window's process is stopped
//   console CP EXE ARGS set this console's output code page to CP, blank its screen, run EXE in
//                      it with ARGS on its command line (as they are) and its standard output and
//                      error on the console, and wait for its end; print "screen<TAB>TEXT" for
//                      every row of the screen down to the cursor's (trailing blanks dropped), read
//                      back from the console, then "console<TAB>CP<TAB>AFTER", the code page that
//                      the console has then
//   hold LETTER        open \\.\LETTER: for exclusive access, print "held", and keep it open
//                      until standard input ends
//   setenv NAME VALUE  set variable NAME of this program's environment, which the programs that it
//                      starts inherit
//   selection          print "selection<TAB>TEXT", the selected entry of the drive list (empty when
//                      none is)
//   guard MS           wait up to MS milliseconds for kestrova-guard's window; print
//                      "guard<TAB>N", how many guard windows there are
//   guard-volume EVENT LETTER  send the guard's window WM_DEVICECHANGE as volume does; return once
//                      it has handled it
//   guard-click        send the guard's window what its icon sends when the user clicks its notice
//   guard-menu         post the guard's window what its icon sends when the user asks for its menu
//   guard-command ID   send the guard's window its menu's command ID, as a choice in the menu does
//   run COMMANDLINE    start the command line as it is, its standard output and error into a
//                      pipe, and wait for its end; print "out<TAB>LINE" for every line of what it
//                      wrote (as the bytes came), then "status<TAB>CODE", its exit code
// The commands that act on the window (select, click, cursor, tab, enter, dpi) return once its
// thread has handled what they gave it, or has opened a message box meanwhile. The window is found
// by its class, whatever its caption says. Output is UTF-8.
// Any failure prints "error<TAB>what" and ends with status 1.
#include <windows.h>

#include <commctrl.h>
#include <dbt.h>
#include <shellapi.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "ui/win32/guard/guard_ids.h"
#include "ui/win32/ids.h"

namespace {

using namespace kestrova::ui::win32;

constexpr DWORD kPollMs = 50;
constexpr DWORD kAnswerMs = 60000;      // only keeps a window that never answers from hanging
constexpr int kMessageTextId = 0xFFFF;  // the static control that holds a message box's text
constexpr const wchar_t* kDialogClass = L"#32770";

std::string Utf8(const std::wstring& wide) {
  if (wide.empty()) return {};
  const int length = WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()),
                                         nullptr, 0, nullptr, nullptr);
  std::string text(static_cast<std::size_t>(length), '\0');
  WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), text.data(), length,
                      nullptr, nullptr);
  return text;
}

std::wstring Wide(const std::string& utf8) {
  const int length = MultiByteToWideChar(CP_UTF8, 0, utf8.c_str(), -1, nullptr, 0);
  std::wstring wide(static_cast<std::size_t>(length), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, utf8.c_str(), -1, wide.data(), length);
  wide.resize(wide.size() - 1);
  return wide;
}

std::string WindowText(HWND window) {
  std::wstring text(static_cast<std::size_t>(GetWindowTextLengthW(window)) + 1, L'\0');
  text.resize(
      static_cast<std::size_t>(GetWindowTextW(window, text.data(), static_cast<int>(text.size()))));
  return Utf8(text);
}

std::string Escaped(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '\r') {
      out += "\\r";
    } else if (c == '\n') {
      out += "\\n";
    } else {
      out += c;
    }
  }
  return out;
}

[[noreturn]] void Fail(const std::string& what) {
  std::printf("error\t%s\n", what.c_str());
  std::fflush(stdout);
  std::exit(1);
}

HWND MainWindow() { return FindWindowW(kWindowClass, nullptr); }

HWND RequireMainWindow() {
  HWND window = MainWindow();
  if (!window) Fail("no main window");
  return window;
}

HWND Control(int id) {
  struct Search {
    int id;
    HWND found;
  } search{id, nullptr};
  EnumChildWindows(
      RequireMainWindow(),
      [](HWND child, LPARAM data) -> BOOL {
        auto* s = reinterpret_cast<Search*>(data);
        if (GetDlgCtrlID(child) != s->id) return TRUE;
        s->found = child;
        return FALSE;
      },
      reinterpret_cast<LPARAM>(&search));
  if (!search.found) Fail("no control " + std::to_string(id));
  return search.found;
}

template <typename Condition>
bool WaitFor(DWORD timeoutMs, Condition condition) {
  const ULONGLONG end = GetTickCount64() + timeoutMs;
  while (!condition()) {
    if (GetTickCount64() >= end) return false;
    Sleep(kPollMs);
  }
  return true;
}

// Waits until the window's thread has handled every message and every input queued for it so
// far. A pixel of the window is made invalid: its thread repaints only once it has no posted
// message and no input left, in its own message loop or in the modal one of a message box.
void Settle() {
  HWND window = RequireMainWindow();
  const RECT pixel{0, 0, 1, 1};  // in the client area, left of and above every control
  if (!InvalidateRect(window, &pixel, FALSE)) Fail("cannot invalidate the window");
  if (!WaitFor(kAnswerMs, [&] { return GetUpdateRect(window, nullptr, FALSE) == FALSE; })) {
    Fail("the window does not repaint");
  }
}

void Layout() {
  HWND window = RequireMainWindow();
  RECT client{};
  GetClientRect(window, &client);
  std::printf("client\t%ld\t%ld\n", client.right, client.bottom);
  std::printf("style\t0x%08lX\n", static_cast<unsigned long>(GetWindowLongW(window, GWL_STYLE)));
  EnumChildWindows(
      window,
      [](HWND child, LPARAM data) -> BOOL {
        HWND main = reinterpret_cast<HWND>(data);
        RECT rect{};
        GetWindowRect(child, &rect);
        MapWindowPoints(nullptr, main, reinterpret_cast<POINT*>(&rect), 2);
        RECT client{};
        GetClientRect(child, &client);
        MapWindowPoints(child, main, reinterpret_cast<POINT*>(&client), 2);
        std::printf("control\t%d\t%ld\t%ld\t%ld\t%ld\t%d\t%d\t%s\t%ld\t%ld\t%ld\t%ld\n",
                    GetDlgCtrlID(child), rect.left, rect.top, rect.right - rect.left,
                    rect.bottom - rect.top, IsWindowVisible(child) ? 1 : 0,
                    IsWindowEnabled(child) ? 1 : 0, WindowText(child).c_str(), client.left,
                    client.top, client.right - client.left, client.bottom - client.top);
        return TRUE;
      },
      reinterpret_cast<LPARAM>(window));
}

void List() {
  HWND list = Control(kList1);
  const LRESULT count = SendMessageW(list, LB_GETCOUNT, 0, 0);
  for (LRESULT i = 0; i < count; ++i) {
    std::wstring text(static_cast<std::size_t>(SendMessageW(list, LB_GETTEXTLEN, i, 0)) + 1, L'\0');
    text.resize(static_cast<std::size_t>(
        SendMessageW(list, LB_GETTEXT, i, reinterpret_cast<LPARAM>(text.data()))));
    std::printf("item\t%s\n", Utf8(text).c_str());
  }
}

// Posted, not sent: the handler may open a modal message box, which a sent message would wait on.
// Returns once the handler has ended or opened one.
void Notify(HWND control, int code) {
  const int id = GetDlgCtrlID(control);
  if (!PostMessageW(GetParent(control), WM_COMMAND, MAKEWPARAM(id, code),
                    reinterpret_cast<LPARAM>(control))) {
    Fail("cannot notify control " + std::to_string(id));
  }
  Settle();
}

void Selection() {
  HWND list = Control(kList1);
  const LRESULT index = SendMessageW(list, LB_GETCURSEL, 0, 0);
  std::wstring text;
  if (index != LB_ERR) {
    text.assign(static_cast<std::size_t>(SendMessageW(list, LB_GETTEXTLEN, index, 0)) + 1, L'\0');
    text.resize(static_cast<std::size_t>(
        SendMessageW(list, LB_GETTEXT, index, reinterpret_cast<LPARAM>(text.data()))));
  }
  std::printf("selection\t%s\n", Utf8(text).c_str());
}

int GuardWindows() {
  int count = 0;
  for (HWND window = FindWindowExW(nullptr, nullptr, guard::kGuardClass, nullptr); window;
       window = FindWindowExW(nullptr, window, guard::kGuardClass, nullptr)) {
    ++count;
  }
  return count;
}

HWND RequireGuard() {
  HWND window = FindWindowW(guard::kGuardClass, nullptr);
  if (!window) Fail("no guard window");
  return window;
}

void Select(const std::string& letter) {
  HWND list = Control(kList1);
  const LRESULT index = SendMessageW(list, LB_FINDSTRING, static_cast<WPARAM>(-1),
                                     reinterpret_cast<LPARAM>(Wide(letter).c_str()));
  if (index == LB_ERR) Fail("no entry " + letter);
  SendMessageW(list, LB_SETCURSEL, static_cast<WPARAM>(index), 0);
  Notify(list, LBN_SELCHANGE);
  std::printf("selected\t%ld\n", static_cast<long>(index));
}

// Sends `window` WM_DEVICECHANGE as the system does when the volume of drive `letter` came or went.
void SendVolumeChange(HWND window, const std::string& event, const std::string& letter) {
  if (letter.size() != 1 || letter[0] < 'A' || letter[0] > 'Z') Fail("no drive letter " + letter);
  DEV_BROADCAST_VOLUME volume{};
  volume.dbcv_size = sizeof volume;
  volume.dbcv_devicetype = DBT_DEVTYP_VOLUME;
  volume.dbcv_unitmask = 1u << (letter[0] - 'A');
  const WPARAM code = event == "arrival" ? DBT_DEVICEARRIVAL : DBT_DEVICEREMOVECOMPLETE;
  if (event != "arrival" && event != "removal") Fail("no volume event " + event);
  SendMessageW(window, WM_DEVICECHANGE, code, reinterpret_cast<LPARAM>(&volume));
}

void VolumeChanged(const std::string& event, const std::string& letter) {
  SendVolumeChange(RequireMainWindow(), event, letter);
  Settle();
  std::printf("volume\t%s\t%s\n", event.c_str(), letter.c_str());
}

void Click(int id) {
  HWND control = Control(id);
  if (!IsWindowEnabled(control) || !IsWindowVisible(control)) Fail("control is not clickable");
  Notify(control, BN_CLICKED);  // STN_CLICKED has the same code
  std::printf("clicked\t%d\n", id);
}

HWND FindMessageBox() {
  DWORD process = 0;
  GetWindowThreadProcessId(RequireMainWindow(), &process);
  struct Search {
    DWORD process;
    HWND found;
  } search{process, nullptr};
  EnumWindows(
      [](HWND window, LPARAM data) -> BOOL {
        auto* s = reinterpret_cast<Search*>(data);
        wchar_t className[16] = {};
        GetClassNameW(window, className, 16);
        DWORD owner = 0;
        GetWindowThreadProcessId(window, &owner);
        if (owner != s->process || lstrcmpW(className, kDialogClass) != 0 ||
            !IsWindowVisible(window)) {
          return TRUE;
        }
        s->found = window;
        return FALSE;
      },
      reinterpret_cast<LPARAM>(&search));
  return search.found;
}

// Waits for a message box, prints its title and text, and presses its button `button`.
void Message(DWORD timeoutMs, int button = IDOK) {
  HWND box = nullptr;
  if (!WaitFor(timeoutMs, [&] { return (box = FindMessageBox()) != nullptr; })) {
    Fail("no message box");
  }
  HWND text = GetDlgItem(box, kMessageTextId);
  std::printf("title\t%s\n", Escaped(WindowText(box)).c_str());
  std::printf("text\t%s\n", Escaped(text ? WindowText(text) : std::string()).c_str());
  PostMessageW(box, WM_COMMAND, MAKEWPARAM(button, BN_CLICKED), 0);
  if (!WaitFor(timeoutMs, [&] { return !IsWindow(box); })) Fail("message box stays open");
}

// Memory in the window's process, where the pointers of the messages sent to its controls must
// point: the system carries no list view message's data from one process to another.
class Remote {
 public:
  explicit Remote(std::size_t size) : size_(size) {
    DWORD processId = 0;
    GetWindowThreadProcessId(RequireMainWindow(), &processId);
    process_ =
        OpenProcess(PROCESS_VM_OPERATION | PROCESS_VM_READ | PROCESS_VM_WRITE, FALSE, processId);
    if (!process_) Fail("cannot open the window's process");
    at_ = VirtualAllocEx(process_, nullptr, size, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
    if (!at_) Fail("cannot allocate in the window's process");
  }
  ~Remote() {
    VirtualFreeEx(process_, at_, 0, MEM_RELEASE);
    CloseHandle(process_);
  }
  Remote(const Remote&) = delete;
  Remote& operator=(const Remote&) = delete;

  // Where the bytes at `offset` are, in the window's process.
  void* At(std::size_t offset = 0) const { return static_cast<char*>(at_) + offset; }
  void Write(const void* data, std::size_t size, std::size_t offset = 0) const {
    if (offset + size > size_ || !WriteProcessMemory(process_, At(offset), data, size, nullptr)) {
      Fail("cannot write into the window's process");
    }
  }
  void Read(void* data, std::size_t size, std::size_t offset = 0) const {
    if (offset + size > size_ || !ReadProcessMemory(process_, At(offset), data, size, nullptr)) {
      Fail("cannot read from the window's process");
    }
  }

 private:
  std::size_t size_;
  HANDLE process_ = nullptr;
  void* at_ = nullptr;
};

// The text of row `row`'s column `column`.
std::string RowText(HWND list, int row, int column) {
  constexpr int kTextChars = 512;
  Remote memory(sizeof(LVITEMW) + kTextChars * sizeof(wchar_t));
  LVITEMW item{};
  item.iSubItem = column;
  item.pszText = static_cast<wchar_t*>(memory.At(sizeof item));
  item.cchTextMax = kTextChars;
  memory.Write(&item, sizeof item);
  const auto length = static_cast<std::size_t>(SendMessageW(
      list, LVM_GETITEMTEXTW, static_cast<WPARAM>(row), reinterpret_cast<LPARAM>(memory.At())));
  std::wstring text(std::min<std::size_t>(length, kTextChars), L'\0');
  memory.Read(text.data(), text.size() * sizeof(wchar_t), sizeof item);
  return Utf8(text);
}

// The width of row `row`'s label in the first column: the column beside the check box.
int LabelWidth(HWND list, int row) {
  Remote memory(sizeof(RECT));
  RECT label{};
  label.left = LVIR_LABEL;
  memory.Write(&label, sizeof label);
  if (!SendMessageW(list, LVM_GETITEMRECT, static_cast<WPARAM>(row),
                    reinterpret_cast<LPARAM>(memory.At()))) {
    Fail("no rectangle of row " + std::to_string(row));
  }
  memory.Read(&label, sizeof label);
  return static_cast<int>(label.right - label.left);
}

// The width that `text` takes in the list's font.
int TextWidth(HWND list, const std::wstring& text) {
  Remote memory((text.size() + 1) * sizeof(wchar_t));
  memory.Write(text.c_str(), (text.size() + 1) * sizeof(wchar_t));
  return static_cast<int>(
      SendMessageW(list, LVM_GETSTRINGWIDTHW, 0, reinterpret_cast<LPARAM>(memory.At())));
}

// Waits for one of the window's dialogs that holds control `id`.
HWND WaitForDialogWith(int id, DWORD timeoutMs, const char* what) {
  HWND box = nullptr;
  if (!WaitFor(timeoutMs, [&] { return (box = FindMessageBox()) != nullptr; })) {
    Fail(std::string("no ") + what);
  }
  if (!GetDlgItem(box, id)) Fail(std::string("not the ") + what + ": " + WindowText(box));
  return box;
}

// The dialog's title and text, its buttons in their order and the one that Enter presses.
void PrintDialog(HWND box) {
  std::printf("title\t%s\n", Escaped(WindowText(box)).c_str());
  HWND text = GetDlgItem(box, kDialogText);
  std::printf("text\t%s\n", Escaped(text ? WindowText(text) : std::string()).c_str());
  const LRESULT preset = SendMessageW(box, DM_GETDEFID, 0, 0);
  for (HWND child = GetWindow(box, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
    wchar_t className[16] = {};
    GetClassNameW(child, className, 16);
    const LONG type = GetWindowLongW(child, GWL_STYLE) & BS_TYPEMASK;
    if (lstrcmpiW(className, L"Button") != 0 ||
        (type != BS_PUSHBUTTON && type != BS_DEFPUSHBUTTON)) {
      continue;
    }
    std::printf("button\t%d\t%s\n", GetDlgCtrlID(child), WindowText(child).c_str());
  }
  std::printf("default\t%d\n", HIWORD(preset) == DC_HASDEFID ? LOWORD(preset) : 0);
}

// Presses button `id` of the dialog as a click does and waits until the dialog is gone.
void PressButton(HWND box, int id, DWORD timeoutMs) {
  HWND button = GetDlgItem(box, id);
  if (!button || !IsWindowEnabled(button) || !IsWindowVisible(button)) {
    Fail("button " + std::to_string(id) + " is not clickable");
  }
  PostMessageW(box, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(button));
  if (!WaitFor(timeoutMs, [&] { return !IsWindow(box); })) Fail("the dialog stays open");
}

void Report(bool action, DWORD timeoutMs) {
  HWND box = WaitForDialogWith(kReportAction, timeoutMs, "report");
  PrintDialog(box);
  PressButton(box, action ? kReportAction : IDOK, timeoutMs);
}

void Removals(DWORD timeoutMs) {
  HWND box = WaitForDialogWith(kRemovalList, timeoutMs, "removal dialog");
  PrintDialog(box);
  RECT client{};
  GetClientRect(box, &client);
  std::printf("dialog\t%ld\t%ld\n", client.right, client.bottom);
  HWND list = GetDlgItem(box, kRemovalList);
  const auto rows = static_cast<int>(SendMessageW(list, LVM_GETITEMCOUNT, 0, 0));
  for (int row = 0; row < rows; ++row) {
    const bool checked =
        (SendMessageW(list, LVM_GETITEMSTATE, static_cast<WPARAM>(row), LVIS_STATEIMAGEMASK) >>
         12) == 2;
    const std::string name = RowText(list, row, 0);
    std::printf("row\t%d\t%s\t%s\t%d\n", row, name.c_str(), RowText(list, row, 1).c_str(),
                checked ? 1 : 0);
    std::printf("room\t%d\t%d\t%d\n", row, LabelWidth(list, row), TextWidth(list, Wide(name)));
  }
}

void Uncheck(int row) {
  HWND box = WaitForDialogWith(kRemovalList, 0, "removal dialog");
  HWND list = GetDlgItem(box, kRemovalList);
  Remote memory(sizeof(LVITEMW));
  LVITEMW item{};
  item.stateMask = LVIS_STATEIMAGEMASK;
  item.state = INDEXTOSTATEIMAGEMASK(1);  // the empty check box
  memory.Write(&item, sizeof item);
  if (!SendMessageW(list, LVM_SETITEMSTATE, static_cast<WPARAM>(row),
                    reinterpret_cast<LPARAM>(memory.At()))) {
    Fail("cannot uncheck row " + std::to_string(row));
  }
  std::printf("unchecked\t%d\n", row);
}

void Cursor(int id) {
  RECT rect{};
  GetWindowRect(Control(id), &rect);
  // Off the control first, so that moving onto it is a change the window hears about. The system
  // queues the mouse move as SetCursorPos returns, so that Settle sees it handled.
  SetCursorPos(rect.left - 1, rect.top - 1);
  Settle();
  // A motion that the display reports late can carry the pointer back off the control after the
  // move onto it: the cursor counts once the pointer is still on the control after it was read.
  const POINT target{(rect.left + rect.right) / 2, (rect.top + rect.bottom) / 2};
  CURSORINFO info{};
  info.cbSize = sizeof info;
  const bool stayed = WaitFor(kAnswerMs, [&] {
    SetCursorPos(target.x, target.y);
    Settle();
    if (!GetCursorInfo(&info)) Fail("no cursor information");
    POINT at{};
    return GetCursorPos(&at) && at.x == target.x && at.y == target.y;
  });
  if (!stayed) Fail("the pointer does not stay on the control");
  std::printf("cursor\t%d\t%p\n", id, static_cast<void*>(info.hCursor));
}

HWND Focused() {
  GUITHREADINFO info{};
  info.cbSize = sizeof info;
  if (!GetGUIThreadInfo(GetWindowThreadProcessId(RequireMainWindow(), nullptr), &info)) {
    Fail("no thread information");
  }
  return info.hwndFocus;
}

void Focus() {
  HWND focus = Focused();
  std::printf("focus\t%d\n", focus ? GetDlgCtrlID(focus) : 0);
}

// The key goes through the window's message queue, where its dialog navigation sees it.
void Press(WPARAM key, LPARAM scanCode) {
  HWND focus = Focused();
  if (!focus) Fail("nothing has the focus");
  constexpr LPARAM kOnce = 1;               // repeat count
  constexpr LPARAM kReleased = 0xC0000000;  // previous state down, transition up
  constexpr int kScanCodeShift = 16;
  const LPARAM data = kOnce | scanCode << kScanCodeShift;
  PostMessageW(focus, WM_KEYDOWN, key, data);
  PostMessageW(focus, WM_KEYUP, key, data | kReleased);
  Settle();
}

void PressInRemovals(const std::string& what) {
  constexpr DWORD kGoneMs = 20000;
  HWND box = WaitForDialogWith(kRemovalList, 0, "removal dialog");
  if (what == "remove" || what == "keep") {
    PressButton(box, what == "remove" ? kRemoveSelected : IDCANCEL, kGoneMs);
  } else if (what == "enter" || what == "escape") {
    constexpr LPARAM kEnterScanCode = 0x1C;
    constexpr LPARAM kEscapeScanCode = 0x01;
    if (what == "enter") {
      Press(VK_RETURN, kEnterScanCode);
    } else {
      Press(VK_ESCAPE, kEscapeScanCode);
    }
    if (!WaitFor(kGoneMs, [&] { return !IsWindow(box); })) Fail("the dialog stays open");
  } else {
    Fail("nothing to press named " + what);
  }
  std::printf("pressed\t%s\n", what.c_str());
}

// What the system sends a window whose monitor changes its resolution: the new resolution and a
// suggested rectangle, here at the window's top-left corner and as large as its frame around the
// designed client area at that resolution. The rectangle is written into the window's process,
// where the message's pointer must point.
void ChangeDpi(int dpi) {
  HWND window = RequireMainWindow();
  RECT rect{};
  RECT client{};
  GetWindowRect(window, &rect);
  GetClientRect(window, &client);
  const RECT suggested{rect.left, rect.top,
                       rect.right - client.right +
                           MulDiv(kestrova::ui::kClientWidth, dpi, kestrova::ui::kTwipsPerInch),
                       rect.bottom - client.bottom +
                           MulDiv(kestrova::ui::kClientHeight, dpi, kestrova::ui::kTwipsPerInch)};
  const Remote memory(sizeof suggested);
  memory.Write(&suggested, sizeof suggested);
  DWORD_PTR result = 0;
  const bool answered = SendMessageTimeoutW(window, WM_DPICHANGED, MAKEWPARAM(dpi, dpi),
                                            reinterpret_cast<LPARAM>(memory.At()), SMTO_NORMAL,
                                            kAnswerMs, &result) != 0;
  if (!answered) Fail("no answer to WM_DPICHANGED");
  Settle();
  std::printf("dpi\t%d\n", dpi);
}

bool IsYellow(COLORREF colour) {
  constexpr int kRedFloor = 200, kGreenFloor = 120, kGreenCeiling = 240, kBlueCeiling = 140;
  return GetRValue(colour) >= kRedFloor && GetGValue(colour) >= kGreenFloor &&
         GetGValue(colour) <= kGreenCeiling && GetBValue(colour) <= kBlueCeiling;
}

// The control as it is drawn on the screen.
void Colours(int id) {
  HWND control = Control(id);
  RECT rect{};
  GetWindowRect(control, &rect);
  HDC screen = GetDC(nullptr);
  const COLORREF corner = GetPixel(screen, rect.right - 1, rect.bottom - 1);
  int first = -1;
  int last = -1;
  for (int x = rect.left; x < rect.right; ++x) {
    for (int y = rect.top; y < rect.bottom; ++y) {
      if (!IsYellow(GetPixel(screen, x, y))) continue;
      if (first < 0) first = x;
      last = x;
      break;
    }
  }
  ReleaseDC(nullptr, screen);
  std::printf("colours\t%d\t%02X%02X%02X\t%d\n", id, GetRValue(corner), GetGValue(corner),
              GetBValue(corner), first < 0 ? 0 : last - first + 1);
}

// A handle of this console's screen or input that a child process inherits.
HANDLE ConsoleHandle(const wchar_t* name) {
  SECURITY_ATTRIBUTES inherited{sizeof inherited, nullptr, TRUE};
  HANDLE handle =
      CreateFileW(name, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                  &inherited, OPEN_EXISTING, 0, nullptr);
  if (handle == INVALID_HANDLE_VALUE)
    Fail("no console handle: error " + std::to_string(GetLastError()));
  return handle;
}

void RunInConsole(UINT codePage, const std::string& exe, const std::string& arguments) {
  if (GetConsoleOutputCP() == 0) {
    FreeConsole();
    if (!AllocConsole()) Fail("no console: error " + std::to_string(GetLastError()));
  }
  // Wine's console host may not have taken a console that was just made: a new one is asked for
  // once more before the code page counts as refused.
  if (!SetConsoleOutputCP(codePage)) {
    const DWORD first = GetLastError();
    FreeConsole();
    if (!AllocConsole() || !SetConsoleOutputCP(codePage)) {
      Fail("cannot set the code page: error " + std::to_string(first) + ", then " +
           std::to_string(GetLastError()));
    }
  }
  HANDLE screen = ConsoleHandle(L"CONOUT$");
  HANDLE input = ConsoleHandle(L"CONIN$");
  CONSOLE_SCREEN_BUFFER_INFO info{};
  if (!GetConsoleScreenBufferInfo(screen, &info)) Fail("no screen buffer information");
  DWORD filled = 0;
  const DWORD cells = static_cast<DWORD>(info.dwSize.X) * static_cast<DWORD>(info.dwSize.Y);
  if (!FillConsoleOutputCharacterW(screen, L' ', cells, COORD{0, 0}, &filled) ||
      !SetConsoleCursorPosition(screen, COORD{0, 0})) {
    Fail("cannot blank the screen");
  }

  std::wstring commandLine = L"\"" + Wide(exe) + L"\" " + Wide(arguments);
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = input;
  startup.hStdOutput = screen;
  startup.hStdError = screen;
  PROCESS_INFORMATION process{};
  if (!CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                      &startup, &process)) {
    Fail("cannot start " + exe);
  }
  constexpr DWORD kRunMs = 60000;
  const bool ended = WaitForSingleObject(process.hProcess, kRunMs) == WAIT_OBJECT_0;
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  if (!ended) Fail(exe + " does not end");

  if (!GetConsoleScreenBufferInfo(screen, &info)) Fail("no screen buffer information");
  std::wstring row(static_cast<std::size_t>(info.dwSize.X), L' ');
  for (SHORT y = 0; y <= info.dwCursorPosition.Y; ++y) {
    DWORD read = 0;
    if (!ReadConsoleOutputCharacterW(screen, row.data(), static_cast<DWORD>(row.size()),
                                     COORD{0, y}, &read)) {
      Fail("cannot read the screen");
    }
    std::wstring text = row.substr(0, read);
    text.erase(text.find_last_not_of(L' ') + 1);
    std::printf("screen\t%s\n", Utf8(text).c_str());
  }
  CloseHandle(input);
  CloseHandle(screen);
  std::printf("console\t%u\t%u\n", codePage, GetConsoleOutputCP());
}

void RunCommandLine(const std::string& commandLine) {
  SECURITY_ATTRIBUTES inherited{sizeof inherited, nullptr, TRUE};
  HANDLE readEnd = nullptr;
  HANDLE writeEnd = nullptr;
  if (!CreatePipe(&readEnd, &writeEnd, &inherited, 0) ||
      !SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0)) {
    Fail("no pipe: error " + std::to_string(GetLastError()));
  }
  std::wstring line = Wide(commandLine);
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  startup.hStdOutput = writeEnd;
  startup.hStdError = writeEnd;
  PROCESS_INFORMATION process{};
  if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup,
                      &process)) {
    Fail("cannot start " + commandLine + ": error " + std::to_string(GetLastError()));
  }
  CloseHandle(writeEnd);  // the pipe ends with the last of the child's handles
  std::string output;
  char buffer[4096];
  DWORD got = 0;
  while (ReadFile(readEnd, buffer, sizeof buffer, &got, nullptr) && got > 0) {
    output.append(buffer, got);
  }
  CloseHandle(readEnd);
  WaitForSingleObject(process.hProcess, INFINITE);
  DWORD code = 0;
  GetExitCodeProcess(process.hProcess, &code);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  std::size_t start = 0;
  while (start < output.size()) {
    std::size_t end = output.find('\n', start);
    if (end == std::string::npos) end = output.size();
    std::string text = output.substr(start, end - start);
    if (!text.empty() && text.back() == '\r') text.pop_back();
    std::printf("out\t%s\n", text.c_str());
    start = end + 1;
  }
  std::printf("status\t%lu\n", static_cast<unsigned long>(code));
}

void Hold(const std::string& letter) {
  const std::string path = "\\\\.\\" + letter + ":";
  HANDLE volume = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              FILE_FLAG_NO_BUFFERING, nullptr);
  if (volume == INVALID_HANDLE_VALUE) Fail("open " + std::to_string(GetLastError()));
  std::printf("held\n");
  std::fflush(stdout);
  char buffer[64];
  DWORD got = 0;
  HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
  while (ReadFile(input, buffer, sizeof buffer, &got, nullptr) && got > 0) {
  }
  CloseHandle(volume);
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  auto next = [&](std::size_t& i) -> const std::string& {
    if (i + 1 >= args.size()) Fail("missing argument after " + args[i]);
    return args[++i];
  };
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& command = args[i];
    if (command == "window") {
      const DWORD ms = std::stoul(next(i));
      if (!WaitFor(ms, [] { return MainWindow() != nullptr && IsWindowVisible(MainWindow()); })) {
        Fail("no main window");
      }
      std::printf("window\n");
    } else if (command == "layout") {
      Layout();
    } else if (command == "list") {
      List();
    } else if (command == "select") {
      Select(next(i));
    } else if (command == "volume") {
      const std::string event = next(i);
      VolumeChanged(event, next(i));
    } else if (command == "click") {
      Click(std::stoi(next(i)));
    } else if (command == "wait-enabled") {
      HWND control = Control(std::stoi(next(i)));
      if (!WaitFor(std::stoul(next(i)), [&] { return IsWindowEnabled(control) != FALSE; })) {
        Fail("control stays disabled");
      }
      std::printf("enabled\n");
    } else if (command == "message") {
      Message(std::stoul(next(i)));
    } else if (command == "answer") {
      const int button = next(i) == "yes" ? IDYES : IDNO;
      Message(std::stoul(next(i)), button);
    } else if (command == "close") {
      HWND window = RequireMainWindow();
      PostMessageW(window, WM_CLOSE, 0, 0);
      std::printf(WaitFor(std::stoul(next(i)), [&] { return !IsWindow(window); }) ? "closed\n"
                                                                                  : "open\n");
    } else if (command == "gone") {
      HWND window = MainWindow();
      const bool gone = WaitFor(std::stoul(next(i)), [&] { return !window || !IsWindow(window); });
      std::printf(gone ? "gone\n" : "open\n");
    } else if (command == "look") {
      RECT bar{};
      GetWindowRect(Control(kProgress), &bar);
      std::string enabled;
      for (const int id : {kList1, kCommand2, kCommand1}) {
        enabled += IsWindowEnabled(Control(id)) ? '1' : '0';
      }
      std::printf("look\t%s\t%ld\t%s\n", WindowText(RequireMainWindow()).c_str(),
                  bar.right - bar.left, enabled.c_str());
    } else if (command == "report" || command == "report-action") {
      Report(command == "report-action", std::stoul(next(i)));
    } else if (command == "report-open") {
      PrintDialog(WaitForDialogWith(kReportAction, std::stoul(next(i)), "report"));
    } else if (command == "removals") {
      Removals(std::stoul(next(i)));
    } else if (command == "uncheck") {
      Uncheck(std::stoi(next(i)));
    } else if (command == "press") {
      PressInRemovals(next(i));
    } else if (command == "cursor") {
      Cursor(std::stoi(next(i)));
    } else if (command == "focus") {
      Focus();
    } else if (command == "tab") {
      constexpr LPARAM kTabScanCode = 0x0F;
      Press(VK_TAB, kTabScanCode);
    } else if (command == "enter") {
      constexpr LPARAM kEnterScanCode = 0x1C;
      Press(VK_RETURN, kEnterScanCode);
    } else if (command == "space") {
      constexpr LPARAM kSpaceScanCode = 0x39;
      Press(VK_SPACE, kSpaceScanCode);
    } else if (command == "f5") {
      constexpr LPARAM kF5ScanCode = 0x3F;
      Press(VK_F5, kF5ScanCode);
    } else if (command == "dpi") {
      ChangeDpi(std::stoi(next(i)));
    } else if (command == "colours") {
      Colours(std::stoi(next(i)));
    } else if (command == "console") {
      const UINT codePage = std::stoul(next(i));
      const std::string exe = next(i);
      RunInConsole(codePage, exe, next(i));
    } else if (command == "setenv") {
      const std::string name = next(i);
      if (!SetEnvironmentVariableW(Wide(name).c_str(), Wide(next(i)).c_str())) {
        Fail("cannot set " + name);
      }
    } else if (command == "selection") {
      Selection();
    } else if (command == "guard") {
      if (!WaitFor(std::stoul(next(i)), [] { return GuardWindows() > 0; })) Fail("no guard window");
      std::printf("guard\t%d\n", GuardWindows());
    } else if (command == "guard-volume") {
      const std::string event = next(i);
      SendVolumeChange(RequireGuard(), event, next(i));
    } else if (command == "guard-click") {
      SendMessageW(RequireGuard(), guard::kTrayMessage, 0,
                   MAKELPARAM(NIN_BALLOONUSERCLICK, guard::kTrayIconId));
    } else if (command == "guard-menu") {
      PostMessageW(RequireGuard(), guard::kTrayMessage, 0,
                   MAKELPARAM(WM_CONTEXTMENU, guard::kTrayIconId));
    } else if (command == "guard-command") {
      SendMessageW(RequireGuard(), WM_COMMAND, MAKEWPARAM(std::stoi(next(i)), 0), 0);
    } else if (command == "run") {
      RunCommandLine(next(i));
    } else if (command == "hold") {
      Hold(next(i));
    } else {
      Fail("unknown command " + command);
    }
    std::fflush(stdout);
  }
  return 0;
}
