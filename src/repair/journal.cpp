// SPDX-License-Identifier: GPL-3.0-or-later
#include "repair/journal.h"

#include <algorithm>
#include <ctime>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>

#include "repair/exfat.h"
#include "repair/fat.h"
#include "repair/problems.h"
#include "volume/files.h"

namespace kestrova::repair {
namespace {

// A journal file: the magic line, the volume's identity, the number of sectors, each sector's
// number and its bytes before and after, and the closing mark. Numbers are little-endian.
constexpr std::string_view kMagic = "KESTROVA JOURNAL 1\n";
constexpr std::string_view kClosing = "END\n";
// The most sectors a journal holds: more than any root directory that the engine handles.
constexpr std::uint32_t kMaxSectors = 1u << 20;

void Put(std::vector<std::uint8_t>& out, std::uint64_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

// Reads the file's bytes in order; every read is checked against what is left.
class Reader {
 public:
  explicit Reader(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}
  bool Take(std::uint64_t& value, int bytes) {
    if (bytes_.size() - at_ < static_cast<std::size_t>(bytes)) return false;
    value = 0;
    for (int i = 0; i < bytes; ++i) value |= std::uint64_t{bytes_[at_ + i]} << (8 * i);
    at_ += static_cast<std::size_t>(bytes);
    return true;
  }
  bool Take(std::vector<std::uint8_t>& out, std::size_t count) {
    if (bytes_.size() - at_ < count) return false;
    out.assign(bytes_.begin() + static_cast<std::ptrdiff_t>(at_),
               bytes_.begin() + static_cast<std::ptrdiff_t>(at_ + count));
    at_ += count;
    return true;
  }
  bool Expect(std::string_view text) {
    if (bytes_.size() - at_ < text.size() ||
        !std::equal(text.begin(), text.end(), bytes_.begin() + static_cast<std::ptrdiff_t>(at_))) {
      return false;
    }
    at_ += text.size();
    return true;
  }
  bool AtEnd() const { return at_ == bytes_.size(); }

 private:
  std::span<const std::uint8_t> bytes_;
  std::size_t at_ = 0;
};

Problem JournalProblem(ProblemKind kind, const std::filesystem::path& path, int systemError = 0) {
  return MakeProblem(kind, {DetailKind::kNone, 0, systemError, path.string()});
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
  Put(out, static_cast<std::uint64_t>(journal.volume.fileSystem), 1);
  Put(out, journal.volume.serial, 4);
  Put(out, static_cast<std::uint64_t>(journal.volume.totalSectors), 8);
  Put(out, static_cast<std::uint64_t>(journal.volume.bytesPerSector), 4);
  Put(out, journal.sectors.size(), 4);
  for (const JournalSector& sector : journal.sectors) {
    Put(out, static_cast<std::uint64_t>(sector.sector), 8);
    out.insert(out.end(), sector.before.begin(), sector.before.end());
    out.insert(out.end(), sector.after.begin(), sector.after.end());
  }
  out.insert(out.end(), kClosing.begin(), kClosing.end());
  return out;
}

std::optional<Journal> DecodeJournal(std::span<const std::uint8_t> bytes) {
  Reader in(bytes);
  Journal journal;
  std::uint64_t fileSystem = 0, serial = 0, total = 0, sectorBytes = 0, count = 0;
  if (!in.Expect(kMagic) || !in.Take(fileSystem, 1) || !in.Take(serial, 4) || !in.Take(total, 8) ||
      !in.Take(sectorBytes, 4) || !in.Take(count, 4)) {
    return std::nullopt;
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
    std::uint64_t number = 0;
    if (!in.Take(number, 8) || number >= total || !in.Take(sector.before, sectorBytes) ||
        !in.Take(sector.after, sectorBytes)) {
      return std::nullopt;
    }
    sector.sector = static_cast<std::int64_t>(number);
    journal.sectors.push_back(std::move(sector));
  }
  if (!in.Expect(kClosing) || !in.AtEnd()) return std::nullopt;
  return journal;
}

std::optional<Problem> WriteJournal(const std::filesystem::path& path, const Journal& journal) {
  const std::vector<std::uint8_t> bytes = EncodeJournal(journal);
  if (const int error = volume::WriteFileDurably(path, bytes)) {
    return JournalProblem(ProblemKind::kJournalNotWritten, path, error);
  }
  return std::nullopt;
}

std::filesystem::path NewJournalPath(std::string_view what) {
  std::filesystem::path folder = volume::StateDirectory();
  if (folder.empty()) folder = std::filesystem::current_path();
  const std::time_t now = std::time(nullptr);
  std::tm local{};
#ifdef _WIN32
  localtime_s(&local, &now);
#else
  localtime_r(&now, &local);
#endif
  char stamp[32] = {};
  std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &local);
  const std::string base =
      std::string(what) + "-" + stamp + "-" + std::to_string(volume::ProcessNumber());
  std::filesystem::path path = folder / (base + ".journal");
  std::error_code error;
  for (int n = 2; std::filesystem::exists(path, error); ++n) {
    path = folder / (base + "-" + std::to_string(n) + ".journal");
  }
  return path;
}

Expected<Journal, Problem> ReadJournal(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  const std::vector<std::uint8_t> bytes{std::istreambuf_iterator<char>(in),
                                        std::istreambuf_iterator<char>()};
  if (!in.good() && !in.eof()) return JournalProblem(ProblemKind::kJournalUnreadable, path);
  auto journal = DecodeJournal(bytes);
  if (!journal) return JournalProblem(ProblemKind::kJournalUnreadable, path);
  return std::move(*journal);
}

}  // namespace kestrova::repair
