// SPDX-License-Identifier: GPL-3.0-or-later
#include <windows.h>
// After windows.h:
#include <shlobj.h>
#include <taskschd.h>
#include <tlhelp32.h>

#include <algorithm>
#include <cstring>
#include <cwctype>
#include <functional>

#include "volume/files.h"
#include "volume/startup.h"
#include "volume/utf16_win32.h"

namespace kestrova::volume {
namespace {

HKEY RootOf(RegistryRoot root) {
  return root == RegistryRoot::kLocalMachine ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER;
}

std::wstring PathOf(const RunKey& key) { return Wide(RunKeySubkey(key)); }

// A text with its environment variables put in.
std::wstring Expanded(const std::wstring& text) {
  const DWORD needed = ExpandEnvironmentStringsW(text.c_str(), nullptr, 0);
  if (needed == 0) return text;
  std::wstring out(needed, L'\0');
  const DWORD written = ExpandEnvironmentStringsW(text.c_str(), out.data(), needed);
  if (written == 0 || written > needed) return text;
  out.resize(written - 1);
  return out;
}

// A registry string's bytes as text, up to its first NUL.
std::wstring TextOfData(const std::vector<std::uint8_t>& data) {
  std::wstring text(data.size() / sizeof(wchar_t), L'\0');
  std::copy(data.begin(), data.begin() + static_cast<std::ptrdiff_t>(text.size() * 2),
            reinterpret_cast<std::uint8_t*>(text.data()));
  const auto end = text.find(L'\0');
  if (end != std::wstring::npos) text.resize(end);
  return text;
}

long ListRunKey(const RunKey& key, std::vector<RunValue>& values) {
  HKEY opened = nullptr;
  LSTATUS status = RegOpenKeyExW(RootOf(key.root), PathOf(key).c_str(), 0,
                                 KEY_QUERY_VALUE | KEY_WOW64_64KEY, &opened);
  if (status == ERROR_FILE_NOT_FOUND) return 0;
  if (status != ERROR_SUCCESS) return status;
  DWORD count = 0, maxName = 0, maxData = 0;
  status = RegQueryInfoKeyW(opened, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &count,
                            &maxName, &maxData, nullptr, nullptr);
  for (DWORD i = 0; status == ERROR_SUCCESS && i < count; ++i) {
    std::wstring name(maxName + 1, L'\0');
    std::vector<std::uint8_t> data(maxData + sizeof(wchar_t));
    DWORD nameLength = static_cast<DWORD>(name.size());
    DWORD dataLength = static_cast<DWORD>(data.size());
    DWORD type = 0;
    const LSTATUS read = RegEnumValueW(opened, i, name.data(), &nameLength, nullptr, &type,
                                       data.data(), &dataLength);
    if (read == ERROR_NO_MORE_ITEMS) break;
    if (read != ERROR_SUCCESS) continue;
    if (type != REG_SZ && type != REG_EXPAND_SZ) continue;
    name.resize(nameLength);
    data.resize(dataLength);
    RunValue value{key, Utf8(name.c_str()), type, data, {}};
    value.command = Utf8(Expanded(TextOfData(data)).c_str());
    values.push_back(std::move(value));
  }
  RegCloseKey(opened);
  return status == ERROR_SUCCESS ? 0 : status;
}

std::wstring KnownFolder(REFKNOWNFOLDERID id) {
  PWSTR path = nullptr;
  std::wstring folder;
  if (SUCCEEDED(SHGetKnownFolderPath(id, 0, nullptr, &path))) folder = path;
  CoTaskMemFree(path);
  return folder;
}

long ListStartupFolder(bool allUsers, std::vector<StartupFile>& files) {
  const std::wstring folder = KnownFolder(allUsers ? FOLDERID_CommonStartup : FOLDERID_Startup);
  if (folder.empty()) return ERROR_PATH_NOT_FOUND;
  WIN32_FIND_DATAW found{};
  HANDLE search = FindFirstFileExW((folder + L"\\*").c_str(), FindExInfoBasic, &found,
                                   FindExSearchNameMatch, nullptr, 0);
  if (search == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? 0 : error;
  }
  do {
    if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) continue;
    files.push_back({allUsers, Utf8((folder + L"\\" + found.cFileName).c_str())});
  } while (FindNextFileW(search, &found));
  FindClose(search);
  return 0;
}

// A COM interface, released at the end of its scope.
template <typename T>
class Com {
 public:
  Com() = default;
  Com(const Com&) = delete;
  Com& operator=(const Com&) = delete;
  ~Com() {
    if (p_) p_->Release();
  }
  T** operator&() { return &p_; }
  T* operator->() const { return p_; }
  explicit operator bool() const { return p_ != nullptr; }
  T* get() const { return p_; }

