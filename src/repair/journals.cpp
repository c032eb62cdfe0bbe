// SPDX-License-Identifier: GPL-3.0-or-later
#include "repair/journals.h"

#include <algorithm>
#include <regex>

#include "format/fat.h"
#include "format/sector_io.h"
#include "repair/commit.h"
#include "repair/engine.h"
#include "repair/pass.h"

namespace kestrova::repair {
namespace {}  // namespace

void ReadJournalName(ListedJournal& listed) {
  static const std::regex kName(R"(^([a-z]+)-(.*)-[0-9A-F]{8}-(\d{8}-\d{6})(?:-(\d+))?\.[a-z]+$)");
  static const std::regex kFirstName(R"(^([a-z]+)-(\d{8}-\d{6})-\d+(?:-(\d+))?\.journal$)");
  const std::string name = listed.path.filename().string();
  std::smatch match;
  if (std::regex_match(name, match, kName)) {
    listed.command = match[1];
    listed.label = match[2];
    listed.stamp = match[3];
    if (match[4].matched) listed.number = std::stoi(match[4]);
  } else if (std::regex_match(name, match, kFirstName)) {
    listed.command = match[1];
    listed.stamp = match[2];
    if (match[3].matched) listed.number = std::stoi(match[3]);
  }
}

namespace {

// What one sector of a journal holds on the volume.
enum class Holds { kAfter, kBefore, kOther };

// Reads every sector of the journal on the volume: what each holds, and the bytes of those that
// hold neither their old nor their new bytes. With `planned`, the reads move `track` on; without,
// they only touch it (a look before a pass, which moves its own track).
std::optional<Problem> ReadSectorsOf(volume::Volume& volume, const Journal& journal,
                                     std::vector<Holds>& holds,
                                     std::vector<std::vector<std::uint8_t>>& others,
                                     ProgressTrack& track, bool planned = true) {
  const auto sectorBytes = static_cast<std::uint32_t>(journal.volume.bytesPerSector);
  volume::AlignedBuffer buffer(sectorBytes);
  if (planned) track.Plan(static_cast<std::int64_t>(journal.sectors.size()) * sectorBytes);
  for (const JournalSector& entry : journal.sectors) {
    if (const auto failed = ReadSectors(volume, entry.sector, sectorBytes, buffer.bytes())) {
      return ReadProblem(*failed, entry.sector, sectorBytes);
    }
    if (planned) {
      track.Moved(sectorBytes);
    } else {
      track.Touched();
    }
    const auto now = buffer.bytes();
    if (std::equal(entry.after.begin(), entry.after.end(), now.begin(), now.end())) {
      holds.push_back(Holds::kAfter);
    } else if (std::equal(entry.before.begin(), entry.before.end(), now.begin(), now.end())) {
      holds.push_back(Holds::kBefore);
    } else {
      holds.push_back(Holds::kOther);
      others.emplace_back(now.begin(), now.end());
    }
  }
  return std::nullopt;
}

}  // namespace

std::filesystem::path UndoMarkOf(const std::filesystem::path& journal) {
  std::filesystem::path mark = journal;
  mark += ".undoing";
  return mark;
}

std::vector<ListedJournal> ListJournals(const std::filesystem::path& folder) {
  std::vector<ListedJournal> listed;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(folder, error)) {
    std::error_code typed;
    if (entry.path().extension() != ".journal" || !entry.is_regular_file(typed)) continue;
    ListedJournal journal;
    journal.path = entry.path();
    ReadJournalName(journal);
    auto read = ReadJournal(journal.path);
    if (read) {
      journal.journal = std::move(*read);
    } else {
      journal.problem = std::move(read.error());
    }
    journal.undoCutShort = std::filesystem::exists(UndoMarkOf(journal.path), typed);
    listed.push_back(std::move(journal));
  }
  std::sort(listed.begin(), listed.end(), [](const ListedJournal& a, const ListedJournal& b) {
    return std::tie(a.stamp, a.number, a.path) > std::tie(b.stamp, b.number, b.path);
  });
  return listed;
}

