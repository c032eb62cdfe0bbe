// SPDX-License-Identifier: GPL-3.0-or-later
// Form1: the main window's handlers, free of any toolkit. The Qt and Win32 windows build the
// controls, forward their notifications to these handlers and provide the two interfaces below.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "project_info.h"
#include "repair/drive_passes.h"
#include "repair/drive_use.h"
#include "repair/layout.h"
#include "repair/pc_check.h"
#include "ui/window_contacts.h"
#include "volume/drives.h"
#include "volume/startup.h"
#include "words/messages.h"

namespace kestrova::ui {

// The address of the author's web site and the contact line's address: those this build was
// configured with.
inline constexpr const char* kWebSiteAddress = kHomepageUrl;
inline constexpr const char* kAuthorMail = kContactEmail;

// The controls that the handlers read and change.
class Form1Controls {
 public:
  virtual ~Form1Controls() = default;
  virtual void ListAddItem(const std::string& text) = 0;  // List1.AddItem
  // Whether the text fits on one list entry, as the list's font and width show it.
  virtual bool ListFits(const std::string& /*text*/) { return true; }
  // Selects entry `index`, or none for -1, without the notification of a click.
  virtual void ListSelect(std::int16_t index) = 0;
  virtual void ListClear() = 0;                       // List1.Clear
  virtual std::int16_t ListCount() = 0;               // List1.ListCount
  virtual bool ListSelected(std::int16_t index) = 0;  // List1.Selected(i)
  virtual void SetRepairEnabled(bool enabled) = 0;    // Command1.Enabled
  virtual void SetProgressVisible(bool visible) = 0;  // Progress.Visible
  virtual void SetProgressWidth(float percent) = 0;   // Progress.Width, % of track
  // A modal message box; style 16 (critical) or 64 (information), both with one OK button.
  virtual void ShowMessage(const std::string& text, const std::string& title, int style) = 0;
  // Handles all pending input and repaints, then returns.
  virtual void ProcessPendingEvents() = 0;
  // The window's caption (Form1.Caption).
  virtual void SetCaption(const std::string& text) = 0;
  // Closes the window as its close box does, asking Form_QueryUnload again; the window may close
  // once the handler that asks for it has returned.
  virtual void CloseForm() = 0;
  // A modal question with a Yes and a No button, No the default; true for Yes.
  virtual bool AskYesNo(const std::string& /*text*/, const std::string& /*title*/) { return false; }
  // Whether the drive list and Refresh take input: a pass greys them and enables them again.
  virtual void SetSelectionEnabled(bool /*enabled*/) {}
  // A modal report (style 64) with the OK button, the default for Enter and Escape, and a second
  // button captioned `action`: true when that one was pressed.
  virtual bool ShowReport(const std::string& text, const std::string& title,
                          const std::string& action) = 0;
  // The modal removal dialog: `text` above a list of the files, one line each with its name and
  // reason (the detail shown on demand), each with a check box, all checked; the buttons `action`
  // ("删除所选", Remove selected, or "执行所选", Do what is checked) and "保留" (Keep), Keep the
  // default for Enter and Escape. The indices of the lines checked when `action` was pressed (it
  // may be none); nothing when the files are kept or the dialog is closed.
  virtual std::optional<std::vector<std::size_t>> ChooseRemovals(
      const std::string& text, const std::string& title, const std::string& action,
      const std::vector<repair::messages::RemovalChoice>& files) = 0;
};

// The platform services that the handlers use. Where drives are mounted, and the changes of their
// mounts, are the system's unless a window puts its own in their place (repair::Mounts): on
// Windows no drive is mounted, since the repair's open dismounts the volume itself.
class Form1Platform : public repair::Mounts {
 public:
  // Takes a new look at the machine's drives before they are listed; a letter keeps its device
  // until the next look.
  virtual void RefreshDrives() {}
  // Fills in what the system knows of a removable drive, by its letter, as the last look found
  // it: its device, label and size. Left as it is when the system tells nothing.
  virtual void DescribeDrive(volume::DriveInfo& /*drive*/) {}
  // GetDriveTypeA of a root such as "f:"; 2 is a removable drive.
  virtual unsigned DriveType(const std::string& root) = 0;
  // The steady clock, which neither jumps with the time of day nor restarts at midnight: it times
  // a repair for its completion message and paces a pass's handling of the window's input.
  virtual std::chrono::steady_clock::time_point Now() { return std::chrono::steady_clock::now(); }
  // Starts the web browser with the address, maximized, without waiting for it.
  virtual void OpenWebSite(const std::string& address) = 0;
};

// The text of a drive's list entry: its letter and colon, then its label and its size where they
// fit. A label too long loses its end to an ellipsis; with no room for any of it beside the size,
// the size tells two sticks of one make apart, and the label is shown without the size only when
// the size does not fit either. The letter is never cut. `fits` says whether a text fits.
std::string DriveEntryText(const volume::DriveInfo& drive,
                           const std::function<bool(const std::string&)>& fits);

class Form1 final : private WindowContacts {
 public:
  // How often a pass lets the window handle its input and repaint: often enough that a person
  // sees the bar move and the window answer, rarely enough that a fast drive's many transfers are
  // not slowed by as many repaints.
  static constexpr std::chrono::milliseconds kEventPace{40};

