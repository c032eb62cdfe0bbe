// SPDX-License-Identifier: GPL-3.0-or-later
#include "repair/quarantine.h"

#include <algorithm>
#include <string_view>

#include "format/fat.h"
#include "format/problems.h"
#include "repair/records.h"
#include "volume/files.h"

namespace kestrova::repair {
namespace {

// A quarantine file: the magic line, the volume's identity, the number of files, the file's length
// and a CRC-32 of these fields; then each file's record (the fields of QuarantinedFile in order,
// a text as its length and its UTF-8 bytes, the content masked) and a CRC-32 of the record; then
// the closing mark. Numbers are little-endian.
constexpr std::string_view kMagic = "KESTROVA QUARANTINE 1\n";
constexpr std::string_view kClosing = "END\n";
constexpr int kChecksumBytes = 4;
// The most files a quarantine holds, and the largest that is read (whole, into memory).
constexpr std::uint64_t kMaxFiles = 1u << 20;
constexpr std::uint64_t kMaxQuarantineBytes = std::uint64_t{4} << 30;
constexpr std::uint64_t kMaxText = 1u << 16;

// The key that the content is combined with: not a secret, only what keeps the stored bytes from
// being the program's.
constexpr std::uint8_t kMask[] = {0x4B, 0xE7, 0x19, 0xA3, 0x5D, 0x72, 0xC8, 0x0E,
                                  0x96, 0x3F, 0xD1, 0x64, 0xB8, 0x2A, 0xF5, 0x81};

void PutText(std::vector<std::uint8_t>& out, std::string_view text) {
  Put(out, text.size(), 4);
  out.insert(out.end(), text.begin(), text.end());
}

void PutBytes(std::vector<std::uint8_t>& out, std::span<const std::uint8_t> bytes) {
  Put(out, bytes.size(), 8);
  out.insert(out.end(), bytes.begin(), bytes.end());
}

bool TakeText(Reader& in, std::string& text) {
  std::uint64_t length = 0;
  std::vector<std::uint8_t> bytes;
  if (!in.Take(length, 4) || length > kMaxText || !in.Take(bytes, length)) return false;
  text.assign(bytes.begin(), bytes.end());
  return true;
}

bool TakeBytes(Reader& in, std::vector<std::uint8_t>& bytes, std::uint64_t most) {
  std::uint64_t length = 0;
  return in.Take(length, 8) && length <= most && in.Take(bytes, length);
}

std::vector<std::uint8_t> HeaderFields(const Quarantine& quarantine, std::uint64_t length) {
  std::vector<std::uint8_t> out;
  Put(out, static_cast<std::uint64_t>(quarantine.volume.fileSystem), 1);
  Put(out, quarantine.volume.serial, 4);
  Put(out, static_cast<std::uint64_t>(quarantine.volume.totalSectors), 8);
  Put(out, static_cast<std::uint64_t>(quarantine.volume.bytesPerSector), 4);
  Put(out, quarantine.files.size(), 4);
  Put(out, length, 8);
  return out;
}

std::vector<std::uint8_t> Record(const QuarantinedFile& file) {
  std::vector<std::uint8_t> out;
  Put(out, file.removed ? 1 : 0, 1);
  PutText(out, file.path);
  PutText(out, file.longName);
  PutText(out, file.shortName);
  Put(out, file.attributes, 2);
  Put(out, file.size, 8);
  Put(out, file.firstCluster, 4);
  out.insert(out.end(), file.digest.begin(), file.digest.end());
  Put(out, static_cast<std::uint64_t>(file.verdict), 1);
  Put(out, static_cast<std::uint64_t>(file.evidence), 1);
  PutText(out, file.subject);
  PutText(out, file.command);
  PutBytes(out, file.entries);
  std::vector<std::uint8_t> masked = file.bytes;
  MaskQuarantined(masked);
  PutBytes(out, masked);
  Put(out, Checksum(out), kChecksumBytes);
  return out;
}

Problem QuarantineProblem(ProblemKind kind, const std::filesystem::path& path,
                          std::int64_t value = 0) {
  return MakeProblem(kind, {DetailKind::kNone, 0, value, path.string()});
}

}  // namespace

std::vector<std::uint8_t> EncodeQuarantine(const Quarantine& quarantine) {
  std::vector<std::vector<std::uint8_t>> records;
  std::uint64_t length =
      kMagic.size() + HeaderFields(quarantine, 0).size() + kChecksumBytes + kClosing.size();
  for (const QuarantinedFile& file : quarantine.files) {
    records.push_back(Record(file));
    length += records.back().size();
  }
  std::vector<std::uint8_t> out(kMagic.begin(), kMagic.end());
  const std::vector<std::uint8_t> header = HeaderFields(quarantine, length);
  out.insert(out.end(), header.begin(), header.end());
  Put(out, Checksum(header), kChecksumBytes);
  for (const auto& record : records) out.insert(out.end(), record.begin(), record.end());
  out.insert(out.end(), kClosing.begin(), kClosing.end());
  return out;
}

std::optional<Quarantine> DecodeQuarantine(std::span<const std::uint8_t> bytes, bool* damaged,
                                           bool withBytes) {
  bool unused = false;
  bool& broken = damaged ? *damaged : unused;
  broken = false;
  Reader in(bytes);
  if (!in.Expect(kMagic)) return std::nullopt;
  // From here on the bytes are a quarantine of this program's: what does not fit is damage.
  broken = true;
  const std::size_t header = in.At();
  std::uint64_t fileSystem = 0, serial = 0, total = 0, sectorBytes = 0, count = 0, length = 0;
  std::uint64_t sum = 0;
  if (!in.Take(fileSystem, 1) || !in.Take(serial, 4) || !in.Take(total, 8) ||
      !in.Take(sectorBytes, 4) || !in.Take(count, 4) || !in.Take(length, 8)) {
    return std::nullopt;
  }
  const auto fields = in.Since(header);
  if (!in.Take(sum, kChecksumBytes) || sum != Checksum(fields) || length != bytes.size() ||
      fileSystem > static_cast<std::uint64_t>(FileSystem::kExfat) || total > INT64_MAX ||
      sectorBytes < fat::kMinSectorSize || sectorBytes > fat::kMaxSectorSize || count > kMaxFiles) {
    return std::nullopt;
  }
  Quarantine quarantine;
  quarantine.volume = {static_cast<FileSystem>(fileSystem), static_cast<std::uint32_t>(serial),
                       static_cast<std::int64_t>(total), static_cast<std::int32_t>(sectorBytes)};
  for (std::uint64_t i = 0; i < count; ++i) {
    QuarantinedFile file;
    const std::size_t record = in.At();
    std::uint64_t removed = 0, attributes = 0, size = 0, cluster = 0, verdict = 0, evidence = 0;
    std::vector<std::uint8_t> digest;
    if (!in.Take(removed, 1) || !TakeText(in, file.path) || !TakeText(in, file.longName) ||
        !TakeText(in, file.shortName) || !in.Take(attributes, 2) || !in.Take(size, 8) ||
        !in.Take(cluster, 4) || !in.Take(digest, file.digest.size()) || !in.Take(verdict, 1) ||
        !in.Take(evidence, 1) || !TakeText(in, file.subject) || !TakeText(in, file.command) ||
        !TakeBytes(in, file.entries, kMaxText) || !TakeBytes(in, file.bytes, bytes.size())) {
      return std::nullopt;
    }
    const auto recorded = in.Since(record);
    if (!in.Take(sum, kChecksumBytes) || sum != Checksum(recorded) || removed > 1 ||
        verdict > static_cast<std::uint64_t>(Verdict::kUnsure) ||
        evidence > static_cast<std::uint64_t>(kLastEvidence) ||
        (removed && file.bytes.size() != size)) {
      return std::nullopt;
    }
    file.removed = removed == 1;
    file.attributes = static_cast<std::uint16_t>(attributes);
    file.size = size;
    file.firstCluster = static_cast<std::uint32_t>(cluster);
    std::copy(digest.begin(), digest.end(), file.digest.begin());
    file.verdict = static_cast<Verdict>(verdict);
    file.evidence = static_cast<Evidence>(evidence);
    if (withBytes) {
      MaskQuarantined(file.bytes);
    } else {
      file.bytes = {};
    }
    quarantine.files.push_back(std::move(file));
  }
  if (!in.Expect(kClosing) || !in.AtEnd()) return std::nullopt;
  broken = false;
  return quarantine;
}

std::filesystem::path QuarantineOf(const std::filesystem::path& journal) {
  std::filesystem::path path = journal;
  return path.replace_extension(".quarantine");
}

std::optional<Problem> WriteQuarantine(const std::filesystem::path& path,
                                       const Quarantine& quarantine) {
  if (const int error = volume::WriteFileDurably(path, EncodeQuarantine(quarantine))) {
    Problem problem = QuarantineProblem(ProblemKind::kJournalNotWritten, path, error);
    if (volume::KindOfFileError(error) == volume::FileErrorKind::kExists) {
      problem.detail.at = kJournalExists;
    }
    return problem;
  }
  return std::nullopt;
}

Expected<Quarantine, Problem> ReadQuarantine(const std::filesystem::path& path, bool withBytes) {
  std::vector<std::uint8_t> bytes;
  int error = 0;
  switch (volume::ReadRegularFile(path, kMaxQuarantineBytes, bytes, error)) {
    case volume::ReadOutcome::kRead:
      break;
    case volume::ReadOutcome::kMissing:
      return QuarantineProblem(ProblemKind::kJournalMissing, path);
    case volume::ReadOutcome::kNotRegular:
      return QuarantineProblem(ProblemKind::kJournalNotAFile, path);
    case volume::ReadOutcome::kTooLarge:
      return QuarantineProblem(ProblemKind::kJournalTooLarge, path,
                               static_cast<std::int64_t>(kMaxQuarantineBytes >> 20));
    case volume::ReadOutcome::kFailed:
      return QuarantineProblem(ProblemKind::kJournalNotRead, path, error);
  }
  bool damaged = false;
  auto quarantine = DecodeQuarantine(bytes, &damaged, withBytes);
  if (!quarantine) {
    return QuarantineProblem(
        damaged ? ProblemKind::kQuarantineDamaged : ProblemKind::kQuarantineUnreadable, path);
  }
  return std::move(*quarantine);
}

std::vector<ListedQuarantine> ListQuarantines(const JournalFolderFiles& files,
                                              std::optional<VolumeIdentity> volume) {
  std::vector<ListedQuarantine> listed;
  for (const JournalName& name :
       files.Quarantines(volume ? volume->serial : std::optional<std::uint32_t>())) {
    auto read = ReadQuarantine(name.path, false);
    if (read && volume && read->volume != *volume) continue;
    ListedQuarantine one{name, std::nullopt, {}};
    if (read) {
      one.quarantine = std::move(*read);
    } else {
      one.problem = std::move(read.error());
    }
    listed.push_back(std::move(one));
  }
  return listed;
}

std::vector<QuarantinedFile> Recall(const JournalFolderFiles& files, const VolumeIdentity& volume) {
  std::vector<QuarantinedFile> recalled;
  for (ListedQuarantine& listed : ListQuarantines(files, volume)) {
    if (!listed.quarantine) continue;
    for (QuarantinedFile& file : listed.quarantine->files) {
      if (file.verdict == Verdict::kVirus || file.evidence == Evidence::kDisguise ||
          file.evidence == Evidence::kMovedFilesFolder) {
        recalled.push_back(std::move(file));
      }
    }
  }
  return recalled;
}

void MaskQuarantined(std::span<std::uint8_t> bytes) {
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] ^= kMask[i % sizeof kMask];
}

}  // namespace kestrova::repair
