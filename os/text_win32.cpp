#include "os/text_win32.h"

#include <windows.h>

namespace os {

std::wstring Utf8ToWide(std::string_view utf8) {
  if (utf8.empty())
    return {};
  const int size = static_cast<int>(utf8.size());
  const int n = ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), size, nullptr, 0);
  if (n <= 0)
    return {};
  std::wstring wide(static_cast<std::size_t>(n), L'\0');
  ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), size, wide.data(), n);
  return wide;
}

std::string WideToCodePage(std::wstring_view wide, unsigned code_page) {
  if (wide.empty())
    return {};
  const int size = static_cast<int>(wide.size());
  const int n =
      ::WideCharToMultiByte(code_page, 0, wide.data(), size, nullptr, 0, nullptr, nullptr);
  if (n <= 0)
    return {};
  std::string narrow(static_cast<std::size_t>(n), '\0');
  ::WideCharToMultiByte(code_page, 0, wide.data(), size, narrow.data(), n, nullptr, nullptr);
  return narrow;
}

std::string WideToUtf8(std::wstring_view wide) {
  return WideToCodePage(wide, CP_UTF8);
}

}  // namespace os
