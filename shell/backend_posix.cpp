#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "os/path.h"
#include "shell/application.h"
#include "shell/headless.h"

namespace shell {
namespace {

// Built beside the executable when Qt is available; loaded only on a display, so a headless run
// never maps Qt.
constexpr const char* kDesktopModule = "kestrune-qt.so";

bool HasDisplay() {
  for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY"}) {
    const char* value = std::getenv(name);
    if (value != nullptr && *value != '\0')
      return true;
  }
  return false;
}

std::string ModulePath() {
  std::string path = os::ExecutablePath();
  const std::size_t slash = path.find_last_of('/');
  path.erase(slash == std::string::npos ? 0 : slash + 1);
  return path + kDesktopModule;
}

std::unique_ptr<Application> LoadDesktop(const char* program, std::string& problem) {
  const std::string path = ModulePath();
  // Never closed: the application's code lives in it until the process ends.
  void* module = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (module == nullptr) {
    const char* error = ::dlerror();
    problem = error != nullptr ? error : "cannot load " + path;
    return nullptr;
  }
  using Factory = Application*(const char*, std::string*);
  auto* create = reinterpret_cast<Factory*>(::dlsym(module, "KestruneCreateDesktop"));
  if (create == nullptr) {
    problem = path + " has no KestruneCreateDesktop";
    return nullptr;
  }
  return std::unique_ptr<Application>(create(program, &problem));
}

}  // namespace

std::unique_ptr<Application> CreateApplication(int argc, char** argv) {
  if (HasDisplay()) {
    std::string problem;
    if (auto desktop = LoadDesktop(argc > 0 ? argv[0] : nullptr, problem))
      return desktop;
    std::fprintf(stderr, "kestrune: no desktop (%s); running headless\n", problem.c_str());
    std::fflush(stderr);
  }
  return std::make_unique<HeadlessApplication>();
}

}  // namespace shell
