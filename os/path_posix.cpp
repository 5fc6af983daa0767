#include <limits.h>
#include <unistd.h>

#include <string>

#include "os/path.h"

namespace os {

bool IsPathSeparator(char c) {
  return c == '/';
}

std::string ExecutablePath() {
  std::string buffer(PATH_MAX, '\0');
  for (;;) {
    const ssize_t n = ::readlink("/proc/self/exe", buffer.data(), buffer.size());
    if (n < 0)
      return {};
    if (static_cast<std::size_t>(n) < buffer.size()) {
      buffer.resize(static_cast<std::size_t>(n));
      return buffer;
    }
    buffer.resize(buffer.size() * 2);
  }
}

}  // namespace os
