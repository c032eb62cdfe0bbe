// SPDX-License-Identifier: GPL-3.0-or-later
#include "repair/journal.h"

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <string>
#include <string_view>
#include <vector>

#include "format/exfat.h"
#include "format/fat.h"
#include "format/problems.h"
#include "format/sector_io.h"
#include "repair/journals.h"
#include "repair/label.h"
#include "repair/quarantine.h"
#include "repair/records.h"
#include "volume/files.h"

#include <zlib.h>

namespace kestrova::repair {
namespace {

// A journal file: the magic line, the volume's identity, the number of sectors, the file's length
// and a CRC-32 of these fields; then each sector's number, its bytes before and after, and a
// CRC-32 of the record; then the closing mark. Numbers are little-endian. The first format had
// neither the length nor the checksums.
constexpr std::string_view kMagic = "KESTROVA JOURNAL 2\n";
constexpr std::string_view kFirstMagic = "KESTROVA JOURNAL 1\n";
constexpr std::string_view kClosing = "END\n";
constexpr int kLengthBytes = 8;
constexpr int kChecksumBytes = 4;

// The most sectors a journal holds: more than any root directory that the engine handles.
constexpr std::uint32_t kMaxSectors = 1u << 20;
// The largest journal file that is read: far more than a repair or a removal writes (a root of
// 501 clusters of 64 KiB, the FAT sectors of the files removed), read whole into memory.
constexpr std::int64_t kMaxJournalBytes = std::int64_t{256} << 20;

Problem JournalProblem(ProblemKind kind, const std::filesystem::path& path,
                       std::int64_t value = 0) {
  return MakeProblem(kind, {DetailKind::kNone, 0, value, path.string()});
}

}  // namespace

VolumeIdentity IdentityOf(const VolumeLayout& layout) {
  const std::size_t serialAt = layout.fileSystem == FileSystem::kExfat ? exfat::kVolumeSerialOffset
                               : layout.fileSystem == FileSystem::kFat32
                                   ? fat::kVolumeSerialOffset
                                   : fat::kSmallVolumeSerialOffset;
  return {layout.fileSystem, fat::Read32(layout.bootSector, serialAt), layout.totalSectors,
          layout.bytesPerSector};
}

std::vector<std::uint8_t> EncodeJournal(const Journal& journal) {
  std::vector<std::uint8_t> out(kMagic.begin(), kMagic.end());
  std::uint64_t length =
      out.size() + 1 + 4 + 8 + 4 + 4 + kLengthBytes + kChecksumBytes + kClosing.size();
  for (const JournalSector& sector : journal.sectors) {
    length += 8 + sector.before.size() + sector.after.size() + kChecksumBytes;
  }
  Put(out, static_cast<std::uint64_t>(journal.volume.fileSystem), 1);
  Put(out, journal.volume.serial, 4);
  Put(out, static_cast<std::uint64_t>(journal.volume.totalSectors), 8);
  Put(out, static_cast<std::uint64_t>(journal.volume.bytesPerSector), 4);
  Put(out, journal.sectors.size(), 4);
  Put(out, length, kLengthBytes);
  Put(out, Checksum(std::span(out).subspan(kMagic.size())), kChecksumBytes);
  for (const JournalSector& sector : journal.sectors) {
    const std::size_t record = out.size();
    Put(out, static_cast<std::uint64_t>(sector.sector), 8);
    out.insert(out.end(), sector.before.begin(), sector.before.end());
    out.insert(out.end(), sector.after.begin(), sector.after.end());
    Put(out, Checksum(std::span(out).subspan(record)), kChecksumBytes);
  }
  out.insert(out.end(), kClosing.begin(), kClosing.end());
  return out;
}

std::optional<Journal> DecodeJournal(std::span<const std::uint8_t> bytes, JournalFault* fault) {
  JournalFault unused;
  JournalFault& why = fault ? *fault : unused;
  why = {};
  Reader in(bytes);
  const bool checked = in.Expect(kMagic);
  if (!checked && !in.Expect(kFirstMagic)) return std::nullopt;
  // From here on the bytes are a journal of this program's: what does not fit is damage.
  why.damaged = checked;
  Journal journal;
  std::uint64_t fileSystem = 0, serial = 0, total = 0, sectorBytes = 0, count = 0;
  const std::size_t header = in.At();
  if (!in.Take(fileSystem, 1) || !in.Take(serial, 4) || !in.Take(total, 8) ||
      !in.Take(sectorBytes, 4) || !in.Take(count, 4)) {
    return std::nullopt;
  }
  if (checked) {
    std::uint64_t length = 0, sum = 0;
    if (!in.Take(length, kLengthBytes)) return std::nullopt;
    const auto fields = in.Since(header);
    if (!in.Take(sum, kChecksumBytes) || sum != Checksum(fields) || length != bytes.size()) {
      return std::nullopt;
    }
  }
  if (fileSystem > static_cast<std::uint64_t>(FileSystem::kExfat) || total > INT64_MAX ||
      sectorBytes < fat::kMinSectorSize || sectorBytes > fat::kMaxSectorSize ||
      count > kMaxSectors) {
    return std::nullopt;
  }
  journal.volume = {static_cast<FileSystem>(fileSystem), static_cast<std::uint32_t>(serial),
                    static_cast<std::int64_t>(total), static_cast<std::int32_t>(sectorBytes)};
  for (std::uint64_t i = 0; i < count; ++i) {
    JournalSector sector;
    std::uint64_t number = 0, sum = 0;
    const std::size_t record = in.At();
    if (!in.Take(number, 8) || !in.Take(sector.before, sectorBytes) ||
        !in.Take(sector.after, sectorBytes)) {
      return std::nullopt;
    }
    if (checked) {
      const auto recorded = in.Since(record);
      if (!in.Take(sum, kChecksumBytes) || sum != Checksum(recorded)) {
        why.record = static_cast<std::int64_t>(i);
        return std::nullopt;
      }
    }
    // A sector outside the volume: no change of this volume's wrote it.
    if (number >= total) return std::nullopt;
    sector.sector = static_cast<std::int64_t>(number);
    journal.sectors.push_back(std::move(sector));
  }
  if (!in.Expect(kClosing) || !in.AtEnd()) return std::nullopt;
  return journal;
}

std::optional<Problem> WriteJournal(const std::filesystem::path& path, const Journal& journal) {
  const std::vector<std::uint8_t> bytes = EncodeJournal(journal);
  std::error_code checked;
  const bool existed = std::filesystem::exists(path, checked);
  if (const int error = volume::WriteFileDurably(path, bytes)) {
    Problem problem = JournalProblem(ProblemKind::kJournalNotWritten, path, error);
    if (existed) problem.detail.at = kJournalExists;
    return problem;
  }
  return std::nullopt;
}

std::tm LocalTimeNow() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
#ifdef _WIN32
  localtime_s(&local, &now);
#else
  localtime_r(&now, &local);
#endif
  return local;
}

