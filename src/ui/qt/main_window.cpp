// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/qt/main_window.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QDesktopServices>
#include <QFile>
#include <QFontDatabase>
#include <QFrame>
#include <QIcon>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QShortcut>
#include <QSignalBlocker>
#include <QStyle>
#include <QUrl>

#include <algorithm>
#include <cmath>

#include "format/progress.h"
#include "ui/qt/removal_dialog.h"
#include "ui/window_contacts.h"
#include "volume/drives.h"
#include "words/texts.h"

namespace kestrova::ui::qt {
namespace {

QColor Rgb(unsigned rgb) { return QColor::fromRgb(static_cast<QRgb>(rgb)); }

QString Text(const std::string& utf8) { return QString::fromStdString(utf8); }

// A text of the table in the user's language.
QString TextOf(const texts::Text& text) { return QString::fromUtf8(texts::Tr(text)); }

// The text ends at the label's right edge; a text longer than the label widens it to the left
// rather than losing the start of the line.
void FitToTheLeft(QLabel* label, QRect area) {
  const int width = QFontMetrics(label->font()).horizontalAdvance(label->text());
  if (width > area.width()) area.setLeft(area.right() + 1 - width);
  label->setGeometry(area);
}

// A picture box: a frame with a sunken border of 2 pixels, or flat.
QFrame* PictureBox(QWidget* parent, bool sunken) {
  auto* box = new QFrame(parent);
  if (sunken) box->setFrameStyle(QFrame::WinPanel | QFrame::Sunken);
  box->setFocusPolicy(Qt::NoFocus);
  return box;
}

QPixmap LoadPicture(const char* resource, double scale) {
  QPixmap picture(resource);
  if (picture.isNull() || scale == 1.0) return picture;
  return picture.scaled(qRound(picture.width() * scale), qRound(picture.height() * scale),
                        Qt::IgnoreAspectRatio, Qt::FastTransformation);
}

// In a language written right to left the window reads from the right: the place of each widget
// of the design (Qt's own inner widgets, named "qt_...", keep theirs) is mirrored in its parent.
// The pictures are drawn as they are.
void MirrorPlaces(QWidget* parent) {
  for (QWidget* child : parent->findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
    if (child->isWindow() || child->objectName().startsWith("qt_")) continue;
    QRect place = child->geometry();
    place.moveLeft(parent->width() - place.left() - place.width());
    child->setGeometry(place);
    MirrorPlaces(child);
  }
}

QCursor HandCursor() {
  const QPixmap hand(kHandPicture);
  if (hand.isNull()) return QCursor(Qt::PointingHandCursor);
  return QCursor(hand, kHandHotX, kHandHotY);
}

}  // namespace

MainWindow::MainWindow() : MainWindow(volume::WatchDrives()) {}

MainWindow::MainWindow(std::unique_ptr<volume::DriveWatch> watch)
    : QWidget(nullptr, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                           Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint |
                           Qt::MSWindowsFixedSizeDialogHint) {
  scale_ = logicalDpiX() / kDesignDpi;
  setObjectName("Form1");
  setWindowTitle(kWindowCaption);
  QIcon icon;
  for (const char* picture : kIconPictures) {
    if (QFile::exists(picture)) icon.addFile(picture);
  }
  if (!icon.isNull()) setWindowIcon(icon);
  setFont(Font(kSongFace, kDefaultFontPx));
  setFixedSize(Pixels(kClientWidth), Pixels(kClientHeight));
  Build();
  if (layoutDirection() == Qt::RightToLeft) MirrorPlaces(this);
  // Watched before the first look: a drive that comes meanwhile is not missed.
  watch_ = std::move(watch);
  if (watch_ && watch_->Fd() >= 0) {
    watchNotifier_ = new QSocketNotifier(watch_->Fd(), QSocketNotifier::Read, this);
    connect(watchNotifier_, &QSocketNotifier::activated, this, [this] { WatchDrives(); });
  }
  form_.Form_Load();
}

MainWindow::~MainWindow() {
  delete watchNotifier_;
  watch_.reset();
}

void MainWindow::WatchDrives() {
  const bool changed = watch_->Changed();
  // A watch that has stopped is no longer waited on.
  if (watch_->Fd() < 0) watchNotifier_->setEnabled(false);
  if (changed) form_.DrivesChanged();
}

int MainWindow::Pixels(int twips) const {
  return qRound(twips * scale_ * kDesignDpi / kTwipsPerInch);
}

QRect MainWindow::ToPixels(const TwipRect& twips) const {
  return QRect(Pixels(twips.left), Pixels(twips.top), Pixels(twips.width), Pixels(twips.height));
}

QRect MainWindow::InsideBorder(const TwipRect& twips) const {
  return ToPixels(
      {twips.left + kSunkenBorder, twips.top + kSunkenBorder, twips.width, twips.height});
}

QFont MainWindow::Font(const char* face, int designPixels, bool bold, bool underline) const {
  QFont font(QFontDatabase::hasFamily(face) ? QString(face) : QString(kFallbackFace));
  font.setPixelSize(qRound(designPixels * scale_));
  font.setBold(bold);
  font.setUnderline(underline);
  return font;
}

void MainWindow::Build() {
  const QCursor hand = HandCursor();

  auto* picture3 = new ClickLabel(this);
  picture3->setObjectName("Picture3");
  picture3->setGeometry(ToPixels(kPicture3Rect));
  picture3->setPixmap(LoadPicture(kBannerPicture, scale_));
  picture3->setAutoFillBackground(true);
  QPalette banner = picture3->palette();
  banner.setColor(QPalette::Window, banner.color(QPalette::Base));
  banner.setColor(QPalette::WindowText, banner.color(QPalette::Text));
  picture3->setPalette(banner);
  picture3->setCursor(hand);
  connect(picture3, &ClickLabel::clicked, this, [this] { form_.Picture3_Click(); });

  auto* frame2 = new EtchedFrame(TextOf(texts::kStepTwo), this);
  frame2->setObjectName("Frame2");
  frame2->setGeometry(ToPixels(kFrame2Rect));

  QFrame* picture2 = PictureBox(frame2, true);
  picture2->setObjectName("Picture2");
  picture2->setGeometry(ToPixels(kPicture2Rect));
  progress_ = new RaisedBar(Rgb(kProgressFace), picture2);
  progress_->setObjectName("Progress");
  progress_->setGeometry(InsideBorder(kProgressRect));
  progress_->setEnabled(false);

  QFrame* picture1 = PictureBox(frame2, true);
  picture1->setObjectName("Picture1");
  picture1->setGeometry(ToPixels(kPicture1Rect));
  command1_ =
      new PictureButton(TextOf(texts::kRepair), LoadPicture(kRepairPicture, scale_), picture1);
  command1_->setObjectName("Command1");
  command1_->setGeometry(InsideBorder(kCommand1Rect));
  command1_->setFont(Font(kXinweiFace, kCommand1FontPx));
  command1_->setCursor(hand);
  connect(command1_, &QAbstractButton::clicked, this, [this] { form_.Command1_Click(); });

  auto* frame1 = new EtchedFrame(TextOf(texts::kStepOne), this);
  frame1->setObjectName("Frame1");
  frame1->setGeometry(ToPixels(kFrame1Rect));

  list1_ = new QListWidget(frame1);
  list1_->setObjectName("List1");
  list1_->setGeometry(ToPixels(kList1Rect));
  list1_->setFont(Font(kSongFace, kList1FontPx));
  list1_->setFrameStyle(QFrame::WinPanel | QFrame::Sunken);
  list1_->setSelectionMode(QAbstractItemView::SingleSelection);
  list1_->setUniformItemSizes(true);
  list1_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  list1_->setSortingEnabled(false);
  connect(list1_, &QListWidget::itemSelectionChanged, this, [this] { form_.List1_Click(); });

  auto* label2 = new QLabel(TextOf(texts::kChooseDrive), frame1);
  label2->setObjectName("Label2");
  label2->setGeometry(ToPixels(kLabel2Rect));
  label2->setAlignment(Qt::AlignLeft | Qt::AlignTop);

  command2_ = new ClickLabel(frame1);
  command2_->setObjectName("Command2");
  command2_->setText(TextOf(texts::kRefresh));
  command2_->setFont(Font(kSongFace, kCommand2FontPx, false, true));
  FitToTheLeft(command2_, ToPixels(kCommand2Rect));
  command2_->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
  // Blue while it can be clicked; greyed as any label while a pass runs.
  QPalette link = command2_->palette();
  for (const auto group : {QPalette::Active, QPalette::Inactive}) {
    link.setColor(group, QPalette::WindowText, Rgb(kLinkBlue));
  }
  command2_->setPalette(link);
  command2_->setCursor(hand);
  connect(command2_, &ClickLabel::clicked, this, [this] { form_.Command2_Click(); });
  // F5 refreshes wherever the focus is in the window.
  auto* refreshKey = new QShortcut(QKeySequence(Qt::Key_F5), this);
  connect(refreshKey, &QShortcut::activated, this, [this] { form_.Command2_Click(); });
  // The list is drawn over the labels where they meet.
  list1_->raise();

  // The never-shown command needs no widget: Command1_Click runs the pass directly.

  auto* label3 = new QLabel(TextOf(texts::kMailPrefix) + kAuthorMail, this);
  label3->setObjectName("Label3");
  label3->setFont(Font(kSongFace, kLabel3FontPx, true));
  FitToTheLeft(label3, ToPixels(kLabel3Rect));
  label3->setAlignment(Qt::AlignRight | Qt::AlignTop);
  QPalette mail = label3->palette();
  mail.setColor(QPalette::WindowText, Rgb(kLinkBlue));
  label3->setPalette(mail);

  auto* label1 = new WrappedLabel(TextOf(texts::kDescription), kLabel1Lines, this);
  label1->setObjectName("Label1");
  label1->setGeometry(ToPixels(kLabel1Rect));
  label1->setFont(Font(kSongFace, kLabel1FontPx));

  // Tab goes from the list to Refresh, Repair and the banner's link.
  setTabOrder(list1_, command2_);
  setTabOrder(command2_, command1_);
  setTabOrder(command1_, picture3);
  list1_->setFocus();
}

void MainWindow::CentreOnScreen() {
  const QScreen* shown = screen();
  if (!shown) return;
  const QRect available = shown->availableGeometry();
  move(available.center() - QPoint(width() / 2, height() / 2));
}

void MainWindow::ListAddItem(const std::string& text) {
  const QSignalBlocker quiet(list1_);
  // One row per line of the list's font: three rows fit the list's inner height.
  auto* item = new QListWidgetItem(Text(text), list1_);
  item->setSizeHint(QSize(0, qRound(kList1FontPx * scale_)));
}

bool MainWindow::ListFits(const std::string& text) {
  // The entry's room: the list's inner width less the margins of an entry's text, and less the
  // scroll bar once the entries are more than the list shows. Measured on the list's geometry,
  // which holds before the window is shown too.
  const QStyle* style = list1_->style();
  const QRect inner = list1_->contentsRect();
  int room =
      inner.width() - 2 * (style->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, list1_) + 1);
  if ((list1_->count() + 1) * qRound(kList1FontPx * scale_) > inner.height()) {
    room -= style->pixelMetric(QStyle::PM_ScrollBarExtent, nullptr, list1_);
  }
  return QFontMetrics(list1_->font()).horizontalAdvance(Text(text)) <= room;
}

