// SPDX-License-Identifier: GPL-3.0-or-later
// Benchmarks of the repair, each printed as a ratio against a baseline measured in the same run.
// Every run works on a fresh copy of one image: a 501-cluster root directory (8 sectors per
// cluster) holding 1,000 hidden and system folders.
//
//   mattrib     kestrova-cli repair, its journal and flush included, against one
//               `mattrib -h -s '::/*'` that makes the same bytes (goal: at most 1.0), and against
//               that mattrib followed by a flush of the image; also the bytes that kestrova-cli
//               wrote to the volume against the bytes of the sectors that changed (goal: equal)
//   pass        the repair pass, against a bare loop doing the unbuffered I/O of the root: read
//               the root a megabyte at a time, write the changed sectors, flush; and against the
//               same loop reading every sector that the pass reads (boot sector, FAT, root, the
//               clusters that the verdicts look into), each once, in runs of up to a megabyte
//   window      the pass through Form1 with controls that format and store the progress bar's
//               width after every transfer and pump a queue of window events at Form1's pace,
//               against the headless pass writing its journal as the window's does (goal: at
//               most 1.5)
//   qt          (when built with Qt) the same with the Qt window's own bar in an offscreen
//               window and QCoreApplication::processEvents as the pump
//   analysis    the analysis on the open volume of a large volume (FAT32 and exFAT of 32 GiB,
//               16 KiB clusters, the FAT full of chains), which scans the whole FAT for links
//               into the root, against one unbuffered read of the FAT in 1 MiB transfers on an
//               open file; also the bytes it read, and whether it read any sector of the FAT
//               twice (goal: never)
//   look        a guard's look at the stick: judged through a mounted file system (the image's
//               root copied into a folder, each folder's hidden and system bits kept as Wine
//               keeps them), and raw, read-only, on a fresh copy of the image; both against
//               listing that folder alone (readdir and lstat of each entry; goal: under a second)
//   moved       the analysis of a stick whose blank folder (hidden, named U+00A0) holds the
//               user's 10,000 moved files, which it reads to the last entry, against one
//               unbuffered read of that folder's clusters
//   walk        the walk that proves a removal frees nothing of another's, on volumes of 32 GiB
//               holding 2,000 folders of 50 files, against one unbuffered read of every
//               directory cluster; also the bytes and reads it took
//   journals    a repair through the drive passes as both front ends run it, a fix after it and
//               the undo of the repair, with the journals and quarantines of N other sticks in
//               the journal folder (--other-journals N, default 500), against the same with an
//               empty folder (goal: at most 1.05); also the time of one listing of that folder
//
// kestrova_bench [--smoke] [--pass] [--look] [--moved] [--journals] [--large]
//                [--other-journals N] [--repeat N] [--dir DIRECTORY]
// --smoke makes everything tiny: it only proves that the benchmarks run. --pass runs the repair
// against mattrib and the pass alone, --look the look alone, --moved the moved files' analysis
// alone, --journals the journals alone, --large the analysis and the walk of the large volumes
// alone.
#include <dirent.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
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

#include "exfat_tools.h"
#include "fat32_volume.h"
#include "fat_image.h"
#include "fat_tools.h"
#include "format/codepage.h"
#include "repair/drive_use.h"
#include "repair/engine.h"
#include "repair/journals.h"
#include "repair/listed_root.h"
#include "repair/ownership.h"
#include "repair/quarantine.h"
#include "volume/drives.h"
#include "window_bench.h"
#include "words/messages.h"

extern char** environ;

void kestrova::bench::Must(bool ok, const std::string& what) {
  if (!ok) {
    std::fprintf(stderr, "kestrova_bench: %s\n", what.c_str());
    std::exit(1);
  }
}

namespace {

using kestrova::bench::Must;
using kestrova::bench::WindowPass;
#ifdef KESTROVA_BENCH_QT
using kestrova::bench::QtWindowPass;
#endif
namespace fs = std::filesystem;
using kestrova::proof::FatImage;
using kestrova::proof::kImageSectorSize;
using kestrova::repair::Utf8ToUtf16;
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
  std::uint64_t largeVolumeGiB = 32;
  std::size_t treeFolders = 2000;  // the ownership walk's tree
  std::size_t treeFiles = 50;
  bool lookOnly = false;            // --look: the look benchmark alone
  std::size_t movedFiles = 10000;   // the files in the blank folder of the moved-files benchmark
  bool movedOnly = false;           // --moved: that benchmark alone
  bool journalsOnly = false;        // --journals: the journals benchmark alone
  bool largeOnly = false;           // --large: the analysis and the walk of the large volumes alone
  bool passOnly = false;            // --pass: the repair against mattrib and the pass alone
  std::size_t otherJournals = 500;  // of other sticks, in the journal folder
};

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

