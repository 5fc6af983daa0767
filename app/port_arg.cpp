#include "app/port_arg.h"

#include <stdexcept>
#include <string>

namespace app {

std::uint16_t ParsePort(std::string_view argument) {
  std::string_view digits = argument;
  bool negative = false;
  if (!digits.empty() && (digits.front() == '+' || digits.front() == '-')) {
    negative = digits.front() == '-';
    digits.remove_prefix(1);
  }
  bool valid = !digits.empty();
  std::uint32_t value = 0;
  for (const char c : digits) {
    if (c < '0' || c > '9') {
      valid = false;
      break;
    }
    value = value * 10 + static_cast<std::uint32_t>(c - '0');
    if (value > 65535) {
      valid = false;
      break;
    }
  }
  if (valid && negative && value != 0)
    valid = false;
  if (!valid)
    throw std::invalid_argument("\"" + std::string(argument) +
                                "\" is not a valid port number (0 to 65535)");
  return static_cast<std::uint16_t>(value);
}

}  // namespace app
