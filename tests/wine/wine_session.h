// SPDX-License-Identifier: GPL-3.0-or-later
// The Windows programs under Wine: one prefix per test run with drive F: backed by an image file,
// background processes with pipes, and the infected images that the tests repair.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "fat_tools.h"

namespace kestrova::testing::wine {

// The built Windows programs.
std::string WindowExe();  // Kestrova.exe
std::string CliExe();     // kestrova-cli.exe
std::string GuardExe();   // kestrova-guard.exe, beside Kestrova.exe
std::string ProbeExe();   // kestrova-probe.exe, the window's test driver

// The resources of a Windows program, read from its file (resources_test.cpp): the version
// record says the project's version (FILEVERSION x.y.z.0), the licence and the file's own name
// in Simplified Chinese; the manifest asks for the rights, is aware of each monitor's resolution
// and names the supported systems and the version. ExpectManifest returns the manifest.
enum class Rights { kAdministrator, kCaller };
void ExpectVersionRecord(const std::string& exe, const std::string& fileName);
std::string ExpectManifest(const std::string& exe, Rights rights);

// The shared prefix, made on first use and removed when the test program ends.
class Session {
 public:
  static Session& Get();
  ~Session();
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  // The image file behind \\.\F:. Tests put a new image in place with UseImage.
  const std::filesystem::path& Image() const { return image_; }
  void UseImage(const std::filesystem::path& made);
  // The shell prefix that runs a command in this Wine prefix.
  std::string Env() const;
  // The Wine prefix, as WINEPREFIX names it to the programs.
  const std::filesystem::path& Prefix() const { return prefix_; }
  // Runs a Windows program to its end; standard error goes to `stderrFile` when given.
  CommandResult Wine(const std::string& exe, const std::string& arguments,
                     const std::filesystem::path& stderrFile = {}) const;
  // Sets the screen resolution that Windows programs see (dots per inch); takes effect for the
  // programs started afterwards.
  void SetScreenDpi(int dpi);
  void Shutdown();

 private:
  Session();
  TempDir dir_;
  std::filesystem::path prefix_;
  std::filesystem::path image_;
  bool ready_ = false;
};

// A process started in the background with pipes to its standard input and output.
class Background {
 public:
  explicit Background(const std::string& command);
  ~Background();
  Background(const Background&) = delete;
  Background& operator=(const Background&) = delete;

  // The next line of its output, without the line end; empty at the end of the output.
  std::string ReadLine();
  // Closes its standard input.
  void CloseInput();
  // Waits for its end; its exit status, or -1 when it was signalled or did not end within two
  // minutes (it is then killed).
  int Wait();

 private:
  // Waits up to `deadlineMs` for its end, then kills it; its exit status, or -1.
  int End(int deadlineMs);
  pid_t pid_ = -1;
  int input_ = -1;
  int output_ = -1;
  std::string pending_;
};

// Waits until `done()` holds, looking again each time the system tells of a file made, written or
// moved into `folder` (inotify); the bound only keeps a program that never writes from hanging the
// test. Whether `done()` held.
bool AwaitWrites(const std::filesystem::path& folder, const std::function<bool()>& done);

// An infected volume: root folders made hidden and/or system, with neighbours that must stay
// as they are. The root directory spans several clusters.
struct InfectedImage {
  std::vector<std::string> infected;   // root folders that the repair must turn into plain folders
  std::vector<std::string> untouched;  // root entries that keep their attributes
};
// By default FAT32; `mkfsOptions` (for mkfs.fat) and `sizeKiB` make other layouts.
InfectedImage MakeInfectedImage(const std::filesystem::path& image,
                                const std::string& mkfsOptions = "-F 32 -s 1",
                                std::uint64_t sizeKiB = 40 * 1024);

// The four files of the virus's beside the infected folders of MakeInfectedImage: autorun.inf,
// the hidden program x.exe that it runs, and one program copied under the names of the hidden
// folders HS1 and HID2 (HS1.exe, HID2.exe). False when a tool refused.
bool AddVirusFiles(const std::filesystem::path& image);

// Checks a repair byte for byte: exactly the attribute bytes of the infected root entries
// changed, each to a plain folder, and fsck.fat finds nothing wrong.
void ExpectRepairedExactly(const std::filesystem::path& before, const std::filesystem::path& after,
                           const InfectedImage& made);

}  // namespace kestrova::testing::wine
