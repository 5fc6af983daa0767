// The UDP server on real loopback sockets: what reaches the handler, and how it stops.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "net/udp_server.h"
#include "tests/net/gated_receiver.h"
#include "tests/support/temp_dir.h"

namespace net {
namespace {

using testing::GatedReceiver;
using testing_support::SendDatagram;
using testing_support::WaitUntil;

// A server on a free port that records every datagram it is given.
class ListenerTest : public ::testing::Test {
 protected:
  // The handler is set before activation: the listener thread reads it unguarded.
  void Start(UdpServer& s, UDPReadEvent handler = nullptr) {
    s.BufferSize = 4096;
    s.DefaultPort = 0;
    s.OnUDPRead =
        handler ? std::move(handler)
                : [this](UdpServer&, std::string_view data, const SocketHandle&) { Record(data); };
    s.SetActive(true);
    port = s.Bindings().at(0).Port;
  }
  void Record(std::string_view data) {
    std::lock_guard lock(mutex);
    received.emplace_back(data);
  }
  std::vector<std::string> Received() {
    std::lock_guard lock(mutex);
    return received;
  }
  bool WaitForCount(std::size_t n) {
    return WaitUntil([&] { return Received().size() >= n; });
  }

  std::mutex mutex;
  std::vector<std::string> received;
  std::uint16_t port = 0;
};

TEST_F(ListenerTest, DeliversUpToTheBufferSizeAndDropsLongerDatagramsWhole) {
  UdpServer server;
  Start(server);
  const std::string full(4096, 'a');
  const std::string binary("\0\r\n\xff\xce", 5);
  ASSERT_TRUE(SendDatagram(port, full));
  ASSERT_TRUE(SendDatagram(port, std::string(4097, 'b')));
  ASSERT_TRUE(SendDatagram(port, ""));
  ASSERT_TRUE(SendDatagram(port, binary));
  ASSERT_TRUE(WaitForCount(3));
  EXPECT_EQ(Received(), (std::vector<std::string>{full, "", binary}));
}

TEST_F(ListenerTest, SecondServerOnTheSamePortFailsAndTheFirstGoesOn) {
  UdpServer first;
  Start(first);
  UdpServer second;
  second.DefaultPort = port;
  try {
    second.SetActive(true);
    ADD_FAILURE() << "the second bind succeeded";
  } catch (const BindError& e) {
    EXPECT_EQ(std::string(e.what()), kAddressInUseText);
  }
  EXPECT_FALSE(second.Active());
  ASSERT_TRUE(SendDatagram(port, "still here"));
  ASSERT_TRUE(WaitForCount(1));
  EXPECT_EQ(Received(), std::vector<std::string>{"still here"});
}

TEST_F(ListenerTest, FailingHandlerDoesNotEndTheListener) {
  std::atomic<int> calls{0};
  UdpServer server;
  Start(server, [&](UdpServer&, std::string_view data, const SocketHandle&) {
    if (calls++ == 0)
      throw std::runtime_error("handler failed");
    Record(data);
  });
  ASSERT_TRUE(SendDatagram(port, "one"));
  ASSERT_TRUE(SendDatagram(port, "two"));
  ASSERT_TRUE(WaitForCount(1));
  EXPECT_EQ(Received(), std::vector<std::string>{"two"});
}

// Holds handler calls until opened.
class Gate {
 public:
  void Pass() {
    std::unique_lock lock(mutex_);
    entered_ = true;
    cv_.notify_all();
    cv_.wait(lock, [this] { return open_; });
  }
  bool WaitUntilEntered() {
    std::unique_lock lock(mutex_);
    return cv_.wait_for(lock, std::chrono::seconds(20), [this] { return entered_; });
  }
  void Open() {
    {
      std::lock_guard lock(mutex_);
      open_ = true;
    }
    cv_.notify_all();
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  bool entered_ = false;
  bool open_ = false;
};

// Stopping waits for the handler in progress and still delivers what the socket had queued.
TEST_F(ListenerTest, StopFinishesTheHandlerAndDrainsTheQueue) {
  Gate gate;
  auto server = std::make_unique<UdpServer>();
  Start(*server, [&](UdpServer&, std::string_view data, const SocketHandle&) {
    gate.Pass();
    Record(data);
  });
  // A failed check must not leave the listener held while the server is destroyed.
  const std::unique_ptr<Gate, void (*)(Gate*)> open_on_exit(&gate, [](Gate* g) { g->Open(); });

  ASSERT_TRUE(SendDatagram(port, "0"));
  ASSERT_TRUE(gate.WaitUntilEntered());
  for (const char* m : {"1", "2", "3", "4", "5"})
    ASSERT_TRUE(SendDatagram(port, m));
  std::thread stopper([&] { server.reset(); });
  gate.Open();
  stopper.join();
  EXPECT_EQ(Received(), (std::vector<std::string>{"0", "1", "2", "3", "4", "5"}));
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

}  // namespace
}  // namespace net
