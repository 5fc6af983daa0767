#pragma once

#include <condition_variable>
#include <mutex>

namespace os {

// Wakes one waiter per Set; a Set with nobody waiting is kept until the next wait.
class AutoResetEvent {
 public:
  void Set();
  // True when the event was set within the timeout; consumes the signal.
  bool WaitFor(int milliseconds);

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  bool signalled_ = false;
};

}  // namespace os
