// SPDX-License-Identifier: GPL-3.0-or-later
#include "repair/journals.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <set>
#include <string_view>
#include <tuple>

#include "format/fat.h"
#include "format/sector_io.h"
#include "repair/commit.h"
#include "repair/engine.h"
#include "repair/pass.h"
#include "volume/files.h"
#include "volume/folder_files.h"

namespace kestrova::repair {
namespace {

bool AllOf(std::string_view text, bool (*is)(char)) {
  return std::all_of(text.begin(), text.end(), is);
}
bool IsLower(char c) { return c >= 'a' && c <= 'z'; }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool IsUpperHex(char c) { return IsDigit(c) || (c >= 'A' && c <= 'F'); }

// "20261208-103259"
constexpr std::size_t kStampLength = 15;
bool IsStamp(std::string_view text) {
  return text.size() == kStampLength && text[8] == '-' && AllOf(text.substr(0, 8), IsDigit) &&
         AllOf(text.substr(9), IsDigit);
}

// Digits after a '-' at the end of `base` (a number), with what comes before; nothing when it
// does not end so.
std::optional<std::string_view> NumberAtEnd(std::string_view& base) {
  const auto dash = base.rfind('-');
  if (dash == std::string_view::npos) return std::nullopt;
  const std::string_view digits = base.substr(dash + 1);
  if (digits.empty() || !AllOf(digits, IsDigit)) return std::nullopt;
  base = base.substr(0, dash);
  return digits;
}

int NumberOf(std::string_view digits) {
  int number = 1;
  std::from_chars(digits.data(), digits.data() + digits.size(), number);
  return number;
}

// What a name says, as parts of it.
struct NameParts {
  std::string_view command, label, stamp;
  std::optional<std::uint32_t> serial;
  int number = 1;
};

// Read from the end: "-SERIAL-STAMP" or "-SERIAL-STAMP-NUMBER" before the extension, the command
// and the label before them (the label may hold dashes, and the last serial and stamp are the
// name's); or "-STAMP-PID" or "-STAMP-PID-NUMBER" after the command in a first version's name.
NameParts ParseName(std::string_view name) {
  NameParts parts;
  const auto dot = name.rfind('.');
  if (dot == std::string_view::npos) return parts;
  const std::string_view extension = name.substr(dot + 1);
  const std::string_view base = name.substr(0, dot);
  const auto commandEnd =
      static_cast<std::size_t>(std::find_if_not(base.begin(), base.end(), IsLower) - base.begin());
  if (extension.empty() || !AllOf(extension, IsLower) || commandEnd == 0 ||
      commandEnd == base.size() || base[commandEnd] != '-') {
    return parts;
  }
  // The serial, the stamp and the number of a name that ends at `end` with the stamp.
  const auto tryName = [&](std::size_t end, std::string_view number) {
    constexpr std::size_t kSerialAndStamp = 1 + 8 + 1 + kStampLength;
    if (end < commandEnd + 1 + kSerialAndStamp) return false;
    const std::size_t at = end - kSerialAndStamp;  // the dash before the serial
    const std::string_view serial = base.substr(at + 1, 8);
    if (base[at] != '-' || base[at + 9] != '-' || !AllOf(serial, IsUpperHex) ||
        !IsStamp(base.substr(at + 10, kStampLength))) {
      return false;
    }
    std::uint32_t value = 0;
    std::from_chars(serial.data(), serial.data() + serial.size(), value, 16);
    parts.command = base.substr(0, commandEnd);
    parts.label = base.substr(commandEnd + 1, at - commandEnd - 1);
    parts.serial = value;
    parts.stamp = base.substr(at + 10, kStampLength);
    if (!number.empty()) parts.number = NumberOf(number);
    return true;
  };
  std::string_view rest = base;
  const auto number = NumberAtEnd(rest);
  if (tryName(base.size(), {}) || (number && tryName(rest.size(), *number))) return parts;
  // A first version's name: the command, the stamp, the process and maybe a number.
  if (extension != "journal" || base.size() < commandEnd + 1 + kStampLength ||
      !IsStamp(base.substr(commandEnd + 1, kStampLength))) {
    return parts;
  }
  // "-PID" or "-PID-NUMBER" after the stamp.
  std::string_view tail = base.substr(commandEnd + 1 + kStampLength);
  const auto last = NumberAtEnd(tail);
  const bool numbered = last && !tail.empty();
  if (!last || (numbered && (!NumberAtEnd(tail) || !tail.empty()))) return parts;
  parts.command = base.substr(0, commandEnd);
  parts.stamp = base.substr(commandEnd + 1, kStampLength);
  if (numbered) parts.number = NumberOf(*last);
  return parts;
}

// Whether a file whose name says `named` may be of the volume with `serial`: a name without one
// may be anyone's.
bool MayBeOf(std::optional<std::uint32_t> named, std::uint32_t serial) {
  return !named || *named == serial;
}

JournalName NamedFrom(std::filesystem::path path, std::string_view name) {
  const NameParts parts = ParseName(name);
  return {std::move(path), std::string(parts.command), std::string(parts.label),
          parts.serial,    std::string(parts.stamp),   parts.number};
}

}  // namespace

JournalName ReadJournalName(const std::filesystem::path& path) {
  const std::u8string name = path.filename().u8string();
  return NamedFrom(path, {reinterpret_cast<const char*>(name.data()), name.size()});
}

std::filesystem::path SerialFolder(const std::filesystem::path& folder, std::uint32_t serial) {
  char name[16] = {};
  std::snprintf(name, sizeof name, "%08X", static_cast<unsigned>(serial));
  return folder / name;
}

namespace {

constexpr std::string_view kJournalExtension = ".journal", kQuarantineExtension = ".quarantine",
                           kUndoMarkExtension = ".undoing";

// The journal folder's own file names: its journals, its quarantines and the marks of undos.
bool IsJournalFolderFile(std::string_view name) {
  if (name.ends_with(kUndoMarkExtension)) name.remove_suffix(kUndoMarkExtension.size());
  return name.ends_with(kJournalExtension) || name.ends_with(kQuarantineExtension);
}

// The folder that the file named `name` belongs in.
std::filesystem::path PlaceOf(const std::filesystem::path& folder, std::string_view name) {
  if (name.ends_with(kUndoMarkExtension)) name.remove_suffix(kUndoMarkExtension.size());
  const auto serial = ParseName(name).serial;
  return serial ? SerialFolder(folder, *serial) : folder / kNoSerialFolder;
}

bool IsPlaceName(std::string_view name) {
  return name == kNoSerialFolder || (name.size() == 8 && AllOf(name, IsUpperHex));
}

}  // namespace

std::filesystem::path ArrangedPath(const std::filesystem::path& named) {
  std::error_code checked;
  if (std::filesystem::exists(named, checked) || !named.has_parent_path()) return named;
  const std::u8string name = named.filename().u8string();
  const std::string_view text(reinterpret_cast<const char*>(name.data()), name.size());
  if (!IsJournalFolderFile(text)) return named;
  std::filesystem::path moved = PlaceOf(named.parent_path(), text) / named.filename();
  return std::filesystem::exists(moved, checked) ? moved : named;
}

JournalFolderFiles::JournalFolderFiles(std::filesystem::path folder) : folder_(std::move(folder)) {}

void JournalFolderFiles::Arrange() const {
  if (arranged_ || folder_.empty()) return;
  arranged_ = true;
  std::error_code checked;
  exists_ = std::filesystem::is_directory(folder_, checked);
  if (!exists_ || std::filesystem::exists(folder_ / kLayoutMark, checked)) return;
  std::vector<std::string> files;
  volume::ListNames(folder_, [&](std::string_view name, volume::ListedType type) {
    if (type != volume::ListedType::kOther && IsJournalFolderFile(name)) files.emplace_back(name);
  });
  std::set<std::filesystem::path::string_type> made;  // the folders moved into
  for (const std::string& name : files) {
    const std::filesystem::path place = PlaceOf(folder_, name);
    int error = 0;
    if (!made.contains(place.native())) {
      error = volume::MakePrivateFolder(place);
      if (error == 0) made.insert(place.native());
    }
    if (error == 0) {
      error = volume::MoveFileNoReplace(volume::PathIn(folder_, name), volume::PathIn(place, name));
    }
    // A file that another program moved meanwhile is in its place; any other stays at the top.
    if (error != 0 && std::filesystem::exists(volume::PathIn(folder_, name), checked)) {
      topHoldsFiles_ = true;
    }
  }
  // The new names reach the disk before the mark that says the top holds none.
  if (topHoldsFiles_ || (!files.empty() && volume::SyncFileSystem(folder_) != 0)) {
    topHoldsFiles_ = true;
    return;
  }
  static constexpr std::string_view kMarkText =
      "Each volume's journals and quarantines are in the folder named by its serial number.\n";
  const int marked = volume::WriteFileDurably(
      folder_ / kLayoutMark,
      {reinterpret_cast<const std::uint8_t*>(kMarkText.data()), kMarkText.size()});
  // Without the mark, the top is listed by every pass as it was before.
  if (marked != 0 && volume::KindOfFileError(marked) != volume::FileErrorKind::kExists) {
    topHoldsFiles_ = true;
  }
}

void JournalFolderFiles::ListPlace(const std::filesystem::path& place) const {
  if (!listedPlaces_.insert(place.native()).second) return;
  places_.push_back(place);
  const std::size_t index = places_.size() - 1;
  volume::ListNames(place, [&](std::string_view name, volume::ListedType type) {
    const bool journal = name.ends_with(kJournalExtension);
    if (!journal && !name.ends_with(kQuarantineExtension)) return;
    if (journal && type != volume::ListedType::kFile) {
      // Only a journal that is a file is listed (a link to one is).
      std::error_code typed;
      if (type == volume::ListedType::kOther ||
          !std::filesystem::is_regular_file(volume::PathIn(place, std::string(name)), typed)) {
        return;
      }
    }
    entries_.push_back({names_.size(), name.size(), index, journal, ParseName(name).serial});
    names_.append(name);
  });
}

void JournalFolderFiles::ListFor(std::optional<std::uint32_t> serial) const {
  Arrange();
  if (!exists_) return;
  if (serial) {
    ListPlace(SerialFolder(folder_, *serial));
    ListPlace(folder_ / kNoSerialFolder);
    if (topHoldsFiles_) ListPlace(folder_);
    return;
  }
  // Every volume's: the top, and each folder of a volume in it.
  std::vector<std::string> folders;
  volume::ListNames(folder_, [&](std::string_view name, volume::ListedType type) {
    if (type != volume::ListedType::kFile && IsPlaceName(name)) folders.emplace_back(name);
  });
  ListPlace(folder_);
  for (const std::string& name : folders) ListPlace(volume::PathIn(folder_, name));
}

bool JournalFolderFiles::AnyJournal() const {
  Arrange();
  return exists_;
}

std::vector<JournalName> JournalFolderFiles::Journals(std::optional<std::uint32_t> serial) const {
  return Named(true, serial);
}

std::vector<JournalName> JournalFolderFiles::Quarantines(
    std::optional<std::uint32_t> serial) const {
  return Named(false, serial);
}

std::vector<JournalName> JournalFolderFiles::Named(bool journals,
                                                   std::optional<std::uint32_t> serial) const {
  ListFor(serial);
  std::vector<JournalName> named;
  for (const Entry& entry : entries_) {
    if (entry.journal != journals || (serial && !MayBeOf(entry.serial, *serial))) continue;
    const std::string name = names_.substr(entry.at, entry.length);
    named.push_back(NamedFrom(volume::PathIn(places_[entry.place], name), name));
  }
  std::sort(named.begin(), named.end(), [](const JournalName& a, const JournalName& b) {
    return std::tie(a.stamp, a.number, a.path) > std::tie(b.stamp, b.number, b.path);
  });
  return named;
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
  const auto sectorBytes = static_cast<std::int64_t>(journal.volume.bytesPerSector);
  if (planned) track.Plan(static_cast<std::int64_t>(journal.sectors.size()) * sectorBytes);
  return ReadJournalSectors(
      volume, journal,
      [&](std::size_t index, std::span<const std::uint8_t> now) -> std::optional<Problem> {
        const JournalSector& entry = journal.sectors[index];
        if (std::equal(entry.after.begin(), entry.after.end(), now.begin(), now.end())) {
          holds.push_back(Holds::kAfter);
        } else if (std::equal(entry.before.begin(), entry.before.end(), now.begin(), now.end())) {
          holds.push_back(Holds::kBefore);
        } else {
          holds.push_back(Holds::kOther);
          others.emplace_back(now.begin(), now.end());
        }
        return std::nullopt;
      },
      [&](std::int64_t bytes) {
        if (planned) {
          track.Moved(bytes);
        } else {
          track.Touched();
        }
      });
}

}  // namespace

