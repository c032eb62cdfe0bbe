// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/report.h"

#include <chrono>
#include <cstdio>
#include <ctime>

namespace kestrova::ui {
namespace {
constexpr float kSecondsPerDay = 86400.0f;
}  // namespace

float SecondsSinceMidnight() {
  using namespace std::chrono;
  const auto now = system_clock::now();
  const std::time_t seconds = system_clock::to_time_t(now);
  const std::tm local = *std::localtime(&seconds);
  const double fraction = duration<double>(now - system_clock::from_time_t(seconds)).count();
  return static_cast<float>(local.tm_hour * 3600.0 + local.tm_min * 60.0 + local.tm_sec + fraction);
}

float ElapsedSeconds(float start, float end) {
  float elapsed = end - start;
  if (elapsed < 0.0f) elapsed += kSecondsPerDay;
  return elapsed;
}

std::string FormatElapsed(float seconds) {
  char text[64];
  std::snprintf(text, sizeof text, "%.8f", static_cast<double>(seconds));
  std::string formatted = text;
  if (formatted == "-0.00000000") formatted.erase(0, 1);
  return formatted;
}

}  // namespace kestrova::ui
