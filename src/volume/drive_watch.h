// SPDX-License-Identifier: GPL-3.0-or-later
// News of the machine's drives as they come and go, for a window's event loop: a descriptor that
// becomes readable when the system may have news, and the call that reads it. Which watch is built
// is chosen at build time with the UDisks2 client: UDisks2's signals on the system bus
// (udisks_posix.cpp), or none (udisks_none.cpp).
#pragma once

#include <memory>

namespace kestrova::volume {

class DriveWatch {
 public:
  virtual ~DriveWatch() = default;
  // The descriptor to wait on for reading; -1 once the watch has stopped for good.
  virtual int Fd() const = 0;
  // Reads all that is pending on the descriptor, without waiting: true when a drive may have come
  // or gone since the last call. A watch that stops (its daemon went away) answers true once.
  virtual bool Changed() = 0;
};

// The system's watch, or nothing where the system cannot tell: then the list changes only when
// the user asks for a new look.
std::unique_ptr<DriveWatch> WatchDrives();

}  // namespace kestrova::volume
