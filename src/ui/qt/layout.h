// SPDX-License-Identifier: GPL-3.0-or-later
// What the Qt window adds to the shared design: its fallback face and its picture resources.
#pragma once

#include "ui/layout.h"

namespace kestrova::ui::qt {

inline constexpr const char* kFallbackFace = "WenQuanYi Micro Hei";

// The pictures, as the window's resources name them.
inline constexpr const char* kRepairPicture = ":/assets/repair.bmp";
inline constexpr const char* kBannerPicture = ":/assets/banner.bmp";
inline constexpr const char* kHandPicture = ":/assets/hand.png";
inline constexpr const char* kIconPictures[] = {":/assets/icon-16.png", ":/assets/icon-32.png",
                                                ":/assets/icon-48.png"};

}  // namespace kestrova::ui::qt
