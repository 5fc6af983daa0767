#include <windows.h>

#include <string>

#include "os/error_text.h"
#include "os/text_win32.h"

namespace os {
namespace {

// The system's own text, in the user's language, without the line end FormatMessage appends.
std::wstring SystemText(int code) {
  wchar_t* buffer = nullptr;
  const DWORD n = ::FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, static_cast<DWORD>(code), 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
  if (n == 0 || buffer == nullptr)
    return L"Error " + std::to_wstring(code);
  std::wstring text(buffer, n);
  ::LocalFree(buffer);
  while (!text.empty() && (text.back() == L'\n' || text.back() == L'\r'))
    text.pop_back();
  return text;
}

}  // namespace

std::string ErrorText(int code) {
  return WideToCodePage(SystemText(code), kLogCodePage);
}

std::string ErrorMessage(int code) {
  return WideToUtf8(SystemText(code));
}

}  // namespace os
