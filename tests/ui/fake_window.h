// SPDX-License-Identifier: GPL-3.0-or-later
// Form1's window and platform in memory, for driving its handlers as the user does: what the
// handlers set is recorded, what they read is whatever the test put there.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "ui/form1.h"
#include "ui/report.h"
#include "volume/drives.h"
#include "words/messages.h"

namespace kestrova::testing {

struct Message {
  std::string text;
  std::string title;
  int style = 0;
};

// A window and a platform in memory: what the handlers set is recorded, what they read is
// whatever the test put there.
class FakeWindow final : public ui::Form1Controls, public ui::Form1Platform {
 public:
  // Form1Controls
  void ListAddItem(const std::string& text) override { entries.push_back(text); }
  void ListClear() override {
    entries.clear();
    selected.reset();
  }
  std::int16_t ListCount() override { return static_cast<std::int16_t>(entries.size()); }
  bool ListSelected(std::int16_t index) override { return selected == index; }
  bool ListFits(const std::string& text) override { return text.size() <= entryWidth; }
  void ListSelect(std::int16_t index) override {
    selected = index < 0 ? std::nullopt : std::optional<std::int16_t>(index);
  }
  void SetRepairEnabled(bool enabled) override { repairEnabled = enabled; }
  void SetSelectionEnabled(bool enabled) override { selectionEnabled = enabled; }
  void SetProgressVisible(bool visible) override {
    if (failProgressVisible) throw std::runtime_error("progress bar gone");
    progressVisible = visible;
  }
  void SetProgressWidth(float percent) override {
    if (failProgressWidth) throw std::runtime_error("progress bar gone");
    progressWidth = percent;
    widths.push_back(percent);
  }
  void ShowMessage(const std::string& text, const std::string& title, int style) override {
    messages.push_back({text, title, style});
  }
  void ProcessPendingEvents() override {
    ++eventPumps;
    if (duringPass) duringPass(eventPumps);
  }
  bool AskYesNo(const std::string& text, const std::string& title) override {
    questions.push_back({text, title, 0});
    if (whileAsked) whileAsked();
    return answer;
  }
  bool ShowReport(const std::string& text, const std::string& title,
                  const std::string& action) override {
    messages.push_back({text, title, ui::kStyleInformation});
    actions.push_back(action);
    return std::exchange(undoNext, false);
  }
  std::optional<std::vector<std::size_t>> ChooseRemovals(
      const std::string& text, const std::string& title, const std::string& action,
      const std::vector<repair::messages::RemovalChoice>& files) override {
    questions.push_back({text, title, 0});
    removalActions.push_back(action);
    offered = files;
    if (chooseAll) {
      std::vector<std::size_t> all(files.size());
      for (std::size_t i = 0; i < all.size(); ++i) all[i] = i;
      return all;
    }
    return chosen;
  }
  void SetCaption(const std::string& text) override { captions.push_back(text); }
  void CloseForm() override { closedAfter.push_back(messages.size()); }

  // Form1Platform
  unsigned DriveType(const std::string& root) override {
    queried.push_back(root);
    if (root == failingRoot) throw std::runtime_error("drive-type query failed");
    const auto found = driveTypes.find(root);
    return found == driveTypes.end() ? 1u : found->second;
  }
  std::chrono::steady_clock::time_point Now() override {
    if (timerReadings.empty()) return clock;
    const double seconds = timerReadings.front();
    if (timerReadings.size() > 1) timerReadings.erase(timerReadings.begin());
    return std::chrono::steady_clock::time_point(
        std::chrono::duration_cast<std::chrono::steady_clock::duration>(
            std::chrono::duration<double>(seconds)));
  }
  void OpenWebSite(const std::string& address) override { openedAddresses.push_back(address); }
  void DescribeDrive(volume::DriveInfo& drive) override {
    const auto found = described.find(drive.letter);
    if (found == described.end()) return;
    drive.label = found->second.label;
    drive.sizeBytes = found->second.sizeBytes;
  }
  std::string MountPointOf(const volume::DriveTarget& drive) override {
    const auto found = mountPoints.find(drive.Name());
    return found == mountPoints.end() ? std::string() : found->second;
  }
  volume::MountChange Unmount(const volume::DriveTarget& drive) override {
    mountCalls.push_back("unmount " + drive.Name());
    if (unmountResult.done) mountPoints.erase(drive.Name());
    return unmountResult;
  }
  volume::MountChange Mount(const volume::DriveTarget& drive) override {
    mountCalls.push_back("mount " + drive.Name());
    return mountResult;
  }

  // What the system tells of the drive behind a letter.
  void Describe(char letter, const std::string& label, std::uint64_t sizeBytes) {
    described[letter].label = label;
    described[letter].sizeBytes = sizeBytes;
  }

  // Selects the entry that begins with this text (or nothing) and notifies the window, as a
  // click does.
  void Select(ui::Form1& form, const std::optional<std::string>& text) {
    selected.reset();
    for (std::size_t i = 0; text && i < entries.size(); ++i) {
      if (entries[i].starts_with(*text)) selected = static_cast<std::int16_t>(i);
    }
    form.List1_Click();
  }

  std::vector<std::string> entries;
  std::optional<std::int16_t> selected;
  bool repairEnabled = true;  // as built, before Form_Load
  bool selectionEnabled = true;
  bool progressVisible = true;
  float progressWidth = 19.0f;
  std::vector<float> widths;
  std::vector<Message> messages;
  int eventPumps = 0;
  std::function<void(int)> duringPass;
  std::function<void()> whileAsked;  // runs while a question is open, as its modal loop would
  std::vector<std::string> captions;
  std::vector<std::size_t> closedAfter;  // each CloseForm: how many messages had been shown
  bool failProgressVisible = false;
  bool failProgressWidth = false;

  std::map<std::string, unsigned> driveTypes;
  std::map<char, volume::DriveInfo> described;  // what the system tells of a letter's drive
  std::size_t entryWidth = 80;                  // the list's width, in bytes of an entry's text
  std::string failingRoot;
  std::vector<std::string> queried;
  // The clock's readings in turn, the last one staying; with none, `clock`.
  std::vector<double> timerReadings;            // seconds
  std::chrono::steady_clock::time_point clock;  // moved on by the tests alone
  std::vector<std::string> openedAddresses;

  std::map<std::string, std::string> mountPoints;  // "F:" -> where it is mounted
  std::vector<Message> questions;
  bool answer = false;
  // The removal dialog: what it offered last, and the files chosen (none: Keep).
  std::vector<repair::messages::RemovalChoice> offered;
  std::vector<std::string> removalActions;  // the accepting button of each removal dialog
  std::optional<std::vector<std::size_t>> chosen;
  bool chooseAll = false;  // every line the dialog offers, as it offers them checked
  // The reports' second buttons, and whether the next report's is pressed.
  std::vector<std::string> actions;
  bool undoNext = false;
  volume::MountChange unmountResult{true, false, false, {}, {}};
  volume::MountChange mountResult{true, false, false, "/media/u/STICK", {}};
  std::vector<std::string> mountCalls;
};

}  // namespace kestrova::testing
