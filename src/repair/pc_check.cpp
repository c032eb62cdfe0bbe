// SPDX-License-Identifier: GPL-3.0-or-later
#include "repair/pc_check.h"

#include <algorithm>
#include <cctype>
#include <ctime>
#include <string_view>

#include "format/fat_table.h"
#include "format/problems.h"
#include "format/shell_link.h"
#include "repair/drive_use.h"
#include "repair/quarantine.h"
#include "repair/records.h"
#include "repair/verdicts.h"
#include "volume/drives.h"
#include "volume/files.h"

namespace kestrova::repair {
namespace {

using volume::PcFile;
using volume::StartupListing;

std::string Lower(std::string_view text) {
  std::string lower(text);
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return lower;
}

std::string_view BaseName(std::string_view path) {
  const auto slash = path.find_last_of("\\/");
  return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

// The name without its last extension, in lowercase.
std::string Stem(std::string_view path) {
  const std::string_view name = BaseName(path);
  return Lower(name.substr(0, name.rfind('.')));
}

std::string Extension(std::string_view path) {
  const std::string_view name = BaseName(path);
  const auto dot = name.rfind('.');
  return dot == std::string_view::npos ? std::string() : Lower(name.substr(dot + 1));
}

// The programs that run a script or a library that they are given.
bool IsScriptHost(std::string_view program) {
  const std::string stem = Stem(program);
  for (const char* host : {"wscript", "cscript", "mshta", "rundll32", "powershell", "cmd"}) {
    if (stem == host) return true;
  }
  return false;
}

// What a script host runs as a script: a file of one of these types.
bool IsScript(std::string_view path) {
  const std::string extension = Extension(path);
  for (const char* type : {"vbs", "vbe", "js", "jse", "wsf", "wsh", "hta", "ps1", "bat", "cmd"}) {
    if (extension == type) return true;
  }
  return false;
}

// The script types that the script worms' copies have.
bool IsWormScript(std::string_view path) {
  const std::string extension = Extension(path);
  return extension == "vbs" || extension == "vbe" || extension == "js";
}

// A file that no system starts as a program: a folder's settings, autorun.inf, a shortcut (which
// is followed instead) or a document. Neither its bytes nor its name make a place the virus's.
bool NeverRuns(std::string_view path) {
  const std::string extension = Extension(path);
  return extension == "ini" || extension == "inf" || extension == "lnk" || extension == "url" ||
         IsDocument(BaseName(path));
}

bool IsAbsolute(std::string_view path) {
  return (path.size() >= 3 && std::isalpha(static_cast<unsigned char>(path[0])) && path[1] == ':' &&
          (path[2] == '\\' || path[2] == '/')) ||
         path.starts_with("\\\\");
}

bool Under(std::string_view path, std::string_view folder) {
  if (folder.empty() || path.size() <= folder.size()) return false;
  return Lower(path.substr(0, folder.size())) == Lower(folder) &&
         (path[folder.size()] == '\\' || path[folder.size()] == '/');
}

// %NAME% put in from the listing's environment; a name it does not have stays as it is.
std::string Expanded(const std::string& text, const StartupListing& listing) {
  std::string out;
  for (std::size_t at = 0; at < text.size();) {
    const auto open = text.find('%', at);
    const auto close = open == std::string::npos ? open : text.find('%', open + 1);
    if (close == std::string::npos) {
      out += text.substr(at);
      break;
    }
    const std::string name = Lower(text.substr(open + 1, close - open - 1));
    const auto known = std::find_if(listing.environment.begin(), listing.environment.end(),
                                    [&](const auto& pair) { return Lower(pair.first) == name; });
    out += text.substr(at, open - at);
    if (known == listing.environment.end()) {
      out += text.substr(open, close - open);
      at = close;
      continue;
    }
    out += known->second;
    at = close + 1;
  }
  return out;
}

// The files that a command starts: the program itself, or what a script host is given (each
// absolute path among its words, cut at the separators of cmd's commands and of rundll32's entry).
std::vector<std::string> StartedFiles(const std::string& program,
                                      const std::vector<std::string>& arguments) {
  if (!IsScriptHost(program)) return {program};
  std::vector<std::string> files;
  for (const std::string& word : arguments) {
    std::size_t from = 0;
    while (from <= word.size()) {
      const auto end = std::min(word.find_first_of("&|,<>\"", from), word.size());
      std::string part = word.substr(from, end - from);
      if (IsAbsolute(part)) files.push_back(std::move(part));
      from = end + 1;
    }
  }
  return files;
}

int Rank(PcWhy why) {
  switch (VerdictOf(why)) {
    case PcVerdict::kVirus:
      return 2;
    case PcVerdict::kUnsure:
      return 1;
    case PcVerdict::kOther:
      break;
  }
  return 0;
}

// The rules over one started file; `host` when a script host runs it, `runValue` when a Run value
// starts it through `program`.
struct Judgement {
  PcWhy why = PcWhy::kNothing;
  std::string file;
  std::string subject;
};

Judgement JudgeFile(const std::string& path, const std::string& program, bool host, bool runValue,
                    const StartupListing& listing, const PcEvidence& evidence,
                    const PcFileReader& read) {
  // Windows' own folder holds no worm's copy that this program would take away: what is there
  // is never the virus's here.
  if (Under(path, listing.windowsFolder) || NeverRuns(path)) return {};
  const std::optional<PcFile> file = read(path);
  if (!file) return {};
  if (file->complete) {
    const Sha256Digest digest = Sha256Of(file->bytes);
    for (const VirusFile& virus : evidence.files) {
      if (virus.digest == digest) {
        return {host ? PcWhy::kHostRunsCopy : PcWhy::kSameBytes, path, virus.name};
      }
    }
  }
  const bool inProfile =
      std::any_of(listing.profileFolders.begin(), listing.profileFolders.end(),
                  [&](const std::string& folder) { return Under(path, folder); });
  if (!inProfile) return {};
  const std::string name = Lower(BaseName(path));
  for (const VirusFile& virus : evidence.files) {
    if (Lower(virus.name) == name) {
      return {file->hidden ? PcWhy::kNamedLikeHidden : PcWhy::kNamedLikeVisible, path, virus.name};
    }
  }
  if (host && file->hidden && IsScript(path)) {
    const bool familyWay =
        evidence.Empty() && runValue && Stem(program) == "wscript" && IsWormScript(path);
    return {familyWay ? PcWhy::kFamilyWay : PcWhy::kHiddenScript, path, {}};
  }
  return {};
}

// The verdict of a command: that of the started file with the most serious one.
Judgement JudgeCommand(const std::string& program, const std::vector<std::string>& arguments,
                       bool runValue, const StartupListing& listing, const PcEvidence& evidence,
                       const PcFileReader& read) {
  Judgement worst;
  const bool host = IsScriptHost(program);
  for (const std::string& file : StartedFiles(program, arguments)) {
    Judgement judged = JudgeFile(file, program, host, runValue, listing, evidence, read);
    if (Rank(judged.why) > Rank(worst.why)) worst = std::move(judged);
  }
  return worst;
}

Judgement JudgeCommandLine(const std::string& command, bool runValue, const StartupListing& listing,
                           const PcEvidence& evidence, const PcFileReader& read) {
  std::vector<std::string> words = CommandWords(Expanded(command, listing));
  if (words.empty()) return {};
  const std::string program = words.front();
  words.erase(words.begin());
  return JudgeCommand(program, words, runValue, listing, evidence, read);
}

// A Startup folder's file: a shortcut runs its target, anything else runs itself (a script
// through its script host).
Judgement JudgeStartupFile(const std::string& path, std::string& command,
                           const StartupListing& listing, const PcEvidence& evidence,
                           const PcFileReader& read) {
  if (Extension(path) != "lnk") {
    command = path;
    return JudgeFile(path, path, IsScript(path), false, listing, evidence, read);
  }
  const std::optional<PcFile> file = read(path);
  if (!file) return {};
  const std::optional<ShellLink> link = ParseShellLink(file->bytes);
  if (!link) return {};
  const std::string program = Expanded(link->Target(), listing);
  command = program + (link->arguments.empty() ? "" : " " + Expanded(link->arguments, listing));
  return JudgeCommand(program, CommandWords(Expanded(link->arguments, listing)), false, listing,
                      evidence, read);
}

// The PC journal's file: the magic line, the number of changes and the file's length; then each
// change's record, with a CRC-32 of it; then the closing mark. Numbers are little-endian, texts
// their length (4 bytes) and UTF-8 bytes.
constexpr std::string_view kPcMagic = "KESTROVA PC JOURNAL 1\n";
constexpr std::string_view kClosing = "END\n";
constexpr std::uint64_t kMaxChanges = 1u << 16;
constexpr std::uint64_t kMaxText = std::uint64_t{16} << 20;
constexpr std::uint64_t kMaxPcJournalBytes = std::uint64_t{1} << 31;

void PutBytes(std::vector<std::uint8_t>& out, std::span<const std::uint8_t> bytes) {
  Put(out, bytes.size(), 4);
  out.insert(out.end(), bytes.begin(), bytes.end());
}

void PutText(std::vector<std::uint8_t>& out, std::string_view text) {
  PutBytes(out, {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()});
}

bool TakeBytes(Reader& in, std::vector<std::uint8_t>& bytes, std::uint64_t most) {
  std::uint64_t size = 0;
  return in.Take(size, 4) && size <= most && in.Take(bytes, static_cast<std::size_t>(size));
}

bool TakeText(Reader& in, std::string& text) {
  std::vector<std::uint8_t> bytes;
  if (!TakeBytes(in, bytes, kMaxText)) return false;
  text.assign(bytes.begin(), bytes.end());
  return true;
}

Problem PcJournalProblem(ProblemKind kind, const std::filesystem::path& path,
                         std::int64_t value = 0) {
  return MakeProblem(kind, {DetailKind::kNone, 0, value, path.string()});
}

}  // namespace

PcVerdict VerdictOf(PcWhy why) {
  switch (why) {
    case PcWhy::kSameBytes:
    case PcWhy::kHostRunsCopy:
    case PcWhy::kNamedLikeHidden:
      return PcVerdict::kVirus;
    case PcWhy::kNamedLikeVisible:
    case PcWhy::kHiddenScript:
    case PcWhy::kFamilyWay:
      return PcVerdict::kUnsure;
    case PcWhy::kNothing:
      break;
  }
  return PcVerdict::kOther;
}

std::vector<std::string> CommandWords(const std::string& command) {
  std::vector<std::string> words;
  std::string word;
  bool quoted = false, any = false;
  for (const char c : command) {
    if (c == '"') {
      quoted = !quoted;
      any = true;
    } else if ((c == ' ' || c == '\t') && !quoted) {
      if (any) words.push_back(std::move(word));
      word.clear();
      any = false;
    } else {
      word += c;
      any = true;
    }
  }
  if (any) words.push_back(std::move(word));
  return words;
}

std::optional<PcFile> ReadFileOfPc(const std::string& path) {
  return volume::ReadPcFile(path, kMaxPcFileBytes);
}

std::vector<PcEntry> JudgePc(const StartupListing& listing, const PcEvidence& evidence,
                             const PcFileReader& read, bool all) {
  std::vector<PcEntry> entries;
  const auto add = [&](PcPlace place, std::size_t index, std::string command, Judgement judged) {
    if (!all && judged.why == PcWhy::kNothing) return;
    entries.push_back({place, index, std::move(command), std::move(judged.file), judged.why,
                       std::move(judged.subject)});
  };
  for (std::size_t i = 0; i < listing.runValues.size(); ++i) {
    const std::string& command = listing.runValues[i].command;
    add(PcPlace::kRunValue, i, command, JudgeCommandLine(command, true, listing, evidence, read));
  }
  for (std::size_t i = 0; i < listing.startupFiles.size(); ++i) {
    std::string command;
    Judgement judged =
        JudgeStartupFile(listing.startupFiles[i].path, command, listing, evidence, read);
    add(PcPlace::kStartupFile, i, std::move(command), std::move(judged));
  }
  for (std::size_t i = 0; i < listing.tasks.size(); ++i) {
    Judgement worst;
    std::string shown;
    for (const std::string& command : listing.tasks[i].commands) {
      Judgement judged = JudgeCommandLine(command, false, listing, evidence, read);
      if (shown.empty() || Rank(judged.why) > Rank(worst.why)) shown = command;
      if (Rank(judged.why) > Rank(worst.why)) worst = std::move(judged);
    }
    add(PcPlace::kTask, i, shown, std::move(worst));
  }
  for (std::size_t i = 0; i < listing.processes.size(); ++i) {
    const volume::RunningProcess& process = listing.processes[i];
    std::vector<std::string> words = CommandWords(process.commandLine);
    if (!words.empty()) words.erase(words.begin());
    add(PcPlace::kProcess, i, process.commandLine.empty() ? process.image : process.commandLine,
        JudgeCommand(process.image, words, false, listing, evidence, read));
  }
  return entries;
}

PcPlan PlanPcClean(const StartupListing& listing, std::span<const PcEntry> entries,
                   const PcFileReader& read) {
  PcPlan plan;
  std::vector<PcChange> processes, places, files;
  const auto addFile = [&](const std::string& path, const PcEntry& entry) {
    if (path.empty()) return;
    const auto same = [&](const PcChange& change) { return Lower(change.path) == Lower(path); };
    if (std::any_of(files.begin(), files.end(), same) ||
        std::find(plan.left.begin(), plan.left.end(), path) != plan.left.end()) {
      return;
    }
    std::optional<PcFile> file = read(path);
    if (!file || !file->complete) {
      plan.left.push_back(path);
      return;
    }
    PcChange change{PcChange::Kind::kFile, {}, path, std::move(*file), {}, 0, entry.why,
                    entry.subject};
    files.push_back(std::move(change));
  };
  for (const PcEntry& entry : entries) {
    if (VerdictOf(entry.why) != PcVerdict::kVirus) continue;
    switch (entry.place) {
      case PcPlace::kRunValue:
        places.push_back({PcChange::Kind::kRunValue,
                          listing.runValues.at(entry.index),
                          {},
                          {},
                          {},
                          0,
                          entry.why,
                          entry.subject});
        break;
      case PcPlace::kStartupFile:
        addFile(listing.startupFiles.at(entry.index).path, entry);
        break;
      case PcPlace::kTask: {
        const volume::ScheduledTask& task = listing.tasks.at(entry.index);
        places.push_back(
            {PcChange::Kind::kTask, {}, task.path, {}, task.xml, 0, entry.why, entry.subject});
        break;
      }
      case PcPlace::kProcess: {
        const volume::RunningProcess& process = listing.processes.at(entry.index);
        processes.push_back({PcChange::Kind::kProcess,
                             {},
                             process.image,
                             {},
                             {},
                             process.id,
                             entry.why,
                             entry.subject});
        break;
      }
    }
    addFile(entry.file, entry);
  }
  for (auto* part : {&processes, &places, &files}) {
    for (PcChange& change : *part) plan.journal.changes.push_back(std::move(change));
  }
  return plan;
}

std::vector<std::uint8_t> EncodePcJournal(const PcJournal& journal) {
  std::vector<std::uint8_t> body;
  for (const PcChange& change : journal.changes) {
    const std::size_t record = body.size();
    Put(body, static_cast<std::uint64_t>(change.kind), 1);
    Put(body, static_cast<std::uint64_t>(change.why), 1);
    PutText(body, change.subject);
    Put(body, static_cast<std::uint64_t>(change.value.key.root), 1);
    Put(body, (change.value.key.once ? 1u : 0u) | (change.value.key.wow64 ? 2u : 0u), 1);
    PutText(body, change.value.name);
    Put(body, change.value.type, 4);
    PutBytes(body, change.value.data);
    PutText(body, change.path);
    Put(body, change.file.attributes, 4);
    std::vector<std::uint8_t> masked = change.file.bytes;
    MaskQuarantined(masked);
    PutBytes(body, masked);
    PutText(body, change.xml);
    Put(body, change.process, 4);
    Put(body, Checksum(std::span(body).subspan(record)), 4);
  }
  std::vector<std::uint8_t> out(kPcMagic.begin(), kPcMagic.end());
  Put(out, journal.changes.size(), 4);
  Put(out, out.size() + 8 + body.size() + kClosing.size(), 8);
  out.insert(out.end(), body.begin(), body.end());
  out.insert(out.end(), kClosing.begin(), kClosing.end());
  return out;
}

bool IsPcJournal(std::span<const std::uint8_t> bytes) { return Reader(bytes).Expect(kPcMagic); }

std::optional<PcJournal> DecodePcJournal(std::span<const std::uint8_t> bytes, bool* damaged) {
  bool unused = false;
  bool& broken = damaged ? *damaged : unused;
  broken = false;
  Reader in(bytes);
  if (!in.Expect(kPcMagic)) return std::nullopt;
  broken = true;
  std::uint64_t count = 0, length = 0;
  if (!in.Take(count, 4) || !in.Take(length, 8) || length != bytes.size() || count > kMaxChanges) {
    return std::nullopt;
  }
  PcJournal journal;
  for (std::uint64_t i = 0; i < count; ++i) {
    const std::size_t record = in.At();
    PcChange change;
    std::uint64_t kind = 0, why = 0, root = 0, flags = 0, type = 0, attributes = 0, process = 0,
                  sum = 0;
    if (!in.Take(kind, 1) || !in.Take(why, 1) || !TakeText(in, change.subject) ||
        !in.Take(root, 1) || !in.Take(flags, 1) || !TakeText(in, change.value.name) ||
        !in.Take(type, 4) || !TakeBytes(in, change.value.data, kMaxText) ||
        !TakeText(in, change.path) || !in.Take(attributes, 4) ||
        !TakeBytes(in, change.file.bytes, kMaxPcFileBytes) || !TakeText(in, change.xml) ||
        !in.Take(process, 4)) {
      return std::nullopt;
    }
    const auto recorded = in.Since(record);
    if (!in.Take(sum, 4) || sum != Checksum(recorded)) return std::nullopt;
    if (kind < 1 || kind > 4 || why > static_cast<std::uint64_t>(PcWhy::kNothing) || root < 1 ||
        root > 2) {
      return std::nullopt;
    }
    change.kind = static_cast<PcChange::Kind>(kind);
    change.why = static_cast<PcWhy>(why);
    change.value.key = {static_cast<volume::RegistryRoot>(root), (flags & 1) != 0,
                        (flags & 2) != 0};
    change.value.type = static_cast<std::uint32_t>(type);
    change.file.attributes = static_cast<std::uint32_t>(attributes);
    MaskQuarantined(change.file.bytes);
    change.process = static_cast<std::uint32_t>(process);
    journal.changes.push_back(std::move(change));
  }
  if (!in.Expect(kClosing) || !in.AtEnd()) return std::nullopt;
  broken = false;
  return journal;
}

Expected<std::filesystem::path, Problem> CleanPc(const PcJournal& journal,
                                                 const std::filesystem::path& folder,
                                                 std::vector<PcDone>& done) {
  if (const int error = volume::MakePrivateFolder(folder)) {
    return PcJournalProblem(ProblemKind::kJournalFolderFailed, folder, error);
  }
  const std::tm local = LocalTimeNow();
  char stamp[32] = {};
  std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &local);
  const std::vector<std::uint8_t> bytes = EncodePcJournal(journal);
  std::filesystem::path path;
  for (int number = 1;; ++number) {
    std::string name = std::string("pcclean-") + stamp;
    if (number > 1) name += "-" + std::to_string(number);
    path = folder / (name + ".pcjournal");
    const int error = volume::WriteFileDurably(path, bytes);
    if (error == 0) break;
    if (volume::KindOfFileError(error) != volume::FileErrorKind::kExists) {
      return PcJournalProblem(ProblemKind::kJournalFolderFailed, folder, error);
    }
  }
  for (const PcChange& change : journal.changes) {
    int error = 0;
    switch (change.kind) {
      case PcChange::Kind::kProcess:
        error = volume::EndProcess(change.process, change.path);
        break;
      case PcChange::Kind::kRunValue:
        error = volume::DeleteRunValue(change.value);
        break;
      case PcChange::Kind::kTask:
        error = volume::DeleteTask(change.path);
        break;
      case PcChange::Kind::kFile:
        error = volume::DeletePcFile(change.path);
        break;
    }
    done.push_back({&change, error});
  }
  return path;
}

std::vector<PcDone> UndoPc(const PcJournal& journal) {
  std::vector<PcDone> done;
  // Files first, so that what the values and tasks start is there when they are back.
  for (const PcChange::Kind kind :
       {PcChange::Kind::kFile, PcChange::Kind::kTask, PcChange::Kind::kRunValue}) {
    for (const PcChange& change : journal.changes) {
      if (change.kind != kind) continue;
      int error = 0;
      if (kind == PcChange::Kind::kFile) {
        const std::optional<PcFile> there = ReadFileOfPc(change.path);
        error = there && there->bytes == change.file.bytes
                    ? 0
                    : volume::PutPcFile(change.path, change.file);
      } else if (kind == PcChange::Kind::kTask) {
        error = volume::PutTask(change.path, change.xml);
      } else {
        const auto there = volume::ReadRunValue(change.value.key, change.value.name);
        error = there && there->data == change.value.data ? 0 : volume::PutRunValue(change.value);
      }
      done.push_back({&change, error});
    }
  }
  return done;
}

Expected<PcJournal, Problem> ReadPcJournal(const std::filesystem::path& path) {
  std::vector<std::uint8_t> bytes;
  int error = 0;
  switch (volume::ReadRegularFile(path, kMaxPcJournalBytes, bytes, error)) {
    case volume::ReadOutcome::kRead: {
      bool damaged = false;
      if (auto journal = DecodePcJournal(bytes, &damaged)) return std::move(*journal);
      return PcJournalProblem(
          damaged ? ProblemKind::kJournalDamaged : ProblemKind::kJournalUnreadable, path, -1);
    }
    case volume::ReadOutcome::kMissing:
      return PcJournalProblem(ProblemKind::kJournalMissing, path);
    case volume::ReadOutcome::kNotRegular:
      return PcJournalProblem(ProblemKind::kJournalNotAFile, path);
    case volume::ReadOutcome::kTooLarge:
      return PcJournalProblem(ProblemKind::kJournalTooLarge, path,
                              static_cast<std::int64_t>(kMaxPcJournalBytes >> 20));
    case volume::ReadOutcome::kFailed:
      break;
  }
  return PcJournalProblem(ProblemKind::kJournalNotRead, path, error);
}

PcEvidence EvidenceRecalled(const JournalFolderFiles& files) {
  PcEvidence evidence;
  for (ListedQuarantine& listed : ListQuarantines(files)) {
    if (!listed.quarantine) continue;
    for (const QuarantinedFile& file : listed.quarantine->files) {
      if (file.verdict != Verdict::kVirus || (file.attributes & fat::kAttrDirectory)) continue;
      const std::string name =
          file.longName.empty() ? std::string(BaseName(file.path)) : file.longName;
      evidence.files.push_back({name, file.digest});
    }
  }
  return evidence;
}

Expected<PcEvidence, Problem> EvidenceOfStick(const volume::DriveTarget& target,
                                              const JournalFolderFiles& files) {
  const volume::Access access = volume::DriveMountPoint(target).empty()
                                    ? volume::Access::kReadOnly
                                    : volume::Access::kReadShared;
  auto looked = Look(target, access, &files);
  if (!looked) return std::move(looked.error());
  auto opened = volume::Volume::Open(target, access);
  if (!opened) return OpenProblem(std::move(opened.error()));
  PcEvidence evidence;
  ProgressTrack track;
  const RootFindings& found = looked->findings;
  for (const auto* list : {&found.leftovers, &found.judged}) {
    for (const Judged& judged : *list) {
      if (judged.verdict != Verdict::kVirus || judged.file.IsFolder()) continue;
      bool complete = false;
      const std::vector<std::uint8_t> bytes =
          ReadFileContent(*opened, *looked, judged.file, track, &complete);
      if (!complete) continue;
      evidence.files.push_back({judged.file.Name(), Sha256Of(bytes)});
    }
  }
  for (const QuarantinedFile& file : Recall(files, IdentityOf(*looked))) {
    if (file.verdict != Verdict::kVirus || (file.attributes & fat::kAttrDirectory)) continue;
    evidence.files.push_back(
        {file.longName.empty() ? std::string(BaseName(file.path)) : file.longName, file.digest});
  }
  return evidence;
}

}  // namespace kestrova::repair
