#pragma once

#include <string>

namespace os {

bool IsPathSeparator(char c);

// Full path of the running executable.
std::string ExecutablePath();

}  // namespace os
