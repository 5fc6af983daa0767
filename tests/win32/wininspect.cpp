// Looks at the windows of other programs for the end-to-end checks under Wine.
//
//   wininspect list                      one line per top-level window:
//                                        class|visible|left,top|client WxH|title
//                                        then |class:text of each child window
//   wininspect post CLASS MSG WPARAM LPARAM   posts a message to the window of that class
//
// Output is UTF-8.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <string>

#include "os/text_win32.h"

namespace {

std::string Text(HWND window) {
  wchar_t buffer[1024] = {};
  const LRESULT n =
      ::SendMessageTimeoutW(window, WM_GETTEXT, std::size(buffer), reinterpret_cast<LPARAM>(buffer),
                            SMTO_ABORTIFHUNG, 2000, nullptr);
  (void)n;
  return os::WideToUtf8(buffer);
}

std::string ClassName(HWND window) {
  wchar_t buffer[256] = {};
  ::GetClassNameW(window, buffer, static_cast<int>(std::size(buffer)));
  return os::WideToUtf8(buffer);
}

void Print(const std::string& line) {
  DWORD written = 0;
  ::WriteFile(::GetStdHandle(STD_OUTPUT_HANDLE), line.data(), static_cast<DWORD>(line.size()),
              &written, nullptr);
}

BOOL CALLBACK AddChild(HWND child, LPARAM out) {
  *reinterpret_cast<std::string*>(out) += "|" + ClassName(child) + ":" + Text(child);
  return TRUE;
}

BOOL CALLBACK PrintWindow(HWND window, LPARAM) {
  RECT frame{};
  RECT client{};
  ::GetWindowRect(window, &frame);
  ::GetClientRect(window, &client);
  std::string line = ClassName(window) + "|" + (::IsWindowVisible(window) ? "1" : "0") + "|" +
                     std::to_string(frame.left) + "," + std::to_string(frame.top) + "|" +
                     std::to_string(client.right) + "x" + std::to_string(client.bottom) + "|" +
                     Text(window);
  ::EnumChildWindows(window, AddChild, reinterpret_cast<LPARAM>(&line));
  Print(line + "\n");
  return TRUE;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string command = argc > 1 ? argv[1] : "";
  if (command == "list") {
    ::EnumWindows(PrintWindow, 0);
    return 0;
  }
  if (command == "post" && argc == 6) {
    const HWND window = ::FindWindowW(os::Utf8ToWide(argv[2]).c_str(), nullptr);
    if (window == nullptr)
      return 1;
    const auto number = [](const char* s) { return std::strtoull(s, nullptr, 0); };
    return ::PostMessageW(window, static_cast<UINT>(number(argv[3])),
                          static_cast<WPARAM>(number(argv[4])),
                          static_cast<LPARAM>(number(argv[5])))
               ? 0
               : 1;
  }
  std::fprintf(stderr, "usage: wininspect list | post CLASS MSG WPARAM LPARAM\n");
  return 2;
}
