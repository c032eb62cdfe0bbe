// SPDX-License-Identifier: GPL-3.0-or-later
#include "verdicts.h"

#include "repair/engine.h"

namespace kestrova::testing {

std::map<std::string, std::string> VerdictsOf(const std::filesystem::path& image) {
  std::map<std::string, std::string> verdicts;
  auto opened =
      volume::Volume::Open(volume::DriveTarget::OfPath(image.string()), volume::Access::kReadOnly);
  if (!opened) return verdicts;
  const auto layout = repair::Analyse(*opened);
  if (!layout) return verdicts;
  for (const auto& hidden : layout->findings.hidden) {
    if (!hidden.deleted && !hidden.afterEnd) verdicts[hidden.Name()] = "user";
  }
  constexpr const char* kWords[] = {"user", "virus", "system", "vaccine", "unsure"};
  for (const auto* list : {&layout->findings.leftovers, &layout->findings.judged}) {
    for (const auto& judged : *list) {
      verdicts[judged.Path()] = kWords[static_cast<int>(judged.verdict)];
    }
  }
  return verdicts;
}

}  // namespace kestrova::testing
