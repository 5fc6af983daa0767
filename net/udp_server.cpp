#include "net/udp_server.h"

namespace net {

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
