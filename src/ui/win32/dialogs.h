// SPDX-License-Identifier: GPL-3.0-or-later
// The window's own modal dialogs: the report of a change with a second button that undoes it, and
// the choice of the virus's files to remove. Both are laid out in pixels at the window's
// resolution, in the system's message font, so that they keep their size at every scaling.
#pragma once

#include <windows.h>

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "words/messages.h"

namespace kestrova::ui::win32 {

// A report of `text` with the information icon, OK and a second button captioned `action`, over
// `owner` at `dpi` dots per inch. OK is the default for Enter; Escape and the close box answer as
// OK does. True only when the second button was pressed.
bool RunReport(HWND owner, int dpi, const std::string& text, const std::string& title,
               const std::string& action);

// `text` above a list of `files`, one row each with its name and reason, each checked, the detail
// shown as the row's tip; the buttons `action` (kRemoveSelected) and Keep, Keep the default for
// Enter and Escape. The indices of the rows checked when `action` was pressed; nothing when the
// files are kept or the dialog is closed.
std::optional<std::vector<std::size_t>> RunRemovalChoice(
    HWND owner, int dpi, const std::string& text, const std::string& title,
    const std::string& action, const std::vector<repair::messages::RemovalChoice>& files);

}  // namespace kestrova::ui::win32
