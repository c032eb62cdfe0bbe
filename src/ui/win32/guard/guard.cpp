// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/win32/guard/guard.h"

#include <dbt.h>
#include <shellapi.h>

#include <algorithm>
#include <cwchar>
#include <string>

#include "ui/win32/guard/guard_ids.h"
#include "ui/win32/guard/stick_look.h"
#include "ui/win32/wide_text.h"
#include "volume/startup.h"
#include "volume/volume.h"
#include "words/messages.h"
#include "words/texts.h"

namespace kestrova::ui::win32::guard {
namespace {

// Posted to itself: look at the drives of wParam's mask. The system's broadcast of an arrival is
// not held up by the look.
constexpr UINT kLookMessage = WM_APP + 2;
static_assert(kTrayMessage == WM_APP + 1);

// The guard's Run value: the user's Run key (volume/startup.h), its name.
constexpr volume::RunKey kRunKey{volume::RegistryRoot::kCurrentUser, false, false};
constexpr const char* kRunValue = "Kestrova guard";

std::wstring ProgramPath() {
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD length = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (length == 0) return {};
    if (length < path.size()) {
      path.resize(length);
      return path;
    }
    path.resize(path.size() * 2);
  }
}

std::wstring FolderOf(const std::wstring& path) {
  const auto slash = path.find_last_of(L"\\/");
  return slash == std::wstring::npos ? std::wstring{} : path.substr(0, slash + 1);
}

bool StartsAtLogon() { return volume::ReadRunValue(kRunKey, kRunValue).has_value(); }

// The guard's own command line under the user's Run key, written and removed as pc-clean and its
// undo write Run values (volume/startup.h).
void SetStartAtLogon(bool start) {
  std::string command = "\"";
  command.append(Utf8(ProgramPath())).append("\"");
  const volume::RunValue value = volume::StringRunValue(kRunKey, kRunValue, command);
  if (!start) {
    volume::DeleteRunValue(value);
    return;
  }
  volume::PutRunValue(value);
}

template <std::size_t N>
void CopyText(wchar_t (&to)[N], const std::string& utf8) {
  const std::wstring text = Wide(utf8);
  const std::size_t length = std::min(text.size(), N - 1);
  std::wmemcpy(to, text.data(), length);
  to[length] = L'\0';
}

NOTIFYICONDATAW IconData(HWND window) {
  NOTIFYICONDATAW data{};
  data.cbSize = sizeof data;
  data.hWnd = window;
  data.uID = kTrayIconId;
  return data;
}

}  // namespace

Guard::Guard(HINSTANCE instance) : instance_(instance) {}

Guard::~Guard() {
  if (window_) DestroyWindow(window_);
  if (icon_) DestroyIcon(icon_);
}

bool Guard::Create() {
  WNDCLASSEXW windowClass{};
  windowClass.cbSize = sizeof windowClass;
  windowClass.lpfnWndProc = WindowProc;
  windowClass.hInstance = instance_;
  windowClass.lpszClassName = kGuardClass;
  if (!RegisterClassExW(&windowClass)) return false;
  // A top-level window, never shown: only those hear of arriving volumes and of the taskbar.
  window_ = CreateWindowExW(0, kGuardClass, Wide(texts::Tr(texts::kGuardTip)).c_str(),
                            WS_OVERLAPPED, 0, 0, 0, 0, nullptr, nullptr, instance_, this);
  if (!window_) return false;
  taskbarCreated_ = RegisterWindowMessageW(L"TaskbarCreated");
  icon_ = static_cast<HICON>(LoadImageW(instance_, MAKEINTRESOURCEW(KESTROVA_GUARD_ICON),
                                        IMAGE_ICON, GetSystemMetrics(SM_CXSMICON),
                                        GetSystemMetrics(SM_CYSMICON), 0));
  AddIcon();
  LookLater(GetLogicalDrives());
  return true;
}

