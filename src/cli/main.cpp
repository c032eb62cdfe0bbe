// SPDX-License-Identifier: GPL-3.0-or-later
// kestrova-cli: the repair engine without a window.
#include <algorithm>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <CLI/CLI.hpp>

#include "cli/commands.h"
#include "cli/console.h"
#include "project_info.h"
#include "repair/journal.h"
#include "words/shell_words.h"
#include "words/texts.h"

namespace {

using namespace kestrova;
using namespace kestrova::cli;

// An option of one command, besides -h/--help. The parser accepts it after that command's name
// and Invocation::Has tells whether it was given.
struct Option {
  std::string_view name;
  std::vector<std::string_view> description;  // lines of the help
  std::string_view value = {};  // the name of the value that follows it, when it takes one
  bool repeats = false;         // it may be given more than once, each time with a value
};

// A command: its operand and the lines that describe it, in the list of every command and in the
// command's own help.
struct Command {
  std::string_view name;
  std::string_view operand;  // "TARGET", "JOURNAL TARGET", "[TARGET]" (may be left out), or none
  std::vector<std::string_view> description;
  std::vector<Option> options;
};

const std::vector<Command>& Commands() {
  static const std::vector<Command> commands = {
      {"drives",
       "",
       {"list the removable drives: device, letter, size in bytes, volume",
        "label and, when it is mounted, the mount point; writes nothing.",
        "On Linux letters are handed out afresh at each run: scripts", "should name the device"},
       {}},
      {"analyze",
       "TARGET",
       {"analyse the volume and print its layout (file system, sector",
        "size, reserved sectors, sectors per FAT, FAT count, sectors",
        "per cluster, first data sector, the root directory's clusters",
        "or sectors); opens the drive for reading only and writes nothing"},
       {}},
      {"scan",
       "TARGET",
       {"analyse, then list the root-directory entries that repair would",
        "change (attribute now, short name, long name): the hidden",
        "folders, then the hidden files that are the user's; then every",
        "other entry judged by evidence, under the heading of its",
        "verdict: the virus's (its shortcuts, autorun.inf, what they run,",
        "its folders), unsure, the user's, and what is left as it is (a",
        "system's own, vaccines), one a line: name, a tab, and why. When",
        "the virus's files are there to remove or the user's to move back,",
        "it ends with the fix command that does all of it in one step",
        "(with --json: the plan of that fix). Opens the drive for reading",
        "only and writes nothing"},
       {}},
      {"repair",
       "TARGET",
       {"analyse, then turn every hidden and/or system root folder into a",
        "plain folder (but the virus's, a system's own and vaccines) and",
        "show again every hidden root file that is the user's, as the",
        "window's Repair button does; prints each folder and file it",
        "restored and the folders' count. Writes only the attribute bytes",
        "of those root entries (on exFAT with their entry sets'",
        "checksums), in the root directory's sectors that change. Then",
        "lists the other verdicts, as scan does: the virus's files, which",
        "it leaves as they are, and the command that removes them (clean)"},
       {{"--unmount",
         {"for a drive that is mounted: unmount it first and mount it",
          "again afterwards (without the option a mounted drive is", "refused)"}},
        {"--journal",
         {"write the journal of the change (each changed sector's old",
          "and new bytes) to FILE instead of a new file in",
          "$XDG_STATE_HOME/kestrova (~/.local/state/kestrova; on Windows",
          "%LOCALAPPDATA%\\Kestrova)"},
         "FILE"}}},
      {"clean",
       "TARGET",
       {"analyse, then list the files and folders that the virus left in",
        "the root, as scan does, and remove exactly them, as the system",
        "removes a file or a folder with all inside it (a folder that holds",
        "a document anywhere is kept): writes their entries (marked",
        "deleted; on exFAT not in use), the FAT entries of their clusters",
        "(freed in every FAT kept current), FAT32's free-cluster count and",
        "exFAT's allocation bitmap, only in the sectors that change. First",
        "it reads every folder of the volume and the FAT: a chain that is",
        "damaged, a cluster that anything else owns, or a folder that",
        "cannot be read refuses them all, with nothing written. Prints",
        "what it removed, each with why, their count, the journal's path",
        "and the command that undoes the change"},
       {{"--unmount",
         {"for a drive that is mounted: unmount it first and mount it",
          "again afterwards (see repair)"}},
        {"--journal", {"write the journal of the change to FILE (see repair)"}, "FILE"}}},
      {"move-back",
       "TARGET",
       {"analyse, then put back into the root every file and folder that",
        "the virus moved into a hidden folder of it (a blank or invisible",
        "name, `_` or the label's), but the virus's own: their entries",
        "(exFAT: entry sets) are copied into free entries of the root as",
        "they are and the old ones marked deleted (not in use); a name",
        "that the root holds gets \" (2)\" before its extension. A full",
        "root grows on FAT32 and exFAT; FAT12 and FAT16 refuse, with",
        "nothing written. The emptied folder is removed with the virus's",
        "files in it. Prints what it moved, under which names, what",
        "stayed, the journal's path and the command that undoes it"},
       {{"--unmount",
         {"for a drive that is mounted: unmount it first and mount it",
          "again afterwards (see repair)"}},
        {"--journal", {"write the journal of the change to FILE (see repair)"}, "FILE"}}},
      {"fix",
       "TARGET",
       {"analyse once, then do in one step what repair, clean and",
        "move-back do: show the hidden folders and the user's hidden files",
        "again, remove the virus's files and folders, and put back into",
        "the root what the virus moved into its folder, all judged by the",
        "same analysis, with one journal and one command that undoes it",
        "all. A move back that the root has no room for is left out and",
        "said. Prints what it restored, removed and moved back"},
       {{"--unmount",
         {"for a drive that is mounted: unmount it first and mount it",
          "again afterwards (see repair)"}},
        {"--journal", {"write the journal of the change to FILE (see repair)"}, "FILE"},
        {"--keep",
         {"leave the virus's file or folder PATH (as scan names it, e.g.",
          "'Photos.lnk' or 'FOLDER\\payload.vbs') where it is; may be", "given more than once"},
         "PATH",
         true}}},
      {"undo",
       "JOURNAL [TARGET]",
       {"put back the old bytes of the change that JOURNAL recorded (all", "of a fix at once),",
        "when TARGET is the volume it was made on and every sector",
        "still holds what the change wrote; otherwise it writes",
        "nothing, and a sector that a later change wrote again names",
        "that change's journal, to undo first. Writes only the", "journal's sectors.",
        "A journal of pc-clean (.pcjournal) needs no TARGET: its Run",
        "values, Startup files, scheduled tasks and files are put back",
        "(ended processes stay ended)"},
       {{"--unmount",
         {"for a drive that is mounted: unmount it first and mount it",
          "again afterwards (see repair)"}}}},
      {"quarantine",
       "[TARGET]",
       {"list the quarantine files in the journal folder, newest first, or",
        "only TARGET's: each removal's quarantine keeps every file it",
        "removed (its bytes masked, so that it neither runs nor looks like",
        "the virus to a scanner) and a record of each file of the virus's",
        "that stayed. One line a quarantine (path, command, time, label),",
        "then one a file: its path, size, whether it was removed or stayed,",
        "and why it was judged the virus's. Opens TARGET for reading only"},
       {}},
      {"restore",
       "QUARANTINE PATH... TARGET",
       {"write each removed file PATH (as quarantine lists it) of the",
        "quarantine file QUARANTINE back into the root of TARGET as a new,",
        "visible file, its content checked against its SHA-256 first: in",
        "free entries of the root and free clusters, whatever was written",
        "to the drive since; a name the root holds gets \" (2)\". A damaged",
        "quarantine is refused before the drive is opened. Journaled and",
        "undone like every change"},
       {{"--unmount",
         {"for a drive that is mounted: unmount it first and mount it",
          "again afterwards (see repair)"}},
        {"--journal", {"write the journal of the change to FILE (see repair)"}, "FILE"}}},
      {"pc-check",
       "[TARGET]",
       {"Windows: look at the places from which this PC starts programs",
        "by itself (the Run and RunOnce values of HKCU and HKLM, also",
        "Wow6432Node; the Startup folders; the scheduled tasks; the",
        "running processes) and list, with why, those that start the",
        "virus of a stick: a file with the bytes of a file judged the",
        "virus's on TARGET (or recorded in a quarantine of this PC), a",
        "script host running such a file, a hidden file in the user's",
        "folders with its name; unsure: a script host running a hidden",
        "script from the user's folders. Never by a name alone. Reads",
        "only. On Linux it says that there is nothing of the kind"},
       {{"--all", {"list every other place too, as left alone"}}}},
      {"pc-clean",
       "[TARGET]",
       {"look as pc-check does, then stop what it found of the virus's:",
        "end its processes, remove its Run values, Startup files and",
        "scheduled tasks, and move the files that they start into the",
        "PC journal (a .pcjournal in the journal folder, written first,",
        "with each value's name, type and data, each task's XML and",
        "each file's path and bytes); undo JOURNAL puts them back. Ending",
        "a process is not undone. HKLM's values and other users'",
        "processes need administrator rights"},
       {}},
      {"journals",
       "[TARGET]",
       {"list the journals in the journal folder, newest first, or",
        "only TARGET's: path, command, time, and what it changed",
        "(sectors; the volume's label and serial number). With",
        "TARGET also what became of the change: can still be undone,",
        "already undone, partly applied (cut short), or overtaken by",
        "a later change (its journal named). A damaged journal is",
        "listed as damaged. Opens TARGET for reading only"},
       {}},
  };
  return commands;
}

constexpr const char* kSummary =
    "Repairs the root folders of a FAT12, FAT16, FAT32 or exFAT drive that a virus made\n"
    "hidden and system.\n";

constexpr const char* kTargetText =
    "TARGET is a drive letter (F or F:); on Linux it may also be the path of a block\n"
    "device or of an image file. analyze and scan open it for reading only, a mounted\n"
    "drive beside its file system (they say so). A mounted drive is changed only with\n"
    "--unmount (repair, clean, move-back, fix, restore and undo), which unmounts it\n"
    "first and mounts it again afterwards.\n";

#ifndef _WIN32
constexpr const char* kAccessText =
    "On Linux a user without root needs no sudo: the drives are opened through\n"
    "UDisks2 on the system bus, and polkit decides (it may ask for a password); where\n"
    "UDisks2 does not answer, opening a block device needs root.\n";
#endif

constexpr const char* kClosingText =
    "Messages are printed as 'title: text' on standard error.\n"
    "\n"
    "exit status:\n"
    "  0  done\n"
    "  1  failed, and nothing was written to the disk (the volume cannot be opened,\n"
    "     is not FAT or exFAT, is unsupported, damaged, larger than its device or\n"
    "     changed, or the pass failed before its first write)\n"
    "  2  usage\n"
    "  3  failed after the pass began to write: some sectors may have been written\n"
    "A failure to write this program's own output is a failure too.\n";

// The help's width: every line fits a terminal of 80 columns.
constexpr std::size_t kHelpWidth = 80;

// Words filled into lines of at most `width` columns, each line after the first beginning with
// `indent` spaces; the first line has `first` columns less room. Lines end in '\n'.
std::string Filled(const std::string& words, std::size_t indent, std::size_t first = 0,
                   std::size_t width = kHelpWidth) {
  std::string text;
  std::size_t column = first;
  bool lineStart = true;
  for (std::size_t at = 0; at < words.size();) {
    const std::size_t begin = words.find_first_not_of(' ', at);
    if (begin == std::string::npos) break;
    const std::size_t end = std::min(words.find(' ', begin), words.size());
    const std::string word = words.substr(begin, end - begin);
    if (!lineStart && column + 1 + word.size() > width) {
      text += '\n' + std::string(indent, ' ');
      column = indent;
      lineStart = true;
    }
    if (!lineStart) {
      text += ' ';
      ++column;
    }
    text += word;
    column += word.size();
    lineStart = false;
    at = end;
  }
  return text + '\n';
}

// A text of the help, its paragraphs (blank lines apart) filled to the help's width.
std::string FilledParagraphs(std::string_view text) {
  std::string filled;
  std::string paragraph;
  std::size_t from = 0;
  while (from < text.size()) {
    const std::size_t end = std::min(text.find('\n', from), text.size());
    const std::string_view line = text.substr(from, end - from);
    // A line that begins with blanks (a list of values) keeps its place.
    if (line.empty() || line.starts_with(' ')) {
      if (!paragraph.empty()) filled += Filled(paragraph, 0);
      paragraph.clear();
      filled.append(line).append("\n");
    } else {
      paragraph.append(paragraph.empty() ? "" : " ").append(line);
    }
    from = end + 1;
  }
  if (!paragraph.empty()) filled += Filled(paragraph, 0);
  return filled;
}

// One entry of a two-column list: the name, then its description from column 19 on, filled to
// the help's width. A name that reaches the column puts its description on the line below it.
std::string ListEntry(const std::string& name, const std::vector<std::string_view>& lines) {
  constexpr std::size_t kColumn = 19;
  std::string entry = "  " + name;
  if (entry.size() >= kColumn)
    entry += '\n' + std::string(kColumn, ' ');
  else
    entry.append(kColumn - entry.size(), ' ');
  std::string words;
  for (const auto line : lines) words.append(words.empty() ? "" : " ").append(line);
  return entry + Filled(words, kColumn, kColumn);
}

std::string GeneralHelp() {
  std::string text = std::string("usage: ") + kProgram + " COMMAND [TARGET]\n" +  //
                     "   or: " + kProgram + " COMMAND --help\n" +                 //
                     "   or: " + kProgram + " --help | --version\n\n" + FilledParagraphs(kSummary) +
                     "\ncommands:\n";
  for (const auto& command : Commands()) {
    std::string name(command.name);
    if (!command.operand.empty()) name.append(" ").append(command.operand);
    text += ListEntry(name, command.description);
  }
  text += "\noptions:\n";
  text += ListEntry("-h, --help", {"print this help; after a command, that command's help"});
  text += ListEntry("--version", {"print the version"});
  text += ListEntry(
      "--", {"end the options: what follows is the TARGET, even when it", "begins with '-'"});
  text += "\noptions of the commands (see COMMAND --help):\n";
  text += ListEntry("--json", {"every command: print what it found or did as one JSON",
                               "document (UTF-8) instead of text"});
  text += ListEntry("--utf8", {"every command: write UTF-8 to a pipe or a file; on Windows",
                               "they get the console's code page otherwise"});
  for (const auto& command : Commands()) {
    for (const auto& option : command.options) {
      std::string name(option.name);
      if (!option.value.empty()) name.append(" ").append(option.value);
      const std::string of = std::string(command.name) + ":";
      std::vector<std::string_view> lines{of};
      lines.insert(lines.end(), option.description.begin(), option.description.end());
      text += ListEntry(name, lines);
    }
  }
  text += "\n" + FilledParagraphs(kTargetText);
#ifndef _WIN32
  text += "\n" + FilledParagraphs(kAccessText);
#endif
  return text + "\n" + FilledParagraphs(kClosingText);
}

std::string CommandHelp(const Command& command) {
  std::string text = std::string("usage: ") + kProgram + " " + std::string(command.name);
  for (const auto& option : command.options) {
    text.append(" [").append(option.name);
    if (!option.value.empty()) text.append(" ").append(option.value);
    text.append("]");
  }
  if (!command.operand.empty()) text.append(" [--] ").append(command.operand);
  text += "\n\n";
  std::string words;
  for (const auto line : command.description) words.append(words.empty() ? "" : " ").append(line);
  text += Filled(words, 0);
  text += "\noptions:\n";
  for (const auto& option : command.options) {
    std::string name(option.name);
    if (!option.value.empty()) name.append(" ").append(option.value);
    text += ListEntry(name, option.description);
  }
  text += ListEntry("--json", {"print what the command found or did as one JSON",
                               "document (UTF-8; its fields: see docs/json.md)"});
  text += ListEntry("--utf8", {"write UTF-8 to a pipe or a file (on Windows they get",
                               "the console's code page otherwise)"});
  text += ListEntry("-h, --help", {"print this help"});
  if (!command.operand.empty()) {
    text += ListEntry("--", {"end the options: what follows is the TARGET"});
    text.append("\n").append(FilledParagraphs(kTargetText));
  }
  return text + "\n" + FilledParagraphs(kClosingText);
}

// What the command line asks for.
struct Invocation {
  enum class Request { kRun, kHelp, kVersion, kUsageError };
  Request request = Request::kUsageError;
  const Command* command = nullptr;  // none: the general help, the version or a usage error
  std::vector<std::string> operands;
  std::vector<std::string> options;  // the command's own options that were given
  std::vector<std::string> values;   // the value of each, empty for one that takes none
  std::string error;                 // what was wrong, for a usage error
  bool json = false;                 // --json: the command's document instead of its text
  bool utf8 = false;                 // --utf8: UTF-8 to a pipe or a file on Windows too

