// Short names as Chinese Windows writes them: bytes of code page 936 (GBK).
#pragma once

#include <string>
#include <string_view>

namespace kestrova::repair {

// The UTF-8 text of code page 936 bytes; a byte sequence that is not GBK shows as U+FFFD.
std::string Cp936ToUtf8(std::string_view bytes);

}  // namespace kestrova::repair
