// SPDX-License-Identifier: GPL-3.0-or-later
#include "cli/json_report.h"

#include "format/codepage.h"
#include "repair/ids.h"
#include "words/messages.h"

namespace kestrova::cli {

Json Document(const std::string& command) {
  Json document;
  document["kestrova"] = kJsonVersion;
  document["command"] = command;
  return document;
}

Json ToJson(const volume::DriveInfo& drive, const std::string& label) {
  Json json;
  json["letter"] = std::string{drive.letter, ':'};
  json["device"] = drive.device;
  json["size_bytes"] = drive.sizeBytes;
  json["label"] = label;
  json["mount_point"] = drive.mountPoint;
  return json;
}

Json ToJson(const repair::VolumeLayout& layout) {
  Json json;
  json["file_system"] = repair::IdOf(layout.fileSystem);
  json["bytes_per_sector"] = layout.bytesPerSector;
  json["reserved_sectors"] = layout.reservedSectors;
  json["fat_sectors"] = layout.fatSize;
  json["fat_count"] = layout.fatCount;
  json["sectors_per_cluster"] = layout.sectorsPerCluster;
  json["data_start"] = layout.dataStart;
  json["total_sectors"] = layout.totalSectors;
  json["clusters"] = layout.clusterCount;
  json["label"] = layout.findings.label;
  if (layout.RootHasChain()) {
    Json clusters = Json::array();
    for (std::int32_t i = 0; i < layout.rootClusterCount; ++i) {
      clusters.push_back(layout.rootClusters.at(static_cast<std::size_t>(i)));
    }
    json["root_clusters"] = std::move(clusters);
  } else {
    json["root_start"] = layout.rootStart;
    json["root_sectors"] = layout.rootSectors;
  }
  return json;
}

Json ToJson(const repair::HiddenEntry& entry) {
  Json json;
  json["kind"] = entry.folder ? "folder" : "file";
  json["short_name"] = entry.shortName;
  json["long_name"] = entry.longName;
  json["attributes"] = entry.attribute;
  json["deleted"] = entry.deleted;
  json["after_end"] = entry.afterEnd;
  json["sector"] = entry.sector;
  json["index"] = entry.index;
  return json;
}

Json ToJson(const repair::Judged& judged) {
  Json json;
  json["path"] = judged.Path();
  json["kind"] = judged.file.IsFolder() ? "folder" : "file";
  json["verdict"] = repair::IdOf(judged.verdict);
  json["evidence"] = repair::IdOf(judged.evidence);
  json["subject"] = judged.subject;
  json["command"] = judged.command;
  if (judged.file.IsFolder()) {
    json["files"] = judged.files;
    json["folders"] = judged.folders;
  }
  json["why"] = repair::messages::Why(judged);
  return json;
}

Json FindingsJson(const repair::RootFindings& findings) {
  Json json;
  Json hidden = Json::array();
  for (const auto& entry : findings.hidden) hidden.push_back(ToJson(entry));
  json["hidden"] = std::move(hidden);
  Json verdicts = Json::array();
  for (const auto& judged : findings.leftovers) verdicts.push_back(ToJson(judged));
  for (const auto& judged : findings.judged) verdicts.push_back(ToJson(judged));
  json["verdicts"] = std::move(verdicts);
  return json;
}

Json ToJson(const repair::KeptFolder& kept) {
  Json json = ToJson(kept.folder);
  json["document"] = kept.document;
  return json;
}

Json ToJson(const repair::Problem& problem) {
  Json json;
  json["kind"] = repair::IdOf(problem.kind);
  json["pass"] = repair::IdOf(problem.pass);
  Json detail;
  detail["kind"] = repair::IdOf(problem.detail.kind);
  detail["at"] = problem.detail.at;
  detail["value"] = problem.detail.value;
  detail["name"] = problem.detail.name;
  detail["other"] = problem.detail.other;
  json["detail"] = std::move(detail);
  if (problem.sector >= 0) json["sector"] = problem.sector;
  json["any_written"] = problem.anyWritten;
  json["title"] = repair::messages::Title(problem);
  json["message"] = repair::messages::Text(problem, repair::messages::Audience::kCommandLine);
  return json;
}

void AddTo(Json& document, const std::vector<ListedDrive>& drives) {
  document["drives"] = Json::array();
  for (const auto& [drive, label] : drives) document["drives"].push_back(ToJson(drive, label));
}

void AddTo(Json& document, const repair::VolumeLayout& layout) {
  document["layout"] = ToJson(layout);
}

void AddTo(Json& document, const repair::RootFindings& findings) {
  document.update(FindingsJson(findings));
}

void AddTo(Json& document, const RepairDone& done) {
  document["restored"] = Json::array();
  for (const auto& entry : done.report.restored) document["restored"].push_back(ToJson(entry));
  document.update(FindingsJson(done.report.findings));
  document["sectors_written"] = done.report.sectorsWritten;
  document["journal"] = repair::messages::PathText(done.report.journal);
  document["seconds"] = done.seconds;
}

void AddTo(Json& document, const CleanDone& done) {
  document["removed"] = Json::array();
  for (const auto& removed : done.report.removed) document["removed"].push_back(ToJson(removed));
  document["kept"] = Json::array();
  for (const auto& kept : done.report.kept) document["kept"].push_back(ToJson(kept));
  document["sectors_written"] = done.report.sectorsWritten;
  document["journal"] = repair::messages::PathText(done.report.journal);
  document["quarantine"] = repair::messages::PathText(done.report.quarantine);
}

Json MoveBackJson(const repair::MoveBackReport& report) {
  Json json;
  json["folder"] = report.folder;
  json["inner_folder"] = report.innerFolder;
  const std::string from =
      report.folder + (report.innerFolder.empty() ? "" : "\\" + report.innerFolder);
  json["moved"] = Json::array();
  for (const auto& moved : report.moved) {
    json["moved"].push_back({{"path", from + '\\' + moved.file.Name()},
                             {"name", moved.name},
                             {"kind", moved.folder ? "folder" : "file"}});
  }
  json["stayed"] = Json::array();
  for (const auto& stayed : report.stayed) json["stayed"].push_back(ToJson(stayed));
  json["folder_removed"] = report.folderRemoved;
  json["folder_kept"] = report.folderKept ? ToJson(*report.folderKept) : Json();
  json["clusters_added"] = report.clustersAdded;
  return json;
}

void AddTo(Json& document, const MoveBackDone& done) {
  document.update(MoveBackJson(done.report));
  document["sectors_written"] = done.report.sectorsWritten;
  document["journal"] = repair::messages::PathText(done.report.journal);
  document["quarantine"] = repair::messages::PathText(done.report.quarantine);
}

Json PlanJson(const repair::Plan& plan) {
  Json json;
  json["restored"] = Json::array();
  for (const auto& entry : plan.restore) json["restored"].push_back(ToJson(entry));
  json["removed"] = Json::array();
  for (const auto& removed : plan.remove) json["removed"].push_back(ToJson(removed));
  json["kept"] = Json::array();
  for (const auto& kept : plan.kept) json["kept"].push_back(ToJson(kept));
  json["move_back"] = plan.moveBack.folder.empty() ? Json() : MoveBackJson(plan.moveBack);
  json["move_back_refused"] = plan.moveBackRefused ? ToJson(*plan.moveBackRefused) : Json();
  return json;
}

void AddTo(Json& document, const FixDone& done) {
  const repair::Plan& plan = done.report;
  document.update(PlanJson(plan));
  document.update(FindingsJson(plan.findings));
  document["sectors_written"] = plan.sectorsWritten;
  document["journal"] = repair::messages::PathText(plan.journal);
  document["quarantine"] = repair::messages::PathText(plan.quarantine);
  document["seconds"] = done.seconds;
}

void AddTo(Json& document, const RestoreDone& done) {
  document["restored"] = Json::array();
  for (const auto& one : done.report.restored) {
    document["restored"].push_back({{"path", one.file.Name()}, {"name", one.name}});
  }
  document["sectors_written"] = done.report.sectorsWritten;
  document["journal"] = repair::messages::PathText(done.report.journal);
}

void AddTo(Json& document, const QuarantinesReport& report) {
  document["folder"] = report.folder.string();
  document["quarantines"] = Json::array();
  for (const auto& listed : report.quarantines) {
    Json& entry = document["quarantines"].emplace_back(
        Json{{"path", repair::messages::PathText(listed.named.path)},
             {"command", listed.named.command},
             {"time", ShownTime(listed.named.stamp)},
             {"label", listed.named.label},
             {"damaged", !listed.quarantine}});
    if (!listed.quarantine) continue;
    entry["serial"] = listed.quarantine->volume.serial;
    entry["files"] = Json::array();
    for (const auto& file : listed.quarantine->files) {
      entry["files"].push_back({{"path", file.path},
                                {"size", file.size},
                                {"removed", file.removed},
                                {"sha256", HexOf(file.digest)},
                                {"verdict", repair::IdOf(file.verdict)},
                                {"evidence", repair::IdOf(file.evidence)},
                                {"subject", file.subject},
                                {"command", file.command}});
    }
  }
}

void AddTo(Json& document, const repair::UndoReport& undone) {
  document["sectors_written"] = undone.sectorsWritten;
  document["already_undone"] = undone.alreadyUndone;
}

void AddTo(Json& document, const JournalsReport& report) {
  document["folder"] = report.folder.string();
  document["journals"] = Json::array();
  for (const auto& [j, status] : report.journals) {
    Json& entry =
        document["journals"].emplace_back(Json{{"path", repair::messages::PathText(j.path)},
                                               {"command", j.command},
                                               {"time", ShownTime(j.stamp)},
                                               {"label", j.label},
                                               {"damaged", !j.journal}});
    if (!j.journal) continue;
    entry["sectors"] = j.journal->sectors.size();
    entry["serial"] = j.journal->volume.serial;
    entry["file_system"] = repair::IdOf(j.journal->volume.fileSystem);
    if (!status) continue;
    entry["state"] = repair::IdOf(status->state);
    entry["undo_cut_short"] = j.undoCutShort;
    if (!status->later.empty()) entry["later"] = status->later.string();
    if (status->sector >= 0) entry["sector"] = status->sector;
  }
}

}  // namespace kestrova::cli
