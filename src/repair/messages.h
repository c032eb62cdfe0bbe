// The texts of the engine's message boxes (UTF-8).
#pragma once

#include <cstdint>
#include <string>

namespace kestrova::repair::messages {

// The volume cannot be opened: another program holds it, or the drive is gone.
inline constexpr const char* kOpenFailed = "获取磁盘参数错误！请检查是否有其他程序占用磁盘。";
inline constexpr const char* kOpenFailedTitle = "出错啦~~";
// The volume does not carry FAT32.
inline constexpr const char* kNotFat32 = "此版本的程序仅支持FAT32文件系统！";
inline constexpr const char* kErrorTitle = "错误";
// Title of a repair pass that failed after it started.
inline constexpr const char* kRepairFailedTitle = "修复失败";

// Refusals of the analysis; nothing has been written when they are shown.
std::string ReadFailed(std::int64_t sector);
std::string UnsupportedGeometry(const std::string& detail);
std::string DamagedChain(const std::string& detail);
std::string RootTooLong(std::int32_t capacity);

// Failures of the repair pass.
std::string PassOpenFailed();
std::string PassNoDrive();
std::string PassDiskChanged();
std::string PassReadFailed(std::int64_t sector, bool anyWritten);
std::string PassWriteFailed(std::int64_t sector, bool anyWritten);
std::string PassLayoutInvalid();

}  // namespace kestrova::repair::messages
