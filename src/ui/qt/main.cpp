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
#include <string_view>

#include "ui/qt/main_window.h"
#include "volume/drives.h"
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

// The letters that --drive takes: "C to Z".
QString LetterRange(const char* between) {
  return QLatin1Char(kestrova::volume::kFirstDriveLetter) + QString(between) +
         QLatin1Char(kestrova::volume::kLastDriveLetter);
}

int UsageError(const QCommandLineParser& parser, const QString& problem) {
  std::fprintf(stderr, "kestrova: %s\n%s", qPrintable(problem), qPrintable(parser.helpText()));
  return kUsageError;
}

// Registers every --drive LETTER=PATH. Returns the value that is not one, or nothing.
std::optional<QString> RegisterDrives(const QStringList& values) {
  for (const QString& value : values) {
    if (value.indexOf('=') != 1 || value.size() < 3 ||
        !kestrova::volume::RegisterDrive(value[0].toLatin1(), value.mid(2).toStdString())) {
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

  QCommandLineParser parser;
  parser.setApplicationDescription(
      "Repairs the root folders and files of a FAT12, FAT16, FAT32 or exFAT drive that a virus "
      "made hidden and system, removes the virus's files beside them and moves back the files "
      "it moved away when asked, and saves a journal before each change that undoes it.");
  const QCommandLineOption help = parser.addHelpOption();
  const QCommandLineOption version = parser.addVersionOption();
  const QCommandLineOption drive(
      "drive",
      "Present an image file or a block device as removable drive LETTER (" + LetterRange(" to ") +
          "). Repeatable.",
      "LETTER=PATH");
  parser.addOption(drive);
  const QCommandLineOption lang(
      "lang", "Speak the language LANG (en, es, pt_BR, fr, ru, ar, fa, hi, bn, id, vi, tr or zh).",
      "LANG");
  parser.addOption(lang);
  const bool parsed = parser.parse(QCoreApplication::arguments());
  if (parser.isSet(help)) parser.showHelp(0);
  if (parser.isSet(version)) parser.showVersion();
  if (!parsed) return UsageError(parser, parser.errorText());
  if (!parser.positionalArguments().isEmpty()) {
    return UsageError(parser, "unknown argument: " + parser.positionalArguments().first());
  }
  if (const auto bad = RegisterDrives(parser.values(drive))) {
    return UsageError(
        parser, "expected --drive LETTER=PATH with a letter " + LetterRange("..") + ": " + *bad);
  }
  // A --help or --version that was the value of --drive: that value is no LETTER=PATH either.
  if (textOnly) return UsageError(parser, "expected --drive LETTER=PATH");
  if (parser.isSet(lang)) {
    const auto language = kestrova::texts::Language::Named(parser.value(lang).toStdString());
    if (!language) return UsageError(parser, "no language " + parser.value(lang));
    kestrova::texts::SetLanguage(*language);
  }
  // Arabic and Persian read from the right: the window and its dialogs are mirrored.
  if (kestrova::texts::UserLanguage().RightToLeft()) {
    QGuiApplication::setLayoutDirection(Qt::RightToLeft);
  }

  QGuiApplication::setDesktopFileName(KESTROVA_APP_ID);
  kestrova::ui::qt::MainWindow window;
  window.CentreOnScreen();
  window.show();
  return QApplication::exec();
}
