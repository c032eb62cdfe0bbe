// SPDX-License-Identifier: GPL-3.0-or-later
#include "words/pc_words.h"

#include <utility>

#include "words/texts.h"

namespace kestrova::repair::messages {

std::string PcPlaceText(const volume::StartupListing& listing, const PcEntry& entry) {
  switch (entry.place) {
    case PcPlace::kRunValue: {
      const volume::RunValue& value = listing.runValues.at(entry.index);
      return texts::Format(texts::kPcRunValue, volume::RunKeyPath(value.key), value.name);
    }
    case PcPlace::kStartupFile:
      return texts::Format(texts::kPcStartupFile, listing.startupFiles.at(entry.index).path);
    case PcPlace::kTask:
      return texts::Format(texts::kPcTask, listing.tasks.at(entry.index).path);
    case PcPlace::kProcess: {
      const volume::RunningProcess& process = listing.processes.at(entry.index);
      return texts::Format(texts::kPcProcess, static_cast<long long>(process.id), process.image);
    }
  }
  return {};
}

std::string PcWhyText(const PcEntry& entry) {
  switch (entry.why) {
    case PcWhy::kSameBytes:
      return texts::Format(texts::kPcWhySameBytes, entry.file, entry.subject);
    case PcWhy::kHostRunsCopy:
      return texts::Format(texts::kPcWhyHostRunsCopy, entry.file, entry.subject);
    case PcWhy::kNamedLikeHidden:
      return texts::Format(texts::kPcWhyNamedLikeHidden, entry.file, entry.subject);
    case PcWhy::kNamedLikeVisible:
      return texts::Format(texts::kPcWhyNamedLikeVisible, entry.file, entry.subject);
    case PcWhy::kHiddenScript:
      return texts::Format(texts::kPcWhyHiddenScript, entry.file);
    case PcWhy::kFamilyWay:
      return texts::Format(texts::kPcWhyFamilyWay, entry.file);
    case PcWhy::kNothing:
      break;
  }
  return texts::Tr(texts::kPcWhyNothing);
}

std::string PcEntryLine(const volume::StartupListing& listing, const PcEntry& entry) {
  return PcPlaceText(listing, entry) + "\t" + entry.command + "\t" + PcWhyText(entry);
}

std::vector<std::string> PcLookLines(const volume::StartupListing& listing,
                                     const std::vector<PcEntry>& entries) {
  std::vector<std::string> lines;
  for (const auto& [verdict, heading] : {std::pair{PcVerdict::kVirus, &texts::kPcHeadingVirus},
                                         std::pair{PcVerdict::kUnsure, &texts::kPcHeadingUnsure},
                                         std::pair{PcVerdict::kOther, &texts::kPcHeadingOther}}) {
    bool headed = false;
    for (const PcEntry& entry : entries) {
      if (VerdictOf(entry.why) != verdict) continue;
      if (!std::exchange(headed, true)) lines.emplace_back(texts::Tr(*heading));
      lines.push_back(PcEntryLine(listing, entry));
    }
  }
  return lines;
}

std::string PcChangeText(const PcChange& change, bool undo) {
  switch (change.kind) {
    case PcChange::Kind::kProcess:
      return texts::Format(texts::kPcEndProcess, static_cast<long long>(change.process),
                           change.path);
    case PcChange::Kind::kRunValue:
      return texts::Format(undo ? texts::kPcPutValue : texts::kPcRemoveValue,
                           volume::RunKeyPath(change.value.key), change.value.name);
    case PcChange::Kind::kTask:
      return texts::Format(undo ? texts::kPcPutTask : texts::kPcRemoveTask, change.path);
    case PcChange::Kind::kFile:
      return texts::Format(undo ? texts::kPcPutFile : texts::kPcQuarantineFile, change.path);
  }
  return {};
}

std::string PcDoneLine(const PcDone& done, bool undo) {
  const std::string what = PcChangeText(*done.change, undo);
  return done.error == 0 ? texts::Format(texts::kPcDoneLine, what)
                         : texts::Format(texts::kPcFailedLine, what, done.error);
}

std::string PcUnlistedText(const volume::UnlistedPlace& unlisted) {
  const texts::Text* place = &texts::kPcRunValues;
  switch (unlisted.place) {
    case volume::StartupPlace::kRunValues:
      break;
    case volume::StartupPlace::kStartupFolders:
      place = &texts::kPcStartupFolders;
      break;
    case volume::StartupPlace::kTasks:
      place = &texts::kPcTasks;
      break;
    case volume::StartupPlace::kProcesses:
      place = &texts::kPcProcesses;
      break;
  }
  return texts::Format(texts::kPcUnlisted, texts::Tr(*place), unlisted.error);
}

}  // namespace kestrova::repair::messages
