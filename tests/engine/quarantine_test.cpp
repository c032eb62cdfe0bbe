// SPDX-License-Identifier: GPL-3.0-or-later
// The quarantine that a removal writes beside its journal, and what a later look recalls of it.
// The codec keeps every field and the content, stores no byte of the content in the clear, and
// takes no changed, added or missing byte for a quarantine. On FAT32 and exFAT sticks built in
// memory, a look that recalls the journal folder keeps the payload that a clean left the virus's
// while its bytes are the same; a changed byte, a document, or another volume's quarantine is no
// memory.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "fat_tools.h"
#include "format/fat_table.h"
#include "format/folder_listing.h"
#include "format/sha256.h"
#include "memory_stick.h"
#include "repair/engine.h"
#include "repair/ids.h"
#include "repair/quarantine.h"
#include "shortcut_writer.h"
#include "volume/files.h"

namespace kestrova::testing {
namespace {

using Kind = MemoryStick::Kind;
using Bytes = std::vector<std::uint8_t>;
using repair::Evidence;
using repair::QuarantinedFile;
using repair::Verdict;

// A program stand-in and a script line, as a removal keeps them.
const Bytes kProgram = [] {
  Bytes bytes = Text("MZ\x90 loader stand-in ");
  for (int i = 0; i < 300; ++i) bytes.push_back(static_cast<std::uint8_t>(i * 37 + 11));
  return bytes;
}();
const Bytes kScript =
    Text("Set shell = CreateObject(\"WScript.Shell\")\r\nshell.Run \"x.vbs\"\r\n");

bool Contains(const Bytes& bytes, const Bytes& piece) {
  return std::search(bytes.begin(), bytes.end(), piece.begin(), piece.end()) != bytes.end();
}

// A file as a removal records it: removed with its content, or staying with its digest only.
QuarantinedFile Record(bool removed, std::string path, std::string shortName, Evidence evidence,
                       const Bytes& content, std::uint32_t cluster, std::string subject) {
  const std::string name = path.substr(path.rfind('\\') + 1);
  return {removed,
          path,
          name == shortName ? "" : name,
          shortName,
          static_cast<std::uint16_t>(removed ? 0x26 : 0x06),
          content.size(),
          cluster,
          Sha256Of(content),
          Verdict::kVirus,
          evidence,
          subject,
          removed ? "cmd.exe /c start" : "",
          Bytes(removed ? 64 : 0, static_cast<std::uint8_t>(cluster)),
          removed ? content : Bytes{}};
}

repair::Quarantine Sample() {
  return {{repair::FileSystem::kExfat, 0x5EED1234, 123456789, 4096},
          {Record(true, "_\\~$WQF5D.FAT32", "~$WQF5~1.FAT", Evidence::kNamedByShortcut, kProgram,
                  0x12345, "USB DISK.lnk"),
           Record(true, "SYS.VBS", "SYS.VBS", Evidence::kShortcutRunsHost, kScript, 7, "照片.lnk"),
           Record(false, "_\\desktop.ini", "DESKTOP.INI", Evidence::kInHidingFolder,
                  Text("[.ShellClassInfo]"), 99, "")}};
}

void ExpectSame(const QuarantinedFile& a, const QuarantinedFile& b) {
  SCOPED_TRACE(a.path);
  EXPECT_EQ(a.removed, b.removed);
  EXPECT_EQ(a.path, b.path);
  EXPECT_EQ(a.longName, b.longName);
  EXPECT_EQ(a.shortName, b.shortName);
  EXPECT_EQ(a.attributes, b.attributes);
  EXPECT_EQ(a.size, b.size);
  EXPECT_EQ(a.firstCluster, b.firstCluster);
  EXPECT_EQ(a.digest, b.digest);
  EXPECT_EQ(a.verdict, b.verdict);
  EXPECT_EQ(a.evidence, b.evidence);
  EXPECT_EQ(a.subject, b.subject);
  EXPECT_EQ(a.command, b.command);
  EXPECT_EQ(a.entries, b.entries);
  EXPECT_EQ(a.bytes, b.bytes);
}

// Every field and the content come back; without the content when asked; the stored bytes hold
// neither the program's nor the script's bytes.
TEST(QuarantineCodecTest, KeepsEveryFieldAndMasksTheContent) {
  const repair::Quarantine sample = Sample();
  const Bytes encoded = repair::EncodeQuarantine(sample);
  bool damaged = true;
  const auto decoded = repair::DecodeQuarantine(encoded, &damaged);
  ASSERT_TRUE(decoded);
  EXPECT_FALSE(damaged);
  EXPECT_EQ(decoded->volume, sample.volume);
  ASSERT_EQ(decoded->files.size(), sample.files.size());
  for (std::size_t i = 0; i < sample.files.size(); ++i)
    ExpectSame(decoded->files[i], sample.files[i]);

  const auto light = repair::DecodeQuarantine(encoded, nullptr, false);
  ASSERT_TRUE(light);
  EXPECT_TRUE(light->files[0].bytes.empty());
  EXPECT_EQ(light->files[0].digest, sample.files[0].digest);

  EXPECT_FALSE(Contains(encoded, Bytes(kProgram.begin(), kProgram.begin() + 8)));
  EXPECT_FALSE(Contains(encoded, Text("CreateObject")));
  EXPECT_FALSE(Contains(encoded, Text("WScript")));
}

// Any byte changed, one added, or the end cut off anywhere is damage; bytes that do not begin as
// a quarantine are none at all. ReadQuarantine says which.
TEST(QuarantineCodecTest, AnyChangedOrMissingByteIsDamage) {
  const Bytes encoded = repair::EncodeQuarantine(Sample());
  constexpr std::size_t kMagic = std::string_view("KESTROVA QUARANTINE 1\n").size();
  for (std::size_t at = 0; at < encoded.size(); ++at) {
    Bytes flipped = encoded;
    flipped[at] ^= 0x10;
    bool damaged = false;
    EXPECT_FALSE(repair::DecodeQuarantine(flipped, &damaged)) << "byte " << at;
    EXPECT_EQ(damaged, at >= kMagic) << "byte " << at;
  }
  for (const std::size_t kept : {encoded.size() - 1, encoded.size() / 2, kMagic + 3}) {
    bool damaged = false;
    EXPECT_FALSE(
        repair::DecodeQuarantine(Bytes(encoded.begin(), encoded.begin() + kept), &damaged));
    EXPECT_TRUE(damaged) << kept;
  }
  Bytes longer = encoded;
  longer.push_back(0);
  bool damaged = false;
  EXPECT_FALSE(repair::DecodeQuarantine(longer, &damaged));
  EXPECT_TRUE(damaged);

  TempDir dir;
  const auto path = dir / "clean-KINGSTON-5EED1234-20260101-000000.quarantine";
  ASSERT_FALSE(repair::WriteQuarantine(path, Sample()));
  ASSERT_TRUE(repair::ReadQuarantine(path));
  std::vector<std::pair<std::string, Bytes>> broken = {
      {"header", encoded}, {"record", encoded}, {"cut", Bytes(encoded.begin(), encoded.end() - 9)}};
  broken[0].second[kMagic + 2] ^= 1;           // the serial number
  broken[1].second[encoded.size() - 40] ^= 1;  // the last record
  for (const auto& [name, bytes] : broken) {
    std::filesystem::remove(path);
    ASSERT_EQ(volume::WriteFileDurably(path, bytes), 0);
    const auto read = repair::ReadQuarantine(path);
    ASSERT_FALSE(read) << name;
    EXPECT_EQ(read.error().kind, repair::ProblemKind::kQuarantineDamaged) << name;
  }
  std::filesystem::remove(path);
  ASSERT_EQ(volume::WriteFileDurably(path, Text("KESTROVA JOURNAL")), 0);
  const auto other = repair::ReadQuarantine(path);
  ASSERT_FALSE(other);
  EXPECT_EQ(other.error().kind, repair::ProblemKind::kQuarantineUnreadable);
}

// The worm's stick: the user's files moved into hidden `_` beside the payload, which the only
// root shortcut runs through rundll32.
struct Moved {
  MemoryStick::Item folder, report, payload, shortcut;
};

Moved BuildMoved(MemoryStick& s) {
  Moved m;
  m.folder = s.AddFolder("_", 0x16);
  m.report = s.Add({.name = "report.docx", .bytes = Text("PK\x03\x04 report")}, &m.folder);
  m.payload = s.Add({.name = "~$WQF5D.FAT32", .attributes = 0x26, .bytes = kProgram}, &m.folder);
  m.shortcut =
      s.Add({.name = "USB DISK.lnk",
             .bytes = ShortcutBytes({.arguments = "~$WQF5D.FAT32,_ldr@16 desktop.ini",
                                     .environmentPath = "%windir%\\system32\\rundll32.exe"})});
  return m;
}

class MemoryTest : public ::testing::TestWithParam<Kind> {
 protected:
  // A look at drive F, recalling `folder` when given: each judged entry by its path, as
  // "verdict evidence".
  std::map<std::string, std::string> Look(const std::filesystem::path* folder) {
    auto opened = OpenDrive();
    EXPECT_TRUE(opened);
    repair::VolumeLayout layout;
    const auto listed = folder ? repair::JournalFolderFiles(*folder) : repair::JournalFolderFiles{};
    EXPECT_FALSE(repair::AnalyseInto(*opened, layout, nullptr, nullptr, nullptr,
                                     folder ? &listed : nullptr));
    std::map<std::string, std::string> judged;
    for (const auto* list : {&layout.findings.leftovers, &layout.findings.judged}) {
      for (const repair::Judged& entry : *list) {
        judged[entry.Path()] = std::string(repair::IdOf(entry.verdict)) + " " +
                               std::string(repair::IdOf(entry.evidence));
      }
    }
    return judged;
  }
  // Cleans drive F with its journal in `state`; the quarantine it wrote.
  std::filesystem::path Clean() {
    auto opened = OpenDrive();
    EXPECT_TRUE(opened);
    const auto cleaned = repair::Clean(*opened, nullptr, nullptr, &place);
    EXPECT_TRUE(cleaned);
    if (!cleaned) return {};
    EXPECT_EQ(cleaned->removed.size(), 1u);
    const auto quarantine = repair::QuarantineOf(cleaned->journal);
    EXPECT_TRUE(std::filesystem::exists(quarantine));
    return quarantine;
  }
  // Replaces the quarantine at `path` by `quarantine`, at `to`.
  static void Rewrite(const std::filesystem::path& path, const repair::Quarantine& quarantine,
                      const std::filesystem::path& to) {
    std::filesystem::remove(path);
    ASSERT_FALSE(repair::WriteQuarantine(to, quarantine));
  }

