#include "fat_tools.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <fstream>

namespace kestrova::testing {

CommandResult Run(const std::string& command, bool withStderr) {
  CommandResult result;
  const std::string full = "MTOOLS_SKIP_CHECK=1 " + command + (withStderr ? " 2>&1" : "");
  FILE* pipe = ::popen(full.c_str(), "r");
  if (!pipe) return result;
  std::array<char, 4096> chunk{};
  std::size_t n;
  while ((n = std::fread(chunk.data(), 1, chunk.size(), pipe)) > 0)
    result.output.append(chunk.data(), n);
  const int status = ::pclose(pipe);
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return result;
}

std::string Quote(const std::string& text) {
  std::string quoted = "'";
  for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

TempDir::TempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "kestrova-test-XXXXXX").string();
  if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

bool MakeFat32Image(const std::filesystem::path& image, std::uint64_t sizeKiB,
                    const std::string& mkfsOptions) {
  std::filesystem::remove(image);
  // truncate makes the file sparse; mkfs.fat writes only its structures.
  const auto made = Run("truncate -s " + std::to_string(sizeKiB) + "K " + Quote(image.string()) +
                            " && mkfs.fat -F 32 " + mkfsOptions + " " + Quote(image.string()),
                        true);
  if (made.status != 0) {
    ADD_FAILURE() << "mkfs.fat failed: " << made.output;
    return false;
  }
  return true;
}

CommandResult Mtools(const std::string& tool, const std::filesystem::path& image,
                     const std::string& arguments) {
  return Run(tool + " -i " + Quote(image.string()) + " " + arguments, true);
}

std::string MattribFlags(const std::filesystem::path& image, const std::string& path) {
  // mattrib prints the flag columns, then the path: "  A  SHR  ::/NAME".
  const auto listed = Mtools("mattrib", image, Quote("::" + path));
  const auto at = listed.output.find("::");
  std::string flags = listed.output.substr(0, at == std::string::npos ? 0 : at);
  std::string letters;
  for (char c : flags) {
    if (c != ' ' && c != '\n') letters += c;
  }
  return letters;
}

std::vector<std::uint8_t> ReadBytes(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::vector<std::uint64_t> DifferingOffsets(const std::filesystem::path& a,
                                            const std::filesystem::path& b) {
  // cmp -l prints "offset(1-based) byteA byteB" per differing byte; it copes with sparse files.
  const auto compared = Run("cmp -l " + Quote(a.string()) + " " + Quote(b.string()));
  std::vector<std::uint64_t> offsets;
  std::size_t pos = 0;
  const std::string& text = compared.output;
  while (pos < text.size()) {
    const std::size_t end = text.find('\n', pos);
    const std::string line =
        text.substr(pos, end == std::string::npos ? std::string::npos : end - pos);
    if (!line.empty()) offsets.push_back(std::stoull(line) - 1);
    if (end == std::string::npos) break;
    pos = end + 1;
  }
  return offsets;
}

void PatchBytes(const std::filesystem::path& file, std::uint64_t offset,
                const std::vector<std::uint8_t>& bytes) {
  std::fstream out(file, std::ios::binary | std::ios::in | std::ios::out);
  out.seekp(static_cast<std::streamoff>(offset));
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
  if (!out) ADD_FAILURE() << "cannot patch " << file;
}

std::vector<std::uint8_t> ReadAt(const std::filesystem::path& file, std::uint64_t offset,
                                 std::size_t length) {
  std::ifstream in(file, std::ios::binary);
  in.seekg(static_cast<std::streamoff>(offset));
  std::vector<std::uint8_t> bytes(length);
  in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(length));
  bytes.resize(static_cast<std::size_t>(in.gcount()));
  return bytes;
}

std::string CliPath() { return KESTROVA_CLI_PATH; }

}  // namespace kestrova::testing
