#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <optional>
#include <thread>
#include <utility>

#include "net/udp_server.h"
#include "os/error_text.h"
#include "os/unique_handle.h"

namespace net {
namespace {

struct FdTraits {
  using Handle = int;
  static constexpr int kInvalid = -1;
  static void Close(int fd) { ::close(fd); }
};
using UniqueFd = os::UniqueHandle<FdTraits>;

[[noreturn]] void ThrowBindError(int code) {
  if (code == EADDRINUSE)
    throw BindError(std::string(kAddressInUseText));
  throw BindError("Could not bind socket. " + os::ErrorText(code) + ".");
}

// Batches read in a row before the stop request is looked at again.
constexpr int kBatchesPerWake = 16;
// Room for a receive time stamp and a drop counter per datagram.
constexpr std::size_t kControlSize =
    CMSG_SPACE(sizeof(timespec)) + CMSG_SPACE(sizeof(std::uint32_t));

void EnableOption(int fd, int option) {
  const int on = 1;
  ::setsockopt(fd, SOL_SOCKET, option, &on, sizeof on);
}

// The kernel's count of datagrams it dropped for this socket; nullopt where it does not say.
std::optional<std::uint32_t> SocketDrops(int fd) {
  std::uint32_t info[SK_MEMINFO_VARS] = {};
  socklen_t len = sizeof info;
  if (::getsockopt(fd, SOL_SOCKET, SO_MEMINFO, info, &len) != 0 ||
      len <= SK_MEMINFO_DROPS * sizeof(std::uint32_t))
    return std::nullopt;
  return info[SK_MEMINFO_DROPS];
}

std::size_t ReceiveBufferSize(int fd) {
  int size = 0;
  socklen_t len = sizeof size;
  if (::getsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, &len) != 0 || size < 0)
    return 0;
  return static_cast<std::size_t>(size);
}

}  // namespace

class UdpServer::Listener {
 public:
  Listener(UdpServer& owner, int socket_fd, SocketHandle binding)
      : owner_(owner),
        counters_(owner.counters_),
        socket_(socket_fd),
        binding_(std::move(binding)),
        datagram_size_(owner.BufferSize > 0 ? owner.BufferSize : 1),
        buffers_(datagram_size_ * kMaxBatch),
        control_(kControlSize * kMaxBatch),
        iov_(kMaxBatch),
        headers_(kMaxBatch),
        batch_(kMaxBatch) {
    EnableOption(socket_.get(), SO_TIMESTAMPNS);
    EnableOption(socket_.get(), SO_RXQ_OVFL);
    for (std::size_t i = 0; i < kMaxBatch; ++i)
      iov_[i] = {buffers_.data() + i * datagram_size_, owner.BufferSize};
    int pipe_fds[2];
    if (::pipe2(pipe_fds, O_CLOEXEC | O_NONBLOCK) != 0)
      throw std::runtime_error("Could not start the listener. " + os::ErrorText(errno) + ".");
    wake_read_.reset(pipe_fds[0]);
    wake_write_.reset(pipe_fds[1]);
    thread_ = std::thread([this] { Run(); });
  }

  ~Listener() {
    const char byte = 1;
    while (::write(wake_write_.get(), &byte, 1) < 0 && errno == EINTR) {
    }
    thread_.join();
    if (const auto drops = SocketDrops(socket_.get()))
      NoteDrops(*drops);
  }

 private:
  void Run() {
    for (;;) {
      pollfd fds[2] = {{socket_.get(), POLLIN, 0}, {wake_read_.get(), POLLIN, 0}};
      if (::poll(fds, 2, -1) < 0) {
        // Only a transient shortage gets here besides EINTR; do not spin on it.
        if (errno != EINTR)
          std::this_thread::sleep_for(std::chrono::milliseconds(10));
        continue;
      }
      if (fds[1].revents != 0) {
        DrainAfterStop([this] { return ReadBatch(); });
        return;
      }
      if (fds[0].revents != 0) {
        // A full batch means more may be waiting: read on without going back to poll.
        for (int b = 0; b < kBatchesPerWake && ReadBatch() == static_cast<int>(kMaxBatch); ++b) {
        }
      }
    }
  }