 private:
  T* p_ = nullptr;
};

// A BSTR, freed at the end of its scope.
class Bstr {
 public:
  Bstr() = default;
  explicit Bstr(const std::wstring& text) : b_(SysAllocString(text.c_str())) {}
  Bstr(const Bstr&) = delete;
  Bstr& operator=(const Bstr&) = delete;
  ~Bstr() { SysFreeString(b_); }
  BSTR* operator&() { return &b_; }
  BSTR get() const { return b_; }
  std::wstring Text() const { return b_ ? std::wstring(b_, SysStringLen(b_)) : std::wstring(); }

 private:
  BSTR b_ = nullptr;
};

// COM for this thread while it is in scope; a thread that has it already keeps its own.
class ComScope {
 public:
  ComScope() : result_(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)) {}
  ComScope(const ComScope&) = delete;
  ComScope& operator=(const ComScope&) = delete;
  ~ComScope() {
    if (SUCCEEDED(result_)) CoUninitialize();
  }
  bool Usable() const { return SUCCEEDED(result_) || result_ == RPC_E_CHANGED_MODE; }
  HRESULT Result() const { return result_; }

 private:
  HRESULT result_;
};

HRESULT ConnectTaskService(Com<ITaskService>& service) {
  HRESULT result = CoCreateInstance(CLSID_TaskScheduler, nullptr, CLSCTX_INPROC_SERVER,
                                    IID_ITaskService, reinterpret_cast<void**>(&service));
  if (FAILED(result)) return result;
  VARIANT none;
  VariantInit(&none);
  return service->Connect(none, none, none, none);
}

void ListTaskActions(IRegisteredTask* task, ScheduledTask& listed) {
  Com<ITaskDefinition> definition;
  Com<IActionCollection> actions;
  LONG count = 0;
  if (FAILED(task->get_Definition(&definition)) || FAILED(definition->get_Actions(&actions)) ||
      FAILED(actions->get_Count(&count))) {
    return;
  }
  for (LONG i = 1; i <= count; ++i) {
    Com<IAction> action;
    TASK_ACTION_TYPE type = TASK_ACTION_EXEC;
    if (FAILED(actions->get_Item(i, &action)) || FAILED(action->get_Type(&type)) ||
        type != TASK_ACTION_EXEC) {
      continue;
    }
    Com<IExecAction> exec;
    if (FAILED(action->QueryInterface(IID_IExecAction, reinterpret_cast<void**>(&exec)))) continue;
    Bstr program, arguments;
    exec->get_Path(&program);
    exec->get_Arguments(&arguments);
    std::wstring command = L"\"" + Expanded(program.Text()) + L"\"";
    if (!arguments.Text().empty()) command += L" " + Expanded(arguments.Text());
    listed.commands.push_back(Utf8(command.c_str()));
  }
}

HRESULT ListTaskFolder(ITaskFolder* folder, std::vector<ScheduledTask>& tasks, int depth) {
  Com<IRegisteredTaskCollection> collection;
  HRESULT result = folder->GetTasks(TASK_ENUM_HIDDEN, &collection);
  if (FAILED(result)) return result;
  LONG count = 0;
  // (Wine 8 has no count of a folder's tasks: they are unlisted there.)
  result = collection->get_Count(&count);
  if (FAILED(result)) return result;
  for (LONG i = 1; i <= count; ++i) {
    VARIANT index;
    VariantInit(&index);
    index.vt = VT_I4;
    index.lVal = i;
    Com<IRegisteredTask> task;
    if (FAILED(collection->get_Item(index, &task))) continue;
    ScheduledTask listed;
    Bstr path, xml;
    task->get_Path(&path);
    task->get_Xml(&xml);
    listed.path = Utf8(path.Text().c_str());
    listed.xml = Utf8(xml.Text().c_str());
    ListTaskActions(task.get(), listed);
    tasks.push_back(std::move(listed));
  }
  // Folders inside folders, to a depth that no real tree reaches.
  if (depth >= 16) return S_OK;
  Com<ITaskFolderCollection> folders;
  if (FAILED(folder->GetFolders(0, &folders))) return S_OK;
  LONG folderCount = 0;
  if (FAILED(folders->get_Count(&folderCount))) return S_OK;
  for (LONG i = 1; i <= folderCount; ++i) {
    VARIANT index;
    VariantInit(&index);
    index.vt = VT_I4;
    index.lVal = i;
    Com<ITaskFolder> inner;
    if (SUCCEEDED(folders->get_Item(index, &inner))) ListTaskFolder(inner.get(), tasks, depth + 1);
  }
  return S_OK;
}

