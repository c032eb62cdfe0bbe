// SPDX-License-Identifier: GPL-3.0-or-later
// The main window on Linux: Qt widgets placed as the layout tables say, and the two interfaces
// through which Form1's handlers read and change them. No handler logic lives here: every
// notification goes straight to Form1.
#pragma once

#include <QListWidget>
#include <QPointer>
#include <QSocketNotifier>
#include <QWidget>

#include <chrono>
#include <memory>
#include <optional>
#include <vector>

#include "ui/form1.h"
#include "ui/qt/layout.h"
#include "ui/qt/widgets.h"
#include "volume/drive_watch.h"
#include "volume/drives.h"

namespace kestrova::ui::qt {

class MainWindow final : public QWidget, public Form1Controls, public Form1Platform {
 public:
  // Builds the controls and runs Form_Load; the window is not shown yet. The list follows the
  // drives as the system's watch tells of them, or as `watch` does.
  MainWindow();
  explicit MainWindow(std::unique_ptr<volume::DriveWatch> watch);
  // Stops waiting on the watch's descriptor before the watch closes it.
  ~MainWindow() override;

  // Moves the window to the centre of its screen.
  void CentreOnScreen();
  // Device pixels per design pixel: the logical resolution over 96 dots per inch.
  double Scale() const { return scale_; }
  // A twip rectangle of the layout tables in this window's pixels.
  QRect ToPixels(const TwipRect& twips) const;
  // The progress bar's width as last set, in percent of the track.
  float ProgressPercent() const { return progressPercent_; }
  // How often a pass handles the window's events (Form1::SetEventPace); 0 after every step.
  void SetEventPace(std::chrono::milliseconds pace) { form_.SetEventPace(pace); }

  // Form1Controls
  void ListAddItem(const std::string& text) override;
  bool ListFits(const std::string& text) override;
  void ListSelect(std::int16_t index) override;
  void ListClear() override;
  std::int16_t ListCount() override;
  bool ListSelected(std::int16_t index) override;
  void SetRepairEnabled(bool enabled) override;
  void SetSelectionEnabled(bool enabled) override;
  void SetProgressVisible(bool visible) override;
  void SetProgressWidth(float percent) override;
  void ShowMessage(const std::string& text, const std::string& title, int style) override;
  void ProcessPendingEvents() override;
  void SetCaption(const std::string& text) override;
  void CloseForm() override;
  bool AskYesNo(const std::string& text, const std::string& title) override;
  bool ShowReport(const std::string& text, const std::string& title,
                  const std::string& action) override;
  std::optional<std::vector<std::size_t>> ChooseRemovals(
      const std::string& text, const std::string& title, const std::string& action,
      const std::vector<repair::messages::RemovalChoice>& files) override;

  // Form1Platform
  unsigned DriveType(const std::string& root) override;
  void RefreshDrives() override;
  void DescribeDrive(volume::DriveInfo& drive) override;
  void OpenWebSite(const std::string& address) override;

 protected:
  void closeEvent(QCloseEvent* event) override;

 private:
  QFont Font(const char* face, int designPixels, bool bold = false, bool underline = false) const;
  int Pixels(int twips) const;
  QRect InsideBorder(const TwipRect& twips) const;
  void Build();
  // Tells Form1 of what the watch has read, once its descriptor is readable.
  void WatchDrives();

  double scale_ = 1.0;
  float progressPercent_ = 0.0f;
  QListWidget* list1_ = nullptr;
  PictureButton* command1_ = nullptr;
  ClickLabel* command2_ = nullptr;
  QPointer<QWidget> focusBeforePass_;  // the control that had the focus when a pass began
  RaisedBar* progress_ = nullptr;
  std::vector<volume::DriveInfo> listed_;  // the drives as the last look found them
  std::unique_ptr<volume::DriveWatch> watch_;
  QSocketNotifier* watchNotifier_ = nullptr;
  Form1 form_{*this, *this};
};

}  // namespace kestrova::ui::qt
