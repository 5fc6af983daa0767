// The listener thread writing every datagram while another thread uses the same writer: the
// writer's lock is all that keeps them apart.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "logger/logger.h"
#include "net/udp_server.h"
#include "tests/logger/writer_fixture.h"

namespace logger::testing {
namespace {

using testing_support::SendDatagram;
using testing_support::WaitUntil;

class CaptureTest : public WriterTest {};

TEST_F(CaptureTest, ListenerAndAnotherWriterInterleaveWholeLinesEachInOrder) {
  constexpr int kDatagrams = 2000;
  constexpr int kOtherLines = 2000;
  constexpr int kInFlight = 40;  // far below what the socket buffers, so nothing is dropped
  Logger log(Env());
  log.MaxLogSize = 1 << 30;
  log.InitLog(".LOG");
  std::atomic<int> handled{0};
  {
    net::UdpServer server;
    server.BufferSize = 4096;
    server.OnUDPRead = [&](net::UdpServer&, std::string_view data, const net::SocketHandle&) {
      log.WriteLog(1, data);
      ++handled;
    };
    server.SetActive(true);
    const std::uint16_t port = server.Bindings().at(0).Port;

    std::thread other([&] {
      for (int i = 0; i < kOtherLines; ++i) {
        log.WriteLog(3, "other " + std::to_string(i % 10));
        if (i % 100 == 0)
          (void)log.PendingCount();
      }
    });
    bool sent_all = true;
    for (int i = 0; i < kDatagrams && sent_all; ++i) {
      sent_all = (i < kInFlight || WaitUntil([&] { return handled >= i - kInFlight; })) &&
                 SendDatagram(port, "datagram " + std::to_string(i));
    }
    other.join();
    ASSERT_TRUE(sent_all);
    ASSERT_TRUE(WaitUntil([&] { return handled == kDatagrams; }));
  }
  EXPECT_EQ(log.Errors().size(), 10u);

  std::string text = LogText();
  const std::string head = "\r\n" + OpenErrorLine(kNotFound);
  ASSERT_EQ(text.substr(0, head.size()), head);
  text.erase(0, head.size());
  int next_datagram = 0;
  int next_other = 0;
  for (std::size_t pos = 0; pos < text.size();) {
    const std::size_t end = text.find("\r\n", pos);
    ASSERT_NE(end, std::string::npos);
    const std::string line = text.substr(pos, end + 2 - pos);
    if (line == Line("datagram " + std::to_string(next_datagram)))
      ++next_datagram;
    else if (line == Line("other " + std::to_string(next_other % 10), 3))
      ++next_other;
    else
      FAIL() << "unexpected line " << line;
    pos = end + 2;
  }
  EXPECT_EQ(next_datagram, kDatagrams);
  EXPECT_EQ(next_other, kOtherLines);
}

}  // namespace
}  // namespace logger::testing