long ListTasks(std::vector<ScheduledTask>& tasks) {
  const ComScope com;
  if (!com.Usable()) return com.Result();
  Com<ITaskService> service;
  HRESULT result = ConnectTaskService(service);
  if (FAILED(result)) return result;
  Com<ITaskFolder> root;
  const Bstr rootPath(L"\\");
  result = service->GetFolder(rootPath.get(), &root);
  if (FAILED(result)) return result;
  result = ListTaskFolder(root.get(), tasks, 0);
  return FAILED(result) ? result : 0;
}

// The folder part and the name of a task's path ("\A\B" -> "\A", "B").
std::pair<std::wstring, std::wstring> SplitTaskPath(const std::wstring& path) {
  const auto slash = path.find_last_of(L'\\');
  if (slash == std::wstring::npos) return {L"\\", path};
  return {slash == 0 ? L"\\" : path.substr(0, slash), path.substr(slash + 1)};
}

template <typename Change>
long OnTaskFolder(const std::string& path, Change change) {
  const ComScope com;
  if (!com.Usable()) return com.Result();
  Com<ITaskService> service;
  HRESULT result = ConnectTaskService(service);
  if (FAILED(result)) return result;
  const auto [folderPath, name] = SplitTaskPath(Wide(path));
  Com<ITaskFolder> folder;
  const Bstr folderText(folderPath);
  result = service->GetFolder(folderText.get(), &folder);
  if (FAILED(result)) return result;
  const Bstr nameText(name);
  result = change(folder.get(), nameText.get());
  return FAILED(result) ? result : 0;
}

std::wstring ImageOf(HANDLE process) {
  std::wstring image(32768, L'\0');
  DWORD length = static_cast<DWORD>(image.size());
  if (!QueryFullProcessImageNameW(process, 0, image.data(), &length)) return {};
  image.resize(length);
  return image;
}

// The process's command line, as its own parameters hold it: asked of the system, else read from
// its process environment block.
using QueryProcess = LONG(WINAPI*)(HANDLE, ULONG, PVOID, ULONG, PULONG);
constexpr ULONG kProcessBasicInformation = 0;
constexpr ULONG kProcessCommandLineInformation = 60;
// x86-64 layouts: the environment block's pointer to its parameters, and their command line.
constexpr std::size_t kParametersInBlock = 0x20;
constexpr std::size_t kCommandLineInParameters = 0x70;
struct CountedText {
  USHORT length;
  USHORT maximum;
  PWSTR buffer;
};
struct BasicInformation {
  LONG exitStatus;
  PVOID block;
  ULONG_PTR affinity;
  LONG priority;
  ULONG_PTR id;
  ULONG_PTR parent;
};

std::wstring CommandLineOf(HANDLE process) {
  const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  if (!ntdll) return {};
  const auto query = reinterpret_cast<QueryProcess>(
      reinterpret_cast<void*>(GetProcAddress(ntdll, "NtQueryInformationProcess")));
  if (!query) return {};
  std::vector<std::uint8_t> buffer(sizeof(CountedText) + 65536);
  ULONG length = 0;
  if (query(process, kProcessCommandLineInformation, buffer.data(),
            static_cast<ULONG>(buffer.size()), &length) >= 0) {
    CountedText text{};
    std::memcpy(&text, buffer.data(), sizeof text);
    if (text.buffer) return std::wstring(text.buffer, text.length / sizeof(wchar_t));
  }
  BasicInformation basic{};
  if (query(process, kProcessBasicInformation, &basic, sizeof basic, &length) < 0 || !basic.block) {
    return {};
  }
  PVOID parameters = nullptr;
  CountedText text{};
  SIZE_T read = 0;
  if (!ReadProcessMemory(process, static_cast<std::uint8_t*>(basic.block) + kParametersInBlock,
                         &parameters, sizeof parameters, &read) ||
      !parameters ||
      !ReadProcessMemory(process, static_cast<std::uint8_t*>(parameters) + kCommandLineInParameters,
                         &text, sizeof text, &read) ||
      !text.buffer) {
    return {};
  }
  std::wstring line(text.length / sizeof(wchar_t), L'\0');
  if (!ReadProcessMemory(process, text.buffer, line.data(), text.length, &read)) return {};
  line.resize(read / sizeof(wchar_t));
  return line;
}

