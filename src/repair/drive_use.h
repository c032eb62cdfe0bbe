// SPDX-License-Identifier: GPL-3.0-or-later
// What both front ends do with a drive, written once: look at it, repair it, clean it, undo a
// change on it, and take a mounted drive from its file system for a pass and give it back after.
// Each opens the drive itself and closes it before it returns. What happened comes back as
// values; the words for it are the front ends' own.
#pragma once

#include <filesystem>
#include <functional>
#include <string>

#include "format/problem.h"
#include "format/progress.h"
#include "repair/drive_passes.h"
#include "repair/engine.h"
#include "volume/drives.h"
#include "volume/volume.h"

namespace kestrova::repair {

// Opens the drive with `access` and analyses it, recalling what the quarantines of the journal
// folder record of it: of `listed`, the folder as the caller listed it, else of a listing made now.
Expected<VolumeLayout, Problem> Look(const volume::DriveTarget& target, volume::Access access,
                                     const JournalFolderFiles* listed = nullptr);

// Repair, Clean, MoveBack and Fix as RepairDrive, CleanDrive, MoveBackDrive and FixDrive of
// drive_passes.h run them, on the drive opened for writing. A drive that cannot be opened is a
// problem of the kind `openFailed`.
Expected<DrivePass<RepairReport>, Problem> RepairDrive(
    const volume::DriveTarget& target, const VolumeLayout* analysed, const JournalPlace& journal,
    Progress* progress, const FinishedHook& finished = {},
    ProblemKind openFailed = ProblemKind::kOpenFailed);
Expected<DrivePass<CleanReport>, Problem> CleanDrive(
    const volume::DriveTarget& target, const VolumeLayout* analysed, const JournalPlace& journal,
    Progress* progress, const FinishedHook& finished = {},
    ProblemKind openFailed = ProblemKind::kOpenFailed);
Expected<DrivePass<MoveBackReport>, Problem> MoveBackDrive(
    const volume::DriveTarget& target, const VolumeLayout* analysed, const JournalPlace& journal,
    Progress* progress, const FinishedHook& finished = {},
    ProblemKind openFailed = ProblemKind::kOpenFailed);
Expected<DrivePass<Plan>, Problem> FixDrive(const volume::DriveTarget& target,
                                            const VolumeLayout* analysed, const FixChoice& choice,
                                            const JournalPlace& journal, Progress* progress,
                                            const FinishedHook& finished = {},
                                            ProblemKind openFailed = ProblemKind::kOpenFailed);

Expected<DrivePass<RestoreReport>, Problem> RestoreDrive(
    const volume::DriveTarget& target, const Quarantine& quarantine,
    const std::vector<std::string>& paths, const JournalPlace& journal, Progress* progress,
    const FinishedHook& finished = {}, ProblemKind openFailed = ProblemKind::kOpenFailed);

// Puts back on the drive what the journal at `journal` recorded. The journal is read and checked
// whole before the drive is opened. While the undo runs a mark beside the journal says so (a later
// pass then does not take a cut undo for a change cut short); it goes when the undo has ended or
// did not begin to write. A sector that a later change wrote again names that change's journal in
// the problem's detail, when the journal folder holds it.
Expected<UndoReport, Problem> UndoChange(const std::filesystem::path& journal,
                                         const volume::DriveTarget& target, Progress* progress);

// Where drives are mounted, and the changes of their mounts: the system's, unless a front end
// puts its own in their place.
class Mounts {
 public:
  virtual ~Mounts() = default;
  // Where the drive is mounted now; empty when it is not.
  virtual std::string MountPointOf(const volume::DriveTarget& target);
  virtual volume::MountChange Unmount(const volume::DriveTarget& target);
  virtual volume::MountChange Mount(const volume::DriveTarget& target);
};
Mounts& SystemMounts();

// Told when a drive taken for a pass has been mounted again: how that went (where it is mounted
// now, or the system's words), and whether a pass ran on it meanwhile or may have written to it.
using RemountHook = std::function<void(const volume::MountChange& mounted, bool passRan)>;

// A drive unmounted for a pass, mounted again when this goes, or earlier by Remount; or nothing.
// It may live from one pass to the next (the window keeps a drive unmounted between the repair
// and the clean it offers).
class Unmounted {
 public:
  Unmounted() = default;
  Unmounted(Mounts& mounts, volume::DriveTarget target, RemountHook told);
  Unmounted(Unmounted&& other) noexcept;
  // Mounts again the drive held until now, then holds `other`'s.
  Unmounted& operator=(Unmounted&& other) noexcept;
  Unmounted(const Unmounted&) = delete;
  Unmounted& operator=(const Unmounted&) = delete;
  ~Unmounted();

  bool Holds() const { return mounts_ != nullptr; }
  // The drive held; only while Holds().
  const volume::DriveTarget& Drive() const { return target_; }
  // Takes note of a pass on the drive: one that succeeded, or failed after it had begun to write.
  template <typename T>
  void Note(const Expected<T, Problem>& pass) {
    passRan_ |= Holds() && (pass.has_value() || pass.error().anyWritten);
  }
  // Mounts the drive again now and tells the hook; true when it is mounted. False, with nothing
  // done, when nothing is held.
  bool Remount();
  // The drive is gone from the machine: nothing is held any more, and nothing is mounted again.
  void Forget() { mounts_ = nullptr; }

 private:
  Mounts* mounts_ = nullptr;
  volume::DriveTarget target_;
  RemountHook told_;
  bool passRan_ = false;
};

// Whether a mounted drive may be unmounted for a pass, asked with where it is mounted: the window
// asks the user, the command line has its option.
using MayUnmount = std::function<bool(const std::string& mountPoint)>;

// Why a drive was not taken for a pass.
struct NotTaken {
  enum class Why {
    kRefused,        // looked at beside its file system, it is no volume that this program repairs
    kDeclined,       // MayUnmount said no
    kUnmountFailed,  // the unmount failed
  };
  Why why = Why::kDeclined;
  std::string mountPoint;
  Problem problem;             // kRefused: what the look found
  volume::MountChange change;  // kUnmountFailed: how the unmount ended
};

// Readies a drive for a pass that writes. One that is not mounted is ready as it is (the guard
// holds nothing). A mounted one is first looked at beside its file system: a volume that the
// analysis refuses is refused for that, and `may` is not asked. Then, when `may` agrees, it is
// unmounted, and the guard mounts it again when it goes, telling `told`.
Expected<Unmounted, NotTaken> TakeForPass(const volume::DriveTarget& target, Mounts& mounts,
                                          const MayUnmount& may, RemountHook told);

}  // namespace kestrova::repair
