// SPDX-License-Identifier: GPL-3.0-or-later
// The Qt main window, offscreen at 96 dots per inch: where every control stands, how it looks,
// the state after load, the keyboard order, and repairs of real FAT32 images through the window.
#include <sys/file.h>
#include <unistd.h>
#include <QAbstractButton>
#include <QApplication>
#include <QDialog>
#include <QGroupBox>
#include <QLabel>
#include <QListWidget>
#include <QMessageBox>
#include <QPushButton>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QScrollBar>
#include <QTimer>
#include <QTreeWidget>
#include <QtTest>

#include <fcntl.h>

#include <filesystem>
#include <functional>
#include <memory>
#include <set>
#include <utility>

#include "exfat_tools.h"
#include "fat32_volume.h"
#include "fat_tools.h"
#include "repair/journal.h"
#include "sample_stick.h"
#include "ui/form1.h"
#include "ui/layout.h"
#include "ui/qt/main_window.h"
#include "ui/qt/removal_dialog.h"
#include "ui/qt/widgets.h"
#include "volume/drive_watch.h"
#include "volume/drives.h"
#include "words/texts.h"

using kestrova::testing::DifferingOffsets;
using kestrova::testing::MakeFat32Image;
using kestrova::testing::MattribFlags;
using kestrova::testing::Mtools;
using kestrova::testing::ReadAt;
using kestrova::testing::ReadBytes;
using kestrova::testing::Run;
using kestrova::testing::TempDir;
using kestrova::ui::qt::MainWindow;

namespace {

constexpr std::uint64_t kImageKiB = 64 * 1024;
const QStringList kHiddenFolders = {"DOCS", "照片", "My Music"};

struct ShownMessage {
  QString text;
  QString title;
  QMessageBox::Icon icon = QMessageBox::NoIcon;
  QStringList buttons;
  QString defaultButton;
};

// Presses a key where the dialog's focus is, as the user does.
void Press(QDialog& dialog, Qt::Key key) {
  QTest::keyClick(dialog.focusWidget() ? dialog.focusWidget() : &dialog, key);
}

// Closes every message box that the window opens, recording what it showed, and answers the
// removal dialog as the test says.
class MessageCatcher {
 public:
  MessageCatcher() {
    QObject::connect(&timer_, &QTimer::timeout, [this] {
      QWidget* modal = QApplication::activeModalWidget();
      auto* box = qobject_cast<QMessageBox*>(modal);
      if (!box) {
        if (auto* dialog = qobject_cast<QDialog*>(modal)) answerRemoval(*dialog);
        return;
      }
      QStringList buttons;
      QAbstractButton* undo = nullptr;
      for (QAbstractButton* button : box->buttons()) {
        buttons << button->text();
        if (box->buttonRole(button) == QMessageBox::ActionRole) undo = button;
      }
      QPushButton* preset = box->defaultButton();
      shown_.push_back(
          {box->text(), box->windowTitle(), box->icon(), buttons, preset ? preset->text() : ""});
      // A report's change is undone when the test says so; otherwise the box is answered as
      // Enter would.
      if (undo && std::exchange(undoNext, false)) {
        undo->click();
      } else if (preset) {
        preset->click();
      } else {
        box->accept();
      }
    });
    timer_.start(10);
  }
  const QList<ShownMessage>& Shown() const { return shown_; }
  bool undoNext = false;  // for the next report that offers to undo its change
  std::function<void(QDialog&)> answerRemoval = [](QDialog& dialog) {
    Press(dialog, Qt::Key_Return);
  };

 private:
  QTimer timer_;
  QList<ShownMessage> shown_;
};

// A watch that the test makes readable by hand: one byte for each change it tells of.
class PipeWatch final : public kestrova::volume::DriveWatch {
 public:
  PipeWatch() {
    if (::pipe2(fds_, O_CLOEXEC | O_NONBLOCK) != 0) fds_[0] = fds_[1] = -1;
  }
  ~PipeWatch() override {
    for (const int fd : fds_) {
      if (fd >= 0) ::close(fd);
    }
  }
  PipeWatch(const PipeWatch&) = delete;
  PipeWatch& operator=(const PipeWatch&) = delete;
  int Fd() const override { return fds_[0]; }
  bool Changed() override {
    char byte = 0;
    bool any = false;
    while (::read(fds_[0], &byte, 1) == 1) any = true;
    return any;
  }
  bool Tell() { return ::write(fds_[1], "!", 1) == 1; }

 private:
  int fds_[2] = {-1, -1};
};

}  // namespace

class WindowTest : public QObject {
  Q_OBJECT

 private:
  template <typename T = QWidget>
  T* Control(MainWindow& window, const char* name) {
    T* control = window.findChild<T*>(name);
    if (!control) qWarning("no control %s", name);
    return control;
  }

  // Makes a FAT32 image whose root folders the virus has hidden.
  void MakeInfectedImage(const std::filesystem::path& image) {
    QVERIFY(MakeFat32Image(image, kImageKiB));
    for (const QString& folder : kHiddenFolders) {
      const std::string path = "::/" + folder.toStdString();
      QCOMPARE(Mtools("mmd", image, kestrova::testing::Quote(path)).status, 0);
      QCOMPARE(Mtools("mattrib", image, "+h +s " + kestrova::testing::Quote(path)).status, 0);
    }
    // A dotted name and the archive bit, as `attrib +h +s` leaves many folders.
    QCOMPARE(Mtools("mmd", image, "::/Music.2020").status, 0);
    QCOMPARE(Mtools("mattrib", image, "+a +h +s ::/Music.2020").status, 0);
    QCOMPARE(Mtools("mcopy", image, "/etc/hostname ::/NOTE.TXT").status, 0);
  }

  // Makes a FAT12 image whose hidden folder has the virus's files beside it: autorun.inf, the
  // program that it runs, and a program posing as the folder.
  void MakeImageWithLeftovers(const std::filesystem::path& image) {
    QVERIFY(kestrova::testing::MakeFatImage(image, 8 * 1024, "-F 12"));
    QCOMPARE(Mtools("mmd", image, "::/HIDDEN ::/WORK").status, 0);
    QCOMPARE(Mtools("mattrib", image, "+h +s ::/HIDDEN ::/WORK").status, 0);
    const std::string autorun = "[autorun]\r\nopen=x.exe\r\n";
    const std::string program = "MZ";
    const std::string copy = "MZ the worm's copy";
    for (const auto& [path, bytes, attributes] :
         {std::tuple{"/autorun.inf", autorun, "+h +s"}, std::tuple{"/X.EXE", program, "+h +s"},
          std::tuple{"/HIDDEN.EXE", copy, ""}, std::tuple{"/WORK.EXE", copy, ""}}) {
      QVERIFY(kestrova::testing::PutFile(image, {path, {bytes.begin(), bytes.end()}}, attributes));
    }
  }