// One paired run: the two measurements in an order that alternates from run to run, so that
// neither always comes first (and finds the caches as the other left them).
template <typename First, typename Second>
void InAlternatingOrder(int run, First first, Second second) {
  if (run % 2 == 0) {
    first();
    second();
  } else {
    second();
    first();
  }
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
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

// The sectors in which two images differ.
std::vector<std::uint64_t> ChangedSectors(const fs::path& a, const fs::path& b) {
  std::vector<std::uint64_t> sectors;
  for (const auto& difference : kestrova::proof::CompareImages(a, b)) {
    const std::uint64_t sector = difference.offset / kImageSectorSize;
    if (sectors.empty() || sectors.back() != sector) sectors.push_back(sector);
  }
  return sectors;
}

// The unbuffered I/O that the repair of the root needs, and nothing else: read the root's sectors
// a megabyte at a time where they are contiguous, write back the sectors that change (adjacent
// ones together), flush.
double BareLoop(const fs::path& image, const std::vector<std::uint64_t>& rootSectors,
                const std::vector<std::uint64_t>& changed) {
  constexpr std::size_t kChunk = 1 << 20;
  static const kestrova::volume::AlignedBuffer buffer(kChunk);
  auto* bytes = const_cast<std::uint8_t*>(buffer.bytes().data());
  const auto start = Clock::now();
  const int fd = ::open(image.c_str(), O_RDWR | O_DIRECT | O_CLOEXEC);
  Must(fd >= 0, "cannot open the image unbuffered");
  auto runs = [&](const std::vector<std::uint64_t>& sectors, auto&& transfer) {
    for (std::size_t i = 0; i < sectors.size();) {
      std::size_t end = i + 1;
      while (end < sectors.size() && sectors[end] == sectors[end - 1] + 1 &&
             (end - i + 1) * kImageSectorSize <= kChunk) {
        ++end;
      }
      const auto length = (end - i) * kImageSectorSize;
      const auto offset = static_cast<off_t>(sectors[i] * kImageSectorSize);
      Must(transfer(fd, bytes, length, offset) == static_cast<ssize_t>(length), "transfer");
      i = end;
    }
  };
  runs(rootSectors,
       [](int f, std::uint8_t* b, std::size_t n, off_t o) { return ::pread(f, b, n, o); });
  runs(changed,
       [](int f, std::uint8_t* b, std::size_t n, off_t o) { return ::pwrite(f, b, n, o); });
  Must(::fsync(fd) == 0, "fsync");
  ::close(fd);
  return Seconds(Clock::now() - start);
}

// Opens the drive of the image for the engine.
kestrova::volume::Volume OpenDrive(char drive, kestrova::volume::Access access) {
  auto opened =
      kestrova::volume::Volume::Open(kestrova::volume::DriveTarget::OfLetter(drive), access);
  Must(opened.has_value(), "cannot open the volume");
  return std::move(*opened);
}

// The pass without a window; with `journaled`, it writes its journal where the window's pass
// writes it.
double HeadlessPass(const kestrova::repair::VolumeLayout& layout, bool journaled = false) {
  const auto start = Clock::now();
  auto volume = OpenDrive(kDrive, kestrova::volume::Access::kReadWrite);
  const kestrova::repair::JournalPlace journal{{}, kestrova::repair::JournalFolder(), "repair", {}};
  const auto report =
      kestrova::repair::Repair(volume, &layout, nullptr, journaled ? &journal : nullptr);
  const double seconds = Seconds(Clock::now() - start);
  Must(report && !report->restored.empty(), "the pass found nothing to repair");
  return seconds;
}

kestrova::repair::VolumeLayout Analyse(char drive = kDrive) {
  auto volume = OpenDrive(drive, kestrova::volume::Access::kReadOnly);
  auto layout = kestrova::repair::Analyse(volume);
  Must(layout.has_value(), "the analysis refused the image");
  return std::move(*layout);
}

struct CommandRun {
  double seconds = 0;
  std::uint64_t bytesWritten = 0;  // by write calls, to anything but its standard output and error
};

std::uint64_t FileSize(const fs::path& file) {
  std::error_code error;
  const auto size = fs::file_size(file, error);
  return error ? 0 : size;
}

// The "wchar" line of /proc/PID/io: bytes that the process handed to write calls.
std::uint64_t BytesHandedToWrite(pid_t pid) {
  std::FILE* io = std::fopen(("/proc/" + std::to_string(pid) + "/io").c_str(), "r");
  Must(io != nullptr, "cannot read /proc/PID/io");
  char line[128];
  std::uint64_t value = 0;
  while (std::fgets(line, sizeof line, io)) {
    unsigned long long n = 0;
    if (std::sscanf(line, "wchar: %llu", &n) == 1) value = n;
  }
  std::fclose(io);
  return value;
}

// Runs a command with its output in files, times it, and counts the bytes it wrote elsewhere:
// the process is left unreaped until its counters are read.
CommandRun TimeCommand(const std::vector<std::string>& argv, const fs::path& scratch) {
  std::vector<char*> args;
  std::vector<std::string> copies = argv;
  for (auto& a : copies) args.push_back(a.data());
  args.push_back(nullptr);
  const fs::path out = scratch / "command.out", err = scratch / "command.err";
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, out.c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, err.c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0644);
  const auto start = Clock::now();
  pid_t pid = -1;
  Must(posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ) == 0,
       "cannot start " + argv[0]);
  siginfo_t info{};
  Must(::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT) == 0, "waitid");
  CommandRun run;
  run.seconds = Seconds(Clock::now() - start);
  run.bytesWritten = BytesHandedToWrite(pid);
  int status = 0;
  ::waitpid(pid, &status, 0);
  posix_spawn_file_actions_destroy(&actions);
  Must(WIFEXITED(status) && WEXITSTATUS(status) == 0, argv[0] + " failed");
  const std::uint64_t output = FileSize(out) + FileSize(err);
  run.bytesWritten = run.bytesWritten >= output ? run.bytesWritten - output : 0;
  return run;
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

// Puts a file's bytes on the disk and out of the page cache.
void DropCache(const fs::path& file) {
  const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
  Must(fd >= 0 && ::fsync(fd) == 0, "cannot flush " + file.string());
  Must(::posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED) == 0, "cannot drop the cache");
  ::close(fd);
}

// The benchmark image and what a repair makes of it.
struct Fixture {
  fs::path image;  // never written by a benchmark
  fs::path work;   // the fresh copy that each run repairs
  std::vector<std::uint64_t> rootSectors;
  std::vector<std::uint64_t> changed;  // the sectors that a repair changes
  // A fresh copy, as a drive just plugged in: on the disk and not in the page cache. The copy's
  // own writing is not charged to the run that follows, and neither side finds it cached.
  void Fresh() const {
    Must(kestrova::testing::CopySparse(image, work), "cannot copy the image");
    DropCache(work);
  }
};

Fixture MakeFixture(const Settings& s) {
  Fixture f;
  f.image = MakeImage(s, "folders.img", s.rootClusters, s.folders);
  f.work = s.directory / "work.img";
  f.rootSectors = RootSectors(f.image);
  // What mattrib makes of the image is the reference result.
  f.Fresh();
  MustRun("mattrib -i " + Quote(f.work.string()) + " -h -s '::/*'");
  f.changed = ChangedSectors(f.image, f.work);
  Must(!f.changed.empty(), "mattrib changed nothing");
  const fs::path reference = s.directory / "reference.img";
  Must(kestrova::testing::CopySparse(f.work, reference), "cannot copy the image");
  f.Fresh();
  MustRun(Quote(KESTROVA_CLI_PATH) + " repair " + Quote(f.work.string()) + " >/dev/null");
  Must(kestrova::proof::CompareImages(reference, f.work, 1).empty(),
       "kestrova-cli and mattrib made different bytes");
  Must(kestrova::volume::RegisterDrive(kDrive, f.work.string()), "cannot register the drive");
  return f;
}

// Puts what a program wrote to a file on the disk: the seconds it took.
double FlushFile(const fs::path& file) {
  const auto start = Clock::now();
  const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
  Must(fd >= 0 && ::fsync(fd) == 0, "cannot flush " + file.string());
  ::close(fd);
  return Seconds(Clock::now() - start);
}

void PeerBenchmark(const Settings& s, const Fixture& f) {
  std::vector<double> ours, theirs, theirsFlushed;
  std::vector<std::uint64_t> written;
  const fs::path journal = s.directory / "peer.journal";
  for (int r = 0; r < s.repeat; ++r) {
    const auto runOurs = [&] {
      f.Fresh();
      fs::remove(journal);
      const CommandRun run =
          TimeCommand({KESTROVA_CLI_PATH, "repair", "--journal", journal.string(), f.work.string()},
                      s.directory);
      ours.push_back(run.seconds);
      // The bytes that reached the volume: the journal's go to the system's disk.
      const std::uint64_t journalBytes = FileSize(journal);
      written.push_back(run.bytesWritten >= journalBytes ? run.bytesWritten - journalBytes : 0);
    };
    const auto runTheirs = [&] {
      f.Fresh();
      const double seconds =
          TimeCommand({"mattrib", "-i", f.work.string(), "-h", "-s", "::/*"}, s.directory).seconds;
      theirs.push_back(seconds);
      theirsFlushed.push_back(seconds + FlushFile(f.work));
    };
    InAlternatingOrder(r, runOurs, runTheirs);
  }
  std::printf("%zu hidden folders in a root of %zu sectors; %zu sectors change\n", s.folders,
              f.rootSectors.size(), f.changed.size());
  PrintRatio("mattrib", ours, theirs,
             "(kestrova-cli repair / one mattrib -h -s '::/*'; goal <= 1.0)");
  PrintRatio("flushed", ours, theirsFlushed,
             "(the same / mattrib, then its writes flushed to the disk as the repair flushes)");
  std::sort(written.begin(), written.end());
  std::printf("%-8s %10llu bytes written (median) vs %llu bytes in the changed sectors   %s\n",
              "writes", static_cast<unsigned long long>(written[written.size() / 2]),
              static_cast<unsigned long long>(f.changed.size() * kImageSectorSize),
              "(goal: equal; the journal's bytes, written elsewhere, not counted)");
}

