// The one entry point of the desktop module, looked up by name when the program starts on a
// display.
#include <exception>
#include <string>

#include "shell/qt.h"

extern "C" __attribute__((visibility("default"))) shell::Application* KestruneCreateDesktop(
    const char* program, std::string* problem) {
  try {
    std::string platform;
    if (std::string why = shell::QtDesktopProblem(platform); !why.empty()) {
      *problem = why;
      return nullptr;
    }
    return new shell::QtApplication(program, platform);
  } catch (const std::exception& e) {
    *problem = e.what();
    return nullptr;
  }
}