std::filesystem::path JournalFolder() {
  std::filesystem::path folder = volume::StateDirectory();
  if (folder.empty()) folder = std::filesystem::current_path();
  return folder;
}

std::string JournalFileName(std::string_view what, std::string_view label, std::uint32_t serial,
                            const std::tm& time, int number) {
  // Blanks, dots and NULs at either end are dropped (Windows drops them from a name); whatever a
  // file name cannot hold on either system, or holds only awkwardly, becomes '_'.
  const auto kept = [](char c) { return c != ' ' && c != '.' && c != '\0'; };
  const auto first = std::find_if(label.begin(), label.end(), kept);
  const auto last = std::find_if(label.rbegin(), label.rend(), kept).base();
  std::string safe;
  for (auto c = first; c < last; ++c) {
    const auto byte = static_cast<unsigned char>(*c);
    const bool reserved = std::string_view("/\\:*?\"<>| ").find(*c) != std::string_view::npos;
    safe += byte < 0x20 || byte == 0x7F || reserved ? '_' : *c;
  }
  if (safe.empty()) safe = kNoLabelName;
  char stamp[32] = {};
  std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &time);
  char serialText[16] = {};
  std::snprintf(serialText, sizeof serialText, "%08X", static_cast<unsigned>(serial));
  std::string name = std::string(what) + "-" + safe + "-" + serialText + "-" + stamp;
  if (number > 1) name.append("-").append(std::to_string(number));
  return name + ".journal";
}

Expected<std::filesystem::path, Problem> WriteJournal(const JournalPlace& place,
                                                      const VolumeLayout& layout,
                                                      const Journal& journal,
                                                      const Quarantine* quarantine) {
  const auto told = [&](std::filesystem::path path) -> Expected<std::filesystem::path, Problem> {
    if (place.saved) place.saved(path);
    return path;
  };
  // The quarantine beside the journal that names it; gone again when the journal is not written.
  const auto dropQuarantine = [&](const std::filesystem::path& path) {
    std::error_code ignored;
    if (quarantine) std::filesystem::remove(QuarantineOf(path), ignored);
  };
  if (!place.file.empty()) {
    if (quarantine) {
      // Named as the user named it: the journal, whose place cannot take the quarantine.
      if (auto problem = WriteQuarantine(QuarantineOf(place.file), *quarantine)) {
        problem->detail.name = place.file.string();
        return std::move(*problem);
      }
    }
    if (auto problem = WriteJournal(place.file, journal)) {
      dropQuarantine(place.file);
      return std::move(*problem);
    }
    return told(place.file);
  }
  const auto folderProblem = [&](int error) {
    return JournalProblem(ProblemKind::kJournalFolderFailed, place.folder, error);
  };
  const std::tm local = LocalTimeNow();
  const std::string label = VolumeLabel(layout);
  const std::vector<std::uint8_t> bytes = EncodeJournal(journal);
  // A name that is taken, also by a program that wrote it a moment ago (the write makes a new
  // file or fails), is numbered on; so is one whose serial number and time another command's
  // journal has, so that the changes of one volume in one second keep their order.
  const std::uint32_t serial = IdentityOf(layout).serial;
  JournalFolderFiles ownListing;
  if (!place.listed) ownListing = JournalFolderFiles(place.folder);
  const std::vector<JournalName> ofSerial =
      (place.listed ? *place.listed : ownListing).Journals(serial);
  // In the volume's own folder (SerialFolder), made after the listing has arranged the folder.
  const std::filesystem::path folder = SerialFolder(place.folder, serial);
  if (const int error = volume::MakePrivateFolder(folder)) return folderProblem(error);
  for (int number = 1;; ++number) {
    const std::string name = JournalFileName(place.what, label, serial, local, number);
    const std::filesystem::path path = folder / std::u8string(name.begin(), name.end());
    const JournalName named = ReadJournalName(path);
    const bool taken = std::any_of(ofSerial.begin(), ofSerial.end(), [&](const JournalName& other) {
      return other.serial == serial && other.stamp == named.stamp && other.number == named.number;
    });
    if (taken) continue;
    if (quarantine) {
      if (auto problem = WriteQuarantine(QuarantineOf(path), *quarantine)) {
        if (problem->detail.at == kJournalExists) continue;
        return std::move(*problem);
      }
    }
    const int error = volume::WriteFileDurably(path, bytes);
    if (error == 0) return told(path);
    dropQuarantine(path);
    if (volume::KindOfFileError(error) != volume::FileErrorKind::kExists) {
      return folderProblem(error);
    }
  }
}

