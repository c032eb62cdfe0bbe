// Benchmarks of the repair, each printed as a ratio against a baseline measured in the same run:
//
//   pass        the repair pass over a 501-cluster root directory (8 sectors per cluster) on an
//               image file, against a bare loop doing the same unbuffered position, read,
//               position, write of each sector (goal: at most 1.10)
//   mattrib     kestrova-cli repairing 1,000 hidden folders, against `mattrib -h -s` run once
//               per folder on the same image
//   window      the pass through Form1 with controls that format and store the progress bar's
//               width and pump a queue of window events after every sector, against the
//               headless pass (goal: at most 1.5)
//   qt          (when built with Qt) the same with a QProgressBar in an offscreen window and
//               QCoreApplication::processEvents as the pump
//
// kestrova_bench [--smoke] [--repeat N] [--dir DIRECTORY]
// --smoke makes everything tiny: it only proves that the benchmarks run.
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "fat_image.h"
#include "fat_tools.h"
#include "repair/engine.h"
#include "ui/form1.h"
#include "volume/drives.h"

#ifdef KESTROVA_BENCH_QT
#include <QApplication>
#include <QProgressBar>
#include <QWidget>
#endif

extern char** environ;

namespace {

namespace fs = std::filesystem;
using kestrova::proof::FatImage;
using kestrova::proof::kImageSectorSize;
using kestrova::testing::Quote;
using kestrova::testing::Run;
using Clock = std::chrono::steady_clock;

constexpr char kDrive = 'F';
constexpr std::uint32_t kSectorsPerCluster = 8;
constexpr std::size_t kFoldersPerCall = 100;

struct Settings {
  bool smoke = false;
  int repeat = 9;
  fs::path directory;
  std::uint32_t rootClusters = 501;
  std::size_t folders = 1000;
};

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

void Must(bool ok, const std::string& what) {
  if (!ok) {
    std::fprintf(stderr, "kestrova_bench: %s\n", what.c_str());
    std::exit(1);
  }
}

void MustRun(const std::string& command) {
  const auto result = Run(command, true);
  Must(result.status == 0, command + " failed:\n" + result.output);
}

// A sparse FAT32 image with 8 sectors per cluster whose root directory has `rootClusters`
// clusters, holding `folders` hidden and system folders.
fs::path MakeImage(const Settings& s, const std::string& name, std::uint32_t rootClusters,
                   std::size_t folders) {
  const fs::path image = s.directory / name;
  MustRun("rm -f " + Quote(image.string()) + " && truncate -s 300M " + Quote(image.string()) +
          " && mkfs.fat -F 32 -s " + std::to_string(kSectorsPerCluster) + " " +
          Quote(image.string()));
  for (std::size_t at = 0; at < folders; at += kFoldersPerCall) {
    std::string paths;
    for (std::size_t i = at; i < std::min(folders, at + kFoldersPerCall); ++i) {
      paths += " " + Quote("::/H" + std::to_string(i));
    }
    MustRun("mmd -i " + Quote(image.string()) + paths);
    MustRun("mattrib -i " + Quote(image.string()) + " +h +s" + paths);
  }
  FatImage fat(image, true);
  const auto used = fat.RootChain()->size();
  if (used < rootClusters) Must(fat.GrowRoot(rootClusters - used, 2), "cannot grow the root");
  return image;
}

std::vector<std::uint64_t> RootSectors(const fs::path& image) {
  const FatImage fat(image, false);
  std::vector<std::uint64_t> sectors;
  const auto chain = fat.RootChain();
  Must(chain.has_value(), "broken root chain");
  for (const std::uint32_t cluster : *chain) {
    const std::uint64_t first = fat.ClusterOffset(cluster) / kImageSectorSize;
    for (std::uint32_t k = 0; k < fat.geometry().sectorsPerCluster; ++k) {
      sectors.push_back(first + k);
    }
  }
  return sectors;
}

// The work a pass does on the disk, and nothing else: unbuffered position, read, position and
// write of each sector, then a flush.
double BareLoop(const fs::path& image, const std::vector<std::uint64_t>& sectors) {
  alignas(4096) static std::uint8_t buffer[kImageSectorSize];
  const auto start = Clock::now();
  const int fd = ::open(image.c_str(), O_RDWR | O_DIRECT | O_CLOEXEC);
  Must(fd >= 0, "cannot open the image unbuffered");
  for (const std::uint64_t sector : sectors) {
    const auto offset = static_cast<off_t>(sector * kImageSectorSize);
    Must(::lseek(fd, offset, SEEK_SET) == offset, "lseek");
    Must(::read(fd, buffer, kImageSectorSize) == kImageSectorSize, "read");
    Must(::lseek(fd, offset, SEEK_SET) == offset, "lseek");
    Must(::write(fd, buffer, kImageSectorSize) == kImageSectorSize, "write");
  }
  ::fsync(fd);
  ::close(fd);
  return Seconds(Clock::now() - start);
}

// The engine's contacts for a pass without a window.
class Headless final : public kestrova::repair::WindowContacts {
 public:
  std::string ListEntryText(std::int16_t) override { return std::string(1, kDrive); }
  std::int16_t FirstSelectedIndex() override { return 0; }
  void SetRepairEnabled(bool enabled) override { repairEnabled = enabled; }
  void ShowMessage(const std::string& text, const std::string&, int) override {
    std::fprintf(stderr, "message: %s\n", text.c_str());
  }
  void SetProgressWidth(float) override {}
  void ProcessPendingEvents() override {}
  bool repairEnabled = false;
};

double HeadlessPass(kestrova::repair::VolumeLayout& layout) {
  Headless window;
  const auto start = Clock::now();
  kestrova::repair::cmdrepair_Click(layout, window);
  return Seconds(Clock::now() - start);
}

kestrova::repair::VolumeLayout Analyse() {
  kestrova::repair::VolumeLayout layout;
  Headless window;
  kestrova::repair::List1_ItemCheck(layout, window, 0);
  Must(window.repairEnabled, "the analysis refused the image");
  return layout;
}

// Controls that do what a window does on each progress step: turn the share into a pixel width
// and a caption, and on each pump drain a queue of pending events and repaint the bar into a
// pixel buffer.
class BusyControls final : public kestrova::ui::Form1Controls {
 public:
  void ListAddItem(const std::string& text) override { items_.push_back(text); }
  void ListClear() override { items_.clear(); }
  std::int16_t ListCount() override { return static_cast<std::int16_t>(items_.size()); }
  std::string ListText(std::int16_t index) override { return items_.at(index); }
  bool ListSelected(std::int16_t index) override { return index == 0; }
  void SetRepairEnabled(bool enabled) override { repairEnabled = enabled; }
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

