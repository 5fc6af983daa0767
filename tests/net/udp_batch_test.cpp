// Batched receive where the system gives receive stamps and loss counts: arrival stamps, and the
// counts of what was lost.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "net/udp_server.h"
#include "tests/net/gated_receiver.h"
#include "tests/support/temp_dir.h"

namespace net {
namespace {

using testing::GatedReceiver;
using testing_support::SendDatagram;
using testing_support::WaitUntil;

double Seconds(os::WallTime t) {
  return static_cast<double>(t.seconds) + t.nanoseconds * 1e-9;
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
