// SPDX-License-Identifier: GPL-3.0-or-later
#include "format/read_ahead.h"

#include <algorithm>
#include <system_error>

#include "format/sector_io.h"

namespace kestrova::repair {

ReadAhead::ReadAhead(volume::Volume& volume, std::uint32_t sectorSize,
                     std::vector<SectorTransfer> transfers)
    : volume_(volume), sectorSize_(sectorSize), transfers_(std::move(transfers)) {
  std::int64_t largest = 0;
  for (const SectorTransfer& transfer : transfers_) largest = std::max(largest, transfer.bytes);
  const bool ahead = transfers_.size() >= kFewestAhead;
  const std::size_t slots = ahead ? kSlots : 1;
  for (std::size_t i = 0; i < slots && largest > 0; ++i) {
    slots_.push_back({volume::AlignedBuffer(static_cast<std::size_t>(largest)), {}, false});
  }
  if (!ahead || slots_.empty()) return;
  try {
    reader_ = std::thread([this] { ReadAll(); });
  } catch (const std::system_error&) {
    // No thread to be had: every transfer is read at Next(), as a list of one is.
  }
}

ReadAhead::~ReadAhead() {
  {
    const std::lock_guard lock(mutex_);
    stop_ = true;
  }
  changed_.notify_all();
  if (reader_.joinable()) reader_.join();
}

std::optional<volume::DeviceError> ReadAhead::ReadInto(Slot& slot, const SectorTransfer& transfer) {
  const auto bytes = slot.buffer.bytes().first(static_cast<std::size_t>(transfer.bytes));
  return ReadSectors(volume_, transfer.sector, sectorSize_, bytes);
}

void ReadAhead::ReadAll() {
  for (std::size_t i = 0; i < transfers_.size(); ++i) {
    Slot& slot = slots_[i % slots_.size()];
    {
      // The slot is free once the caller has gone past the transfer it held.
      std::unique_lock lock(mutex_);
      changed_.wait(lock, [&] { return stop_ || !slot.ready; });
      if (stop_) return;
    }
    auto failed = ReadInto(slot, transfers_[i]);
    {
      const std::lock_guard lock(mutex_);
      slot.failed = std::move(failed);
      slot.ready = true;
    }
    changed_.notify_all();
  }
}

std::optional<std::span<const std::uint8_t>> ReadAhead::Next(
    std::optional<volume::DeviceError>& failed) {
  failed.reset();
  if (given_ == transfers_.size() || slots_.empty()) return std::nullopt;
  const SectorTransfer& transfer = transfers_[given_];
  Slot& slot = slots_[given_ % slots_.size()];
  if (!reader_.joinable()) {
    failed = ReadInto(slot, transfer);
  } else {
    std::unique_lock lock(mutex_);
    // The slot of the transfer given last is free again.
    if (given_ > 0) slots_[(given_ - 1) % slots_.size()].ready = false;
    changed_.notify_all();
    changed_.wait(lock, [&] { return slot.ready; });
    failed = std::move(slot.failed);
  }
  ++given_;
  if (failed) return std::span<const std::uint8_t>{};
  return slot.buffer.bytes().first(static_cast<std::size_t>(transfer.bytes));
}

}  // namespace kestrova::repair
