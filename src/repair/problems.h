// Building the engine's problems.
#pragma once

#include <string>
#include <utility>

#include "repair/messages.h"

namespace kestrova::repair {

inline Problem MakeProblem(ProblemKind kind, std::string detail = {}) {
  Problem problem;
  problem.kind = kind;
  problem.detail = std::move(detail);
  return problem;
}

inline Problem UnsupportedGeometry(std::string detail) {
  return MakeProblem(ProblemKind::kUnsupportedGeometry, std::move(detail));
}

inline Problem DamagedChain(std::string detail) {
  return MakeProblem(ProblemKind::kDamagedChain, std::move(detail));
}

inline Problem DamagedDirectory(std::string detail) {
  return MakeProblem(ProblemKind::kDamagedDirectory, std::move(detail));
}

}  // namespace kestrova::repair
