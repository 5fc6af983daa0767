#include "net/udp_server.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/temp_dir.h"

namespace {

using testing_support::WaitUntil;
using namespace std::chrono_literals;

using Sender = testing_support::UdpSender;

// What a handler saw, shared with the listener thread.
class Inbox {
 public:
  void Add(std::string_view data) {
    std::lock_guard lock(mutex_);
    items_.emplace_back(data);
  }
  std::vector<std::string> Items() const {
    std::lock_guard lock(mutex_);
    return items_;
  }
  std::size_t Count() const {
    std::lock_guard lock(mutex_);
    return items_.size();
  }
  bool WaitForCount(std::size_t n) const {
    return WaitUntil([&] { return Count() >= n; });
  }

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> items_;
};

// Activates server on an ephemeral port and returns that port.
std::uint16_t Activate(net::UdpServer& server) {
  server.DefaultPort = 0;
  server.SetActive(true);
  const auto bindings = server.Bindings();
  if (bindings.size() != 1 || bindings.front().Port == 0)
    throw std::runtime_error("server has no usable binding");
  return bindings.front().Port;
}

// Runs work on a detached thread, so that a hang fails the test by deadline rather than blocking
// it; whatever work touches must therefore be owned by the closure or shared.
std::shared_future<void> RunDetached(std::function<void()> work) {
  auto done = std::make_shared<std::promise<void>>();
  std::shared_future<void> finished = done->get_future().share();
  std::thread([work = std::move(work), done] {
    work();
    done->set_value();
  }).detach();
  return finished;
}

// A payload whose every byte differs from its neighbours and includes NUL, CR, LF and 0xFF.
std::string Pattern(std::size_t size) {
  std::string s(size, '\0');
  for (std::size_t i = 0; i < size; ++i)
    s[i] = static_cast<char>((i * 7 + 255) % 256);
  return s;
}

struct SizeCase {
  std::size_t size;
  bool delivered;
};

TEST(UdpServerTest, DeliversDatagramsUpToBufferSizeWholeAndDropsLongerOnes) {
  const SizeCase cases[] = {{0, true},    {1, true},     {4095, true},
                            {4096, true}, {4097, false}, {65507, false}};
  net::UdpServer server;
  server.BufferSize = 4096;
  Inbox inbox;
  std::atomic<bool> wrong_sender{false};
  std::uint16_t port = 0;
  server.OnUDPRead = [&](net::UdpServer& sender, std::string_view data,
                         const net::SocketHandle& binding) {
    if (&sender != &server || binding.IP != "0.0.0.0" || binding.Port != port)
      wrong_sender = true;
    inbox.Add(data);
  };
  port = Activate(server);
  Sender out;

  std::vector<std::string> expected;
  for (const SizeCase& c : cases) {
    SCOPED_TRACE("size " + std::to_string(c.size));
    const std::string payload = Pattern(c.size);
    const std::string marker = "after " + std::to_string(c.size);
    ASSERT_TRUE(out.Send(port, payload));
    ASSERT_TRUE(out.Send(port, marker));
    if (c.delivered)
      expected.push_back(payload);
    expected.push_back(marker);
    ASSERT_TRUE(inbox.WaitForCount(expected.size()));
    EXPECT_EQ(inbox.Items(), expected);
  }
  EXPECT_FALSE(wrong_sender);
}

TEST(UdpServerTest, DeliversABurstInOrder) {
  // Paced in chunks well below what the default receive buffer holds, so none can be lost.
  constexpr int kTotal = 500;
  constexpr int kChunk = 50;
  net::UdpServer server;
  Inbox inbox;
  server.OnUDPRead = [&](net::UdpServer&, std::string_view data, const net::SocketHandle&) {
    inbox.Add(data);
  };
  const std::uint16_t port = Activate(server);
  Sender out;

  std::vector<std::string> expected;
  for (int i = 0; i < kTotal; ++i) {
    expected.push_back("seq " + std::to_string(i));
    ASSERT_TRUE(out.Send(port, expected.back()));
    if ((i + 1) % kChunk == 0) {
      ASSERT_TRUE(inbox.WaitForCount(expected.size())) << "at " << i;
    }
  }
  EXPECT_EQ(inbox.Items(), expected);
}

TEST(UdpServerTest, SecondServerOnABusyPortThrowsAndStaysInactive) {
  net::UdpServer first;
  Inbox inbox;
  first.OnUDPRead = [&](net::UdpServer&, std::string_view data, const net::SocketHandle&) {
    inbox.Add(data);
  };
  const std::uint16_t port = Activate(first);

  net::UdpServer second;
  second.OnUDPRead = [&](net::UdpServer&, std::string_view, const net::SocketHandle&) {
    ADD_FAILURE() << "the inactive server received a datagram";
  };
  second.DefaultPort = port;
  try {
    second.SetActive(true);
    ADD_FAILURE() << "no BindError";
  } catch (const net::BindError& e) {
    EXPECT_STREQ(e.what(), "Could not bind socket. Address and port are already in use.");
  }
  EXPECT_FALSE(second.Active());
  EXPECT_TRUE(second.Bindings().empty());

  Sender out;
  ASSERT_TRUE(out.Send(port, "still here"));
  ASSERT_TRUE(inbox.WaitForCount(1));
  EXPECT_EQ(inbox.Items(), std::vector<std::string>{"still here"});
  EXPECT_TRUE(first.Active());
}

TEST(UdpServerTest, CanBeDeactivatedAndActivatedAgain) {
  net::UdpServer server;
  Inbox inbox;
  server.OnUDPRead = [&](net::UdpServer&, std::string_view data, const net::SocketHandle&) {
    inbox.Add(data);
  };
  Sender out;
  const std::uint16_t first_port = Activate(server);
  ASSERT_TRUE(out.Send(first_port, "one"));
  ASSERT_TRUE(inbox.WaitForCount(1));

  server.SetActive(false);
  EXPECT_FALSE(server.Active());
  EXPECT_TRUE(server.Bindings().empty());

  const std::uint16_t second_port = Activate(server);
  ASSERT_TRUE(out.Send(second_port, "two"));
  ASSERT_TRUE(inbox.WaitForCount(2));
  EXPECT_EQ(inbox.Items(), (std::vector<std::string>{"one", "two"}));
}

TEST(UdpServerTest, HandlerExceptionsDoNotStopTheListener) {
  net::UdpServer server;
  Inbox inbox;
  server.OnUDPRead = [&](net::UdpServer&, std::string_view data, const net::SocketHandle&) {
    inbox.Add(data);
    if (data == "throw std")
      throw std::runtime_error("handler failed");
    if (data == "throw int")
      throw 42;
  };
  const std::uint16_t port = Activate(server);
  Sender out;
  for (const char* payload : {"throw std", "throw int", "ok"}) {
    ASSERT_TRUE(out.Send(port, payload));
  }
  ASSERT_TRUE(inbox.WaitForCount(3));
  EXPECT_EQ(inbox.Items(), (std::vector<std::string>{"throw std", "throw int", "ok"}));
  EXPECT_TRUE(server.Active());
}

TEST(UdpServerTest, DestroyingAnIdleServerReturnsPromptly) {
  auto server = std::make_unique<net::UdpServer>();
  auto inbox = std::make_shared<Inbox>();
  server->OnUDPRead = [inbox](net::UdpServer&, std::string_view data, const net::SocketHandle&) {
    inbox->Add(data);
  };
  const std::uint16_t port = Activate(*server);
  // Once this one is handled the listener is back waiting for the next.
  ASSERT_TRUE(Sender().Send(port, "x"));
  ASSERT_TRUE(inbox->WaitForCount(1));

  auto destroyed = RunDetached(
      [s = std::shared_ptr<net::UdpServer>(std::move(server))]() mutable { s.reset(); });
  EXPECT_EQ(destroyed.wait_for(10s), std::future_status::ready);
}

// A handler call that blocks until released, with a record of when it returned.
struct BlockingHandler {
  std::promise<void> entered;
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  std::atomic<bool> first_call_done{false};
  std::atomic<bool> release_sent{false};
  Inbox inbox;