  MemoryVolume memory;
  ScopedBackend scoped{memory};
  MemoryStick stick{memory, GetParam()};
  TempDir dir;
  std::filesystem::path state = dir / "state";
  repair::JournalPlace place{{}, state, "clean", {}};
};

// After the clean took away the shortcut that ran it, the payload is the virus's for a look that
// recalls the journal folder, and for no other.
TEST_P(MemoryTest, ThePayloadStaysTheVirusWhileItsBytesAreTheSame) {
  const Moved m = BuildMoved(stick);
  const std::string payload = "_\\~$WQF5D.FAT32";
  ASSERT_EQ(Look(nullptr)[payload], "virus named_by_shortcut");
  const auto quarantine = Clean();
  const auto forgotten = Look(nullptr);
  ASSERT_NE(forgotten.count(payload) ? forgotten.at(payload) : "", "virus named_by_shortcut");
  const auto recalled = Look(&state);
  EXPECT_EQ(recalled.at(payload), "virus removed_shortcut_ran");
  EXPECT_EQ(recalled.count("_\\report.docx") ? recalled.at("_\\report.docx") : "",
            forgotten.count("_\\report.docx") ? forgotten.at("_\\report.docx") : "");

  // The quarantine recorded the shortcut it removed, with its bytes, then the payload that stays
  // and the folder that the virus moved the files into.
  const auto read = repair::ReadQuarantine(quarantine);
  ASSERT_TRUE(read);
  ASSERT_EQ(read->files.size(), 3u);
  EXPECT_TRUE(read->files[0].removed);
  EXPECT_EQ(read->files[0].path, "USB DISK.lnk");
  const auto stayed = std::find_if(read->files.begin(), read->files.end(),
                                   [&](const auto& file) { return file.path == payload; });
  ASSERT_NE(stayed, read->files.end());
  EXPECT_FALSE(stayed->removed);
  EXPECT_EQ(stayed->firstCluster, m.payload.First());
  EXPECT_EQ(stayed->digest, Sha256Of(kProgram));
  EXPECT_TRUE(std::any_of(read->files.begin(), read->files.end(), [](const auto& file) {
    return !file.removed && file.path == "_" &&
           file.evidence == repair::Evidence::kMovedFilesFolder;
  }));

  // One byte of its content changed, in place: judged as without the memory.
  memory.Poke('F', stick.ClusterOffset(m.payload.First()) + 100, {0x00});
  const auto changed = Look(nullptr);
  EXPECT_EQ(Look(&state), changed);
}

// A document recorded as the virus's is not judged so, nor a file recorded so for a name alone;
// another volume's quarantine, by its name or by what it says, is not recalled.
TEST_P(MemoryTest, NoDocumentAndNoOtherVolumeIsRecalled) {
  const Moved m = BuildMoved(stick);
  const auto path = Clean();
  const auto forgotten = Look(nullptr);
  auto read = repair::ReadQuarantine(path);
  ASSERT_TRUE(read);

  repair::Quarantine withDocument = *read;
  QuarantinedFile document = withDocument.files.back();
  document.path = "_\\report.docx";
  document.longName = "report.docx";
  document.size = Text("PK\x03\x04 report").size();
  document.firstCluster = m.report.First();
  document.digest = Sha256Of(Text("PK\x03\x04 report"));
  withDocument.files.push_back(document);
  Rewrite(path, withDocument, path);
  auto recalled = Look(&state);
  EXPECT_EQ(recalled.at("_\\~$WQF5D.FAT32"), "virus removed_shortcut_ran");
  EXPECT_EQ(recalled.count("_\\report.docx") ? recalled.at("_\\report.docx") : "",
            forgotten.count("_\\report.docx") ? forgotten.at("_\\report.docx") : "");

  // Recorded as the virus's for a name alone, which the rules no longer take as evidence.
  repair::Quarantine byName = *read;
  for (QuarantinedFile& file : byName.files) {
    if (file.path == "_\\~$WQF5D.FAT32") file.evidence = repair::Evidence::kProgramLikeFolder;
  }
  Rewrite(path, byName, path);
  EXPECT_EQ(Look(&state), forgotten);

  // Another serial number, in the name and inside.
  repair::Quarantine other = *read;
  other.volume.serial ^= 0x00010000;
  char serial[16];
  std::snprintf(serial, sizeof serial, "%08X", static_cast<unsigned>(other.volume.serial));
  const auto elsewhere =
      state / ("clean-OTHER-" + std::string(serial) + "-20260101-000000.quarantine");
  Rewrite(path, other, elsewhere);
  EXPECT_EQ(Look(&state), forgotten);
  // This volume's serial number in the name, another volume inside (its size).
  other = *read;
  other.volume.totalSectors += 8;
  Rewrite(elsewhere, other, path);
  EXPECT_EQ(Look(&state), forgotten);
  // And the volume's own again: recalled.
  Rewrite(path, *read, path);
  EXPECT_EQ(Look(&state).at("_\\~$WQF5D.FAT32"), "virus removed_shortcut_ran");
}

// Among the journals and quarantines of two hundred other sticks, each a copy of this stick's own
// (the first under its label, with another serial number), a pass reads only the files whose
// names may be its volume's: its quarantine is recalled under its own name only, its journals are
// its own and a first version's name (not one of its serial number that holds another volume's),
// and the change cut short that is finished is the newest of these, not a newer copy elsewhere.
TEST_P(MemoryTest, APassReadsOnlyTheFilesNamedForItsVolume) {
  BuildMoved(stick);
  const auto ownQuarantine = Clean();
  const Snapshot cleaned = stick.Drive();
  const auto forgotten = Look(nullptr);
  const auto ownJournal = std::filesystem::path(ownQuarantine).replace_extension(".journal");
  const auto journal = repair::ReadJournal(ownJournal);
  ASSERT_TRUE(journal);
  ASSERT_GE(journal->sectors.size(), 2u);
  const std::uint32_t serial = journal->volume.serial;
  const std::string label = repair::ReadJournalName(ownJournal).label;
  // A name of the folder at a time in 2099, `at` seconds on (after every name of this run's).
  const auto named = [&](const std::string& of, std::uint32_t number, int at, const char* kind) {
    std::tm time{};
    time.tm_year = 199;
    time.tm_mday = 1;
    time.tm_min = at / 60;
    time.tm_sec = at % 60;
    const auto place = repair::SerialFolder(state, number);
    std::filesystem::create_directories(place);
    return place / std::filesystem::path(repair::JournalFileName("clean", of, number, time))
                       .replace_extension(kind);
  };
  for (int i = 0; i < 200; ++i) {
    const std::string other = i == 0 ? label : "STICK" + std::to_string(i);
    const auto otherSerial = serial ^ static_cast<std::uint32_t>(i + 1);
    std::filesystem::copy_file(ownJournal, named(other, otherSerial, i + 1, ".journal"));
    std::filesystem::copy_file(ownQuarantine, named(other, otherSerial, i + 1, ".quarantine"));
  }
  const auto elsewhere = named(label, serial ^ 0x80000000, 0, ".quarantine");
  std::filesystem::rename(ownQuarantine, elsewhere);
  EXPECT_EQ(Look(&state), forgotten);
  std::filesystem::rename(elsewhere, ownQuarantine);
  EXPECT_EQ(Look(&state).at("_\\~$WQF5D.FAT32"), "virus removed_shortcut_ran");

  std::filesystem::create_directories(state / repair::kNoSerialFolder);
  const auto firstVersion = state / repair::kNoSerialFolder / "clean-20990101-000000-4242.journal";
  std::filesystem::copy_file(ownJournal, firstVersion);
  repair::Journal another = *journal;
  another.volume.totalSectors += 8;
  ASSERT_FALSE(repair::WriteJournal(named(label, serial, 900, ".journal"), another));
  {
    auto opened = OpenDrive();
    ASSERT_TRUE(opened);
    const auto identity = repair::IdentityOfVolume(*opened);
    ASSERT_TRUE(identity);
    std::vector<std::filesystem::path> listed;
    for (const auto& one : repair::ListJournals(repair::JournalFolderFiles(state), *identity)) {
      listed.push_back(one.path);
    }
    EXPECT_EQ(listed, (std::vector<std::filesystem::path>{firstVersion, ownJournal}));
  }
  const repair::JournalSector& first = journal->sectors.front();
  memory.Poke('F', static_cast<std::uint64_t>(first.sector) * volume::kSectorSize, first.before);
  {
    auto opened = OpenDrive();
    ASSERT_TRUE(opened);
    const auto finished = repair::FinishCutShort(*opened, repair::JournalFolderFiles(state));
    ASSERT_TRUE(finished && *finished);
    EXPECT_EQ((*finished)->journal, firstVersion);
    EXPECT_EQ((*finished)->sectorsWritten, 1);
  }
  EXPECT_EQ(stick.Drive(), cleaned);
}

// A root file of the stick, found by its name, with its attributes and whole content.
struct RootFileNow {
  std::uint16_t attributes = 0;
  Bytes bytes;
};
std::map<std::string, RootFileNow> RootFiles() {
  std::map<std::string, RootFileNow> files;
  auto opened = OpenDrive();
  EXPECT_TRUE(opened);
  if (!opened) return files;
  repair::VolumeLayout layout;
  repair::RootCopy root;
  EXPECT_FALSE(repair::AnalyseInto(*opened, layout, nullptr, nullptr, &root));
  repair::ProgressTrack track;
  for (const auto& file : repair::ListEntries(layout, root.bytes).entries) {
    if (file.IsFolder()) continue;
    files[file.Name()] = {file.attributes, repair::ReadFileContent(*opened, layout, file, track)};
  }
  return files;
}

// A file removed by mistake comes back alone, byte for byte and visible, after the stick was
// written since (its clusters and its name taken by a new file), and the undo takes it away again;
// a quarantine whose content no longer matches its digest, a path it does not keep, or another
// volume's quarantine writes nothing.
TEST_P(MemoryTest, ARemovedFileComesBackAloneAfterTheStickWasWritten) {
  const Moved m = BuildMoved(stick);
  const Bytes shortcut = RootFiles().at("USB DISK.lnk").bytes;
  const auto kept = repair::ReadQuarantine(Clean());
  ASSERT_TRUE(kept);
  stick.AllocateFrom(m.shortcut.First());
  stick.Add({.name = "USB DISK.lnk", .bytes = Text("the user's own notes")});
  const Snapshot written = stick.Drive();

  const auto refused = [&](repair::Quarantine quarantine, std::vector<std::string> paths,
                           repair::ProblemKind kind) {
    auto opened = OpenDrive();
    ASSERT_TRUE(opened);
    const auto restored = repair::Restore(*opened, quarantine, paths);
    ASSERT_FALSE(restored);
    EXPECT_EQ(restored.error().kind, kind);
    EXPECT_FALSE(restored.error().anyWritten);
    EXPECT_EQ(stick.Drive(), written);
  };
  repair::Quarantine changed = *kept;
  changed.files[0].bytes[10] ^= 1;
  refused(changed, {"USB DISK.lnk"}, repair::ProblemKind::kQuarantineDamaged);
  refused(*kept, {"_\\~$WQF5D.FAT32"}, repair::ProblemKind::kNotInQuarantine);
  repair::Quarantine other = *kept;
  other.volume.serial ^= 1;
  refused(other, {"USB DISK.lnk"}, repair::ProblemKind::kJournalOtherVolume);

  const repair::JournalPlace restoring{{}, state, "restore", {}};
  const auto restored = [&] {
    auto opened = OpenDrive();
    EXPECT_TRUE(opened);
    return repair::Restore(*opened, *kept, {"USB DISK.lnk"}, nullptr, &restoring);
  }();
  ASSERT_TRUE(restored) << static_cast<int>(restored.error().kind);
  ASSERT_EQ(restored->restored.size(), 1u);
  EXPECT_EQ(restored->restored[0].name, "USB DISK (2).lnk");
  const auto files = RootFiles();
  ASSERT_TRUE(files.count("USB DISK (2).lnk"));
  EXPECT_EQ(files.at("USB DISK (2).lnk").bytes, shortcut);
  EXPECT_EQ(files.at("USB DISK (2).lnk").attributes & 0x06, 0);
  EXPECT_EQ(files.at("USB DISK.lnk").bytes, Text("the user's own notes"));

  auto again = OpenDrive();
  ASSERT_TRUE(again);
  const auto journal = repair::ReadJournal(restored->journal);
  ASSERT_TRUE(journal);
  ASSERT_TRUE(repair::Undo(*again, *journal));
  EXPECT_EQ(stick.Drive(), written);
}

INSTANTIATE_TEST_SUITE_P(Sticks, MemoryTest, ::testing::Values(Kind::kFat32, Kind::kExfat),
                         KindTestName());

}  // namespace
}  // namespace kestrova::testing