std::filesystem::path UndoMarkOf(const std::filesystem::path& journal) {
  std::filesystem::path mark = journal;
  mark += ".undoing";
  return mark;
}

namespace {

// The journal that `name` names, read.
ListedJournal ReadListed(const JournalName& name) {
  ListedJournal listed;
  static_cast<JournalName&>(listed) = name;
  auto read = ReadJournal(name.path);
  if (read) {
    listed.journal = std::move(*read);
  } else {
    listed.problem = std::move(read.error());
  }
  std::error_code checked;
  listed.undoCutShort = std::filesystem::exists(UndoMarkOf(name.path), checked);
  return listed;
}

}  // namespace

std::vector<ListedJournal> ListJournals(const JournalFolderFiles& files,
                                        std::optional<VolumeIdentity> volume) {
  std::vector<ListedJournal> listed;
  for (const JournalName& name :
       files.Journals(volume ? volume->serial : std::optional<std::uint32_t>())) {
    ListedJournal journal = ReadListed(name);
    if (volume && journal.journal && journal.journal->volume != *volume) continue;
    listed.push_back(std::move(journal));
  }
  return listed;
}

const JournalPlace* ListedOnce(const JournalPlace* place, JournalPlace& copy,
                               JournalFolderFiles& listed) {
  if (!place || place->listed) return place;
  copy = *place;
  listed = JournalFolderFiles(place->folder);
  copy.listed = &listed;
  return &copy;
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
                                                                const JournalFolderFiles& files,
                                                                Progress* progress) {
  // The journals come first: without one, the volume is not read at all.
  if (!files.AnyJournal()) return std::optional<FinishedChange>();
  // Its reads only touch the track: the pass that follows moves it.
  ProgressTrack track(progress);
  const auto identity = IdentityOfVolume(volume, &track);
  if (!identity) return std::optional<FinishedChange>();
  // Newest first, each whose name may be of the volume, up to the newest that is.
  std::optional<ListedJournal> newest;
  for (const JournalName& name : files.Journals(identity->serial)) {
    ListedJournal listed = ReadListed(name);
    if (listed.journal && listed.journal->volume == *identity) {
      newest = std::move(listed);
      break;
    }
  }
  if (!newest || newest->undoCutShort) return std::optional<FinishedChange>();
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
