#include "os/sync.h"

#include <chrono>

namespace os {

void AutoResetEvent::Set() {
  {
    std::lock_guard lock(mutex_);
    signalled_ = true;
  }
  cv_.notify_one();
}

bool AutoResetEvent::WaitFor(int milliseconds) {
  std::unique_lock lock(mutex_);
  if (!cv_.wait_for(lock, std::chrono::milliseconds(milliseconds), [this] { return signalled_; }))
    return false;
  signalled_ = false;
  return true;
}

}  // namespace os