Expected<JournalStatus, Problem> StatusOf(volume::Volume& volume, const Journal& journal,
                                          std::span<const ListedJournal> later) {
  std::vector<Holds> holds;
  std::vector<std::vector<std::uint8_t>> others;
  ProgressTrack track;
  if (auto problem = ReadSectorsOf(volume, journal, holds, others, track)) {
    return std::move(*problem);
  }
  const auto count = [&](Holds what) { return std::count(holds.begin(), holds.end(), what); };
  JournalStatus status;
  if (others.empty()) {
    status.state = count(Holds::kBefore) == 0  ? JournalState::kUndoable
                   : count(Holds::kAfter) == 0 ? JournalState::kUndone
                                               : JournalState::kPartlyApplied;
    return status;
  }
  status.state = JournalState::kChanged;
  std::size_t other = 0;
  for (std::size_t i = 0; i < journal.sectors.size(); ++i) {
    if (holds[i] != Holds::kOther) continue;
    const JournalSector& mine = journal.sectors[i];
    const std::vector<std::uint8_t>& now = others[other++];
    if (status.sector < 0) status.sector = mine.sector;
    for (const ListedJournal& candidate : later) {
      if (!candidate.journal || candidate.journal->volume != journal.volume) continue;
      const auto& sectors = candidate.journal->sectors;
      const bool overtook = std::any_of(sectors.begin(), sectors.end(), [&](const auto& theirs) {
        return theirs.sector == mine.sector && theirs.before == mine.after && theirs.after == now;
      });
      if (overtook) {
        status.state = JournalState::kOvertaken;
        status.later = candidate.path;
        status.sector = mine.sector;
        return status;
      }
    }
  }
  return status;
}

std::optional<Problem> ReadVolumeGeometry(volume::Volume& volume, VolumeLayout& layout,
                                          ProgressTrack* track) {
  volume::AlignedBuffer boot(fat::kMaxSectorSize);
  if (const auto failed = ReadSectors(volume, 0, fat::kMaxSectorSize, boot.bytes())) {
    return ReadProblem(*failed, 0, fat::kMaxSectorSize);
  }
  if (track) track->Touched();
  std::copy_n(boot.bytes().begin(), layout.bootSector.size(), layout.bootSector.begin());
  if (auto problem = CheckBootRegion(volume, layout, boot.bytes(), track)) return problem;
  if (auto problem = ReadGeometry(layout)) return problem;
  return CheckDevice(volume, layout);
}

std::optional<VolumeIdentity> IdentityOfVolume(volume::Volume& volume, ProgressTrack* track) {
  VolumeLayout layout;
  if (ReadVolumeGeometry(volume, layout, track)) return std::nullopt;
  return IdentityOf(layout);
}

Expected<std::optional<FinishedChange>, Problem> FinishCutShort(volume::Volume& volume,
                                                                const std::filesystem::path& folder,
                                                                Progress* progress) {
  // The journals come first: without one, the volume is not read at all.
  const auto listed = ListJournals(folder);
  if (listed.empty()) return std::optional<FinishedChange>();
  // Its reads only touch the track: the pass that follows moves it.
  ProgressTrack track(progress);
  const auto identity = IdentityOfVolume(volume, &track);
  if (!identity) return std::optional<FinishedChange>();
  const auto newest = std::find_if(listed.begin(), listed.end(), [&](const ListedJournal& j) {
    return j.journal && j.journal->volume == *identity;
  });
  if (newest == listed.end() || newest->undoCutShort) return std::optional<FinishedChange>();
  const Journal& journal = *newest->journal;
  // Every sector is read before the first write.
  PassEnd pass(volume);
  std::vector<Holds> holds;
  std::vector<std::vector<std::uint8_t>> others;
  if (auto problem = ReadSectorsOf(volume, journal, holds, others, track, false)) {
    return pass.Fail(std::move(*problem));
  }
  const auto before = std::count(holds.begin(), holds.end(), Holds::kBefore);
  if (!others.empty() || before == 0 || before == static_cast<std::ptrdiff_t>(holds.size())) {
    return std::optional<FinishedChange>();
  }
  const auto sectorBytes = static_cast<std::uint32_t>(journal.volume.bytesPerSector);
  track.Plan(before * sectorBytes);
  SectorChanges changes(volume, journal.volume.bytesPerSector, track);
  for (std::size_t i = 0; i < journal.sectors.size(); ++i) {
    const JournalSector& entry = journal.sectors[i];
    if (holds[i] == Holds::kBefore) changes.Put(entry.sector, entry.before, entry.after);
  }
  auto committed = Commit(volume, pass, changes, track, {}, WriteOrder::kAsHeld);
  if (!committed) return std::move(committed.error());
  FinishedChange done{newest->path, committed->sectorsWritten};
  return std::optional<FinishedChange>(std::move(done));
}

}  // namespace kestrova::repair
