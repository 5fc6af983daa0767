// winsock2.h must come before the headers that build on it.
#include <winsock2.h>

#include <mswsock.h>
#include <windows.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>
#include <utility>

#include "net/udp_server.h"
#include "os/error_text.h"

namespace net {
namespace {

class UniqueSocket {
 public:
  explicit UniqueSocket(SOCKET s = INVALID_SOCKET) : socket_(s) {}
  UniqueSocket(const UniqueSocket&) = delete;
  UniqueSocket& operator=(const UniqueSocket&) = delete;
  ~UniqueSocket() {
    if (socket_ != INVALID_SOCKET)
      ::closesocket(socket_);
  }
  SOCKET get() const { return socket_; }
  SOCKET release() { return std::exchange(socket_, INVALID_SOCKET); }

 private:
  SOCKET socket_;
};

class UniqueEvent {
 public:
  UniqueEvent() : event_(::CreateEventW(nullptr, FALSE, FALSE, nullptr)) {}
  UniqueEvent(const UniqueEvent&) = delete;
  UniqueEvent& operator=(const UniqueEvent&) = delete;
  ~UniqueEvent() {
    if (event_ != nullptr)
      ::CloseHandle(event_);
  }
  HANDLE get() const { return event_; }

 private:
  HANDLE event_;
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

constexpr int kReceiveQueueBytes = 8 << 20;

// Datagrams read in one go before the stop request is looked at again.
constexpr int kReadsPerWake = 64;
// What is read from the socket's queue after a stop request, so that datagrams the system has
// already accepted still reach the log; bounded so a flood cannot hold the stop up.
constexpr int kMaxDrainedOnStop = 1 << 16;
constexpr auto kMaxDrainTime = std::chrono::seconds(1);

}  // namespace

class UdpServer::Listener {
 public:
  Listener(UdpServer& owner, SOCKET socket, SocketHandle binding)
      : owner_(owner),
        socket_(socket),
        binding_(std::move(binding)),
        buffer_(owner.BufferSize > 0 ? owner.BufferSize : 1) {
    if (readable_.get() == nullptr || stop_.get() == nullptr)
      ThrowBindError(static_cast<int>(::GetLastError()));
    // Also makes the socket non-blocking, so a read never waits past the queue's end.
    if (::WSAEventSelect(socket_.get(), readable_.get(), FD_READ) != 0)
      ThrowBindError(::WSAGetLastError());
    thread_ = std::thread([this] { Run(); });
  }

  ~Listener() {
    ::SetEvent(stop_.get());
    thread_.join();
  }

  const SocketHandle& binding() const { return binding_; }

 private:
  void Run() {
    const HANDLE events[2] = {readable_.get(), stop_.get()};
    for (;;) {
      const DWORD woke = ::WaitForMultipleObjects(2, events, FALSE, INFINITE);
      if (woke == WAIT_OBJECT_0 + 1 || woke == WAIT_FAILED) {
        const auto deadline = std::chrono::steady_clock::now() + kMaxDrainTime;
        for (int n = 0; n < kMaxDrainedOnStop && ReadOne(); ++n) {
          if ((n & 255) == 255 && std::chrono::steady_clock::now() > deadline)
            break;
        }
        return;
      }
      // Clears the record of the wake-up; a read re-arms it while more is queued.
      WSANETWORKEVENTS happened{};
      ::WSAEnumNetworkEvents(socket_.get(), readable_.get(), &happened);
      for (int n = 0; n < kReadsPerWake && ReadOne(); ++n) {
      }
    }
  }

  // False when nothing more is waiting.
  bool ReadOne() {
    const int n = ::recv(socket_.get(), buffer_.data(), static_cast<int>(owner_.BufferSize), 0);
    if (n == SOCKET_ERROR) {
      switch (::WSAGetLastError()) {
        case WSAEMSGSIZE:  // longer than BufferSize: dropped whole
        case WSAECONNRESET:
        case WSAEINTR:
          return true;
        default:
          return false;
      }
    }
    if (owner_.OnUDPRead) {
      try {
        owner_.OnUDPRead(owner_, std::string_view(buffer_.data(), static_cast<std::size_t>(n)),
                         binding_);
      } catch (...) {
        // A failing handler must not end the listener.
      }
    }
    return true;
  }

  UdpServer& owner_;
  UniqueSocket socket_;
  SocketHandle binding_;
  std::vector<char> buffer_;
  UniqueEvent readable_;
  UniqueEvent stop_;
  std::thread thread_;
};

UdpServer::UdpServer() = default;

UdpServer::~UdpServer() {
  listener_.reset();
}

void UdpServer::SetActive(bool active) {
  if (!active) {
    listener_.reset();
    return;
  }
  if (listener_)
    return;

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
  int queue_bytes = kReceiveQueueBytes;
  ::setsockopt(s, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&queue_bytes),
               sizeof queue_bytes);
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
  listener_ = std::make_unique<Listener>(*this, guard.release(), std::move(binding));
}

bool UdpServer::Active() const {
  return listener_ != nullptr;
}

std::vector<SocketHandle> UdpServer::Bindings() const {
  if (!listener_)
    return {};
  return {listener_->binding()};
}

}  // namespace net
