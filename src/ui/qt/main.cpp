// kestrova: the main window on Linux. `--drive F=PATH` (repeatable) presents an image file or a
// block device as removable drive F; the machine's removable block devices take free letters.
#include <QApplication>
#include <QStringList>

#include <cstdio>

#include "ui/qt/main_window.h"
#include "volume/drives.h"

namespace {

constexpr int kUsageError = 2;
constexpr const char* kDriveOption = "--drive";

void PrintUsage() {
  std::fprintf(stderr,
               "usage: kestrova [--drive LETTER=PATH]...\n"
               "  --drive F=PATH  present an image file or block device as removable drive F\n");
}

// Registers every --drive LETTER=PATH (or --drive=LETTER=PATH). Returns false on a bad argument.
bool RegisterDrives(const QStringList& arguments) {
  for (qsizetype i = 1; i < arguments.size(); ++i) {
    QString value;
    const QString& argument = arguments[i];
    if (argument == kDriveOption && i + 1 < arguments.size()) {
      value = arguments[++i];
    } else if (argument.startsWith(QString(kDriveOption) + "=")) {
      value = argument.mid(qsizetype(std::char_traits<char>::length(kDriveOption)) + 1);
    } else {
      std::fprintf(stderr, "kestrova: unknown argument: %s\n", qPrintable(argument));
      return false;
    }
    const qsizetype equals = value.indexOf('=');
    if (equals != 1 || value.size() < 3 ||
        !kestrova::volume::RegisterDrive(value[0].toLatin1(), value.mid(2).toStdString())) {
      std::fprintf(stderr, "kestrova: expected --drive LETTER=PATH with a letter C..Z: %s\n",
                   qPrintable(value));
      return false;
    }
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  QApplication application(argc, argv);
  if (!RegisterDrives(QApplication::arguments())) {
    PrintUsage();
    return kUsageError;
  }
  kestrova::ui::qt::MainWindow window;
  window.CentreOnScreen();
  window.show();
  return QApplication::exec();
}
