#include "shell/application.h"
#include "shell/headless.h"

namespace shell {

std::unique_ptr<Application> CreateApplication(int, char**) {
  return std::make_unique<HeadlessApplication>();
}

}  // namespace shell
