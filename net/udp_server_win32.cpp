// winsock2.h must come before the headers that build on it.
#include <winsock2.h>

#include <mswsock.h>
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>
#include <utility>

#include "net/udp_server.h"
#include "os/error_text.h"
#include "os/unique_handle.h"
#include "os/wall_clock.h"

namespace net {
namespace {

struct SocketTraits {
  using Handle = SOCKET;
  static constexpr SOCKET kInvalid = INVALID_SOCKET;
  static void Close(SOCKET s) { ::closesocket(s); }
};
using UniqueSocket = os::UniqueHandle<SocketTraits>;

struct EventTraits {
  using Handle = HANDLE;
  static constexpr HANDLE kInvalid = nullptr;
  static void Close(HANDLE event) { ::CloseHandle(event); }
};
// An auto-reset event, not signalled.
class UniqueEvent : public os::UniqueHandle<EventTraits> {
 public:
  UniqueEvent() : UniqueHandle(::CreateEventW(nullptr, FALSE, FALSE, nullptr)) {}
};

[[noreturn]] void ThrowBindError(int code) {
  if (code == WSAEADDRINUSE)
    throw BindError(std::string(kAddressInUseText));
  throw BindError("Could not bind socket. " + os::ErrorMessage(code));
}

// Winsock wants one WSAStartup per process before any socket call; it stays up until exit.
void StartWinsock() {
  static const int started = [] {
    WSADATA data{};
    return ::WSAStartup(MAKEWORD(2, 2), &data);
  }();
  if (started != 0)
    ThrowBindError(started);
}

// Used when the owner asks for no particular size: the system default holds few datagrams.
constexpr int kReceiveQueueBytes = 8 << 20;

// Full batches read in one go before the stop request is looked at again.
constexpr int kBatchesPerWake = 16;

}  // namespace

class UdpServer::Listener {
 public:
  Listener(UdpServer& owner, SOCKET socket, SocketHandle binding)
      : owner_(owner),
        counters_(owner.counters_),
        socket_(socket),
        binding_(std::move(binding)),
        buffer_size_(owner.BufferSize),
        datagram_size_(buffer_size_ > 0 ? buffer_size_ : 1),
        buffers_(datagram_size_ * kMaxBatch),
        batch_(kMaxBatch) {
    if (readable_.get() == nullptr || stop_.get() == nullptr)
      ThrowBindError(static_cast<int>(::GetLastError()));
    // Also makes the socket non-blocking: the check for more waiting datagrams never waits.
    if (::WSAEventSelect(socket_.get(), readable_.get(), FD_READ) != 0)
      ThrowBindError(::WSAGetLastError());
    thread_ = std::thread([this] { Run(); });
  }

  ~Listener() {
    ::SetEvent(stop_.get());
    thread_.join();
  }

 private:
  void Run() {
    const HANDLE events[2] = {readable_.get(), stop_.get()};
    for (;;) {
      const DWORD woke = ::WaitForMultipleObjects(2, events, FALSE, INFINITE);
      if (woke == WAIT_OBJECT_0 + 1 || woke == WAIT_FAILED) {
        DrainAfterStop([this] { return ReadBatch(); });
        return;
      }
      // Clears the record of the wake-up; a read re-arms it while more is queued.
      WSANETWORKEVENTS happened{};
      ::WSAEnumNetworkEvents(socket_.get(), readable_.get(), &happened);
      // A full batch means more may be waiting: read on without going back to wait.
      for (int b = 0; b < kBatchesPerWake && ReadBatch() == static_cast<int>(kMaxBatch); ++b) {
      }
    }
  }

  // Reads what is waiting, up to kMaxBatch datagrams, and hands it on; returns how many were
  // read, 0 when nothing was waiting. Windows gives no receive time, so each is stamped as read.
  int ReadBatch() {
    std::size_t count = 0;
    int read = 0;
    for (std::size_t attempt = 0; attempt < 2 * kMaxBatch && count < kMaxBatch; ++attempt) {
      char* slot = buffers_.data() + count * datagram_size_;
      const int n = ::recv(socket_.get(), slot, static_cast<int>(buffer_size_), 0);
      if (n == SOCKET_ERROR) {
        const int error = ::WSAGetLastError();
        if (error == WSAEMSGSIZE) {
          counters_.oversize.fetch_add(1, std::memory_order_relaxed);  // dropped whole
          ++read;
          continue;
        }
        if (error == WSAECONNRESET || error == WSAEINTR)
          continue;
        break;  // WSAEWOULDBLOCK: nothing more is waiting
      }
      batch_[count++] =
          Datagram{std::string_view(slot, static_cast<std::size_t>(n)), os::WallNow()};
      ++read;
    }
    owner_.Deliver(std::span<const Datagram>(batch_.data(), count), binding_);
    return read;
  }

  UdpServer& owner_;
  Counters& counters_;
  UniqueSocket socket_;
  SocketHandle binding_;
  const std::size_t buffer_size_;  // fixed at activation
  std::size_t datagram_size_;
  std::vector<char> buffers_;
  std::vector<Datagram> batch_;
  UniqueEvent readable_;
  UniqueEvent stop_;
  std::thread thread_;
};

void UdpServer::ListenerDeleter::operator()(Listener* listener) const {
  delete listener;
}

void UdpServer::Activate() {
  StartWinsock();
  const SOCKET s = ::WSASocketW(AF_INET, SOCK_DGRAM, IPPROTO_UDP, nullptr, 0,
                                WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
  if (s == INVALID_SOCKET)
    ThrowBindError(::WSAGetLastError());
  UniqueSocket guard(s);
  // Windows lets a second socket share a UDP port unless the first claims it exclusively.
  BOOL exclusive = TRUE;
  ::setsockopt(s, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&exclusive),
               sizeof exclusive);
  // A burst waits in the socket's queue while a line is written; the default queue holds only a
  // few datagrams of the largest size.
  int queue_bytes = SocketBufferSize > 0
                        ? static_cast<int>(std::min<std::size_t>(SocketBufferSize, 1u << 30))
                        : kReceiveQueueBytes;
  ::setsockopt(s, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&queue_bytes),
               sizeof queue_bytes);
  int granted = 0;
  int granted_len = sizeof granted;
  if (::getsockopt(s, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<char*>(&granted), &granted_len) != 0)
    granted = 0;
  // An ICMP "port unreachable" would otherwise surface as a failed read on this socket.
  BOOL report_reset = FALSE;
  DWORD returned = 0;
  ::WSAIoctl(s, SIO_UDP_CONNRESET, &report_reset, sizeof report_reset, nullptr, 0, &returned,
             nullptr, nullptr);

  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_ANY);
  addr.sin_port = htons(DefaultPort);
  if (::bind(s, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0)
    ThrowBindError(::WSAGetLastError());
  int len = sizeof addr;
  if (::getsockname(s, reinterpret_cast<sockaddr*>(&addr), &len) != 0)
    ThrowBindError(::WSAGetLastError());

  SocketHandle binding{"0.0.0.0", ntohs(addr.sin_port)};
  listener_.reset(new Listener(*this, guard.release(), binding));
  binding_ = std::move(binding);
  granted_socket_buffer_ = static_cast<std::size_t>(granted);
}

}  // namespace net
