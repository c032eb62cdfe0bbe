// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/qt/widgets.h"

#include <qdrawutil.h>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QStyle>
#include <QStyleOptionButton>
#include <QStyleOptionFocusRect>
#include <QTextLayout>

#include <algorithm>

#include "ui/qt/layout.h"

namespace kestrova::ui::qt {
namespace {

// Where a frame's caption starts, and how far the focus rectangle keeps from a button's edge,
// in pixels at 96 dots per inch.
constexpr int kCaptionIndent = 8;
constexpr int kFocusInset = 4;
constexpr int kFaceEdge = 2;  // the raised edge of a button face

int Scaled(const QWidget* widget, int pixels) {
  return qRound(pixels * widget->logicalDpiX() / kDesignDpi);
}

bool IsEnter(const QKeyEvent* event) {
  return event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter;
}

// The dotted focus rectangle of the style, `inset` pixels inside the widget.
void DrawFocus(QWidget* widget, QPainter& painter, int inset) {
  QStyleOptionFocusRect focus;
  focus.initFrom(widget);
  focus.rect = widget->rect().adjusted(inset, inset, -inset, -inset);
  widget->style()->drawPrimitive(QStyle::PE_FrameFocusRect, &focus, &painter, widget);
}

}  // namespace

EtchedFrame::EtchedFrame(const QString& caption, QWidget* parent) : QGroupBox(caption, parent) {
  setFlat(true);
}

void EtchedFrame::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  const QFontMetrics metrics(font());
  const QPalette& colours = palette();
  const int edge = metrics.height() / 2;
  const int w = width();
  const int h = height();
  // The etched line: a light line one pixel right of and below a dark one.
  painter.setPen(colours.color(QPalette::Light));
  painter.drawRect(1, edge + 1, w - 2, h - edge - 2);
  painter.setPen(colours.color(QPalette::Dark));
  painter.drawRect(0, edge, w - 2, h - edge - 2);

  // At the left, or at the right in a language written right to left.
  const QRect caption = QStyle::visualRect(
      layoutDirection(), rect(),
      QRect(Scaled(this, kCaptionIndent), 0, metrics.horizontalAdvance(title()), metrics.height()));
  painter.fillRect(caption, colours.window());
  painter.setPen(
      colours.color(isEnabled() ? QPalette::Active : QPalette::Disabled, QPalette::WindowText));
  painter.drawText(caption, Qt::AlignLeft | Qt::AlignVCenter, title());
}

ClickLabel::ClickLabel(QWidget* parent) : QLabel(parent) { setFocusPolicy(Qt::TabFocus); }

void ClickLabel::keyPressEvent(QKeyEvent* event) {
  if ((IsEnter(event) || event->key() == Qt::Key_Space) && !event->isAutoRepeat()) {
    event->accept();
    emit clicked();
    return;
  }
  QLabel::keyPressEvent(event);
}

void ClickLabel::paintEvent(QPaintEvent* event) {
  QLabel::paintEvent(event);
  if (!hasFocus()) return;
  QPainter painter(this);
  DrawFocus(this, painter, 0);
}

void ClickLabel::mousePressEvent(QMouseEvent* event) {
  pressed_ = event->button() == Qt::LeftButton;
  QLabel::mousePressEvent(event);
}

void ClickLabel::mouseReleaseEvent(QMouseEvent* event) {
  const bool click =
      pressed_ && event->button() == Qt::LeftButton && rect().contains(event->position().toPoint());
  pressed_ = false;
  QLabel::mouseReleaseEvent(event);
  if (click) emit clicked();
}

PictureButton::PictureButton(const QString& caption, const QPixmap& picture, QWidget* parent)
    : QAbstractButton(parent), picture_(picture) {
  setText(caption);
  setFocusPolicy(Qt::StrongFocus);
  if (!picture_.isNull()) {
    picture_.setMask(picture_.createMaskFromColor(QColor::fromRgb(kMaskWhite), Qt::MaskInColor));
  }
}

void PictureButton::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  const QPalette& colours = palette();
  const bool down = isDown();
  const QBrush face = colours.button();
  qDrawWinButton(&painter, rect(), colours, down, &face);

  const QRect inner = rect().adjusted(kFaceEdge, kFaceEdge, -kFaceEdge, -kFaceEdge);
  painter.setClipRect(inner);
  const QFontMetrics metrics(font());
  const int shift = down ? 1 : 0;
  const int top = (height() - picture_.height() - metrics.height()) / 2 + shift;

  QStyleOptionButton option;
  option.initFrom(this);
  const QPixmap picture = isEnabled() || picture_.isNull()
                              ? picture_
                              : style()->generatedIconPixmap(QIcon::Disabled, picture_, &option);
  if (!picture.isNull()) {
    painter.drawPixmap((width() - picture.width()) / 2 + shift, top, picture);
  }

  const QRect caption(shift, top + picture_.height(), width(), metrics.height());
  if (isEnabled()) {
    painter.setPen(colours.color(QPalette::Active, QPalette::ButtonText));
    painter.drawText(caption, Qt::AlignCenter, text());
  } else {
    // Greyed as an engraving: a light copy one pixel down and right under the grey text.
    painter.setPen(colours.color(QPalette::Light));
    painter.drawText(caption.translated(1, 1), Qt::AlignCenter, text());
    painter.setPen(colours.color(QPalette::Dark));
    painter.drawText(caption, Qt::AlignCenter, text());
  }

  if (hasFocus()) DrawFocus(this, painter, Scaled(this, kFocusInset));
}

void PictureButton::keyPressEvent(QKeyEvent* event) {
  if (IsEnter(event) && !event->isAutoRepeat()) {
    event->accept();
    click();
    return;
  }
  QAbstractButton::keyPressEvent(event);
}

RaisedBar::RaisedBar(const QColor& face, QWidget* parent) : QWidget(parent), face_(face) {
  setFocusPolicy(Qt::NoFocus);
}

void RaisedBar::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  const QBrush face(face_);
  qDrawWinButton(&painter, rect(), palette(), false, &face);
}

WrappedLabel::WrappedLabel(const QString& text, int lines, QWidget* parent)
    : QLabel(text, parent), lines_(lines) {
  setWordWrap(true);
  setAlignment(Qt::AlignLeft | Qt::AlignTop);
}

QStringList WrappedLabel::Lines() const {
  QTextLayout layout(text(), font());
  QStringList lines;
  layout.beginLayout();
  for (QTextLine line = layout.createLine(); line.isValid(); line = layout.createLine()) {
    line.setLineWidth(width());
    lines << text().mid(line.textStart(), line.textLength());
  }
  layout.endLayout();
  return lines;
}

int WrappedLabel::LineStep() const {
  return std::min(QFontMetrics(font()).lineSpacing(), height() / std::max(lines_, 1));
}

void WrappedLabel::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.setPen(
      palette().color(isEnabled() ? QPalette::Active : QPalette::Disabled, QPalette::WindowText));
  QTextLayout layout(text(), font());
  QTextOption option;
  option.setTextDirection(layoutDirection());
  layout.setTextOption(option);
  const int step = LineStep();
  layout.beginLayout();
  int row = 0;
  for (QTextLine line = layout.createLine(); line.isValid(); line = layout.createLine()) {
    line.setLineWidth(width());
    line.setPosition(QPointF(0, row * step));
    ++row;
  }
  layout.endLayout();
  layout.draw(&painter, QPointF(0, 0));
}

}  // namespace kestrova::ui::qt
