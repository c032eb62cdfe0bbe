// SPDX-License-Identifier: GPL-3.0-or-later
// The report that ends a repair: the title of its completion message (the text is
// messages::RepairEnd's).
#pragma once

namespace kestrova::ui {

inline constexpr const char* kCompletionTitle = "by Varkel";

}  // namespace kestrova::ui
