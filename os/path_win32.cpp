#include <windows.h>

#include <string>

#include "os/path.h"
#include "os/text_win32.h"

namespace os {

bool IsPathSeparator(char c) {
  return c == '\\' || c == '/';
}

std::string ExecutablePath() {
  std::wstring buffer(MAX_PATH, L'\0');
  for (;;) {
    const DWORD n = ::GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    if (n == 0)
      return {};
    if (n < buffer.size()) {
      buffer.resize(n);
      return WideToUtf8(buffer);
    }
    buffer.resize(buffer.size() * 2);
  }
}

}  // namespace os
