#pragma once

#include <string>

namespace os {

// The system's text for an error number, in 8-bit form fit for the log file.
std::string ErrorText(int code);

}  // namespace os
