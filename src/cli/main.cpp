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
#include "words/help_text.h"
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

using words::Filled;
using words::FilledParagraphs;
using words::ListEntry;

std::string ListEntry(const std::string& name, const texts::Text& description) {
  return words::ListEntry(name, texts::Tr(description));
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
