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
  const texts::Text* description;  // of the help
  std::string_view value = {};     // the name of the value that follows it, when it takes one
  bool repeats = false;            // it may be given more than once, each time with a value
};

// A command: its operand and what it does, in the list of every command and in the command's own
// help.
struct Command {
  std::string_view name;
  std::string_view operand;  // "TARGET", "JOURNAL TARGET", "[TARGET]" (may be left out), or none
  const texts::Text* description;
  std::vector<Option> options;
};

const std::vector<Command>& Commands() {
  const Option unmount{"--unmount", &texts::kHelpUnmountSee};
  const Option journal{"--journal", &texts::kHelpJournalSee, "FILE"};
  static const std::vector<Command> commands = {
      {"drives", "", &texts::kHelpDrives, {}},
      {"analyze", "TARGET", &texts::kHelpAnalyze, {}},
      {"scan", "TARGET", &texts::kHelpScan, {}},
      {"repair",
       "TARGET",
       &texts::kHelpRepair,
       {{"--unmount", &texts::kHelpUnmount}, {"--journal", &texts::kHelpJournal, "FILE"}}},
      {"clean", "TARGET", &texts::kHelpClean, {unmount, journal}},
      {"move-back", "TARGET", &texts::kHelpMoveBack, {unmount, journal}},
      {"fix",
       "TARGET",
       &texts::kHelpFix,
       {unmount, journal, {"--keep", &texts::kHelpKeep, "PATH", true}}},
      {"undo", "JOURNAL [TARGET]", &texts::kHelpUndo, {unmount}},
      {"quarantine", "[TARGET]", &texts::kHelpQuarantine, {}},
      {"restore", "QUARANTINE PATH... TARGET", &texts::kHelpRestore, {unmount, journal}},
      {"pc-check", "[TARGET]", &texts::kHelpPcCheck, {{"--all", &texts::kHelpPcAll}}},
      {"pc-clean", "[TARGET]", &texts::kHelpPcClean, {}},
      {"journals", "[TARGET]", &texts::kHelpJournals, {}},
  };
  return commands;
}

// The help's width: every line fits a terminal of 80 columns.
constexpr std::size_t kHelpWidth = 80;

// The columns that a character takes in a terminal: two for the wide characters of East Asian
// scripts, none for combining marks, format characters and the second half of a pair.
std::size_t Columns(char32_t c) {
  const auto in = [c](char32_t first, char32_t last) { return c >= first && c <= last; };
  if (in(0x0300, 0x036F) || in(0x0591, 0x05C7) || in(0x0610, 0x061A) || in(0x064B, 0x065F) ||
      c == 0x0670 || in(0x06D6, 0x06ED) ||
      // Devanagari's and Bengali's marks drawn over or under a letter; their vowel signs that
      // stand beside it (such as U+093E, U+09BE) take a column of their own.
      in(0x0900, 0x0902) || c == 0x093A || c == 0x093C || in(0x0941, 0x0948) || c == 0x094D ||
      in(0x0951, 0x0957) || in(0x0962, 0x0963) || c == 0x0981 || c == 0x09BC ||
      in(0x09C1, 0x09C4) || c == 0x09CD || in(0x09E2, 0x09E3) || c == 0x09FE ||
      in(0x200B, 0x200F) || in(0x202A, 0x202E) || in(0x2060, 0x206F) || c == 0xFEFF) {
    return 0;
  }
  if (in(0x1100, 0x115F) || in(0x2E80, 0xA4CF) || in(0xAC00, 0xD7A3) || in(0xF900, 0xFAFF) ||
      in(0xFE30, 0xFE4F) || in(0xFF00, 0xFF60) || in(0xFFE0, 0xFFE6) || in(0x20000, 0x3FFFD)) {
    return 2;
  }
  return 1;
}

// The UTF-8 character that begins at text[at], and its length in bytes.
std::pair<char32_t, std::size_t> CharacterAt(std::string_view text, std::size_t at) {
  const auto byte = static_cast<unsigned char>(text[at]);
  const std::size_t length = byte < 0x80 ? 1 : byte < 0xE0 ? 2 : byte < 0xF0 ? 3 : 4;
  if (at + length > text.size()) return {byte, 1};
  char32_t c = length == 1 ? byte : byte & (0x7F >> length);
  for (std::size_t i = 1; i < length; ++i)
    c = (c << 6) | (static_cast<unsigned char>(text[at + i]) & 0x3F);
  return {c, length};
}

// The words of a text and where a line may break: at spaces, and between the characters of
// scripts written without spaces (Chinese), each word with its columns.
struct Word {
  std::string text;
  std::size_t columns = 0;
  bool spaced = true;  // a space stands before it when it follows another word on a line
};