void MainWindow::ListSelect(std::int16_t index) {
  const QSignalBlocker quiet(list1_);
  list1_->clearSelection();
  if (QListWidgetItem* item = list1_->item(index)) {
    list1_->setCurrentItem(item);
    item->setSelected(true);
  }
}

void MainWindow::ListClear() {
  const QSignalBlocker quiet(list1_);
  list1_->clear();
}

std::int16_t MainWindow::ListCount() { return static_cast<std::int16_t>(list1_->count()); }

bool MainWindow::ListSelected(std::int16_t index) {
  const QListWidgetItem* item = list1_->item(index);
  return item && item->isSelected();
}

void MainWindow::SetRepairEnabled(bool enabled) { command1_->setEnabled(enabled); }

// While a pass runs the window itself holds the focus, so that it does not move on to the link
// as the controls are greyed; the control that had it takes it back afterwards when it can.
void MainWindow::SetSelectionEnabled(bool enabled) {
  if (!enabled) {
    QWidget* focus = focusWidget();
    if (focus == list1_ || focus == command2_ || focus == command1_) {
      focusBeforePass_ = focus;
      setFocus();
    }
  }
  list1_->setEnabled(enabled);
  command2_->setEnabled(enabled);
  if (!enabled) return;
  if (focusWidget() == this || !focusWidget()) {
    QWidget* back = focusBeforePass_ && focusBeforePass_->isEnabled()
                        ? focusBeforePass_.data()
                        : static_cast<QWidget*>(list1_);
    back->setFocus();
  }
  focusBeforePass_.clear();
}

