// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/form1.h"

#include <algorithm>

#include <exception>
#include <string_view>
#include <utility>

#include "format/codepage.h"
#include "format/problems.h"
#include "format/progress.h"
#include "repair/drive_passes.h"
#include "repair/drive_use.h"
#include "repair/engine.h"
#include "repair/journals.h"
#include "repair/pc_check.h"
#include "ui/layout.h"
#include "ui/report.h"
#include "words/messages.h"
#include "words/pc_words.h"
#include "words/texts.h"

namespace kestrova::ui {
namespace {

// The least move of the bar that is redrawn: a hundredth of its track.
constexpr float kVisibleStep = 1.0f;
// The bar's width as a pass begins, before its first transfer: enough for its raised edges to
// show that the pass has started on a drive whose first transfer is slow.
constexpr float kFirstStep = 4.0f;

// The pass's progress on the window: the bar, then the window's pending input (at Form1's pace),
// after every transfer.
class PassProgress final : public repair::Progress {
 public:
  explicit PassProgress(WindowContacts& window) : window_(window) {}
  void Advance(float percent) override {
    window_.SetProgressWidth(percent);
    window_.ProcessPendingEvents();
  }

 private:
  WindowContacts& window_;
};

// Runs a step of the window's state; one that fails does not stop the ones after it.
template <typename Action>
void Step(Action&& action) noexcept {
  try {
    action();
  } catch (...) {
  }
}

// Sets a flag for as long as it lives.
class Busy {
 public:
  explicit Busy(bool& flag) : flag_(flag) { flag_ = true; }
  ~Busy() { flag_ = false; }
  Busy(const Busy&) = delete;
  Busy& operator=(const Busy&) = delete;

 private:
  bool& flag_;
};

}  // namespace

class Form1::PassScope {
 public:
  explicit PassScope(Form1& form) : form_(form) {
    form_.passRunning_ = true;
    form_.BeginPass();
  }
  ~PassScope() {
    form_.EndPass();
    form_.passRunning_ = false;
  }
  PassScope(const PassScope&) = delete;
  PassScope& operator=(const PassScope&) = delete;