std::vector<Word> Words(std::string_view text) {
  std::vector<Word> words;
  bool space = true;       // a space stands before the next character
  bool afterWide = false;  // the last character was a wide one
  for (std::size_t at = 0; at < text.size();) {
    const auto [c, length] = CharacterAt(text, at);
    const std::string_view character = text.substr(at, length);
    at += length;
    if (c == ' ') {
      space = true;
      continue;
    }
    const std::size_t columns = Columns(c);
    if (words.empty() || space || columns == 2 || afterWide) {
      words.push_back({std::string(character), columns, space});
    } else {
      words.back().text.append(character);
      words.back().columns += columns;
    }
    space = false;
    afterWide = columns == 2;
  }
  return words;
}

// Words filled into lines of at most `width` columns, each line after the first beginning with
// `indent` spaces; the first line has `first` columns less room. Lines end in '\n'.
std::string Filled(std::string_view words, std::size_t indent, std::size_t first = 0,
                   std::size_t width = kHelpWidth) {
  std::string text;
  std::size_t column = first;
  bool lineStart = true;
  for (const Word& word : Words(words)) {
    const std::size_t space = !lineStart && word.spaced ? 1 : 0;
    if (!lineStart && column + space + word.columns > width) {
      text += '\n' + std::string(indent, ' ');
      column = indent;
      lineStart = true;
    }
    if (!lineStart && word.spaced) {
      text += ' ';
      ++column;
    }
    text += word.text;
    column += word.columns;
    lineStart = false;
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
std::string ListEntry(const std::string& name, std::string_view description) {
  constexpr std::size_t kColumn = 19;
  std::string entry = "  " + name;
  if (entry.size() >= kColumn)
    entry += '\n' + std::string(kColumn, ' ');
  else
    entry.append(kColumn - entry.size(), ' ');
  return entry + Filled(description, kColumn, kColumn);
}

std::string ListEntry(const std::string& name, const texts::Text& description) {
  return ListEntry(name, texts::Tr(description));
}

std::string Usage(const std::string& syntax) { return texts::Format(texts::kHelpUsage, syntax); }

std::string GeneralHelp() {
  const std::string program(kProgram);
  std::string text = Usage(program + " COMMAND [TARGET]") + "\n" +
                     texts::Format(texts::kHelpUsageOr, program + " COMMAND --help") + "\n" +
                     texts::Format(texts::kHelpUsageOr, program + " --help | --version") + "\n\n" +
                     FilledParagraphs(texts::Tr(texts::kHelpSummary)) + "\n" +
                     texts::Tr(texts::kHelpCommands) + "\n";
  for (const auto& command : Commands()) {
    std::string name(command.name);
    if (!command.operand.empty()) name.append(" ").append(command.operand);
    text += ListEntry(name, *command.description);
  }
  text += "\n" + std::string(texts::Tr(texts::kHelpOptions)) + "\n";
  text += ListEntry("-h, --help", texts::kHelpHelp);
  text += ListEntry("--version", texts::kHelpVersion);
  text += ListEntry("--", texts::kHelpEnd);
  text += "\n" + std::string(texts::Tr(texts::kHelpCommandsOptions)) + "\n";
  text += ListEntry("--json", texts::kHelpJson);
  text += ListEntry("--utf8", texts::kHelpUtf8);
  text += ListEntry("--lang LANG", texts::kHelpLang);
  for (const auto& command : Commands()) {
    for (const auto& option : command.options) {
      std::string name(option.name);
      if (!option.value.empty()) name.append(" ").append(option.value);
      text += ListEntry(name, std::string(command.name) + ": " + texts::Tr(*option.description));
    }
  }
  text += "\n" + FilledParagraphs(texts::Tr(texts::kHelpTarget));
#ifndef _WIN32
  text += "\n" + FilledParagraphs(texts::Tr(texts::kHelpAccess));
#endif
  return text + "\n" + FilledParagraphs(texts::Tr(texts::kHelpClosing));
}

std::string CommandHelp(const Command& command) {
  std::string syntax = std::string(kProgram) + " " + std::string(command.name);
  for (const auto& option : command.options) {
    syntax.append(" [").append(option.name);
    if (!option.value.empty()) syntax.append(" ").append(option.value);
    syntax.append("]");
  }
  if (!command.operand.empty()) syntax.append(" [--] ").append(command.operand);
  // A long syntax goes on under itself.
  std::string text = Filled(Usage(syntax), 7) + "\n";
  text += Filled(texts::Tr(*command.description), 0);
  text += "\n" + std::string(texts::Tr(texts::kHelpOptions)) + "\n";
  for (const auto& option : command.options) {
    std::string name(option.name);
    if (!option.value.empty()) name.append(" ").append(option.value);
    text += ListEntry(name, *option.description);
  }
  text += ListEntry("--json", texts::kHelpCommandJson);
  text += ListEntry("--utf8", texts::kHelpCommandUtf8);
  text += ListEntry("--lang LANG", texts::kHelpLang);
  text += ListEntry("-h, --help", texts::kHelpCommandHelp);
  if (!command.operand.empty()) {
    text += ListEntry("--", texts::kHelpCommandEnd);
    text.append("\n").append(FilledParagraphs(texts::Tr(texts::kHelpTarget)));
  }
  return text + "\n" + FilledParagraphs(texts::Tr(texts::kHelpClosing));
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
// Why CLI11 refused the options of `command` in [begin, end): one that takes a value given twice,
// or given last without its value.
std::optional<std::string> MismatchedOption(const Command& command,
                                            std::vector<std::string>::const_iterator begin,
                                            std::vector<std::string>::const_iterator end) {
  for (const Option& option : command.options) {
    if (option.value.empty()) continue;
    const auto given = [&](const std::string& arg) {
      return arg == option.name || arg.starts_with(std::string(option.name) + "=");
    };
    if (!option.repeats && std::count_if(begin, end, given) > 1) {
      return texts::Format(texts::kUsageOptionTwice, option.name);
    }
    if (begin != end && *(end - 1) == option.name) {
      return texts::Format(texts::kUsageMissingOperand, option.name, option.value);
    }
  }
  return std::nullopt;
}

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
    invocation.error = texts::Format(texts::kUsageNoArguments, args[0]);
    return invocation;
  }
  const auto named = std::find_if(Commands().begin(), Commands().end(),
                                  [&](const Command& command) { return command.name == args[0]; });
  if (named == Commands().end()) {
    invocation.error = texts::Format(
        args[0].starts_with('-') ? texts::kUsageUnknownOption : texts::kUsageUnknownCommand,
        args[0]);
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
  // What CLI11 does not know is told in the user's language below.
  parsed->allow_extras();
  // What follows '--' is operands alone; CLI11 reads the rest.
  const auto end = std::find(args.begin() + 1, args.end(), "--");
  try {
    // CLI11 takes the arguments last first.
    app.parse(std::vector<std::string>(std::make_reverse_iterator(end), args.rend()));
  } catch (const CLI::CallForHelp&) {
    invocation.request = Request::kHelp;
    return invocation;
  } catch (const CLI::ArgumentMismatch& error) {
    invocation.error = MismatchedOption(command, args.begin() + 1, end).value_or(error.what());
    return invocation;
  } catch (const CLI::ParseError& error) {
    invocation.error = error.what();
    return invocation;
  }
  // The first option typed that the command does not have.
  const std::vector<std::string> unknown = parsed->remaining();
  const auto first = std::find_first_of(args.begin() + 1, end, unknown.begin(), unknown.end());
  if (first != end) {
    invocation.error = texts::Format(texts::kUsageUnknownOption, *first);
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
    invocation.error = texts::Format(texts::kUsageMissingOperand, command.name, command.operand);
  } else if (invocation.operands.size() > expected && !more) {
    invocation.error = texts::Format(texts::kUsageTooManyOperands, command.name);
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

// Takes --lang LANG (or --lang=LANG) out of the arguments before '--' and speaks that language
// from then on; a language that the table lacks is a usage error, told in the user's language.
std::optional<std::string> TakeLanguage(std::vector<std::string>& args) {
  for (auto at = args.begin(); at != args.end() && *at != "--";) {
    std::optional<std::string> name;
    if (*at == "--lang" && at + 1 != args.end()) {
      name = *(at + 1);
      at = args.erase(at, at + 2);
    } else if (at->starts_with("--lang=")) {
      name = at->substr(7);
      at = args.erase(at);
    } else {
      ++at;
      continue;
    }
    const auto language = texts::Language::Named(*name);
    if (!language) return texts::Format(texts::kUsageUnknownLanguage, *name);
    texts::SetLanguage(*language);
  }
  return std::nullopt;
}

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  if (const auto error = TakeLanguage(args)) {
    Error(std::string(kProgram) + ": " + *error + "\n");
    return kUsage;
  }
  const Invocation invocation = ParseArguments(args);
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
  if (invocation.json) {
    // The document is the same in every language: its words too are English.
    texts::SetLanguage(texts::Language::kEnglish);
    SetOutputFormat(OutputFormat::kJson, name);
  }
  return FinishCommand(Run(invocation, name));
}