void PassBenchmarks(const Settings& s, const Fixture& f) {
  std::vector<double> pass, bare, window, headless;
  // Interleaved, and each pair in both orders, so that drifts of the machine and of its disk
  // cache touch both sides alike. The analysis is not timed; only the pass or the click is.
  // The pass as the bare loop does it (no journal), and as the window does it (its journal too).
  const auto timedPass = [&](bool journaled) {
    f.Fresh();
    auto layout = Analyse();
    return HeadlessPass(layout, journaled);
  };
  const auto timedBare = [&] {
    f.Fresh();
    return BareLoop(f.work, f.rootSectors, f.changed);
  };
  const auto timedWindow = [&] {
    f.Fresh();
    return WindowPass();
  };
  // Every sector that the pass reads, each once: the boot sector, the FAT (the root's chain and
  // the scan for links into the root), the root and the clusters that the verdicts look into.
  std::vector<std::uint64_t> needed;
  {
    f.Fresh();
    auto layout = Analyse();
    kestrova::testing::LoggingOpener log(kestrova::volume::PlatformDeviceOpener());
    {
      const kestrova::testing::ScopedBackend scoped(log);
      HeadlessPass(layout);
    }
    for (const auto& event : log.events) {
      if (event.call != kestrova::testing::DeviceCall::kRead) continue;
      for (std::uint64_t at = event.offset; at < event.offset + event.bytes;
           at += kImageSectorSize) {
        needed.push_back(at / kImageSectorSize);
      }
    }
    std::sort(needed.begin(), needed.end());
    needed.erase(std::unique(needed.begin(), needed.end()), needed.end());
  }
  std::vector<double> passAgain, bareNeeded;
  const auto timedNeeded = [&] {
    f.Fresh();
    return BareLoop(f.work, needed, f.changed);
  };
  for (int r = 0; r < s.repeat; ++r) {
    InAlternatingOrder(
        r, [&] { bare.push_back(timedBare()); }, [&] { pass.push_back(timedPass(false)); });
    InAlternatingOrder(
        r, [&] { bareNeeded.push_back(timedNeeded()); },
        [&] { passAgain.push_back(timedPass(false)); });
    InAlternatingOrder(
        r, [&] { window.push_back(timedWindow()); }, [&] { headless.push_back(timedPass(true)); });
  }
#ifdef KESTROVA_BENCH_QT
  std::vector<double> qtWindow, qtHeadless;
  for (int r = 0; r < s.repeat; ++r) {
    f.Fresh();
    qtWindow.push_back(QtWindowPass());
    qtHeadless.push_back(timedPass(true));
  }
#endif
  if (std::getenv("KESTROVA_BENCH_VERBOSE")) {
    for (int r = 0; r < s.repeat; ++r) {
      std::printf("  run %d: bare %.4f pass %.4f window %.4f headless %.4f\n", r, bare[r], pass[r],
                  window[r], headless[r]);
    }
  }
  PrintRatio("pass", pass, bare, "(the pass / the bare I/O of the root, its writes and flush)");
  std::printf("%-8s %zu sectors read by the pass, each once, against %zu of the root\n", "needs",
              needed.size(), f.rootSectors.size());
  PrintRatio("all I/O", passAgain, bareNeeded,
             "(the pass / the bare I/O of every sector it reads, once, its writes and flush)");
  PrintRatio("window", window, headless, "(goal <= 1.5)");
#ifdef KESTROVA_BENCH_QT
  PrintRatio("qt", qtWindow, qtHeadless, "(goal <= 1.5; the Qt window's bar, offscreen)");
#endif
}

// Fills `folder` with a journal and a quarantine for each of `count` other sticks, named as the
// passes name them, none of them of the volume with `serial`: a journal of eight sectors and a
// quarantine of one removed file of 1 KiB, about what a clean of a small stick keeps.
void FillOtherSticks(const fs::path& folder, std::size_t count, std::uint32_t serial) {
  namespace repair = kestrova::repair;
  fs::create_directories(folder);
  const std::time_t first = 1767225600;  // 2026-01-01
  for (std::size_t i = 0; i < count; ++i) {
    const auto theirs = serial ^ static_cast<std::uint32_t>(i + 1);
    const repair::VolumeIdentity volume{repair::FileSystem::kFat32, theirs, 7864320, 512};
    repair::Journal journal{volume, {}};
    for (std::int64_t sector = 0; sector < 8; ++sector) {
      journal.sectors.push_back({32 + sector, std::vector<std::uint8_t>(512, 0x11),
                                 std::vector<std::uint8_t>(512, 0x22)});
    }
    repair::QuarantinedFile file;
    file.path = file.longName = "Photos.lnk";
    file.shortName = "PHOTOS.LNK";
    file.size = 1024;
    file.bytes.assign(1024, 0x4C);
    const std::time_t when = first + static_cast<std::time_t>(i) * 3607;
    std::tm local{};
    ::localtime_r(&when, &local);
    const fs::path journalPath =
        folder / repair::JournalFileName("clean", "STICK" + std::to_string(i), theirs, local);
    const auto write = [](const fs::path& path, const std::vector<std::uint8_t>& bytes) {
      std::FILE* out = std::fopen(path.c_str(), "wb");
      Must(out && std::fwrite(bytes.data(), 1, bytes.size(), out) == bytes.size() &&
               std::fclose(out) == 0,
           "cannot write " + path.string());
    };
    write(journalPath, repair::EncodeJournal(journal));
    write(repair::QuarantineOf(journalPath), repair::EncodeQuarantine({volume, {file}}));
  }
}