long ListProcesses(std::vector<RunningProcess>& processes) {
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return static_cast<long>(GetLastError());
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof entry;
  const DWORD own = GetCurrentProcessId();
  for (BOOL more = Process32FirstW(snapshot, &entry); more;
       more = Process32NextW(snapshot, &entry)) {
    if (entry.th32ProcessID == own || entry.th32ProcessID == 0) continue;
    RunningProcess listed{entry.th32ProcessID, {}, {}};
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | PROCESS_VM_READ, FALSE,
                                 entry.th32ProcessID);
    if (!process) {
      process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, entry.th32ProcessID);
    }
    if (process) {
      listed.image = Utf8(ImageOf(process).c_str());
      listed.commandLine = Utf8(CommandLineOf(process).c_str());
      CloseHandle(process);
    }
    if (listed.image.empty()) listed.image = Utf8(entry.szExeFile);
    processes.push_back(std::move(listed));
  }
  CloseHandle(snapshot);
  return 0;
}

// A folder's path in its long form, without a closing backslash.
std::string FolderText(const std::wstring& folder) {
  std::wstring path = folder;
  std::wstring longer(32768, L'\0');
  const DWORD length =
      GetLongPathNameW(folder.c_str(), longer.data(), static_cast<DWORD>(longer.size()));
  if (length > 0 && length < longer.size()) path = longer.substr(0, length);
  while (path.size() > 3 && (path.back() == L'\\' || path.back() == L'/')) path.pop_back();
  return Utf8(path.c_str());
}

std::vector<std::string> ProfileFolders() {
  std::vector<std::string> folders;
  for (const wchar_t* name : {L"USERPROFILE", L"APPDATA", L"LOCALAPPDATA", L"TEMP", L"TMP"}) {
    wchar_t value[MAX_PATH] = {};
    const DWORD length = GetEnvironmentVariableW(name, value, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) continue;
    std::string folder = FolderText(value);
    if (std::find(folders.begin(), folders.end(), folder) == folders.end()) {
      folders.push_back(std::move(folder));
    }
  }
  return folders;
}

}  // namespace

StartupListing ListStartup() {
  StartupListing listing;
  listing.supported = true;
  const auto note = [&](StartupPlace place, long error) {
    if (error != 0) listing.unlisted.push_back({place, error});
  };
  for (const RunKey& key : RunKeys())
    note(StartupPlace::kRunValues, ListRunKey(key, listing.runValues));
  for (const bool allUsers : {false, true}) {
    note(StartupPlace::kStartupFolders, ListStartupFolder(allUsers, listing.startupFiles));
  }
  note(StartupPlace::kTasks, ListTasks(listing.tasks));
  note(StartupPlace::kProcesses, ListProcesses(listing.processes));
  listing.profileFolders = ProfileFolders();
  wchar_t windows[MAX_PATH] = {};
  const UINT length = GetWindowsDirectoryW(windows, MAX_PATH);
  if (length > 0 && length < MAX_PATH) listing.windowsFolder = FolderText(windows);
  for (const wchar_t* name :
       {L"APPDATA", L"LOCALAPPDATA", L"TEMP", L"TMP", L"USERPROFILE", L"WINDIR", L"SYSTEMROOT",
        L"COMSPEC", L"PROGRAMDATA", L"ALLUSERSPROFILE", L"PUBLIC", L"PROGRAMFILES"}) {
    wchar_t value[MAX_PATH] = {};
    const DWORD got = GetEnvironmentVariableW(name, value, MAX_PATH);
    if (got > 0 && got < MAX_PATH) listing.environment.emplace_back(Utf8(name), Utf8(value));
  }
  return listing;
}

std::optional<PcFile> ReadPcFile(const std::string& path, std::uint64_t maxBytes) {
  const std::wstring wide = Wide(path);
  const DWORD attributes = GetFileAttributesW(wide.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
    return std::nullopt;
  }
  PcFile file;
  file.attributes = attributes;
  file.hidden = (attributes & FILE_ATTRIBUTE_HIDDEN) != 0;
  int error = 0;
  switch (ReadRegularFile(std::filesystem::path(wide), maxBytes, file.bytes, error)) {
    case ReadOutcome::kRead:
      return file;
    case ReadOutcome::kTooLarge:
      file.complete = false;
      return file;
    default:
      return std::nullopt;
  }
}

