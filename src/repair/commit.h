// SPDX-License-Identifier: GPL-3.0-or-later
// The one way a pass writes a volume: the sectors it changes are collected first, each read once
// and before the first write, then committed at once: the journal, the changed sectors in the
// volume's order, the flush. The FAT is read and changed through one table whose entry width is
// chosen once, and which keeps every copy of the FAT current.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <span>
#include <vector>

#include "format/fat_table.h"
#include "format/problem.h"
#include "format/progress.h"
#include "repair/engine.h"
#include "repair/journal.h"
#include "repair/layout.h"
#include "repair/pass.h"
#include "repair/quarantine.h"
#include "volume/volume.h"

namespace kestrova::repair {

// The sectors that a pass changes, by their number in the volume, each with its bytes before the
// pass and after it.
class SectorChanges final : public SectorEdits {
 public:
  SectorChanges(volume::Volume& volume, std::int32_t sectorBytes, ProgressTrack& track)
      : volume_(volume), sectorBytes_(sectorBytes), track_(track) {}

  // Reads the sector unless it is held already; the problem when it cannot be read.
  std::optional<Problem> Load(std::int64_t sector);
  // Reads the sectors that hold `count` bytes from byte `offset` of the region at sector `first`.
  std::optional<Problem> LoadBytes(std::int64_t first, std::int64_t offset,
                                   std::int64_t count) override;
  // Holds a sector whose bytes the pass read already, unless it is held.
  void Hold(std::int64_t sector, std::span<const std::uint8_t> bytes);
  // Holds a sector with its old and new bytes as given (those of a journal).
  void Put(std::int64_t sector, std::vector<std::uint8_t> before, std::vector<std::uint8_t> after);
  // The `count` bytes from byte `offset` of the region at sector `first`, held before and lying
  // in one sector, to change.
  std::span<std::uint8_t> Bytes(std::int64_t first, std::int64_t offset, std::size_t count);
  // The new bytes of a held sector.
  std::span<std::uint8_t> After(std::int64_t sector) override;

  // Lets go of the sectors whose new bytes are their old ones.
  void DropUnchanged();
  const std::map<std::int64_t, SectorChange>& sectors() const { return sectors_; }
  // The sectors held, in the order they were first held.
  std::vector<std::int64_t> InOrderHeld() const;
  std::int32_t SectorBytes() const override { return sectorBytes_; }

 private:
  volume::Volume& volume_;
  std::int32_t sectorBytes_;
  ProgressTrack& track_;
  std::map<std::int64_t, SectorChange> sectors_;
  std::vector<std::int64_t> held_;  // in the order first held; some may have been let go
};

// Writes one run of sectors for the pass; the problem that ends it when the write failed (a
// medium refusing its first write as write-protected: nothing was written).
std::optional<Problem> WriteRun(PassEnd& pass, volume::Volume& volume, std::int64_t sector,
                                std::uint32_t sectorBytes, std::span<const std::uint8_t> bytes);

// What a commit did.
struct Committed {
  std::int64_t sectorsWritten = 0;
  std::filesystem::path journal;     // where the journal went; empty when none was written
  std::filesystem::path quarantine;  // and the quarantine beside it; empty when none
};

// The order in which a commit writes: the volume's, or the order in which the pass held the
// sectors (the repair's: the root's chain order).
enum class WriteOrder { kVolume, kAsHeld };

// The journal of a commit: where it goes, the layout of the volume it is of, and the quarantine of
// the files it removes, which goes beside it.
struct JournalTo {
  const JournalPlace* place = nullptr;
  const VolumeLayout* layout = nullptr;
  const Quarantine* quarantine = nullptr;
};

// Commits a pass's changes on a volume opened for writing: the sectors that do not change are let
// go; when any change and `journal` places one, the journal of the rest is written and reaches the
// disk first, its records in the order of the writes; then the sectors are written in `order`,
// those that follow one another in one transfer of up to kMaxTransferBytes, and flushed
// (pass.Finish). `track` hears of each
// write (the caller planned them). The problem, told by `pass`, when anything failed.
Expected<Committed, Problem> Commit(volume::Volume& volume, PassEnd& pass, SectorChanges& changes,
                                    ProgressTrack& track, JournalTo journal = {},
                                    WriteOrder order = WriteOrder::kVolume);

// A pass's last step as a removal and a move back take it: plans the writes of the changes that
// remain on `track`, commits them as Commit does, and gives `done` with the sectors written and
// the journal, or the problem.
template <typename Report>
Expected<Report, Problem> CommitReport(Report done, volume::Volume& volume, PassEnd& pass,
                                       SectorChanges& changes, ProgressTrack& track,
                                       JournalTo journal) {
  changes.DropUnchanged();
  track.Plan(static_cast<std::int64_t>(changes.sectors().size()) * journal.layout->bytesPerSector);
  auto committed = Commit(volume, pass, changes, track, journal);
  if (!committed) return std::move(committed.error());
  done.sectorsWritten = committed->sectorsWritten;
  done.journal = std::move(committed->journal);
  if constexpr (requires { done.quarantine; }) done.quarantine = std::move(committed->quarantine);
  return done;
}

}  // namespace kestrova::repair
