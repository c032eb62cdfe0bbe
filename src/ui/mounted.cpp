#include "ui/mounted.h"

namespace kestrova::ui {
namespace {

// Why an unmount or a mount failed, as a clause in brackets.
std::string Reason(const volume::MountChange& change) {
  if (change.notAuthorized) return "（系统拒绝了授权）";
  if (change.noService) return "（系统没有可用的磁盘管理服务UDisks2）";
  std::string detail = change.detail;
  while (!detail.empty() && (detail.back() == '.' || detail.back() == ' ')) detail.pop_back();
  return detail.empty() ? std::string() : "（" + detail + "）";
}

}  // namespace

std::string UnmountQuestion(const std::string& mountPoint) {
  return "磁盘已挂载在“" + mountPoint +
         "”，修复前需要先卸载它。\r\n要卸载磁盘并继续吗？修复后将重新挂载。";
}

std::string UnmountFailed(const std::string& mountPoint, const volume::MountChange& change) {
  return "无法卸载挂载在“" + mountPoint + "”的磁盘" + Reason(change) + "。未对磁盘作任何修改。" +
         (change.noService ? "请先手动卸载（例如：umount " + mountPoint + "）后再试。"
                           : std::string("请关闭正在使用磁盘的程序后再试。"));
}

std::string RemountFailed(const volume::MountChange& change) {
  return "未能重新挂载磁盘" + Reason(change) + "，这不影响修复的结果。请拔下磁盘后重新插入。";
}

}  // namespace kestrova::ui
