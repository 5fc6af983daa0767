// Sends sequence-numbered datagrams to a loopback port at a given rate, bounded in count and
// time, and prints how many it sent.
//
//   kestrune_sender PORT COUNT RATE SIZE [MAX_SECONDS [CPU]]
//
// RATE 0 sends as fast as the system takes them. CPU pins the sender to that core.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "bench/payload.h"

namespace {

using Clock = std::chrono::steady_clock;

// Datagrams handed to the system in one call; paced sends use smaller groups.
constexpr std::size_t kFullSpeedGroup = 64;
constexpr std::size_t kPacedGroup = 8;

}  // namespace

int main(int argc, char** argv) {
  if (argc < 5) {
    std::fprintf(stderr, "usage: %s PORT COUNT RATE SIZE [MAX_SECONDS [CPU]]\n", argv[0]);
    return 2;
  }
  const int port = std::atoi(argv[1]);
  const long count = std::atol(argv[2]);
  const double rate = std::atof(argv[3]);
  const std::size_t size = static_cast<std::size_t>(std::atol(argv[4]));
  const double max_seconds = argc > 5 ? std::atof(argv[5]) : 60;
  if (argc > 6) {
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(std::atoi(argv[6]), &set);
    ::sched_setaffinity(0, sizeof set, &set);
  }

  const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(static_cast<std::uint16_t>(port));
  if (fd < 0 || ::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
    std::perror("socket");
    return 1;
  }
  const int sndbuf = 4 << 20;
  ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &sndbuf, sizeof sndbuf);

  // Payloads built ahead, so that building them costs the sending loop nothing.
  std::vector<std::string> payloads(static_cast<std::size_t>(count));
  for (long i = 0; i < count; ++i)
    payloads[static_cast<std::size_t>(i)] = bench::Payload(static_cast<std::uint32_t>(i), size);

  const std::size_t group = rate > 0 ? kPacedGroup : kFullSpeedGroup;
  std::vector<iovec> iov(group);
  std::vector<mmsghdr> msgs(group);
  const auto start = Clock::now();
  const auto give_up = start + std::chrono::duration<double>(max_seconds);
  long sent = 0;
  while (sent < count) {
    const auto now = Clock::now();
    if (now > give_up)
      break;
    if (rate > 0) {
      const auto due = start + std::chrono::duration<double>(static_cast<double>(sent) / rate);
      if (now < due) {
        if (due - now > std::chrono::microseconds(200))
          std::this_thread::sleep_for(due - now - std::chrono::microseconds(100));
        continue;
      }
    }
    const std::size_t n = std::min<std::size_t>(group, static_cast<std::size_t>(count - sent));
    for (std::size_t i = 0; i < n; ++i) {
      std::string& p = payloads[static_cast<std::size_t>(sent) + i];
      iov[i] = {p.data(), p.size()};
      msgs[i] = {};
      msgs[i].msg_hdr.msg_iov = &iov[i];
      msgs[i].msg_hdr.msg_iovlen = 1;
    }
    const int done = ::sendmmsg(fd, msgs.data(), static_cast<unsigned>(n), 0);
    if (done > 0)
      sent += done;
  }
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  std::printf("%ld %.6f\n", sent, seconds);
  ::close(fd);
  return 0;
}
