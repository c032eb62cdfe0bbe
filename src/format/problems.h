// SPDX-License-Identifier: GPL-3.0-or-later
// Building the engine's problems.
#pragma once

#include <cstdint>
#include <string>
#include <utility>

#include "format/problem.h"
#include "format/sector_io.h"

namespace kestrova::repair {

inline Problem MakeProblem(ProblemKind kind, Detail detail = {}) {
  Problem problem;
  problem.kind = kind;
  problem.detail = std::move(detail);
  return problem;
}

// A boot sector field that is not supported; `value` is the field's value where the kind names it.
inline Problem UnsupportedGeometry(DetailKind kind, std::int64_t value = 0) {
  return MakeProblem(ProblemKind::kUnsupportedGeometry, {kind, 0, value, {}});
}

inline Problem DamagedChain(Detail detail) {
  return MakeProblem(ProblemKind::kDamagedChain, std::move(detail));
}

// A read of the sectors from `first` that failed or came up short: at the sector where it stopped.
inline Problem ReadProblem(const volume::DeviceError& error, std::int64_t first,
                           std::int64_t sectorSize) {
  Problem problem =
      MakeProblem(error.kind == volume::DeviceErrorKind::kShort ? ProblemKind::kVolumeTooShort
                                                                : ProblemKind::kReadFailed);
  problem.sector = first + static_cast<std::int64_t>(error.bytesMoved) / sectorSize;
  return problem;
}

inline Problem DamagedDirectory(DetailKind kind, std::int64_t entry) {
  return MakeProblem(ProblemKind::kDamagedDirectory, {kind, entry, 0, {}});
}

}  // namespace kestrova::repair
