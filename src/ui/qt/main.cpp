// SPDX-License-Identifier: GPL-3.0-or-later
// kestrova: the main window on Linux. `--drive F=PATH` (repeatable) presents an image file or a
// block device as removable drive F; the machine's removable block devices take free letters.
#include <QApplication>
#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QStringList>

#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "ui/qt/main_window.h"
#include "volume/drives.h"
#include "words/help_text.h"
#include "words/texts.h"

namespace {

constexpr int kUsageError = 2;

// True when the command line asks for the help or the version: they are printed without a
// window, so without a display too.
bool AsksOnlyForText(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    const std::string_view argument = argv[i];
    if (argument == "--") return false;
    if (argument == "-h" || argument == "-?" || argument == "--help" || argument == "--help-all" ||
        argument == "-v" || argument == "--version") {
      return true;
    }
  }
  return false;
}

using namespace kestrova;

// The letters that --drive takes: "C..Z".
std::string LetterRange() {
  return std::string{volume::kFirstDriveLetter} + ".." + std::string{volume::kLastDriveLetter};
}

// The help, in the user's language and in the form of kestrova-cli's.
std::string HelpText() {
  std::string text =
      texts::Format(texts::kHelpUsage, "kestrova [--drive LETTER=PATH]... [--lang LANG]") + "\n" +
      texts::Format(texts::kHelpUsageOr, "kestrova --help | --version") + "\n\n" +
      words::FilledParagraphs(texts::Tr(texts::kHelpWindowSummary)) + "\n" +
      texts::Tr(texts::kHelpOptions) + "\n";
  text += words::ListEntry("--drive LETTER=PATH",
                           texts::Format(texts::kHelpWindowDrive, LetterRange()));
  text += words::ListEntry("--lang LANG", texts::Tr(texts::kHelpWindowLang));
  text += words::ListEntry("-h, --help", texts::Tr(texts::kHelpCommandHelp));
  text += words::ListEntry("-v, --version", texts::Tr(texts::kHelpVersion));
  return text;
}

int UsageError(const std::string& problem) {
  std::fprintf(stderr, "kestrova: %s\n\n%s", problem.c_str(), HelpText().c_str());
  return kUsageError;
}

// What the parser refused, in the user's language: an option it does not know, or one whose
// value is missing (it can only be the last argument).
std::string ParseProblem(const QCommandLineParser& parser, const QStringList& arguments) {
  if (!parser.unknownOptionNames().isEmpty()) {
    const QString name = parser.unknownOptionNames().first();
    return texts::Format(texts::kUsageUnknownOption,
                         (name.size() == 1 ? "-" : "--") + name.toStdString());
  }
  const std::string last = arguments.isEmpty() ? std::string() : arguments.last().toStdString();
  if (last == "--drive") return texts::Format(texts::kUsageMissingOperand, last, "LETTER=PATH");
  if (last == "--lang") return texts::Format(texts::kUsageMissingOperand, last, "LANG");
  return texts::Format(texts::kUsageUnknownOption, last);
}

// Registers every --drive LETTER=PATH. Returns the value that is not one, or nothing.
std::optional<QString> RegisterDrives(const QStringList& values) {
  for (const QString& value : values) {
    if (value.indexOf('=') != 1 || value.size() < 3 ||
        !volume::RegisterDrive(value[0].toLatin1(), value.mid(2).toStdString())) {
      return value;
    }
  }
  return std::nullopt;
}

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication::setApplicationName("kestrova");
  QCoreApplication::setApplicationVersion(KESTROVA_VERSION);
  const bool textOnly = AsksOnlyForText(argc, argv);
  const std::unique_ptr<QCoreApplication> application =
      textOnly ? std::make_unique<QCoreApplication>(argc, argv)
               : std::make_unique<QApplication>(argc, argv);

  // The language first: the help and the usage errors speak it too.
  const QStringList arguments = QCoreApplication::arguments();
  QCommandLineParser parser;
  const QCommandLineOption help(QStringList{"h", "help", "?"});
  const QCommandLineOption version(QStringList{"v", "version"});
  const QCommandLineOption drive("drive", QString(), "LETTER=PATH");
  const QCommandLineOption lang("lang", QString(), "LANG");
  parser.addOptions({help, version, drive, lang});
  const bool parsed = parser.parse(arguments);
  if (!parser.values(lang).isEmpty()) {
    const std::string name = parser.values(lang).last().toStdString();
    const auto language = texts::Language::Named(name);
    if (!language) return UsageError(texts::Format(texts::kUsageUnknownLanguage, name));
    texts::SetLanguage(*language);
  }
  if (parser.isSet(help)) {
    std::fputs(HelpText().c_str(), stdout);
    return 0;
  }
  if (parser.isSet(version)) parser.showVersion();
  if (!parsed) return UsageError(ParseProblem(parser, arguments));
  if (!parser.positionalArguments().isEmpty()) {
    return UsageError(texts::Format(texts::kUsageTooManyOperands, "kestrova"));
  }
  if (const auto bad = RegisterDrives(parser.values(drive))) {
    return UsageError(texts::Format(texts::kUsageBadDrive, LetterRange(), bad->toStdString()));
  }
  // A --help or --version that was the value of --drive: that value is no LETTER=PATH either.
  if (textOnly)
    return UsageError(texts::Format(texts::kUsageMissingOperand, "--drive", "LETTER=PATH"));
  // Arabic and Persian read from the right: the window and its dialogs are mirrored.
  if (texts::UserLanguage().RightToLeft()) {
    QGuiApplication::setLayoutDirection(Qt::RightToLeft);
  }

  QGuiApplication::setDesktopFileName(KESTROVA_APP_ID);
  kestrova::ui::qt::MainWindow window;
  window.CentreOnScreen();
  window.show();
  return QApplication::exec();
}
