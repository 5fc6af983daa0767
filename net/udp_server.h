#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

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

class UdpServer;
using UDPReadEvent =
    std::function<void(UdpServer& Sender, std::string_view AData, const SocketHandle& ABinding)>;

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
  // Called on the listener thread; exceptions from it are discarded.
  UDPReadEvent OnUDPRead;

  // Throws BindError when activation fails; the server then stays inactive.
  void SetActive(bool active);
  bool Active() const;
  // The bound address while active, with the real port when DefaultPort was 0.
  std::vector<SocketHandle> Bindings() const;

 private:
  class Listener;
  std::unique_ptr<Listener> listener_;
};

}  // namespace net
