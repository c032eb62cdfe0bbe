// SPDX-License-Identifier: GPL-3.0-or-later
#include "words/messages.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>

#include "format/codepage.h"
#include "format/fat.h"
#include "volume/files.h"
#include "words/shell_words.h"
#include "words/texts.h"

namespace kestrova::repair::messages {
namespace {

using texts::Format;
using texts::Sentences;
using texts::Tr;
using volume::DeviceErrorKind;

#ifdef _WIN32
constexpr const texts::Text& kNeedRights = texts::kNeedAdministrator;
#else
constexpr const texts::Text& kNeedRights = texts::kNeedRoot;
#endif

std::string Device(const volume::DeviceError& open) {
  return open.device.empty() ? std::string() : Format(texts::kQuotedDevice, open.device);
}

// Why an open failed, in one or two sentences; the busy case keeps the classic wording. The
// command line is told of its drives command where the window's list would be refreshed.
std::string OpenReason(const volume::DeviceError& open, bool classicBusy, Audience audience) {
  const bool commandLine = audience == Audience::kCommandLine;
  switch (open.kind) {
    case DeviceErrorKind::kBusy: {
      std::string text = classicBusy
                             ? Sentences({Tr(texts::kParametersError), Tr(texts::kCheckBusy)})
                             : Tr(texts::kCheckBusy);
      if (!open.mountPoint.empty()) {
        text += "\r\n" + Format(texts::kBusyMounted, open.mountPoint,
                                words::CommandLine({"umount", open.mountPoint}));
      }
      return text;
    }
    case DeviceErrorKind::kAccessDenied:
      return Tr(kNeedRights);
    case DeviceErrorKind::kNotFound:
      return Format(commandLine ? texts::kNotFoundCli : texts::kNotFound, Device(open));
    case DeviceErrorKind::kNoSuchFile:
      return Format(texts::kNoSuchFile, Device(open));
    case DeviceErrorKind::kNotADrive:
      return Format(open.systemError == EISDIR ? texts::kIsFolder : texts::kNotDriveFile,
                    Format(texts::kQuotedPath, open.device));
    case DeviceErrorKind::kUnknownLetter:
      return Format(commandLine ? texts::kUnknownLetterCli : texts::kUnknownLetter, open.device);
    case DeviceErrorKind::kReadOnly:
      return Format(texts::kReadOnly, Device(open));
    case DeviceErrorKind::kLoopBacked:
      return Format(texts::kLoopBacked, Device(open));
    case DeviceErrorKind::kDriveChanged:
      return Tr(commandLine ? texts::kDriveChangedCli : texts::kDriveChanged);
    case DeviceErrorKind::kNotAuthorized:
      return Tr(texts::kNotAuthorized);
    case DeviceErrorKind::kWholeDisk:
      return Format(texts::kWholeDisk, Format(texts::kQuotedPath, open.device),
                    Format(texts::kQuotedPath, open.partition));
    case DeviceErrorKind::kSystemDisk:
      return Format(texts::kSystemDisk, Format(texts::kQuotedPath, open.device), open.mountPoint);
    case DeviceErrorKind::kOther:
    case DeviceErrorKind::kNotStarted:
    case DeviceErrorKind::kShort:
    case DeviceErrorKind::kIoFailed:
    case DeviceErrorKind::kFlushFailed:
    case DeviceErrorKind::kSizeUnknown:
      break;
  }
  return Format(texts::kCannotOpen, Device(open), open.systemError);
}

// The phrase in brackets that says what exactly is wrong.
// Why a file could not be made or written, from the system's error value.
std::string FileError(std::int64_t error) {
  switch (volume::KindOfFileError(static_cast<int>(error))) {
    case volume::FileErrorKind::kNoPermission:
      return Tr(texts::kFileNoPermission);
    case volume::FileErrorKind::kReadOnly:
      return Tr(texts::kFileReadOnly);
    case volume::FileErrorKind::kFull:
      return Tr(texts::kFileFull);
    case volume::FileErrorKind::kNotAFolder:
      return Tr(texts::kFileNotAFolder);
    case volume::FileErrorKind::kExists:
      return Tr(texts::kFileExists);
    case volume::FileErrorKind::kOther:
      break;
  }
  return Format(texts::kFileOtherError, error);
}

std::string DetailText(const Detail& detail) {
  switch (detail.kind) {
    case DetailKind::kNone:
      break;
    case DetailKind::kBadClusterLink:
      return Format(texts::kBadClusterLink, detail.at, static_cast<std::uint64_t>(detail.value));
    case DetailKind::kLinkOutsideVolume:
      return Format(texts::kLinkOutsideVolume, detail.at, static_cast<std::uint64_t>(detail.value));
    case DetailKind::kChainLoop:
      return Format(texts::kChainLoop, detail.at, static_cast<std::uint64_t>(detail.value));
    case DetailKind::kSectorSize:
      return Format(texts::kSectorSize, Format(texts::kBytesCount, detail.value));
    case DetailKind::kSectorsPerCluster:
      return Format(texts::kSectorsPerCluster, detail.value);
    case DetailKind::kClusterShift:
      return Format(texts::kClusterShift, detail.value);
    case DetailKind::kNoReservedSectors:
      return Tr(texts::kNoReservedSectors);
    case DetailKind::kNoFat:
      return Tr(texts::kNoFat);
    case DetailKind::kFatCount:
      return Tr(texts::kFatCount);
    case DetailKind::kSmallFatFields:
      return Tr(texts::kSmallFatFields);
    case DetailKind::kEmptyFat:
      return Tr(texts::kEmptyFat);
    case DetailKind::kActiveFat:
      return Format(texts::kActiveFat, detail.value);
    case DetailKind::kDataOutsideVolume:
      return Tr(texts::kDataOutsideVolume);
    case DetailKind::kFatOrHeapOutsideVolume:
      return Tr(texts::kFatOrHeapOutsideVolume);
    case DetailKind::kClusterCount:
      return Format(texts::kClusterCount, detail.value);
    case DetailKind::kClusterCountSmallFat:
      return Format(texts::kClusterCountSmallFat, detail.value);
    case DetailKind::kFatTooSmall:
      return Tr(texts::kFatTooSmall);
    case DetailKind::kRootOutsideVolume:
      return Format(texts::kRootOutsideVolume, detail.value);
    case DetailKind::kExfatNonZeroFields:
      return Tr(texts::kExfatNonZeroFields);
    case DetailKind::kDeviceSectorSize:
      return Format(texts::kDeviceSectorSize, Format(texts::kBytesCount, detail.value),
                    Format(texts::kBytesCount, detail.at));
    case DetailKind::kBootSignature:
      return Tr(texts::kBootSignature);
    case DetailKind::kExtendedBootSignature:
      return Format(texts::kExtendedBootSignature, detail.at);
    case DetailKind::kBootChecksum:
      return Format(texts::kBootChecksum, static_cast<std::uint64_t>(detail.at),
                    static_cast<std::uint64_t>(detail.value));
    case DetailKind::kNamedCrossLink:
      return Format(texts::kNamedCrossLink, detail.name, detail.value);
    case DetailKind::kEntryCrossLink:
      return Format(texts::kEntryCrossLink, detail.at, detail.value);
    case DetailKind::kFatCrossLink:
      return Format(texts::kFatCrossLink, detail.at, detail.value);
    case DetailKind::kContiguousCrossLink:
      return detail.name.empty()
                 ? Format(texts::kContiguousEntryCrossLink, detail.at, detail.value)
                 : Format(texts::kContiguousNamedCrossLink, detail.name, detail.value);
    case DetailKind::kRootClusterFree:
      return Format(texts::kRootClusterFree, detail.value);
    case DetailKind::kNoAllocationBitmap:
      return Tr(texts::kNoAllocationBitmap);
    case DetailKind::kIncompleteSet:
      return Format(texts::kIncompleteSet, detail.at);
    case DetailKind::kSetChecksum:
      return Format(texts::kSetChecksum, detail.at);
    case DetailKind::kBootSectorDiffers:
      return Tr(texts::kBootSectorDiffers);
    case DetailKind::kFileSystemDiffers:
      return Tr(texts::kFileSystemDiffers);
    case DetailKind::kRootChainDiffers:
      return Tr(texts::kRootChainDiffers);
    case DetailKind::kRootFailsCheck:
      return Tr(texts::kRootFailsCheck);
    case DetailKind::kChainReachesOther:
      if (detail.other.empty()) return Format(texts::kChainReachesRoot, detail.at);
      return Format(texts::kChainReachesOther, detail.at, VisiblePath(detail.other));
    case DetailKind::kChainLinkedFrom:
      return Format(texts::kChainLinkedFrom, detail.value, detail.at);
    case DetailKind::kClusterOfTable:
      return Format(texts::kClusterOfTable, detail.at);
    case DetailKind::kChainLength:
      return Format(texts::kChainLength, Format(texts::kClustersCount, detail.at),
                    Format(texts::kClustersCount, detail.value));
  }
  return {};
}

}  // namespace

std::string Text(const Problem& problem, Audience audience) {
  const std::string nothingWritten = Tr(texts::kNothingWritten);
  const bool commandLine = audience == Audience::kCommandLine;
  const std::string again = Tr(commandLine ? texts::kSelectAgainCli : texts::kSelectAgain);
  switch (problem.kind) {
    case ProblemKind::kOpenFailed:
      return OpenReason(problem.open, true, audience);
    case ProblemKind::kReadFailed:
      return Sentences({Format(texts::kReadFailed, problem.sector), nothingWritten});
    case ProblemKind::kVolumeTooShort:
      return Sentences({Format(texts::kVolumeTooShort, problem.sector), nothingWritten});
    case ProblemKind::kDeviceSizeUnknown:
      return Sentences({Tr(texts::kDeviceSizeUnknown), nothingWritten});
    case ProblemKind::kDeviceTooSmall:
      return Sentences(
          {Format(texts::kDeviceTooSmall, Size(problem.deviceBytes), Size(problem.volumeBytes)),
           nothingWritten});
    case ProblemKind::kUnsupportedFileSystem:
      return Tr(texts::kUnsupportedFileSystem);
    case ProblemKind::kUnsupportedGeometry:
      return Sentences(
          {Format(texts::kUnsupportedGeometry, DetailText(problem.detail)), nothingWritten});
    case ProblemKind::kDamagedChain:
      return Sentences({Format(texts::kDamagedChain, DetailText(problem.detail)),
                        Tr(texts::kProtectedNothingWritten), Tr(texts::kRunDiskCheck)});
    case ProblemKind::kDamagedDirectory:
      return Sentences({Format(texts::kDamagedDirectory, DetailText(problem.detail)),
                        Tr(texts::kProtectedNothingWritten), Tr(texts::kRunDiskCheck)});
    case ProblemKind::kRootTooLong:
      return Sentences({Format(texts::kRootTooLong, problem.count), nothingWritten});
    case ProblemKind::kOutOfMemory:
      return Sentences({Tr(texts::kOutOfMemory), nothingWritten});
    case ProblemKind::kDamagedBootRegion:
      return Sentences({Format(texts::kDamagedBootRegion, DetailText(problem.detail)),
                        Tr(texts::kProtectedNothingWritten), Tr(texts::kRunDiskCheck)});
    case ProblemKind::kNotAnalysed:
      return Sentences({Tr(texts::kNotAnalysed), again, nothingWritten});
    case ProblemKind::kNoDrive:
      return Sentences({Tr(texts::kNoDrive), nothingWritten});
    case ProblemKind::kPassOpenFailed:
      return Sentences(
          {Tr(texts::kPassOpenFailed), OpenReason(problem.open, false, audience), nothingWritten});
    case ProblemKind::kLayoutChanged:
      return Sentences(
          {Format(texts::kLayoutChanged, DetailText(problem.detail)), again, nothingWritten});
    case ProblemKind::kWriteFailed:
      return Sentences({Format(texts::kWriteFailed, problem.sector),
                        Tr(problem.earlierWritten
                               ? (commandLine ? texts::kPartlyWrittenCli : texts::kPartlyWritten)
                           : problem.writeStarted ? texts::kFirstWriteFailed
                                                  : texts::kNothingWritten)});
    case ProblemKind::kWriteProtected:
      return Sentences({Format(texts::kReadOnly, ""), nothingWritten});
    case ProblemKind::kFlushFailed:
      return Tr(commandLine ? texts::kFlushFailedCli : texts::kFlushFailed);
    case ProblemKind::kJournalNotWritten:
      // A file of that name is never replaced: it may be the journal of another change. Only the
      // command line names the file (the window's are new names).
      if (problem.detail.at == kJournalExists) {
        return Sentences({Format(texts::kJournalExists, problem.detail.name), nothingWritten,
                          Tr(texts::kJournalElsewhere)});
      }
      return Sentences(
          {Format(texts::kJournalNotWritten, problem.detail.name, problem.detail.value),
           nothingWritten, Tr(texts::kJournalElsewhere)});
    case ProblemKind::kJournalFolderFailed:
      return Sentences({Format(texts::kJournalFolderUnusable, problem.detail.name,
                               FileError(problem.detail.value)),
                        nothingWritten, Tr(texts::kJournalFolderElsewhere)});
    case ProblemKind::kJournalUnreadable:
      return Sentences({Format(texts::kJournalUnreadable, problem.detail.name), nothingWritten});
    case ProblemKind::kJournalDamaged:
      return Sentences({problem.detail.value < 0
                            ? Format(texts::kJournalDamagedHeader, problem.detail.name)
                            : Format(texts::kJournalDamagedRecord, problem.detail.name,
                                     problem.detail.value + 1),
                        nothingWritten});
    case ProblemKind::kJournalMissing:
      return Sentences({Format(texts::kJournalMissing, problem.detail.name), nothingWritten});
    case ProblemKind::kJournalNotAFile:
      return Sentences({Format(texts::kJournalNotAFile, problem.detail.name), nothingWritten});
    case ProblemKind::kJournalTooLarge:
      return Sentences({Format(texts::kJournalTooLarge, problem.detail.name, problem.detail.value),
                        nothingWritten});
    case ProblemKind::kJournalNotRead:
      return Sentences({Format(texts::kJournalNotRead, problem.detail.name, problem.detail.value),
                        nothingWritten});
    case ProblemKind::kJournalOtherVolume:
      return Sentences({Tr(texts::kJournalOtherVolume), nothingWritten});
    case ProblemKind::kJournalSectorChanged:
      // detail.name: the journal of the later change that overtook it, when one is known.
      if (!problem.detail.name.empty()) {
        return Sentences(
            {Format(texts::kJournalUndoLaterFirst, problem.sector, problem.detail.name),
             nothingWritten});
      }
      return Sentences({Format(texts::kJournalSectorChanged, problem.sector), nothingWritten});
    case ProblemKind::kQuarantineUnreadable:
      return Sentences({Format(texts::kQuarantineUnreadable, problem.detail.name), nothingWritten});
    case ProblemKind::kQuarantineDamaged:
      return Sentences({Format(texts::kQuarantineDamaged, problem.detail.name), nothingWritten});
    case ProblemKind::kLeftoverChain:
      return Sentences({Format(texts::kLeftoverChain, VisiblePath(problem.detail.name),
                               DetailText(problem.detail)),
                        Tr(texts::kRunDiskCheck)});
    case ProblemKind::kFolderUnreadable:
      return Sentences({Format(texts::kFolderUnreadable, VisiblePath(problem.detail.name)),
                        Tr(texts::kRunDiskCheck)});
    case ProblemKind::kRootFull:
      return Sentences({Format(texts::kRootFull, Format(texts::kEntriesCount, problem.detail.at),
                               Format(texts::kEntriesCount, problem.detail.value)),
                        nothingWritten});
    case ProblemKind::kVolumeFull:
      return Sentences({Format(texts::kVolumeFull, Format(texts::kClustersCount, problem.detail.at),
                               Format(texts::kClustersCount, problem.detail.value)),
                        nothingWritten});
    case ProblemKind::kNotInQuarantine:
      return Sentences(
          {Format(texts::kNotInQuarantine, VisiblePath(problem.detail.name)), nothingWritten});
  }
  return {};
}

const char* Title(const Problem& problem) {
  // The stage that the problem stops.
  enum class Stage { kOpen, kAnalysis, kPass };
  Stage stage = Stage::kPass;
  switch (problem.kind) {
    case ProblemKind::kOpenFailed:
      stage = Stage::kOpen;
      break;
    case ProblemKind::kReadFailed:
    case ProblemKind::kVolumeTooShort:
    case ProblemKind::kDeviceSizeUnknown:
    case ProblemKind::kDeviceTooSmall:
    case ProblemKind::kUnsupportedFileSystem:
    case ProblemKind::kUnsupportedGeometry:
    case ProblemKind::kDamagedChain:
    case ProblemKind::kDamagedDirectory:
    case ProblemKind::kRootTooLong:
    case ProblemKind::kOutOfMemory:
    case ProblemKind::kDamagedBootRegion:
      stage = Stage::kAnalysis;
      break;
    case ProblemKind::kNotAnalysed:
    case ProblemKind::kNoDrive:
    case ProblemKind::kPassOpenFailed:
    case ProblemKind::kLayoutChanged:
    case ProblemKind::kWriteFailed:
    case ProblemKind::kWriteProtected:
    case ProblemKind::kFlushFailed:
    case ProblemKind::kJournalNotWritten:
    case ProblemKind::kJournalFolderFailed:
    case ProblemKind::kJournalUnreadable:
    case ProblemKind::kJournalDamaged:
    case ProblemKind::kJournalMissing:
    case ProblemKind::kJournalNotAFile:
    case ProblemKind::kJournalTooLarge:
    case ProblemKind::kJournalNotRead:
    case ProblemKind::kJournalOtherVolume:
    case ProblemKind::kJournalSectorChanged:
    case ProblemKind::kQuarantineUnreadable:
    case ProblemKind::kQuarantineDamaged:
    case ProblemKind::kVolumeFull:
    case ProblemKind::kNotInQuarantine:
    case ProblemKind::kLeftoverChain:
    case ProblemKind::kFolderUnreadable:
    case ProblemKind::kRootFull:
      stage = Stage::kPass;
      break;
  }
  switch (stage) {
    case Stage::kOpen:
      return Tr(texts::kFailureTitle);
    case Stage::kAnalysis:
      return Tr(texts::kErrorTitle);
    case Stage::kPass:
      break;
  }
  switch (problem.pass) {
    case PassKind::kRepair:
    case PassKind::kFix:
      break;
    case PassKind::kClean:
      return Tr(texts::kCleanFailedTitle);
    case PassKind::kUndo:
      return Tr(texts::kUndoFailedTitle);
    case PassKind::kMoveBack:
      return Tr(texts::kMoveBackFailedTitle);
    case PassKind::kRestore:
      return Tr(texts::kRestoreFailedTitle);
  }
  return Tr(texts::kRepairFailedTitle);
}

std::string FolderName(const std::string& name, texts::Language language) {
  bool blank = false;
  std::string shown = VisibleName(name, &blank);
  return blank ? texts::Format(language, texts::kBlankFolder, shown) : shown;
}

std::string FolderName(const std::string& name) { return FolderName(name, texts::UserLanguage()); }

std::string RestoredFolder(const std::string& name, texts::Language language) {
  return texts::Format(language, texts::kRestoredFolder, FolderName(name, language));
}

std::string RestoredCount(std::size_t count) {
  if (count == 0) return Tr(texts::kNothingToRestore);
  return Format(texts::kRestoredCount, count);
}

std::string LeftAlone(const LeftAloneFolder& left) {
  switch (left.reason) {
    case LeftAloneReason::kUnknownCriticalEntry:
      return Format(texts::kLeftUnknownEntry, left.folder.Name(),
                    static_cast<std::uint64_t>(left.entryType));
  }
  return {};
}

std::string Why(const Judged& judged) {
  const std::string reason = ShortWhy(judged);
  switch (judged.evidence) {
    case Evidence::kShortcutRunsHost:
    case Evidence::kShortcutRunsFromDrive:
    case Evidence::kUrlRunsProgram:
    case Evidence::kNamedByShortcut:
      return Format(texts::kReasonCommand, reason, VisibleName(judged.command));
    case Evidence::kAutorun:
    case Evidence::kAutorunNothingHere:
      return Format(texts::kReasonCommand, reason, VisibleName(judged.subject));
    default:
      return reason;
  }
}

namespace {
// " (it holds 3 files and 1 folder)" of a folder judged with what it holds.
std::string FolderHolds(const Judged& judged) {
  return Format(texts::kFolderHolds, Format(texts::kFilesCount, judged.files),
                Format(texts::kFoldersCount, judged.folders));
}
}  // namespace

std::string ShortWhy(const Judged& judged) {
  // What a shortcut or autorun.inf says, with the characters that show nothing made visible.
  const std::string command = VisibleName(judged.command);
  const std::string subject = VisibleName(judged.subject);
  switch (judged.evidence) {
    case Evidence::kShortcutRunsHost:
      return Tr(texts::kLeftoverRunsHost);
    case Evidence::kShortcutRunsFromDrive:
      return Tr(texts::kLeftoverRunsFromDrive);
    case Evidence::kUrlRunsProgram:
      return Tr(texts::kLeftoverUrlRunsProgram);
    case Evidence::kAutorun:
      return Tr(texts::kLeftoverAutorun);
    case Evidence::kNamedByShortcut:
      return Format(texts::kLeftoverNamedByShortcut, subject);
    case Evidence::kNamedByAutorun:
      return Format(texts::kLeftoverNamedByAutorun, subject);
    case Evidence::kProgramLikeFolder:
      return Format(texts::kLeftoverLikeFolder, subject);
    case Evidence::kProgramLikeLabel:
      return Format(texts::kLeftoverLikeLabel, subject);
    case Evidence::kProgramGenericName:
      return Format(texts::kLeftoverGenericName, subject);
    case Evidence::kProgramHiddenCharacters:
      return Tr(texts::kLeftoverHiddenCharacters);
    case Evidence::kProgramDoubleExtension:
      return Format(texts::kLeftoverDoubleExtension, subject);
    case Evidence::kFolderRunFrom:
      return Format(texts::kLeftoverFolderRunFrom, subject) + FolderHolds(judged);
    case Evidence::kFolderImpostor:
      return Format(texts::kLeftoverFolderImpostor, subject) + FolderHolds(judged);
    case Evidence::kInHidingFolder:
      return Tr(texts::kLeftoverInHidingFolder);
    case Evidence::kDisguise:
      return Format(texts::kUsersDisguise, subject);
    case Evidence::kHiddenDocument:
      return Tr(texts::kUsersHiddenDocument);
    case Evidence::kMovedFilesFolder:
      // Hidden still, it is shown again by the repair.
      return Format(
          (judged.file.attributes & fat::kAttrHiddenOrSystem) ? texts::kUsersMovedFiles
                                                              : texts::kUsersMovedFilesShown,
          Format(texts::kFilesCount, judged.files), Format(texts::kFoldersCount, judged.folders));
    case Evidence::kAutorunIconOnly:
      return Tr(texts::kUsersAutorunIconOnly);
    case Evidence::kHiddenProgram:
      return Tr(texts::kLeftoverHiddenProgram);
    case Evidence::kProgramsOnlyFolder:
      return Tr(texts::kUnsureProgramsOnly);
    case Evidence::kShortcutUnreadable:
      return Tr(texts::kUnsureShortcutUnreadable);
    case Evidence::kShortcutHostUnknown:
      return Format(texts::kUnsureShortcutHost, command);
    case Evidence::kWindowsFolder:
      return Tr(texts::kSystemWindowsFolder);
    case Evidence::kOtherSystemFolder:
      return Tr(texts::kSystemOtherFolder);
    case Evidence::kOtherSystemFile:
      return Tr(texts::kSystemOtherFile);
    case Evidence::kVaccineFolder:
      return Tr(texts::kVaccineFolder);
    case Evidence::kVaccineFile:
      return Tr(texts::kVaccineFile);
    case Evidence::kRemovedShortcutRan:
      return Format(texts::kLeftoverRemovedShortcutRan, subject);
    case Evidence::kJudgedBefore:
      return Format(texts::kLeftoverJudgedBefore, subject);
    case Evidence::kShortcutRunsVisible:
      return Format(texts::kUnsureShortcutRunsVisible, command);
    case Evidence::kIdenticalCopies:
      return Format(texts::kLeftoverIdenticalCopies, subject);
    case Evidence::kAutorunNothingHere:
      return Tr(texts::kUnsureAutorunNothingHere);
    case Evidence::kAutorunStartsVisible:
      return Format(texts::kUnsureAutorunStartsVisible, subject);
    case Evidence::kPlatformAutorun:
      return Format(texts::kSystemPlatformAutorun, subject);
    case Evidence::kPlatformProgram:
      return Tr(texts::kSystemPlatformProgram);
    case Evidence::kBootEntry:
      return Tr(texts::kSystemBootEntry);
    case Evidence::kCameraEntry:
      return Tr(texts::kSystemCameraEntry);
    case Evidence::kInWindowsFolder:
      return Format(texts::kLeftoverInWindowsFolder, subject);
  }
  return {};
}

namespace {

// An entry's path as the lists show it: a blank folder's name by its code points also in front of
// what it holds.
std::string ShownPath(const Judged& judged) { return VisiblePath(judged.Path()); }

}  // namespace

std::string KeptFolderLine(const KeptFolder& kept) {
  return Format(texts::kKeptFolder, ShownPath(kept.folder), VisiblePath(kept.document));
}

std::string JudgedLine(const Judged& judged) { return ShownPath(judged) + "\t" + Why(judged); }

std::string RestoredFile(const std::string& name, texts::Language language) {
  return texts::Format(language, texts::kRestoredFile, VisibleName(name));
}

std::string UnsureCount(std::size_t count) { return Format(texts::kUnsureCount, count); }

std::string LeftoverCount(std::size_t count) { return Format(texts::kLeftoverCount, count); }

std::string Size(std::uint64_t bytes) {
  constexpr std::uint64_t kKiB = 1024;
  const auto in = [&](std::uint64_t unit) {
    return static_cast<double>(bytes) / static_cast<double>(unit);
  };
  if (bytes >= kKiB * kKiB * kKiB) {
    return Format(texts::kBytesGiB, bytes, bytes, in(kKiB * kKiB * kKiB));
  }
  if (bytes >= kKiB * kKiB) return Format(texts::kBytesMiB, bytes, bytes, in(kKiB * kKiB));
  return Format(texts::kBytesKiB, bytes, bytes, in(kKiB));
}

std::string ShortSize(std::uint64_t bytes) {
  constexpr double kMiB = 1024.0 * 1024.0;
  if (bytes == 0) return {};
  const double mebibytes = static_cast<double>(bytes) / kMiB;
  char text[32];
  if (mebibytes >= 1024.0) {
    std::snprintf(text, sizeof text, "%.1f GiB", mebibytes / 1024.0);
  } else {
    std::snprintf(text, sizeof text, "%.1f MiB", mebibytes);
  }
  return text;
}

std::string RemovedCount(std::size_t count) {
  if (count == 0) return Tr(texts::kNothingToRemove);
  return Format(texts::kRemovedCount, count);
}

std::string CleanHint(const std::string& command) { return Format(texts::kCleanHint, command); }

std::string UndoneCount(std::size_t sectors) { return Format(texts::kUndone, sectors); }

std::string FinishedCutShort(const std::string& journal, std::size_t sectors) {
  return Format(texts::kFinishedCutShort, sectors, journal, sectors);
}

std::string JournalChanges(std::size_t sectors, const std::string& label,
                           const std::string& serial) {
  return Format(texts::kJournalChanges, sectors, sectors, label, serial);
}

std::string WouldRepairCount(std::size_t count) { return Format(texts::kWouldRepairCount, count); }

std::string PathText(const std::filesystem::path& path) {
  const std::u8string text = path.u8string();
  return std::string(text.begin(), text.end());
}

std::string ElapsedText(double seconds) {
  char text[32];
  std::snprintf(text, sizeof text, "%.2f", seconds < 0 ? 0.0 : seconds);
  return text;
}

std::string Completion(const std::string& seconds) { return Format(texts::kCompletion, seconds); }

std::string RepairEnd(const std::string& seconds, std::size_t restored, std::size_t shownFiles,
                      const std::vector<Judged>& judged) {
  std::string text = restored == 0 && shownFiles == 0
                         ? RestoredCount(0)
                         : Completion(seconds) + "\r\n" + RestoredCount(restored);
  if (shownFiles > 0) text += "\r\n" + Format(texts::kShownFilesCount, shownFiles);
  // What the repair could not tell, for the user to look at: the first ten, then how many more.
  constexpr std::size_t kListed = 10;
  std::size_t unsure = 0;
  for (const Judged& entry : judged) {
    if (entry.verdict != Verdict::kUnsure) continue;
    if (unsure == 0) text += "\r\n\r\n" + std::string(Tr(texts::kHeadingUnsure));
    if (unsure < kListed) {
      text += "\r\n" + Format(texts::kListLine, ShownPath(entry), Why(entry));
    }
    ++unsure;
  }
  if (unsure > kListed) text += "\r\n" + Format(texts::kListMore, unsure - kListed);
  return text;
}

namespace {

// Why an unmount or a mount failed, as a clause in brackets.
std::string MountReason(const volume::MountChange& change) {
  if (change.notAuthorized) return Tr(texts::kRefusedAuthorization);
  if (change.noService) return Tr(texts::kNoDiskService);
  std::string detail = change.detail;
  while (!detail.empty() && (detail.back() == '.' || detail.back() == ' ')) detail.pop_back();
  return detail.empty() ? std::string() : Format(texts::kSystemSays, detail);
}

}  // namespace

std::string UnmountQuestion(const std::string& mountPoint) {
  return Format(texts::kUnmountQuestion, mountPoint);
}

std::string UnmountFailed(const std::string& mountPoint, const volume::MountChange& change) {
  return Sentences(
      {Format(texts::kUnmountFailed, mountPoint, MountReason(change)), Tr(texts::kNothingWritten),
       change.noService ? Format(texts::kUnmountByHand, words::CommandLine({"umount", mountPoint}))
                        : std::string(Tr(texts::kCloseUsers))});
}

std::string RemountFailed(const volume::MountChange& change, bool repaired) {
  return Format(repaired ? texts::kRemountFailed : texts::kRemountFailedNotRepaired,
                MountReason(change));
}

RemovalChoice MoveBackChoice(const Judged& folder, const std::vector<Judged>& judged) {
  std::size_t files = folder.files;
  std::size_t folders = folder.folders;
  for (const Judged& inside : judged) {
    if (inside.folder != folder.file.Name() || inside.verdict != Verdict::kVirus) {
      continue;
    }
    std::size_t& count = inside.file.IsFolder() ? folders : files;
    if (count > 0) --count;
  }
  const std::string name = folder.file.Name();
  const std::string filesText = Format(texts::kFilesCount, files);
  const std::string foldersText = Format(texts::kFoldersCount, folders);
  return {Format(texts::kMoveBackLine, VisibleName(name), filesText, foldersText),
          Tr(texts::kMoveBackReason),
          Format(texts::kMovedAway, filesText, foldersText, FolderName(name))};
}

std::vector<std::string> MoveBackEnd(const MoveBackReport& report, Audience audience) {
  std::string folder = FolderName(report.folder);
  if (!report.innerFolder.empty()) folder.append("\\").append(FolderName(report.innerFolder));
  const auto folders =
      static_cast<std::size_t>(std::count_if(report.moved.begin(), report.moved.end(),
                                             [](const MovedBack& moved) { return moved.folder; }));
  std::vector<std::string> lines{Format(texts::kMovedBackCount, folder,
                                        Format(texts::kFilesCount, report.moved.size() - folders),
                                        Format(texts::kFoldersCount, folders))};
  if (report.clustersAdded > 0) lines.push_back(Format(texts::kRootGrew, report.clustersAdded));
  if (report.folderRemoved) {
    lines.push_back(Format(texts::kMovedFolderRemoved, folder));
  } else if (report.folderKept) {
    lines.push_back(Format(texts::kMovedFolderKept, folder, Text(*report.folderKept, audience)));
  } else {
    lines.push_back(Format(texts::kMovedFolderHoldsVirus, folder));
  }
  return lines;
}

std::vector<RemovalChoice> RemovalChoices(const std::vector<Judged>& leftovers) {
  std::vector<RemovalChoice> choices;
  choices.reserve(leftovers.size());
  for (const Judged& leftover : leftovers) {
    RemovalChoice choice{ShownPath(leftover), ShortWhy(leftover), Why(leftover)};
    if (choice.detail == choice.reason) choice.detail.clear();
    choices.push_back(std::move(choice));
  }
  return choices;
}

std::string GuardDriveName(const std::string& drive, const std::string& label) {
  return label.empty() ? texts::Format(texts::kGuardDrive, drive)
                       : texts::Format(texts::kGuardLabelledDrive, drive, label);
}

std::string GuardFinding(const std::string& drive, const std::string& label,
                         const WormSigns& signs) {
  const std::string name = GuardDriveName(drive, label);
  std::string found;
  if (signs.virusFiles == 0) {
    found = texts::Format(texts::kGuardMovedFiles, name);
  } else if (signs.attributesSeen && signs.hiddenFolders > 0) {
    found = texts::Format(texts::kGuardHiddenAndVirus, name,
                          texts::Format(texts::kFoldersCount, signs.hiddenFolders),
                          texts::Format(texts::kVirusFilesCount, signs.virusFiles));
  } else {
    found = texts::Format(texts::kGuardVirus, name,
                          texts::Format(texts::kVirusFilesCount, signs.virusFiles));
  }
  return found;
}

std::string GuardNotice(const std::string& drive, const std::string& label,
                        const WormSigns& signs) {
  return texts::Sentences(
      {GuardFinding(drive, label, signs), texts::Tr(texts::kGuardClickToRepair)});
}

}  // namespace kestrova::repair::messages