// A repair, a fix after it and the undo of the repair through the drive passes, each on a fresh
// copy of the image, with the journal folder empty and with the files of other sticks in it.
void JournalsBenchmark(const Settings& s, const Fixture& f) {
  namespace repair = kestrova::repair;
  const auto target = kestrova::volume::DriveTarget::OfLetter(kDrive);
  const std::uint32_t serial = repair::IdentityOf(Analyse()).serial;
  const fs::path empty = s.directory / "journals-empty", crowded = s.directory / "journals-others";
  fs::remove_all(empty);
  fs::remove_all(crowded);
  fs::create_directories(empty);
  FillOtherSticks(crowded, s.otherJournals, serial);
  // The files were written at the top, as the first versions kept them: the first look moves them
  // into their volumes' folders, once.
  const auto arrangeStart = Clock::now();
  Must(repair::JournalFolderFiles(crowded).AnyJournal(), "the folder of other sticks is gone");
  const double arranged = Seconds(Clock::now() - arrangeStart);
  Must(fs::exists(crowded / repair::kLayoutMark), "the files at the top were not moved");
  struct Times {
    std::vector<double> repair, fix, undo;
  } alone, among;
  const auto steps = [&](const fs::path& folder, Times& times) {
    f.Fresh();
    repair::JournalPlace place{{}, folder, "repair", {}};
    auto start = Clock::now();
    const auto repaired = repair::RepairDrive(target, nullptr, place, nullptr);
    times.repair.push_back(Seconds(Clock::now() - start));
    Must(repaired && !repaired->report.restored.empty() && !repaired->finished,
         "the repair found nothing to repair");
    place.what = "fix";
    start = Clock::now();
    const auto fixed = repair::FixDrive(target, nullptr, {}, place, nullptr);
    times.fix.push_back(Seconds(Clock::now() - start));
    Must(fixed && fixed->report.sectorsWritten == 0, "the fix after the repair changed something");
    start = Clock::now();
    const auto undone = repair::UndoChange(repaired->report.journal, target, nullptr);
    times.undo.push_back(Seconds(Clock::now() - start));
    Must(undone && undone->sectorsWritten > 0, "the undo wrote nothing");
    fs::remove(repaired->report.journal);
  };
  for (int r = 0; r < s.repeat; ++r) {
    InAlternatingOrder(
        r, [&] { steps(empty, alone); }, [&] { steps(crowded, among); });
  }
  std::vector<double> listings;
  std::size_t listed = 0;
  for (int r = 0; r < s.repeat; ++r) {
    const auto start = Clock::now();
    const repair::JournalFolderFiles files(crowded);
    listed = files.Journals().size() + files.Quarantines().size();
    listings.push_back(Seconds(Clock::now() - start));
  }
  Must(listed == 2 * s.otherJournals, "the listing missed files of the folder");
  std::printf("the journals and quarantines of %zu other sticks in the journal folder\n",
              s.otherJournals);
  PrintRatio("repair", among.repair, alone.repair,
             "(the repair pass of a drive, among them / with an empty folder; goal <= 1.05)");
  PrintRatio("fix", among.fix, alone.fix, "(a fix after it, which finds nothing to do; the same)");
  PrintRatio("undo", among.undo, alone.undo, "(the undo of the repair; the same)");
  std::printf("%-8s %10.4f s for one listing of the folder's %zu files (`journals`)\n", "listing",
              Median(listings), listed);
  std::printf("%-8s %10.4f s to move them from the top into their volumes' folders (once)\n",
              "arrange", arranged);
}

// Lists a folder as the bare baseline of a look: readdir, and lstat of each entry. The entries.
std::size_t ListAlone(const fs::path& folder) {
  DIR* dir = ::opendir(folder.c_str());
  Must(dir != nullptr, "cannot list " + folder.string());
  std::size_t entries = 0;
  while (const dirent* entry = ::readdir(dir)) {
    struct stat info {};
    if (::fstatat(::dirfd(dir), entry->d_name, &info, AT_SYMLINK_NOFOLLOW) == 0) ++entries;
  }
  ::closedir(dir);
  return entries;
}

void LookBenchmark(const Settings& s, const Fixture& f) {
  const fs::path root = s.directory / "look-root";
  fs::remove_all(root);
  fs::create_directories(root);
  MustRun("mcopy -s -n -Q -i " + Quote(f.image.string()) + " ::/ " + Quote(root.string()));
  for (const auto& entry : fs::directory_iterator(root)) {
    Must(::setxattr(entry.path().c_str(), "user.DOSATTRIB", "0x6", 3, 0) == 0,
         "this file system keeps no user attributes");
  }
  const kestrova::repair::MountedVolume mounted{root, kestrova::repair::FileSystem::kFat32, "", 0,
                                                kSectorsPerCluster * 512};
  std::vector<double> listed, raw, alone;
  for (int r = 0; r < s.repeat; ++r) {
    auto start = Clock::now();
    const auto look = kestrova::repair::LookThroughFileSystem(mounted);
    listed.push_back(Seconds(Clock::now() - start));
    Must(look && look->layout.findings.hidden.size() == s.folders, "the look missed folders");
    f.Fresh();
    start = Clock::now();
    auto opened =
        kestrova::volume::Volume::Open(kestrova::volume::DriveTarget::OfPath(f.work.string()),
                                       kestrova::volume::Access::kReadOnly);
    Must(opened.has_value(), "cannot open the image");
    const auto analysed = kestrova::repair::Analyse(*opened);
    raw.push_back(Seconds(Clock::now() - start));
    Must(analysed && analysed->findings.hidden.size() == s.folders, "the raw look missed folders");
    start = Clock::now();
    Must(ListAlone(root) == s.folders + 2, "the listing missed folders");
    alone.push_back(Seconds(Clock::now() - start));
  }
  PrintRatio("look fs", listed, alone, "(through the file system / listing the root; goal < 1 s)");
  PrintRatio("look raw", raw, alone,
             "(raw, read-only, fresh image / listing the root; goal < 1 s)");
}

// A large volume for the analysis benchmark, and where its FAT in use lies.
struct LargeVolume {
  const char* name;
  char drive;
  fs::path image;
  std::uint64_t fatStart = 0;  // bytes
  std::uint64_t fatBytes = 0;
};

constexpr std::size_t kFatTransfer = 1 << 20;
constexpr std::uint32_t kChainClusters = 64;  // files of 1 MiB

std::uint32_t Le32(const std::vector<std::uint8_t>& bytes, std::size_t at) {
  return static_cast<std::uint32_t>(bytes[at] | bytes[at + 1] << 8 | bytes[at + 2] << 16 |
                                    bytes[at + 3] << 24);
}

// Fills the FAT at byte `fatStart` as files fill a stick: chains of 64 clusters, each ended with
// `end`, over the clusters from `first` up to nine tenths of the volume's `clusters`.
void FillFat(const fs::path& image, std::uint64_t fatStart, std::uint32_t first,
             std::uint32_t clusters, std::uint32_t end) {
  const int fd = ::open(image.c_str(), O_WRONLY | O_CLOEXEC);
  Must(fd >= 0, "cannot open " + image.string());
  const std::uint64_t last = std::uint64_t{clusters} / 10 * 9;
  std::vector<std::uint8_t> block(kFatTransfer);
  for (std::uint64_t cluster = first; cluster < last;) {
    const std::uint64_t at = fatStart + cluster * 4;
    std::size_t n = 0;
    for (; n < block.size() && cluster < last; n += 4, ++cluster) {
      const bool ends = (cluster + 1) % kChainClusters == 0 || cluster + 1 == last;
      const auto value = static_cast<std::uint32_t>(ends ? end : cluster + 1);
      for (int b = 0; b < 4; ++b) block[n + b] = static_cast<std::uint8_t>(value >> (8 * b));
    }
    Must(::pwrite(fd, block.data(), n, static_cast<off_t>(at)) == static_cast<ssize_t>(n),
         "pwrite");
  }
  ::close(fd);
}

LargeVolume MakeLargeFat32(const Settings& s) {
  LargeVolume v{"FAT32", 'G', s.directory / "large-fat32.img"};
  MustRun("truncate -s " + std::to_string(s.largeVolumeGiB) + "G " + Quote(v.image.string()) +
          " && mkfs.fat -F 32 -s 32 " + Quote(v.image.string()));
  const auto g = FatImage(v.image, false).geometry();
  v.fatStart = std::uint64_t{g.reservedSectors} * g.bytesPerSector;
  v.fatBytes = std::uint64_t{g.fatSectors} * g.bytesPerSector;
  for (std::uint32_t copy = 0; copy < g.fatCount; ++copy) {
    FillFat(v.image, v.fatStart + copy * v.fatBytes, g.rootCluster + 1, g.dataClusters, 0x0FFFFFFF);
  }
  return v;
}

