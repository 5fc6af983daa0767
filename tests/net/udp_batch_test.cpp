// Batched receive on real loopback sockets: order, oversize datagrams, arrival stamps, and the
// counts of what was lost.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "net/udp_server.h"
#include "tests/support/temp_dir.h"

namespace net {
namespace {

using testing_support::SendDatagram;
using testing_support::WaitUntil;

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

double Seconds(os::WallTime t) {
  return static_cast<double>(t.seconds) + t.nanoseconds * 1e-9;
}

TEST(UdpBatch, QueuedDatagramsComeInOrderInBatchesWithOversizeOnesDroppedAlone) {
  UdpServer server;
  server.BufferSize = 4096;
  server.SocketBufferSize = 1 << 20;
  GatedReceiver receiver(server);
  server.SetActive(true);
  const std::uint16_t port = server.Bindings().at(0).Port;

  ASSERT_TRUE(SendDatagram(port, "first"));
  receiver.WaitForFirstCall();
  std::vector<std::string> expected{"first"};
  for (int i = 0; i < 300; ++i) {
    std::string payload = "n" + std::to_string(i);
    if (i == 10)
      payload = "";
    if (i == 20)
      payload = std::string(4096, 'w');  // the largest that fits
    if (i % 50 == 7) {
      ASSERT_TRUE(SendDatagram(port, std::string(4097, 'x')));
      continue;
    }
    ASSERT_TRUE(SendDatagram(port, payload));
    expected.push_back(payload);
  }
  receiver.Open();
  ASSERT_TRUE(WaitUntil([&] { return receiver.Received() >= expected.size(); }));
  server.SetActive(false);

  EXPECT_EQ(receiver.payloads, expected);
  std::size_t largest = 0;
  for (const std::size_t size : receiver.batch_sizes) {
    EXPECT_GE(size, 1u);
    largest = std::max(largest, size);
  }
  // A read takes up to kMaxBatch; an oversize one among them leaves a gap.
  EXPECT_GE(largest, UdpServer::kMaxBatch - 1) << "a queue of 300 should be read in big batches";
  EXPECT_LE(largest, UdpServer::kMaxBatch);
  const UdpStatistics stats = server.Statistics();
  EXPECT_EQ(stats.Delivered, expected.size());
  EXPECT_EQ(stats.Oversize, 6u);
  EXPECT_EQ(stats.SystemDropped, 0u);
}

TEST(UdpBatch, EachDatagramCarriesItsOwnArrivalTime) {
  UdpServer server;
  server.BufferSize = 4096;
  GatedReceiver receiver(server);
  server.SetActive(true);
  const std::uint16_t port = server.Bindings().at(0).Port;

  ASSERT_TRUE(SendDatagram(port, "first"));
  receiver.WaitForFirstCall();
  // Loopback delivers within sendto, so the receive stamp lies between these clock readings.
  const os::WallTime before_a = os::WallNow();
  ASSERT_TRUE(SendDatagram(port, "a"));
  const os::WallTime after_a = os::WallNow();
  ::usleep(30000);  // a gap the stamps must show, though both come in one batch
  const os::WallTime before_b = os::WallNow();
  ASSERT_TRUE(SendDatagram(port, "b"));
  const os::WallTime after_b = os::WallNow();
  receiver.Open();
  ASSERT_TRUE(WaitUntil([&] { return receiver.Received() >= 3; }));
  server.SetActive(false);

  ASSERT_EQ(receiver.payloads, (std::vector<std::string>{"first", "a", "b"}));
  EXPECT_EQ(receiver.batch_sizes.back(), 2u);
  const double a = Seconds(receiver.arrivals[1]);
  const double b = Seconds(receiver.arrivals[2]);
  EXPECT_GE(a, Seconds(before_a) - 1e-6);
  EXPECT_LE(a, Seconds(after_a) + 1e-6);
  EXPECT_GE(b, Seconds(before_b) - 1e-6);
  EXPECT_LE(b, Seconds(after_b) + 1e-6);
}

// Every datagram sent on loopback is either queued or counted as dropped by the system.
TEST(UdpBatch, DatagramsTheSystemDroppedAreCounted) {
  UdpServer server;
  server.BufferSize = 4096;
  server.SocketBufferSize = 1;  // the system's smallest queue
  GatedReceiver receiver(server);
  server.SetActive(true);
  const std::uint16_t port = server.Bindings().at(0).Port;

  ASSERT_TRUE(SendDatagram(port, "first"));
  receiver.WaitForFirstCall();
  const int kSent = 2000;
  for (int i = 0; i < kSent; ++i)
    ASSERT_TRUE(SendDatagram(port, std::string(500, 'd')));
  receiver.Open();
  server.SetActive(false);  // reads what is queued, then closes

  const UdpStatistics stats = server.Statistics();
  EXPECT_GT(stats.SystemDropped, 0u);
  EXPECT_EQ(stats.Delivered + stats.SystemDropped, static_cast<std::uint64_t>(kSent) + 1);
  EXPECT_EQ(stats.Delivered, receiver.payloads.size());
}

TEST(UdpBatch, ReceiveQueueIsEnlargedAsAsked) {
  UdpServer server;
  EXPECT_EQ(server.GrantedSocketBufferSize(), 0u);
  server.SocketBufferSize = 4u << 20;
  server.SetActive(true);
  const std::size_t granted = server.GrantedSocketBufferSize();
  EXPECT_GT(granted, 0u);
  if (::geteuid() == 0) {  // only a privileged process may pass the system's cap
    EXPECT_GE(granted, 4u << 20);
  }
}

}  // namespace
}  // namespace net