  Form1(Form1Controls& controls, Form1Platform& platform);

  // Sets how often a pass handles the window's input, by the platform's steady clock; 0 handles
  // it after every step. The first and the last step of a pass are always handled.
  void SetEventPace(std::chrono::milliseconds pace) { eventPace_ = pace; }

  void Form_Load();
  void List1_Click();
  void Command1_Click();
  void Command2_Click();
  void Picture3_Click();
  // The window is asked to close: true when it may close now. During a pass the close is
  // remembered instead and the caption says so; the window closes once the pass has ended and
  // its report has been read.
  bool Form_QueryUnload();
  // The window closes: a drive unmounted for a repair is mounted again.
  void Form_Unload();
  // The system tells that a drive came or went: the list is made again and keeps the selected
  // drive. A drive that came is selected and analysed when nothing is selected; the selected
  // drive gone, Repair is disabled and the caption says so. During a pass, or a look at a drive,
  // the change waits until it has returned.
  void DrivesChanged();
  // Selects the listed drive of the uppercase `letter` and looks at it as a click on its entry
  // does (the window started for one drive); false when the list has no such drive.
  bool SelectDrive(char letter);

  // True while a repair pass runs.
  bool PassRunning() const { return passRunning_; }
  // The volume layout state of the last analysis.
  const repair::VolumeLayout& Layout() const { return layout_; }

 private:
  // A pass from its start to its end: passRunning_ set, the list, Refresh and Repair greyed, and
  // the bar's first step shown at once.
  class PassScope;
  void BeginPass();
  // Enables the list and Refresh again, and Repair as the analysis left it.
  void EndPass();

  void List1_ItemCheck(std::int16_t item);
  // The repair pass on the selected drive, against the layout state: the problem when it failed.
  std::optional<repair::Problem> cmdrepair_Click();
  // After a completed repair, what remains in one dialog (Keep by default): the virus's files, each
  // to remove, and when the virus moved the user's files into a folder with a blank name, the
  // line that moves them back. What is checked is done in one pass, with the bar and one report
  // that offers its undo.
  void OfferNextStep();
  // The PC's look after a repair that found the stick's worm: the places of this PC that start it,
  // judged by the virus's files of the drive of the pass (and the quarantines of it); nothing
  // when there are none of the virus's, or no such places (Linux).
  struct PcLook {
    volume::StartupListing listing;
    std::vector<repair::PcEntry> entries;  // the virus's
  };
  std::optional<PcLook> LookAtPc();
  // Asks (No the default) whether to stop what the look found of the virus's, saying first, when
  // `running`, that the worm runs on this PC; on Yes, the PC clean with its journal, and a report
  // that offers its undo.
  void OfferPcClean(const PcLook& look, bool running);
  // The removal of `chosen` of the virus's files, and with `moveBack` the move back, on the
  // selected drive in one pass: its report's text, or the problem when it failed.
  repair::Expected<std::string, repair::Problem> FixRest(std::vector<repair::Judged> chosen,
                                                         bool moveBack);
  // Tells the report of a pass that wrote the journal `journal` (none when it changed nothing):
  // the report ends with where the journal is, and offers to undo the change. True when the
  // change was undone.
  bool ReportChange(std::string text, const std::string& title,
                    const std::filesystem::path& journal);
  // Undoes the change of `journal` on the selected drive, with the bar and a report of its own,
  // then looks at the drive again. True when it was undone.
  bool UndoLast(const std::filesystem::path& journal);
  // After a failed pass: a problem that says the drive is no longer as it was analysed (gone,
  // unreadable, or changed) takes the analysis with it, and Repair waits for a new selection.
  void ForgetAnalysisAfter(const repair::Problem& problem);
  // Keeps the change cut short that a pass finishes before it runs, for TellFinished.
  repair::FinishedHook KeepFinished();
  // Tells of the change cut short that the last pass finished first, when there was one.
  void TellFinished();
  // Opens the drive of list entry `item` with `access`, analyses it into the layout state and
  // enables Repair when that succeeded; otherwise tells why.
  void AnalyseEntry(std::int16_t item, volume::Access access);
  void AnalyseDrive(const volume::DriveTarget& target, volume::Access access);
  // The drive of list entry `item`, as it was listed.
  const volume::DriveTarget& TargetOf(std::int16_t item) const;
  // The removable drives from C to Z as the platform tells them; a letter whose query fails is
  // left out.
  std::vector<volume::DriveInfo> ListDrives();
  // Puts the drives on the list, one entry each, and keeps them in drives_.
  void ShowDrives(std::vector<volume::DriveInfo> drives);
  // The list made again after a change of the machine's drives; true when it analysed a drive.
  bool ApplyDriveChange();
  // The caption back to the window's own, once a note has been read.
  void ClearNote();

