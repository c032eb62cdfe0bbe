// SPDX-License-Identifier: GPL-3.0-or-later
// Files beside the volume: the journal of a change, written to the disk before the volume is
// touched, and the folder where journals go by default.
#pragma once

#include <cstdint>
#include <filesystem>
#include <span>
#include <vector>

namespace kestrova::volume {

// Writes `bytes` as a new file at `path` (creating its folders; an existing file is not
// replaced), and makes them reach the disk before it returns. 0, or the system's error value.
int WriteFileDurably(const std::filesystem::path& path, std::span<const std::uint8_t> bytes);

// Makes the folder at `path` and each missing folder above it, open to the user alone (mode 0700
// on Linux, as the XDG base directories ask); a folder that exists already is left as it is. 0, or
// the system's error value.
int MakePrivateFolder(const std::filesystem::path& path);

// Moves the file at `from` to `to`, in the same file system, without replacing a file that is at
// `to` already. 0, or the system's error value (the kExists kind when `to` is taken, a missing
// `from` as the system says it). The names reach the disk with SyncFileSystem.
int MoveFileNoReplace(const std::filesystem::path& from, const std::filesystem::path& to);

// Makes all that was written to the file system of `folder`, names and files, reach the disk: one
// call after many moves. 0, or the system's error value.
int SyncFileSystem(const std::filesystem::path& folder);

// What a system's error value from making or writing a file means to the user.
enum class FileErrorKind {
  kOther,
  kNoPermission,  // the user may not write there
  kReadOnly,      // the file system there is read-only
  kFull,          // no room is left there
  kNotAFolder,    // a file stands where a folder of the path should be
  kExists,        // a file of that name is there already
};
FileErrorKind KindOfFileError(int error);

// How reading a file that a user names (a journal) went.
enum class ReadOutcome {
  kRead,
  kMissing,     // nothing at that path
  kNotRegular,  // a folder, a device, a pipe or a socket: never read, never waited on
  kTooLarge,    // larger than the bound the caller gave
  kFailed,      // it could not be opened or read: `error` says why
};

// Reads the whole of the regular file at `path`, of at most `maxBytes`, into `bytes`. A pipe is
// refused without waiting for a writer; `error` is the system's value on kFailed.
ReadOutcome ReadRegularFile(const std::filesystem::path& path, std::uint64_t maxBytes,
                            std::vector<std::uint8_t>& bytes, int& error);

// The folder of the user's journals: $XDG_STATE_HOME/kestrova (by default
// ~/.local/state/kestrova) on Linux, %LOCALAPPDATA%\Kestrova on Windows. Empty when the
// environment names no such place.
std::filesystem::path StateDirectory();

}  // namespace kestrova::volume
