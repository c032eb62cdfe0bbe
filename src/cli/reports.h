// SPDX-License-Identifier: GPL-3.0-or-later
// What each command of kestrova-cli found or did, as values. A command builds its report first;
// then it is rendered, as text for people (commands.cpp) or, with --json, into the command's
// document (json_report.h). The analysis and the scan render the engine's own values (the layout,
// the findings); a problem that stopped a command is rendered on its own.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "repair/engine.h"
#include "repair/journals.h"
#include "repair/quarantine.h"
#include "volume/drives.h"

namespace kestrova::cli {

// A removable drive and its volume label (the system's, or read from the volume itself).
struct ListedDrive {
  volume::DriveInfo drive;
  std::string label;
};

// What a pass that writes did on a drive: the engine's report, the change cut short that it
// finished first, how long it took, and whether the drive was unmounted for it (the commands
// that the report offers then unmount it too).
template <typename Report>
struct PassDone {
  volume::DriveTarget target;
  Report report;
  std::optional<repair::FinishedChange> finished;
  double seconds = 0;
  bool unmounted = false;

  // Whether the pass wrote to the disk, the finished change included.
  bool Wrote() const {
    return report.sectorsWritten + (finished ? finished->sectorsWritten : 0) > 0;
  }
};
using RepairDone = PassDone<repair::RepairReport>;
using CleanDone = PassDone<repair::CleanReport>;
using MoveBackDone = PassDone<repair::MoveBackReport>;
using FixDone = PassDone<repair::Plan>;
using RestoreDone = PassDone<repair::RestoreReport>;

// The quarantines of the journal folder, or of one drive.
struct QuarantinesReport {
  std::filesystem::path folder;
  std::vector<repair::ListedQuarantine> quarantines;
};

// A listed journal, and with a drive what became of its change there.
struct JournalLine {
  repair::ListedJournal listed;
  std::optional<repair::JournalStatus> status;
};
struct JournalsReport {
  std::filesystem::path folder;
  std::vector<JournalLine> journals;
};

// A journal's time as "2026-12-08 10:32:59", from its stamp "20261208-103259"; empty without one.
inline std::string ShownTime(const std::string& stamp) {
  if (stamp.size() != 15) return {};
  std::string shown;
  shown.append(stamp, 0, 4).append("-").append(stamp, 4, 2).append("-").append(stamp, 6, 2);
  shown.append(" ").append(stamp, 9, 2).append(":").append(stamp, 11, 2).append(":");
  return shown.append(stamp, 13, 2);
}

}  // namespace kestrova::cli