int Guard::Run() {
  MSG message;
  while (GetMessageW(&message, nullptr, 0, 0) > 0) {
    TranslateMessage(&message);
    DispatchMessageW(&message);
  }
  return static_cast<int>(message.wParam);
}

void Guard::AddIcon() {
  NOTIFYICONDATAW data = IconData(window_);
  data.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP | NIF_SHOWTIP;
  data.uCallbackMessage = kTrayMessage;
  data.hIcon = icon_;
  CopyText(data.szTip, texts::Tr(texts::kGuardTip));
  iconAdded_ = Shell_NotifyIconW(NIM_ADD, &data) != FALSE;
  data.uVersion = NOTIFYICON_VERSION_4;
  if (iconAdded_) Shell_NotifyIconW(NIM_SETVERSION, &data);
}

LRESULT CALLBACK Guard::WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_NCCREATE) {
    auto* self = static_cast<Guard*>(reinterpret_cast<CREATESTRUCTW*>(lParam)->lpCreateParams);
    SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
    self->window_ = window;
  }
  auto* self = reinterpret_cast<Guard*>(GetWindowLongPtrW(window, GWLP_USERDATA));
  return self ? self->Handle(message, wParam, lParam)
              : DefWindowProcW(window, message, wParam, lParam);
}

LRESULT Guard::Handle(UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == taskbarCreated_ && taskbarCreated_ != 0) {
    AddIcon();
    return 0;
  }
  switch (message) {
    case kTrayMessage:
      switch (LOWORD(lParam)) {
        case NIN_BALLOONUSERCLICK:
          if (noticeDrive_) StartWindow(noticeDrive_);
          return 0;
        case WM_CONTEXTMENU:
        case NIN_SELECT:
        case NIN_KEYSELECT: {
          POINT at{};
          GetCursorPos(&at);
          ShowMenu(at);
          return 0;
        }
        default:
          return 0;
      }
    case WM_DEVICECHANGE: {
      const auto* header = reinterpret_cast<const DEV_BROADCAST_HDR*>(lParam);
      if (!header || header->dbch_devicetype != DBT_DEVTYP_VOLUME) return TRUE;
      const DWORD letters = reinterpret_cast<const DEV_BROADCAST_VOLUME*>(lParam)->dbcv_unitmask;
      if (wParam == DBT_DEVICEARRIVAL) {
        LookLater(letters);
      } else if (wParam == DBT_DEVICEREMOVECOMPLETE) {
        looked_ &= ~letters;
      }
      return TRUE;
    }
    case kLookMessage:
      LookAt(static_cast<DWORD>(wParam), false);
      return 0;
    case WM_COMMAND:
      OnCommand(LOWORD(wParam));
      return 0;
    case WM_DESTROY: {
      NOTIFYICONDATAW data = IconData(window_);
      Shell_NotifyIconW(NIM_DELETE, &data);
      window_ = nullptr;
      PostQuitMessage(0);
      return 0;
    }
    default:
      return DefWindowProcW(window_, message, wParam, lParam);
  }
}

void Guard::ShowMenu(POINT at) {
  HMENU menu = CreatePopupMenu();
  if (!menu) return;
  AppendMenuW(menu, MF_STRING, kCheckAll, Wide(texts::Tr(texts::kGuardCheckAll)).c_str());
  AppendMenuW(menu, MF_STRING | (StartsAtLogon() ? MF_CHECKED : MF_UNCHECKED), kStartAtLogon,
              Wide(texts::Tr(texts::kGuardStartAtLogon)).c_str());
  AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
  AppendMenuW(menu, MF_STRING, kExit, Wide(texts::Tr(texts::kGuardExit)).c_str());
  // The menu closes when the user clicks elsewhere only while the window is in front.
  SetForegroundWindow(window_);
  TrackPopupMenuEx(menu, TPM_RIGHTBUTTON | TPM_BOTTOMALIGN, at.x, at.y, window_, nullptr);
  PostMessageW(window_, WM_NULL, 0, 0);
  DestroyMenu(menu);
}

