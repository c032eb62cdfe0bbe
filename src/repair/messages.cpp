#include "repair/messages.h"

namespace kestrova::repair::messages {
namespace {

constexpr const char* kNothingWritten = "未对磁盘作任何修改。";
constexpr const char* kPartlyWritten =
    "此前的扇区已修复并保留在磁盘上，其余扇区未作修改；可以重新选择盘符后再次修复。";

const char* WrittenNote(bool anyWritten) { return anyWritten ? kPartlyWritten : kNothingWritten; }

}  // namespace

std::string ReadFailed(std::int64_t sector) {
  return "读取磁盘第" + std::to_string(sector) + "扇区失败！请检查磁盘是否仍然连接。" +
         kNothingWritten;
}

std::string UnsupportedGeometry(const std::string& detail) {
  return "此磁盘的引导扇区参数不受支持（" + detail + "）。" + kNothingWritten;
}

std::string DamagedChain(const std::string& detail) {
  return "根目录的簇链已损坏（" + detail + "）。为保护您的数据，" + kNothingWritten +
         "请先用磁盘检查工具修复此磁盘。";
}

std::string RootTooLong(std::int32_t capacity) {
  return "根目录超过" + std::to_string(capacity) + "簇，此版本的程序无法处理。" + kNothingWritten;
}

std::string PassOpenFailed() {
  return std::string("无法打开磁盘，修复未进行。请检查是否有其他程序占用磁盘。") + kNothingWritten;
}

std::string PassNoDrive() { return std::string("未选择盘符，修复未进行。") + kNothingWritten; }

std::string PassDiskChanged() {
  return std::string("磁盘已更换或其引导扇区已改变，修复未进行。请重新选择盘符。") +
         kNothingWritten;
}

std::string PassReadFailed(std::int64_t sector, bool anyWritten) {
  return "读取第" + std::to_string(sector) + "扇区失败，修复已中止。" + WrittenNote(anyWritten);
}

std::string PassWriteFailed(std::int64_t sector, bool anyWritten) {
  return "写入第" + std::to_string(sector) + "扇区失败，修复已中止。" + WrittenNote(anyWritten);
}

std::string PassLayoutInvalid() {
  return std::string("尚未分析磁盘，修复未进行。请重新选择盘符。") + kNothingWritten;
}

}  // namespace kestrova::repair::messages
