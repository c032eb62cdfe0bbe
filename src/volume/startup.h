// SPDX-License-Identifier: GPL-3.0-or-later
// The places of this PC from which a program starts by itself, as the system lists them: the Run
// and RunOnce values of the user's and the machine's registry (and its 32-bit view), the Startup
// folders of the user and of all users, the scheduled tasks, and the processes that run now; and
// the few changes that take such a place away and put it back. Windows only: elsewhere the listing
// is empty and says that the system has no such places.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace kestrova::volume {

// The registry trees that hold Run values; the numbers are kept in PC journals.
enum class RegistryRoot : std::uint8_t { kCurrentUser = 1, kLocalMachine = 2 };

// Which Run key of a tree: Run or RunOnce, in the native or the 32-bit (Wow6432Node) view. The
// key paths are defined once, in the Windows source.
struct RunKey {
  RegistryRoot root = RegistryRoot::kCurrentUser;
  bool once = false;   // RunOnce
  bool wow64 = false;  // Software\Wow6432Node
  bool operator==(const RunKey&) const = default;
};
// Every Run key, in the order in which they are listed.
std::vector<RunKey> RunKeys();
// The key under its tree ("Software\Microsoft\Windows\CurrentVersion\Run").
std::string RunKeySubkey(const RunKey& key);
// The key's path as the user reads it ("HKCU\Software\Microsoft\Windows\CurrentVersion\Run").
std::string RunKeyPath(const RunKey& key);

// The registry's value types that a Run value may have and that are put back as they were.
inline constexpr std::uint32_t kValueString = 1;        // REG_SZ
inline constexpr std::uint32_t kValueExpandString = 2;  // REG_EXPAND_SZ

struct RunValue {
  RunKey key;
  std::string name;  // UTF-8
  std::uint32_t type = kValueString;
  std::vector<std::uint8_t> data;  // as the registry holds it (UTF-16LE with its end)
  std::string command;             // the data as text, environment variables put in
};

// A file of a Startup folder (a shortcut, or a program or script itself).
struct StartupFile {
  bool allUsers = false;  // the Startup folder of all users, else the user's
  std::string path;       // UTF-8, whole
};

// A scheduled task that runs programs.
struct ScheduledTask {
  std::string path;                   // "\Folder\Name"
  std::vector<std::string> commands;  // each action's program and arguments, variables put in
  std::string xml;                    // its definition, as the Task Scheduler gives it
};

struct RunningProcess {
  std::uint32_t id = 0;
  std::string image;        // the program's path; empty when it cannot be read
  std::string commandLine;  // empty when it cannot be read
};

// Where a place could not be listed: its kind and the system's error value.
enum class StartupPlace { kRunValues, kStartupFolders, kTasks, kProcesses };
struct UnlistedPlace {
  StartupPlace place = StartupPlace::kRunValues;
  long error = 0;
};

struct StartupListing {
  bool supported = false;  // false: this system has none of these places (Linux)
  std::vector<RunValue> runValues;
  std::vector<StartupFile> startupFiles;
  std::vector<ScheduledTask> tasks;
  std::vector<RunningProcess> processes;
  // The user's profile and temporary folders (%USERPROFILE%, %APPDATA%, %LOCALAPPDATA%, %TEMP%),
  // UTF-8, without a closing backslash.
  std::vector<std::string> profileFolders;
  std::string windowsFolder;  // %SystemRoot%, UTF-8
  // The environment variables that commands and shortcuts name (APPDATA, WINDIR, ...): name, value.
  std::vector<std::pair<std::string, std::string>> environment;
  std::vector<UnlistedPlace> unlisted;
};

// Lists every place; one that cannot be read is named in `unlisted` and the rest are listed.
StartupListing ListStartup();

// A file of this PC as a look reads it: its attributes and its bytes (at most `maxBytes`).
struct PcFile {
  bool hidden = false;
  std::uint32_t attributes = 0;  // the system's attribute bits, kept to put the file back
  std::vector<std::uint8_t> bytes;
  bool complete = true;  // false: larger than `maxBytes`, only the start was read
};
// Nothing when there is no such file (or it cannot be read).
std::optional<PcFile> ReadPcFile(const std::string& path, std::uint64_t maxBytes);

// The changes of a PC clean and of its undo. Each returns 0, or the system's error value.
int DeleteRunValue(const RunValue& value);
// Writes the value as it was (its type and bytes); refuses (ERROR_ALREADY_EXISTS) when a value of
// that name is there.
int PutRunValue(const RunValue& value);
int DeletePcFile(const std::string& path);
// Writes the file anew with its attributes; refuses when a file is at `path`.
int PutPcFile(const std::string& path, const PcFile& file);
int DeleteTask(const std::string& path);
// Registers the task's definition again under its path.
int PutTask(const std::string& path, const std::string& xml);
// Ends the process, when it still runs the image `image`.
int EndProcess(std::uint32_t id, const std::string& image);
// A REG_SZ value that holds `command` (Windows).
RunValue StringRunValue(const RunKey& key, const std::string& name, const std::string& command);
// The Run value of that key and name, when there is one.
std::optional<RunValue> ReadRunValue(const RunKey& key, const std::string& name);

}  // namespace kestrova::volume