LargeVolume MakeLargeExfat(const Settings& s) {
  LargeVolume v{"exFAT", 'H', s.directory / "large-exfat.img"};
  MustRun("truncate -s " + std::to_string(s.largeVolumeGiB) + "G " + Quote(v.image.string()) +
          " && mkfs.exfat -c 16K " + Quote(v.image.string()));
  const auto boot = kestrova::testing::ReadAt(v.image, 0, 512);
  const std::uint64_t sector = std::uint64_t{1} << boot.at(108);
  v.fatStart = Le32(boot, 80) * sector;
  v.fatBytes = Le32(boot, 84) * sector;
  FillFat(v.image, v.fatStart, Le32(boot, 96) + 1, Le32(boot, 92), 0xFFFFFFFF);
  return v;
}

// One unbuffered read of the FAT in use, 1 MiB at a time, on an open file.
double ReadFatOnce(const LargeVolume& v) {
  static const kestrova::volume::AlignedBuffer buffer(kFatTransfer);
  auto* bytes = const_cast<std::uint8_t*>(buffer.bytes().data());
  const int fd = ::open(v.image.c_str(), O_RDONLY | O_DIRECT | O_CLOEXEC);
  Must(fd >= 0, "cannot open the image unbuffered");
  const auto start = Clock::now();
  for (std::uint64_t done = 0; done < v.fatBytes;) {
    const std::size_t n = std::min<std::uint64_t>(kFatTransfer, v.fatBytes - done);
    Must(::pread(fd, bytes, n, static_cast<off_t>(v.fatStart + done)) == static_cast<ssize_t>(n),
         "read of the FAT");
    done += n;
  }
  const double seconds = Seconds(Clock::now() - start);
  ::close(fd);
  return seconds;
}

void AnalysisBenchmark(const Settings& s, const LargeVolume& v) {
  Must(kestrova::volume::RegisterDrive(v.drive, v.image.string()), "cannot register the drive");
  kestrova::testing::LoggingOpener log(kestrova::volume::PlatformDeviceOpener());
  std::vector<double> analysis, baseline;
  const auto timedAnalysis = [&] {
    DropCache(v.image);
    log.events.clear();
    const kestrova::testing::ScopedBackend scoped(log);
    auto volume = OpenDrive(v.drive, kestrova::volume::Access::kReadOnly);
    const auto start = Clock::now();
    const auto layout = kestrova::repair::Analyse(volume);
    analysis.push_back(Seconds(Clock::now() - start));
    Must(layout.has_value(), "the analysis refused the large volume");
  };
  const auto timedBaseline = [&] {
    DropCache(v.image);
    baseline.push_back(ReadFatOnce(v));
  };
  for (int r = 0; r < s.repeat; ++r) {
    InAlternatingOrder(r, timedAnalysis, timedBaseline);
  }
  // The reads of the last analysis: all of them, those of the FAT, and how often the sector of
  // the FAT read most often was read.
  std::uint64_t total = 0, fat = 0;
  std::vector<int> timesRead(v.fatBytes / kImageSectorSize);
  for (const auto& event : log.events) {
    if (event.call != kestrova::testing::DeviceCall::kRead) continue;
    total += event.bytes;
    for (std::uint64_t at = event.offset; at < event.offset + event.bytes; at += kImageSectorSize) {
      if (at < v.fatStart || at >= v.fatStart + v.fatBytes) continue;
      fat += kImageSectorSize;
      ++timesRead[(at - v.fatStart) / kImageSectorSize];
    }
  }
  const int most = *std::max_element(timesRead.begin(), timesRead.end());
  const std::string name = std::string("analysis ") + v.name;
  PrintRatio(name.c_str(), analysis, baseline,
             "(the analysis / one unbuffered read of the FAT in 1 MiB transfers)");
  std::printf("%-8s %llu bytes read, %llu of them of the FAT (%llu bytes); the FAT read %s\n",
              "reads", static_cast<unsigned long long>(total), static_cast<unsigned long long>(fat),
              static_cast<unsigned long long>(v.fatBytes),
              most <= 1 ? "at most once (goal)" : "more than once");
}

// A large volume holding a tree of folders for the ownership walk's benchmark: where its
// directories lie, to read them once in the baseline.
struct TreeVolume {
  const char* name;
  char drive;
  fs::path image;
  std::uint64_t clusterBytes = 0;
  std::vector<std::uint64_t> directoryOffsets{};  // each directory cluster's byte offset, in order
  std::uint32_t freeCluster = 0;                  // a cluster that nothing owns
};

// The bytes of a little-endian value.
void PutLe(std::vector<std::uint8_t>& bytes, std::size_t at, std::uint64_t value, int size) {
  for (int i = 0; i < size; ++i) bytes.at(at + i) = static_cast<std::uint8_t>(value >> (8 * i));
}

void WriteAt(int fd, std::uint64_t offset, const std::vector<std::uint8_t>& bytes) {
  Must(::pwrite(fd, bytes.data(), bytes.size(), static_cast<off_t>(offset)) ==
           static_cast<ssize_t>(bytes.size()),
       "pwrite");
}

// A FAT short entry at `at`: its 11 name bytes, attributes, first cluster and size.
void PutShortEntry(std::vector<std::uint8_t>& bytes, std::size_t at, const std::string& name11,
                   std::uint8_t attributes, std::uint32_t first, std::uint32_t size) {
  std::copy(name11.begin(), name11.end(), bytes.begin() + static_cast<std::ptrdiff_t>(at));
  bytes[at + 11] = attributes;
  PutLe(bytes, at + 20, first >> 16, 2);
  PutLe(bytes, at + 26, first & 0xFFFF, 2);
  PutLe(bytes, at + 28, size, 4);
}

// A long name (UTF-16 units, at most 26) in its entries, the last part first, then the short
// entry that it belongs to: where the next entry goes.
std::size_t PutNamedEntry(std::vector<std::uint8_t>& bytes, std::size_t at,
                          const std::u16string& name, const std::string& name11,
                          std::uint8_t attributes, std::uint32_t first, std::uint32_t size) {
  std::uint8_t sum = 0;
  for (const char c : name11) {
    sum = static_cast<std::uint8_t>(((sum & 1) << 7) + (sum >> 1) + static_cast<std::uint8_t>(c));
  }
  const std::size_t parts = (name.size() + 12) / 13;
  for (std::size_t part = parts; part-- > 0; at += 32) {
    bytes[at] = static_cast<std::uint8_t>((part + 1) | (part + 1 == parts ? 0x40 : 0));
    bytes[at + 11] = 0x0F;
    bytes[at + 13] = sum;
    static constexpr int kSlots[13] = {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30};
    for (std::size_t c = 0; c < 13; ++c) {
      const std::size_t index = part * 13 + c;
      const std::uint16_t unit = index < name.size()    ? name[index]
                                 : index == name.size() ? 0
                                                        : 0xFFFF;
      PutLe(bytes, at + static_cast<std::size_t>(kSlots[c]), unit, 2);
    }
  }
  PutShortEntry(bytes, at, name11, attributes, first, size);
  return at + 32;
}

// The file names of the tree: long names of two long-name entries on FAT.
std::string Digits(std::size_t value, std::size_t width) {
  std::string digits = std::to_string(value);
  return std::string(width > digits.size() ? width - digits.size() : 0, '0') + digits;
}
std::string TreeFileName(std::size_t folder, std::size_t file) {
  return "Photo " + Digits(folder % 10000, 4) + " number " + Digits(file % 1000, 3) + ".jpg";
}

