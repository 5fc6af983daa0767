#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "net/udp_server.h"

namespace net::testing {

// Records every batch; the first call blocks until the test opens the gate, so that what the
// test sends meanwhile piles up in the socket's queue.
class GatedReceiver {
 public:
  explicit GatedReceiver(UdpServer& server) {
    server.OnUDPReadBatch = [this](UdpServer&, std::span<const Datagram> batch,
                                   const SocketHandle&) {
      std::unique_lock lock(mutex_);
      ++calls_;
      cv_.notify_all();
      cv_.wait(lock, [this] { return open_; });
      batch_sizes.push_back(batch.size());
      for (const Datagram& d : batch) {
        payloads.emplace_back(d.Data);
        arrivals.push_back(d.Arrival);
      }
    };
  }
  void WaitForFirstCall() {
    std::unique_lock lock(mutex_);
    ASSERT_TRUE(cv_.wait_for(lock, std::chrono::seconds(20), [this] { return calls_ > 0; }));
  }
  void Open() {
    std::lock_guard lock(mutex_);
    open_ = true;
    cv_.notify_all();
  }
  std::size_t Received() {
    std::lock_guard lock(mutex_);
    return payloads.size();
  }

  // Read after the server is inactive.
  std::vector<std::size_t> batch_sizes;
  std::vector<std::string> payloads;
  std::vector<os::WallTime> arrivals;

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  int calls_ = 0;
  bool open_ = false;
};

}  // namespace net::testing