  bool repairEnabled = false;
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
  std::vector<std::string> items_;
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
  float SecondsTimer() override { return 0.0f; }
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

double WindowPass() {
  BusyControls controls;
  const double seconds = TimedRepairClick(controls);
  Must(controls.checksum != 0, "the window never painted");
  return seconds;
}

#ifdef KESTROVA_BENCH_QT
// The same controls on a real Qt progress bar in a shown (offscreen) window: every step sets the
// bar and lets Qt process its events, which lays out and repaints the bar.
class QtControls final : public kestrova::ui::Form1Controls {
 public:
  QtControls() : bar_(&window_) {
    window_.resize(kWindowWidth, kWindowHeight);
    bar_.setGeometry(kBarLeft, kBarTop, kBarWidth, kBarHeight);
    bar_.setRange(0, kBarSteps);
    window_.show();
    QCoreApplication::processEvents();
  }
  void ListAddItem(const std::string& text) override { items_.push_back(text); }
  void ListClear() override { items_.clear(); }
  std::int16_t ListCount() override { return static_cast<std::int16_t>(items_.size()); }
  std::string ListText(std::int16_t index) override { return items_.at(index); }
  bool ListSelected(std::int16_t index) override { return index == 0; }
  void SetRepairEnabled(bool enabled) override { repairEnabled = enabled; }
  void SetProgressVisible(bool visible) override { bar_.setVisible(visible); }
  void SetProgressWidth(float percent) override {
    bar_.setValue(static_cast<int>(percent / 100.0f * kBarSteps));
  }
  void ShowMessage(const std::string&, const std::string&, int) override {}
  void ProcessPendingEvents() override { QCoreApplication::processEvents(); }
  bool repairEnabled = false;

