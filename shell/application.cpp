#include "shell/application.h"

#include <stdexcept>

namespace shell {

void Application::Dispatch(const NotifyEvent& handler, Component& sender) {
  if (!handler)
    return;
  try {
    handler(sender);
  } catch (const std::exception& e) {
    HandleException(e);
  } catch (...) {
    HandleException(std::runtime_error("unknown error"));
  }
}

}  // namespace shell
