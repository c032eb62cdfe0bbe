// SPDX-License-Identifier: GPL-3.0-or-later
// What can stop the engine: a kind and its details, without words. The command line and the
// windows turn them into text (messages.h); other programs read them by their stable names
// (ids.h).
#pragma once

#include <cstdint>
#include <string>
#include <utility>

#include "volume/volume.h"

namespace kestrova::repair {

enum class ProblemKind {
  // Refusals of the analysis (and of the pass's own check under its lock); nothing is written.
  kOpenFailed,             // open: why
  kReadFailed,             // sector: a read that failed
  kVolumeTooShort,         // sector: the device ends before this sector of its file system
  kDeviceSizeUnknown,      // the system did not tell the device's size
  kDeviceTooSmall,         // deviceBytes, volumeBytes: the volume does not fit its device
  kUnsupportedFileSystem,  //
  kUnsupportedGeometry,    // detail
  kDamagedChain,           // detail
  kDamagedDirectory,       // detail: the root's entries are inconsistent (exFAT entry sets)
  kRootTooLong,            // count: the most clusters the analysis records
  kOutOfMemory,            // the memory that the analysis or the pass needed could not be had
  kDamagedBootRegion,      // detail: a signature or the exFAT boot checksum is wrong
  // Failures of the repair pass.
  kNotAnalysed,     // no successful analysis to work from
  kNoDrive,         // no selected list entry
  kPassOpenFailed,  // open: why
  kLayoutChanged,   // detail: how the volume differs from the analysis
  kWriteFailed,     // sector; earlierWritten
  kWriteProtected,  // the medium refused the first write as write-protected
  kFlushFailed,     // the written sectors may not all have reached the disk
  // The journal of a change, and undoing one. detail.name is the journal's path.
  kJournalNotWritten,     // detail.value: the system's error value; detail.at kJournalExists
                          // when a file of that name is there already
  kJournalFolderFailed,   // detail.name: the journal folder, which cannot be made or written
                          // in; detail.value: the system's error value
  kJournalUnreadable,     // not a journal
  kJournalDamaged,        // detail.value: the sector record whose checksum is wrong, or -1 (the
                          // header or the length)
  kJournalMissing,        // nothing at the journal's path
  kJournalNotAFile,       // a folder, a device or a pipe
  kJournalTooLarge,       // detail.value: the most MiB a journal may take
  kJournalNotRead,        // detail.value: the system's error value
  kJournalOtherVolume,    // the volume is not the journal's
  kJournalSectorChanged,  // sector: it no longer holds what the change wrote; detail.name: the
                          // journal of a later change that overtook it, when one is known
  // The quarantine of a removal. detail.name is its path.
  kQuarantineUnreadable,  // not a quarantine
  kQuarantineDamaged,     // its length or a checksum is wrong
  // The removal of the virus's files.
  kLeftoverChain,     // detail, with detail.name the file's: its chain cannot be freed safely
  kFolderUnreadable,  // detail.name: a folder that cannot be read whole, so the removal cannot
                      // be proved to free nothing of another's
  // Putting back the files that the virus moved into a folder.
  kRootFull,  // detail.value: the free entry slots of the root, detail.at: the slots the files
              // need; the root cannot grow (FAT12 and FAT16) or no further
  // Putting back files from a quarantine.
  kVolumeFull,       // detail.value: the free clusters, detail.at: the clusters the files need
  kNotInQuarantine,  // detail.name: a path that the quarantine keeps no removed file of
};

// What exactly is wrong, for the refusals that say so in brackets. The numbers it names are in
// Detail::at and Detail::value, a name in Detail::name.
enum class DetailKind {
  kNone,
  // The root's chain: cluster `at` links to the raw FAT entry `value`.
  kBadClusterLink,     // the bad-cluster mark
  kLinkOutsideVolume,  // a cluster outside the volume
  kChainLoop,          // a cluster the chain already holds
  // The boot sector's fields; `value` is the field's value where the kind names one.
  kSectorSize,         // bytes per sector
  kSectorsPerCluster,  // sectors per cluster
  kClusterShift,       // exFAT: sectors per cluster as a power of two
  kNoReservedSectors,
  kNoFat,
  kFatCount,        // exFAT: neither one nor two FATs
  kSmallFatFields,  // a FAT32 boot sector with the fields of FAT12/FAT16
  kEmptyFat,
  kActiveFat,  // the FAT in use is beyond the FAT count
  kDataOutsideVolume,
  kFatOrHeapOutsideVolume,
  kClusterCount,          // clusters
  kClusterCountSmallFat,  // clusters, too many for FAT12/FAT16
  kFatTooSmall,
  kRootOutsideVolume,  // the root's first cluster
  kExfatNonZeroFields,
  kDeviceSectorSize,  // `value` bytes per sector, fewer than the device's own sectors of `at` bytes
  // The boot region.
  kBootSignature,          // sector 0 lacks 55 AA
  kExtendedBootSignature,  // exFAT: extended boot sector `at` lacks its signature
  kBootChecksum,  // exFAT: sector 11 holds `at` where the checksum of sectors 0 to 10 is `value`
  // The root's entries. `value` is the cluster of the root's own chain that an entry begins at.
  kNamedCrossLink,  // the entry `name`
  kEntryCrossLink,  // the exFAT entry number `at`
  kIncompleteSet,   // the exFAT entry set at entry number `at`
  kSetChecksum,     // the same, with a wrong checksum
  // Other chains that reach the root's clusters. `value` is the root's cluster.
  kFatCrossLink,         // the FAT entry of cluster `at`, outside the root, links to it
  kContiguousCrossLink,  // the contiguous clusters of the exFAT entry number `at` (named `name`,
                         // when it has one) include it
  kRootClusterFree,      // the exFAT allocation bitmap marks it free
  kNoAllocationBitmap,   // exFAT: no bitmap of the FAT in use covers it (a damaged directory)
  // How the volume under the pass's lock differs from the analysed one.
  kBootSectorDiffers,
  kFileSystemDiffers,
  kRootChainDiffers,
  kRootFailsCheck,  // it differs in what the analysis checks beyond these
  // A file's chain, besides kBadClusterLink, kLinkOutsideVolume and kChainLoop.
  kChainReachesOther,  // its cluster `at` belongs to `other` (a path) as well, or to the root
                       // directory when `other` is empty
  kChainLinkedFrom,    // the FAT entry of cluster `value`, which another chain holds, links to
                       // its cluster `at`
  kClusterOfTable,     // exFAT: its cluster `at` belongs to the allocation bitmap, the up-case
                       // table or a vendor allocation entry of the root
  kChainLength,        // `at` clusters where its size needs `value`
};

struct Detail {
  Detail(DetailKind kind_ = DetailKind::kNone, std::int64_t at_ = 0, std::int64_t value_ = 0,
         std::string name_ = {}, std::string other_ = {})
      : kind(kind_), at(at_), value(value_), name(std::move(name_)), other(std::move(other_)) {}