 private:
  static constexpr int kWindowWidth = 391, kWindowHeight = 310;
  static constexpr int kBarLeft = 30, kBarTop = 270, kBarWidth = 331, kBarHeight = 17;
  static constexpr int kBarSteps = 1000;
  QWidget window_;
  QProgressBar bar_;
  std::vector<std::string> items_;
};

double QtWindowPass() {
  QtControls controls;
  return TimedRepairClick(controls);
}
#endif

double TimeCommand(const std::vector<std::string>& argv) {
  std::vector<char*> args;
  std::vector<std::string> copies = argv;
  for (auto& a : copies) args.push_back(a.data());
  args.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  const auto start = Clock::now();
  pid_t pid = -1;
  Must(posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ) == 0,
       "cannot start " + argv[0]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  const double seconds = Seconds(Clock::now() - start);
  posix_spawn_file_actions_destroy(&actions);
  Must(WIFEXITED(status) && WEXITSTATUS(status) == 0, argv[0] + " failed");
  return seconds;
}

// Prints the medians of both sides and the median of the ratios of runs made side by side (the
// disk's speed drifts between runs far more than the two sides differ).
void PrintRatio(const char* name, const std::vector<double>& measured,
                const std::vector<double>& baseline, const char* goal) {
  std::vector<double> ratios;
  for (std::size_t i = 0; i < measured.size(); ++i) ratios.push_back(measured[i] / baseline[i]);
  std::printf("%-8s %10.4f s vs %10.4f s   ratio %.3f   %s\n", name, Median(measured),
              Median(baseline), Median(ratios), goal);
}

void PassBenchmarks(const Settings& s) {
  const fs::path image = MakeImage(s, "pass.img", s.rootClusters, 0);
  Must(kestrova::volume::RegisterDrive(kDrive, image.string()), "cannot register the drive");
  const auto sectors = RootSectors(image);
  auto layout = Analyse();
  Must(layout.rootClusterCount == static_cast<std::int32_t>(s.rootClusters),
       "unexpected root size");
  std::vector<double> pass, bare, window, headless;
  // Interleaved, and each pair in both orders, so that drifts of the machine and of its disk
  // cache touch both sides alike.
  for (int r = 0; r < s.repeat; ++r) {
    if (r % 2 == 0) {
      bare.push_back(BareLoop(image, sectors));
      pass.push_back(HeadlessPass(layout));
      window.push_back(WindowPass());
      headless.push_back(HeadlessPass(layout));
    } else {
      pass.push_back(HeadlessPass(layout));
      bare.push_back(BareLoop(image, sectors));
      headless.push_back(HeadlessPass(layout));
      window.push_back(WindowPass());
    }
  }
#ifdef KESTROVA_BENCH_QT
  std::vector<double> qtWindow, qtHeadless;
  for (int r = 0; r < s.repeat; ++r) {
    qtWindow.push_back(QtWindowPass());
    qtHeadless.push_back(HeadlessPass(layout));
  }
#endif
  if (std::getenv("KESTROVA_BENCH_VERBOSE")) {
    for (int r = 0; r < s.repeat; ++r) {
      std::printf("  run %d: bare %.4f pass %.4f window %.4f headless %.4f\n", r, bare[r], pass[r],
                  window[r], headless[r]);
    }
  }
  std::printf("root directory: %zu clusters, %zu sectors; medians of %d runs\n",
              static_cast<std::size_t>(s.rootClusters), sectors.size(), s.repeat);
  PrintRatio("pass", pass, bare, "(goal <= 1.10)");
  PrintRatio("window", window, headless, "(goal <= 1.5)");
#ifdef KESTROVA_BENCH_QT
  PrintRatio("qt", qtWindow, qtHeadless, "(goal <= 1.5; QProgressBar, offscreen)");
#endif
}

void MattribBenchmark(const Settings& s) {
  const fs::path image = MakeImage(s, "folders.img", 1, s.folders);
  const fs::path work = s.directory / "folders-work.img";
  std::vector<double> ours, theirs;
  for (int r = 0; r < std::max(1, s.repeat / 2); ++r) {
    MustRun("cp --sparse=always " + Quote(image.string()) + " " + Quote(work.string()));
    ours.push_back(TimeCommand({KESTROVA_CLI_PATH, "repair", work.string()}));
    MustRun("cp --sparse=always " + Quote(image.string()) + " " + Quote(work.string()));
    const auto start = Clock::now();
    for (std::size_t i = 0; i < s.folders; ++i) {
      TimeCommand({"mattrib", "-i", work.string(), "-h", "-s", "::/H" + std::to_string(i)});
    }
    theirs.push_back(Seconds(Clock::now() - start));
  }
  std::printf("%zu hidden folders\n", s.folders);
  PrintRatio("mattrib", ours, theirs, "(kestrova-cli / one mattrib per folder)");
}

}  // namespace

int main(int argc, char** argv) {
  Settings s;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--smoke") s.smoke = true;
    if (arg == "--repeat" && i + 1 < argc) s.repeat = std::max(1, std::atoi(argv[++i]));
    if (arg == "--dir" && i + 1 < argc) s.directory = argv[++i];
  }
  if (s.smoke) {
    s.repeat = 1;
    s.rootClusters = 4;
    s.folders = 20;
  }
  std::unique_ptr<kestrova::testing::TempDir> temp;
  if (s.directory.empty()) {
    temp = std::make_unique<kestrova::testing::TempDir>();
    s.directory = temp->path();
  }
  ::setenv("MTOOLS_SKIP_CHECK", "1", 1);
#ifdef KESTROVA_BENCH_QT
  ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
  QApplication application(argc, argv);
#endif
  PassBenchmarks(s);
  MattribBenchmark(s);
  return 0;
}
