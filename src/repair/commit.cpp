// SPDX-License-Identifier: GPL-3.0-or-later
#include "repair/commit.h"

#include <algorithm>
#include <new>

#include "format/fat.h"
#include "format/problems.h"
#include "format/sector_io.h"

namespace kestrova::repair {

std::optional<Problem> SectorChanges::Load(std::int64_t sector) {
  if (sectors_.count(sector)) return std::nullopt;
  volume::AlignedBuffer buffer(static_cast<std::size_t>(sectorBytes_));
  if (const auto failed =
          ReadSectors(volume_, sector, static_cast<std::uint32_t>(sectorBytes_), buffer.bytes())) {
    return ReadProblem(*failed, sector, sectorBytes_);
  }
  track_.Touched();
  Hold(sector, buffer.bytes());
  return std::nullopt;
}

std::optional<Problem> SectorChanges::LoadBytes(std::int64_t first, std::int64_t offset,
                                                std::int64_t count) {
  for (std::int64_t s = offset / sectorBytes_; s <= (offset + count - 1) / sectorBytes_; ++s) {
    if (auto problem = Load(first + s)) return problem;
  }
  return std::nullopt;
}

void SectorChanges::Hold(std::int64_t sector, std::span<const std::uint8_t> bytes) {
  if (sectors_.count(sector)) return;
  std::vector<std::uint8_t> copy(bytes.begin(), bytes.end());
  sectors_[sector] = {copy, copy};
  held_.push_back(sector);
}

void SectorChanges::Put(std::int64_t sector, std::vector<std::uint8_t> before,
                        std::vector<std::uint8_t> after) {
  if (!sectors_.count(sector)) held_.push_back(sector);
  sectors_[sector] = {std::move(before), std::move(after)};
}

std::vector<std::int64_t> SectorChanges::InOrderHeld() const {
  std::vector<std::int64_t> order;
  for (const std::int64_t sector : held_) {
    if (sectors_.count(sector)) order.push_back(sector);
  }
  return order;
}

std::span<std::uint8_t> SectorChanges::Bytes(std::int64_t first, std::int64_t offset,
                                             std::size_t count) {
  return std::span(sectors_.at(first + offset / sectorBytes_).after)
      .subspan(static_cast<std::size_t>(offset % sectorBytes_), count);
}

std::span<std::uint8_t> SectorChanges::After(std::int64_t sector) {
  return sectors_.at(sector).after;
}

void SectorChanges::DropUnchanged() {
  std::erase_if(sectors_, [](const auto& s) { return s.second.before == s.second.after; });
}

std::optional<Problem> WriteRun(PassEnd& pass, volume::Volume& volume, std::int64_t sector,
                                std::uint32_t sectorBytes, std::span<const std::uint8_t> bytes) {
  const bool earlier = pass.mayHaveWritten;
  const auto failed = WriteSectors(volume, sector, sectorBytes, bytes);
  if (!failed) {
    pass.mayHaveWritten = true;
    return std::nullopt;
  }
  using Kind = volume::DeviceErrorKind;
  if (failed->kind == Kind::kReadOnly && !earlier) {
    return pass.Fail(PassProblem(ProblemKind::kWriteProtected));
  }
  const bool started = failed->kind != Kind::kNotStarted && failed->kind != Kind::kReadOnly;
  pass.mayHaveWritten |= started;
  Problem problem = PassProblem(ProblemKind::kWriteFailed);
  problem.sector = sector;
  problem.earlierWritten = earlier;
  problem.writeStarted = started;
  return pass.Fail(std::move(problem));
}

Expected<Committed, Problem> Commit(volume::Volume& volume, PassEnd& pass, SectorChanges& changes,
                                    ProgressTrack& track, JournalTo journal, WriteOrder order) {
  changes.DropUnchanged();
  std::vector<std::int64_t> sequence;
  if (order == WriteOrder::kAsHeld) {
    sequence = changes.InOrderHeld();
  } else {
    for (const auto& [sector, change] : changes.sectors()) sequence.push_back(sector);
  }
  const auto& sectors = changes.sectors();
  Committed done;
  const auto sectorBytes = static_cast<std::uint32_t>(changes.SectorBytes());
  // The journal reaches the disk before the volume is touched.
  if (journal.place && journal.layout && !changes.sectors().empty()) {
    Journal record{IdentityOf(*journal.layout), {}};
    for (const std::int64_t sector : sequence) {
      const SectorChange& change = sectors.at(sector);
      record.sectors.push_back({sector, change.before, change.after});
    }
    auto written = WriteJournal(*journal.place, *journal.layout, record, journal.quarantine);
    if (!written) return pass.Fail(std::move(written.error()));
    done.journal = std::move(*written);
    if (journal.quarantine) done.quarantine = QuarantineOf(done.journal);
  }
  const std::int64_t maxRun = std::max<std::int64_t>(1, kMaxTransferBytes / sectorBytes);
  // The one buffer of the writes, had before the first of them.
  std::optional<volume::AlignedBuffer> buffer;
  try {
    buffer.emplace(static_cast<std::size_t>(
        std::min<std::int64_t>(maxRun, static_cast<std::int64_t>(changes.sectors().size())) *
        sectorBytes));
  } catch (const std::bad_alloc&) {
    return pass.Fail(PassProblem(ProblemKind::kOutOfMemory));
  }
  // Sectors that follow one another go out as one transfer.
  for (auto next = sequence.begin(); next != sequence.end();) {
    const std::int64_t first = *next;
    std::int64_t run = 0;
    for (; next != sequence.end() && *next == first + run && run < maxRun; ++next, ++run) {
      const auto& after = sectors.at(*next).after;
      std::copy(after.begin(), after.end(),
                buffer->bytes().begin() + static_cast<std::ptrdiff_t>(run * sectorBytes));
    }
    const auto bytes = buffer->bytes().first(static_cast<std::size_t>(run * sectorBytes));
    if (auto problem = WriteRun(pass, volume, first, sectorBytes, bytes)) {
      return std::move(*problem);
    }
    done.sectorsWritten += run;
    track.Moved(static_cast<std::int64_t>(bytes.size()));
  }
  track.Finish();
  if (auto problem = pass.Finish()) return std::move(*problem);
  return done;
}

}  // namespace kestrova::repair
