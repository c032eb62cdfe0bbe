// SPDX-License-Identifier: GPL-3.0-or-later
// The report that ends a repair: the elapsed time and the completion message.
#pragma once

#include <string>

namespace kestrova::ui {

inline constexpr const char* kCompletionTitle = "by Varkel";

// The seconds timer: the time of day in seconds since midnight, in single precision.
float SecondsSinceMidnight();

// The time between two readings of the seconds timer, in single precision. A pass that runs
// across midnight (the timer restarts at 0) is still counted forwards.
float ElapsedSeconds(float start, float end);

// The elapsed time with at least one digit before the point and exactly eight after it.
std::string FormatElapsed(float seconds);

}  // namespace kestrova::ui