// FAT32: `folders` folders in the root, each holding `files` files of one cluster, as a copy lays
// them down: each folder's cluster, then its files' clusters. Written straight into the image
// that mkfs.fat made (16 KiB clusters); the FSInfo free count becomes unknown.
TreeVolume MakeTreeFat32(const Settings& s, std::size_t folders, std::size_t files) {
  TreeVolume v{.name = "FAT32", .drive = 'J', .image = s.directory / "tree-fat32.img"};
  MustRun("rm -f " + Quote(v.image.string()) + " && truncate -s " +
          std::to_string(s.largeVolumeGiB) + "G " + Quote(v.image.string()) +
          " && mkfs.fat -F 32 -s 32 " + Quote(v.image.string()));
  const auto g = FatImage(v.image, false).geometry();
  v.clusterBytes = std::uint64_t{g.sectorsPerCluster} * g.bytesPerSector;
  const auto clusterOffset = [&](std::uint64_t cluster) {
    return (g.firstDataSector + (cluster - 2) * g.sectorsPerCluster) * g.bytesPerSector;
  };
  std::vector<std::uint32_t> fat(g.dataClusters + 2, 0);
  const std::uint64_t rootBytes = (folders + 1) * 32;
  const auto rootClusters =
      static_cast<std::uint32_t>((rootBytes + v.clusterBytes - 1) / v.clusterBytes);
  std::uint32_t next = g.rootCluster;
  std::vector<std::uint8_t> root(rootClusters * v.clusterBytes, 0);
  for (std::uint32_t i = 0; i < rootClusters; ++i, ++next) {
    fat[next] = i + 1 < rootClusters ? next + 1 : 0x0FFFFFFF;
    v.directoryOffsets.push_back(clusterOffset(next));
  }
  const int fd = ::open(v.image.c_str(), O_WRONLY | O_CLOEXEC);
  Must(fd >= 0, "cannot open " + v.image.string());
  for (std::size_t f = 0; f < folders; ++f) {
    const std::uint32_t folder = next++;
    fat[folder] = 0x0FFFFFFF;
    const std::string name11 = "D" + Digits(f % 10000000, 7) + "   ";
    PutShortEntry(root, f * 32, name11, 0x10, folder, 0);
    std::vector<std::uint8_t> entries(v.clusterBytes, 0);
    PutShortEntry(entries, 0, ".          ", 0x10, folder, 0);
    PutShortEntry(entries, 32, "..         ", 0x10, 0, 0);
    std::size_t at = 64;
    for (std::size_t k = 0; k < files; ++k) {
      const std::uint32_t file = next++;
      fat[file] = 0x0FFFFFFF;
      const std::string shortName = "P" + Digits(f % 1000, 3) + Digits(k % 1000, 3) + " JPG";
      at = PutNamedEntry(entries, at, Utf8ToUtf16(TreeFileName(f, k)), shortName, 0x20, file,
                         static_cast<std::uint32_t>(v.clusterBytes));
    }
    WriteAt(fd, clusterOffset(folder), entries);
    v.directoryOffsets.push_back(clusterOffset(folder));
  }
  for (std::uint32_t i = 0; i < rootClusters; ++i) {
    WriteAt(fd, clusterOffset(g.rootCluster + i),
            std::vector<std::uint8_t>(
                root.begin() + static_cast<std::ptrdiff_t>(i * v.clusterBytes),
                root.begin() + static_cast<std::ptrdiff_t>((i + 1) * v.clusterBytes)));
  }
  // Both FATs from the root cluster on; the first two entries stay as mkfs.fat wrote them.
  std::vector<std::uint8_t> table((next - g.rootCluster) * 4ull);
  for (std::uint32_t c = g.rootCluster; c < next; ++c)
    PutLe(table, (c - g.rootCluster) * 4ull, fat[c], 4);
  for (std::uint32_t copy = 0; copy < g.fatCount; ++copy) {
    WriteAt(fd,
            (g.reservedSectors + std::uint64_t{copy} * g.fatSectors) * g.bytesPerSector +
                g.rootCluster * 4ull,
            table);
  }
  WriteAt(fd, std::uint64_t{g.fsInfoSector} * g.bytesPerSector + 488, {0xFF, 0xFF, 0xFF, 0xFF});
  ::close(fd);
  v.freeCluster = g.dataClusters + 1;
  return v;
}

// exFAT: the same tree, the folders and files contiguous (no FAT chain), their clusters marked in
// the allocation bitmap; the root grows by clusters chained by the FAT.
TreeVolume MakeTreeExfat(const Settings& s, std::size_t folders, std::size_t files) {
  TreeVolume v{.name = "exFAT", .drive = 'K', .image = s.directory / "tree-exfat.img"};
  MustRun("rm -f " + Quote(v.image.string()) + " && truncate -s " +
          std::to_string(s.largeVolumeGiB) + "G " + Quote(v.image.string()) +
          " && mkfs.exfat -c 16K " + Quote(v.image.string()));
  const auto boot = kestrova::testing::ReadAt(v.image, 0, 512);
  const std::uint64_t sector = std::uint64_t{1} << boot.at(108);
  v.clusterBytes = sector << boot.at(109);
  const std::uint64_t fatStart = Le32(boot, 80) * sector;
  const std::uint64_t heap = Le32(boot, 88) * sector;
  const std::uint32_t clusters = Le32(boot, 92);
  const std::uint32_t rootCluster = Le32(boot, 96);
  const auto clusterOffset = [&](std::uint64_t c) { return heap + (c - 2) * v.clusterBytes; };
  // The root as mkfs.exfat left it: its bitmap entry places the bitmap; the tree's sets go after
  // its last entry.
  auto root = kestrova::testing::ReadAt(v.image, clusterOffset(rootCluster), v.clusterBytes);
  std::size_t used = 0;
  std::uint64_t bitmapCluster = 0;
  for (; used < root.size() && root[used] != 0; used += 32) {
    if (root[used] == 0x81) bitmapCluster = Le32(root, used + 20);
  }
  Must(bitmapCluster != 0, "no allocation bitmap");
  std::uint32_t next = rootCluster + 1;
  auto bitmap =
      kestrova::testing::ReadAt(v.image, clusterOffset(bitmapCluster), (clusters + 7) / 8);
  Must(!(bitmap.at((next - 2) / 8) >> ((next - 2) % 8) & 1),
       "the cluster after the root is in use");
  const auto allocate = [&](std::uint32_t c) {
    bitmap.at((c - 2) / 8) |= static_cast<std::uint8_t>(1u << ((c - 2) % 8));
  };
  // Each folder's set takes three entries; the root grows by the clusters they need.
  const std::uint64_t rootBytes = used + folders * 96 + 32;
  const auto rootClusters =
      static_cast<std::uint32_t>((rootBytes + v.clusterBytes - 1) / v.clusterBytes);
  std::vector<std::uint32_t> rootChain{rootCluster};
  for (std::uint32_t i = 1; i < rootClusters; ++i) rootChain.push_back(next++);
  root.resize(rootClusters * v.clusterBytes, 0);
  const int fd = ::open(v.image.c_str(), O_WRONLY | O_CLOEXEC);
  Must(fd >= 0, "cannot open " + v.image.string());
  for (std::size_t f = 0; f < folders; ++f) {
    const std::uint32_t folder = next++;
    allocate(folder);
    const std::string name = "D" + Digits(f % 10000000, 7);
    const auto set = kestrova::testing::ExfatSetBytes({.name = name,
                                                       .attributes = 0x10,
                                                       .flags = 0x03,
                                                       .first = folder,
                                                       .length = v.clusterBytes});
    std::copy(set.begin(), set.end(), root.begin() + static_cast<std::ptrdiff_t>(used + f * 96));
    std::vector<std::uint8_t> entries(v.clusterBytes, 0);
    std::size_t at = 0;
    for (std::size_t k = 0; k < files; ++k) {
      const std::uint32_t file = next++;
      allocate(file);
      const auto fileSet = kestrova::testing::ExfatSetBytes({.name = TreeFileName(f, k),
                                                             .attributes = 0x20,
                                                             .flags = 0x03,
                                                             .first = file,
                                                             .length = v.clusterBytes});
      std::copy(fileSet.begin(), fileSet.end(), entries.begin() + static_cast<std::ptrdiff_t>(at));
      at += fileSet.size();
    }
    WriteAt(fd, clusterOffset(folder), entries);
  }
  for (std::uint32_t i = 0; i < rootClusters; ++i) {
    allocate(rootChain[i]);
    v.directoryOffsets.push_back(clusterOffset(rootChain[i]));
    WriteAt(fd, clusterOffset(rootChain[i]),
            std::vector<std::uint8_t>(
                root.begin() + static_cast<std::ptrdiff_t>(i * v.clusterBytes),
                root.begin() + static_cast<std::ptrdiff_t>((i + 1) * v.clusterBytes)));
    std::vector<std::uint8_t> link(4);
    PutLe(link, 0, i + 1 < rootClusters ? rootChain[i + 1] : 0xFFFFFFFF, 4);
    WriteAt(fd, fatStart + rootChain[i] * 4ull, link);
  }
  for (std::size_t f = 0; f < folders; ++f) {
    v.directoryOffsets.push_back(clusterOffset(rootChain.back() + 1 + f * (files + 1)));
  }
  WriteAt(fd, clusterOffset(bitmapCluster), bitmap);
  ::close(fd);
  v.freeCluster = clusters + 1;
  return v;
}