  bool Has(std::string_view option) const { return Value(option) != nullptr; }
  // Every value given with an option that repeats, in order.
  std::vector<std::string> Values(std::string_view option) const {
    std::vector<std::string> given;
    for (std::size_t i = 0; i < options.size(); ++i) {
      if (options[i] == option) given.push_back(values[i]);
    }
    return given;
  }
  // The value given with an option; nullptr when the option was not given.
  const std::string* Value(std::string_view option) const {
    for (std::size_t i = 0; i < options.size(); ++i) {
      if (options[i] == option) return &values[i];
    }
    return nullptr;
  }
};

// Reads the command line with CLI11: a command of the table (a subcommand), its options, --json,
// -h/--help and its operands ('--' ends the options). What CLI11 refuses is a usage error in its
// words; the operands are counted here, so that a missing or extra one is named.
Invocation ParseArguments(const std::vector<std::string>& args) {
  using Request = Invocation::Request;
  Invocation invocation;
  if (args.empty()) return invocation;
  if (args.size() == 1 && (args[0] == "--help" || args[0] == "-h" || args[0] == "help")) {
    invocation.request = Request::kHelp;
    return invocation;
  }
  if (args.size() == 1 && args[0] == "--version") {
    invocation.request = Request::kVersion;
    return invocation;
  }
  if (args[0] == "--help" || args[0] == "-h" || args[0] == "--version") {
    invocation.error = args[0] + " takes no arguments; a command's help is 'COMMAND --help'";
    return invocation;
  }
  const auto named = std::find_if(Commands().begin(), Commands().end(),
                                  [&](const Command& command) { return command.name == args[0]; });
  if (named == Commands().end()) {
    invocation.error =
        (args[0].starts_with('-') ? "unknown option '" : "unknown command '") + args[0] + "'";
    return invocation;
  }
  const Command& command = *named;
  invocation.command = &command;

  CLI::App app{"", kProgram};
  app.set_help_flag();
  app.require_subcommand(1);
  CLI::App* parsed = app.add_subcommand(std::string(command.name));
  parsed->set_help_flag("-h,--help");
  parsed->add_flag("--json", invocation.json);
  parsed->add_flag("--utf8", invocation.utf8);
  // Each option's value, in the order of the table; every value of one that repeats.
  std::vector<std::string> values(command.options.size());
  std::vector<std::vector<std::string>> repeated(command.options.size());
  std::vector<CLI::Option*> given;
  for (std::size_t i = 0; i < command.options.size(); ++i) {
    const Option& option = command.options[i];
    const std::string name(option.name);
    given.push_back(option.value.empty() ? parsed->add_flag(name)
                    : option.repeats     ? parsed->add_option(name, repeated[i])
                                           ->expected(1)
                                           ->allow_extra_args(false)
                                           ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll)
                                     : parsed->add_option(name, values[i])->expected(1));
  }
  parsed->add_option("operands", invocation.operands)
      ->expected(0, CLI::detail::expected_max_vector_size);
  // What follows '--' is operands alone; CLI11 reads the rest.
  const auto end = std::find(args.begin() + 1, args.end(), "--");
  try {
    // CLI11 takes the arguments last first.
    app.parse(std::vector<std::string>(std::make_reverse_iterator(end), args.rend()));
  } catch (const CLI::CallForHelp&) {
    invocation.request = Request::kHelp;
    return invocation;
  } catch (const CLI::ParseError& error) {
    invocation.error = error.what();
    return invocation;
  }
  if (end != args.end()) invocation.operands.insert(invocation.operands.end(), end + 1, args.end());
  for (std::size_t i = 0; i < given.size(); ++i) {
    if (given[i]->count() == 0) continue;
    if (!command.options[i].repeats) repeated[i] = {values[i]};
    // CLI11 took them last first.
    for (auto value = repeated[i].rbegin(); value != repeated[i].rend(); ++value) {
      invocation.options.emplace_back(command.options[i].name);
      invocation.values.push_back(*value);
    }
  }
  // An operand in brackets may be left out; one with dots may be given more than once.
  const bool more = command.operand.find("...") != std::string_view::npos;
  const std::size_t expected = command.operand.empty()
                                   ? 0
                                   : 1 + static_cast<std::size_t>(std::count(
                                             command.operand.begin(), command.operand.end(), ' '));
  const std::size_t optional =
      static_cast<std::size_t>(std::count(command.operand.begin(), command.operand.end(), '['));
  if (invocation.operands.size() + optional == expected) {
    invocation.request = Request::kRun;
  } else if (invocation.operands.size() + optional < expected) {
    invocation.error = std::string(command.name) + " needs a " + std::string(command.operand);
  } else if (invocation.operands.size() > expected && !more) {
    invocation.error = "too many arguments for " + std::string(command.name);
  } else {
    invocation.request = Request::kRun;
  }
  return invocation;
}

