// SPDX-License-Identifier: GPL-3.0-or-later
// The rules that make a root file one the virus left.
#include "repair/leftovers.h"

#include <algorithm>
#include <optional>
#include <string_view>
#include <unordered_map>
#include <unordered_set>

#include "repair/codepage.h"
#include "repair/fat.h"
#include "repair/file_data.h"
#include "repair/journal.h"
#include "repair/label.h"
#include "repair/shell_link.h"

namespace kestrova::repair {
namespace {

// The programs that run what they are given: a shortcut that starts one runs a command.
constexpr std::string_view kHosts[] = {"cmd.exe",   "wscript.exe",    "cscript.exe", "rundll32.exe",
                                       "mshta.exe", "powershell.exe", "regsvr32.exe"};
// The extensions of programs and scripts that Windows runs.
constexpr std::string_view kProgramExtensions[] = {"exe", "com", "scr", "pif", "bat", "cmd",
                                                   "vbs", "vbe", "js",  "jse", "wsf", "wsh",
                                                   "hta", "cpl", "msi", "ps1", "jar"};
constexpr std::string_view kShortcutExtension = ".lnk";
constexpr std::string_view kAutorunName = "autorun.inf";
constexpr std::uint16_t kHiddenOrSystem = fat::kAttrHidden | fat::kAttrSystem;

// Names compared as Windows compares them, as far as ASCII goes.
std::string Fold(std::string_view text) {
  std::string folded(text);
  for (char& c : folded) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return folded;
}

template <std::size_t N>
bool Listed(const std::string_view (&list)[N], std::string_view folded) {
  return std::find(std::begin(list), std::end(list), folded) != std::end(list);
}

// The last part of a path, without the quotes around it.
std::string_view BaseName(std::string_view path) {
  while (!path.empty() && path.front() == '"') path.remove_prefix(1);
  while (!path.empty() && path.back() == '"') path.remove_suffix(1);
  const auto slash = path.find_last_of("\\/");
  return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

bool IsProgramName(std::string_view name) {
  const auto dot = name.rfind('.');
  return dot != std::string_view::npos && Listed(kProgramExtensions, Fold(name.substr(dot + 1)));
}

bool IsHost(std::string_view name) {
  const std::string folded = Fold(BaseName(name));
  return Listed(kHosts, folded) || Listed(kHosts, folded + ".exe");
}

bool IsShortcut(const RootFile& file) {
  return Fold(file.longName).ends_with(kShortcutExtension) ||
         Fold(file.shortName).ends_with(kShortcutExtension);
}

bool IsAutorun(const RootFile& file) {
  return Fold(file.longName) == kAutorunName || Fold(file.shortName) == kAutorunName;
}

bool IsHiddenProgram(const RootFile& file) {
  return (file.attributes & kHiddenOrSystem) &&
         (IsProgramName(file.longName) || IsProgramName(file.shortName));
}

bool IsSuspectByName(const RootFile& file) {
  return IsShortcut(file) || IsAutorun(file) || IsHiddenProgram(file);
}

// The words of a command line: runs of characters between blanks and the characters that join
// commands or arguments (& | , ; < > ( ) ^), a quoted run whole.
std::vector<std::string> Words(std::string_view line) {
  std::vector<std::string> words;
  std::string word;
  bool quoted = false;
  for (const char c : line) {
    if (c == '"') {
      quoted = !quoted;
      continue;
    }
    if (!quoted && (c == ' ' || c == '\t' ||
                    std::string_view("&|,;<>()^").find(c) != std::string_view::npos)) {
      if (!word.empty()) words.push_back(std::move(word));
      word.clear();
      continue;
    }
    word += c;
  }
  if (!word.empty()) words.push_back(std::move(word));
  return words;
}

// The name of the root file that a path names: "x.exe", "\x.exe", ".\x.exe" or "F:\x.exe".
// Empty when it names something deeper, or nothing.
std::string RootName(std::string_view path) {
  while (!path.empty() && path.front() == '"') path.remove_prefix(1);
  if (path.size() >= 2 && path[1] == ':') path.remove_prefix(2);
  if (path.starts_with(".\\")) path.remove_prefix(2);
  if (path.starts_with("\\")) path.remove_prefix(1);
  if (path.empty() || path.find_first_of("\\/:%") != std::string_view::npos) return {};
  return std::string(path);
}

// The root as the rules look it up.
struct Root {
  std::unordered_set<std::string> folders;             // folded names
  std::unordered_map<std::string, std::size_t> files;  // folded names: the index in the files
  std::vector<std::string> labels;                     // folded, not empty
  std::uint32_t serial = 0;

  bool Holds(const std::string& folded) const {
    return folders.count(folded) != 0 || files.count(folded) != 0;
  }
};

// Whether a path of a program lies on this drive: a relative path, one whose first part after
// the drive letter names something in this root, or (`sameVolume`) one whose volume the shortcut
// recorded with this volume's serial number. Network paths, addresses and paths of environment
// variables lie elsewhere.
bool OnThisDrive(std::string_view path, bool sameVolume, const Root& root) {
  while (!path.empty() && path.front() == '"') path.remove_prefix(1);
  if (path.empty() || path.starts_with("\\\\") || path.starts_with("//") || path.front() == '%' ||
      path.find("://") != std::string_view::npos) {
    return false;
  }
  if (path.size() < 2 || path[1] != ':') return true;
  if (sameVolume) return true;
  path.remove_prefix(2);
  while (!path.empty() && (path.front() == '\\' || path.front() == '/')) path.remove_prefix(1);
  const std::string_view first = path.substr(0, path.find_first_of("\\/"));
  return !first.empty() && root.Holds(Fold(first));
}

// The paths that a shortcut runs: its target's forms, the relative path only without them.
std::vector<const std::string*> TargetPaths(const ShellLink& link) {
  std::vector<const std::string*> paths;
  for (const std::string* path : {&link.localPath, &link.idListPath, &link.environmentPath}) {
    if (!path->empty()) paths.push_back(path);
  }
  if (paths.empty() && !link.relativePath.empty()) paths.push_back(&link.relativePath);
  return paths;
}

bool RunsHost(const ShellLink& link) {
  for (const std::string* path : TargetPaths(link)) {
    if (IsHost(*path)) return true;
  }
  const auto words = Words(link.arguments);
  return std::any_of(words.begin(), words.end(), [](const std::string& w) { return IsHost(w); });
}

bool RunsFromDrive(const ShellLink& link, const Root& root) {
  const bool sameVolume = root.serial != 0 && link.driveSerial == root.serial;
  for (const std::string* path : TargetPaths(link)) {
    if (IsProgramName(BaseName(*path)) &&
        OnThisDrive(*path, path == &link.localPath && sameVolume, root)) {
      return true;
    }
  }
  for (const std::string& word : Words(link.arguments)) {
    if (IsProgramName(BaseName(word)) && OnThisDrive(word, false, root)) return true;
  }
  return false;
}

// The shortcut's name without ".lnk": of its long name, or of its short name.
std::string ShortcutBase(const RootFile& file) {
  const bool longLink = Fold(file.longName).ends_with(kShortcutExtension);
  const std::string& name = longLink ? file.longName : file.shortName;
  return name.substr(0, name.size() - kShortcutExtension.size());
}

// Why a shortcut is the virus's, or nothing when it is not.
std::optional<Leftover> JudgeShortcut(const RootFile& file, const std::optional<ShellLink>& link,
                                      const Root& root, const VolumeLayout& layout) {
  Leftover leftover{file, LeftoverReason::kShortcutRunsHost, {}, link ? link->Command() : ""};
  if (link && RunsHost(*link)) return leftover;
  leftover.reason = LeftoverReason::kShortcutRunsFromDrive;
  if (link && RunsFromDrive(*link, root)) return leftover;
  const std::string base = ShortcutBase(file);
  const std::string folded = Fold(base);
  if (root.folders.count(folded)) {
    leftover.reason = LeftoverReason::kShortcutLikeFolder;
    leftover.subject = base;
    return leftover;
  }
  if (std::find(root.labels.begin(), root.labels.end(), folded) != root.labels.end()) {
    leftover.reason = LeftoverReason::kShortcutLikeLabel;
    const std::string boot = VolumeLabel(layout);
    leftover.subject = Fold(boot) == folded ? boot : layout.findings.label;
    return leftover;
  }
  return std::nullopt;
}

// A root file that a listed shortcut or autorun.inf names.
struct Named {
  std::string name;  // folded
  LeftoverReason reason;
  std::string subject;
  std::string command;
};

void AddNamed(std::vector<Named>& named, std::string_view line, LeftoverReason reason,
              const std::string& subject, const std::string& command) {
  for (const std::string& word : Words(line)) {
    if (std::string name = RootName(word); !name.empty()) {
      named.push_back({Fold(name), reason, subject, command});
    }
  }
}

// The text of a file's bytes as UTF-8.
std::string TextOf(std::span<const std::uint8_t> bytes) {
  if (bytes.size() >= 2 && bytes[0] == 0xFF && bytes[1] == 0xFE) {
    std::u16string text;
    for (std::size_t i = 2; i + 1 < bytes.size(); i += 2) {
      text += static_cast<char16_t>(bytes[i] | bytes[i + 1] << 8);
    }
    return Utf16ToUtf8(text);
  }
  const std::string_view raw(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  if (raw.starts_with("\xEF\xBB\xBF")) return std::string(raw.substr(3));
  return Cp936ToUtf8(raw);
}

std::string_view Trimmed(std::string_view text) {
  const auto first = text.find_first_not_of(" \t");
  if (first == std::string_view::npos) return {};
  return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

// The value of an autorun.inf line that runs something.
std::string_view RunValue(std::string_view line) {
  return Trimmed(line.substr(line.find('=') + 1));
}

}  // namespace

void RootEntries::AddFile(RootFile file) {
  const bool suspect = IsSuspectByName(file);
  if (!suspect && others >= kMaxRootNames) return;
  if (!suspect) ++others;
  files.push_back(std::move(file));
}

void RootEntries::AddFolder(const std::string& shortName, const std::string& longName) {
  if (folderNames.size() < kMaxRootNames) {
    folderNames.push_back(longName.empty() ? shortName : longName);
  }
}

std::vector<std::string> AutorunRunLines(std::span<const std::uint8_t> bytes) {
  std::vector<std::string> lines;
  const std::string text = TextOf(bytes);
  std::string_view rest = text;
  while (!rest.empty()) {
    const auto end = rest.find_first_of("\r\n");
    const std::string_view line = Trimmed(rest.substr(0, end));
    rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
    const auto equals = line.find('=');
    if (equals == std::string_view::npos) continue;
    const std::string key = Fold(Trimmed(line.substr(0, equals)));
    if (key == "open" || key == "shellexecute" ||
        (key.starts_with("shell\\") && key.ends_with("\\command"))) {
      lines.emplace_back(line);
    }
  }
  return lines;
}

void FindLeftovers(volume::Volume& volume, VolumeLayout& layout, const RootEntries& entries,
                   ProgressTrack& track) {
  auto& leftovers = layout.findings.leftovers;
  leftovers.clear();
  Root root;
  root.serial = IdentityOf(layout).serial;
  // Only shortcuts are judged by the folders' names: a root of folders alone needs no lookup.
  if (std::any_of(entries.files.begin(), entries.files.end(), IsShortcut)) {
    for (const std::string& name : entries.folderNames) root.folders.insert(Fold(name));
  }
  for (std::size_t i = 0; i < entries.files.size(); ++i) {
    for (const std::string* name : {&entries.files[i].longName, &entries.files[i].shortName}) {
      if (!name->empty()) root.files.emplace(Fold(*name), i);
    }
  }
  for (const std::string& label : {layout.findings.label, VolumeLabel(layout)}) {
    if (!label.empty()) root.labels.push_back(Fold(label));
  }

  std::vector<std::optional<Leftover>> found(entries.files.size());
  std::vector<Named> named;
  for (std::size_t i = 0; i < entries.files.size(); ++i) {
    const RootFile& file = entries.files[i];
    if (IsAutorun(file)) {
      const auto lines =
          AutorunRunLines(ReadFileStart(volume, layout, file, kMaxInspectedBytes, track));
      found[i] = Leftover{file, LeftoverReason::kAutorun, lines.empty() ? "" : lines.front(), ""};
      for (const std::string& line : lines) {
        AddNamed(named, RunValue(line), LeftoverReason::kNamedByAutorun, line, "");
      }
    } else if (IsShortcut(file)) {
      const auto link =
          ParseShellLink(ReadFileStart(volume, layout, file, kMaxInspectedBytes, track));
      found[i] = JudgeShortcut(file, link, root, layout);
      if (!found[i] || !link) continue;
      for (const std::string* path : TargetPaths(*link)) {
        AddNamed(named, "\"" + *path + "\"", LeftoverReason::kNamedByShortcut, file.Name(),
                 link->Command());
      }
      AddNamed(named, link->arguments, LeftoverReason::kNamedByShortcut, file.Name(),
               link->Command());
    } else if (IsHiddenProgram(file)) {
      found[i] = Leftover{file, LeftoverReason::kHiddenProgram, "", ""};
    }
  }
  // A file that a listed shortcut or autorun.inf runs is told by what runs it.
  for (const Named& by : named) {
    const auto file = root.files.find(by.name);
    if (file == root.files.end()) continue;
    auto& leftover = found[file->second];
    if (leftover && leftover->reason != LeftoverReason::kHiddenProgram) continue;
    leftover = Leftover{entries.files[file->second], by.reason, by.subject, by.command};
  }
  for (auto& leftover : found) {
    if (leftover) leftovers.push_back(std::move(*leftover));
  }
}

}  // namespace kestrova::repair
