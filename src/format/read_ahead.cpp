// SPDX-License-Identifier: GPL-3.0-or-later
#include "format/read_ahead.h"

#include <algorithm>
#include <system_error>

#include "format/sector_io.h"

namespace kestrova::repair {

ReadAhead::ReadAhead(volume::Volume& volume, std::uint32_t sectorSize,
                     std::vector<SectorTransfer> transfers, std::function<void()> arrived)
    : volume_(volume),
      sectorSize_(sectorSize),
      transfers_(std::move(transfers)),
      arrived_(std::move(arrived)) {
  std::int64_t largest = 0;
  for (const SectorTransfer& transfer : transfers_) largest = std::max(largest, transfer.bytes);
  const bool ahead = transfers_.size() >= kFewestAhead;
  // A few transfers have a slot each, and are read together at the first Next().
  const std::size_t slots = ahead ? kSlots : transfers_.size();
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

void ReadAhead::ReadTogether() {
  std::vector<SectorRead> reads;
  reads.reserve(transfers_.size());
  for (std::size_t i = 0; i < transfers_.size(); ++i) {
    reads.push_back({transfers_[i].sector, slots_[i].buffer.bytes().first(
                                               static_cast<std::size_t>(transfers_[i].bytes))});
  }
  const auto failed = ReadSectorsTogether(volume_, sectorSize_, reads, [&](std::size_t i) {
    slots_[i].ready = true;
    slots_[i].told = static_cast<bool>(arrived_);
    if (arrived_) arrived_();
  });
  // The first that failed is told at its turn; those after it are read again then.
  if (failed) slots_[failed->index].failed = failed->error;
}

std::optional<std::span<const std::uint8_t>> ReadAhead::Next(
    std::optional<volume::DeviceError>& failed) {
  failed.reset();
  if (given_ == transfers_.size() || slots_.empty()) return std::nullopt;
  const SectorTransfer& transfer = transfers_[given_];
  Slot& slot = slots_[given_ % slots_.size()];
  if (!reader_.joinable() && slots_.size() == transfers_.size()) {
    if (given_ == 0) ReadTogether();
    if (slot.failed) {
      failed = std::move(slot.failed);
    } else if (!slot.ready) {
      failed = ReadInto(slot, transfer);  // after one that failed: it may not have been read
    }
  } else if (!reader_.joinable()) {
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
  if (!slot.told && arrived_) arrived_();
  slot.told = false;
  return slot.buffer.bytes().first(static_cast<std::size_t>(transfer.bytes));
}

}  // namespace kestrova::repair
