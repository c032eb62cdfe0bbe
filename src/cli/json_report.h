// SPDX-License-Identifier: GPL-3.0-or-later
// What a command found or did, as JSON for other programs (kestrova-cli --json): one document a
// command, its kinds, verdicts and reasons by their stable names (repair/ids.h), the words in the
// user's language beside them. Version 1 of the format is described in docs/json.md.
#pragma once

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "cli/reports.h"
#include "repair/engine.h"
#include "repair/journals.h"
#include "volume/drives.h"
#include "words/messages.h"

namespace kestrova::cli {

using Json = nlohmann::ordered_json;

// The version of the documents' format: it grows when a field changes meaning or goes away.
inline constexpr int kJsonVersion = 1;

// A command's document as it begins: the format's version and the command's name.
Json Document(const std::string& command);

Json ToJson(const volume::DriveInfo& drive, const std::string& label);
Json ToJson(const repair::VolumeLayout& layout);
Json ToJson(const repair::HiddenEntry& entry);
Json ToJson(const repair::Judged& judged);
// The hidden entries that a repair changes and every verdict, as scan lists them.
Json FindingsJson(const repair::RootFindings& findings);
Json ToJson(const repair::KeptFolder& kept);
Json ToJson(const repair::Problem& problem);

// Each command's report, added to its document as the fields of that command.
void AddTo(Json& document, const std::vector<ListedDrive>& drives);  // drives
void AddTo(Json& document, const repair::VolumeLayout& layout);      // analyze
void AddTo(Json& document, const repair::RootFindings& findings);    // scan
void AddTo(Json& document, const RepairDone& done);
void AddTo(Json& document, const CleanDone& done);
void AddTo(Json& document, const MoveBackDone& done);
void AddTo(Json& document, const FixDone& done);
void AddTo(Json& document, const RestoreDone& done);
void AddTo(Json& document, const QuarantinesReport& report);
// What a move back did or would do: its folder, what moves under which names, what stays.
Json MoveBackJson(const repair::MoveBackReport& report);
// What a fix would do: what it shows again, removes and moves back (scan's plan).
Json PlanJson(const repair::Plan& plan);
void AddTo(Json& document, const repair::UndoReport& undone);
void AddTo(Json& document, const JournalsReport& report);

}  // namespace kestrova::cli
