#pragma once

#include <cstdint>
#include <string_view>

namespace app {

// A decimal integer with an optional sign, within 0 to 65535. Anything else throws
// std::invalid_argument whose text names the argument and the valid range.
std::uint16_t ParsePort(std::string_view argument);

}  // namespace app
