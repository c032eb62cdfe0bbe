// SPDX-License-Identifier: GPL-3.0-or-later
#include "infected_sticks.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <utility>

#include "exfat_tools.h"
#include "fat_image.h"
#include "fat_tools.h"
#include "format/codepage.h"
#include "shortcut_writer.h"

namespace kestrova::testing {
namespace {

using Bytes = std::vector<std::uint8_t>;

// A folder's name while the stick is made, before its long name is taken away: 8.3 in capitals,
// so mtools writes a short entry only.
constexpr const char* kPlaceholder = "NBSPDIR";
constexpr const char* kBlank = "\u00A0";

Bytes Text(const std::string& text) { return Bytes(text.begin(), text.end()); }

// Repeatable filler: letters and digits from a linear congruential sequence.
std::string Filler(std::uint32_t& seed, std::size_t length) {
  static constexpr char kChars[] = "abcdefghijklmnopqrstuvwxyz0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ";
  std::string text;
  for (std::size_t i = 0; i < length; ++i) {
    seed = seed * 1103515245u + 12345u;
    text += kChars[(seed >> 16) % (sizeof kChars - 1)];
  }
  return text;
}

// A program's bytes: a DOS header's signature and some filler.
Bytes Program(const std::string& tag) {
  std::uint32_t seed = static_cast<std::uint32_t>(tag.size()) * 7919u;
  return Text("MZ\x90" + tag + Filler(seed, 700));
}
Bytes Document(const std::string& tag) { return Text("PK\x03\x04" + tag); }
Bytes Picture(const std::string& tag) {
  return Bytes{0xFF, 0xD8, 0xFF, 0xE0, static_cast<std::uint8_t>(tag.at(0))};
}
Bytes Script(const std::string& tag) {
  return Text("Set shell = CreateObject(\"WScript.Shell\")\r\n' " + tag + "\r\n");
}

StickItem Folder(const std::string& path, std::uint8_t attributes,
                 std::optional<std::string> verdict) {
  return {path, std::nullopt, attributes, std::move(verdict)};
}

// A shortcut whose window is minimised and never activated, as the worms write them.
Bytes Hidden(Shortcut shortcut) {
  shortcut.showCommand = 7;
  return ShortcutBytes(shortcut);
}

// The shortcut to cmd.exe with `arguments`, its target written in one of three ways: the full
// path (with an ID list), a path relative to the stick, or the environment block's %COMSPEC% only.
Bytes HostShortcut(int variant, const std::string& arguments, bool folder) {
  Shortcut shortcut{.arguments = arguments,
                    .iconLocation = folder ? "%SystemRoot%\\System32\\shell32.dll,3" : ""};
  if (variant % 3 == 0) {
    shortcut.idList = {"C:\\", "Windows", "System32", "cmd.exe"};
    shortcut.localPath = "C:\\Windows\\System32\\cmd.exe";
  } else if (variant % 3 == 1) {
    shortcut.relativePath = "..\\..\\..\\Windows\\System32\\cmd.exe";
  } else {
    shortcut.environmentPath = "%COMSPEC%";
  }
  return Hidden(shortcut);
}

Bytes Utf16WithBom(const std::string& ascii) {
  Bytes bytes = {0xFF, 0xFE};
  for (const char c : ascii) bytes.insert(bytes.end(), {static_cast<std::uint8_t>(c), 0});
  return bytes;
}

// A short name's text: the base and the extension without their padding, in small letters where
// the case bits say so; 0x05 stands for 0xE5, and 0xFF and 0xA0 are no-break spaces.
std::string ShortName(const std::uint8_t* entry) {
  const auto part = [&](int from, int length, bool lower) {
    std::string text;
    for (int i = from; i < from + length; ++i) {
      std::uint8_t c = i == 0 && entry[i] == 0x05 ? 0xE5 : entry[i];
      if (c == 0xFF || c == 0xA0) {
        text += kBlank;
      } else {
        text += static_cast<char>(lower && c >= 'A' && c <= 'Z' ? c + 32 : c);
      }
    }
    return text.substr(0, text.find_last_not_of(' ') + 1);
  };
  const std::string base = part(0, 8, entry[12] & 0x08);
  const std::string extension = part(8, 3, entry[12] & 0x10);
  return extension.empty() ? base : base + "." + extension;
}

// Where a long-name entry holds its 13 UTF-16 units.
constexpr int kLongNameSlots[] = {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30};

struct FatEntry {
  std::uint64_t attributeAt = 0;  // where the attribute byte lies in the image
  std::uint8_t attributes = 0;
  std::uint32_t first = 0;
  std::vector<std::uint64_t> longAt = {};  // where its long name's entries lie
};

// The entries of the root (`first` 0) or of a folder, by `prefix` and their names.
void ReadFatDirectory(const proof::FatImage& fat, const std::filesystem::path& image,
                      std::uint32_t first, const std::string& prefix,
                      std::map<std::string, FatEntry>& entries) {
  const proof::Geometry& geometry = fat.geometry();
  std::vector<std::pair<std::uint64_t, Bytes>> blocks;
  if (first == 0 && geometry.fixedRoot) {
    const std::uint64_t at = geometry.rootStart * geometry.bytesPerSector;
    blocks.emplace_back(at, ReadAt(image, at, geometry.rootSectors * geometry.bytesPerSector));
  } else {
    for (const std::uint32_t cluster : fat.ChainFrom(first == 0 ? geometry.rootCluster : first)) {
      blocks.emplace_back(fat.ClusterOffset(cluster), fat.ReadCluster(cluster));
    }
  }
  std::u16string longName;
  std::vector<std::uint64_t> longAt;
  for (const auto& [at, bytes] : blocks) {
    for (std::size_t i = 0; i + 32 <= bytes.size(); i += 32) {
      const std::uint8_t* entry = bytes.data() + i;
      if (entry[0] == 0) return;
      if (entry[0] == 0xE5) {
        longName.clear();
      } else if (entry[11] == 0x0F) {
        // A long name's entries come last part first; each holds 13 UTF-16 units.
        std::u16string part;
        for (const int o : kLongNameSlots) {
          const char16_t c = static_cast<char16_t>(entry[o] | entry[o + 1] << 8);
          if (c == 0 || c == 0xFFFF) break;
          part += c;
        }
        longName = entry[0] & 0x40 ? part : part + longName;
        if (entry[0] & 0x40) longAt.clear();
        longAt.push_back(at + i);
      } else if (entry[11] & 0x08) {
        longName.clear();  // the volume's label
      } else {
        const std::string name =
            longName.empty() ? ShortName(entry) : repair::Utf16ToUtf8(longName);
        if (longName.empty()) longAt.clear();
        longName.clear();
        if (name == "." || name == "..") continue;
        entries[prefix + name] = {
            at + i + 11, entry[11],
            static_cast<std::uint32_t>(entry[26] | entry[27] << 8 | entry[20] << 16 |
                                       static_cast<std::uint32_t>(entry[21]) << 24),
            std::exchange(longAt, {})};
      }
    }
  }
}

// The root's entries and those one level inside its folders.
std::map<std::string, FatEntry> FatEntries(const std::filesystem::path& image) {
  const proof::FatImage fat(image, false);
  std::map<std::string, FatEntry> entries;
  ReadFatDirectory(fat, image, 0, "", entries);
  const auto root = entries;
  for (const auto& [name, entry] : root) {
    if (entry.attributes & 0x10 && entry.first >= 2) {
      ReadFatDirectory(fat, image, entry.first, name + "/", entries);
    }
  }
  return entries;
}

bool InRoot(const StickItem& item) { return item.path.find('/') == std::string::npos; }

// A root name that Windows trims, with blanks or dots at its end: mtools trims them too, so the
// stick is made with each of them as '_' and then its long name written as it is.
std::string Untrimmed(std::string name) {
  for (auto end = name.rbegin(); end != name.rend() && (*end == ' ' || *end == '.'); ++end) {
    *end = '_';
  }
  return name;
}

// Writes `name` (ASCII, as long as `made`) into the long name of the root entry named `made`.
bool PutLongName(const std::filesystem::path& image, const std::string& made,
                 const std::string& name) {
  const auto entries = FatEntries(image);
  const auto entry = entries.find(made);
  if (entry == entries.end() || entry->second.longAt.empty()) {
    ADD_FAILURE() << "no long name " << made;
    return false;
  }
  for (const std::uint64_t at : entry->second.longAt) {
    const std::size_t from = ((ReadAt(image, at, 1)[0] & 0x1F) - 1u) * 13u;
    for (std::size_t k = 0; k < 13 && from + k < name.size(); ++k) {
      PatchBytes(image, at + kLongNameSlots[k], {static_cast<std::uint8_t>(name[from + k]), 0});
    }
  }
  return true;
}

std::string MakeFatStick(const InfectedStick& stick, const std::filesystem::path& image) {
  const struct {
    const char* options;
    std::uint64_t sizeKiB;
  } kinds[] = {{"-F 12 -s 1", 2 * 1024}, {"-F 16 -s 1", 16 * 1024}, {"-F 32 -s 1", 40 * 1024}};
  const auto& kind = kinds[static_cast<int>(stick.fs)];
  if (!MakeFatImage(image, kind.sizeKiB, std::string(kind.options) + " -n " + Quote(stick.label))) {
    return "mkfs.fat refused";
  }
  const auto made = [&](const std::string& path) {
    if (stick.shortOnlyBlank && path.starts_with(kBlank)) {
      return kPlaceholder + path.substr(std::string(kBlank).size());
    }
    const std::string root = path.substr(0, path.find('/'));
    return Untrimmed(root) + path.substr(root.size());
  };
  for (const StickItem& item : stick.items) {
    if (item.folder()) {
      const auto mmd = Mtools("mmd", image, Quote("::/" + made(item.path)));
      if (mmd.status != 0) {
        ADD_FAILURE() << "mmd " << item.path << ": " << mmd.output;
        return "mmd refused";
      }
    } else if (!PutFile(image, {"/" + made(item.path), *item.bytes})) {
      return "mcopy refused";
    }
  }
  if (stick.shortOnlyBlank) {
    const auto entries = FatEntries(image);
    const auto placeholder = entries.find(kPlaceholder);
    if (placeholder == entries.end()) {
      ADD_FAILURE() << "no short entry " << kPlaceholder;
      return "no placeholder";
    }
    Bytes name(11, ' ');
    name[0] = stick.shortOnlyBlank;
    PatchBytes(image, placeholder->second.attributeAt - 11, name);
  }
  for (const StickItem& item : stick.items) {
    if (InRoot(item) && Untrimmed(item.path) != item.path) {
      if (!PutLongName(image, Untrimmed(item.path), item.path)) return "no long name";
    }
  }
  const auto entries = FatEntries(image);
  for (const StickItem& item : stick.items) {
    if (item.attributes == 0) continue;
    const auto entry = entries.find(item.path);
    if (entry == entries.end()) {
      ADD_FAILURE() << "no entry for " << item.path << " (attributes are set two levels deep)";
      return "entry not found";
    }
    PatchBytes(image, entry->second.attributeAt, {item.attributes});
  }
  return {};
}

std::string MakeExfatStick(const InfectedStick& stick, const std::filesystem::path& image) {
  if (!MakeExfatImage(image, 32, "-L " + Quote(stick.label))) {
    ADD_FAILURE() << "mkfs.exfat refused";
    return "mkfs.exfat refused";
  }
  std::vector<std::string> folders;
  std::vector<ImageFile> files;
  for (const StickItem& item : stick.items) {
    if (item.folder()) {
      folders.push_back(item.path);
    } else {
      files.push_back({"/" + item.path, *item.bytes});
    }
  }
  if (std::string why = MakeFoldersThroughFuse(image, folders, files); !why.empty()) return why;
  ExfatRootSets sets(image);
  for (const StickItem& item : stick.items) {
    if (item.attributes != 0 && item.path.find('/') == std::string::npos) {
      sets.SetAttributes(item.path, item.attributes);
    }
  }
  return {};
}

}  // namespace

const char* StickFsName(StickFs fs) {
  constexpr const char* kNames[] = {"fat12", "fat16", "fat32", "exfat"};
  return kNames[static_cast<int>(fs)];
}

const StickItem* InfectedStick::Find(const std::string& path) const {
  for (const StickItem& item : items) {
    if (item.path == path) return &item;
  }
  return nullptr;
}

void PrintTo(const InfectedStick& stick, std::ostream* out) {
  *out << stick.family << " on " << StickFsName(stick.fs);
}

std::string MakeStick(const InfectedStick& stick, const std::filesystem::path& image) {
  if (stick.fs == StickFs::kExfat) return MakeExfatStick(stick, image);
  return MakeFatStick(stick, image);
}

std::map<std::string, std::uint16_t> StickAttributes(const std::filesystem::path& image,
                                                     StickFs fs) {
  std::map<std::string, std::uint16_t> attributes;
  if (fs == StickFs::kExfat) {
    const ExfatRootSets sets(image);
    for (const auto& set : sets.sets()) attributes[set.name] = set.attributes;
    return attributes;
  }
  for (const auto& [path, entry] : FatEntries(image)) attributes[path] = entry.attributes;
  return attributes;
}

std::map<std::string, std::vector<std::uint8_t>> StickFiles(const std::filesystem::path& image,
                                                            StickFs fs) {
  if (fs != StickFs::kExfat) return FatFiles(image);
  std::map<std::string, std::vector<std::uint8_t>> files;
  WithFuseMount(image, [&](const std::filesystem::path& mount) {
    files = FilesUnder(mount);
    return std::string();
  });
  return files;
}

std::string VerdictPath(const std::string& path) {
  std::string named = path;
  std::replace(named.begin(), named.end(), '/', '\\');
  return named;
}

// Every root folder and every file with a dot is hidden and system (notes.txt and setup.exe
// hidden only); a shortcut named after each starts the worm, then the item. setup.exe has none:
// nothing tells whose it is.
InfectedStick HWormStick(StickFs fs) {
  const auto file = [](const std::string& name) {
    std::string quoted;
    for (const char c : name) quoted += c == ' ' ? std::string("\" \"") : std::string(1, c);
    return "/c start sys.vbs&start " + quoted + "&exit";
  };
  const auto folder = [](const std::string& name) {
    return "/c start sys.vbs&start explorer " + name + "&exit";
  };
  return {
      .family = "hworm",
      .fs = fs,
      .items =
          {
              Folder("Photos", 0x16, "user"),
              {"Photos/beach.jpg", Picture("b")},
              Folder("工作", 0x16, "user"),
              {"工作/plan.docx", Document("plan")},
              {"My Report.docx", Document("report"), 0x26, "user"},
              {"notes.txt", Text("call the bank\r\n"), 0x22, "user"},
              {"tool.exe", Program("tool"), 0x26, "user"},
              {"备份.bat", Text("xcopy D:\\work E:\\backup /s\r\n"), 0x26, "user"},
              {"setup.exe", Program("setup"), 0x22, "unsure"},
              {"sys.vbs", Script("hworm"), 0x26, "virus"},
              {"Photos.lnk", HostShortcut(0, folder("Photos"), true), 0, "virus"},
              {"工作.lnk", HostShortcut(1, folder("工作"), true), 0, "virus"},
              {"My Report.lnk", HostShortcut(2, file("My Report.docx"), false), 0, "virus"},
              {"notes.lnk", HostShortcut(0, file("notes.txt"), false), 0, "virus"},
              {"tool.lnk", HostShortcut(1, file("tool.exe"), false), 0, "virus"},
              {"备份.lnk", HostShortcut(2, file("备份.bat"), false), 0, "virus"},
          },
  };
}

// Everything of the user's moved into one hidden and system folder with a blank name, which a
// folder CLSID in its desktop.ini makes open the payload beside it; the only root shortcut,
// named like the drive, runs the payload.
InfectedStick BlankFolderStick(StickFs fs, const std::string& blank, std::uint8_t shortOnly) {
  std::string family = "blank";
  for (const unsigned char c : shortOnly ? std::string(1, static_cast<char>(shortOnly)) : blank) {
    constexpr char kHex[] = "0123456789abcdef";
    family += std::string("_") + kHex[c >> 4] + kHex[c & 15];
  }
  const std::string in = shortOnly ? std::string(kBlank) : blank;
  return {
      .family = family,
      .fs = fs,
      .items =
          {
              Folder(in, 0x16, "user"),
              {in + "/Report 2024.docx", Document("2024")},
              {in + "/holiday.jpg", Picture("h")},
              Folder(in + "/Trip", 0, std::nullopt),
              {in + "/Trip/beach.jpg", Picture("t")},
              {in + "/desktop.ini",
               Text("[.ShellClassInfo]\r\nCLSIDFolder={0AFACED1-E828-11D1-9187-B532F1E9575D}\r\n"),
               0x26, "virus"},
              {in + "/~$WQF5D.FAT32", Program("loader"), 0x26, "virus"},
              {"KINGSTON (8GB).lnk",
               Hidden({.arguments = "~$WQF5D.FAT32,_ldr@16 desktop.ini RET TLS \"\"",
                       .iconLocation = "%SystemRoot%\\System32\\shell32.dll,7",
                       .environmentPath = "%windir%\\system32\\rundll32.exe"}),
               0, "virus"},
          },
      .shortOnlyBlank = shortOnly,
  };
}

// The user's files moved into a hidden folder named like the label; the shortcut of that name
// runs a script in a hidden folder of the worm's.
InfectedStick SysvolumeStick(StickFs fs) {
  return {
      .family = "sysvolume",
      .fs = fs,
      .items =
          {
              Folder("KINGSTON", 0x16, "user"),
              {"KINGSTON/thesis.docx", Document("thesis")},
              {"KINGSTON/photo.jpg", Picture("p")},
              Folder("sysvolume", 0x12, "virus"),
              {"sysvolume/u123456.vbs", Script("runner"), 0, "virus"},
              {"sysvolume/u123456.bat", Text("@wscript u123456.vbs\r\n"), 0, kAnyVerdict},
              {"sysvolume/u123456.dat", Program("data"), 0, kAnyVerdict},
              {"KINGSTON.lnk",
               Hidden({.idList = {"C:\\", "Windows", "System32", "wscript.exe"},
                       .localPath = "C:\\Windows\\System32\\wscript.exe",
                       .arguments = "E:\\sysvolume\\u123456.vbs"}),
               0, "virus"},
          },
  };
}

// Every root item moved into hidden `_`, with a script there that nothing names; the worm's
// scripts in hidden WindowsServices, run by the shortcut named like the label.
InfectedStick MovemenoregStick(StickFs fs) {
  return {
      .family = "movemenoreg",
      .fs = fs,
      .items =
          {
              Folder("_", 0x12, "user"),
              {"_/Essay.docx", Document("essay")},
              {"_/budget.xlsx", Document("budget")},
              {"_/DeviceConfig.vbs", Script("config"), 0, "unsure"},
              Folder("WindowsServices", 0x12, "virus"),
              {"WindowsServices/helper.vbs", Script("helper"), 0, kAnyVerdict},
              {"WindowsServices/installer.vbs", Script("installer"), 0, kAnyVerdict},
              {"WindowsServices/movemenoreg.vbs", Script("movemenoreg"), 0, "virus"},
              {"WindowsServices/WindowsServices.exe", Program("services"), 0, kAnyVerdict},
              {"KINGSTON.lnk",
               Hidden({.arguments = "/C .\\WindowsServices\\movemenoreg.vbs",
                       .environmentPath = "%COMSPEC%"}),
               0, "virus"},
          },
  };
}

// autorun.inf padded with comment lines of filler, keys in mixed case, its section's bracket
// left open; what it runs lies in an impostor RECYCLER. The same file names the user's readme,
// which stays the user's.
InfectedStick AutorunWormStick(StickFs fs, bool utf16) {
  std::uint32_t seed = 0x5EED;
  const auto junk = [&seed](int lines) {
    std::string text;
    for (int i = 0; i < lines; ++i) text += ";" + Filler(seed, 20 + seed % 40) + "\r\n";
    return text;
  };
  const std::string sid = "S-5-3-42-2819952290-8240758988-879315005-3665";
  const std::string autorun =
      junk(3) + "[AUTorUN\r\n" + junk(2) + "shellexecute=RuNdLl32.EXE .\\RECYCLER\\" + sid +
      "\\jwgkvsq.vmx,ahaezedrn\r\n" + junk(1) + "IcOn=%SyStEmRoOt%\\system32\\SHELL32.dll,4\r\n" +
      "AcTiOn=Open folder to view files\r\n" + junk(2) +
      "shell\\readme\\command=notepad readme.txt\r\n" + "useAutoPlay=1\r\n" + junk(4);
  return {
      .family = utf16 ? "autorun_utf16" : "autorun",
      .fs = fs,
      .items =
          {
              {"autorun.inf", utf16 ? Utf16WithBom(autorun) : Text(autorun), 0x27, "virus"},
              Folder("RECYCLER", 0x16, "virus"),
              Folder("RECYCLER/" + sid, 0x16, kAnyVerdict),
              {"RECYCLER/" + sid + "/jwgkvsq.vmx", Program("vmx"), 0, kAnyVerdict},
              Folder("$RECYCLE.BIN", 0x16, "virus"),
              {"$RECYCLE.BIN/msupd.exe", Program("msupd"), 0x26, kAnyVerdict},
              Folder("System Volume Information", 0x16, "system"),
              {"System Volume Information/IndexerVolumeGuid",
               Text("{4F3A1C2B-9D8E-4B7A-A1C3-5E6F7A8B9C0D}"), 0x26},
              {"System Volume Information/WPSettings.dat", Bytes{12, 0, 0, 0, 1, 2, 3, 4}, 0x26},
              {"readme.txt", Text("how to use this stick\r\n"), 0, ""},
          },
  };
}

// The folders hidden and system, the worm's one program copied under the name of each of them,
// of a new folder and of the stick.
InfectedStick FolderDisguiseStick(StickFs fs) {
  return {
      .family = "folder_disguise",
      .fs = fs,
      .items =
          {
              Folder("Photos", 0x16, "user"),
              {"Photos/cat.jpg", Picture("c")},
              Folder("资料", 0x16, "user"),
              {"资料/合同.docx", Document("contract")},
              {"Photos.exe", Program("worm"), 0, "virus"},
              {"资料.scr", Program("worm"), 0, "virus"},
              {"New Folder.exe", Program("worm"), 0, "virus"},
              {"新建文件夹.exe", Program("worm"), 0, "virus"},
              {"KINGSTON.exe", Program("worm"), 0, "virus"},
          },
  };
}

// Names that hide what they are, on the worm's one program copied under each: a right-to-left
// override, a second extension, a .pif; an Internet shortcut to a script; shortcuts named like the
// folder (with a space), the drive, or the drive in Chinese, each running something of the worm's;
// shortcuts that name cmd or wscript without ".exe".
InfectedStick TrickyNamesStick(StickFs fs) {
  const auto cmd = [](const std::string& arguments) {
    return Hidden({.idList = {"C:\\", "Windows", "System32", "cmd.exe"},
                   .localPath = "C:\\Windows\\System32\\cmd.exe",
                   .arguments = arguments});
  };
  return {
      .family = "tricky_names",
      .fs = fs,
      .items =
          {
              Folder("Photos", 0x12, "user"),
              {"Photos/dog.jpg", Picture("d")},
              {"Photos\u202Egpj.exe", Program("tricky"), 0, "virus"},
              {"report.pdf.exe", Program("tricky"), 0, "virus"},
              {"invoice.doc.scr", Program("tricky"), 0, "virus"},
              {"Photos.pif", Program("tricky"), 0, "virus"},
              {"Photos.url", Text("[InternetShortcut]\r\nURL=file:///E:/sys.vbs\r\n"), 0, "virus"},
              {"sys.vbs", Script("tricky"), 0x22, "virus"},
              {"Photos .lnk", cmd("/c start ..\\sys.vbs&start explorer Photos"), 0, "virus"},
              {"Removable Disk.lnk",
               Hidden({.idList = {"C:\\", "Windows", "System32", "msiexec.exe"},
                       .localPath = "C:\\Windows\\System32\\msiexec.exe",
                       .arguments = "/y data.dat"}),
               0, "virus"},
              {"data.dat", Program("dll"), 0x22, "virus"},
              {"USB DISK (8GB).lnk", cmd("/c start %cd%\\sys.vbs"), 0, "virus"},
              {"可移动磁盘.lnk",
               Hidden({.localPath = "C:\\Windows\\System32\\wscript.exe", .arguments = "sys.vbs"}),
               0, "virus"},
              // Interpreters named without their extension, also inside the command line.
              {"Music.lnk",
               Hidden({.localPath = "C:\\Windows\\System32\\cmd", .arguments = "/c start run.vbs"}),
               0, "virus"},
              {"run.vbs", Script("run"), 0x22, "virus"},
              {"Videos.lnk",
               Hidden({.arguments = "/c wscript play.vbs", .environmentPath = "%COMSPEC%"}), 0,
               "virus"},
              {"play.vbs", Script("play"), 0x22, "virus"},
              {"Games.lnk",
               Hidden({.localPath = "C:\\Windows\\System32\\WScript", .arguments = "game.vbs"}), 0,
               "virus"},
              {"game.vbs", Script("game"), 0x22, "virus"},
              {"holiday.jpg", Picture("j"), 0, ""},
              // The user's own hidden document, which no shortcut imitates: shown again.
              {"budget.xlsx", Text("PK budget"), 0x26, "user"},
          },
  };
}

// A hidden shortcut that starts the program of that path, of System32 when it has no folder.
Bytes Starts(const std::string& program, const std::string& arguments) {
  const std::string path =
      program.find('\\') == std::string::npos ? "C:\\Windows\\System32\\" + program : program;
  return Hidden({.localPath = path, .arguments = arguments});
}

// A JS port of H-worm whose shortcuts start the interpreter under a console host without a
// window, and one that has explorer run a script through its association.
InfectedStick ConsoleHostStick(StickFs fs) {
  return {
      .family = "console_host",
      .fs = fs,
      .label = "UNI2024",
      .items =
          {
              Folder("Semester 2", 0x16, "user"),
              {"Semester 2/grades.xlsx", Document("grades")},
              {"thesis draft.docx", Document("thesis"), 0x26, "user"},
              {"wsupd.js", Script("console"), 0x26, "virus"},
              {"lecture.vbs", Script("lecture"), 0x26, "virus"},
              {"Semester 2.lnk",
               Starts("conhost.exe",
                      "--headless cmd.exe /c start wsupd.js&start explorer \"Semester 2\"&exit"),
               0, "virus"},
              {"thesis draft.lnk",
               Starts("conhost.exe", "cmd /c start wsupd.js&start thesis\" \"draft.docx&exit"), 0,
               "virus"},
              {"Course notes.lnk", Starts("C:\\Windows\\explorer.exe", "..\\lecture.vbs"), 0,
               "virus"},
          },
  };
}

// The user's files moved into a hidden folder named like the label; the label's shortcut has
// regsvr32 install a scriptlet through scrobj.dll, a generic one has forfiles start a script.
InfectedStick ScriptletStick(StickFs fs) {
  return {
      .family = "scriptlet",
      .fs = fs,
      .label = "DATA",
      .items =
          {
              Folder("DATA", 0x16, "user"),
              {"DATA/invoice 0042.pdf", Document("invoice")},
              {"DATA/scan.png", Picture("s")},
              Folder(".cache", 0x12, "virus"),
              {".cache/s.sct", Text("<?XML version=\"1.0\"?><scriptlet/>\r\n"), 0, "virus"},
              {"run.vbs", Script("forfiles"), 0x26, "virus"},
              // A program information file that the old DOS loader reads, given a script host.
              {"DATA.pif", PifBytes("C:\\WINDOWS\\MSHTA.EXE", ".cache\\s.sct"), 0, "virus"},
              {"DATA (2GB).lnk",
               Starts("regsvr32.exe", "/s /n /u /i:\"..\\.cache\\s.sct\" scrobj.dll"), 0, "virus"},
              {"USB Drive.lnk",
               Starts("forfiles.exe",
                      "/p C:\\Windows /m notepad.exe /c \"cmd /c wscript //B run.vbs\""),
               0, "virus"},
          },
  };
}

// H-worm's VBE form, its command lines escaped with carets and cut by quotes; a document whose
// name holds a caret, which a quoted argument keeps, is what one shortcut poses as.
InfectedStick EscapedLinesStick(StickFs fs) {
  return {
      .family = "escaped_lines",
      .fs = fs,
      .label = "LEXAR",
      .items =
          {
              Folder("Photos 2019", 0x16, "user"),
              {"Photos 2019/lake.jpg", Picture("l")},
              {"budget^2025.xlsx", Document("budget"), 0x26, "user"},
              {"svc.vbe", Script("escaped"), 0x26, "virus"},
              {"Photos 2019.pif", PifBytes("WSCRIPT", "//E:VBScript svc.vbe"), 0, "virus"},
              {"Photos 2019.lnk",
               Hidden({.arguments = "/c s^t^a^r^t \"w\"s\"cript\" svc.vbe&s^t^a^r^t "
                                    "e^x^p^l^o^r^e^r \"Photos 2019\"&e^x^i^t",
                       .environmentPath = "%COMSPEC%"}),
               0, "virus"},
              {"budget^2025.lnk",
               Starts("cmd.exe", "/c c^m^d /c s^t^a^r^t s\"\"vc.vbe&start \"budget^2025.xlsx\""), 0,
               "virus"},
          },
  };
}

// A protection tool's folder named autorun.inf (hidden, system, read-only), beside the user's
// files.
InfectedStick VaccineFolderStick(StickFs fs) {
  return {
      .family = "vaccine_folder",
      .fs = fs,
      .items =
          {
              Folder("autorun.inf", 0x17, "vaccine"),
              {"thesis.docx", Document("thesis"), 0, ""},
          },
  };
}

// A protection tool's AUTORUN.INF file whose attribute byte carries the reserved bit.
InfectedStick VaccineFileStick(StickFs fs) {
  return {
      .family = "vaccine_file",
      .fs = fs,
      .items =
          {
              {"AUTORUN.INF", Text("; protected\r\n"), 0x47, "vaccine"},
              {"thesis.docx", Document("thesis"), 0, ""},
          },
  };
}

// What a careful user keeps: shortcuts to things on C:, a portable program's folder, other
// systems' housekeeping, an autorun.inf that only names an icon and a label, a folder customised
// by its desktop.ini, and one folder the user hid.
InfectedStick CarefulUserStick(StickFs fs) {
  return {
      .family = "careful_user",
      .fs = fs,
      .items =
          {
              Folder("Tools", 0, ""),
              {"Tools/notes.txt", Text("tools\r\n")},
              // A copy of the program that putty.lnk starts from C:, which is no evidence.
              {"Tools/putty.exe", Text("MZ putty")},
              {"Tools.lnk",
               ShortcutBytes({.idList = {"C:\\", "Users", "li", "Tools"},
                              .localPath = "C:\\Users\\li\\Tools"}),
               0, ""},
              {"putty.lnk",
               ShortcutBytes({.idList = {"C:\\", "Tools", "putty.exe"},
                              .localPath = "C:\\Tools\\putty.exe",
                              .workingDirectory = "C:\\Tools"}),
               0, ""},
              {"env.lnk",
               ShortcutBytes({.idList = {"C:\\", "Windows", "System32", "cmd.exe"},
                              .localPath = "C:\\Windows\\System32\\cmd.exe",
                              .arguments = "/k C:\\dev\\env.bat"}),
               0, "user|"},
              // What nothing tells either way is kept and listed: a shortcut cut short, and one
              // that hands PowerShell a command of its own.
              {"broken.lnk",
               [] {
                 auto cut = ShortcutBytes({.localPath = "C:\\Windows\\notepad.exe"});
                 cut.resize(0x50);
                 return cut;
               }(),
               0, "unsure"},
              {"ps.lnk",
               ShortcutBytes(
                   {.localPath = "C:\\Windows\\System32\\WindowsPowerShell\\v1.0\\powershell.exe",
                    .arguments = "-NoExit -Command Get-Date"}),
               0, "unsure"},
              {"._setup.exe", Bytes{0x00, 0x05, 0x16, 0x07, 0, 2, 0, 0}, 0x22, "system"},
              {"setup.exe", Program("portable setup"), 0, ""},
              {"autorun.inf", Text("[autorun]\r\nicon=stick.ico\r\nlabel=My Stick\r\n"), 0, "user"},
              {"stick.ico", Bytes{0, 0, 1, 0, 1, 0}, 0, ""},
              Folder(".Trashes", 0x12, "system"),
              Folder(".fseventsd", 0x12, "system"),
              {".fseventsd/fseventsd-uuid", Text("6F1C0A52-1B7E-4E0C-9B11-2C3D4E5F6A7B")},
              Folder(".Spotlight-V100", 0x12, "system"),
              Folder(".Trash-1000", 0x12, "system"),
              Folder("PortableApps", 0, ""),
              {"PortableApps/app.exe", Program("app"), 0, ""},
              {"PortableApps/app.dll", Program("app library"), 0, ""},
              Folder("Music", 0, ""),
              {"Music/desktop.ini", Text("[.ShellClassInfo]\r\nIconResource=music.ico,0\r\n"), 0x26,
               ""},
              {"Music/song.mp3", Text("ID3")},
              Folder("Private", 0x16, "user"),
              {"Private/diary.docx", Document("diary")},
              {"Private/passport.jpg", Picture("p")},
              // Portable programs in a hidden folder look like a payload: unsure, shown again.
              Folder("Apps", 0x12, "unsure"),
              {"Apps/editor.exe", Text("MZ editor")},
              {"Apps/editor.dll", Text("MZ library")},
          },
  };
}

// A Windows installation stick as the media tools write it, its boot entries hidden on FAT32 as
// some tools leave them; on exFAT a worm has also hidden the user's folder beside them, with a
// script that its shortcut starts. The stick's own autorun.inf starts its own setup.exe.
InfectedStick InstallerStick(StickFs fs) {
  const bool infected = fs == StickFs::kExfat;
  InfectedStick stick{
      .family = infected ? "installer_worm" : "installer",
      .fs = fs,
      .label = "CCCOMA_X64",
      .items =
          {
              {"autorun.inf",
               Text("[AutoRun.Amd64]\r\nopen=setup.exe\r\nicon=setup.exe,0\r\n"
                    "\r\n[AutoRun]\r\nopen=sources\\SetupError.exe x64\r\n"
                    "icon=sources\\SetupError.exe,0\r\n"),
               0, "system"},
              {"bootmgr", Program("bootmgr"), 0x27, "system"},
              {"bootmgr.efi", Program("bootmgr efi"), 0x27, "system"},
              {"setup.exe", Program("setup"), 0, "system"},
              Folder("boot", 0x12, "system"),
              {"boot/bcd", Text("regf")},
              Folder("efi", 0x12, "system"),
              Folder("efi/boot", 0x10, ""),
              {"efi/boot/bootx64.efi", Program("bootx64")},
              Folder("sources", 0x10, "system"),
              {"sources/SetupError.exe", Program("setup error")},
              {"sources/install.esd", Text("MSWIM install")},
              Folder("support", 0x12, "system"),
              {"support/logging.dll", Program("logging")},
          },
  };
  if (infected) {
    for (StickItem item : std::initializer_list<StickItem>{
             Folder("Drivers backup", 0x16, "user"),
             {"Drivers backup/wifi.inf", Text("[Version]\r\n")},
             {"Drivers backup/notes.txt", Text("for the laptop\r\n")},
             {"Drivers backup.lnk",
              Starts("wscript.exe", "//e:vbscript svc32.dat \"Drivers backup\""), 0, "virus"},
             {"svc32.dat", Script("installer worm"), 0x26, "virus"},
         }) {
      stick.items.push_back(std::move(item));
    }
  }
  return stick;
}

// A syslinux boot stick (ldlinux.sys is hidden, system and read-only, as syslinux writes it) with
// the user's own files beside it, and a GRUB one with an EFI folder that its maker hid.
InfectedStick BootLoaderStick(StickFs fs) {
  if (fs == StickFs::kFat16) {
    return {
        .family = "syslinux",
        .fs = fs,
        .label = "RESCUE",
        .items =
            {
                {"ldlinux.sys", Program("ldlinux"), 0x27, "system"},
                {"ldlinux.c32", Program("ldlinux c32"), 0x27, "system"},
                {"syslinux.cfg", Text("DEFAULT rescue\r\nLABEL rescue\r\n"), 0x22, "system"},
                Folder("isolinux", 0x12, "system"),
                {"isolinux/menu.c32", Program("menu")},
                {"memtest.bin", Program("memtest"), 0, ""},
                {"readme.txt", Text("boot me\r\n"), 0, ""},
            },
    };
  }
  return {
      .family = "grub",
      .fs = fs,
      .label = "LIVE",
      .items =
          {
              Folder("EFI", 0x16, "system"),
              Folder("EFI/BOOT", 0x10, ""),
              {"EFI/BOOT/BOOTX64.EFI", Program("shim")},
              Folder("boot", 0x16, "system"),
              Folder("boot/grub", 0x10, ""),
              {"boot/grub/grub.cfg", Text("menuentry live {\n}\n")},
              Folder("live", 0x10, ""),
              {"live/vmlinuz", Program("kernel")},
              {"Backups", std::nullopt, 0x16, "user"},
              {"Backups/phone.zip", Document("phone")},
          },
  };
}

// A portable-apps platform: its autorun.inf, shown, starts its own menu program in plain sight.
// On exFAT a worm has come too: the platform stays, the worm's shortcut and script go.
InfectedStick PortablePlatformStick(StickFs fs) {
  const bool infected = fs == StickFs::kExfat;
  InfectedStick stick{
      .family = infected ? "platform_worm" : "platform",
      .fs = fs,
      .label = "APPS",
      .items =
          {
              {"Autorun.inf",
               Text("[AutoRun]\r\nopen=Start.exe\r\nicon=Start.exe\r\n"
                    "action=Start the portable menu\r\nlabel=Portable Apps\r\n"),
               0, "system"},
              {"Start.exe", Program("menu"), 0, "system"},
              Folder("Apps", 0x10, ""),
              {"Apps/notepad2.exe", Program("notepad2")},
              Folder("Documents", infected ? 0x16 : 0x10, infected ? "user" : ""),
              {"Documents/plan.odt", Document("plan")},
          },
  };
  if (infected) {
    for (StickItem item : std::initializer_list<StickItem>{
             {"Documents.lnk", HostShortcut(1, "/c start ~wr.vbs&start explorer Documents", true),
              0, "virus"},
             {"~wr.vbs", Script("platform worm"), 0x26, "virus"},
         }) {
      stick.items.push_back(std::move(item));
    }
  }
  return stick;
}

// Camera cards. One with the folders a camera keeps beside DCIM, one of them hidden as some
// cameras keep it, and no worm; one whose DCIM a worm hid, with a shortcut of that name.
InfectedStick CameraCardStick(StickFs fs) {
  if (fs == StickFs::kFat32) {
    return {
        .family = "camera",
        .fs = fs,
        .label = "EOS_DIGITAL",
        .items =
            {
                Folder("DCIM", 0x10, ""),
                Folder("DCIM/100CANON", 0x10, ""),
                {"DCIM/100CANON/IMG_0042.JPG", Picture("c")},
                Folder("MISC", 0x12, "system"),
                {"MISC/AUTPRINT.MRK", Text("[HDR]\r\n")},
                Folder("AVF_INFO", 0x12, "system"),
                {"AVF_INFO/AVIN0001.BNP", Bytes{1, 2, 3}},
            },
    };
  }
  return {
      .family = "camera_worm",
      .fs = fs,
      .label = "NIKON D5",
      .items =
          {
              Folder("DCIM", 0x16, "user"),
              Folder("DCIM/100NIKON", 0x10, ""),
              {"DCIM/100NIKON/DSC_0007.JPG", Picture("n")},
              Folder("MISC", 0x16, "user"),
              {"MISC/notes.txt", Text("lens\r\n")},
              {"DCIM.lnk", Starts("cmd.exe", "/c start dcim.js&explorer DCIM"), 0, "virus"},
              // Named like the shortcut, and all that it runs besides the folder it poses as.
              {"dcim.js", Script("camera worm"), 0x26, "virus"},
              {"MISC.lnk", Starts("wscript.exe", "~m1.vbs"), 0, "virus"},
              {"~m1.vbs", Script("camera worm's other"), 0x26, "virus"},
          },
  };
}

// Windows' own folders by their content: a real recycle bin (the user's deleted files as $I/$R
// pairs in a folder per user, a program the worm dropped at its top) and a real System Volume
// Information; on FAT16 the older bin, whose deleted files keep their extension as Dc<n>.
InfectedStick WindowsFoldersStick(StickFs fs) {
  if (fs == StickFs::kFat16) {
    return {
        .family = "old_recycler",
        .fs = fs,
        .items =
            {
                Folder("RECYCLER", 0x16, "system"),
                Folder("RECYCLER/S-1-5-21-1957994488-484763869-854245398-1003", 0x16, ""),
                {"RECYCLER/S-1-5-21-1957994488-484763869-854245398-1003/INFO2", Bytes{5, 0, 0, 0}},
                {"RECYCLER/S-1-5-21-1957994488-484763869-854245398-1003/Dc1.exe",
                 Program("the user's deleted tool")},
                {"RECYCLER/S-1-5-21-1957994488-484763869-854245398-1003/desktop.ini",
                 Text("[.ShellClassInfo]\r\n")},
                {"accounts.xls", Document("accounts"), 0, ""},
            },
    };
  }
  const std::string sid = "$RECYCLE.BIN/S-1-5-21-3623811015-3361044348-30300820-1013";
  return {
      .family = "recycle_bin",
      .fs = fs,
      .items =
          {
              Folder("$RECYCLE.BIN", 0x16, "system"),
              Folder(sid, 0x16, ""),
              {sid + "/desktop.ini", Text("[.ShellClassInfo]\r\n")},
              {sid + "/$IR8K2QF.docx", Bytes{2, 0, 0, 0, 0, 0, 0, 0}},
              {sid + "/$RR8K2QF.docx", Document("deleted letter")},
              {sid + "/$IX1.exe", Bytes{2, 0, 0, 0, 1, 0, 0, 0}},
              {sid + "/$RX1.exe", Program("the user's deleted program")},
              {"$RECYCLE.BIN/winlogon.exe", Program("dropped"), 0x26, "virus"},
              Folder("System Volume Information", 0x16, "system"),
              {"System Volume Information/IndexerVolumeGuid", Text("{9A1B2C3D}")},
              {"letter.docx", Document("letter"), 0, ""},
          },
  };
}

// The user's own things that look like a worm's by their names alone: a batch file named like
// the folder it backs up, a lone program named like a folder, shortcuts to the stick's own
// programs, visible. Nothing goes.
InfectedStick LookAlikeUserStick(StickFs fs) {
  return {
      .family = "look_alike_user",
      .fs = fs,
      .label = "WORK",
      .items =
          {
              Folder("Backup", 0x10, ""),
              {"Backup/2026-11.zip", Document("november")},
              {"backup.bat", Text("@xcopy /s /y C:\\Users\\ana\\Documents Backup\\\r\n"), 0,
               "unsure"},
              Folder("Tools", 0x10, ""),
              {"Tools/app.exe", Program("app")},
              {"App.lnk", ShortcutBytes({.relativePath = ".\\Tools\\app.exe"}), 0, ""},
              {"Tools.lnk", ShortcutBytes({.relativePath = ".\\Tools\\app.exe"}), 0, "unsure|"},
              Folder("Setup", 0x10, ""),
              {"Setup/readme.txt", Text("install\r\n")},
              {"Setup.exe", Program("installer"), 0, "unsure"},
              {"WORK.exe", Program("work timer"), 0, "unsure"},
          },
  };
}

// A shortcut to Windows PowerShell with `arguments`, hidden as the worms write them; its target
// written as a local path or only in the environment block.
constexpr const char* kPowerShell =
    "C:\\Windows\\System32\\WindowsPowerShell\\v1.0\\powershell.exe";
Bytes PowerShell(bool environment, const std::string& arguments) {
  if (!environment) return Starts(kPowerShell, arguments);
  return Hidden({.arguments = arguments,
                 .environmentPath = "%SystemRoot%\\System32\\WindowsPowerShell\\v1.0\\"
                                    "powershell.exe"});
}

// A worm whose shortcuts hand PowerShell an encoded command that starts its hidden script and
// then what they pose as; the user's own PowerShell shortcut runs a script of C:.
InfectedStick EncodedScriptStick(StickFs fs) {
  return {
      .family = "powershell_encoded_script",
      .fs = fs,
      .label = "SANDISK",
      .items =
          {
              {"lista compras.txt", Text("pan, leche\r\n"), 0, ""},
              Folder("Fotos Familia", 0x16, "user"),
              {"Fotos Familia/playa.jpg", Picture("p")},
              {"Fotos Familia.lnk",
               PowerShell(false, "-NoProfile -WindowStyle Hidden -enc " +
                                     EncodedCommand("Start-Process wscript.exe '//B //Nologo "
                                                    ".\\~svc.vbs'; Invoke-Item 'Fotos Familia'")),
               0, "virus"},
              {"contrato.pdf", Document("contrato"), 0x26, "user"},
              {"~svc.vbs", Script("encoded"), 0x26, "virus"},
              {"contrato.lnk",
               PowerShell(true, "-ExecutionPolicy Bypass -EnC " +
                                    EncodedCommand("saps -FilePath wscript -ArgumentList "
                                                   "'~svc.vbs'\r\nsaps contrato.pdf")),
               0, "virus"},
              {"respaldo.lnk",
               ShortcutBytes({.localPath = kPowerShell,
                              .arguments = "-NoProfile -File C:\\Scripts\\respaldo.ps1"}),
               0, ""},
          },
  };
}

// The user's files moved into a hidden folder named like the label; the label's shortcut has
// PowerShell decode a command that calls the worm's program in a hidden folder of its own and
// opens the moved files.
InfectedStick EncodedProgramStick(StickFs fs) {
  return {
      .family = "powershell_encoded_program",
      .fs = fs,
      .label = "TRANSCEND",
      .items =
          {
              {"TRANSCEND.lnk",
               PowerShell(true,
                          "-nop -w hidden /e " + EncodedCommand("$d = Join-Path $pwd '.system'\n"
                                                                "& .\\.system\\winhost.exe -k; "
                                                                "explorer.exe TRANSCEND")),
               0, "virus"},
              Folder(".system", 0x16, "virus"),
              {".system/winhost.exe", Program("encoded program"), 0, "virus"},
              {".system/config.dat", Text("[cfg]\r\nid=42\r\n"), 0, kAnyVerdict},
              Folder("TRANSCEND", 0x16, "user"),
              {"TRANSCEND/presupuesto.xlsx", Document("presupuesto")},
              {"TRANSCEND/video boda.mp4", Text("ftypisom")},
          },
  };
}

// Shortcuts that give PowerShell its command in plain text, after -Command and as its first
// argument; each starts a script of the worm's through a script host, then opens the folder.
InfectedStick CommandPowerShellStick(StickFs fs) {
  return {
      .family = "powershell_command",
      .fs = fs,
      .label = "MEMORIA",
      .items =
          {
              Folder("Music", 0x12, "user"),
              {"Music/cancion.mp3", Text("ID3")},
              {"~t.js", Script("command"), 0x26, "virus"},
              {"Tesis.lnk",
               PowerShell(false,
                          "-nop -w hidden -c \"if (Test-Path .\\~t.js) { cscript "
                          "//nologo .\\~t.js }; explorer Tesis\""),
               0, "virus"},
              Folder("Tesis", 0x16, "user"),
              {"Tesis/capitulo1.docx", Document("capitulo")},
              {"Music.lnk",
               PowerShell(true,
                          "-NoLogo \"Start-Process -WindowStyle Hidden wscript.exe "
                          "-ArgumentList .\\~m.vbs; ii Music\""),
               0, "virus"},
              {"~m.vbs", Script("positional"), 0x26, "virus"},
              {"notas.txt", Text("entregar el lunes\r\n"), 0x22, "user"},
          },
  };
}

// Windows' real folders, exactly named and holding what Windows keeps there, beside the worm's
// look-alikes that a blank or a dot after the name sets apart, each holding its program or script.
InfectedStick WindowsLookAlikesStick(StickFs fs) {
  const std::string sid = "$RECYCLE.BIN/S-1-5-21-2743520385-3219836401-1571210893-1001";
  return {
      .family = "windows_look_alikes",
      .fs = fs,
      .label = "VERBATIM",
      .items =
          {
              Folder("System Volume Information ", 0x16, "virus"),
              {"System Volume Information /svchost.exe", Program("look-alike"), 0, kAnyVerdict},
              Folder("$RECYCLE.BIN", 0x16, "system"),
              Folder(sid, 0x16, ""),
              {sid + "/desktop.ini", Text("[.ShellClassInfo]\r\n")},
              {sid + "/$I4ZK1PA.xlsx", Bytes{2, 0, 0, 0, 9, 0, 0, 0}},
              {sid + "/$R4ZK1PA.xlsx", Document("deleted sheet")},
              {sid + "/$IQ3M7.exe", Bytes{2, 0, 0, 0, 3, 0, 0, 0}},
              {sid + "/$RQ3M7.exe", Program("the user's deleted installer")},
              {"Informe.docx", Document("informe"), 0, ""},
              Folder("System Volume Information", 0x16, "system"),
              {"System Volume Information/IndexerVolumeGuid", Text("{0C1D2E3F-4A5B}")},
              {"System Volume Information/WPSettings.dat", Bytes{12, 0, 0, 0, 7, 7, 7, 7}},
              Folder("$RECYCLE.BIN.", 0x16, "virus"),
              {"$RECYCLE.BIN./update.vbs", Script("look-alike bin"), 0, kAnyVerdict},
          },
  };
}

// The old recycle bin and System Volume Information, real and looked alike: the worm's copies
// named with a blank and with a dot after the name, an S-1-5 folder of its own in one.
InfectedStick OldRecyclerLookAlikesStick(StickFs fs) {
  const std::string sid = "RECYCLER/S-1-5-21-1004336348-1177238915-682003330-1003";
  return {
      .family = "recycler_look_alikes",
      .fs = fs,
      .label = "PNY",
      .items =
          {
              Folder("Fotos 2023", 0x10, ""),
              {"Fotos 2023/IMG_0001.jpg", Picture("f")},
              Folder("RECYCLER", 0x16, "system"),
              Folder(sid, 0x16, ""),
              {sid + "/INFO2", Bytes{5, 0, 0, 0, 0x20, 3}},
              {sid + "/Dc1.doc", Document("the user's deleted letter")},
              {sid + "/desktop.ini", Text("[.ShellClassInfo]\r\n")},
              Folder("RECYCLER ", 0x16, "virus"),
              Folder("RECYCLER /S-1-5-21-0-0-0-500", 0x16, kAnyVerdict),
              {"RECYCLER /ctfmon.exe", Program("look-alike recycler"), 0, kAnyVerdict},
              Folder("System Volume Information.", 0x16, "virus"),
              {"System Volume Information./wsvcz.js", Script("look-alike volume"), 0, kAnyVerdict},
              Folder("System Volume Information", 0x16, "system"),
              {"System Volume Information/IndexerVolumeGuid", Text("{77AA0B1C}")},
              {"System Volume Information/tracking.log", Bytes{1, 0, 0, 0}},
          },
  };
}

// A worm that leaves its script inside each folder of the user's that it hides, and a shortcut
// beside each folder that runs that script and opens the folder: the scripts go alone, the
// folders come back with every file of the user's in them.
InfectedStick PayloadInUsersFolderStick(StickFs fs) {
  return {
      .family = "payload_in_users_folder",
      .fs = fs,
      .items =
          {
              {"Tax 2025.lnk",
               Starts("C:\\Windows\\System32\\conhost.exe",
                      "--headless cmd /c start wscript //B \"Tax 2025\\~tx0.js\"&start explorer "
                      "\"Tax 2025\""),
               0, "virus"},
              Folder("Tax 2025", 0x16, "user"),
              {"Tax 2025/return.pdf", Document("tax return")},
              {"Tax 2025/~tx0.js", Script("folder worm, first copy"), 0x26, "virus"},
              Folder("Lecture Notes", 0x12, "user"),
              Folder("Lecture Notes/Week 3", 0x10, ""),
              {"Lecture Notes/Week 3/slides.pptx", Document("slides")},
              {"Lecture Notes/notes.md", Text("# notes\r\n")},
              {"Lecture Notes/~ln1.js", Script("folder worm, second copy"), 0x22, "virus"},
              {"Lecture Notes.lnk",
               Starts("cmd.exe",
                      "/c start wscript \"Lecture Notes\\~ln1.js\"&start explorer "
                      "\"Lecture Notes\"&exit"),
               0, "virus"},
              {"helper.js", Script("the user's own, visible and run by nothing"), 0, ""},
          },
  };
}

std::vector<InfectedStick> Corpus() {
  using enum StickFs;
  std::vector<InfectedStick> sticks;
  for (const StickFs fs : {kFat32, kExfat, kFat16, kFat12}) sticks.push_back(HWormStick(fs));
  for (const StickFs fs : {kFat32, kExfat}) {
    for (const char* blank : {"\u00A0", "\u2007", "\u3000"}) {
      sticks.push_back(BlankFolderStick(fs, blank));
    }
    for (const auto make : {SysvolumeStick, MovemenoregStick, FolderDisguiseStick, TrickyNamesStick,
                            VaccineFolderStick, CarefulUserStick}) {
      sticks.push_back(make(fs));
    }
    sticks.push_back(AutorunWormStick(fs, false));
  }
  sticks.push_back(BlankFolderStick(kFat32, "\u00A0", 0xFF));
  sticks.push_back(AutorunWormStick(kFat16, true));
  sticks.push_back(VaccineFileStick(kFat32));
  sticks.push_back(VaccineFileStick(kFat12));
  sticks.push_back(ConsoleHostStick(kFat32));
  sticks.push_back(ScriptletStick(kFat16));
  sticks.push_back(EscapedLinesStick(kExfat));
  for (const StickFs fs : {kFat32, kExfat}) {
    for (const auto make : {InstallerStick, PortablePlatformStick, CameraCardStick}) {
      sticks.push_back(make(fs));
    }
  }
  for (const StickFs fs : {kFat32, kFat16}) {
    sticks.push_back(BootLoaderStick(fs));
    sticks.push_back(WindowsFoldersStick(fs));
  }
  sticks.push_back(LookAlikeUserStick(kExfat));
  sticks.push_back(LookAlikeUserStick(kFat12));
  sticks.push_back(EncodedScriptStick(kFat16));
  sticks.push_back(EncodedProgramStick(kExfat));
  sticks.push_back(CommandPowerShellStick(kFat32));
  sticks.push_back(WindowsLookAlikesStick(kFat32));
  sticks.push_back(OldRecyclerLookAlikesStick(kExfat));
  sticks.push_back(OldRecyclerLookAlikesStick(kFat16));
  sticks.push_back(PayloadInUsersFolderStick(kExfat));
  sticks.push_back(PayloadInUsersFolderStick(kFat16));
  return sticks;
}

}  // namespace kestrova::testing