Expected<Journal, Problem> ReadJournal(const std::filesystem::path& path) {
  std::vector<std::uint8_t> bytes;
  int error = 0;
  Problem problem = JournalProblem(ProblemKind::kJournalUnreadable, path);
  switch (volume::ReadRegularFile(path, kMaxJournalBytes, bytes, error)) {
    case volume::ReadOutcome::kRead: {
      JournalFault fault;
      if (auto journal = DecodeJournal(bytes, &fault)) return std::move(*journal);
      if (fault.damaged) return JournalProblem(ProblemKind::kJournalDamaged, path, fault.record);
      return problem;
    }
    case volume::ReadOutcome::kMissing:
      return JournalProblem(ProblemKind::kJournalMissing, path);
    case volume::ReadOutcome::kNotRegular:
      return JournalProblem(ProblemKind::kJournalNotAFile, path);
    case volume::ReadOutcome::kTooLarge:
      return JournalProblem(ProblemKind::kJournalTooLarge, path, kMaxJournalBytes >> 20);
    case volume::ReadOutcome::kFailed:
      return JournalProblem(ProblemKind::kJournalNotRead, path, error);
  }
  return problem;
}

std::optional<Problem> ReadJournalSectors(volume::Volume& volume, const Journal& journal,
                                          const JournalSectorLook& look,
                                          const std::function<void(std::int64_t bytes)>& read) {
  const auto sectorBytes = static_cast<std::uint32_t>(journal.volume.bytesPerSector);
  // A journal without a sector size reads nothing: its first read is refused.
  const auto most = sectorBytes == 0
                        ? std::size_t{1}
                        : static_cast<std::size_t>(std::max<std::int64_t>(
                              1, kMaxTransferBytes / static_cast<std::int64_t>(sectorBytes)));
  // Runs of contiguous sectors, scattered over the volume, read a batch at a time together.
  const std::size_t batch =
      sectorBytes == 0
          ? most
          : std::max(most, static_cast<std::size_t>(kRootBatchBytes /
                                                    static_cast<std::int64_t>(sectorBytes)));
  const std::size_t count = journal.sectors.size();
  volume::AlignedBuffer buffer(std::min(batch, std::max<std::size_t>(count, 1)) * sectorBytes);
  std::vector<SectorRead> runs;
  std::vector<std::size_t> runFirst;  // the journal's first sector of each run
  for (std::size_t first = 0; first < count;) {
    runs.clear();
    runFirst.clear();
    for (std::size_t used = 0; first < count && used < batch;) {
      std::size_t end = first + 1;
      while (end < count && end - first < most && used + (end - first) < batch &&
             journal.sectors[end].sector == journal.sectors[end - 1].sector + 1) {
        ++end;
      }
      runs.push_back({journal.sectors[first].sector,
                      buffer.bytes().subspan(used * sectorBytes, (end - first) * sectorBytes)});
      runFirst.push_back(first);
      used += end - first;
      first = end;
    }
    // `read` hears of each run as it arrives (a window answers its input between two); the runs
    // before one that failed are looked at first, as when each is read after the other.
    const auto failed = ReadSectorsTogether(volume, sectorBytes, runs, [&](std::size_t r) {
      read(static_cast<std::int64_t>(runs[r].bytes.size()));
    });
    const std::size_t arrived = failed ? failed->index : runs.size();
    for (std::size_t r = 0; r < arrived; ++r) {
      const auto bytes = runs[r].bytes;
      for (std::size_t i = 0; i < bytes.size() / sectorBytes; ++i) {
        if (auto problem = look(runFirst[r] + i, bytes.subspan(i * sectorBytes, sectorBytes))) {
          return problem;
        }
      }
    }
    if (failed) return ReadProblem(failed->error, runs[failed->index].sector, sectorBytes);
  }
  return std::nullopt;
}

}  // namespace kestrova::repair