void Guard::OnCommand(int id) {
  switch (id) {
    case kCheckAll:
      LookAt(GetLogicalDrives(), true);
      break;
    case kStartAtLogon:
      SetStartAtLogon(!StartsAtLogon());
      break;
    case kExit:
      DestroyWindow(window_);
      break;
    default:
      break;
  }
}

void Guard::LookLater(DWORD letters) {
  // An arrival told twice is looked at once; a drive looked at comes again after its removal.
  if (const DWORD fresh = letters & ~looked_) {
    looked_ |= fresh;
    PostMessageW(window_, kLookMessage, fresh, 0);
  }
}

void Guard::LookAt(DWORD letters, bool again) {
  bool anyLooked = false;
  bool anyInfected = false;
  for (char letter = volume::kFirstDriveLetter; letter <= volume::kLastDriveLetter; ++letter) {
    if (!(letters & (DWORD{1} << (letter - 'A')))) continue;
    const wchar_t root[] = {static_cast<wchar_t>(letter), L':', L'\\', L'\0'};
    if (GetDriveTypeW(root) != DRIVE_REMOVABLE) continue;
    anyLooked = true;
    const auto look = LookAtStick(letter);
    const bool infected = look && look->signs.Any();
    Report(std::string("look\t") + letter + "\t" +
           (!look       ? "none"
            : look->raw ? "raw"
                        : "files") +
           "\t" + (infected ? "infected" : "clean"));
    if (!infected) continue;
    anyInfected = true;
    Notify(letter,
           repair::messages::GuardNotice(std::string{letter, ':'}, look->label, look->signs));
  }
  if (again && !anyInfected) {
    Notify(0, texts::Tr(anyLooked ? texts::kGuardAllClean : texts::kGuardNoDrives));
  }
}

void Guard::Notify(char letter, const std::string& text) {
  if (!iconAdded_) AddIcon();
  NOTIFYICONDATAW data = IconData(window_);
  data.uFlags = NIF_INFO;
  data.dwInfoFlags = letter ? NIIF_WARNING : NIIF_INFO;
  const std::string title = texts::Tr(texts::kGuardNoticeTitle);
  CopyText(data.szInfoTitle, title);
  CopyText(data.szInfo, text);
  const bool shown = Shell_NotifyIconW(NIM_MODIFY, &data) != FALSE;
  noticeDrive_ = letter;
  Report(std::string("notice\t") + (letter ? std::string{letter} : "-") + "\t" + title + "\t" +
         text + "\t" + (shown ? "1" : "0"));
}

void Guard::StartWindow(char letter) {
  const std::wstring folder = FolderOf(ProgramPath());
  const std::wstring program = folder + L"Kestrova.exe";
  const std::wstring arguments = std::wstring(L"/drive ") + static_cast<wchar_t>(letter);
  SHELLEXECUTEINFOW start{};
  start.cbSize = sizeof start;
  start.fMask = SEE_MASK_NOASYNC;
  start.hwnd = window_;
  start.lpVerb = L"runas";  // the window repairs: it asks for the administrator's rights
  start.lpFile = program.c_str();
  start.lpParameters = arguments.c_str();
  start.lpDirectory = folder.c_str();
  start.nShow = SW_SHOWNORMAL;
  const bool started = ShellExecuteExW(&start) != FALSE;
  Report(std::string("start\t") + letter + "\t" + (started ? "1" : "0"));
}

void Guard::Report(const std::string& line) {
  wchar_t path[MAX_PATH + 1] = {};
  const DWORD length = GetEnvironmentVariableW(kReportVariable, path, MAX_PATH + 1);
  if (length == 0 || length > MAX_PATH) return;
  HANDLE file = CreateFileW(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return;
  const std::string text = line + "\n";
  DWORD written = 0;
  WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
  CloseHandle(file);
}

}  // namespace kestrova::ui::win32::guard
