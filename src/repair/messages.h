// What can stop the engine, and the texts of its message boxes (UTF-8). The engine decides the
// kind and its details; the text is made from them here, once.
#pragma once

#include <cstdint>
#include <string>

#include "volume/volume.h"

namespace kestrova::repair {

enum class ProblemKind {
  // Refusals of the analysis (and of the pass's own check under its lock); nothing is written.
  kOpenFailed,           // open: why
  kReadFailed,           // sector: a read that failed
  kVolumeTooShort,       // sector: the device ends before this sector of its file system
  kNotFat32,             //
  kUnsupportedGeometry,  // detail
  kDamagedChain,         // detail
  kDamagedDirectory,     // detail: the root's entries are inconsistent (exFAT entry sets)
  kRootTooLong,          // count: the most clusters the analysis records
  // Failures of the repair pass.
  kNotAnalysed,     // no successful analysis to work from
  kNoDrive,         // no selected list entry
  kPassOpenFailed,  // open: why
  kLayoutChanged,   // detail: how the volume differs from the analysis
  kWriteFailed,     // sector; earlierWritten
  kFlushFailed,     // the written sectors may not all have reached the disk
};

struct Problem {
  ProblemKind kind = ProblemKind::kOpenFailed;
  std::int64_t sector = -1;
  std::int64_t count = 0;
  std::string detail;           // a phrase of the message, already in the user's language
  volume::OpenFailure open;     // why an open failed
  bool earlierWritten = false;  // sectors had been written before a failed write
  bool writeStarted = false;    // the failed write itself may have landed in part
};

namespace messages {

// The volume cannot be opened because another program holds it.
inline constexpr const char* kOpenFailed = "获取磁盘参数错误！请检查是否有其他程序占用磁盘。";
inline constexpr const char* kOpenFailedTitle = "出错啦~~";
// The volume does not carry FAT32.
inline constexpr const char* kNotFat32 = "此版本的程序仅支持FAT32文件系统！";
inline constexpr const char* kErrorTitle = "错误";
// Title of a repair pass that failed.
inline constexpr const char* kRepairFailedTitle = "修复失败";

// The text of a problem, and the title of its message box: the analysis's own titles for its
// refusals, the failed repair's for the rest.
std::string Text(const Problem& problem);
const char* AnalysisTitle(const Problem& problem);
const char* Title(const Problem& problem);

// What the command line and the window say about the folders that a pass restored.
std::string RestoredFolder(const std::string& name);
std::string RestoredCount(std::size_t count);

}  // namespace messages
}  // namespace kestrova::repair
