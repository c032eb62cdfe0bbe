// SPDX-License-Identifier: GPL-3.0-or-later
#include "fat_tools.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <thread>

namespace kestrova::testing {
namespace {

// The next offset at or after `from` where `fd` has data (or a hole), or `size` when none.
off_t Seek(int fd, off_t from, int whence, off_t size) {
  const off_t at = ::lseek(fd, from, whence);
  return at < 0 ? size : std::min(at, size);
}

}  // namespace

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
  return MakeFatImage(image, sizeKiB, "-F 32 " + mkfsOptions);
}

bool MakeFatImage(const std::filesystem::path& image, std::uint64_t sizeKiB,
                  const std::string& mkfsOptions) {
  std::filesystem::remove(image);
  // truncate makes the file sparse; mkfs.fat writes only its structures.
  const auto made = Run("truncate -s " + std::to_string(sizeKiB) + "K " + Quote(image.string()) +
                            " && mkfs.fat " + mkfsOptions + " " + Quote(image.string()),
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

bool PutFile(const std::filesystem::path& image, const ImageFile& file,
             const std::string& attributes) {
  TempDir dir;
  const auto source = dir / "source";
  std::ofstream(source, std::ios::binary)
      .write(reinterpret_cast<const char*>(file.bytes.data()),
             static_cast<std::streamsize>(file.bytes.size()));
  const std::string target = Quote("::" + file.path);
  for (const auto& [tool, arguments] :
       {std::pair<std::string, std::string>{"mcopy", Quote(source.string()) + " " + target},
        {"mattrib", attributes + " " + target}}) {
    if (tool == "mattrib" && attributes.empty()) break;
    const auto done = Mtools(tool, image, arguments);
    if (done.status != 0) {
      ADD_FAILURE() << tool << " " << arguments << ": " << done.output;
      return false;
    }
  }
  return true;
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
  std::vector<std::uint8_t> bytes(static_cast<std::size_t>(std::filesystem::file_size(file)));
  in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  bytes.resize(static_cast<std::size_t>(in.gcount()));
  return bytes;
}

std::vector<std::uint64_t> DifferingOffsets(const std::filesystem::path& a,
                                            const std::filesystem::path& b) {
  std::vector<std::uint64_t> offsets;
  const int fa = ::open(a.c_str(), O_RDONLY | O_CLOEXEC);
  const int fb = ::open(b.c_str(), O_RDONLY | O_CLOEXEC);
  const off_t size =
      static_cast<off_t>(std::max(std::filesystem::file_size(a), std::filesystem::file_size(b)));
  if (fa < 0 || fb < 0) {
    ADD_FAILURE() << "cannot open " << a << " or " << b;
  } else {
    std::vector<std::uint8_t> x(1 << 20), y(1 << 20);
    for (off_t at = 0; at < size;) {
      const off_t start = std::min(Seek(fa, at, SEEK_DATA, size), Seek(fb, at, SEEK_DATA, size));
      if (start >= size) break;
      const off_t end =
          std::max(Seek(fa, start, SEEK_HOLE, size), Seek(fb, start, SEEK_HOLE, size));
      for (off_t chunk = start; chunk < end;) {
        const auto length = static_cast<std::size_t>(std::min<off_t>(end - chunk, 1 << 20));
        std::fill(x.begin(), x.end(), 0);
        std::fill(y.begin(), y.end(), 0);
        const ssize_t ra = ::pread(fa, x.data(), length, chunk);
        const ssize_t rb = ::pread(fb, y.data(), length, chunk);
        if (ra < 0 || rb < 0) {
          ADD_FAILURE() << "read error";
          break;
        }
        if (ra != rb) ADD_FAILURE() << "the files differ in length near " << chunk;
        for (std::size_t i = 0; i < length; ++i) {
          if (x[i] != y[i]) offsets.push_back(static_cast<std::uint64_t>(chunk) + i);
        }
        chunk += static_cast<off_t>(length);
      }
      at = end;
    }
  }
  if (fa >= 0) ::close(fa);
  if (fb >= 0) ::close(fb);
  return offsets;
}

bool CopySparse(const std::filesystem::path& from, const std::filesystem::path& to) {
  return Run("cp --sparse=always " + Quote(from.string()) + " " + Quote(to.string())).status == 0;
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

bool DetachLoop(const std::string& device, const std::filesystem::path& image) {
  const auto detached = Run("losetup -d " + Quote(device), true);
  if (detached.status != 0) {
    ADD_FAILURE() << "losetup -d " << device << ": " << detached.output;
    return false;
  }
  // Polled: the release has no event to wait on. The deadline only keeps a stuck device from
  // hanging the test.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(1);
  for (;;) {
    const auto listed = Run("losetup -j " + Quote(image.string()), true);
    if (listed.status == 0 && listed.output.empty()) return true;
    if (std::chrono::steady_clock::now() > deadline) {
      ADD_FAILURE() << image << " still backs a loop device: " << listed.output;
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

std::map<std::string, std::vector<std::uint8_t>> FilesUnder(const std::filesystem::path& dir) {
  std::map<std::string, std::vector<std::uint8_t>> files;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(dir)) {
    if (!entry.is_regular_file()) continue;
    files["/" + entry.path().lexically_relative(dir).generic_string()] = ReadBytes(entry.path());
  }
  return files;
}

std::map<std::string, std::vector<std::uint8_t>> FatFiles(const std::filesystem::path& image) {
  TempDir out;
  if (Mtools("mcopy", image, "-s -n -Q ::/ " + Quote(out.path().string())).status != 0) return {};
  return FilesUnder(out.path());
}

std::string CliPath() { return KESTROVA_CLI_PATH; }

}  // namespace kestrova::testing
