// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/qt/removal_dialog.h"

#include <QDialogButtonBox>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QScreen>
#include <QStyle>
#include <QTreeWidget>
#include <QVBoxLayout>

#include <algorithm>

#include "words/texts.h"

namespace kestrova::ui::qt {
namespace {

// The list shows this many rows before it scrolls, and no fewer than the least, so that a single
// file does not look like a table's lost line.
constexpr int kRowsShown = 8;
constexpr int kFewestRows = 3;
// The text wraps at no less than this many lines' heights: about twenty Chinese characters.
constexpr int kTextWidthInLines = 20;
// The share of the screen's width that the list may take at most, in tenths.
constexpr int kScreenTenths = 9;

enum Column { kFile, kReason, kColumns };

QString TextOf(const texts::Text& text) { return QString::fromUtf8(texts::Tr(text)); }

// The list of the files. Its layout is measured once it is polished, in the font that it shows
// its rows in: as wide as its columns' contents, as high as a few rows; it scrolls beyond.
class FileList final : public QTreeWidget {
 public:
  using QTreeWidget::QTreeWidget;
  QSize sizeHint() const override {
    return Room(std::clamp(topLevelItemCount(), kFewestRows, kRowsShown));
  }
  QSize minimumSizeHint() const override { return Room(kFewestRows); }

 protected:
  void showEvent(QShowEvent* event) override {
    for (int column = 0; column < kColumns; ++column) resizeColumnToContents(column);
    QTreeWidget::showEvent(event);
  }

 private:
  // The room for `rows` rows and the columns, with a scroll bar wherever the list scrolls. A long
  // name or reason scrolls sideways rather than widen the dialog past the screen.
  QSize Room(int rows) const {
    const int count = topLevelItemCount();
    const int bar = style()->pixelMetric(QStyle::PM_ScrollBarExtent, nullptr, this);
    int width = 2 * frameWidth() + (count > rows ? bar : 0);
    for (int column = 0; column < kColumns; ++column) {
      width += std::max(sizeHintForColumn(column), header()->sectionSizeHint(column));
    }
    int height = 2 * frameWidth() + header()->sizeHint().height();
    for (int row = 0; row < rows; ++row) {
      // Rows beyond the files take the last one's height.
      height += count > 0 ? indexRowSizeHint(model()->index(std::min(row, count - 1), 0))
                          : fontMetrics().height();
    }
    if (const QScreen* shown = screen()) {
      const int most = shown->availableGeometry().width() * kScreenTenths / 10;
      if (width > most) {
        width = most;
        height += bar;
      }
    }
    return {width, height};
  }
};

}  // namespace

RemovalDialog::RemovalDialog(const QString& text, const QString& title, const QString& action,
                             const std::vector<repair::messages::RemovalChoice>& files,
                             QWidget* parent)
    : QDialog(parent) {
  setObjectName("RemovalDialog");
  setWindowTitle(title);

  auto* question = new QLabel(text, this);
  question->setObjectName("RemovalText");
  question->setTextFormat(Qt::PlainText);
  question->setWordWrap(true);
  question->setMinimumWidth(question->fontMetrics().height() * kTextWidthInLines);

  list_ = new FileList(this);
  list_->setObjectName("RemovalList");
  list_->setColumnCount(kColumns);
  list_->setHeaderLabels({TextOf(texts::kFileColumn), TextOf(texts::kReasonColumn)});
  list_->setRootIsDecorated(false);
  list_->setAllColumnsShowFocus(true);
  list_->setSelectionMode(QAbstractItemView::SingleSelection);
  for (const repair::messages::RemovalChoice& file : files) {
    auto* row = new QTreeWidgetItem(
        list_, QStringList{QString::fromStdString(file.name), QString::fromStdString(file.reason)});
    row->setFlags(row->flags() | Qt::ItemIsUserCheckable);
    row->setCheckState(kFile, Qt::Checked);
    if (!file.detail.empty()) {
      for (int column = 0; column < kColumns; ++column) {
        row->setToolTip(column, QString::fromStdString(file.detail));
      }
    }
  }
  if (QTreeWidgetItem* first = list_->topLevelItem(0)) list_->setCurrentItem(first);

  auto* buttons = new QDialogButtonBox(this);
  QPushButton* remove = buttons->addButton(action, QDialogButtonBox::AcceptRole);
  remove->setObjectName("RemoveSelected");
  QPushButton* keep = buttons->addButton(TextOf(texts::kKeep), QDialogButtonBox::RejectRole);
  keep->setObjectName("Keep");
  keep->setDefault(true);
  connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);

  auto* layout = new QVBoxLayout(this);
  layout->addWidget(question);
  layout->addWidget(list_, 1);
  layout->addWidget(buttons);
  // Space toggles the current row's check box; Enter still goes to Keep.
  list_->setFocus();
}

std::vector<std::size_t> RemovalDialog::Checked() const {
  std::vector<std::size_t> checked;
  for (int i = 0; i < list_->topLevelItemCount(); ++i) {
    if (list_->topLevelItem(i)->checkState(kFile) == Qt::Checked) {
      checked.push_back(static_cast<std::size_t>(i));
    }
  }
  return checked;
}

}  // namespace kestrova::ui::qt