  // The window contact points (window_contacts.h), over the controls.
  std::int16_t FirstSelectedIndex() override;
  void SetRepairEnabled(bool enabled) override;
  void ShowMessage(const std::string& text, const std::string& title, int style) override;
  void SetProgressWidth(float percent) override;
  void ProcessPendingEvents() override;

  void ReportFailure(const std::string& what);
  // Readies the drive of list entry `item` for a repair: a mounted drive is unmounted when the
  // user agrees. False, with Repair off and the reason told, when it stays mounted.
  bool TakeForRepair(std::int16_t item);

  Form1Controls& controls_;
  Form1Platform& platform_;
  // The listed drives, in the order of the list's entries. An entry's text is for the user only:
  // its letter, then the label and the size as far as they fit.
  std::vector<volume::DriveInfo> drives_;
  repair::VolumeLayout layout_;
  bool passRunning_ = false;
  // The bar's width as the pass last showed it; a pass shows its first step whatever the width.
  std::optional<float> shownWidth_;
  float passPercent_ = 0.0f;  // the pass's progress as last told
  std::chrono::milliseconds eventPace_ = kEventPace;
  // When the pass last let the window handle its input; none before its first step.
  std::optional<std::chrono::steady_clock::time_point> handledAt_;
  std::size_t lastRestored_ = 0;               // how many folders the last completed pass restored
  std::size_t lastShownFiles_ = 0;             // and how many hidden files it showed again
  std::vector<repair::Judged> lastJudged_;     // and what else it judged
  std::vector<repair::Judged> lastLeftovers_;  // the virus's files that the last pass found
  // The drive of the last pass, which the removal and the undo that it offers work on.
  volume::DriveTarget passTarget_;
  std::filesystem::path lastJournal_;  // the journal of the last pass's change; empty when none
  std::optional<repair::FinishedChange> lastFinished_;  // finished before the last pass
  // A selection made while a pass ran; it is analysed once the pass has returned.
  bool selectionChangedDuringPass_ = false;
  // A change of the machine's drives told while a pass ran, or while a look at a drive waited on
  // a question or a message; applied once the pass or the look has returned.
  bool drivesChangedDuringPass_ = false;
  // True while a drive is looked at, from the question whether to unmount it to its analysis.
  bool looking_ = false;
  // The caption holds a note rather than the window's name.
  bool noteShown_ = false;
  // A close asked for while a pass ran; the window closes once the pass has returned.
  bool closeAfterPass_ = false;
  // As the engine last set it.
  bool repairEnabled_ = false;
  // The drive that was unmounted for a repair: mounted again on a new selection, a refresh or
  // the close of the window, and once a repair has ended.
  repair::Unmounted unmounted_;
};

}  // namespace kestrova::ui
