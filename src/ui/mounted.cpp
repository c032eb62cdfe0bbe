// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/mounted.h"

#include "repair/texts.h"

namespace kestrova::ui {
namespace {

using texts::Format;
using texts::Tr;

// Why an unmount or a mount failed, as a clause in brackets.
std::string Reason(const volume::MountChange& change) {
  if (change.notAuthorized) return Tr(texts::kRefusedAuthorization);
  if (change.noService) return Tr(texts::kNoDiskService);
  std::string detail = change.detail;
  while (!detail.empty() && (detail.back() == '.' || detail.back() == ' ')) detail.pop_back();
  return detail.empty() ? std::string() : Format(texts::kSystemSays, detail);
}

}  // namespace

std::string UnmountQuestion(const std::string& mountPoint) {
  return Format(texts::kUnmountQuestion, mountPoint);
}

std::string UnmountFailed(const std::string& mountPoint, const volume::MountChange& change) {
  return texts::Sentences({Format(texts::kUnmountFailed, mountPoint, Reason(change)),
                           Tr(texts::kNothingWritten),
                           change.noService ? Format(texts::kUnmountByHand, mountPoint)
                                            : std::string(Tr(texts::kCloseUsers))});
}

std::string RemountFailed(const volume::MountChange& change, bool repaired) {
  return Format(repaired ? texts::kRemountFailed : texts::kRemountFailedNotRepaired,
                Reason(change));
}

}  // namespace kestrova::ui