// One unbuffered read of every directory of the tree, each cluster once, clusters that follow one
// another in one transfer of up to 1 MiB.
double ReadDirectoriesOnce(const TreeVolume& v, std::uint64_t& bytesRead) {
  static const kestrova::volume::AlignedBuffer buffer(kFatTransfer);
  auto* bytes = const_cast<std::uint8_t*>(buffer.bytes().data());
  std::vector<std::uint64_t> offsets = v.directoryOffsets;
  std::sort(offsets.begin(), offsets.end());
  const int fd = ::open(v.image.c_str(), O_RDONLY | O_DIRECT | O_CLOEXEC);
  Must(fd >= 0, "cannot open the image unbuffered");
  bytesRead = 0;
  const auto start = Clock::now();
  for (std::size_t i = 0; i < offsets.size();) {
    std::size_t end = i + 1;
    while (end < offsets.size() && offsets[end] == offsets[end - 1] + v.clusterBytes &&
           (end - i + 1) * v.clusterBytes <= kFatTransfer) {
      ++end;
    }
    const std::size_t n = (end - i) * v.clusterBytes;
    Must(::pread(fd, bytes, n, static_cast<off_t>(offsets[i])) == static_cast<ssize_t>(n),
         "read of a directory");
    bytesRead += n;
    i = end;
  }
  const double seconds = Seconds(Clock::now() - start);
  ::close(fd);
  return seconds;
}

// The walk that proves a removal frees nothing of another's, over a tree of 2,000 folders of
// 50 files, against one read of all of the tree's directories.
void WalkBenchmark(const Settings& s, const TreeVolume& v) {
  using namespace kestrova;
  Must(volume::RegisterDrive(v.drive, v.image.string()), "cannot register the drive");
  testing::LoggingOpener log(volume::PlatformDeviceOpener());
  auto layout = [&] {
    auto opened = OpenDrive(v.drive, volume::Access::kReadOnly);
    const auto analysed = repair::Analyse(opened);
    Must(analysed.has_value(), "the analysis refused the tree's volume");
    return *analysed;
  }();
  // The root's bytes, as a removal reads them before it walks.
  std::vector<std::uint8_t> rootBytes;
  for (const auto& extent : repair::RootExtents(layout)) {
    const auto piece = testing::ReadAt(
        v.image, static_cast<std::uint64_t>(extent.firstSector) * layout.bytesPerSector,
        static_cast<std::size_t>(extent.sectors) * layout.bytesPerSector);
    rootBytes.insert(rootBytes.end(), piece.begin(), piece.end());
  }
  rootBytes.resize(static_cast<std::size_t>(layout.RootBytes()));
  repair::RemovalPlan removal;
  removal.names.push_back("x.vbs");
  removal.freed.Add(v.freeCluster, 0);
  removal.freed.Seal();
  std::vector<double> walk, baseline;
  std::uint64_t directoryBytes = 0;
  for (int r = 0; r < s.repeat; ++r) {
    InAlternatingOrder(
        r,
        [&] {
          DropCache(v.image);
          log.events.clear();
          const testing::ScopedBackend scoped(log);
          auto opened = OpenDrive(v.drive, volume::Access::kReadOnly);
          repair::ProgressTrack track(nullptr);
          const auto start = Clock::now();
          const auto problem =
              repair::ProveNothingElseOwns(opened, layout, rootBytes, removal, track);
          walk.push_back(Seconds(Clock::now() - start));
          Must(!problem.has_value(), "the walk refused the tree's volume: " +
                                         (problem ? repair::messages::Text(*problem) : ""));
        },
        [&] {
          DropCache(v.image);
          baseline.push_back(ReadDirectoriesOnce(v, directoryBytes));
        });
  }
  std::uint64_t total = 0, reads = 0;
  for (const auto& event : log.events) {
    if (event.call != testing::DeviceCall::kRead) continue;
    total += event.bytes;
    ++reads;
  }
  const std::string name = std::string("walk ") + v.name;
  PrintRatio(name.c_str(), walk, baseline,
             "(the ownership walk / one unbuffered read of every directory)");
  std::printf("%-8s %llu bytes in %llu reads, against %llu bytes of directories\n", "reads",
              static_cast<unsigned long long>(total), static_cast<unsigned long long>(reads),
              static_cast<unsigned long long>(directoryBytes));
}
// A stick whose root holds the blank folder of the worm that moves the user's files (hidden and
// system, named U+00A0), holding `files` files of the user's (empty) and the worm's desktop.ini
// last, in clusters that follow the root's: 300 MiB, FAT32 of 4 KiB clusters.
TreeVolume MakeMovedFilesImage(const Settings& s, std::size_t files) {
  TreeVolume v{.name = "moved", .drive = 'M', .image = s.directory / "moved.img"};
  MustRun("rm -f " + Quote(v.image.string()) + " && truncate -s 300M " + Quote(v.image.string()) +
          " && mkfs.fat -F 32 -s 8 -n KINGSTON " + Quote(v.image.string()));
  const auto g = FatImage(v.image, false).geometry();
  v.clusterBytes = std::uint64_t{g.sectorsPerCluster} * g.bytesPerSector;
  const auto clusterOffset = [&](std::uint64_t cluster) {
    return (g.firstDataSector + (cluster - 2) * g.sectorsPerCluster) * g.bytesPerSector;
  };
  // Its entries: . and .., three a file (its long name in two), desktop.ini.
  const std::uint32_t first = g.rootCluster + 1;
  const auto clusters =
      static_cast<std::uint32_t>(((files * 3 + 3) * 32 + v.clusterBytes - 1) / v.clusterBytes);
  std::vector<std::uint8_t> folder(clusters * v.clusterBytes, 0);
  PutShortEntry(folder, 0, ".          ", 0x10, first, 0);
  PutShortEntry(folder, 32, "..         ", 0x10, 0, 0);
  std::size_t at = 64;
  for (std::size_t k = 0; k < files; ++k) {
    const std::string name = "Informe " + Digits(k % 100000, 5) + " final.docx";
    at = PutNamedEntry(folder, at, Utf8ToUtf16(name), "INF" + Digits(k % 100000, 5) + "DOC", 0x20,
                       0, 0);
  }
  PutShortEntry(folder, at, "DESKTOP INI", 0x26, 0, 0);
  auto root = kestrova::testing::ReadAt(v.image, clusterOffset(g.rootCluster), v.clusterBytes);
  std::size_t free = 0;
  while (root.at(free) != 0) free += 32;
  PutNamedEntry(root, free, u"\u00A0", "_~1        ", 0x16, first, 0);
  const int fd = ::open(v.image.c_str(), O_WRONLY | O_CLOEXEC);
  Must(fd >= 0, "cannot open " + v.image.string());
  WriteAt(fd, clusterOffset(g.rootCluster), root);
  WriteAt(fd, clusterOffset(first), folder);
  std::vector<std::uint8_t> chain(clusters * 4ull);
  for (std::uint32_t i = 0; i < clusters; ++i) {
    PutLe(chain, i * 4ull, i + 1 < clusters ? first + i + 1 : 0x0FFFFFFF, 4);
    v.directoryOffsets.push_back(clusterOffset(first + i));
  }
  for (std::uint32_t copy = 0; copy < g.fatCount; ++copy) {
    WriteAt(
        fd,
        (g.reservedSectors + std::uint64_t{copy} * g.fatSectors) * g.bytesPerSector + first * 4ull,
        chain);
  }
  WriteAt(fd, std::uint64_t{g.fsInfoSector} * g.bytesPerSector + 488, {0xFF, 0xFF, 0xFF, 0xFF});
  ::close(fd);
  return v;
}