  DetailKind kind = DetailKind::kNone;
  std::int64_t at = 0;
  std::int64_t value = 0;
  std::string name;
  std::string other;  // the path of what else owns a cluster, where a kind names it
};

// The pass that a problem stopped, for its title.
enum class PassKind { kRepair, kClean, kUndo, kMoveBack, kFix, kRestore };

struct Problem {
  ProblemKind kind = ProblemKind::kOpenFailed;
  PassKind pass = PassKind::kRepair;
  std::int64_t sector = -1;
  std::int64_t count = 0;
  Detail detail;
  volume::DeviceError open;     // why an open failed
  bool earlierWritten = false;  // sectors had been written before a failed write
  bool writeStarted = false;    // the failed write itself may have landed in part
  bool anyWritten = false;      // a pass that failed had begun to write: sectors may have changed
  // A device too small: its size as the system tells it, and the volume's as its boot sector
  // claims it.
  std::uint64_t deviceBytes = 0;
  std::uint64_t volumeBytes = 0;
};

// Detail::at of a journal that was not written because a file of its name is there already.
inline constexpr std::int64_t kJournalExists = 1;

// A drive that could not be opened, by the analysis (kOpenFailed) or by the pass
// (kPassOpenFailed).
inline Problem OpenProblem(volume::DeviceError error, ProblemKind kind = ProblemKind::kOpenFailed) {
  Problem problem;
  problem.kind = kind;
  problem.open = std::move(error);
  return problem;
}

}  // namespace kestrova::repair
