#include "repair/messages.h"

namespace kestrova::repair::messages {
namespace {

using volume::OpenFailureKind;

constexpr const char* kNothingWritten = "未对磁盘作任何修改。";
constexpr const char* kPartlyWritten =
    "此前的扇区已修复并保留在磁盘上，其余扇区未作修改；可以重新选择盘符后再次修复。";
constexpr const char* kFirstWriteFailed = "此前未写入其他扇区，但这一扇区可能已部分写入。";
constexpr const char* kSelectAgain = "请重新选择盘符。";

#ifdef _WIN32
constexpr const char* kNeedRights = "没有直接读写磁盘的权限。请以管理员身份运行本程序。";
#else
constexpr const char* kNeedRights =
    "没有直接读写磁盘的权限。请以root身份运行本程序（例如用sudo）。";
#endif

std::string Device(const volume::OpenFailure& open) {
  return open.device.empty() ? std::string() : "“" + open.device + "”";
}

// Why an open failed, in one or two sentences; the busy case keeps the classic wording.
std::string OpenReason(const volume::OpenFailure& open, bool classicBusy) {
  switch (open.kind) {
    case OpenFailureKind::kBusy: {
      std::string text = classicBusy ? kOpenFailed : "请检查是否有其他程序占用磁盘。";
      if (!open.mountPoint.empty()) {
        text += "\r\n磁盘已挂载在“" + open.mountPoint + "”，请先卸载（例如：umount " +
                open.mountPoint + "）后再试。";
      }
      return text;
    }
    case OpenFailureKind::kAccessDenied:
      return kNeedRights;
    case OpenFailureKind::kNotFound:
      return "找不到磁盘" + Device(open) + "。请检查磁盘是否已插入，然后刷新盘符列表。";
    case OpenFailureKind::kReadOnly:
      return "磁盘" + Device(open) + "处于写保护（只读）状态，无法修复。请解除写保护后再试。";
    case OpenFailureKind::kLoopBacked:
      return "映像文件" + Device(open) +
             "正被回环设备（loop）使用，为避免冲突未打开它。请先分离该回环设备。";
    case OpenFailureKind::kDriveChanged:
      return "盘符对应的磁盘在刷新盘符列表后已更换。请刷新盘符列表后重新选择。";
    case OpenFailureKind::kNotAuthorized:
      return "系统拒绝了访问磁盘的授权，请在系统询问时输入密码确认，或请管理员允许后再试。";
    case OpenFailureKind::kNone:
    case OpenFailureKind::kOther:
      break;
  }
  return "无法打开磁盘" + Device(open) + "（系统错误代码" + std::to_string(open.systemError) +
         "）。";
}

}  // namespace

std::string Text(const Problem& problem) {
  const std::string sector = std::to_string(problem.sector);
  switch (problem.kind) {
    case ProblemKind::kOpenFailed:
      return OpenReason(problem.open, true);
    case ProblemKind::kReadFailed:
      return "读取磁盘第" + sector + "扇区失败！请检查磁盘是否仍然连接。" + kNothingWritten;
    case ProblemKind::kVolumeTooShort:
      return "磁盘在第" + sector +
             "扇区之前就结束了，比其文件系统记录的容量小；文件系统可能已损坏。" + kNothingWritten;
    case ProblemKind::kNotFat32:
      return kNotFat32;
    case ProblemKind::kUnsupportedGeometry:
      return "此磁盘的引导扇区参数不受支持（" + problem.detail + "）。" + kNothingWritten;
    case ProblemKind::kDamagedChain:
      return "根目录的簇链已损坏（" + problem.detail + "）。为保护您的数据，" + kNothingWritten +
             "请先用磁盘检查工具修复此磁盘。";
    case ProblemKind::kDamagedDirectory:
      return "根目录已损坏（" + problem.detail + "）。为保护您的数据，" + kNothingWritten +
             "请先用磁盘检查工具修复此磁盘。";
    case ProblemKind::kRootTooLong:
      return "根目录超过" + std::to_string(problem.count) + "簇，此版本的程序无法处理。" +
             kNothingWritten;
    case ProblemKind::kNotAnalysed:
      return std::string("尚未分析磁盘，修复未进行。") + kSelectAgain + kNothingWritten;
    case ProblemKind::kNoDrive:
      return std::string("未选择盘符，修复未进行。") + kNothingWritten;
    case ProblemKind::kPassOpenFailed:
      return "无法打开磁盘，修复未进行。" + OpenReason(problem.open, false) + kNothingWritten;
    case ProblemKind::kLayoutChanged:
      return "磁盘在分析之后已更换或已改变（" + problem.detail + "），修复未进行。" + kSelectAgain +
             kNothingWritten;
    case ProblemKind::kWriteFailed:
      return "写入第" + sector + "扇区失败，修复已中止。" +
             (problem.earlierWritten ? kPartlyWritten
              : problem.writeStarted ? kFirstWriteFailed
                                     : kNothingWritten);
    case ProblemKind::kFlushFailed:
      return "修复的扇区已交给系统，但未能确认它们已写入磁盘，修改可能没有全部到达磁盘。"
             "请不要拔出磁盘，重新选择盘符后再次修复。";
  }
  return {};
}

const char* AnalysisTitle(const Problem& problem) {
  return problem.kind == ProblemKind::kOpenFailed ? kOpenFailedTitle : kErrorTitle;
}

const char* Title(const Problem& problem) {
  const bool refusal = problem.kind < ProblemKind::kNotAnalysed;
  return refusal ? AnalysisTitle(problem) : kRepairFailedTitle;
}

std::string RestoredFolder(const std::string& name) { return "已恢复：" + name; }

std::string RestoredCount(std::size_t count) {
  if (count == 0) return "根目录中没有需要恢复的文件夹。";
  return "共恢复" + std::to_string(count) + "个文件夹。";
}

}  // namespace kestrova::repair::messages