// The analysis of that stick, which reads the blank folder to its last entry to judge it, against
// one unbuffered read of the folder's clusters alone; each on a stick just plugged in.
void MovedFilesBenchmark(const Settings& s, const TreeVolume& v) {
  using namespace kestrova;
  Must(volume::RegisterDrive(v.drive, v.image.string()), "cannot register the drive");
  std::vector<double> analysis, baseline;
  std::uint64_t folderBytes = 0;
  for (int r = 0; r < s.repeat; ++r) {
    InAlternatingOrder(
        r,
        [&] {
          DropCache(v.image);
          auto opened = OpenDrive(v.drive, volume::Access::kReadOnly);
          const auto start = Clock::now();
          const auto layout = repair::Analyse(opened);
          analysis.push_back(Seconds(Clock::now() - start));
          Must(layout.has_value(), "the analysis refused the moved files' stick");
          const auto& judged = layout->findings.judged;
          Must(std::any_of(judged.begin(), judged.end(),
                           [&](const repair::Judged& j) {
                             return j.evidence == repair::Evidence::kMovedFilesFolder &&
                                    j.files == s.movedFiles + 1;
                           }),
               "the analysis did not count every moved file");
        },
        [&] {
          DropCache(v.image);
          baseline.push_back(ReadDirectoriesOnce(v, folderBytes));
        });
  }
  std::printf("a blank folder of %zu moved files, %llu bytes of entries\n", s.movedFiles,
              static_cast<unsigned long long>(folderBytes));
  PrintRatio("moved", analysis, baseline,
             "(the analysis of the stick / one unbuffered read of the folder's clusters)");
}
}  // namespace

int main(int argc, char** argv) {
  Settings s;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--smoke") s.smoke = true;
    if (arg == "--look") s.lookOnly = true;
    if (arg == "--moved") s.movedOnly = true;
    if (arg == "--journals") s.journalsOnly = true;
    if (arg == "--large") s.largeOnly = true;
    if (arg == "--pass") s.passOnly = true;
    if (arg == "--other-journals" && i + 1 < argc) {
      s.otherJournals = static_cast<std::size_t>(std::max(1, std::atoi(argv[++i])));
    }
    if (arg == "--repeat" && i + 1 < argc) s.repeat = std::max(1, std::atoi(argv[++i]));
    if (arg == "--dir" && i + 1 < argc) s.directory = argv[++i];
  }
  if (s.smoke) {
    s.repeat = 2;
    s.rootClusters = 4;
    s.folders = 20;
    s.largeVolumeGiB = 2;
    s.treeFolders = 20;
    s.treeFiles = 5;
    s.movedFiles = 50;
    s.otherJournals = 20;
  }
  std::unique_ptr<kestrova::testing::TempDir> temp;
  if (s.directory.empty()) {
    temp = std::make_unique<kestrova::testing::TempDir>();
    s.directory = temp->path();
  }
  ::setenv("MTOOLS_SKIP_CHECK", "1", 1);
  // The journals of the repairs go beside the images.
  ::setenv("XDG_STATE_HOME", s.directory.c_str(), 1);
  if (s.movedOnly) {
    MovedFilesBenchmark(s, MakeMovedFilesImage(s, s.movedFiles));
    return 0;
  }
  if (!s.largeOnly) {
    const auto toolkit = kestrova::bench::StartWindowToolkit(argc, argv);
    const Fixture fixture = MakeFixture(s);
    std::printf("medians of %d runs, each on a fresh copy of the image\n", s.repeat);
    if (s.journalsOnly) {
      JournalsBenchmark(s, fixture);
      return 0;
    }
    PeerBenchmark(s, fixture);
    if (s.lookOnly) {
      LookBenchmark(s, fixture);
      return 0;
    }
    PassBenchmarks(s, fixture);
    if (s.passOnly) return 0;
    JournalsBenchmark(s, fixture);
    LookBenchmark(s, fixture);
    MovedFilesBenchmark(s, MakeMovedFilesImage(s, s.movedFiles));
  }
  std::printf("volumes of %llu GiB, 16 KiB clusters, the FAT full of chains of 64 clusters\n",
              static_cast<unsigned long long>(s.largeVolumeGiB));
  AnalysisBenchmark(s, MakeLargeFat32(s));
  AnalysisBenchmark(s, MakeLargeExfat(s));
  std::printf("volumes of %llu GiB, 16 KiB clusters, %zu folders of %zu files each\n",
              static_cast<unsigned long long>(s.largeVolumeGiB), s.treeFolders, s.treeFiles);
  WalkBenchmark(s, MakeTreeFat32(s, s.treeFolders, s.treeFiles));
  WalkBenchmark(s, MakeTreeExfat(s, s.treeFolders, s.treeFiles));
  return 0;
}
