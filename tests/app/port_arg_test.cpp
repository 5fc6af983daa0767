#include "app/port_arg.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

namespace app {
namespace {

TEST(ParsePort, AcceptsDecimalWithOptionalSignWithinRange) {
  const std::pair<std::string, std::uint16_t> cases[] = {
      {"20090", 20090}, {"0", 0}, {"65535", 65535}, {"+80", 80}, {"080", 80}, {"-0", 0},
  };
  for (const auto& [argument, port] : cases)
    EXPECT_EQ(ParsePort(argument), port) << argument;
}

TEST(ParsePort, RefusesAnythingElseNamingTheArgumentAndTheRange) {
  for (const std::string argument :
       {"abc", "70000", "65536", "-1", "", " 80", "80 ", "99999999999", "0x50", "+", "8O", "1e3"}) {
    try {
      ParsePort(argument);
      ADD_FAILURE() << "accepted \"" << argument << "\"";
    } catch (const std::invalid_argument& e) {
      EXPECT_EQ(std::string(e.what()),
                "\"" + argument + "\" is not a valid port number (0 to 65535)");
    }
  }
}

}  // namespace
}  // namespace app