  void Release() {
    if (!release_sent.exchange(true))
      release.set_value();
  }
};

// Releases the handler when a test ends early, so that the server's destruction cannot hang.
struct ReleaseAtExit {
  std::shared_ptr<BlockingHandler> h;
  ~ReleaseAtExit() { h->Release(); }
};

void InstallBlockingHandler(net::UdpServer& server, const std::shared_ptr<BlockingHandler>& h) {
  server.OnUDPRead = [h](net::UdpServer&, std::string_view data, const net::SocketHandle&) {
    const bool first = h->inbox.Count() == 0;
    h->inbox.Add(data);
    if (!first)
      return;
    h->entered.set_value();
    h->released.wait();
    h->first_call_done = true;
  };
}

TEST(UdpServerTest, DestructionWaitsForTheHandlerCallInProgress) {
  auto h = std::make_shared<BlockingHandler>();
  auto server = std::make_shared<net::UdpServer>();
  InstallBlockingHandler(*server, h);
  const ReleaseAtExit guard{h};
  const std::uint16_t port = Activate(*server);
  ASSERT_TRUE(Sender().Send(port, "block"));
  ASSERT_EQ(h->entered.get_future().wait_for(20s), std::future_status::ready);

  auto handler_done_at_destruction = std::make_shared<std::atomic<bool>>(false);
  auto destroyed =
      RunDetached([server = std::move(server), h, handler_done_at_destruction]() mutable {
        server.reset();
        *handler_done_at_destruction = h->first_call_done.load();
      });
  // It cannot finish while the handler is held; a short look is enough to catch it not waiting.
  EXPECT_EQ(destroyed.wait_for(200ms), std::future_status::timeout);

  h->Release();
  ASSERT_EQ(destroyed.wait_for(10s), std::future_status::ready);
  EXPECT_TRUE(*handler_done_at_destruction);
}

TEST(UdpServerTest, DatagramsQueuedWhenStoppedAreStillDelivered) {
  // More than the listener reads per wake-up, so part of them can only arrive by draining on stop.
  constexpr int kQueued = 150;
  auto h = std::make_shared<BlockingHandler>();
  auto server = std::make_shared<net::UdpServer>();
  InstallBlockingHandler(*server, h);
  const ReleaseAtExit guard{h};
  const std::uint16_t port = Activate(*server);
  Sender out;
  ASSERT_TRUE(out.Send(port, "block"));
  ASSERT_EQ(h->entered.get_future().wait_for(20s), std::future_status::ready);

  std::vector<std::string> expected{"block"};
  for (int i = 0; i < kQueued; ++i) {
    expected.push_back("queued " + std::to_string(i));
    ASSERT_TRUE(out.Send(port, expected.back()));
  }
  auto destroyed = RunDetached([server = std::move(server)]() mutable { server.reset(); });
  // Gives the stop request time to come first; the queue must survive either order.
  EXPECT_EQ(destroyed.wait_for(200ms), std::future_status::timeout);
  h->Release();
  ASSERT_EQ(destroyed.wait_for(10s), std::future_status::ready);
  EXPECT_EQ(h->inbox.Items(), expected);
}

}  // namespace
