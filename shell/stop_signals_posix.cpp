#include <errno.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>

#include "shell/stop_signals.h"

namespace shell {
namespace {

std::atomic<int> g_stop_fd{-1};

void OnStopSignal(int) {
  const int saved = errno;
  const char byte = 0;
  if (const int fd = g_stop_fd.load(); fd >= 0) {
    [[maybe_unused]] const ssize_t n = ::write(fd, &byte, 1);
  }
  errno = saved;
}

}  // namespace

StopSignalRoute::StopSignalRoute(int fd) : fd_(fd) {
  g_stop_fd.store(fd_);
  struct sigaction action {};
  action.sa_handler = OnStopSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  ::sigaction(SIGINT, &action, nullptr);
  ::sigaction(SIGTERM, &action, nullptr);
}

StopSignalRoute::~StopSignalRoute() {
  int expected = fd_;
  if (g_stop_fd.compare_exchange_strong(expected, -1)) {
    ::signal(SIGINT, SIG_DFL);
    ::signal(SIGTERM, SIG_DFL);
  }
}

}  // namespace shell
