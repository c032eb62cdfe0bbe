// SPDX-License-Identifier: GPL-3.0-or-later
// Reads known in advance, made on a second thread while the bytes of the last one are looked at.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <span>
#include <thread>
#include <vector>

#include "volume/volume.h"

namespace kestrova::repair {

// One read of whole sectors.
struct SectorTransfer {
  std::int64_t sector = 0;
  std::int64_t bytes = 0;  // whole sectors, at most kMaxTransferBytes
};

// Reads `transfers` in their order, each one on its way while the one before it is looked at:
// on a disk that reads as fast as the processor looks, the looking then costs no time. The reads
// are made on a thread of their own, and the volume is used by nothing else while a ReadAhead
// lives: its owner reads nothing else until it is gone. A list of a few transfers is read all
// together at the first Next(), on the caller's thread; every list when the system gives no
// thread one transfer at each Next().
class ReadAhead {
 public:
  // `arrived` is told of each transfer that arrived whole, once, on the caller's thread, before
  // Next() hands it over: of those read together as each arrives (a window answers its input
  // between two of them).
  ReadAhead(volume::Volume& volume, std::uint32_t sectorSize, std::vector<SectorTransfer> transfers,
            std::function<void()> arrived = {});
  ~ReadAhead();  // waits for the read under way, if any
  ReadAhead(const ReadAhead&) = delete;
  ReadAhead& operator=(const ReadAhead&) = delete;

  // The next transfer's bytes, which stay as they are until the next call; nothing when every
  // transfer was given. `failed` is set when its read failed (the bytes are then empty).
  std::optional<std::span<const std::uint8_t>> Next(std::optional<volume::DeviceError>& failed);

 private:
  struct Slot {
    volume::AlignedBuffer buffer;
    std::optional<volume::DeviceError> failed;
    bool ready = false;
    bool told = false;  // `arrived_` heard of it
  };
  static constexpr std::size_t kSlots = 2;
  // Fewer transfers are read at Next(): a thread costs more to start than it would save them.
  static constexpr std::size_t kFewestAhead = 4;

  void ReadAll();
  void ReadTogether();
  std::optional<volume::DeviceError> ReadInto(Slot& slot, const SectorTransfer& transfer);

  volume::Volume& volume_;
  const std::uint32_t sectorSize_;
  const std::vector<SectorTransfer> transfers_;
  const std::function<void()> arrived_;
  std::vector<Slot> slots_;
  std::size_t given_ = 0;  // the transfers given to the caller
  std::mutex mutex_;
  std::condition_variable changed_;
  bool stop_ = false;
  std::thread reader_;
};

}  // namespace kestrova::repair
