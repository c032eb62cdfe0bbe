// SPDX-License-Identifier: GPL-3.0-or-later
#include "repair/drive_use.h"

#include <system_error>
#include <utility>
#include <vector>

#include "repair/journal.h"
#include "repair/journals.h"
#include "volume/files.h"

namespace kestrova::repair {
namespace {

using volume::Access;
using volume::DriveTarget;

// Runs `pass` on the drive opened for writing; the drive is closed again when it returns.
template <typename Report, typename Pass>
Expected<Report, Problem> OnOpenedDrive(const DriveTarget& target, ProblemKind openFailed,
                                        Pass pass) {
  auto opened = volume::Volume::Open(target, Access::kReadWrite);
  if (!opened) return OpenProblem(std::move(opened.error()), openFailed);
  return pass(*opened);
}

// The journal of the folder whose later change overtook `journal` on the drive (read only); empty
// when none did.
std::filesystem::path LaterChange(const DriveTarget& target, const std::filesystem::path& path,
                                  const Journal& journal) {
  auto opened = volume::Volume::Open(target, Access::kReadOnly);
  if (!opened) return {};
  // The volume's journals alone, picked by their names.
  std::vector<ListedJournal> others =
      ListJournals(JournalFolderFiles(JournalFolder()), journal.volume);
  std::erase_if(others, [&](const ListedJournal& j) {
    std::error_code error;
    return std::filesystem::equivalent(j.path, path, error);
  });
  const auto status = StatusOf(*opened, journal, others);
  return status && status->state == JournalState::kOvertaken ? status->later
                                                             : std::filesystem::path();
}

}  // namespace

Expected<VolumeLayout, Problem> Look(const DriveTarget& target, Access access,
                                     const JournalFolderFiles* listed) {
  auto opened = volume::Volume::Open(target, access);
  if (!opened) return OpenProblem(std::move(opened.error()));
  VolumeLayout layout;
  const JournalFolderFiles recall =
      listed ? JournalFolderFiles() : JournalFolderFiles(JournalFolder());
  if (auto problem =
          AnalyseInto(*opened, layout, nullptr, nullptr, nullptr, listed ? listed : &recall)) {
    return std::move(*problem);
  }
  return layout;
}

Expected<DrivePass<RepairReport>, Problem> RepairDrive(
    const DriveTarget& target, const VolumeLayout* analysed, const JournalPlace& journal,
    Progress* progress, const FinishedHook& finished, ProblemKind openFailed) {
  return OnOpenedDrive<DrivePass<RepairReport>>(target, openFailed, [&](volume::Volume& opened) {
    return RepairDrive(opened, analysed, journal, progress, finished);
  });
}

Expected<DrivePass<CleanReport>, Problem> CleanDrive(
    const DriveTarget& target, const VolumeLayout* analysed, const JournalPlace& journal,
    Progress* progress, const FinishedHook& finished, ProblemKind openFailed) {
  return OnOpenedDrive<DrivePass<CleanReport>>(target, openFailed, [&](volume::Volume& opened) {
    return CleanDrive(opened, analysed, journal, progress, finished);
  });
}

Expected<DrivePass<MoveBackReport>, Problem> MoveBackDrive(
    const DriveTarget& target, const VolumeLayout* analysed, const JournalPlace& journal,
    Progress* progress, const FinishedHook& finished, ProblemKind openFailed) {
  return OnOpenedDrive<DrivePass<MoveBackReport>>(target, openFailed, [&](volume::Volume& opened) {
    return MoveBackDrive(opened, analysed, journal, progress, finished);
  });
}

Expected<DrivePass<Plan>, Problem> FixDrive(const DriveTarget& target, const VolumeLayout* analysed,
                                            const FixChoice& choice, const JournalPlace& journal,
                                            Progress* progress, const FinishedHook& finished,
                                            ProblemKind openFailed) {
  return OnOpenedDrive<DrivePass<Plan>>(target, openFailed, [&](volume::Volume& opened) {
    return FixDrive(opened, analysed, choice, journal, progress, finished);
  });
}

Expected<DrivePass<RestoreReport>, Problem> RestoreDrive(
    const DriveTarget& target, const Quarantine& quarantine, const std::vector<std::string>& paths,
    const JournalPlace& journal, Progress* progress, const FinishedHook& finished,
    ProblemKind openFailed) {
  return OnOpenedDrive<DrivePass<RestoreReport>>(target, openFailed, [&](volume::Volume& opened) {
    return RestoreDrive(opened, quarantine, paths, journal, progress, finished);
  });
}

Expected<UndoReport, Problem> UndoChange(const std::filesystem::path& named,
                                         const DriveTarget& target, Progress* progress) {
  const std::filesystem::path journal = ArrangedPath(named);
  const auto recorded = ReadJournal(journal);
  if (!recorded) return recorded.error();
  // A journal whose folder takes no mark is undone all the same.
  const std::filesystem::path mark = UndoMarkOf(journal);
  const bool marked = volume::WriteFileDurably(mark, {}) == 0;
  auto undone = OnOpenedDrive<UndoReport>(
      target, ProblemKind::kOpenFailed,
      [&](volume::Volume& opened) { return Undo(opened, *recorded, progress); });
  std::error_code removed;
  if (undone || (marked && !undone.error().anyWritten)) std::filesystem::remove(mark, removed);
  if (!undone && undone.error().kind == ProblemKind::kJournalSectorChanged) {
    undone.error().detail.name = LaterChange(target, journal, *recorded).string();
  }
  return undone;
}

std::string Mounts::MountPointOf(const DriveTarget& target) {
  return volume::DriveMountPoint(target);
}

volume::MountChange Mounts::Unmount(const DriveTarget& target) {
  return volume::UnmountDrive(target);
}

volume::MountChange Mounts::Mount(const DriveTarget& target) { return volume::MountDrive(target); }

Mounts& SystemMounts() {
  static Mounts system;
  return system;
}

Unmounted::Unmounted(Mounts& mounts, DriveTarget target, RemountHook told)
    : mounts_(&mounts), target_(std::move(target)), told_(std::move(told)) {}

Unmounted::Unmounted(Unmounted&& other) noexcept
    : mounts_(std::exchange(other.mounts_, nullptr)),
      target_(std::move(other.target_)),
      told_(std::move(other.told_)),
      passRan_(std::exchange(other.passRan_, false)) {}

Unmounted& Unmounted::operator=(Unmounted&& other) noexcept {
  if (this != &other) {
    Remount();
    mounts_ = std::exchange(other.mounts_, nullptr);
    target_ = std::move(other.target_);
    told_ = std::move(other.told_);
    passRan_ = std::exchange(other.passRan_, false);
  }
  return *this;
}

Unmounted::~Unmounted() { Remount(); }

bool Unmounted::Remount() {
  Mounts* mounts = std::exchange(mounts_, nullptr);
  if (!mounts) return false;
  const bool passRan = std::exchange(passRan_, false);
  const volume::MountChange mounted = mounts->Mount(target_);
  if (told_) told_(mounted, passRan);
  return mounted.done;
}

Expected<Unmounted, NotTaken> TakeForPass(const DriveTarget& target, Mounts& mounts,
                                          const MayUnmount& may, RemountHook told) {
  const std::string mountPoint = mounts.MountPointOf(target);
  if (mountPoint.empty()) return Unmounted();
  // What the device is comes first: a volume that the analysis refuses (another file system, a
  // damaged one) is refused for that, and nobody is asked to unmount it.
  if (auto looked = Look(target, Access::kReadShared); !looked) {
    return NotTaken{NotTaken::Why::kRefused, mountPoint, std::move(looked.error()), {}};
  }
  if (!may || !may(mountPoint)) return NotTaken{NotTaken::Why::kDeclined, mountPoint, {}, {}};
  volume::MountChange change = mounts.Unmount(target);
  if (!change.done) {
    return NotTaken{NotTaken::Why::kUnmountFailed, mountPoint, {}, std::move(change)};
  }
  return Unmounted(mounts, target, std::move(told));
}

}  // namespace kestrova::repair
