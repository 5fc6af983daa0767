#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "os/wall_clock.h"

namespace net {

inline constexpr std::string_view kAddressInUseText =
    "Could not bind socket. Address and port are already in use.";

class BindError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Where a datagram arrived.
struct SocketHandle {
  std::string IP;
  std::uint16_t Port = 0;
};

// A received datagram: its bytes, valid during the handler call, and when it arrived (the
// system's receive time stamp where it gives one).
struct Datagram {
  std::string_view Data;
  os::WallTime Arrival;
};

class UdpServer;
using UDPReadEvent =
    std::function<void(UdpServer& Sender, std::string_view AData, const SocketHandle& ABinding)>;
using UDPReadBatchEvent = std::function<void(
    UdpServer& Sender, std::span<const Datagram> ADatagrams, const SocketHandle& ABinding)>;

// Counts since construction; they survive deactivation.
struct UdpStatistics {
  std::uint64_t Delivered = 0;      // datagrams handed to a handler
  std::uint64_t Oversize = 0;       // longer than BufferSize, dropped whole
  std::uint64_t SystemDropped = 0;  // dropped by the system before we could read them; only
                                    // where it reports them (0 elsewhere)
};

// A UDP server on all local IPv4 addresses. Activation binds one socket and starts one listener
// thread that calls OnUDPRead for each datagram, one after another.
class UdpServer {
 public:
  UdpServer();
  UdpServer(const UdpServer&) = delete;
  UdpServer& operator=(const UdpServer&) = delete;
  // Deactivates: waits for a handler call in progress, then closes the socket.
  ~UdpServer();

  // Read at activation.
  std::uint16_t DefaultPort = 0;
  // Largest datagram delivered; a longer one is dropped whole.
  std::size_t BufferSize = 8192;
  // Receive queue asked of the system at activation, in bytes; 0 keeps the system's default.
  // Raised past the system's ordinary cap where the process is permitted to.
  std::size_t SocketBufferSize = 0;
  // Called on the listener thread; exceptions from it are discarded.
  UDPReadEvent OnUDPRead;
  // When set, called instead of OnUDPRead with all the datagrams that were waiting at once (up to
  // kMaxBatch), in arrival order; one datagram arriving alone comes as a batch of one. Exceptions
  // from it are discarded, so it should deal with each datagram's failure itself.
  UDPReadBatchEvent OnUDPReadBatch;
  static constexpr std::size_t kMaxBatch = 64;

  // Throws BindError when activation fails; the server then stays inactive.
  void SetActive(bool active);
  bool Active() const;
  // The bound address while active, with the real port when DefaultPort was 0.
  std::vector<SocketHandle> Bindings() const;
  // The receive queue the system granted, as it reports it (Linux counts its bookkeeping in
  // and reports twice what was asked); 0 while inactive or where the platform does not say.
  std::size_t GrantedSocketBufferSize() const { return granted_socket_buffer_.load(); }
  // Safe from any thread; final once the server is inactive.
  UdpStatistics Statistics() const {
    return {counters_.delivered.load(), counters_.oversize.load(), counters_.system_dropped.load()};
  }

 private:
  class Listener;
  // Stops the listener, after a handler call in progress, and closes its socket.
  struct ListenerDeleter {
    void operator()(Listener* listener) const;
  };
  // Binds a socket as configured and starts its listener thread.
  void Activate();
  // After a stop request: what the socket still holds, so that datagrams the system has already
  // accepted reach the handler; bounded so a flood cannot hold the stop up. read_batch returns
  // how many it read, 0 when nothing was waiting.
  static void DrainAfterStop(const std::function<int()>& read_batch);
  // Kept by the platform's listener, which alone writes them.
  struct Counters {
    std::atomic<std::uint64_t> delivered{0};
    std::atomic<std::uint64_t> oversize{0};
    std::atomic<std::uint64_t> system_dropped{0};
  };
  // Hands one read's datagrams to the handlers and counts them; on the listener thread.
  void Deliver(std::span<const Datagram> datagrams, const SocketHandle& binding);

  Counters counters_;
  std::atomic<std::size_t> granted_socket_buffer_{0};
  std::unique_ptr<Listener, ListenerDeleter> listener_;
  std::optional<SocketHandle> binding_;
};

}  // namespace net