std::optional<RunValue> ReadRunValue(const RunKey& key, const std::string& name) {
  const std::wstring wideName = Wide(name);
  DWORD type = 0, size = 0;
  LSTATUS status =
      RegGetValueW(RootOf(key.root), PathOf(key).c_str(), wideName.c_str(),
                   RRF_RT_REG_SZ | RRF_RT_REG_EXPAND_SZ | RRF_NOEXPAND, &type, nullptr, &size);
  if (status != ERROR_SUCCESS) return std::nullopt;
  std::vector<std::uint8_t> data(size);
  status =
      RegGetValueW(RootOf(key.root), PathOf(key).c_str(), wideName.c_str(),
                   RRF_RT_REG_SZ | RRF_RT_REG_EXPAND_SZ | RRF_NOEXPAND, &type, data.data(), &size);
  if (status != ERROR_SUCCESS) return std::nullopt;
  data.resize(size);
  RunValue value{key, name, type, data, {}};
  value.command = Utf8(Expanded(TextOfData(data)).c_str());
  return value;
}

RunValue StringRunValue(const RunKey& key, const std::string& name, const std::string& command) {
  const std::wstring text = Wide(command);
  std::vector<std::uint8_t> data((text.size() + 1) * sizeof(wchar_t), 0);
  std::memcpy(data.data(), text.c_str(), text.size() * sizeof(wchar_t));
  return {key, name, kValueString, std::move(data), command};
}

int DeleteRunValue(const RunValue& value) {
  HKEY opened = nullptr;
  LSTATUS status = RegOpenKeyExW(RootOf(value.key.root), PathOf(value.key).c_str(), 0,
                                 KEY_SET_VALUE | KEY_WOW64_64KEY, &opened);
  if (status != ERROR_SUCCESS) return static_cast<int>(status);
  status = RegDeleteValueW(opened, Wide(value.name).c_str());
  RegCloseKey(opened);
  return static_cast<int>(status);
}

int PutRunValue(const RunValue& value) {
  if (ReadRunValue(value.key, value.name)) return ERROR_ALREADY_EXISTS;
  HKEY opened = nullptr;
  LSTATUS status = RegCreateKeyExW(RootOf(value.key.root), PathOf(value.key).c_str(), 0, nullptr, 0,
                                   KEY_SET_VALUE | KEY_WOW64_64KEY, nullptr, &opened, nullptr);
  if (status != ERROR_SUCCESS) return static_cast<int>(status);
  status = RegSetValueExW(opened, Wide(value.name).c_str(), 0, value.type, value.data.data(),
                          static_cast<DWORD>(value.data.size()));
  RegCloseKey(opened);
  return static_cast<int>(status);
}

int DeletePcFile(const std::string& path) {
  const std::wstring wide = Wide(path);
  // A hidden, system or read-only file is deleted as any other.
  SetFileAttributesW(wide.c_str(), FILE_ATTRIBUTE_NORMAL);
  return DeleteFileW(wide.c_str()) ? 0 : static_cast<int>(GetLastError());
}

int PutPcFile(const std::string& path, const PcFile& file) {
  const std::wstring wide = Wide(path);
  if (const int error = WriteFileDurably(std::filesystem::path(wide), file.bytes)) return error;
  return SetFileAttributesW(wide.c_str(), file.attributes ? file.attributes : FILE_ATTRIBUTE_NORMAL)
             ? 0
             : static_cast<int>(GetLastError());
}

int DeleteTask(const std::string& path) {
  return static_cast<int>(OnTaskFolder(
      path, [](ITaskFolder* folder, BSTR name) { return folder->DeleteTask(name, 0); }));
}

int PutTask(const std::string& path, const std::string& xml) {
  const Bstr text(Wide(xml));
  return static_cast<int>(OnTaskFolder(path, [&](ITaskFolder* folder, BSTR name) {
    VARIANT none;
    VariantInit(&none);
    VARIANT sddl;
    VariantInit(&sddl);
    Com<IRegisteredTask> registered;
    return folder->RegisterTask(name, text.get(), TASK_CREATE, none, none,
                                TASK_LOGON_INTERACTIVE_TOKEN, sddl, &registered);
  }));
}

int EndProcess(std::uint32_t id, const std::string& image) {
  HANDLE process =
      OpenProcess(PROCESS_TERMINATE | PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE, FALSE, id);
  if (!process) return static_cast<int>(GetLastError());
  // The number may have gone to another process since the look.
  const std::wstring now = ImageOf(process);
  if (!image.empty() &&
      CompareStringOrdinal(now.c_str(), -1, Wide(image).c_str(), -1, TRUE) != CSTR_EQUAL) {
    CloseHandle(process);
    return ERROR_NOT_FOUND;
  }
  int error = 0;
  if (!TerminateProcess(process, 1)) {
    error = static_cast<int>(GetLastError());
  } else if (WaitForSingleObject(process, 30000) != WAIT_OBJECT_0) {
    error = ERROR_TIMEOUT;
  }
  CloseHandle(process);
  return error;
}

}  // namespace kestrova::volume
