// SPDX-License-Identifier: GPL-3.0-or-later
// The kinds of control that the main window needs beyond Qt's own: a frame with an etched border
// and its caption in the top edge, a label that can be clicked, the graphical Repair button, the
// raised progress bar, and a wrapping label with a fixed number of lines.
#pragma once

#include <QAbstractButton>
#include <QGroupBox>
#include <QLabel>
#include <QPixmap>
#include <QStringList>
#include <QWidget>

namespace kestrova::ui::qt {

// A frame: etched border, caption set into the top edge at the left, blanks of the caption kept.
class EtchedFrame : public QGroupBox {
 public:
  EtchedFrame(const QString& caption, QWidget* parent);

 protected:
  void paintEvent(QPaintEvent* event) override;
};

// A label that reports a click of the left mouse button released over it, and, once Tab has
// given it the keyboard focus (which it shows with a focus rectangle), a press of Enter or Space.
class ClickLabel : public QLabel {
  Q_OBJECT
 public:
  explicit ClickLabel(QWidget* parent);

 signals:
  void clicked();

 protected:
  void mousePressEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  void paintEvent(QPaintEvent* event) override;

 private:
  bool pressed_ = false;
};

// A graphical command button: its picture centred above its caption; the picture's pure white
// pixels are not drawn, so the face shows through; picture and caption greyed when disabled.
// Enter presses it as Space does.
class PictureButton : public QAbstractButton {
 public:
  PictureButton(const QString& caption, const QPixmap& picture, QWidget* parent);
  const QPixmap& Picture() const { return picture_; }

 protected:
  void paintEvent(QPaintEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;

 private:
  QPixmap picture_;  // with its white pixels masked out
};

// A graphical button without picture used as a bar: a raised edge around a coloured face.
class RaisedBar : public QWidget {
 public:
  RaisedBar(const QColor& face, QWidget* parent);

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  QColor face_;
};

// A left-aligned label whose text wraps at its width into at most `lines` lines, spaced so that
// they all fit its height whatever the face's own line spacing.
class WrappedLabel : public QLabel {
 public:
  WrappedLabel(const QString& text, int lines, QWidget* parent);
  // The text of each line as laid out at the label's present width and font.
  QStringList Lines() const;
  // The distance from one line's top to the next one's.
  int LineStep() const;

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  int lines_;
};

}  // namespace kestrova::ui::qt
