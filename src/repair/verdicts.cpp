// SPDX-License-Identifier: GPL-3.0-or-later
// The rules that tell whose a root entry is. Every rule needs evidence: what a shortcut or
// autorun.inf runs, what a folder holds, a program's name beside the folders it imitates. A
// document is never the virus's; what the evidence does not settle is listed as unsure and kept.
#include "repair/verdicts.h"

#include <algorithm>
#include <cctype>
#include <map>
#include <optional>
#include <string_view>
#include <unordered_map>

#include "format/base64.h"
#include "format/codepage.h"
#include "format/entries.h"
#include "format/exfat.h"
#include "format/fat.h"
#include "format/fat_table.h"
#include "format/folder_listing.h"
#include "format/pif.h"
#include "format/sha256.h"
#include "format/shell_link.h"
#include "repair/journal.h"
#include "repair/label.h"
#include "repair/root_source.h"

namespace kestrova::repair {
namespace {

// What a command interpreter or script host takes as what it runs.
enum class Host {
  kNone,
  kShell,
  kScript,
  kLibrary,
  kRegister,
  kInstaller,
  kHta,
  kPowerShell,
  kConsole,   // conhost: the command line that it hosts
  kExplorer,  // explorer: what it opens, a script run through its association
  kForFiles,  // forfiles: the command of its /c
};

struct HostName {
  std::string_view name;
  Host host;
};
constexpr HostName kHosts[] = {
    {"cmd.exe", Host::kShell},         {"wscript.exe", Host::kScript},
    {"cscript.exe", Host::kScript},    {"rundll32.exe", Host::kLibrary},
    {"regsvr32.exe", Host::kRegister}, {"msiexec.exe", Host::kInstaller},
    {"mshta.exe", Host::kHta},         {"powershell.exe", Host::kPowerShell},
    {"pwsh.exe", Host::kPowerShell},   {"conhost.exe", Host::kConsole},
    {"explorer.exe", Host::kExplorer}, {"forfiles.exe", Host::kForFiles},
};
// The environment variable that names the command interpreter.
constexpr std::string_view kComspec = "%comspec%";

// Extensions of what Windows runs, of libraries that a host loads, and of documents.
constexpr std::string_view kProgramExtensions[] = {"exe", "com", "scr", "pif", "bat", "cmd", "vbs",
                                                   "vbe", "js",  "jse", "wsf", "wsh", "hta", "cpl",
                                                   "msi", "ps1", "jar", "sct", "wsc"};
constexpr std::string_view kLibraryExtensions[] = {"dll", "ocx", "sys", "drv"};
constexpr std::string_view kDocumentExtensions[] = {
    "txt", "doc", "docx", "xls", "xlsx", "ppt",  "pptx", "pdf", "rtf", "wps",  "et",   "dps",
    "odt", "ods", "odp",  "csv", "jpg",  "jpeg", "png",  "gif", "bmp", "tif",  "tiff", "mp3",
    "wav", "mp4", "avi",  "mkv", "mov",  "zip",  "rar",  "7z",  "htm", "html", "md"};
constexpr std::string_view kShortcutExtension = "lnk";
constexpr std::string_view kInternetShortcutExtension = "url";
constexpr std::string_view kPifExtension = "pif";
constexpr std::string_view kAutorunName = "autorun.inf";

// The names under which a program passes for a new folder or for the drive itself.
constexpr std::string_view kGenericNames[] = {
    "new folder", "新建文件夹", "removable disk", "可移动磁盘", "usb drive", "usb disk", "u盘"};
// Folders that Windows keeps hidden and system in a drive's root, and what they hold there.
constexpr std::string_view kWindowsFolders[] = {"$recycle.bin", "system volume information",
                                                "recycler", "recycled"};
// What Windows keeps in System Volume Information besides its folders (folded).
constexpr std::string_view kWindowsVolumeFiles[] = {"indexervolumeguid",
                                                    "wpsettings.dat",
                                                    "tracking.log",
                                                    "mountpointmanagerremotedatabase",
                                                    "efadata",
                                                    "aadrecoverypassworddelete",
                                                    "clientrecoverypasswordrotation",
                                                    "chkdsk"};
// A boot or installation drive: the boot loaders that make one, and its own entries.
constexpr std::string_view kBootLoaders[] = {"bootmgr",     "bootmgr.efi", "ntldr",  "grldr",
                                             "ldlinux.sys", "ldlinux.c32", "io.sys", "kernel.sys"};
constexpr std::string_view kBootFiles[] = {
    "bootmgr",      "bootmgr.efi",  "bootnxt", "bootsect.bak", "ntldr",
    "ntdetect.com", "boot.ini",     "grldr",   "menu.lst",     "ldlinux.sys",
    "ldlinux.c32",  "syslinux.cfg", "io.sys",  "msdos.sys",    "kernel.sys"};
constexpr std::string_view kBootFolders[] = {"boot",     "efi",      "sources", "support",
                                             "isolinux", "syslinux", "grub",    "ventoy"};
// What cameras keep beside DCIM.
constexpr std::string_view kCameraFolders[] = {"dcim",     "misc",    "private",  "avchd",
                                               "avf_info", "mp_root", "canonmsc", "nikon"};
// What macOS and Linux keep hidden in a drive's root.
constexpr std::string_view kOtherSystemFolders[] = {".trashes", ".fseventsd", ".spotlight-v100",
                                                    ".temporaryitems", ".documentrevisions-v100"};
constexpr std::string_view kLinuxTrashPrefix = ".trash-";
constexpr std::string_view kOtherSystemFiles[] = {"desktop.ini", "thumbs.db", ".ds_store"};
constexpr std::string_view kAppleDoublePrefix = "._";
constexpr std::string_view kDesktopIni = "desktop.ini";
// The folder into which one worm family moves the root.
constexpr std::string_view kUnderscoreFolder = "_";

// How much of a folder the verdicts read: one that may hide the user's files or the virus's
// whole, every entry of it (as far as a folder of the file system goes), a batch of such folders
// at a time; of any other hidden folder its first cluster, which tells whether it holds programs
// only.
constexpr std::size_t kMaxFirstClusterBytes = 64 << 10;
// Of the other hidden folders, the first ones in the root: a stick holds fewer, and a root of a
// thousand hidden folders is not read a thousand clusters more on slow flash for a listing that
// changes nothing of the repair (such a folder is shown again either way).
constexpr std::size_t kMaxCheckedFolders = 64;
// They are read a batch at a time, so that what is held stays small.
constexpr std::size_t kFolderBatch = 64;

// Names compared as Windows compares them, as far as ASCII goes.
std::string Fold(std::string_view text) {
  std::string folded(text);
  for (char& c : folded) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return folded;
}

// Whether `text` is `folded` (lower case) as Windows compares names, as far as ASCII goes; and
// whether it begins with it. Neither makes a copy: a root holds thousands of names.
bool EqualFolded(std::string_view text, std::string_view folded) {
  return text.size() == folded.size() &&
         std::equal(text.begin(), text.end(), folded.begin(), [](char a, char b) {
           return (a >= 'A' && a <= 'Z' ? static_cast<char>(a - 'A' + 'a') : a) == b;
         });
}
bool StartsFolded(std::string_view text, std::string_view folded) {
  return text.size() >= folded.size() && EqualFolded(text.substr(0, folded.size()), folded);
}

template <std::size_t N>
bool Listed(const std::string_view (&list)[N], std::string_view name) {
  return std::any_of(std::begin(list), std::end(list),
                     [&](std::string_view entry) { return EqualFolded(name, entry); });
}

// Windows drops the blanks and dots at a name's end.
std::string_view TrimmedName(std::string_view name) {
  while (!name.empty() && (name.back() == ' ' || name.back() == '.')) name.remove_suffix(1);
  return name;
}

std::string_view Unquoted(std::string_view path) {
  while (!path.empty() && path.front() == '"') path.remove_prefix(1);
  while (!path.empty() && path.back() == '"') path.remove_suffix(1);
  return path;
}

// The last part of a path.
std::string_view BaseName(std::string_view path) {
  path = Unquoted(path);
  const auto slash = path.find_last_of("\\/");
  return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

// A name's extension, folded, and its name without it.
std::string Extension(std::string_view name) {
  const auto dot = name.rfind('.');
  return dot == std::string_view::npos ? std::string() : Fold(name.substr(dot + 1));
}
std::string_view Stem(std::string_view name) {
  const auto dot = name.rfind('.');
  return TrimmedName(dot == std::string_view::npos ? name : name.substr(0, dot));
}

bool IsProgramName(std::string_view name) { return Listed(kProgramExtensions, Extension(name)); }
bool IsLibraryName(std::string_view name) { return Listed(kLibraryExtensions, Extension(name)); }
bool IsDocumentName(std::string_view name) { return Listed(kDocumentExtensions, Extension(name)); }
bool IsRunnable(std::string_view name) { return IsProgramName(name) || IsLibraryName(name); }

bool IsHidden(const RootFile& entry) { return (entry.attributes & fat::kAttrHiddenOrSystem) != 0; }

bool NameIs(const RootFile& file, std::string_view folded) {
  return Fold(file.longName) == folded || Fold(file.shortName) == folded;
}
bool ExtensionIs(const RootFile& file, std::string_view extension) {
  return Extension(file.longName) == extension ||
         (file.longName.empty() && Extension(file.shortName) == extension);
}

Host HostOf(std::string_view path) {
  const std::string folded = Fold(Unquoted(path));
  if (folded == kComspec) return Host::kShell;
  const std::string base = Fold(BaseName(path));
  for (const HostName& host : kHosts) {
    if (base == host.name || base + ".exe" == host.name) return host.host;
  }
  return Host::kNone;
}

// The words of a command: runs of characters between blanks and the characters that join
// arguments (, ; < > ( ) ^), a quoted run kept whole without its quotes; each with where it ends
// in the line.
struct Word {
  std::string text;
  std::size_t end = 0;
};
std::vector<Word> WordsOf(std::string_view line) {
  std::vector<Word> words;
  std::string word;
  bool quoted = false;
  for (std::size_t i = 0; i <= line.size(); ++i) {
    const char c = i < line.size() ? line[i] : ' ';
    if (c == '"') {
      quoted = !quoted;
      continue;
    }
    if (i == line.size() ||
        (!quoted && (c == ' ' || c == '\t' ||
                     std::string_view(",;<>()^").find(c) != std::string_view::npos))) {
      if (!word.empty()) words.push_back({std::move(word), i});
      word.clear();
      continue;
    }
    word += c;
  }
  return words;
}
std::vector<std::string> Words(std::string_view line) {
  std::vector<std::string> words;
  for (Word& word : WordsOf(line)) words.push_back(std::move(word.text));
  return words;
}

// The commands of a command interpreter's line: the parts between & and | outside quotes.
std::vector<std::string_view> Commands(std::string_view line) {
  std::vector<std::string_view> commands;
  bool quoted = false;
  std::size_t start = 0;
  for (std::size_t i = 0; i <= line.size(); ++i) {
    if (i < line.size() && line[i] == '"') quoted = !quoted;
    if (i == line.size() || (!quoted && (line[i] == '&' || line[i] == '|'))) {
      if (i > start) commands.push_back(line.substr(start, i - start));
      start = i + 1;
    }
  }
  return commands;
}

bool IsSwitch(std::string_view word) { return word.starts_with('/') || word.starts_with('-'); }

// A line as the command interpreter reads it: outside quotes a caret takes the next character as
// it is and goes (at the line's end it goes alone), so that c^m^d is cmd; an escaped quote opens
// nothing, and an escaped character that joins or splits commands is put between quotes, so that
// it stays inside its word. Inside quotes a caret is a character of the text.
std::string InterpreterLine(std::string_view line) {
  std::string read;
  bool quoted = false;
  for (std::size_t i = 0; i < line.size(); ++i) {
    const char c = line[i];
    if (c == '"') quoted = !quoted;
    if (c != '^' || quoted) {
      read += c;
    } else if (++i < line.size() && line[i] != '"') {
      if (std::string_view("&|<>()^").find(line[i]) == std::string_view::npos) {
        read += line[i];
      } else {
        read += {'"', line[i], '"'};
      }
    }
  }
  return read;
}

// cmd's /c, /k and /r take the rest of the line: when it begins with a quote, cmd drops that quote
// and the last one, unless they are its only two, around blanks and no special character (a
// program's path with blanks).
std::string CommandOfSwitch(std::string_view arguments) {
  std::size_t at = 0;
  for (std::string option; option != "/c" && option != "/k" && option != "/r";) {
    at = arguments.find_first_not_of(" \t", at);
    if (at == std::string_view::npos || arguments[at] != '/') return std::string(arguments);
    const std::size_t end = std::min(arguments.find_first_of(" \t\"", at), arguments.size());
    option = Fold(arguments.substr(at, end - at));
    at = end;
  }
  at = arguments.find_first_not_of(" \t", at);
  if (at == std::string_view::npos || arguments[at] != '"') return std::string(arguments);
  const std::string_view rest = arguments.substr(at + 1);
  const std::size_t last = rest.rfind('"');
  if (last == std::string_view::npos) {
    return std::string(arguments.substr(0, at)) + std::string(rest);
  }
  const std::string_view inside = rest.substr(0, last);
  if (std::count(rest.begin(), rest.end(), '"') == 1 &&
      inside.find_first_of("&<>()@^|") == std::string_view::npos &&
      inside.find_first_of(" \t") != std::string_view::npos) {
    return std::string(arguments);
  }
  return std::string(arguments.substr(0, at)) + std::string(inside) +
         std::string(rest.substr(last + 1));
}

// Each `name` in `text` (as Windows compares names) replaced by `by`.
std::string Replaced(std::string text, std::string_view name, std::string_view by) {
  for (std::size_t at = 0; at + name.size() <= text.size();) {
    if (EqualFolded(std::string_view(text).substr(at, name.size()), name)) {
      text.replace(at, name.size(), by);
      at += by.size();
    } else {
      ++at;
    }
  }
  return text;
}

// Something that a command runs or opens.
struct Run {
  std::string path;
  bool loaded = false;  // a file that a host loads (a script, rundll32's library, msiexec's file)
  bool opened = false;  // a folder that the command opens in Explorer
};

// What explorer is given: the first word that is no option. It opens a folder or a document, and
// runs a program or a script through its association; with /select it only shows where a thing
// lies.
void ExplorerRuns(const std::vector<std::string>& words, std::vector<Run>& runs) {
  for (const std::string& word : words) {
    if (Fold(word) == "/select") return;
    if (IsSwitch(word)) continue;
    runs.push_back({word, false, !IsProgramName(BaseName(word))});
    return;
  }
}

// conhost's options that take a value.
constexpr std::string_view kConsoleValueOptions[] = {
    "--width", "--height", "--signal", "--server", "--vtmode", "--feature", "--textmeasurement"};

// The interpreter's commands that run nothing from the drive.
constexpr std::string_view kBuiltins[] = {"exit", "echo", "cd",    "chdir", "type",  "set",
                                          "rem",  "cls",  "pause", "title", "color", "@echo"};

// How deep commands that start commands are read: a host's, whose command starts a host, ...
constexpr int kMaxCommandDepth = 4;

void RunsOf(std::string_view program, std::string_view arguments, std::vector<Run>& runs,
            int depth = 0);

// The arguments of a command line as a program's C runtime splits them: blanks outside double
// quotes part them; 2n backslashes before a quote are n, and the quote opens or closes a quoted
// run; 2n+1 are n and a quote; "" inside a quoted run is a quote.
std::vector<std::string> ArgumentsOf(std::string_view line) {
  std::vector<std::string> arguments;
  std::string argument;
  bool started = false, quoted = false;
  for (std::size_t i = 0; i < line.size();) {
    const char c = line[i];
    if (!quoted && (c == ' ' || c == '\t')) {
      if (started) arguments.push_back(std::move(argument));
      argument.clear();
      started = false;
      ++i;
      continue;
    }
    started = true;
    if (c == '\\') {
      const std::size_t end = std::min(line.find_first_not_of('\\', i), line.size());
      const std::size_t n = end - i;
      i = end;
      const bool quote = i < line.size() && line[i] == '"';
      argument.append(quote ? n / 2 : n, '\\');
      if (quote && n % 2 == 1) {
        argument += '"';
        ++i;
      }
    } else if (c == '"' && quoted && i + 1 < line.size() && line[i + 1] == '"') {
      argument += '"';
      i += 2;
    } else {
      if (c == '"') {
        quoted = !quoted;
      } else {
        argument += c;
      }
      ++i;
    }
  }
  if (started) arguments.push_back(std::move(argument));
  return arguments;
}

// A PowerShell option or parameter's name without its dash (one or two of -, the en and em
// dashes and the horizontal bar, or a /), folded; nothing when the word is none.
std::optional<std::string> PowerShellOptionName(std::string_view word, bool slash) {
  const auto dash = [&word]() {
    for (const std::string_view mark : {"-", "\u2013", "\u2014", "\u2015"}) {
      if (word.starts_with(mark)) {
        word.remove_prefix(mark.size());
        return true;
      }
    }
    return false;
  };
  if (!dash()) {
    if (!slash || !word.starts_with('/')) return std::nullopt;
    word.remove_prefix(1);
  } else {
    dash();
  }
  if (word.empty() || !std::isalpha(static_cast<unsigned char>(word.front()))) return std::nullopt;
  return Fold(word);
}

// Whether `key` names `name` by a prefix that PowerShell accepts: at least `least`.
bool NamesOption(std::string_view key, std::string_view name, std::string_view least) {
  return key.size() >= least.size() && name.starts_with(key);
}

// What the options of powershell.exe and pwsh take after them.
enum class Takes { kNothing, kValue, kCommand, kEncoded, kFile };
struct PowerShellOption {
  std::string_view name;
  std::string_view least;  // its shortest prefix that PowerShell takes for it
  Takes takes;
};
constexpr PowerShellOption kPowerShellOptions[] = {
    {"command", "c", Takes::kCommand},
    {"encodedcommand", "e", Takes::kEncoded},
    {"ec", "ec", Takes::kEncoded},
    {"file", "f", Takes::kFile},
    {"executionpolicy", "ex", Takes::kValue},
    {"ep", "ep", Takes::kValue},
    {"windowstyle", "w", Takes::kValue},
    {"workingdirectory", "wo", Takes::kValue},
    {"wd", "wd", Takes::kValue},
    {"version", "v", Takes::kValue},
    {"inputformat", "inp", Takes::kValue},
    {"if", "if", Takes::kValue},
    {"outputformat", "o", Takes::kValue},
    {"of", "of", Takes::kValue},
    {"psconsolefile", "psconsolefile", Takes::kValue},
    {"configurationname", "config", Takes::kValue},
    {"settingsfile", "settings", Takes::kValue},
    {"custompipename", "custompipename", Takes::kValue},
    {"encodedarguments", "encodeda", Takes::kValue},
    {"ea", "ea", Takes::kValue},
};

// The most bytes that an encoded command is decoded to: a shortcut's whole command line is less.
constexpr std::size_t kMaxEncodedCommandBytes = 64 << 10;

// The text of -EncodedCommand, base64 of UTF-16LE; nothing when it is not base64 or not text (an
// odd length, a control character but a tab or a line break, a lone surrogate, a non-character).
std::optional<std::string> EncodedCommand(std::string_view base64) {
  const auto bytes = DecodeBase64(base64, kMaxEncodedCommandBytes);
  if (!bytes || bytes->empty() || bytes->size() % 2 != 0) return std::nullopt;
  std::u16string text;
  for (std::size_t i = 0; i < bytes->size(); i += 2) {
    const auto c = static_cast<char16_t>((*bytes)[i] | (*bytes)[i + 1] << 8);
    const bool control = c < 0x20 && c != '\t' && c != '\n' && c != '\r';
    const bool high = !text.empty() && text.back() >= 0xD800 && text.back() <= 0xDBFF;
    const bool low = c >= 0xDC00 && c <= 0xDFFF;
    if (control || c == 0xFFFE || c == 0xFFFF || high != low) return std::nullopt;
    if (!(i == 0 && c == 0xFEFF)) text += c;
  }
  if (!text.empty() && text.back() >= 0xD800 && text.back() <= 0xDBFF) return std::nullopt;
  return Utf16ToUtf8(text);
}

// A word of a PowerShell statement: quoted when some of it stood between quotes.
struct ShellWord {
  std::string text;
  bool quoted = false;
};
using Statement = std::vector<ShellWord>;

// PowerShell's statements: parted by ; | && || line breaks, braces and parentheses outside
// quotes, their words by blanks, `,` and `&` standing alone. '' quotes literally ('' is a quote
// there); "" and a backtick outside single quotes take the next character as it is. A variable
// becomes %NAME% ($env:NAME too) so that its path lies elsewhere, but $pwd, which is the current
// folder; a comment (#) ends at the line's end.
std::vector<Statement> StatementsOf(std::string_view text) {
  std::vector<Statement> statements(1);
  ShellWord word;
  bool inWord = false;
  const auto endWord = [&] {
    if (inWord) statements.back().push_back(std::move(word));
    word = {};
    inWord = false;
  };
  const auto endStatement = [&] {
    endWord();
    if (!statements.back().empty()) statements.emplace_back();
  };
  const auto variable = [&](std::size_t& i) {
    // At the $: its name, up to what cannot be in it, or between braces.
    std::string name;
    if (i + 1 < text.size() && text[i + 1] == '{') {
      const std::size_t close = text.find('}', i);
      name = text.substr(i + 2, close == std::string_view::npos ? close : close - i - 2);
      i = close == std::string_view::npos ? text.size() : close + 1;
    } else {
      std::size_t end = i + 1;
      while (end < text.size() && (std::isalnum(static_cast<unsigned char>(text[end])) ||
                                   text[end] == '_' || text[end] == ':')) {
        ++end;
      }
      name = text.substr(i + 1, end - i - 1);
      i = end;
    }
    const std::string folded = Fold(name);
    if (folded == "pwd") return std::string(".");
    return "%" + (folded.starts_with("env:") ? name.substr(4) : name) + "%";
  };
  for (std::size_t i = 0; i < text.size();) {
    const char c = text[i];
    if (c == '\'') {
      inWord = word.quoted = true;
      for (++i; i < text.size(); ++i) {
        if (text[i] != '\'') {
          word.text += text[i];
        } else if (i + 1 < text.size() && text[i + 1] == '\'') {
          word.text += text[++i];
        } else {
          break;
        }
      }
      ++i;
    } else if (c == '"') {
      inWord = word.quoted = true;
      for (++i; i < text.size() && text[i] != '"';) {
        if (text[i] == '`' && i + 1 < text.size()) {
          word.text += text[i + 1];
          i += 2;
        } else if (text[i] == '$') {
          word.text += variable(i);
        } else {
          word.text += text[i++];
        }
      }
      ++i;
    } else if (c == '`' && i + 1 < text.size()) {
      // A line that goes on, or a character as it is.
      if (text[i + 1] != '\r' && text[i + 1] != '\n') {
        word.text += text[i + 1];
        inWord = true;
      }
      i += 2;
    } else if (c == '$') {
      word.text += variable(i);
      inWord = true;
    } else if (c == '#' && !inWord) {
      i = std::min(text.find_first_of("\r\n", i), text.size());
    } else if (std::string_view(";|\r\n{}()").find(c) != std::string_view::npos ||
               (c == '&' && i + 1 < text.size() && text[i + 1] == '&')) {
      endStatement();
      i += c == '&' ? 2 : 1;
    } else if (c == ' ' || c == '\t') {
      endWord();
      ++i;
    } else if (c == ',' || (c == '&' && !inWord)) {
      endWord();
      statements.back().push_back({std::string(1, c), false});
      ++i;
    } else {
      word.text += c;
      inWord = true;
      ++i;
    }
  }
  endStatement();
  statements.pop_back();
  return statements;
}

// A value of a cmdlet's parameter from word `at` on: a word, or an array of words between commas,
// joined by blanks as Start-Process joins its arguments.
std::string ValueAt(const Statement& words, std::size_t& at) {
  std::string value = words[at].text;
  while (at + 2 < words.size() && !words[at + 1].quoted && words[at + 1].text == ",") {
    at += 2;
    value += " " + words[at].text;
  }
  return value;
}

// The parameters of Start-Process that take no value.
constexpr std::string_view kStartProcessSwitches[] = {
    "wait",    "passthru", "nonewwindow", "loaduserprofile", "usenewenvironment",
    "verbose", "debug",    "whatif",      "confirm"};

void PowerShellText(std::string_view text, std::vector<Run>& runs, int depth);

// What one PowerShell statement runs: Start-Process (start, saps) its -FilePath or first
// positional word with its -ArgumentList or second, Invoke-Item (ii) what it opens, Invoke-
// Expression (iex) a text read again, a host given the words after it, a program's path; after
// the call operators & and . too. Cmdlets and strings run nothing of the drive.
void PowerShellStatement(const Statement& words, std::vector<Run>& runs, int depth) {
  std::size_t at = 0;
  const bool called = !words[0].quoted && (words[0].text == "&" || words[0].text == ".");
  if (called) ++at;
  if (at == words.size() || (words[at].quoted && !called)) return;
  const std::string& command = words[at].text;
  const std::string verb = Fold(command);
  std::vector<std::string> values;  // by position, or the one that a parameter names
  std::optional<std::string> file, arguments;
  for (std::size_t i = at + 1; i < words.size(); ++i) {
    const auto name = words[i].quoted ? std::nullopt : PowerShellOptionName(words[i].text, false);
    if (!name) {
      if (words[i].quoted || words[i].text != ",") values.push_back(ValueAt(words, i));
      continue;
    }
    const bool flag =
        std::any_of(std::begin(kStartProcessSwitches), std::end(kStartProcessSwitches),
                    [&](std::string_view s) { return NamesOption(*name, s, "wa"); });
    if (flag || i + 1 == words.size()) continue;
    ++i;
    if (NamesOption(*name, "filepath", "f") || *name == "path" || *name == "pspath" ||
        *name == "literalpath") {
      file = ValueAt(words, i);
    } else if (NamesOption(*name, "argumentlist", "a") || *name == "args") {
      arguments = ValueAt(words, i);
    } else {
      ValueAt(words, i);
    }
  }
  if (verb == "start-process" || verb == "start" || verb == "saps") {
    std::size_t next = 0;
    if (!file && next < values.size()) file = values[next++];
    if (!arguments && next < values.size()) arguments = values[next];
    if (file) RunsOf(*file, arguments.value_or(""), runs, depth + 1);
  } else if (verb == "invoke-item" || verb == "ii") {
    if (file) values.insert(values.begin(), *file);
    for (const std::string& path : values) {
      runs.push_back({path, false, !IsProgramName(BaseName(path))});
    }
  } else if (verb == "invoke-expression" || verb == "iex") {
    if (!values.empty()) PowerShellText(values[0], runs, depth + 1);
  } else if (HostOf(command) != Host::kNone) {
    // Its words as PowerShell hands them to a program: those with blanks between quotes.
    std::string line;
    for (std::size_t i = at + 1; i < words.size(); ++i) {
      const std::string& w = words[i].text;
      line += (line.empty() ? "" : " ") +
              (w.find_first_of(" \t") == std::string::npos ? w : "\"" + w + "\"");
    }
    RunsOf(command, line, runs, depth + 1);
  } else if (IsRunnable(BaseName(command)) || command.find_first_of("\\/") != std::string::npos) {
    RunsOf(command, "", runs, depth + 1);
  }
}

void PowerShellText(std::string_view text, std::vector<Run>& runs, int depth) {
  if (depth > kMaxCommandDepth) return;
  for (const Statement& statement : StatementsOf(text)) {
    PowerShellStatement(statement, runs, depth);
  }
}

// What powershell.exe or pwsh runs: the script of -File, or the text of -Command (the rest of
// the line) or of -EncodedCommand, each option by any prefix that PowerShell takes for it; with
// none of them, the first argument that is no option: a script, or the command's text.
void PowerShellRuns(std::string_view line, std::vector<Run>& runs, int depth) {
  const std::vector<std::string> arguments = ArgumentsOf(line);
  const auto rest = [&](std::size_t from) {
    std::string text;
    for (std::size_t i = from; i < arguments.size(); ++i) {
      text += (i == from ? "" : " ") + arguments[i];
    }
    return text;
  };
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    const auto name = PowerShellOptionName(arguments[i], true);
    if (!name) {
      if (Extension(arguments[i]) == "ps1") return runs.push_back({arguments[i], true, false});
      return PowerShellText(rest(i), runs, depth);
    }
    const auto option = std::find_if(
        std::begin(kPowerShellOptions), std::end(kPowerShellOptions),
        [&](const PowerShellOption& o) { return NamesOption(*name, o.name, o.least); });
    const Takes takes = option == std::end(kPowerShellOptions) ? Takes::kNothing : option->takes;
    if (takes == Takes::kNothing) continue;
    if (++i == arguments.size()) return;
    if (takes == Takes::kFile) return runs.push_back({arguments[i], true, false});
    if (takes == Takes::kCommand) return PowerShellText(rest(i), runs, depth);
    if (takes == Takes::kEncoded) {
      if (const auto text = EncodedCommand(arguments[i])) PowerShellText(*text, runs, depth);
      return;
    }
  }
}

// What `program` run with the arguments `arguments` runs, into `runs`.
void RunsOf(std::string_view program, std::string_view arguments, std::vector<Run>& runs,
            int depth) {
  if (depth > kMaxCommandDepth) return;
  const Host host = HostOf(program);
  const std::vector<std::string> words = Words(arguments);
  const auto firstFile = [&]() -> std::optional<std::string> {
    for (const std::string& word : words) {
      if (!IsSwitch(word)) return word;
    }
    return std::nullopt;
  };
  const auto loaded = [&](std::optional<std::string> path) {
    if (path) runs.push_back({std::move(*path), true, false});
  };
  switch (host) {
    case Host::kNone:
      runs.push_back({std::string(Unquoted(program)), false, false});
      return;
    case Host::kRegister:
      // /i:X hands X to the library's install: the scriptlet that scrobj.dll runs.
      for (const std::string& word : words) {
        if (word.size() > 3 && (StartsFolded(word, "/i:") || StartsFolded(word, "-i:"))) {
          loaded(word.substr(3));
        }
      }
      return loaded(firstFile());
    case Host::kScript:
    case Host::kLibrary:  // the library before its comma: the words split there
    case Host::kHta:
      return loaded(firstFile());
    case Host::kExplorer:
      return ExplorerRuns(words, runs);
    case Host::kConsole: {
      // Its options, then the command line that it hosts.
      const std::vector<Word> parts = WordsOf(arguments);
      std::size_t at = 0;
      while (at < parts.size() && parts[at].text.starts_with("--")) {
        const std::string option = Fold(parts[at++].text);
        if (option == "--") break;
        if (Listed(kConsoleValueOptions, option)) ++at;
      }
      if (at < parts.size()) {
        RunsOf(parts[at].text, arguments.substr(parts[at].end), runs, depth + 1);
      }
      return;
    }
    case Host::kForFiles: {
      // The command of its /c, run for each file that /m matches in the folder of /p: @file and
      // @path name that file when the mask names one alone; 0xHH is the character of that code.
      std::string folder, mask, line;
      for (std::size_t i = 0; i + 1 < words.size(); ++i) {
        const std::string option = Fold(words[i]);
        if (option == "/p" || option == "-p") folder = words[i + 1];
        if (option == "/m" || option == "-m") mask = words[i + 1];
        if (option == "/c" || option == "-c") line = words[i + 1];
      }
      for (std::size_t i = 0; i + 3 < line.size(); ++i) {
        if (line[i] == '0' && (line[i + 1] == 'x' || line[i + 1] == 'X') &&
            std::isxdigit(static_cast<unsigned char>(line[i + 2])) &&
            std::isxdigit(static_cast<unsigned char>(line[i + 3]))) {
          line.replace(i, 4, 1, static_cast<char>(std::stoi(line.substr(i + 2, 2), nullptr, 16)));
        }
      }
      if (!mask.empty() && mask.find_first_of("*?") == std::string::npos) {
        const std::string file =
            "\"" + (folder.empty() || folder == "." ? "" : folder + "\\") + mask + "\"";
        line = Replaced(Replaced(std::move(line), "@path", file), "@file", file);
      }
      const std::vector<Word> parts = WordsOf(line);
      if (!parts.empty()) {
        RunsOf(parts[0].text, std::string_view(line).substr(parts[0].end), runs, depth + 1);
      }
      return;
    }
    case Host::kInstaller:
      for (std::size_t i = 0; i + 1 < words.size(); ++i) {
        const std::string option = Fold(words[i]);
        if (option == "/y" || option == "/z" || option == "/i" || option == "/a" ||
            option == "/p" || option == "/package") {
          return loaded(words[i + 1]);
        }
      }
      return loaded(firstFile());
    case Host::kPowerShell:
      return PowerShellRuns(arguments, runs, depth);
    case Host::kShell:
      break;
  }
  // The interpreter: its switches, then commands joined by & and |, as it reads them.
  const std::string line = InterpreterLine(CommandOfSwitch(arguments));
  for (const std::string_view command : Commands(line)) {
    const std::vector<Word> parts = WordsOf(command);
    std::size_t at = 0;
    while (at < parts.size() && IsSwitch(parts[at].text)) ++at;
    if (at == parts.size()) continue;
    const std::string verb = Fold(parts[at].text);
    if (verb == "start" || verb == "call") {
      ++at;
      while (at < parts.size() && IsSwitch(parts[at].text)) ++at;
      if (at == parts.size()) continue;
    } else if (Listed(kBuiltins, verb)) {
      continue;
    }
    RunsOf(parts[at].text, command.substr(parts[at].end), runs, depth + 1);
  }
}

// A path as this drive may hold it: its drive letter, environment variables of the current
// folder, ".\" and "..\" (the root's parent is the root) taken off, split into its parts.
struct DrivePath {
  bool hasDrive = false;
  bool elsewhere = false;  // a network path, an address, another environment variable
  std::vector<std::string> parts;
};

DrivePath SplitPath(std::string_view path) {
  DrivePath split;
  path = Unquoted(path);
  // A path that Windows takes as it is: \\?\F:\x is F:\x without its blanks trimmed.
  if ((path.starts_with("\\\\?\\") || path.starts_with("\\\\.\\")) && path.size() > 5 &&
      path[5] == ':') {
    path.remove_prefix(4);
  }
  if (path.starts_with("\\\\") || path.starts_with("//") ||
      path.find("://") != std::string_view::npos) {
    split.elsewhere = true;
    return split;
  }
  if (path.size() >= 2 && path[1] == ':') {
    split.hasDrive = true;
    path.remove_prefix(2);
  }
  for (;;) {
    const std::string folded = Fold(path.substr(0, 6));
    if (folded.starts_with("%cd%")) {
      path.remove_prefix(4);
    } else if (folded.starts_with("%~dp0")) {
      path.remove_prefix(5);
    } else if (path.starts_with(".\\") || path.starts_with("./")) {
      path.remove_prefix(2);
    } else if (path.starts_with("..\\") || path.starts_with("../")) {
      path.remove_prefix(3);
    } else if (path.starts_with('\\') || path.starts_with('/')) {
      path.remove_prefix(1);
    } else {
      break;
    }
  }
  if (path.find('%') != std::string_view::npos) {
    split.elsewhere = true;
    return split;
  }
  while (!path.empty()) {
    const auto slash = path.find_first_of("\\/");
    const std::string_view part = path.substr(0, slash);
    if (!part.empty() && part != ".") split.parts.emplace_back(part);
    if (slash == std::string_view::npos) break;
    path.remove_prefix(slash + 1);
  }
  return split;
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

// The lines of a text, each trimmed, with its key (folded) and value when it has an "=".
struct KeyLine {
  std::string_view line;
  std::string key;
  std::string_view value;
};
std::vector<KeyLine> KeyLines(std::string_view text) {
  std::vector<KeyLine> lines;
  while (!text.empty()) {
    const auto end = text.find_first_of("\r\n");
    const std::string_view line = Trimmed(text.substr(0, end));
    text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    const auto equals = line.find('=');
    if (equals == std::string_view::npos) continue;
    lines.push_back(
        {line, Fold(Trimmed(line.substr(0, equals))), Trimmed(line.substr(equals + 1))});
  }
  return lines;
}

bool RunsSomething(std::string_view key) {
  return key == "open" || key == "shellexecute" ||
         (key.starts_with("shell\\") && key.ends_with("\\command"));
}

// An internet shortcut's address as a path of this computer, when it is a file: address.
std::optional<std::string> UrlFilePath(std::string_view text) {
  for (const KeyLine& line : KeyLines(text)) {
    if (line.key != "url") continue;
    std::string_view url = line.value;
    if (Fold(url.substr(0, 5)) != "file:") return std::nullopt;
    url.remove_prefix(5);
    while (url.starts_with('/')) url.remove_prefix(1);
    std::string path;
    for (std::size_t i = 0; i < url.size(); ++i) {
      if (url[i] == '%' && i + 2 < url.size() &&
          std::isxdigit(static_cast<unsigned char>(url[i + 1])) &&
          std::isxdigit(static_cast<unsigned char>(url[i + 2]))) {
        path += static_cast<char>(std::stoi(std::string(url.substr(i + 1, 2)), nullptr, 16));
        i += 2;
      } else {
        path += url[i] == '/' ? '\\' : url[i];
      }
    }
    return path;
  }
  return std::nullopt;
}

// A label shortcut's name may carry the drive's size: "USB DISK (8GB)".
std::string_view WithoutSize(std::string_view name) {
  if (!name.ends_with(')')) return name;
  const auto open = name.rfind(" (");
  if (open == std::string_view::npos) return name;
  const std::string size = Fold(name.substr(open + 2, name.size() - open - 3));
  const bool isSize = !size.empty() && std::isdigit(static_cast<unsigned char>(size.front())) &&
                      (size.ends_with("b") || size.ends_with("g") || size.ends_with("m"));
  return isSize ? TrimmedName(name.substr(0, open)) : name;
}

// The entry that a command's path names on this drive.
struct Target {
  bool onDrive = false;               // the path lies on this drive, or names what is here
  std::optional<std::size_t> file;    // a root file
  std::optional<std::size_t> folder;  // a root folder, or the one that holds `inner`
  std::optional<std::size_t> inner;   // an entry of that folder's listing
};

class Judge {
 public:
  Judge(RootSource& source, VolumeLayout& layout, const RootEntries& entries)
      : source_(source),
        layout_(layout),
        files_(entries.files),
        folders_(entries.folders),
        fileVerdicts_(files_.size()),
        folderVerdicts_(folders_.size()),
        listings_(folders_.size()),
        contents_(folders_.size()) {
    for (const std::string& label : {layout.findings.label, VolumeLabel(layout)}) {
      const std::string folded = Fold(TrimmedName(label));
      if (!folded.empty() && std::find(labels_.begin(), labels_.end(), folded) == labels_.end()) {
        labels_.push_back(folded);
      }
    }
    serial_ = IdentityOf(layout).serial;
  }

  std::unordered_set<std::int64_t> Run() {
    ReadCommands();
    // Names are looked up only for what commands name and for programs named like a folder: a
    // root of hidden folders alone needs no lookup.
    if (!commands_.empty() || std::any_of(files_.begin(), files_.end(), [](const RootFile& f) {
          return IsProgramName(f.Name());
        })) {
      IndexNames();
    }
    ListHiddenFolders();
    JudgeCommands();
    JudgeSticks();
    JudgeFolders();
    JudgeFiles();
    return Publish();
  }

 private:
  // A shortcut's, internet shortcut's or autorun.inf's command.
  struct Command {
    std::size_t file = 0;  // the root file that holds it
    bool autorun = false;
    Host host = Host::kNone;
    std::string shown;  // as the lists show it: the shortcut's command, or autorun.inf's line
    std::vector<::kestrova::repair::Run> runs;
    bool targetOnDrive = false;  // a shortcut's LinkInfo places its target on this drive
  };

  // Each entry by its exact name and short name; the names that Windows trims of their blanks
  // and dots by what is left, where no entry has that name exactly: a path names the entry of its
  // exact name first, so that a look-alike `System Volume Information ` never stands for the real
  // folder, nor the real one for it.
  static void Index(const std::vector<RootFile>& entries,
                    std::unordered_map<std::string, std::size_t>& byName) {
    for (std::size_t i = 0; i < entries.size(); ++i) {
      for (const std::string* name : {&entries[i].longName, &entries[i].shortName}) {
        if (!name->empty()) byName.emplace(Fold(*name), i);
      }
    }
    for (std::size_t i = 0; i < entries.size(); ++i) {
      for (const std::string* name : {&entries[i].longName, &entries[i].shortName}) {
        if (!name->empty()) byName.emplace(Fold(TrimmedName(*name)), i);
      }
    }
  }
  void IndexNames() {
    Index(files_, fileByName_);
    Index(folders_, folderByName_);
  }

  bool IsLabel(std::string_view name) const {
    const std::string_view bare = WithoutSize(TrimmedName(name));
    return std::any_of(labels_.begin(), labels_.end(),
                       [&](const std::string& label) { return EqualFolded(bare, label); });
  }
  // A folder into which a virus moves the user's files: a hidden one with a blank or invisible
  // name, `_` or the label's name; or one with a blank or invisible name that is no longer hidden
  // (a repair shows it again), a name that no one gives a folder of his own.
  bool IsHidingFolder(const RootFile& folder) const {
    const std::string& name = folder.Name();
    if (IsBlankName(name)) return true;
    return (folder.attributes & fat::kAttrHiddenOrSystem) &&
           (name == kUnderscoreFolder || IsLabel(name));
  }
  static std::optional<std::size_t> Find(const std::unordered_map<std::string, std::size_t>& byName,
                                         std::string_view name) {
    auto found = byName.find(Fold(name));
    if (found == byName.end()) found = byName.find(Fold(TrimmedName(name)));
    if (found == byName.end()) return std::nullopt;
    return found->second;
  }
  std::optional<std::size_t> Folder(std::string_view name) const {
    return Find(folderByName_, name);
  }
  std::optional<std::size_t> File(std::string_view name) const { return Find(fileByName_, name); }
  std::optional<std::size_t> InListing(std::size_t folder, std::string_view name) const {
    if (!listings_[folder]) return std::nullopt;
    const auto& entries = listings_[folder]->entries;
    // The exact name first, as in the root.
    for (const bool trimmed : {false, true}) {
      const std::string folded = Fold(trimmed ? TrimmedName(name) : name);
      for (std::size_t i = 0; i < entries.size(); ++i) {
        for (const std::string* own : {&entries[i].longName, &entries[i].shortName}) {
          if (!own->empty() && EqualFolded(trimmed ? TrimmedName(*own) : *own, folded)) return i;
        }
      }
    }
    return std::nullopt;
  }

  // Whether a command's path lies on this drive: a relative path or one without a drive letter,
  // or (`recorded`) a shortcut's target whose LinkInfo names this volume or a removable drive. A
  // folder of the same name here is no evidence: the user's own shortcut to C:\Tools\putty.exe
  // beside a Tools folder on the stick runs nothing of the stick's.
  static bool OnDrive(std::string_view path, bool recorded) {
    const DrivePath split = SplitPath(path);
    return !split.elsewhere && !split.parts.empty() && (recorded || !split.hasDrive);
  }

  // The entry here that a command's path names: a root file or folder, an entry one level inside
  // a root folder, or a file beside the user's moved files. A path with a drive letter names
  // something here only inside a folder whose listing holds it (the virus's E:\sysvolume\x.vbs).
  Target Locate(std::string_view path, bool onDrive) const {
    Target target;
    const DrivePath split = SplitPath(path);
    if (split.elsewhere || split.parts.empty()) return target;
    if (split.parts.size() == 1) {
      if (!onDrive) {
        // Another drive's letter may be the one this drive had where the worm wrote the path:
        // the file of that name here is what it runs.
        if (split.hasDrive) target.file = File(split.parts[0]);
        target.onDrive = target.file.has_value();
        return target;
      }
      target.file = File(split.parts[0]);
      if (!target.file) target.folder = Folder(split.parts[0]);
      if (!target.file && !target.folder) {
        // A worm that moved the root runs its payload beside the user's moved files.
        for (std::size_t f = 0; f < folders_.size() && !target.inner; ++f) {
          if (!IsHidingFolder(folders_[f])) continue;
          if (const auto inner = InListing(f, split.parts[0])) {
            target.folder = f;
            target.inner = inner;
          }
        }
      }
    } else if (const auto folder = Folder(split.parts[0])) {
      const auto inner = InListing(*folder, split.parts[1]);
      if (inner || onDrive) {
        target.folder = folder;
        target.inner = inner;
      }
    }
    target.onDrive = onDrive || target.inner.has_value();
    return target;
  }

  // Whether the run `r` of a command lies on this drive: a shortcut's own target is placed by its
  // LinkInfo, what a host is given by its path.
  static bool RunOnDrive(const Command& command, std::size_t r) {
    const bool target = !command.autorun && command.host == Host::kNone && r == 0;
    return OnDrive(command.runs[r].path, target && command.targetOnDrive);
  }

  void ReadCommands() {
    for (std::size_t i = 0; i < files_.size(); ++i) {
      const RootFile& file = files_[i];
      if (NameIs(file, kAutorunName)) {
        if (file.attributes & ReservedBits()) continue;  // a vaccine: nothing to read
        const auto bytes = source_.ReadFileStart(file, kMaxInspectedBytes);
        const std::string text = TextOf(bytes);
        for (const KeyLine& line : KeyLines(text)) {
          if (!RunsSomething(line.key)) continue;
          Command command{i, true, Host::kNone, std::string(line.line), {}, false};
          const auto words = WordsOf(line.value);
          if (!words.empty()) {
            command.host = HostOf(words[0].text);
            RunsOf(words[0].text, line.value.substr(words[0].end), command.runs);
          }
          commands_.push_back(std::move(command));
        }
      } else if (ExtensionIs(file, kShortcutExtension)) {
        const auto link = ParseShellLink(source_.ReadFileStart(file, kMaxInspectedBytes));
        if (!link) {
          unreadable_.push_back(i);
          continue;
        }
        Command command{i, false, Host::kNone, link->Command(), {}, false};
        const std::string& program = Program(*link);
        command.host = HostOf(program);
        command.targetOnDrive =
            (serial_ != 0 && link->driveSerial == serial_) || link->driveType == kRemovableDrive;
        RunsOf(program, link->arguments, command.runs);
        commands_.push_back(std::move(command));
      } else if (ExtensionIs(file, kPifExtension)) {
        // A program information file starts its program as a shortcut does; one that is a
        // program itself is judged as a program.
        const auto pif = ParsePif(source_.ReadFileStart(file, kMaxInspectedBytes));
        if (!pif) continue;
        const std::string shown =
            pif->parameters.empty() ? pif->program : pif->program + " " + pif->parameters;
        Command command{i, false, HostOf(pif->program), shown, {}, false};
        RunsOf(pif->program, pif->parameters, command.runs);
        commands_.push_back(std::move(command));
      } else if (ExtensionIs(file, kInternetShortcutExtension)) {
        const auto path = UrlFilePath(TextOf(source_.ReadFileStart(file, kMaxInspectedBytes)));
        if (!path || !IsRunnable(BaseName(*path))) continue;
        Command command{i, false, Host::kNone, *path, {{*path, false, false}}, false};
        commands_.push_back(std::move(command));
      }
    }
  }

  // The program that a shortcut starts: its target's first form that is set; an environment
  // block that names only the interpreter counts as it.
  static const std::string& Program(const ShellLink& link) {
    for (const std::string* path :
         {&link.localPath, &link.idListPath, &link.environmentPath, &link.relativePath}) {
      if (!path->empty() && HostOf(*path) != Host::kNone) return *path;
    }
    return link.Target();
  }

  std::uint16_t ReservedBits() const {
    return layout_.fileSystem == FileSystem::kExfat ? exfat::kAttrReserved : fat::kAttrReserved;
  }

  // Reads one level inside the hidden folders, and inside every folder that a command's path goes
  // into: deep where the folder may hide the user's files or the virus's whole, a cluster's worth
  // of the others.
  void ListHiddenFolders() {
    std::vector<bool> deep(folders_.size(), false);
    // The names that the commands give inside each folder (folded, without the blanks and dots
    // at their ends): their entries are kept, whatever else the folder holds.
    // A name alone may be looked for in the folder that the virus moved the files into.
    std::map<std::size_t, std::unordered_set<std::string>> named;
    std::unordered_set<std::string> alone;
    for (const Command& command : commands_) {
      for (const auto& run : command.runs) {
        const DrivePath split = SplitPath(run.path);
        if (split.parts.size() == 1) alone.insert(Fold(TrimmedName(split.parts[0])));
        if (split.parts.size() >= 2) {
          if (const auto folder = Folder(split.parts[0])) {
            deep[*folder] = true;
            named[*folder].insert(Fold(TrimmedName(split.parts[1])));
          }
        }
      }
    }
    // Each entry read tells what the folder holds; only the programs, desktop.ini and what the
    // commands name are kept, so that a folder of any size is judged whole in little memory.
    const auto keeper = [&](const std::vector<std::size_t>& at, std::size_t from) {
      return [&, from](std::size_t batch, const RootFile& entry) {
        const std::size_t folder = at[from + batch];
        Note(contents_[folder], entry);
        if (!entry.IsFolder() && (IsRunnable(entry.Name()) || NameIs(entry, kDesktopIni))) {
          return true;
        }
        const auto names = named.find(folder);
        for (const std::string* own : {&entry.longName, &entry.shortName}) {
          if (own->empty()) continue;
          const std::string name = Fold(TrimmedName(*own));
          if (alone.count(name) || (names != named.end() && names->second.count(name))) {
            return true;
          }
        }
        return false;
      };
    };
    std::vector<const RootFile*> wide, narrow;
    std::vector<std::size_t> wideAt, narrowAt;
    for (std::size_t i = 0; i < folders_.size(); ++i) {
      const RootFile& folder = folders_[i];
      const bool hidden = IsHidden(folder);
      // Windows' folders, and the look-alikes named with blanks or dots after their names.
      if (IsHidingFolder(folder) || Listed(kWindowsFolders, TrimmedName(folder.Name()))) {
        deep[i] = true;
      }
      if (deep[i]) {
        wide.push_back(&folder);
        wideAt.push_back(i);
      } else if (hidden && narrow.size() < kMaxCheckedFolders && !IsOtherSystemFolder(folder) &&
                 !NameIs(folder, kAutorunName)) {
        narrow.push_back(&folder);
        narrowAt.push_back(i);
      }
    }
    std::vector<FolderListing> listed;
    for (std::size_t from = 0; from < wide.size(); from += kFolderBatch) {
      const std::size_t to = std::min(wide.size(), from + kFolderBatch);
      listed = source_.ListFolders({wide.begin() + static_cast<std::ptrdiff_t>(from),
                                    wide.begin() + static_cast<std::ptrdiff_t>(to)},
                                   kMaxFolderBytes, keeper(wideAt, from));
      for (std::size_t i = 0; i < listed.size(); ++i) {
        listings_[wideAt[from + i]] = std::move(listed[i]);
      }
    }
    // The others, a batch at a time, each kept only as what it holds.
    const auto firstCluster =
        std::min(static_cast<std::size_t>(layout_.ClusterBytes()), kMaxFirstClusterBytes);
    for (std::size_t from = 0; from < narrow.size(); from += kFolderBatch) {
      const std::size_t to = std::min(narrow.size(), from + kFolderBatch);
      const std::vector<const RootFile*> batch(narrow.begin() + static_cast<std::ptrdiff_t>(from),
                                               narrow.begin() + static_cast<std::ptrdiff_t>(to));
      source_.ListFolders(batch, firstCluster, [&, from](std::size_t i, const RootFile& entry) {
        Note(contents_[narrowAt[from + i]], entry);
        return false;
      });
    }
  }

  // What a folder holds, as far as it was read: what only a user keeps (a document, or a folder
  // not named as Windows names its recycle bin's, S-1-5-...), what Windows keeps at the top of
  // its own folders, programs and scripts, and anything but those and other systems' files.
  struct Contents {
    bool users = false;
    bool windows = false;
    bool programs = false;
    bool others = false;
  };
  static void Note(Contents& contents, const RootFile& entry) {
    const bool folder = entry.IsFolder();
    const bool runnable = !folder && IsRunnable(entry.Name());
    contents.users = contents.users || (folder ? !Fold(entry.Name()).starts_with("s-")
                                               : IsDocumentName(entry.Name()));
    contents.windows = contents.windows || IsWindowsOwn(entry);
    contents.programs = contents.programs || runnable;
    contents.others =
        contents.others || folder || !(runnable || Listed(kOtherSystemFiles, entry.Name()));
  }

  // Whether a folder holds programs and scripts and nothing of the user's besides.
  bool HoldsProgramsOnly(std::size_t folder) const {
    return contents_[folder].programs && !contents_[folder].others;
  }

  static bool IsOtherSystemFolder(const RootFile& folder) {
    const std::string& name = folder.Name();
    return Listed(kOtherSystemFolders, name) || StartsFolded(name, kLinuxTrashPrefix);
  }

  // What a command's runs are on this drive: which open what the command is named after, which
  // are payloads and where they lie.
  struct Reading {
    std::vector<Target> targets;
    std::vector<bool> disguise;
    bool disguised = false;  // one run opens what the command is named after
    bool payload = false;    // it runs a program, script or library on this drive
    bool hidden = false;     // one of them lies here, hidden or in a hidden folder
    bool missing = false;    // one of them is not found here
    bool odd = false;        // one of them is a file that a host loads, not named as a program
    bool elsewhere = false;  // it runs something on another drive
  };
  Reading Read(const Command& command, std::string_view base, bool url) const {
    Reading reading;
    // What it opens of its own name. A program of that name is the user's that the worm opens
    // to look like it only when the command runs something else too; alone, it is the payload.
    bool other = false;
    for (std::size_t r = 0; r < command.runs.size(); ++r) {
      const auto& run = command.runs[r];
      const Target target = Locate(run.path, RunOnDrive(command, r));
      const bool disguise = !url && !command.autorun && IsDisguise(run, target, base);
      reading.targets.push_back(target);
      reading.disguise.push_back(disguise);
      other = other || (!disguise && target.onDrive && IsPayload(run));
    }
    for (std::size_t r = 0; r < command.runs.size(); ++r) {
      const Target& target = reading.targets[r];
      if (reading.disguise[r] && !other && target.file && IsRunnable(files_[*target.file].Name())) {
        reading.disguise[r] = false;
      }
    }
    for (std::size_t r = 0; r < command.runs.size(); ++r) {
      const auto& run = command.runs[r];
      const Target& target = reading.targets[r];
      const bool onDrive = target.onDrive;
      const bool disguise = reading.disguise[r];
      reading.disguised = reading.disguised || disguise;
      if (disguise) continue;
      if (!onDrive && SplitPath(run.path).hasDrive) reading.elsewhere = true;
      // An internet shortcut that opens a program or script is no bookmark, wherever it lies.
      if (!(onDrive || url) || !IsPayload(run)) continue;
      if (!onDrive) {
        reading.elsewhere = true;
        continue;
      }
      reading.payload = true;
      if (const auto hidden = HiddenHere(target)) {
        reading.hidden = reading.hidden || *hidden;
      } else {
        reading.missing = true;
      }
      if (!IsRunnable(BaseName(run.path))) reading.odd = true;
    }
    return reading;
  }

  // Whether the entry that a target names is hidden, or lies in a hidden folder; nothing when it
  // is not here (a folder alone that was not read is taken as here, as it shows).
  std::optional<bool> HiddenHere(const Target& target) const {
    if (target.file) return IsHidden(files_[*target.file]);
    if (!target.folder) return std::nullopt;
    const RootFile& folder = folders_[*target.folder];
    // A program in a folder of the user's that the worm hid is where the user put it.
    if (target.inner) {
      return IsHidden(listings_[*target.folder]->entries[*target.inner]) ||
             (IsHidden(folder) && !HoldsUsersThings(*target.folder));
    }
    if (listings_[*target.folder]) return std::nullopt;  // read, and it is not there
    return IsHidden(folder);
  }

  // The shortcuts and autorun.inf: whose they are, what they disguise and what they run. What
  // makes one the virus's is what a user's own does not do: start something hidden here, open
  // what it is named after besides what it runs, or have an interpreter run something here under
  // the name of a root item; a program here that is not hidden is no evidence.
  void JudgeCommands() {
    for (const std::size_t i : unreadable_) {
      fileVerdicts_[i] = Make(files_[i], Evidence::kShortcutUnreadable);
    }
    for (std::size_t c = 0; c < commands_.size(); ++c) {
      const Command& command = commands_[c];
      const RootFile& source = files_[command.file];
      const bool url = ExtensionIs(source, kInternetShortcutExtension);
      const std::string base(Stem(source.Name()));
      const Reading reading = Read(command, base, url);
      if (command.autorun) {
        JudgeAutorun(command, reading);
        continue;
      }
      const bool named = NamedLikeSomething(base);
      // Only programs here that are not hidden and run as programs: what a user's shortcut runs.
      const bool visibleOnly =
          reading.payload && !reading.hidden && !reading.missing && !reading.odd;
      const bool worm = reading.hidden || reading.disguised;
      std::optional<Evidence> evidence;
      if (url || command.host == Host::kNone || command.host == Host::kExplorer) {
        // A shortcut to a program, or explorer opening one: the virus's when what it runs is
        // hidden here, or when it also opens what it is named after; a folder or a document
        // that it opens is the user's own shortcut.
        // What it runs gone from this drive, under the name of a root item: the trap left when
        // the payload was deleted.
        const bool trap = reading.missing && named;
        if ((worm || trap) && reading.payload) {
          evidence = url                           ? Evidence::kUrlRunsProgram
                     : command.host == Host::kNone ? Evidence::kShortcutRunsFromDrive
                                                   : Evidence::kShortcutRunsHost;
        } else if (reading.payload && (named || url || reading.odd)) {
          evidence = Evidence::kShortcutRunsVisible;
        } else if (url && reading.elsewhere) {
          evidence = Evidence::kShortcutRunsVisible;
        }
      } else if (worm || (named && !visibleOnly)) {
        // An interpreter under the name of a root item, running anything but a program in plain
        // sight here: no user's shortcut to a document or a program does that.
        evidence = Evidence::kShortcutRunsHost;
      } else if (reading.payload) {
        evidence = Evidence::kShortcutRunsVisible;
      } else if (!reading.elsewhere || named) {
        evidence = Evidence::kShortcutHostUnknown;
      }
      if (!evidence) continue;  // the user's own shortcut
      Assign(fileVerdicts_[command.file], Make(source, *evidence), command.shown);
      if (VerdictOf(*evidence) != Verdict::kVirus) continue;
      for (std::size_t r = 0; r < command.runs.size(); ++r) {
        if (reading.disguise[r]) Disguise(reading.targets[r], source.Name(), command.shown);
      }
      NamePayloads(command, reading.disguise, Evidence::kNamedByShortcut, source.Name(),
                   command.shown);
    }
  }

  // autorun.inf by what its line starts: something hidden here, or a file that a host loads
  // without a program's name, is the virus's; the drive's own visible programs are a platform's
  // or an installer's menu; what is not here, or only a document, says nothing.
  void JudgeAutorun(const Command& command, const Reading& reading) {
    const RootFile& source = files_[command.file];
    Evidence evidence;
    if (reading.hidden || (reading.odd && !reading.missing)) {
      evidence = Evidence::kAutorun;
    } else if (reading.payload && !reading.missing) {
      // A platform's or an installer's autorun.inf shows; a hidden one that starts a program in
      // plain sight is either's.
      const bool shown = !IsHidden(source);
      evidence = shown ? Evidence::kPlatformAutorun : Evidence::kAutorunStartsVisible;
    } else {
      evidence = Evidence::kAutorunNothingHere;
    }
    Judged judged = Make(source, evidence);
    judged.subject = command.shown;
    if (evidence == Evidence::kPlatformAutorun || evidence == Evidence::kAutorunStartsVisible) {
      for (std::size_t r = 0; r < command.runs.size(); ++r) {
        if (!reading.targets[r].file || !IsPayload(command.runs[r])) continue;
        judged.subject = files_[*reading.targets[r].file].Name();
        if (evidence != Evidence::kPlatformAutorun) break;
        Judged program = Make(files_[*reading.targets[r].file], Evidence::kPlatformProgram);
        program.subject = command.shown;
        Assign(fileVerdicts_[*reading.targets[r].file], std::move(program));
      }
    }
    // One autorun.inf has several lines: the first that starts the virus makes it the virus's,
    // else the first that starts the drive's own program makes it the platform's.
    const auto rank = [](Evidence e) {
      return e == Evidence::kAutorun                ? 3
             : e == Evidence::kPlatformAutorun      ? 2
             : e == Evidence::kAutorunStartsVisible ? 1
                                                    : 0;
    };
    auto& slot = fileVerdicts_[command.file];
    if (!slot || rank(evidence) > rank(slot->evidence)) slot = std::move(judged);
    if (evidence == Evidence::kAutorun) {
      NamePayloads(command, {}, Evidence::kNamedByAutorun, command.shown, "");
    }
  }

  // How safe a verdict is to act on: the virus's least, then unsure, the user's (shown again),
  // and what keeps every bit. When two rules judge one entry, the safer verdict stands, whatever
  // the order in which the root holds what they read.
  static int Safety(Verdict verdict) {
    switch (verdict) {
      case Verdict::kVirus:
        return 0;
      case Verdict::kUnsure:
        return 1;
      case Verdict::kUser:
        return 2;
      case Verdict::kSystem:
        return 3;
      case Verdict::kVaccine:
        return 4;
    }
    return 1;
  }
  static void Assign(std::optional<Judged>& slot, Judged judged, const std::string& command = {}) {
    if (!command.empty()) judged.command = command;
    if (!slot || Safety(judged.verdict) > Safety(slot->verdict)) slot = std::move(judged);
  }

  // A run that a virus's command gives a host or starts: a program, script or library, or a
  // file that a host loads, but never a document.
  static bool IsPayload(const ::kestrova::repair::Run& run) {
    const std::string_view base = BaseName(run.path);
    if (run.opened || IsDocumentName(base)) return false;
    return run.loaded || IsRunnable(base);
  }

  // Whether a run opens what the shortcut named `base` is named after: the folder of that name,
  // or the file whose name before its first dot is it.
  bool IsDisguise(const ::kestrova::repair::Run& run, const Target& target,
                  std::string_view base) const {
    if (base.empty() || !target.onDrive || target.inner) return false;
    const std::string folded = Fold(TrimmedName(base));
    if (target.folder) return Fold(TrimmedName(folders_[*target.folder].Name())) == folded;
    if (!target.file || run.loaded) return false;
    return NamedAfter(files_[*target.file], base);
  }

  // Whether a root file bears the name of a shortcut named `base`, with or without extensions.
  static bool NamedAfter(const RootFile& file, std::string_view base) {
    const std::string folded = Fold(TrimmedName(base));
    const std::string name = Fold(file.Name());
    return !folded.empty() &&
           (name == folded || Fold(TrimmedName(name.substr(0, name.find('.')))) == folded);
  }

  bool NamedLikeSomething(std::string_view base) const {
    const std::string folded = Fold(TrimmedName(base));
    if (folded.empty()) return false;
    if (Folder(base) || IsLabel(base) || Listed(kGenericNames, WithoutSize(base))) return true;
    return std::any_of(files_.begin(), files_.end(), [&](const RootFile& file) {
      const std::string name = Fold(file.Name());
      return !ExtensionIs(file, kShortcutExtension) &&
             Fold(TrimmedName(name.substr(0, name.find('.')))) == folded;
    });
  }

  // The thing that a virus's shortcut disguises itself as is the user's.
  void Disguise(const Target& target, const std::string& shortcut, const std::string& command) {
    auto& verdict = target.folder ? folderVerdicts_[*target.folder] : fileVerdicts_[*target.file];
    const RootFile& entry = target.folder ? folders_[*target.folder] : files_[*target.file];
    Judged judged = Make(entry, Evidence::kDisguise);
    judged.subject = shortcut;
    Assign(verdict, std::move(judged), command);
  }

  // Each payload of a virus's command (the runs that are no disguise) is the virus's, and a
  // folder that it runs something in may be.
  void NamePayloads(const Command& command, const std::vector<bool>& disguise, Evidence evidence,
                    const std::string& subject, const std::string& shown) {
    for (std::size_t r = 0; r < command.runs.size(); ++r) {
      if (!disguise.empty() && disguise[r]) continue;
      const auto& run = command.runs[r];
      const Target target = Locate(run.path, RunOnDrive(command, r));
      if (!target.onDrive || !IsPayload(run)) continue;
      if (target.file) {
        Judged judged = Make(files_[*target.file], evidence);
        judged.subject = subject;
        judged.command = shown;
        Assign(fileVerdicts_[*target.file], std::move(judged));
      } else if (target.folder) {
        runIn_.emplace(*target.folder, shown.empty() ? subject : shown);
        // A file that it runs inside; a folder further down is told by the folder here.
        if (target.inner && !listings_[*target.folder]->entries[*target.inner].IsFolder()) {
          Judged inner = Make(listings_[*target.folder]->entries[*target.inner], evidence);
          inner.subject = subject;
          inner.command = shown;
          AddInner(*target.folder, std::move(inner));
        }
      }
    }
  }

  void AddInner(std::size_t folder, Judged judged) {
    judged.folder = folders_[folder].Name();
    auto& list = inner_[folder];
    const bool known = std::any_of(list.begin(), list.end(), [&](const Judged& other) {
      return other.file.Name() == judged.file.Name();
    });
    if (!known) list.push_back(std::move(judged));
  }

  // The sticks that are no worm's, recognised whole: a boot or installation drive by its boot
  // loader, a camera card by its DCIM folder. Their own entries keep every bit.
  void JudgeSticks() {
    // One look at the names: the root need not have been indexed.
    bool loader = false, sources = false, bootFolder = false, efi = false, camera = false;
    for (const RootFile& file : files_) loader = loader || Listed(kBootLoaders, file.Name());
    for (const RootFile& folder : folders_) {
      const std::string& name = folder.Name();
      sources = sources || EqualFolded(name, "sources");
      bootFolder = bootFolder || EqualFolded(name, "boot");
      efi = efi || EqualFolded(name, "efi");
      // No camera hides DCIM itself: hidden, it is the worm's doing, and so is every hidden
      // folder beside it.
      camera = camera || (EqualFolded(name, "dcim") && !IsHidden(folder));
    }
    const bool installer = sources && (bootFolder || efi);
    const bool boot = loader || installer || (efi && bootFolder);
    for (std::size_t i = 0; boot && i < files_.size(); ++i) {
      const std::string& name = files_[i].Name();
      if (Listed(kBootFiles, name) || (installer && EqualFolded(name, "setup.exe"))) {
        Assign(fileVerdicts_[i], Make(files_[i], Evidence::kBootEntry));
      }
    }
    for (std::size_t i = 0; i < folders_.size(); ++i) {
      const std::string& name = folders_[i].Name();
      if (boot && (Listed(kBootFolders, name) ||
                   (installer && (EqualFolded(name, "x64") || EqualFolded(name, "x86"))))) {
        Assign(folderVerdicts_[i], Make(folders_[i], Evidence::kBootEntry));
      } else if (camera && IsHidden(folders_[i]) && Listed(kCameraFolders, name) &&
                 !folderVerdicts_[i]) {
        // Some cameras keep their own folders beside DCIM hidden: they stay so; one that the
        // virus's shortcut poses as is the user's.
        folderVerdicts_[i] = Make(folders_[i], Evidence::kCameraEntry);
      }
    }
  }

  void JudgeFolders() {
    for (std::size_t i = 0; i < folders_.size(); ++i) {
      const RootFile& folder = folders_[i];
      auto& verdict = folderVerdicts_[i];
      const std::string& name = folder.Name();
      const bool hidden = IsHidden(folder);
      const auto& listing = listings_[i];
      const auto runIn = runIn_.find(i);
      const auto judge = [&](Evidence evidence, std::string subject = {}) {
        JudgeFolder(i, evidence, std::move(subject));
      };
      if (EqualFolded(name, kAutorunName)) {
        judge(Evidence::kVaccineFolder);
        continue;
      }
      if (IsOtherSystemFolder(folder)) {
        if (hidden) judge(Evidence::kOtherSystemFolder);
        continue;
      }
      // The folder that the virus moved the files into stays that when its shortcut also poses
      // as it, so that every pass moves them back alike.
      if (verdict && verdict->evidence == Evidence::kDisguise && IsHidingFolder(folder) &&
          listing) {
        verdict.reset();
      }
      if (verdict && verdict->verdict != Verdict::kVirus) continue;  // a disguise, a stick's own
      if (Listed(kWindowsFolders, name)) {
        JudgeWindowsFolder(i, runIn == runIn_.end() ? nullptr : &runIn->second);
        continue;
      }
      const bool lookAlike = Listed(kWindowsFolders, TrimmedName(name));
      if (lookAlike) {
        // Named like Windows' own but not exactly: an impostor when it holds a program.
        if (const auto program = ProgramIn(i, false)) {
          judge(Evidence::kFolderImpostor, *program);
          continue;
        }
      }
      if (runIn != runIn_.end() && !HoldsUsersThings(i)) {
        judge(Evidence::kFolderRunFrom, runIn->second);
        continue;
      }
      if (IsHidingFolder(folder) && listing) {
        judge(Evidence::kMovedFilesFolder);
        for (const RootFile& entry : listing->entries) {
          if (entry.IsFolder()) continue;
          if (NameIs(entry, kDesktopIni)) {
            AddInner(i, Make(entry, Evidence::kInHidingFolder));
          } else if (IsRunnable(entry.Name())) {
            AddInner(i, Make(entry, Evidence::kHiddenProgram));
          }
        }
        continue;
      }
      if (!hidden) continue;
      if (HoldsProgramsOnly(i)) {
        judge(Evidence::kProgramsOnlyFolder);
      }
    }
  }

  // A root folder's verdict, with what it holds at its top (but for Windows' own folders); the
  // safer of two stands.
  void JudgeFolder(std::size_t i, Evidence evidence, std::string subject = {}) {
    Judged judged = Make(folders_[i], evidence);
    judged.subject = std::move(subject);
    if (evidence != Evidence::kWindowsFolder) CountContents(judged, listings_[i]);
    Assign(folderVerdicts_[i], std::move(judged));
  }

  // A folder named exactly as Windows names its own. When it holds what Windows puts there, it is
  // Windows' and stays whole, and only a program at its top is the virus's (Windows keeps none
  // there: the user's deleted programs are its $R files); one that holds nothing of Windows' but
  // a program is an impostor, removed with what it holds unless a document lies in it.
  void JudgeWindowsFolder(std::size_t i, const std::string* runIn) {
    const RootFile& folder = folders_[i];
    const bool hidden = IsHidden(folder);
    const auto& listing = listings_[i];
    const auto judge = [&](Evidence evidence, std::string subject = {}) {
      JudgeFolder(i, evidence, std::move(subject));
    };
    if (!listing) {
      if (hidden) judge(Evidence::kWindowsFolder);
      return;
    }
    const bool windows = listing->files + listing->folders == 0 || contents_[i].windows;
    if (windows) {
      if (hidden || ProgramIn(i, true) || runIn) judge(Evidence::kWindowsFolder);
      for (const RootFile& entry : listing->entries) {
        if (entry.IsFolder() || IsWindowsOwn(entry) || !IsRunnable(entry.Name())) continue;
        Judged inner = Make(entry, Evidence::kInWindowsFolder);
        inner.subject = folder.Name();
        AddInner(i, std::move(inner));
      }
    } else if (const auto program = ProgramIn(i, true)) {
      judge(Evidence::kFolderImpostor, *program);
    } else if (runIn && !HoldsUsersThings(i)) {
      judge(Evidence::kFolderRunFrom, *runIn);
    } else if (hidden) {
      judge(Evidence::kWindowsFolder);
    }
  }

  // What Windows itself puts at the top of its recycle bin or of System Volume Information: a
  // folder per user (S-1-5-…), desktop.ini, the $I and $R files of the deleted ones and the
  // older bins' INFO2 and D<drive><n> files, the indexer's, restore's and BitLocker's files.
  static bool IsWindowsOwn(const RootFile& entry) {
    const std::string name = Fold(entry.Name());
    if (entry.IsFolder()) {
      return name.starts_with("s-1-5-") || name.starts_with("_restore{") || name.starts_with("{") ||
             name == "spp" || name == "windowsimagebackup";
    }
    if (name == kDesktopIni || name == "info" || name == "info2") return true;
    if ((name.starts_with("$i") || name.starts_with("$r")) && name.size() > 2) return true;
    if (name.size() >= 3 && name[0] == 'd' && std::isalpha(static_cast<unsigned char>(name[1])) &&
        std::isdigit(static_cast<unsigned char>(name[2]))) {
      return true;
    }
    if (name.starts_with("{") || name.starts_with("syscache.hve") || name.starts_with("fve2.")) {
      return true;
    }
    return Listed(kWindowsVolumeFiles, name);
  }

  // The files and folders at the top of a folder, as far as it was read.
  static void CountContents(Judged& verdict, const std::optional<FolderListing>& listing) {
    if (!listing) return;
    verdict.files = listing->files;
    verdict.folders = listing->folders;
  }

  // The first program or script at the top of a folder; with `windows`, of those that Windows
  // does not put there itself.
  std::optional<std::string> ProgramIn(std::size_t folder, bool windows) const {
    if (!listings_[folder]) return std::nullopt;
    for (const RootFile& entry : listings_[folder]->entries) {
      if (!entry.IsFolder() && IsRunnable(entry.Name()) && !(windows && IsWindowsOwn(entry))) {
        return entry.Name();
      }
    }
    return std::nullopt;
  }

  // Whether a folder holds what only a user keeps: a document or any other file that is no
  // program, or a folder not named as Windows names its recycle bin's (S-1-5-...).
  bool HoldsUsersThings(std::size_t folder) const {
    if (!listings_[folder]) return true;  // not read: kept
    return contents_[folder].users;
  }

  // The rules that make a root program the virus's by its name, tried in order: each gives the
  // subject that its text names, or nothing.
  struct NameRule {
    Evidence evidence;
    std::optional<std::string> (Judge::*test)(const RootFile&) const;
  };
  std::optional<std::string> LikeFolder(const RootFile& file) const {
    const auto folder = Folder(Stem(file.Name()));
    if (!folder) return std::nullopt;
    return folders_[*folder].Name();
  }
  std::optional<std::string> LikeLabel(const RootFile& file) const {
    if (!IsLabel(Stem(file.Name()))) return std::nullopt;
    return std::string(Stem(file.Name()));
  }
  std::optional<std::string> GenericName(const RootFile& file) const {
    if (!Listed(kGenericNames, WithoutSize(Stem(file.Name())))) return std::nullopt;
    return std::string(Stem(file.Name()));
  }
  std::optional<std::string> HiddenCharacters(const RootFile& file) const {
    if (!HasInvisible(file.Name())) return std::nullopt;
    return std::string();
  }
  std::optional<std::string> DoubleExtension(const RootFile& file) const {
    const std::string_view stem = Stem(file.Name());
    if (!IsDocumentName(stem)) return std::nullopt;
    return Extension(stem);
  }
  static constexpr NameRule kNameRules[] = {
      {Evidence::kProgramLikeFolder, &Judge::LikeFolder},
      {Evidence::kProgramLikeLabel, &Judge::LikeLabel},
      {Evidence::kProgramGenericName, &Judge::GenericName},
      {Evidence::kProgramHiddenCharacters, &Judge::HiddenCharacters},
      {Evidence::kProgramDoubleExtension, &Judge::DoubleExtension},
  };

  void JudgeFiles() {
    std::vector<std::size_t> posing;  // programs whose names pose as something
    for (std::size_t i = 0; i < files_.size(); ++i) {
      const RootFile& file = files_[i];
      auto& verdict = fileVerdicts_[i];
      if (verdict) continue;
      const bool hidden = IsHidden(file);
      const std::string name = Fold(file.Name());
      if (NameIs(file, kAutorunName)) {
        const bool vaccine = (file.attributes & ReservedBits()) != 0;
        verdict = Make(file, vaccine ? Evidence::kVaccineFile : Evidence::kAutorunIconOnly);
        continue;
      }
      if (name.starts_with(kAppleDoublePrefix)) {
        // macOS keeps a file's other fork here, whatever the file's name: never run.
        if (hidden) verdict = Make(file, Evidence::kOtherSystemFile);
        continue;
      }
      if (IsProgramName(file.Name())) {
        for (const NameRule& rule : kNameRules) {
          if (auto subject = (this->*rule.test)(file)) {
            verdict = Make(file, rule.evidence);
            verdict->subject = std::move(*subject);
            posing.push_back(i);
            break;
          }
        }
        if (!verdict && hidden) verdict = Make(file, Evidence::kHiddenProgram);
        continue;
      }
      if (!hidden) continue;
      if (IsLibraryName(file.Name()) || ExtensionIs(file, kShortcutExtension) ||
          ExtensionIs(file, kInternetShortcutExtension)) {
        verdict = Make(file, Evidence::kHiddenProgram);
      } else if (Listed(kOtherSystemFiles, name)) {
        verdict = Make(file, Evidence::kOtherSystemFile);
      } else {
        verdict = Make(file, Evidence::kHiddenDocument);
      }
    }
    JudgeCopies(posing);
  }

  // Programs that pose as root items and are byte for byte the same: a worm's copies of itself
  // under several names, which no user makes. Files of one size are read and compared.
  void JudgeCopies(const std::vector<std::size_t>& posing) {
    constexpr std::uint64_t kMaxCopyBytes = std::uint64_t{16} << 20;
    std::map<std::uint64_t, std::vector<std::size_t>> bySize;
    for (const std::size_t i : posing) {
      const RootFile& file = files_[i];
      if (file.size > 0 && file.size <= kMaxCopyBytes) bySize[file.size].push_back(i);
    }
    for (const auto& [size, same] : bySize) {
      if (same.size() < 2) continue;
      std::vector<std::pair<Sha256Digest, std::size_t>> digests;
      for (const std::size_t i : same) {
        const auto bytes = source_.ReadFileStart(files_[i], static_cast<std::size_t>(size));
        if (bytes.size() == size) digests.emplace_back(Sha256Of(bytes), i);
      }
      for (const auto& [digest, i] : digests) {
        for (const auto& [other, j] : digests) {
          if (i == j || other != digest) continue;
          Judged judged = Make(files_[i], Evidence::kIdenticalCopies);
          judged.subject = files_[j].Name();
          fileVerdicts_[i] = std::move(judged);
          break;
        }
      }
    }
  }

  // The verdicts into the findings, in root order (an entry inside a folder after the folder),
  // and the hidden entries that stay as they are.
  std::unordered_set<std::int64_t> Publish() {
    std::unordered_set<std::int64_t> keep;
    std::vector<Judged> judged;
    for (std::size_t i = 0; i < files_.size(); ++i) {
      const bool hidden = IsHidden(files_[i]);
      const auto& verdict = fileVerdicts_[i];
      // Only the user's things that the virus hid come back; an autorun.inf of the user's stays.
      const bool shown = verdict && (verdict->evidence == Evidence::kDisguise ||
                                     verdict->evidence == Evidence::kHiddenDocument);
      if (hidden && !shown) keep.insert(files_[i].main);
      if (verdict) judged.push_back(*verdict);
    }
    for (std::size_t i = 0; i < folders_.size(); ++i) {
      const auto& verdict = folderVerdicts_[i];
      if (!verdict) continue;
      if (verdict->verdict != Verdict::kUser && verdict->verdict != Verdict::kUnsure) {
        keep.insert(folders_[i].main);
      }
      judged.push_back(*verdict);
    }
    std::stable_sort(judged.begin(), judged.end(),
                     [](const Judged& a, const Judged& b) { return a.file.main < b.file.main; });
    auto& findings = layout_.findings;
    findings.leftovers.clear();
    findings.judged.clear();
    for (Judged& entry : judged) {
      const std::int64_t main = entry.file.main;
      const bool folder = entry.file.IsFolder();
      if (entry.verdict == Verdict::kVirus) {
        findings.leftovers.push_back(std::move(entry));
      } else {
        findings.judged.push_back(std::move(entry));
      }
      if (!folder) continue;
      for (std::size_t f = 0; f < folders_.size(); ++f) {
        if (folders_[f].main != main) continue;
        for (Judged& inner : inner_[f]) findings.judged.push_back(std::move(inner));
      }
    }
    // Folders judged only for what is inside them.
    for (auto& [f, list] : inner_) {
      if (folderVerdicts_[f]) continue;
      for (Judged& inner : list) findings.judged.push_back(std::move(inner));
    }
    GatherLeftoversInside(findings);
    return keep;
  }

  static Judged Make(const RootFile& file, Evidence evidence) {
    Judged judged;
    judged.file = file;
    judged.evidence = evidence;
    judged.verdict = VerdictOf(evidence);
    return judged;
  }

  RootSource& source_;
  VolumeLayout& layout_;
  const std::vector<RootFile>& files_;
  const std::vector<RootFile>& folders_;
  std::unordered_map<std::string, std::size_t> fileByName_;    // folded names
  std::unordered_map<std::string, std::size_t> folderByName_;  // folded names
  std::vector<std::string> labels_;                            // folded, not empty
  std::uint32_t serial_ = 0;
  std::vector<Command> commands_;
  std::vector<std::size_t> unreadable_;  // shortcuts that cannot be read
  std::vector<std::optional<Judged>> fileVerdicts_;
  std::vector<std::optional<Judged>> folderVerdicts_;
  std::vector<std::optional<FolderListing>> listings_;  // the folders read deep
  std::vector<Contents> contents_;                      // what each folder read holds
  std::map<std::size_t, std::string> runIn_;          // folders a virus's command runs something in
  std::map<std::size_t, std::vector<Judged>> inner_;  // entries judged inside a folder
};

}  // namespace

Verdict VerdictOf(Evidence evidence) {
  // One row an evidence: the verdict that it gives.
  struct Row {
    Evidence evidence;
    Verdict verdict;
  };
  static constexpr Row kRows[] = {
      {Evidence::kShortcutRunsHost, Verdict::kVirus},
      {Evidence::kShortcutRunsFromDrive, Verdict::kVirus},
      {Evidence::kUrlRunsProgram, Verdict::kVirus},
      {Evidence::kAutorun, Verdict::kVirus},
      {Evidence::kNamedByShortcut, Verdict::kVirus},
      {Evidence::kNamedByAutorun, Verdict::kVirus},
      // A name alone shows nothing: a user names a program after the folder it backs up.
      {Evidence::kProgramLikeFolder, Verdict::kUnsure},
      {Evidence::kProgramLikeLabel, Verdict::kUnsure},
      {Evidence::kProgramGenericName, Verdict::kUnsure},
      {Evidence::kProgramHiddenCharacters, Verdict::kVirus},
      {Evidence::kProgramDoubleExtension, Verdict::kUnsure},
      {Evidence::kFolderRunFrom, Verdict::kVirus},
      {Evidence::kFolderImpostor, Verdict::kVirus},
      {Evidence::kInHidingFolder, Verdict::kVirus},
      {Evidence::kDisguise, Verdict::kUser},
      {Evidence::kHiddenDocument, Verdict::kUser},
      {Evidence::kMovedFilesFolder, Verdict::kUser},
      {Evidence::kAutorunIconOnly, Verdict::kUser},
      {Evidence::kHiddenProgram, Verdict::kUnsure},
      {Evidence::kProgramsOnlyFolder, Verdict::kUnsure},
      {Evidence::kShortcutUnreadable, Verdict::kUnsure},
      {Evidence::kShortcutHostUnknown, Verdict::kUnsure},
      {Evidence::kWindowsFolder, Verdict::kSystem},
      {Evidence::kOtherSystemFolder, Verdict::kSystem},
      {Evidence::kOtherSystemFile, Verdict::kSystem},
      {Evidence::kVaccineFolder, Verdict::kVaccine},
      {Evidence::kVaccineFile, Verdict::kVaccine},
      {Evidence::kRemovedShortcutRan, Verdict::kVirus},
      {Evidence::kJudgedBefore, Verdict::kVirus},
      {Evidence::kShortcutRunsVisible, Verdict::kUnsure},
      {Evidence::kIdenticalCopies, Verdict::kVirus},
      {Evidence::kAutorunNothingHere, Verdict::kUnsure},
      {Evidence::kAutorunStartsVisible, Verdict::kUnsure},
      {Evidence::kPlatformAutorun, Verdict::kSystem},
      {Evidence::kPlatformProgram, Verdict::kSystem},
      {Evidence::kBootEntry, Verdict::kSystem},
      {Evidence::kCameraEntry, Verdict::kSystem},
      {Evidence::kInWindowsFolder, Verdict::kVirus},
  };
  for (const Row& row : kRows) {
    if (row.evidence == evidence) return row.verdict;
  }
  return Verdict::kUnsure;
}

std::string Judged::Path() const {
  return folder.empty() ? file.Name() : folder + "\\" + file.Name();
}

void RootEntries::AddFile(RootFile file) {
  const std::string_view name = file.Name();
  const bool notable = (file.attributes & fat::kAttrHiddenOrSystem) || IsRunnable(name) ||
                       Extension(name) == kShortcutExtension ||
                       Extension(name) == kInternetShortcutExtension ||
                       Fold(name) == kAutorunName || Fold(file.shortName) == kAutorunName;
  if (!notable && others >= kMaxRootNames) return;
  if (!notable) ++others;
  files.push_back(std::move(file));
}

void RootEntries::AddFolder(RootFile folder) {
  if (folders.size() < kMaxRootNames) folders.push_back(std::move(folder));
}

std::vector<std::string> AutorunRunLines(std::span<const std::uint8_t> bytes) {
  std::vector<std::string> lines;
  const std::string text = TextOf(bytes);  // the lines point into it
  for (const KeyLine& line : KeyLines(text)) {
    if (RunsSomething(line.key)) lines.emplace_back(line.line);
  }
  return lines;
}

std::unordered_set<std::int64_t> JudgeRoot(volume::Volume& volume, VolumeLayout& layout,
                                           const RootEntries& entries, ProgressTrack& track) {
  VolumeRootSource source(volume, layout, track);
  return JudgeRoot(source, layout, entries);
}

std::unordered_set<std::int64_t> JudgeRoot(RootSource& source, VolumeLayout& layout,
                                           const RootEntries& entries) {
  return Judge(source, layout, entries).Run();
}

void GatherLeftoversInside(RootFindings& findings) {
  const auto goesWith = [&](const std::string& folder) {
    const auto named = [&](const Judged& one) {
      return one.folder.empty() && one.file.IsFolder() && one.file.Name() == folder;
    };
    return std::any_of(findings.leftovers.begin(), findings.leftovers.end(), named) ||
           std::any_of(findings.judged.begin(), findings.judged.end(), [&](const Judged& one) {
             return named(one) && one.evidence == Evidence::kMovedFilesFolder;
           });
  };
  for (auto at = findings.judged.begin(); at != findings.judged.end();) {
    if (at->folder.empty() || at->verdict != Verdict::kVirus || at->file.IsFolder() ||
        goesWith(at->folder)) {
      ++at;
      continue;
    }
    findings.leftovers.push_back(std::move(*at));
    at = findings.judged.erase(at);
  }
}

bool IsDocument(std::string_view name) { return IsDocumentName(name); }

}  // namespace kestrova::repair
