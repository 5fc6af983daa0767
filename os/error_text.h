#pragma once

#include <string>

namespace os {

// The system's text for an error number, in 8-bit form fit for the log file: plain ASCII on
// POSIX, Windows-1251 on Windows.
std::string ErrorText(int code);

// The same text in UTF-8, for messages shown to the user.
std::string ErrorMessage(int code);

}  // namespace os