void MainWindow::SetProgressVisible(bool visible) { progress_->setVisible(visible); }

void MainWindow::SetProgressWidth(float percent) {
  progressPercent_ = percent;
  const double share =
      std::isfinite(percent) ? std::clamp<double>(percent, 0.0, repair::kFullTrack) : 0.0;
  const int track = Pixels(kTrackWidth);
  const int width = std::min(track, qRound(track * share / repair::kFullTrack));
  progress_->resize(width, progress_->height());
}

void MainWindow::ShowMessage(const std::string& text, const std::string& title, int style) {
  const QMessageBox::Icon icon =
      style == ui::kStyleInformation ? QMessageBox::Information : QMessageBox::Critical;
  QMessageBox box(icon, Text(title), Text(text), QMessageBox::Ok, this);
  box.button(QMessageBox::Ok)->setText(TextOf(texts::kOk));
  box.exec();
}

void MainWindow::ProcessPendingEvents() { QCoreApplication::processEvents(); }

void MainWindow::SetCaption(const std::string& text) { setWindowTitle(Text(text)); }

void MainWindow::CloseForm() { close(); }

bool MainWindow::AskYesNo(const std::string& text, const std::string& title) {
  QMessageBox box(QMessageBox::Question, Text(title), Text(text),
                  QMessageBox::Yes | QMessageBox::No, this);
  box.button(QMessageBox::Yes)->setText(TextOf(texts::kYes));
  box.button(QMessageBox::No)->setText(TextOf(texts::kNo));
  box.setDefaultButton(QMessageBox::No);
  return box.exec() == QMessageBox::Yes;
}