  // Reads what is waiting, up to kMaxBatch datagrams, and hands it on; returns how many were
  // read, 0 when nothing was waiting.
  int ReadBatch() {
    mmsghdr* headers = headers_.data();
    for (std::size_t i = 0; i < kMaxBatch; ++i) {
      msghdr& h = headers[i].msg_hdr;
      h = msghdr{};
      h.msg_iov = &iov_[i];
      h.msg_iovlen = 1;
      h.msg_control = control_.data() + i * kControlSize;
      h.msg_controllen = kControlSize;
      headers[i].msg_len = 0;
    }
    int n;
    do {
      n = ::recvmmsg(socket_.get(), headers, kMaxBatch, MSG_DONTWAIT, nullptr);
    } while (n < 0 && errno == EINTR);
    if (n <= 0)
      return 0;

    std::optional<os::WallTime> read_time;
    std::size_t count = 0;
    for (int i = 0; i < n; ++i) {
      msghdr& h = headers[i].msg_hdr;
      std::optional<os::WallTime> stamp;
      for (cmsghdr* c = CMSG_FIRSTHDR(&h); c != nullptr; c = CMSG_NXTHDR(&h, c)) {
        if (c->cmsg_level != SOL_SOCKET)
          continue;
        if (c->cmsg_type == SCM_TIMESTAMPNS) {
          timespec ts;
          std::memcpy(&ts, CMSG_DATA(c), sizeof ts);
          stamp = os::WallTime{ts.tv_sec, static_cast<std::int32_t>(ts.tv_nsec)};
        } else if (c->cmsg_type == SO_RXQ_OVFL) {
          std::uint32_t drops;
          std::memcpy(&drops, CMSG_DATA(c), sizeof drops);
          NoteDrops(drops);
        }
      }
      if ((h.msg_flags & MSG_TRUNC) != 0) {
        counters_.oversize.fetch_add(1, std::memory_order_relaxed);  // dropped whole
        continue;
      }
      if (!stamp) {
        if (!read_time)
          read_time = os::WallNow();
        stamp = read_time;
      }
      batch_[count++] = Datagram{
          std::string_view(static_cast<const char*>(h.msg_iov->iov_base), headers[i].msg_len),
          *stamp};
    }
    owner_.Deliver(std::span<const Datagram>(batch_.data(), count), binding_);
    return n;
  }

  // The kernel's running total for the socket; only this thread and the destructor after the
  // join store it.
  void NoteDrops(std::uint32_t total) {
    if (total > counters_.system_dropped.load(std::memory_order_relaxed))
      counters_.system_dropped.store(total, std::memory_order_relaxed);
  }

  UdpServer& owner_;
  Counters& counters_;
  UniqueFd socket_;
  SocketHandle binding_;
  std::size_t datagram_size_;
  std::vector<char> buffers_;
  std::vector<char> control_;
  std::vector<iovec> iov_;
  std::vector<mmsghdr> headers_;
  std::vector<Datagram> batch_;
  UniqueFd wake_read_;
  UniqueFd wake_write_;
  std::thread thread_;
};

void UdpServer::ListenerDeleter::operator()(Listener* listener) const {
  delete listener;
}

void UdpServer::Activate() {
  const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0)
    ThrowBindError(errno);
  UniqueFd guard(fd);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_ANY);
  addr.sin_port = htons(DefaultPort);
  if (SocketBufferSize > 0) {
    // Forcing passes the system's cap but needs privilege; the plain request is capped.
    const int size = static_cast<int>(std::min<std::size_t>(SocketBufferSize, 1u << 30));
    if (::setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size) != 0)
      ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
  }
  if (::bind(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0)
    ThrowBindError(errno);
  socklen_t len = sizeof addr;
  if (::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0)
    ThrowBindError(errno);

  const std::size_t granted = ReceiveBufferSize(fd);

  SocketHandle binding{"0.0.0.0", ntohs(addr.sin_port)};
  listener_.reset(new Listener(*this, guard.release(), binding));
  binding_ = std::move(binding);
  granted_socket_buffer_ = granted;
}

}  // namespace net
