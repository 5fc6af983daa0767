#include "net/udp_server.h"

#include <chrono>

namespace net {
namespace {

constexpr int kMaxDrainedOnStop = 1 << 16;
constexpr auto kMaxDrainTime = std::chrono::seconds(1);

}  // namespace

UdpServer::UdpServer() = default;

UdpServer::~UdpServer() {
  SetActive(false);
}

void UdpServer::SetActive(bool active) {
  if (!active) {
    listener_.reset();
    binding_.reset();
    granted_socket_buffer_ = 0;
    return;
  }
  if (!listener_)
    Activate();
}

bool UdpServer::Active() const {
  return listener_ != nullptr;
}

std::vector<SocketHandle> UdpServer::Bindings() const {
  if (!binding_)
    return {};
  return {*binding_};
}

void UdpServer::DrainAfterStop(const std::function<int()>& read_batch) {
  const auto deadline = std::chrono::steady_clock::now() + kMaxDrainTime;
  int drained = 0;
  while (drained < kMaxDrainedOnStop && std::chrono::steady_clock::now() <= deadline) {
    const int n = read_batch();
    if (n == 0)
      break;
    drained += n;
  }
}

void UdpServer::Deliver(std::span<const Datagram> datagrams, const SocketHandle& binding) {
  if (datagrams.empty())
    return;
  counters_.delivered.fetch_add(datagrams.size(), std::memory_order_relaxed);
  if (OnUDPReadBatch) {
    try {
      OnUDPReadBatch(*this, datagrams, binding);
    } catch (...) {
      // A failing handler must not end the listener.
    }
    return;
  }
  if (!OnUDPRead)
    return;
  for (const Datagram& d : datagrams) {
    try {
      OnUDPRead(*this, d.Data, binding);
    } catch (...) {
      // As above.
    }
  }
}

}  // namespace net
