// SPDX-License-Identifier: GPL-3.0-or-later
#include "repair/ids.h"

namespace kestrova::repair {

std::string_view IdOf(ProblemKind value) {
  switch (value) {
    case ProblemKind::kOpenFailed:
      return "open_failed";
    case ProblemKind::kReadFailed:
      return "read_failed";
    case ProblemKind::kVolumeTooShort:
      return "volume_too_short";
    case ProblemKind::kDeviceSizeUnknown:
      return "device_size_unknown";
    case ProblemKind::kDeviceTooSmall:
      return "device_too_small";
    case ProblemKind::kUnsupportedFileSystem:
      return "unsupported_file_system";
    case ProblemKind::kUnsupportedGeometry:
      return "unsupported_geometry";
    case ProblemKind::kDamagedChain:
      return "damaged_chain";
    case ProblemKind::kDamagedDirectory:
      return "damaged_directory";
    case ProblemKind::kRootTooLong:
      return "root_too_long";
    case ProblemKind::kOutOfMemory:
      return "out_of_memory";
    case ProblemKind::kDamagedBootRegion:
      return "damaged_boot_region";
    case ProblemKind::kNotAnalysed:
      return "not_analysed";
    case ProblemKind::kNoDrive:
      return "no_drive";
    case ProblemKind::kPassOpenFailed:
      return "pass_open_failed";
    case ProblemKind::kLayoutChanged:
      return "layout_changed";
    case ProblemKind::kWriteFailed:
      return "write_failed";
    case ProblemKind::kWriteProtected:
      return "write_protected";
    case ProblemKind::kFlushFailed:
      return "flush_failed";
    case ProblemKind::kJournalNotWritten:
      return "journal_not_written";
    case ProblemKind::kJournalFolderFailed:
      return "journal_folder_failed";
    case ProblemKind::kJournalUnreadable:
      return "journal_unreadable";
    case ProblemKind::kJournalDamaged:
      return "journal_damaged";
    case ProblemKind::kJournalMissing:
      return "journal_missing";
    case ProblemKind::kJournalNotAFile:
      return "journal_not_a_file";
    case ProblemKind::kJournalTooLarge:
      return "journal_too_large";
    case ProblemKind::kJournalNotRead:
      return "journal_not_read";
    case ProblemKind::kJournalOtherVolume:
      return "journal_other_volume";
    case ProblemKind::kVolumeFull:
      return "volume_full";
    case ProblemKind::kNotInQuarantine:
      return "not_in_quarantine";
    case ProblemKind::kQuarantineUnreadable:
      return "quarantine_unreadable";
    case ProblemKind::kQuarantineDamaged:
      return "quarantine_damaged";
    case ProblemKind::kJournalSectorChanged:
      return "journal_sector_changed";
    case ProblemKind::kLeftoverChain:
      return "leftover_chain";
    case ProblemKind::kFolderUnreadable:
      return "folder_unreadable";
    case ProblemKind::kRootFull:
      return "root_full";
  }
  return "unknown";
}

std::string_view IdOf(DetailKind value) {
  switch (value) {
    case DetailKind::kNone:
      return "none";
    case DetailKind::kBadClusterLink:
      return "bad_cluster_link";
    case DetailKind::kLinkOutsideVolume:
      return "link_outside_volume";
    case DetailKind::kChainLoop:
      return "chain_loop";
    case DetailKind::kSectorSize:
      return "sector_size";
    case DetailKind::kSectorsPerCluster:
      return "sectors_per_cluster";
    case DetailKind::kClusterShift:
      return "cluster_shift";
    case DetailKind::kNoReservedSectors:
      return "no_reserved_sectors";
    case DetailKind::kNoFat:
      return "no_fat";
    case DetailKind::kFatCount:
      return "fat_count";
    case DetailKind::kSmallFatFields:
      return "small_fat_fields";
    case DetailKind::kEmptyFat:
      return "empty_fat";
    case DetailKind::kActiveFat:
      return "active_fat";
    case DetailKind::kDataOutsideVolume:
      return "data_outside_volume";
    case DetailKind::kFatOrHeapOutsideVolume:
      return "fat_or_heap_outside_volume";
    case DetailKind::kClusterCount:
      return "cluster_count";
    case DetailKind::kClusterCountSmallFat:
      return "cluster_count_small_fat";
    case DetailKind::kFatTooSmall:
      return "fat_too_small";
    case DetailKind::kRootOutsideVolume:
      return "root_outside_volume";
    case DetailKind::kExfatNonZeroFields:
      return "exfat_non_zero_fields";
    case DetailKind::kDeviceSectorSize:
      return "device_sector_size";
    case DetailKind::kBootSignature:
      return "boot_signature";
    case DetailKind::kExtendedBootSignature:
      return "extended_boot_signature";
    case DetailKind::kBootChecksum:
      return "boot_checksum";
    case DetailKind::kNamedCrossLink:
      return "named_cross_link";
    case DetailKind::kEntryCrossLink:
      return "entry_cross_link";
    case DetailKind::kIncompleteSet:
      return "incomplete_set";
    case DetailKind::kSetChecksum:
      return "set_checksum";
    case DetailKind::kFatCrossLink:
      return "fat_cross_link";
    case DetailKind::kContiguousCrossLink:
      return "contiguous_cross_link";
    case DetailKind::kRootClusterFree:
      return "root_cluster_free";
    case DetailKind::kNoAllocationBitmap:
      return "no_allocation_bitmap";
    case DetailKind::kBootSectorDiffers:
      return "boot_sector_differs";
    case DetailKind::kFileSystemDiffers:
      return "file_system_differs";
    case DetailKind::kRootChainDiffers:
      return "root_chain_differs";
    case DetailKind::kRootFailsCheck:
      return "root_fails_check";
    case DetailKind::kChainReachesOther:
      return "chain_reaches_other";
    case DetailKind::kChainLinkedFrom:
      return "chain_linked_from";
    case DetailKind::kClusterOfTable:
      return "cluster_of_table";
    case DetailKind::kChainLength:
      return "chain_length";
  }
  return "unknown";
}

std::string_view IdOf(PassKind value) {
  switch (value) {
    case PassKind::kRepair:
      return "repair";
    case PassKind::kClean:
      return "clean";
    case PassKind::kUndo:
      return "undo";
    case PassKind::kMoveBack:
      return "move_back";
    case PassKind::kFix:
      return "fix";
    case PassKind::kRestore:
      return "restore";
  }
  return "unknown";
}

std::string_view IdOf(Verdict value) {
  switch (value) {
    case Verdict::kUser:
      return "user";
    case Verdict::kVirus:
      return "virus";
    case Verdict::kSystem:
      return "system";
    case Verdict::kVaccine:
      return "vaccine";
    case Verdict::kUnsure:
      return "unsure";
  }
  return "unknown";
}

std::string_view IdOf(Evidence value) {
  switch (value) {
    case Evidence::kShortcutRunsHost:
      return "shortcut_runs_host";
    case Evidence::kShortcutRunsFromDrive:
      return "shortcut_runs_from_drive";
    case Evidence::kUrlRunsProgram:
      return "url_runs_program";
    case Evidence::kAutorun:
      return "autorun";
    case Evidence::kNamedByShortcut:
      return "named_by_shortcut";
    case Evidence::kNamedByAutorun:
      return "named_by_autorun";
    case Evidence::kProgramLikeFolder:
      return "program_like_folder";
    case Evidence::kProgramLikeLabel:
      return "program_like_label";
    case Evidence::kProgramGenericName:
      return "program_generic_name";
    case Evidence::kProgramHiddenCharacters:
      return "program_hidden_characters";
    case Evidence::kProgramDoubleExtension:
      return "program_double_extension";
    case Evidence::kFolderRunFrom:
      return "folder_run_from";
    case Evidence::kFolderImpostor:
      return "folder_impostor";
    case Evidence::kInHidingFolder:
      return "in_hiding_folder";
    case Evidence::kDisguise:
      return "disguise";
    case Evidence::kHiddenDocument:
      return "hidden_document";
    case Evidence::kMovedFilesFolder:
      return "moved_files_folder";
    case Evidence::kAutorunIconOnly:
      return "autorun_icon_only";
    case Evidence::kHiddenProgram:
      return "hidden_program";
    case Evidence::kProgramsOnlyFolder:
      return "programs_only_folder";
    case Evidence::kShortcutUnreadable:
      return "shortcut_unreadable";
    case Evidence::kShortcutHostUnknown:
      return "shortcut_host_unknown";
    case Evidence::kWindowsFolder:
      return "windows_folder";
    case Evidence::kOtherSystemFolder:
      return "other_system_folder";
    case Evidence::kOtherSystemFile:
      return "other_system_file";
    case Evidence::kVaccineFolder:
      return "vaccine_folder";
    case Evidence::kVaccineFile:
      return "vaccine_file";
    case Evidence::kRemovedShortcutRan:
      return "removed_shortcut_ran";
    case Evidence::kJudgedBefore:
      return "judged_before";
    case Evidence::kShortcutRunsVisible:
      return "shortcut_runs_visible";
    case Evidence::kIdenticalCopies:
      return "identical_copies";
    case Evidence::kAutorunNothingHere:
      return "autorun_nothing_here";
    case Evidence::kAutorunStartsVisible:
      return "autorun_starts_visible";
    case Evidence::kPlatformAutorun:
      return "platform_autorun";
    case Evidence::kPlatformProgram:
      return "platform_program";
    case Evidence::kBootEntry:
      return "boot_entry";
    case Evidence::kCameraEntry:
      return "camera_entry";
    case Evidence::kInWindowsFolder:
      return "in_windows_folder";
  }
  return "unknown";
}

std::string_view IdOf(FileSystem value) {
  switch (value) {
    case FileSystem::kFat12:
      return "fat12";
    case FileSystem::kFat16:
      return "fat16";
    case FileSystem::kFat32:
      return "fat32";
    case FileSystem::kExfat:
      return "exfat";
  }
  return "unknown";
}

std::string_view IdOf(JournalState value) {
  switch (value) {
    case JournalState::kUndoable:
      return "undoable";
    case JournalState::kUndone:
      return "undone";
    case JournalState::kPartlyApplied:
      return "partly_applied";
    case JournalState::kOvertaken:
      return "overtaken";
    case JournalState::kChanged:
      return "changed";
  }
  return "unknown";
}

}  // namespace kestrova::repair