// Runs the command that the invocation names; its exit status.
int Run(const Invocation& invocation, const std::string& name) {
  if (name == "drives") return ListDrives();
  if (name == "journals" && invocation.operands.empty()) return ListJournals(nullptr);
  if (name == "quarantine" && invocation.operands.empty()) return ListQuarantines(nullptr);
  if (name == "pc-check" && invocation.operands.empty()) {
    return PcCheck(nullptr, invocation.Has("--all"));
  }
  if (name == "pc-clean" && invocation.operands.empty()) return PcClean(nullptr);
  if (name == "undo") {
    // A PC journal is undone without a drive; a drive's journal needs its drive.
    if (const auto undone =
            UndoPcJournal(invocation.operands.front(), invocation.operands.size() > 1)) {
      return *undone;
    }
    if (invocation.operands.size() < 2) {
      Error(std::string(kProgram) + ": " +
            texts::Format(texts::kPcUndoNeedsTarget, invocation.operands.front()) + "\n");
      return kUsage;
    }
  }
  const std::string& typed = invocation.operands.back();
  const auto target = TargetOf(typed);
  if (!target) {
    Error(std::string(kProgram) + ": " + texts::Format(texts::kUnusableTarget, typed) + "\n");
    return kUsage;
  }
  if (name == "analyze") return Analyze(*target);
  if (name == "scan") return Scan(*target);
  if (name == "journals") return ListJournals(&*target);
  if (name == "quarantine") return ListQuarantines(&*target);
  if (name == "pc-check") return PcCheck(&*target, invocation.Has("--all"));
  if (name == "pc-clean") return PcClean(&*target);
  // The same command with --unmount, as the refusal of a mounted drive offers it.
  WhenMounted mounted{invocation.Has("--unmount"), {}};
  std::vector<std::string> retry{kProgram, name, "--unmount"};
  if (const std::string* journal = invocation.Value("--journal")) {
    retry.insert(retry.end(), {"--journal", *journal});
  }
  if (name == "undo") retry.push_back(invocation.operands[0]);
  if (name == "restore") {
    retry.insert(retry.end(), invocation.operands.begin(), invocation.operands.end() - 1);
  }
  retry.push_back(CommandTarget(*target));
  mounted.retry = words::CommandLine(retry);
  if (name == "undo") return Undo(invocation.operands[0], *target, mounted);
  // An explicit --journal file is taken as it is; otherwise the pass names a new file in the
  // journal folder once it knows the volume.
  const std::string* journal = invocation.Value("--journal");
  repair::JournalPlace place{journal ? std::filesystem::path(*journal) : std::filesystem::path(),
                             repair::JournalFolder(),
                             std::string(name),
                             {}};
  if (name == "clean") return Clean(*target, mounted, std::move(place));
  if (name == "restore") {
    return Restore(invocation.operands.front(),
                   {invocation.operands.begin() + 1, invocation.operands.end() - 1}, *target,
                   mounted, std::move(place));
  }
  if (name == "fix") return Fix(*target, mounted, std::move(place), invocation.Values("--keep"));
  if (name == "move-back") {
    // A journal's name begins with its command's, in letters alone.
    place.what = "moveback";
    return MoveBack(*target, mounted, std::move(place));
  }
  return Repair(*target, mounted, std::move(place));
}

}  // namespace

int main(int argc, char** argv) {
  const Invocation invocation = ParseArguments({argv + 1, argv + argc});
  switch (invocation.request) {
    case Invocation::Request::kUsageError: {
      if (!invocation.error.empty()) Error(std::string(kProgram) + ": " + invocation.error + "\n");
      Error(GeneralHelp());
      return kUsage;
    }
    case Invocation::Request::kHelp:
    case Invocation::Request::kVersion: {
      std::string text =
          invocation.request == Invocation::Request::kVersion
              ? std::string(kProgram) + " " + KESTROVA_VERSION + "\n" + kLicenseNotice
          : invocation.command ? CommandHelp(*invocation.command)
                               : GeneralHelp();
      if (text.ends_with('\n')) text.pop_back();
      Output out;
      out.Line(text);
      return out.Finish() ? kDone : kNothingWritten;
    }
    case Invocation::Request::kRun:
      break;
  }
  const std::string name(invocation.command->name);
  if (invocation.json || invocation.utf8) WriteUtf8ToFiles();
  if (invocation.json) SetOutputFormat(OutputFormat::kJson, name);
  return FinishCommand(Run(invocation, name));
}