 private:
  Form1& form_;
};

std::string DriveEntryText(const volume::DriveInfo& drive,
                           const std::function<bool(const std::string&)>& fits) {
  constexpr std::string_view kGap = "  ";
  constexpr std::string_view kEllipsis = "\u2026";
  const std::string letter{drive.letter, ':'};
  const std::string size = repair::messages::ShortSize(drive.sizeBytes);
  const auto entry = [&](std::string_view label, std::string_view end) {
    std::string text = letter;
    for (const std::string_view part : {label, end}) {
      if (!part.empty()) text.append(kGap).append(part);
    }
    return text;
  };
  // The label loses characters from its end, never within one; the letter always stays.
  std::string label;
  const auto shorten = [&label] {
    while (!label.empty()) {
      const unsigned char last = static_cast<unsigned char>(label.back());
      label.pop_back();
      if ((last & 0xC0) != 0x80) break;  // the first byte of a UTF-8 character
    }
  };
  for (const std::string_view end : {std::string_view(size), std::string_view()}) {
    label = drive.label;
    if (std::string text = entry(label, end); !label.empty() && fits(text)) return text;
    for (shorten(); !label.empty(); shorten()) {
      if (std::string text = entry(label + std::string(kEllipsis), end); fits(text)) return text;
    }
    if (std::string text = entry({}, end); fits(text)) return text;
  }
  return letter;
}

Form1::Form1(Form1Controls& controls, Form1Platform& platform)
    : controls_(controls), platform_(platform) {}

void Form1::Form_Load() {
  // Every step stands alone: one that fails is skipped and the next one runs.
  auto step = [](auto&& action) {
    try {
      action();
    } catch (...) {
    }
  };
  step([&] { controls_.SetProgressWidth(0.0f); });
  step([&] { controls_.SetProgressVisible(false); });
  step([&] { controls_.SetRepairEnabled(false); });
  step([&] { platform_.RefreshDrives(); });
  ShowDrives(ListDrives());
}

std::vector<volume::DriveInfo> Form1::ListDrives() {
  std::vector<volume::DriveInfo> drives;
  for (char letter = volume::kFirstDriveLetter; letter <= volume::kLastDriveLetter; ++letter) {
    try {
      if (platform_.DriveType(volume::DriveRoot(letter)) != volume::kDriveRemovable) continue;
      volume::DriveInfo drive;
      drive.letter = letter;
      drive.target = volume::DriveTarget::OfLetter(letter);
      platform_.DescribeDrive(drive);
      drives.push_back(std::move(drive));
    } catch (...) {
    }
  }
  return drives;
}

void Form1::ShowDrives(std::vector<volume::DriveInfo> drives) {
  for (auto& drive : drives) {
    try {
      std::string text = DriveEntryText(
          drive, [this](const std::string& text) { return controls_.ListFits(text); });
      // In a window that reads from the right, "F:" stays "F:": marks that go left to right
      // hold the colon to the letter.
      if (texts::UserLanguage().RightToLeft()) text = "\u200E" + text + "\u200E";
      controls_.ListAddItem(text);
      drives_.push_back(std::move(drive));
    } catch (...) {
    }
  }
}

bool Form1::SelectDrive(char letter) {
  for (std::size_t i = 0; i < drives_.size(); ++i) {
    if (drives_[i].letter != letter) continue;
    controls_.ListSelect(static_cast<std::int16_t>(i));
    List1_Click();
    return true;
  }
  return false;
}

void Form1::List1_Click() {
  if (passRunning_) {
    // The running pass keeps its volume and layout; the new selection is analysed afterwards.
    selectionChangedDuringPass_ = true;
    return;
  }
  try {
    const std::int16_t count = controls_.ListCount();
    for (std::int16_t i = 0; i < count; ++i) {
      if (controls_.ListSelected(i)) {
        List1_ItemCheck(i);
        return;
      }
    }
    controls_.SetRepairEnabled(false);
  } catch (const std::exception& failure) {
    controls_.SetRepairEnabled(false);
    ReportFailure(failure.what());
  }
}

void Form1::Command1_Click() {
  if (passRunning_) return;
  try {
    controls_.SetProgressVisible(true);
    const auto start = platform_.Now();
    const auto problem = cmdrepair_Click();
    // A change cut short that the pass finished first is told before what the pass did.
    TellFinished();
    if (problem) {
      ForgetAnalysisAfter(*problem);
      controls_.ShowMessage(repair::messages::Text(*problem), texts::Tr(texts::kRepairFailedTitle),
                            kStyleCritical);
    } else {
      const std::chrono::duration<double> elapsed = platform_.Now() - start;
      // Undone at once, the repair leaves nothing to remove.
      if (!ReportChange(repair::messages::RepairEnd(repair::messages::ElapsedText(elapsed.count()),
                                                    lastRestored_, lastShownFiles_, lastJudged_),
                        kCompletionTitle, lastJournal_)) {
        // The PC's look, when the stick's worm was found: its question comes first when the
        // worm runs on this PC, which would infect the stick again at once.
        const bool wormFound =
            !lastLeftovers_.empty() ||
            std::any_of(lastJudged_.begin(), lastJudged_.end(), [](const repair::Judged& judged) {
              return judged.verdict == repair::Verdict::kVirus;
            });
        std::optional<PcLook> pc;
        if (wormFound) pc = LookAtPc();
        const bool running =
            pc && std::any_of(pc->entries.begin(), pc->entries.end(), [](const auto& entry) {
              return entry.place == repair::PcPlace::kProcess &&
                     repair::VerdictOf(entry.why) == repair::PcVerdict::kVirus;
            });
        if (running) OfferPcClean(*pc, true);
        OfferNextStep();
        if (pc && !running) OfferPcClean(*pc, false);
      }
    }
  } catch (const std::exception& failure) {
    ReportFailure(failure.what());
  }
  // Mounted again, the drive is the system's: another repair begins with a new selection.
  if (unmounted_.Remount()) SetRepairEnabled(false);
  if (std::exchange(closeAfterPass_, false)) {
    // The user asked to close during the pass: a selection or a drive change made meanwhile is
    // left alone.
    selectionChangedDuringPass_ = false;
    drivesChangedDuringPass_ = false;
    controls_.CloseForm();
    return;
  }
  // The list follows the drives first: a selection made during the pass is then analysed on it.
  const bool analysed = std::exchange(drivesChangedDuringPass_, false) && ApplyDriveChange();
  if (std::exchange(selectionChangedDuringPass_, false) && !analysed) List1_Click();
}

void Form1::Command2_Click() {
  if (passRunning_) return;
  ClearNote();
  unmounted_.Remount();
  try {
    controls_.ListClear();
    drives_.clear();
  } catch (const std::exception& failure) {
    ReportFailure(failure.what());
    return;
  }
  Form_Load();
}

void Form1::Picture3_Click() {
  try {
    platform_.OpenWebSite(kWebSiteAddress);
  } catch (const std::exception& failure) {
    ReportFailure(failure.what());
  }
}

bool Form1::Form_QueryUnload() {
  // A running pass holds the volume open: it is not cut short, the window closes after it.
  if (!passRunning_) return true;
  if (!closeAfterPass_) controls_.SetCaption(texts::Tr(texts::kFinishingBeforeClose));
  closeAfterPass_ = true;
  return false;
}

void Form1::Form_Unload() { unmounted_.Remount(); }

void Form1::DrivesChanged() {
  if (passRunning_ || looking_) {
    // The running pass or look keeps its volume and the list its entries, by row: the change is
    // applied after it.
    drivesChangedDuringPass_ = true;
    return;
  }
  ApplyDriveChange();
}

namespace {

bool SameDrive(const volume::DriveTarget& one, const volume::DriveTarget& other) {
  return one.letter == other.letter && one.path == other.path;
}

// Whether two lists name the same drive: the same letter on the same device, with the label and
// the size it had. A stick put in place of another under the same letter is another drive.
bool SameListedDrive(const volume::DriveInfo& one, const volume::DriveInfo& other) {
  return SameDrive(one.target, other.target) && one.device == other.device &&
         one.label == other.label && one.sizeBytes == other.sizeBytes;
}

std::optional<std::size_t> FindDrive(const std::vector<volume::DriveInfo>& drives,
                                     const volume::DriveInfo& drive) {
  for (std::size_t i = 0; i < drives.size(); ++i) {
    if (SameListedDrive(drives[i], drive)) return i;
  }
  return std::nullopt;
}

}  // namespace

bool Form1::ApplyDriveChange() {
  try {
    const std::int16_t selectedRow = FirstSelectedIndex();
    std::optional<volume::DriveInfo> selected;
    if (selectedRow >= 0 && static_cast<std::size_t>(selectedRow) < drives_.size()) {
      selected = drives_[static_cast<std::size_t>(selectedRow)];
    }
    platform_.RefreshDrives();
    std::vector<volume::DriveInfo> fresh = ListDrives();
    const bool same = fresh.size() == drives_.size() &&
                      std::equal(fresh.begin(), fresh.end(), drives_.begin(), SameListedDrive);
    if (same) return false;
    const std::vector<volume::DriveInfo> before = std::exchange(drives_, {});
    controls_.ListClear();
    ShowDrives(std::move(fresh));
    const std::optional<std::size_t> kept = selected ? FindDrive(drives_, *selected) : std::nullopt;
    if (kept) {
      // The selected drive stays: its analysis and Repair's state stand, on its new row.
      controls_.ListSelect(static_cast<std::int16_t>(*kept));
      return false;
    }
    if (selected) {
      // The drive is gone, and so is what its analysis found; an unmounted one has nothing left
      // to mount again.
      SetRepairEnabled(false);
      layout_ = {};
      if (unmounted_.Holds() && SameDrive(unmounted_.Drive(), selected->target)) {
        unmounted_.Forget();
      }
      controls_.SetCaption(texts::Tr(texts::kSelectedDriveRemoved));
      noteShown_ = true;
      return false;
    }
    // Nothing was selected: the first drive that came is taken as a click on it would take it.
    std::size_t arrived = 0;
    while (arrived < drives_.size() && FindDrive(before, drives_[arrived])) ++arrived;
    if (arrived == drives_.size()) return false;
    const auto row = static_cast<std::int16_t>(arrived);
    controls_.ListSelect(row);
    List1_ItemCheck(row);
    return true;
  } catch (const std::exception& failure) {
    SetRepairEnabled(false);
    ReportFailure(failure.what());
    return false;
  }
}

void Form1::ClearNote() {
  if (std::exchange(noteShown_, false)) controls_.SetCaption(kWindowCaption);
}

void Form1::List1_ItemCheck(std::int16_t item) {
  {
    Busy looking(looking_);
    ClearNote();
    if (unmounted_.Holds() && !SameDrive(unmounted_.Drive(), TargetOf(item))) unmounted_.Remount();
    if (unmounted_.Holds() || TakeForRepair(item)) {
      // Looking only reads: a write-protected drive is analysed too, and refused by the pass.
      AnalyseEntry(item, volume::Access::kReadOnly);
      // Nothing to repair there: the drive goes back to the system.
      if (!repairEnabled_) unmounted_.Remount();
    }
  }
  // A change of the drives told while a question or a message was open waited for the look.
  if (std::exchange(drivesChangedDuringPass_, false)) ApplyDriveChange();
}

void Form1::AnalyseEntry(std::int16_t item, volume::Access access) {
  AnalyseDrive(TargetOf(item), access);
}

void Form1::AnalyseDrive(const volume::DriveTarget& target, volume::Access access) {
  SetRepairEnabled(false);
  layout_ = {};  // the pass works only from a successful analysis
  auto analysed = repair::Look(target, access);
  if (!analysed) {
    ShowMessage(repair::messages::Text(analysed.error()), repair::messages::Title(analysed.error()),
                kStyleCritical);
    return;
  }
  layout_ = std::move(*analysed);
  SetRepairEnabled(true);
}

const volume::DriveTarget& Form1::TargetOf(std::int16_t item) const {
  return drives_.at(static_cast<std::size_t>(item)).target;
}

bool Form1::TakeForRepair(std::int16_t item) {
  const auto ask = [this](const std::string& mountPoint) {
    return controls_.AskYesNo(repair::messages::UnmountQuestion(mountPoint),
                              texts::Tr(texts::kMountedTitle));
  };
  // A mount that fails is told, but not as a failure: the repair's result stands.
  const auto told = [this](const volume::MountChange& mounted, bool repaired) {
    if (mounted.done) return;
    controls_.ShowMessage(repair::messages::RemountFailed(mounted, repaired),
                          texts::Tr(texts::kNoticeTitle), kStyleInformation);
  };
  auto taken = repair::TakeForPass(TargetOf(item), platform_, ask, told);
  if (taken) {
    unmounted_ = std::move(*taken);
    return true;
  }
  SetRepairEnabled(false);
  const repair::NotTaken& why = taken.error();
  switch (why.why) {
    case repair::NotTaken::Why::kRefused:
      ShowMessage(repair::messages::Text(why.problem), repair::messages::Title(why.problem),
                  kStyleCritical);
      break;
    case repair::NotTaken::Why::kUnmountFailed:
      ShowMessage(repair::messages::UnmountFailed(why.mountPoint, why.change),
                  texts::Tr(texts::kFailureTitle), kStyleCritical);
      break;
    case repair::NotTaken::Why::kDeclined:
      break;
  }
  return false;
}

repair::FinishedHook Form1::KeepFinished() {
  return [this](const repair::FinishedChange& finished) { lastFinished_ = finished; };
}

void Form1::TellFinished() {
  if (const auto finished = std::exchange(lastFinished_, std::nullopt)) {
    controls_.ShowMessage(
        repair::messages::FinishedCutShort(repair::messages::PathText(finished->journal),
                                           finished->sectorsWritten),
        texts::Tr(texts::kNoticeTitle), kStyleInformation);
  }
}

void Form1::BeginPass() {
  shownWidth_.reset();
  handledAt_.reset();
  passPercent_ = 0.0f;
  Step([&] { controls_.SetSelectionEnabled(false); });
  Step([&] { controls_.SetRepairEnabled(false); });
  Step([&] { SetProgressWidth(0.0f); });
  Step([&] { ProcessPendingEvents(); });
}

void Form1::EndPass() {
  // Repair first: a window may give the focus back to it once the list takes input again.
  Step([&] { controls_.SetRepairEnabled(repairEnabled_); });
  Step([&] { controls_.SetSelectionEnabled(true); });
}

std::optional<repair::Problem> Form1::cmdrepair_Click() {
  const std::int16_t selected = FirstSelectedIndex();
  if (selected < 0) return repair::MakeProblem(repair::ProblemKind::kNoDrive);
  if (!repair::IsAnalysed(layout_)) {
    return repair::MakeProblem(repair::ProblemKind::kNotAnalysed);
  }
  lastJournal_.clear();
  passTarget_ = TargetOf(selected);
  const PassScope running(*this);
  PassProgress progress(*this);
  // Every change can be undone: its journal goes to the user's journal folder first.
  const repair::JournalPlace journal{{}, repair::JournalFolder(), "repair", {}};
  auto pass = repair::RepairDrive(passTarget_, &layout_, journal, &progress, KeepFinished(),
                                  repair::ProblemKind::kPassOpenFailed);
  unmounted_.Note(pass);
  if (!pass) return std::move(pass.error());
  repair::RepairReport* repaired = &pass->report;
  lastJournal_ = repaired->journal;
  lastRestored_ = static_cast<std::size_t>(
      std::count_if(repaired->restored.begin(), repaired->restored.end(),
                    [](const repair::HiddenEntry& entry) { return entry.folder; }));
  lastShownFiles_ = repaired->restored.size() - lastRestored_;
  lastLeftovers_ = std::move(repaired->findings.leftovers);
  lastJudged_ = std::move(repaired->findings.judged);
  return std::nullopt;
}

void Form1::OfferNextStep() {
  // The folder that the virus moved the files into is found again once the repair has shown
  // it: by its blank name, or by the record that the repair kept of it (`_`, the label's name).
  const auto folder =
      std::find_if(lastJudged_.begin(), lastJudged_.end(), [](const repair::Judged& judged) {
        return judged.folder.empty() && judged.evidence == repair::Evidence::kMovedFilesFolder;
      });
  const bool moving = folder != lastJudged_.end();
  if (lastLeftovers_.empty() && !moving) return;
  std::vector<repair::messages::RemovalChoice> lines =
      repair::messages::RemovalChoices(lastLeftovers_);
  if (moving) lines.push_back(repair::messages::MoveBackChoice(*folder, lastJudged_));
  const std::string title = texts::Tr(moving ? texts::kNextStepTitle : texts::kCleanTitle);
  const auto chosen = controls_.ChooseRemovals(
      texts::Tr(moving ? texts::kNextStepQuestion : texts::kCleanQuestion), title,
      texts::Tr(moving ? texts::kDoChecked : texts::kRemoveSelected), lines);
  if (!chosen) return;
  std::vector<repair::Judged> files;
  for (std::size_t i = 0; i < lastLeftovers_.size(); ++i) {
    if (std::find(chosen->begin(), chosen->end(), i) != chosen->end()) {
      files.push_back(lastLeftovers_[i]);
    }
  }
  const bool moveBack =
      moving && std::find(chosen->begin(), chosen->end(), lastLeftovers_.size()) != chosen->end();
  if (files.empty() && !moveBack) return;
  const auto done = FixRest(std::move(files), moveBack);
  TellFinished();
  if (!done) {
    ForgetAnalysisAfter(done.error());
    controls_.ShowMessage(
        repair::messages::Text(done.error()),
        texts::Tr(moving ? texts::kMoveBackFailedTitle : texts::kCleanFailedTitle), kStyleCritical);
    return;
  }
  ReportChange(*done, title, lastJournal_);
}

std::optional<Form1::PcLook> Form1::LookAtPc() {
  PcLook look;
  look.listing = volume::ListStartup();
  if (!look.listing.supported) return std::nullopt;
  auto evidence =
      repair::EvidenceOfStick(passTarget_, repair::JournalFolderFiles(repair::JournalFolder()));
  if (!evidence || evidence->Empty()) return std::nullopt;
  look.entries = repair::JudgePc(look.listing, *evidence, repair::ReadFileOfPc);
  std::erase_if(look.entries, [](const repair::PcEntry& entry) {
    return repair::VerdictOf(entry.why) != repair::PcVerdict::kVirus;
  });
  if (look.entries.empty()) return std::nullopt;
  return look;
}

void Form1::OfferPcClean(const PcLook& look, bool running) {
  std::string places;
  for (const repair::PcEntry& entry : look.entries) {
    places += (places.empty() ? "" : "\r\n") + repair::messages::PcPlaceText(look.listing, entry) +
              "\r\n    " + repair::messages::PcWhyText(entry);
  }
  std::string question = texts::Format(texts::kPcQuestion, places);
  if (running) question = std::string(texts::Tr(texts::kPcRunningFirst)) + "\r\n\r\n" + question;
  if (!controls_.AskYesNo(question, texts::Tr(texts::kPcTitle))) return;
  const repair::PcPlan plan = repair::PlanPcClean(look.listing, look.entries, repair::ReadFileOfPc);
  std::vector<repair::PcDone> done;
  const auto journal = repair::CleanPc(plan.journal, repair::JournalFolder(), done);
  if (!journal) {
    controls_.ShowMessage(repair::messages::Text(journal.error()), texts::Tr(texts::kPcTitle),
                          kStyleCritical);
    return;
  }
  std::string text;
  for (const repair::PcDone& one : done) {
    text += (text.empty() ? "" : "\r\n") + repair::messages::PcDoneLine(one, false);
  }
  for (const std::string& left : plan.left) {
    text += "\r\n" + texts::Format(texts::kPcFileLeft, left);
  }
  text += "\r\n\r\n" + texts::Format(texts::kJournalSaved, repair::messages::PathText(*journal));
  if (std::any_of(done.begin(), done.end(), [](const repair::PcDone& one) {
        return one.change->kind == repair::PcChange::Kind::kProcess;
      })) {
    text += "\r\n" + std::string(texts::Tr(texts::kPcProcessesNotUndone));
  }
  if (!controls_.ShowReport(text, texts::Tr(texts::kPcTitle), texts::Tr(texts::kUndoThisChange))) {
    return;
  }
  std::string undone;
  for (const repair::PcDone& one : repair::UndoPc(plan.journal)) {
    undone += (undone.empty() ? "" : "\r\n") + repair::messages::PcDoneLine(one, true);
  }
  controls_.ShowMessage(undone, texts::Tr(texts::kUndoThisChange), kStyleInformation);
}

repair::Expected<std::string, repair::Problem> Form1::FixRest(std::vector<repair::Judged> chosen,
                                                              bool moveBack) {
  lastJournal_.clear();
  const PassScope running(*this);
  PassProgress progress(*this);
  const repair::JournalPlace journal{{}, repair::JournalFolder(), moveBack ? "fix" : "clean", {}};
  // The volume must still be the one analysed and hold the files that were chosen, and the
  // folder that the files go back from: those are the ones changed, or none.
  repair::VolumeLayout offered = layout_;
  const bool removing = !chosen.empty();
  offered.findings.leftovers = std::move(chosen);
  const repair::FixChoice choice{
      .restore = false, .remove = removing, .moveBack = moveBack, .keep = {}};
  auto pass = repair::FixDrive(passTarget_, &offered, choice, journal, &progress, KeepFinished(),
                               repair::ProblemKind::kPassOpenFailed);
  unmounted_.Note(pass);
  if (!pass) return std::move(pass.error());
  const repair::Plan& plan = pass->report;
  lastJournal_ = plan.journal;
  std::vector<std::string> lines;
  if (removing) lines.push_back(repair::messages::RemovedCount(plan.remove.size()));
  for (const auto& kept : plan.kept) lines.push_back(repair::messages::KeptFolderLine(kept));
  if (plan.moveBackRefused) {
    lines.push_back(
        texts::Format(texts::kMoveBackLeftOut, repair::messages::Text(*plan.moveBackRefused)));
  } else if (moveBack) {
    for (std::string& line :
         repair::messages::MoveBackEnd(plan.moveBack, repair::messages::Audience::kWindow)) {
      lines.push_back(std::move(line));
    }
  }
  std::string text;
  for (const std::string& line : lines) text += (text.empty() ? "" : "\r\n") + line;
  return text;
}

bool Form1::ReportChange(std::string text, const std::string& title,
                         const std::filesystem::path& journal) {
  if (journal.empty()) {
    controls_.ShowMessage(text, title, kStyleInformation);
    return false;
  }
  text += "\r\n\r\n" + texts::Format(texts::kJournalSaved, repair::messages::PathText(journal));
  if (!controls_.ShowReport(text, title, texts::Tr(texts::kUndoThisChange))) return false;
  return UndoLast(journal);
}

bool Form1::UndoLast(const std::filesystem::path& journal) {
  std::optional<repair::Problem> problem;
  std::int64_t sectors = 0;
  {
    const PassScope running(*this);
    PassProgress progress(*this);
    auto undone = repair::UndoChange(journal, passTarget_, &progress);
    unmounted_.Note(undone);
    if (undone) {
      sectors = undone->sectorsWritten;
    } else {
      problem = std::move(undone.error());
    }
  }
  if (problem) {
    ForgetAnalysisAfter(*problem);
    controls_.ShowMessage(repair::messages::Text(*problem), texts::Tr(texts::kUndoFailedTitle),
                          kStyleCritical);
    return false;
  }
  controls_.ShowMessage(repair::messages::UndoneCount(static_cast<std::size_t>(sectors)),
                        texts::Tr(texts::kUndoThisChange), kStyleInformation);
  // The drive holds what it held before the change: what the analysis found then is found again,
  // on the drive still selected.
  const std::int16_t selected = FirstSelectedIndex();
  if (selected >= 0 && SameDrive(TargetOf(selected), passTarget_)) {
    AnalyseDrive(passTarget_, volume::Access::kReadOnly);
  }
  return true;
}

void Form1::ForgetAnalysisAfter(const repair::Problem& problem) {
  using repair::ProblemKind;
  switch (problem.kind) {
    case ProblemKind::kOpenFailed:
    case ProblemKind::kPassOpenFailed:
      // A drive that another program holds is still the one analysed: the user may close that
      // program and try again. One that is gone, or now another, is not.
      if (problem.open.kind != volume::DeviceErrorKind::kNotFound &&
          problem.open.kind != volume::DeviceErrorKind::kDriveChanged) {
        return;
      }
      break;
    // The drive is as it was analysed: the user may mend what stopped the pass and try again.
    case ProblemKind::kWriteProtected:
    case ProblemKind::kOutOfMemory:
    case ProblemKind::kNotAnalysed:
    case ProblemKind::kNoDrive:
    case ProblemKind::kJournalNotWritten:
    case ProblemKind::kJournalFolderFailed:
    case ProblemKind::kLeftoverChain:
    case ProblemKind::kFolderUnreadable:
    case ProblemKind::kRootFull:
      return;
    default:
      // Unreadable, changed, or written in part: what the analysis found no longer holds.
      break;
  }
  layout_ = {};
  SetRepairEnabled(false);
}

std::int16_t Form1::FirstSelectedIndex() {
  const std::int16_t count = controls_.ListCount();
  for (std::int16_t i = 0; i < count; ++i) {
    if (controls_.ListSelected(i)) return i;
  }
  return -1;
}

void Form1::SetRepairEnabled(bool enabled) {
  repairEnabled_ = enabled;
  controls_.SetRepairEnabled(enabled);
}

void Form1::ShowMessage(const std::string& text, const std::string& title, int style) {
  controls_.ShowMessage(text, title, style);
}

void Form1::SetProgressWidth(float percent) {
  passPercent_ = percent;
  // The bar never falls back below the step that showed the pass had begun.
  percent = std::max(percent, kFirstStep);
  // The bar is redrawn when it has moved by a visible step, and when it reaches its end: a redraw
  // for each of many small transfers would only slow the pass.
  const bool shows = !shownWidth_ || percent < *shownWidth_ ||
                     percent - *shownWidth_ >= kVisibleStep ||
                     (percent >= repair::kFullTrack && *shownWidth_ < repair::kFullTrack);
  if (!shows) return;
  shownWidth_ = percent;
  controls_.SetProgressWidth(percent);
}

// The pass calls this after every transfer: the window answers its input while the pass runs, at
// its first and its last step and in between at the pace set.
void Form1::ProcessPendingEvents() {
  if (eventPace_ > std::chrono::milliseconds::zero()) {
    const auto now = platform_.Now();
    const bool due =
        !handledAt_ || passPercent_ >= repair::kFullTrack || now - *handledAt_ >= eventPace_;
    if (!due) return;
    handledAt_ = now;
  }
  controls_.ProcessPendingEvents();
}

void Form1::ReportFailure(const std::string& what) {
  controls_.ShowMessage(texts::Format(texts::kUnexpectedFailure, what),
                        texts::Tr(texts::kFailureTitle), kStyleCritical);
}

}  // namespace kestrova::ui