  // Selects the list entry with this text by clicking it, as the user does.
  void ClickEntry(MainWindow& window, const QString& letter) {
    auto* list = Control<QListWidget>(window, "List1");
    const auto found = list->findItems(letter + ":", Qt::MatchStartsWith);
    QCOMPARE(found.size(), 1);
    list->scrollToItem(found.first());
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {},
                      list->visualItemRect(found.first()).center());
  }

  TempDir dir_;
  std::filesystem::path infected_ = dir_ / "infected.img";
  std::filesystem::path blank_ = dir_ / "blank.img";
  std::filesystem::path held_ = dir_ / "held.img";

 private slots:
  void initTestCase() {
    MakeInfectedImage(infected_);
    MakeInfectedImage(held_);
    QCOMPARE(Run("truncate -s 8M " + kestrova::testing::Quote(blank_.string())).status, 0);
    QVERIFY(kestrova::volume::RegisterDrive('F', infected_.string()));
    QVERIFY(kestrova::volume::RegisterDrive('G', blank_.string()));
    QVERIFY(kestrova::volume::RegisterDrive('h', held_.string()));
  }

  void everyControlStandsAtItsPlace() {
    MainWindow window;
    QCOMPARE(window.Scale(), 1.0);
    struct Expected {
      const char* name;
      QRect client;
    };
    // Positions in the client area and sizes, in pixels at 96 dots per inch.
    const Expected table[] = {
        {"Label1", {24, 16, 345, 65}},     {"Frame1", {24, 96, 169, 161}},
        {"List1", {40, 136, 137, 103}},    {"Command2", {144, 120, 33, 17}},
        {"Label2", {40, 120, 89, 17}},     {"Frame2", {200, 96, 169, 161}},
        {"Picture1", {224, 120, 121, 89}}, {"Command1", {226, 122, 117, 85}},
        {"Picture2", {224, 216, 121, 25}}, {"Picture3", {24, 272, 94, 24}},
    };
    for (const auto& [name, client] : table) {
      QWidget* control = Control(window, name);
      QVERIFY2(control, name);
      const QRect actual(control->mapTo(&window, QPoint(0, 0)), control->size());
      const bool close = qAbs(actual.left() - client.left()) <= 1 &&
                         qAbs(actual.top() - client.top()) <= 1 &&
                         qAbs(actual.width() - client.width()) <= 1 &&
                         qAbs(actual.height() - client.height()) <= 1;
      QVERIFY2(close, qPrintable(QStringLiteral("%1 at %2,%3 %4x%5")
                                     .arg(name)
                                     .arg(actual.left())
                                     .arg(actual.top())
                                     .arg(actual.width())
                                     .arg(actual.height())));
    }
    // The bar lies at the track's top-left, the track's full inner height.
    QWidget* progress = Control(window, "Progress");
    QCOMPARE(progress->mapTo(&window, QPoint(0, 0)), QPoint(226, 218));
    QCOMPARE(progress->height(), 21);
    // The contact line ends 369 px from the left, its top at 276.7.
    auto* label3 = Control<QLabel>(window, "Label3");
    const QRect mail(label3->mapTo(&window, QPoint(0, 0)), label3->size());
    QCOMPARE(mail.right() + 1, 369);
    QVERIFY(qAbs(mail.top() - 276.7) <= 1.0);
    QCOMPARE(mail.height(), 17);
    QVERIFY(mail.left() <= 152);
    QVERIFY(mail.left() >= 118);  // never over the banner

    // The controls are created in their table's order.
    QStringList order;
    for (QObject* child : window.children()) {
      if (child->isWidgetType()) order << child->objectName();
    }
    QCOMPARE(order, QStringList({"Picture3", "Frame2", "Frame1", "Label3", "Label1"}));
    QStringList inFrame2;
    for (QObject* child : Control(window, "Frame2")->children()) {
      if (child->isWidgetType()) inFrame2 << child->objectName();
    }
    QCOMPARE(inFrame2, QStringList({"Picture2", "Picture1"}));
  }

  void windowIsFixedWithACloseBoxOnly() {
    MainWindow window;
    QCOMPARE(window.windowTitle(), QString("Kestrova by Varkel V1.1 2009.03.30"));
    QCOMPARE(window.size(), QSize(391, 310));
    QCOMPARE(window.minimumSize(), QSize(391, 310));
    QCOMPARE(window.maximumSize(), QSize(391, 310));
    const Qt::WindowFlags flags = window.windowFlags();
    QVERIFY(flags.testFlag(Qt::WindowCloseButtonHint));
    QVERIFY(flags.testFlag(Qt::CustomizeWindowHint));
    QVERIFY(!flags.testFlag(Qt::WindowMinimizeButtonHint));
    QVERIFY(!flags.testFlag(Qt::WindowMaximizeButtonHint));
    QVERIFY(!window.windowIcon().isNull());

    window.CentreOnScreen();
    const QRect screen = window.screen()->availableGeometry();
    QVERIFY(qAbs(window.geometry().center().x() - screen.center().x()) <= 1);
    QVERIFY(qAbs(window.geometry().center().y() - screen.center().y()) <= 1);
  }

  void textsFontsAndColours() {
    MainWindow window;
    QCOMPARE(Control<QGroupBox>(window, "Frame1")->title(), QString(" 第一步>> "));
    QCOMPARE(Control<QGroupBox>(window, "Frame2")->title(), QString(" 第二步>> "));
    QCOMPARE(Control<QLabel>(window, "Label2")->text(), QString("请选择盘符："));
    QCOMPARE(Control<QLabel>(window, "Command2")->text(), QString("刷新"));
    QCOMPARE(Control<QAbstractButton>(window, "Command1")->text(), QString("修复"));
    QCOMPARE(Control<QLabel>(window, "Label3")->text(),
             QString("作者信箱：") + kestrova::ui::kAuthorMail);

    // The description: 51 characters on exactly three lines of 17, all within the label.
    auto* label1 = Control<kestrova::ui::qt::WrappedLabel>(window, "Label1");
    QVERIFY(label1);
    QCOMPARE(label1->text().size(), 51);
    const QStringList lines = label1->Lines();
    QCOMPARE(lines.size(), 3);
    for (const QString& line : lines) QCOMPARE(line.size(), 17);
    QCOMPARE(lines.join(QString()), label1->text());
    QVERIFY(label1->LineStep() * 3 <= label1->height());
    QVERIFY(label1->LineStep() >= label1->font().pixelSize());

    struct FontCase {
      const char* name;
      int pixels;
      bool bold;
      bool underline;
    };
    const FontCase fonts[] = {{"Label1", 20, false, false},  {"List1", 32, false, false},
                              {"Command2", 12, false, true}, {"Command1", 29, false, false},
                              {"Label3", 16, true, false},   {"Label2", 12, false, false},
                              {"Frame1", 12, false, false}};
    for (const auto& [name, pixels, bold, underline] : fonts) {
      const QFont font = Control(window, name)->font();
      QVERIFY2(font.pixelSize() == pixels, name);
      QVERIFY2(font.bold() == bold, name);
      QVERIFY2(font.underline() == underline, name);
      // A face that draws Chinese: the named one, or the stand-in of the same size.
      QVERIFY2(QFontMetrics(font).inFont(QChar(0x4FEE)), name);
    }

    const QColor blue(0, 0, 255);
    QCOMPARE(Control(window, "Command2")->palette().color(QPalette::WindowText), blue);
    QCOMPARE(Control(window, "Label3")->palette().color(QPalette::WindowText), blue);
    QCOMPARE(QFontMetrics(Control(window, "Label3")->font())
                     .horizontalAdvance(Control<QLabel>(window, "Label3")->text()) <=
                 Control(window, "Label3")->width(),
             true);

    // The hand over Command1, Command2 and Picture3 only, hot spot at 7,0.
    for (const char* name : {"Command1", "Command2", "Picture3"}) {
      const QCursor cursor = Control(window, name)->cursor();
      QVERIFY2(cursor.shape() == Qt::BitmapCursor, name);
      QCOMPARE(cursor.hotSpot(), QPoint(7, 0));
    }
    for (const char* name : {"Label2", "List1", "Label1", "Frame1", "Picture1"}) {
      QVERIFY2(!Control(window, name)->testAttribute(Qt::WA_SetCursor), name);
    }
  }

  void repairPictureIsMaskedAndGreyedWhenDisabled() {
    MainWindow window;
    auto* command1 = Control<kestrova::ui::qt::PictureButton>(window, "Command1");
    QVERIFY(command1);
    QCOMPARE(command1->Picture().size(), QSize(130, 44));
    // Pure white pixels are masked out; the folder is drawn.
    const QImage picture = command1->Picture().toImage();
    QCOMPARE(qAlpha(picture.pixel(0, 0)), 0);
    const QImage original(":/assets/repair.bmp");
    int drawn = 0;
    for (int y = 0; y < original.height(); ++y) {
      for (int x = 0; x < original.width(); ++x) {
        const bool white = original.pixel(x, y) == qRgb(255, 255, 255);
        QVERIFY(white == (qAlpha(picture.pixel(x, y)) == 0));
        drawn += white ? 0 : 1;
      }
    }
    QVERIFY(drawn > 0);

    // Disabled: nothing of the button is drawn in a saturated colour.
    QVERIFY(!command1->isEnabled());
    const QImage disabled = command1->grab().toImage();
    command1->setEnabled(true);
    const QImage enabled = command1->grab().toImage();
    auto colourful = [](const QImage& image) {
      int count = 0;
      for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
          if (QColor(image.pixel(x, y)).hsvSaturation() > 80) ++count;
        }
      }
      return count;
    };
    QCOMPARE(colourful(disabled), 0);
    QVERIFY(colourful(enabled) > 0);
  }

  void progressWidthIsAShareOfTheTrack() {
    MainWindow window;
    QWidget* progress = Control(window, "Progress");
    struct Case {
      float percent;
      int pixels;
    };
    const Case cases[] = {{0.0f, 0}, {100.0f, 117}, {25.0f, 29}, {150.0f, 117}, {-3.0f, 0}};
    for (const auto& [percent, pixels] : cases) {
      window.SetProgressWidth(percent);
      QCOMPARE(progress->width(), pixels);
    }
    window.SetProgressWidth(50.0f);
    QVERIFY(progress->width() == 58 || progress->width() == 59);
    QVERIFY(progress->geometry().right() < Control(window, "Picture2")->contentsRect().right() + 1);
  }

  void initialStateAndKeyboardOrder() {
    MainWindow window;
    auto* list = Control<QListWidget>(window, "List1");
    auto* command1 = Control<QAbstractButton>(window, "Command1");
    QWidget* progress = Control(window, "Progress");
    QVERIFY(!progress->isVisibleTo(&window));
    QCOMPARE(progress->width(), 0);
    QVERIFY(!command1->isEnabled());
    QStringList letters;
    // Each entry begins with its letter; what follows is as much of the drive as fits.
    for (int i = 0; i < list->count(); ++i) letters << list->item(i)->text().left(2);
    const qsizetype f = letters.indexOf("F:");
    QVERIFY(f >= 0);
    QCOMPARE(letters.mid(f, 3), QStringList({"F:", "G:", "H:"}));
    QVERIFY(list->selectedItems().isEmpty());
    // The never-shown command cannot be seen or reached.
    const QWidget* hidden = window.findChild<QWidget*>("cmdrepair");
    QVERIFY(!hidden || (!hidden->isVisibleTo(&window) && hidden->focusPolicy() == Qt::NoFocus));

    window.show();
    QVERIFY(QTest::qWaitForWindowActive(&window));
    QCOMPARE(QApplication::focusWidget(), list);
    QWidget* command2 = Control(window, "Command2");
    QWidget* picture3 = Control(window, "Picture3");
    const auto tabs = [](int count) {
      QList<QWidget*> visited;
      for (int i = 0; i < count; ++i) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        visited << QApplication::focusWidget();
      }
      return visited;
    };
    // With Repair disabled, Tab goes from the list to Refresh and the banner's link.
    QCOMPARE(tabs(3), QList<QWidget*>({command2, picture3, list}));

    MessageCatcher catcher;
    ClickEntry(window, "F");
    QVERIFY(catcher.Shown().isEmpty());
    QVERIFY(command1->isEnabled());
    QCOMPARE(tabs(5), QList<QWidget*>({command2, command1, picture3, list, command2}));
  }

  // Enter or Space on Refresh and F5 refresh the list as a click on Refresh does, greying Repair;
  // Enter on Repair repairs, and the focus comes back to it.
  void keyboardRefreshesAndRepairs() {
    const std::filesystem::path image = dir_ / "keys.img";
    MakeInfectedImage(image);
    QVERIFY(kestrova::volume::RegisterDrive('K', image.string()));
    MainWindow window;
    window.show();
    QVERIFY(QTest::qWaitForWindowActive(&window));
    MessageCatcher catcher;
    auto* list = Control<QListWidget>(window, "List1");
    auto* command1 = Control<QAbstractButton>(window, "Command1");
    QWidget* command2 = Control(window, "Command2");
    for (const auto& [focus, key] : {std::pair<QWidget*, Qt::Key>{command2, Qt::Key_Return},
                                     {command2, Qt::Key_Space},
                                     {list, Qt::Key_F5}}) {
      ClickEntry(window, "K");
      QVERIFY(command1->isEnabled());
      focus->setFocus();
      QTest::keyClick(focus, key);
      QVERIFY(!command1->isEnabled() && list->selectedItems().isEmpty());
    }
    ClickEntry(window, "K");
    command1->setFocus();
    QTest::keyClick(command1, Qt::Key_Enter);
    QCOMPARE(catcher.Shown().size(), 1);
    QCOMPARE(catcher.Shown()[0].title, QString("by Varkel"));
    QCOMPARE(window.focusWidget(), command1);
    QCOMPARE(QString::fromStdString(MattribFlags(image, "/DOCS")), QString());
  }

  void repairThroughTheWindow() {
    const std::filesystem::path before = dir_ / "before.img";
    QCOMPARE(Run("cp --sparse=always " + kestrova::testing::Quote(infected_.string()) + " " +
                 kestrova::testing::Quote(before.string()))
                 .status,
             0);
    MainWindow window;
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    MessageCatcher catcher;
    ClickEntry(window, "F");
    auto* command1 = Control<QAbstractButton>(window, "Command1");
    QVERIFY(catcher.Shown().isEmpty());
    QVERIFY(command1->isEnabled());

    QTest::mouseClick(command1, Qt::LeftButton);
    QCOMPARE(catcher.Shown().size(), 1);
    const ShownMessage report = catcher.Shown().first();
    QCOMPARE(report.title, QString("by Varkel"));
    QCOMPARE(report.icon, QMessageBox::Information);
    const QRegularExpression completion(QString(
        "^程序运行结束，文件夹已恢复正常属性。\r\n耗时\\d+\\.\\d{2}s\r\n共恢复\\d+个文件夹。"
        "\r\n\r\n修改前的内容已保存到：.+$"));
    QVERIFY2(completion.match(report.text).hasMatch(), qPrintable(report.text));
    QVERIFY(Control(window, "Progress")->isVisibleTo(&window));
    QCOMPARE(window.ProgressPercent(), 100.0f);
    QCOMPARE(Control(window, "Progress")->width(), 117);
    QVERIFY(command1->isEnabled());

    // Every folder is plain again; the file keeps its attributes.
    for (const QString& folder : kHiddenFolders) {
      QCOMPARE(QString::fromStdString(MattribFlags(infected_, "/" + folder.toStdString())),
               QString());
    }
    QCOMPARE(QString::fromStdString(MattribFlags(infected_, "/Music.2020")), QString("A"));
    QCOMPARE(QString::fromStdString(MattribFlags(infected_, "/NOTE.TXT")), QString("A"));
    // Exactly one byte per folder changed: its attribute, which lost hidden and system.
    const auto changed = DifferingOffsets(before, infected_);
    QCOMPARE(changed.size(), static_cast<std::size_t>(kHiddenFolders.size() + 1));
    for (const auto offset : changed) {
      const std::uint8_t was = ReadAt(before, offset, 1).at(0);
      QVERIFY(was == 0x16 || was == 0x36);
      QCOMPARE(ReadAt(infected_, offset, 1).at(0), static_cast<std::uint8_t>(was & ~0x06));
    }
    QCOMPARE(Run("fsck.fat -n " + kestrova::testing::Quote(infected_.string())).status, 0);

    // Refresh: rebuilt list, nothing selected, Repair disabled, bar hidden.
    QWidget* command2 = Control(window, "Command2");
    QTest::mouseClick(command2, Qt::LeftButton);
    QVERIFY(Control<QListWidget>(window, "List1")->selectedItems().isEmpty());
    QVERIFY(!command1->isEnabled());
    QVERIFY(!Control(window, "Progress")->isVisibleTo(&window));
    QCOMPARE(catcher.Shown().size(), 1);
  }

  void refusedVolumesShowTheirMessages() {
    MainWindow window;
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    auto* command1 = Control<QAbstractButton>(window, "Command1");
    const auto blankBefore = kestrova::testing::ReadBytes(blank_);
    {
      MessageCatcher catcher;
      ClickEntry(window, "G");
      QCOMPARE(catcher.Shown().size(), 1);
      QCOMPARE(catcher.Shown()[0].text,
               QString("此版本的程序仅支持FAT12、FAT16、FAT32和exFAT文件系统！"));
      QCOMPARE(catcher.Shown()[0].title, QString("错误"));
      QCOMPARE(catcher.Shown()[0].icon, QMessageBox::Critical);
      QCOMPARE(catcher.Shown()[0].buttons, QStringList({"确定"}));
      QVERIFY(!command1->isEnabled());
    }
    QVERIFY(kestrova::testing::ReadBytes(blank_) == blankBefore);

    // Another program holds drive H.
    const int holder = ::open(held_.c_str(), O_RDWR | O_CLOEXEC);
    QVERIFY(holder >= 0);
    QCOMPARE(::flock(holder, LOCK_EX | LOCK_NB), 0);
    {
      MessageCatcher catcher;
      ClickEntry(window, "H");
      QCOMPARE(catcher.Shown().size(), 1);
      QCOMPARE(catcher.Shown()[0].text,
               QString("获取磁盘参数错误！请检查是否有其他程序占用磁盘。"));
      QCOMPARE(catcher.Shown()[0].title, QString("出错啦~~"));
      QCOMPARE(catcher.Shown()[0].icon, QMessageBox::Critical);
      QVERIFY(!command1->isEnabled());
    }
    ::close(holder);
    // Released, the same drive analyses.
    {
      MessageCatcher catcher;
      Control<QListWidget>(window, "List1")->clearSelection();
      ClickEntry(window, "H");
      QVERIFY(catcher.Shown().isEmpty());
      QVERIFY(command1->isEnabled());
    }
  }

  // Under an English locale the captions, the messages and their buttons are English, and the
  // longer texts still fit their controls.
  void englishLocaleGivesEnglishTexts() {
    namespace texts = kestrova::texts;
    const QByteArray locale = qgetenv("LC_ALL");
    qputenv("LC_ALL", "en_US.UTF-8");
    auto restore = qScopeGuard([&] { qputenv("LC_ALL", locale); });
    MainWindow window;
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    QCOMPARE(Control<QGroupBox>(window, "Frame1")->title(), QString(texts::kStepOne.english));
    QCOMPARE(Control<QGroupBox>(window, "Frame2")->title(), QString(texts::kStepTwo.english));
    QCOMPARE(Control<QLabel>(window, "Label2")->text(), QString(texts::kChooseDrive.english));
    QCOMPARE(Control<QAbstractButton>(window, "Command1")->text(), QString(texts::kRepair.english));
    QCOMPARE(Control<QLabel>(window, "Label3")->text(),
             QString(texts::kMailPrefix.english) + kestrova::ui::kAuthorMail);
    auto* label1 = Control<kestrova::ui::qt::WrappedLabel>(window, "Label1");
    QCOMPARE(label1->text(), QString(texts::kDescription.english));
    QVERIFY2(label1->Lines().size() <= 3, qPrintable(label1->Lines().join('|')));
    for (const char* name : {"Command2", "Label2", "Label3"}) {
      auto* label = Control<QLabel>(window, name);
      QVERIFY2(QFontMetrics(label->font()).horizontalAdvance(label->text()) <= label->width(),
               name);
    }
    QCOMPARE(Control<QLabel>(window, "Command2")->text(), QString(texts::kRefresh.english));

    MessageCatcher catcher;
    ClickEntry(window, "G");
    QCOMPARE(catcher.Shown().size(), 1);
    QCOMPARE(catcher.Shown()[0].text, QString(texts::kUnsupportedFileSystem.english));
    QCOMPARE(catcher.Shown()[0].title, QString(texts::kErrorTitle.english));
    QCOMPARE(catcher.Shown()[0].buttons, QStringList({"OK"}));
  }

  // Every text of the fixed layout fits its control in every language of the table, at the
  // resolution of the run (the tests QtWindow.fits.96, .144 and .192 run this alone at each): the
  // frames' captions, the label and the link beside it, the button's caption, the contact line
  // right of the banner, and the description in its three lines.
  void everyLanguageFitsTheFixedLayout() {
    namespace texts = kestrova::texts;
    auto restore = qScopeGuard([] { texts::SetLanguage(std::nullopt); });
    for (std::size_t i = 0; i < texts::Language::Count(); ++i) {
      const texts::Language language = texts::Language::At(i);
      texts::SetLanguage(language);
      MainWindow window;
      const QString where = QString("%1 at %2 dpi: ")
                                .arg(QString::fromUtf8(language.Code().data(),
                                                       static_cast<int>(language.Code().size())))
                                .arg(window.logicalDpiX());
      const auto advance = [](const QWidget* control, const QString& text) {
        return QFontMetrics(control->font()).horizontalAdvance(text);
      };
      const auto left = [&](const QWidget* control) {
        return control->mapTo(&window, QPoint()).x();
      };
      for (const char* name : {"Frame1", "Frame2"}) {
        auto* frame = Control<QGroupBox>(window, name);
        QVERIFY2(advance(frame, frame->title()) + 2 * qRound(8 * window.Scale()) <= frame->width(),
                 qPrintable(where + name));
      }
      auto* label2 = Control<QLabel>(window, "Label2");
      auto* command2 = Control<QLabel>(window, "Command2");
      QVERIFY2(advance(label2, label2->text()) <= label2->width(), qPrintable(where + "Label2"));
      QVERIFY2(advance(command2, command2->text()) <= command2->width(),
               qPrintable(where + "Command2"));
      QVERIFY2(left(label2) + advance(label2, label2->text()) <= left(command2),
               qPrintable(where + "Command2 over Label2"));
      auto* command1 = Control<QAbstractButton>(window, "Command1");
      QVERIFY2(advance(command1, command1->text()) <= command1->width(),
               qPrintable(where + "Command1"));
      auto* label3 = Control<QLabel>(window, "Label3");
      auto* picture3 = Control(window, "Picture3");
      QVERIFY2(left(label3) >= left(picture3) + picture3->width(),
               qPrintable(where + "Label3 over the banner"));
      auto* label1 = Control<kestrova::ui::qt::WrappedLabel>(window, "Label1");
      QVERIFY2(label1->Lines().size() <= kestrova::ui::kLabel1Lines,
               qPrintable(where + label1->Lines().join('|')));
    }
  }

  // A close asked for in the middle of a pass, queued from inside its first read, is taken after
  // the pass: the pass completes, meanwhile the caption says that the window will close, and the
  // window closes once the pass's report has been read.
  void closeDuringAPassComesAfterIt() {
    MainWindow window;
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    MessageCatcher catcher;
    ClickEntry(window, "H");
    auto* command1 = Control<QAbstractButton>(window, "Command1");
    QVERIFY(command1->isEnabled());

    kestrova::testing::LoggingOpener log(kestrova::volume::PlatformDeviceOpener());
    kestrova::testing::ScopedBackend logged(log);
    // The close is posted at the first transfer and must be answered at the next one.
    window.SetEventPace(std::chrono::milliseconds::zero());
    QStringList captions;  // at each transfer
    QList<bool> closed;
    log.onTransfer = [&](auto) {
      captions << window.windowTitle();
      if (captions.size() > 1) return;
      QMetaObject::invokeMethod(
          &window, [&] { closed << window.close(); }, Qt::QueuedConnection);
    };
    QTest::mouseClick(command1, Qt::LeftButton);

    QCOMPARE(closed, QList<bool>{false});
    QVERIFY(captions.size() > 2);
    QCOMPARE(captions[1], QString(kestrova::texts::kFinishingBeforeClose.chinese));
    QCOMPARE(captions.back(), captions[1]);
    QCOMPARE(catcher.Shown().size(), 1);
    QCOMPARE(catcher.Shown()[0].title, QString("by Varkel"));
    QVERIFY(!window.isVisible());
    for (const QString& folder : kHiddenFolders) {
      QCOMPARE(QString::fromStdString(MattribFlags(held_, "/" + folder.toStdString())), QString());
    }
  }

  // Small cards carry FAT12 or FAT16, some drives 2 KiB sectors: the window repairs them alike.
  void repairsFat12AndFat16WithLargeSectors() {
    const std::pair<const char*, std::uint64_t> layouts[] = {{"-F 12", 8 * 1024},
                                                             {"-F 16 -S 2048", 40 * 1024}};
    for (const auto& [options, sizeKiB] : layouts) {
      const std::filesystem::path image = dir_ / "layout.img";
      QVERIFY(kestrova::testing::MakeFatImage(image, sizeKiB, options));
      QCOMPARE(Mtools("mmd", image, "::/HIDDEN ::/Music.2020").status, 0);
      QCOMPARE(Mtools("mattrib", image, "+h +s ::/HIDDEN ::/Music.2020").status, 0);
      QVERIFY(kestrova::volume::RegisterDrive('J', image.string()));
      MainWindow window;
      window.show();
      QVERIFY(QTest::qWaitForWindowExposed(&window));
      MessageCatcher catcher;
      ClickEntry(window, "J");
      QVERIFY2(catcher.Shown().isEmpty(), options);
      QTest::mouseClick(Control<QAbstractButton>(window, "Command1"), Qt::LeftButton);
      QCOMPARE(catcher.Shown().size(), 1);
      QCOMPARE(catcher.Shown()[0].title, QString("by Varkel"));
      QCOMPARE(QString::fromStdString(MattribFlags(image, "/HIDDEN")), QString());
      QCOMPARE(QString::fromStdString(MattribFlags(image, "/Music.2020")), QString());
      QCOMPARE(Run("fsck.fat -n " + kestrova::testing::Quote(image.string())).status, 0);
    }
  }

  // A repair's report offers to undo the repair. After it the virus's files are offered in a
  // list, each with why, all checked: Enter, Escape and the close box keep them all; Remove
  // selected removes exactly the files left checked, and its report offers to undo the removal.
  // An undo puts back every byte and tells so.
  void removalDialogAndUndo() {
    const std::filesystem::path image = dir_ / "leftovers.img";
    MakeImageWithLeftovers(image);
    QVERIFY(kestrova::volume::RegisterDrive('L', image.string()));
    MainWindow window;
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    MessageCatcher catcher;
    ClickEntry(window, "L");
    auto* command1 = Control<QAbstractButton>(window, "Command1");
    const std::vector<std::uint8_t> infected = ReadBytes(image);
    catcher.undoNext = true;
    QTest::mouseClick(command1, Qt::LeftButton);
    QVERIFY(ReadBytes(image) == infected);
    QCOMPARE(catcher.Shown().size(), 2);  // undone, the repair offers no removal
    QCOMPARE(catcher.Shown()[0].buttons, QStringList({"确定", "撤销刚才的修改"}));
    QCOMPARE(catcher.Shown()[0].defaultButton, QString("确定"));
    QVERIFY(catcher.Shown()[1].text.startsWith("已恢复"));

    std::vector<std::uint8_t> offered;  // the image as the dialog found it
    QStringList shown;                  // and what the dialog showed
    const auto look = [&](QDialog& dialog) {
      offered = ReadBytes(image);
      auto* list = dialog.findChild<QTreeWidget*>();
      shown = QStringList{dialog.windowTitle(), dialog.findChild<QLabel*>()->text(),
                          list->headerItem()->text(0) + "|" + list->headerItem()->text(1)};
      for (int i = 0; i < list->topLevelItemCount(); ++i) {
        const QTreeWidgetItem* row = list->topLevelItem(i);
        shown << QString("%1|%2|%3|%4")
                     .arg(row->checkState(0) == Qt::Checked)
                     .arg(row->text(0), row->text(1), row->toolTip(0));
      }
      for (const QPushButton* button : dialog.findChildren<QPushButton*>()) {
        shown << button->text() + (button->isDefault() ? "*" : "");
      }
    };
    // Enter, Escape and, for none, the close box.
    for (const Qt::Key key : {Qt::Key_Return, Qt::Key_Escape, Qt::Key_unknown}) {
      catcher.answerRemoval = [&](QDialog& dialog) {
        look(dialog);
        if (key == Qt::Key_unknown) {
          dialog.close();
        } else {
          Press(dialog, key);
        }
      };
      QTest::mouseClick(command1, Qt::LeftButton);
      QVERIFY(!offered.empty() && ReadBytes(image) == std::exchange(offered, {}));
    }
    QCOMPARE(shown,
             QStringList(
                 {"删除病毒留下的文件", kestrova::texts::kCleanQuestion.chinese, "文件|原因",
                  "1|autorun.inf|autorun.inf，插入磁盘时让Windows自动运行程序|"
                  "autorun.inf，插入磁盘时让Windows自动运行程序：open=x.exe",
                  "1|X.EXE|由autorun.inf中的“open=x.exe”运行|",
                  "1|HIDDEN.EXE|程序，与同样冒充文件夹或磁盘的“WORK.EXE”内容完全相同：病毒的副本|",
                  "1|WORK.EXE|程序，与同样冒充文件夹或磁盘的“HIDDEN.EXE”内容完全相同：病毒的副本|",
                  "删除所选", "保留*"}));

    // Space unchecks one program posing as a folder: the other three go, and come back with the
    // removal's undo.
    catcher.answerRemoval = [&](QDialog& dialog) {
      look(dialog);
      auto* list = dialog.findChild<QTreeWidget*>();
      list->setCurrentItem(list->topLevelItem(2));
      QTest::keyClick(list, Qt::Key_Space);
      dialog.findChild<QPushButton*>("RemoveSelected")->click();
    };
    for (const bool undo : {true, false}) {
      catcher.undoNext = undo;
      QTest::mouseClick(command1, Qt::LeftButton);
      QCOMPARE(ReadBytes(image) == offered, undo);
      QCOMPARE(catcher.Shown().back().text.startsWith("已恢复"), undo);
    }
    QVERIFY(catcher.Shown().back().text.startsWith("共删除3个病毒留下的文件。"));
    QVERIFY(Mtools("mdir", image, "::/autorun.inf").status != 0);
    QVERIFY(Mtools("mdir", image, "::/X.EXE").status != 0);
    QCOMPARE(Mtools("mdir", image, "::/HIDDEN.EXE").status, 0);
    QCOMPARE(Run("fsck.fat -n " + kestrova::testing::Quote(image.string())).status, 0);
  }

  // The sample stick (tools/make_sample_image.sh): after the repair's report one dialog offers the
  // virus's files and, last, the line that moves the user's file back out of the blank folder (the
  // payload there is the virus's and not counted), all checked, Keep the default. 执行所选 does
  // what is checked in one pass with one journal ("fix-", or "clean-" with the line unchecked) and
  // one report whose undo gives the repaired stick back byte for byte. Everything done leaves no
  // file of the virus's in the root and every file of the user's there with its bytes.
  void oneDialogCleansAndMovesBackTheSampleStick() {
    const std::filesystem::path image = dir_ / "sample.img";
    QVERIFY(kestrova::testing::MakeSampleImage(image));
    const auto infected = kestrova::testing::FatFiles(image);
    QVERIFY(kestrova::volume::RegisterDrive('M', image.string()));
    MainWindow window;
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    MessageCatcher catcher;
    ClickEntry(window, "M");
    auto* command1 = Control<QAbstractButton>(window, "Command1");

    const std::filesystem::path journals = kestrova::repair::JournalFolder();
    const auto journalNames = [&] {
      std::set<std::string> names;
      if (!std::filesystem::exists(journals)) return names;
      for (const auto& entry : std::filesystem::recursive_directory_iterator(journals)) {
        if (entry.path().extension() == ".journal") names.insert(entry.path().filename().string());
      }
      return names;
    };
    std::vector<std::uint8_t> offered;  // the image as the dialog found it
    std::set<std::string> journalsBefore;
    QStringList shown;
    // The dialog's look, then the move line (the last) checked or not, then 执行所选, and the
    // report's undo or not.
    const auto answer = [&](bool moveBack, bool undo) {
      catcher.answerRemoval = [&, moveBack, undo](QDialog& dialog) {
        offered = ReadBytes(image);
        journalsBefore = journalNames();
        auto* list = dialog.findChild<QTreeWidget*>();
        shown = QStringList{dialog.windowTitle(), dialog.findChild<QLabel*>()->text()};
        for (int i = 0; i < list->topLevelItemCount(); ++i) {
          const QTreeWidgetItem* row = list->topLevelItem(i);
          shown << QString("%1|%2|%3")
                       .arg(row->checkState(0) == Qt::Checked)
                       .arg(row->text(0), row->text(1));
        }
        shown << list->topLevelItem(list->topLevelItemCount() - 1)->toolTip(0);
        for (const QPushButton* button : dialog.findChildren<QPushButton*>()) {
          shown << button->text() + (button->isDefault() ? "*" : "");
        }
        if (!moveBack) {
          list->setCurrentItem(list->topLevelItem(list->topLevelItemCount() - 1));
          QTest::keyClick(list, Qt::Key_Space);
        }
        catcher.undoNext = undo;
        dialog.findChild<QPushButton*>("RemoveSelected")->click();
      };
    };
    // The one journal that the pass wrote, by its name's beginning.
    const auto newJournal = [&]() -> QString {
      std::set<std::string> added = journalNames();
      for (const std::string& name : journalsBefore) added.erase(name);
      return added.size() == 1 ? QString::fromStdString(*added.begin()).section('-', 0, 0)
                               : QString("%1 journals").arg(added.size());
    };
    const QString title = kestrova::texts::kNextStepTitle.chinese;

    // Everything checked, then undone from the report.
    answer(true, true);
    QTest::mouseClick(command1, Qt::LeftButton);
    QCOMPARE(shown.size(), 13);
    QCOMPARE(shown.mid(0, 2), QStringList({title, kestrova::texts::kNextStepQuestion.chinese}));
    QCOMPARE(shown[2], QString("1|sys.vbs|由autorun.inf中的“open=wscript.exe sys.vbs”运行"));
    QCOMPARE(shown[9], QString("1|把病毒移到[U+00A0]里的1个文件、0个文件夹移回根目录|"
                               "病毒移走的您的文件"));
    QVERIFY2(shown[10].startsWith("病毒把您的1个文件、0个文件夹移到了文件夹"),
             qPrintable(shown[10]));
    QCOMPARE(shown.mid(11), QStringList({"执行所选", "保留*"}));
    QCOMPARE(newJournal(), QString("fix"));
    QCOMPARE(catcher.Shown().size(), 3);  // the repair's report, the one report, the undo's
    QCOMPARE(catcher.Shown()[1].title, title);
    const std::string folder = kestrova::repair::messages::FolderName("\u00a0");
    const std::string done =
        "共删除7个病毒留下的文件。\r\n" +
        kestrova::texts::Format(kestrova::texts::kMovedBackCount, folder,
                                kestrova::texts::Format(kestrova::texts::kFilesCount, 1),
                                kestrova::texts::Format(kestrova::texts::kFoldersCount, 0)) +
        "\r\n" + kestrova::texts::Format(kestrova::texts::kMovedFolderRemoved, folder) +
        "\r\n\r\n修改前的内容已保存到：";
    QVERIFY2(catcher.Shown()[1].text.startsWith(QString::fromStdString(done)),
             qPrintable(catcher.Shown()[1].text));
    QVERIFY(ReadBytes(image) == offered);

    // The move line unchecked: the files alone go, the user's file stays in the folder.
    answer(false, true);
    QTest::mouseClick(command1, Qt::LeftButton);
    QCOMPARE(newJournal(), QString("clean"));
    QCOMPARE(catcher.Shown()[catcher.Shown().size() - 2].title, title);
    QVERIFY(ReadBytes(image) == offered);

    // Everything done.
    answer(true, false);
    QTest::mouseClick(command1, Qt::LeftButton);
    QCOMPARE(newJournal(), QString("fix"));
    QVERIFY(kestrova::testing::FatFiles(image) == kestrova::testing::SampleFixed(infected));
    QCOMPARE(Run("fsck.fat -n " + kestrova::testing::Quote(image.string())).status, 0);
  }

  // The removal dialog shows up to eight rows and its columns whole, a longer list scrolling
  // down; a name too long for the screen scrolls sideways instead of widening the dialog past it.
  void removalDialogFitsItsRowsAndTheScreen() {
    for (const auto& [count, repeats] : {std::pair{3, 1}, std::pair{12, 1}, std::pair{2, 200}}) {
      std::vector<kestrova::repair::messages::RemovalChoice> files;
      for (int i = 0; i < count; ++i) {
        std::string name;
        for (int repeat = 0; repeat < repeats; ++repeat) name += "照片";
        files.push_back({name + std::to_string(i) + ".exe", "程序，冒充文件夹“照片”", ""});
      }
      kestrova::ui::qt::RemovalDialog dialog("?", "?", "?", files, nullptr);
      dialog.show();
      QVERIFY(QTest::qWaitForWindowExposed(&dialog));
      auto* list = dialog.findChild<QTreeWidget*>();
      const int rows = std::min(count, 8);
      const int room = list->viewport()->height();
      QVERIFY(list->visualItemRect(list->topLevelItem(rows - 1)).bottom() < room);
      QVERIFY(count == rows || list->visualItemRect(list->topLevelItem(rows)).top() >= room);
      QCOMPARE(list->verticalScrollBar()->maximum() > 0, count > rows);
      QCOMPARE(list->horizontalScrollBar()->maximum() > 0, repeats > 1);
      QVERIFY(dialog.frameGeometry().width() <= dialog.screen()->availableGeometry().width());
    }
  }

  // Large sticks and cards carry exFAT: its entry sets keep their checksums right.
  void repairsExfat() {
    const std::filesystem::path image = dir_ / "exfat.img";
    QVERIFY(kestrova::testing::MakeExfatImage(image, 32));
    const std::string why = kestrova::testing::MakeFoldersThroughFuse(image, {"资料", "PLAIN"});
    if (!why.empty()) QSKIP(qPrintable(QString::fromStdString(why)));
    kestrova::testing::ExfatRootSets(image).SetAttributes("资料", 0x16);
    QVERIFY(kestrova::volume::RegisterDrive('K', image.string()));
    MainWindow window;
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    MessageCatcher catcher;
    ClickEntry(window, "K");
    QVERIFY(catcher.Shown().isEmpty());
    QTest::mouseClick(Control<QAbstractButton>(window, "Command1"), Qt::LeftButton);
    QCOMPARE(catcher.Shown().size(), 1);
    QCOMPARE(catcher.Shown()[0].title, QString("by Varkel"));
    const kestrova::testing::ExfatRootSets after(image);
    QCOMPARE(after.Named("资料").attributes, std::uint16_t{0x10});
    QCOMPARE(after.Named("PLAIN").attributes, std::uint16_t{0x10});
    QCOMPARE(Run("fsck.exfat -n " + kestrova::testing::Quote(image.string())).status, 0);
  }

  // The list follows the drives once the watch's descriptor is readable, without a click, and
  // each entry shows as much of the drive as the list's width has room for.
  void listFollowsTheWatchedDrives() {
    auto owned = std::make_unique<PipeWatch>();
    PipeWatch* watch = owned.get();
    QVERIFY(watch->Fd() >= 0);
    MainWindow window(std::move(owned));
    auto* list = Control<QListWidget>(window, "List1");
    const int before = list->count();
    MessageCatcher catcher;
    const auto entries = [&] {
      QStringList texts;
      for (int i = 0; i < list->count(); ++i) texts << list->item(i)->text();
      return texts;
    };
    // Waits for the window's event loop to have handled the readable descriptor: a bounded
    // number of rounds of the loop, each of which polls the descriptor.
    const auto handle = [&](int count) {
      for (int round = 0; round < 100 && list->count() != count; ++round) {
        QCoreApplication::processEvents(QEventLoop::AllEvents);
      }
    };

    const std::filesystem::path wide = dir_ / "wide.img";
    QCOMPARE(Run("truncate -s 3M " + kestrova::testing::Quote(wide.string())).status, 0);
    QVERIFY(kestrova::volume::RegisterDrive('S', wide.string()));
    QCOMPARE(list->count(), before);  // not before the watch tells of it
    // A list wide enough for the whole entry: the letter, then the size (an image has no label
    // that the system tells).
    list->resize(Control(window, "Frame1")->width() * 3, list->height());
    QVERIFY(watch->Tell());
    handle(before + 1);
    QCOMPARE(entries().last(), QString("S:  3.0 MiB"));
    // With nothing selected, the drive that came is looked at at once: a blank one is refused.
    QCOMPARE(list->selectedItems().size(), 1);
    QCOMPARE(list->selectedItems().first()->text(), QString("S:  3.0 MiB"));
    QCOMPARE(catcher.Shown().size(), 1);

    // At the list's own width an entry keeps to it, whatever of it has to go.
    list->setGeometry(window.ToPixels(kestrova::ui::kList1Rect));
    const std::filesystem::path narrow = dir_ / "narrow.img";
    QCOMPARE(Run("truncate -s 3M " + kestrova::testing::Quote(narrow.string())).status, 0);
    QVERIFY(kestrova::volume::RegisterDrive('T', narrow.string()));
    QVERIFY(watch->Tell());
    handle(before + 2);
    QCOMPARE(list->count(), before + 2);
    const QString last = entries().last();
    QVERIFY2(last.startsWith("T:"), qPrintable(last));
    QVERIFY(list->selectedItems().first()->text().startsWith("S:"));  // S stays selected
    QVERIFY2(QFontMetrics(list->font()).horizontalAdvance(last) <= list->contentsRect().width(),
             qPrintable(last));
  }
};

QTEST_MAIN(WindowTest)
#include "window_test.moc"
