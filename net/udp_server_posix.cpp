#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <utility>

#include "net/udp_server.h"
#include "os/error_text.h"

namespace net {
namespace {

class UniqueFd {
 public:
  explicit UniqueFd(int fd = -1) : fd_(fd) {}
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd() {
    if (fd_ >= 0)
      ::close(fd_);
  }
  int get() const { return fd_; }
  int release() { return std::exchange(fd_, -1); }

 private:
  int fd_;
};

[[noreturn]] void ThrowBindError(int code) {
  if (code == EADDRINUSE)
    throw BindError(std::string(kAddressInUseText));
  throw BindError("Could not bind socket. " + os::ErrorText(code) + ".");
}

// Datagrams read in one go before the stop request is looked at again.
constexpr int kReadsPerWake = 64;
// What is read from the socket's queue after a stop request, so that datagrams the kernel has
// already accepted still reach the log; bounded so a flood cannot hold the stop up.
constexpr int kMaxDrainedOnStop = 1 << 16;
constexpr auto kMaxDrainTime = std::chrono::seconds(1);

}  // namespace

class UdpServer::Listener {
 public:
  Listener(UdpServer& owner, int socket_fd, SocketHandle binding)
      : owner_(owner),
        socket_(socket_fd),
        binding_(std::move(binding)),
        buffer_size_(owner.BufferSize),
        buffer_(buffer_size_ > 0 ? buffer_size_ : 1) {
    int pipe_fds[2];
    if (::pipe2(pipe_fds, O_CLOEXEC | O_NONBLOCK) != 0)
      throw std::runtime_error("Could not start the listener. " + os::ErrorText(errno) + ".");
    wake_read_ = std::make_unique<UniqueFd>(pipe_fds[0]);
    wake_write_ = std::make_unique<UniqueFd>(pipe_fds[1]);
    thread_ = std::thread([this] { Run(); });
  }

  ~Listener() {
    const char byte = 1;
    while (::write(wake_write_->get(), &byte, 1) < 0 && errno == EINTR) {
    }
    thread_.join();
  }

  const SocketHandle& binding() const { return binding_; }

 private:
  void Run() {
    for (;;) {
      pollfd fds[2] = {{socket_.get(), POLLIN, 0}, {wake_read_->get(), POLLIN, 0}};
      if (::poll(fds, 2, -1) < 0) {
        // Only a transient shortage gets here besides EINTR; do not spin on it.
        if (errno != EINTR)
          std::this_thread::sleep_for(std::chrono::milliseconds(10));
        continue;
      }
      if (fds[1].revents != 0) {
        const auto deadline = std::chrono::steady_clock::now() + kMaxDrainTime;
        for (int n = 0; n < kMaxDrainedOnStop && ReadOne(); ++n) {
          if ((n & 255) == 255 && std::chrono::steady_clock::now() > deadline)
            break;
        }
        return;
      }
      if (fds[0].revents != 0) {
        for (int n = 0; n < kReadsPerWake && ReadOne(); ++n) {
        }
      }
    }
  }

  // False when nothing more is waiting.
  bool ReadOne() {
    iovec iov{buffer_.data(), buffer_size_};
    msghdr msg{};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    const ssize_t n = ::recvmsg(socket_.get(), &msg, MSG_DONTWAIT);
    if (n < 0)
      return errno == EINTR;
    if ((msg.msg_flags & MSG_TRUNC) != 0)
      return true;  // longer than BufferSize: dropped whole
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
  UniqueFd socket_;
  SocketHandle binding_;
  const std::size_t buffer_size_;  // fixed at activation
  std::vector<char> buffer_;
  std::unique_ptr<UniqueFd> wake_read_;
  std::unique_ptr<UniqueFd> wake_write_;
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

  const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0)
    ThrowBindError(errno);
  UniqueFd guard(fd);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_ANY);
  addr.sin_port = htons(DefaultPort);
  if (::bind(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0)
    ThrowBindError(errno);
  socklen_t len = sizeof addr;
  if (::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0)
    ThrowBindError(errno);

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
