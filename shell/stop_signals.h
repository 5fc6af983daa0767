#pragma once

namespace shell {

// While it lives, SIGINT and SIGTERM each write one zero byte to fd, the write end of the owner's
// pipe, so the message loop can end in order; the default actions come back when it goes.
class StopSignalRoute {
 public:
  explicit StopSignalRoute(int fd);
  StopSignalRoute(const StopSignalRoute&) = delete;
  StopSignalRoute& operator=(const StopSignalRoute&) = delete;
  ~StopSignalRoute();

 private:
  int fd_;
};

}  // namespace shell