bool MainWindow::ShowReport(const std::string& text, const std::string& title,
                            const std::string& action) {
  QMessageBox box(QMessageBox::Information, Text(title), Text(text), QMessageBox::NoButton, this);
  QPushButton* ok = box.addButton(QMessageBox::Ok);
  ok->setText(TextOf(texts::kOk));
  QPushButton* second = box.addButton(Text(action), QMessageBox::ActionRole);
  // Enter and Escape only close the report: the change is undone by a press of its own button.
  box.setDefaultButton(ok);
  box.setEscapeButton(ok);
  box.exec();
  return box.clickedButton() == second;
}

std::optional<std::vector<std::size_t>> MainWindow::ChooseRemovals(
    const std::string& text, const std::string& title, const std::string& action,
    const std::vector<repair::messages::RemovalChoice>& files) {
  RemovalDialog dialog(Text(text), Text(title), Text(action), files, this);
  if (dialog.exec() != QDialog::Accepted) return std::nullopt;
  return dialog.Checked();
}

unsigned MainWindow::DriveType(const std::string& root) { return volume::QueryDriveType(root); }

void MainWindow::RefreshDrives() {
  volume::RefreshDrives();
  listed_ = volume::ListRemovableDrives();
}

void MainWindow::DescribeDrive(volume::DriveInfo& drive) {
  for (const volume::DriveInfo& listed : listed_) {
    if (listed.letter == drive.letter) drive = listed;
  }
}

void MainWindow::OpenWebSite(const std::string& address) {
  QDesktopServices::openUrl(QUrl(Text(address)));
}

void MainWindow::closeEvent(QCloseEvent* event) {
  if (!form_.Form_QueryUnload()) {
    event->ignore();
    return;
  }
  form_.Form_Unload();
  event->accept();
}

}  // namespace kestrova::ui::qt
