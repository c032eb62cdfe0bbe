// SPDX-License-Identifier: GPL-3.0-or-later
#include "window_bench.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "ui/form1.h"
#include "volume/drives.h"

#ifdef KESTROVA_BENCH_QT
#include <QApplication>
#include <QWidget>
#include <algorithm>

#include "ui/layout.h"
#include "ui/qt/widgets.h"
#endif

namespace kestrova::bench {
namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

// The list and the Repair button as the window shows them: the one drive listed and selected.
class ListControls : public kestrova::ui::Form1Controls {
 public:
  void ListAddItem(const std::string& text) override { items_.push_back(text); }
  void ListClear() override { items_.clear(); }
  std::int16_t ListCount() override { return static_cast<std::int16_t>(items_.size()); }
  bool ListSelected(std::int16_t index) override { return index == 0; }
  void ListSelect(std::int16_t) override {}
  void SetRepairEnabled(bool enabled) override { repairEnabled = enabled; }
  void SetCaption(const std::string&) override {}
  void CloseForm() override {}
  // The pass's report is read and closed with OK; the virus's files are kept.
  bool ShowReport(const std::string& text, const std::string& title, const std::string&) override {
    ShowMessage(text, title, kestrova::ui::kStyleInformation);
    return false;
  }
  std::optional<std::vector<std::size_t>> ChooseRemovals(
      const std::string&, const std::string&, const std::string&,
      const std::vector<kestrova::repair::messages::RemovalChoice>&) override {
    return std::nullopt;
  }
  bool repairEnabled = false;

 private:
  std::vector<std::string> items_;
};

// Controls that do what a window does on each progress step: turn the share into a pixel width
// and a caption, and on each pump drain a queue of pending events and repaint the bar into a
// pixel buffer.
class BusyControls final : public ListControls {
 public:
  void SetProgressVisible(bool visible) override { visible_ = visible; }
  void SetProgressWidth(float percent) override {
    char caption[32];
    std::snprintf(caption, sizeof caption, "%.1f%%", static_cast<double>(percent));
    caption_ = caption;
    width_ = static_cast<int>(percent / 100.0f * kTrackWidth + 0.5f);
    pending_.push_back({kRepaint, width_});
    pending_.push_back({kMouseMove, width_ / 2});
  }
  void ShowMessage(const std::string& text, const std::string&, int) override {
    lastMessage = text;
  }
  void ProcessPendingEvents() override {
    while (!pending_.empty()) {
      const Event event = pending_.front();
      pending_.pop_front();
      if (event.kind == kRepaint && visible_) Paint(event.value);
      if (event.kind == kMouseMove) hover_ = event.value;
    }
  }

  std::string lastMessage;
  std::uint64_t checksum = 0;

 private:
  static constexpr int kTrackWidth = 331;  // the bar's track, in pixels
  static constexpr int kTrackHeight = 17;
  enum Kind { kRepaint, kMouseMove };
  struct Event {
    Kind kind;
    int value;
  };
  void Paint(int width) {
    for (int y = 0; y < kTrackHeight; ++y) {
      for (int x = 0; x < kTrackWidth; ++x) {
        pixels_[y * kTrackWidth + x] = x < width ? 0x0000A000u : 0x00F0F0F0u;
      }
    }
    checksum += pixels_[kTrackWidth / 2] + static_cast<std::uint64_t>(hover_);
  }
  std::deque<Event> pending_;
  std::uint32_t pixels_[kTrackWidth * kTrackHeight] = {};
  std::string caption_;
  int width_ = 0;
  int hover_ = 0;
  bool visible_ = false;
};

class BenchPlatform final : public kestrova::ui::Form1Platform {
 public:
  unsigned DriveType(const std::string& root) override {
    return kestrova::volume::QueryDriveType(root);
  }
  void OpenWebSite(const std::string&) override {}
};

// Loads Form1 over `controls`, selects the image and times one Repair click.
template <typename Controls>
double TimedRepairClick(Controls& controls) {
  BenchPlatform platform;
  kestrova::ui::Form1 form(controls, platform);
  form.Form_Load();
  form.List1_Click();
  Must(controls.repairEnabled, "the window's analysis refused the image");
  const auto start = Clock::now();
  form.Command1_Click();
  return Seconds(Clock::now() - start);
}

}  // namespace

double WindowPass() {
  BusyControls controls;
  const double seconds = TimedRepairClick(controls);
  Must(controls.checksum != 0, "the window never painted");
  Must(controls.lastMessage.find("耗时") != std::string::npos, "the window's pass failed");
  return seconds;
}

#ifdef KESTROVA_BENCH_QT
namespace {

// The same controls on the Qt window's own bar, a raised face that the pass widens along its
// track as the window does, in a shown (offscreen) window: every step sets its width and lets Qt
// process its events, which repaints it.
class QtControls final : public ListControls {
 public:
  QtControls() : bar_(QColor::fromRgb(static_cast<QRgb>(ui::kProgressFace)), &window_) {
    window_.resize(kWindowWidth, kWindowHeight);
    bar_.setGeometry(Pixels(ui::kProgressRect.left), kBarTop, Pixels(ui::kProgressRect.width),
                     Pixels(ui::kProgressRect.height));
    window_.show();
    QCoreApplication::processEvents();
  }
  void SetProgressVisible(bool visible) override { bar_.setVisible(visible); }
  void SetProgressWidth(float percent) override {
    const int track = Pixels(ui::kTrackWidth);
    bar_.resize(std::min(track, static_cast<int>(track * percent / 100.0f + 0.5f)), bar_.height());
  }
  void ShowMessage(const std::string&, const std::string&, int) override {}
  void ProcessPendingEvents() override { QCoreApplication::processEvents(); }

 private:
  static int Pixels(int twips) {
    return static_cast<int>(twips * ui::kDesignDpi / ui::kTwipsPerInch + 0.5);
  }
  static constexpr int kWindowWidth = 391, kWindowHeight = 310, kBarTop = 270;
  QWidget window_;
  ui::qt::RaisedBar bar_;
};

}  // namespace

double QtWindowPass() {
  QtControls controls;
  return TimedRepairClick(controls);
}
#endif

std::shared_ptr<void> StartWindowToolkit([[maybe_unused]] int& argc, [[maybe_unused]] char** argv) {
#ifdef KESTROVA_BENCH_QT
  ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
  return std::make_shared<QApplication>(argc, argv);
#else
  return nullptr;
#endif
}

}  // namespace kestrova::bench
