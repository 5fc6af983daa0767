// The port argument: anything that is not a plain decimal 0..65535 (optional sign) is refused
// with the one clear message; everything else gives exactly its value.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>
#include <string_view>

#include "app/port_arg.h"

namespace {

// Independent of the parser: digits only, leading zeros dropped, at most five significant.
bool Expected(std::string_view s, std::uint32_t& value) {
  bool negative = false;
  if (!s.empty() && (s[0] == '+' || s[0] == '-')) {
    negative = s[0] == '-';
    s.remove_prefix(1);
  }
  if (s.empty() || s.find_first_not_of("0123456789") != std::string_view::npos)
    return false;
  const std::size_t first = s.find_first_not_of('0');
  const std::string_view significant = first == std::string_view::npos ? "" : s.substr(first);
  if (significant.size() > 5)
    return false;
  value =
      significant.empty() ? 0 : static_cast<std::uint32_t>(std::stoul(std::string(significant)));
  return value <= 65535 && !(negative && value != 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view argument(reinterpret_cast<const char*>(data), size);
  std::uint32_t expected = 0;
  const bool valid = Expected(argument, expected);
  try {
    const std::uint16_t port = app::ParsePort(argument);
    if (!valid || port != expected)
      std::abort();
  } catch (const std::invalid_argument& e) {
    // Compared as C strings: an argument from a command line never holds a NUL.
    const std::string message =
        "\"" + std::string(argument) + "\" is not a valid port number (0 to 65535)";
    if (valid || std::strcmp(e.what(), message.c_str()) != 0)
      std::abort();
  }
  return 0;
}
