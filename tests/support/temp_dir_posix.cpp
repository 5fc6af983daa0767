#include "tests/support/temp_dir.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <stdexcept>

namespace testing_support {

TempDir::TempDir() {
  const char* base = std::getenv("TMPDIR");
  std::string pattern = std::string(base && *base ? base : "/tmp") + "/kestrune-test-XXXXXX";
  if (::mkdtemp(pattern.data()) == nullptr)
    throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ec;
  // Tests may leave read-only folders behind; make them removable first.
  for (auto it = std::filesystem::recursive_directory_iterator(path_, ec);
       it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
    if (it->is_directory(ec))
      std::filesystem::permissions(it->path(), std::filesystem::perms::owner_all,
                                   std::filesystem::perm_options::add, ec);
  }
  std::filesystem::permissions(path_, std::filesystem::perms::owner_all,
                               std::filesystem::perm_options::add, ec);
  std::filesystem::remove_all(path_, ec);
}

UdpSender::UdpSender() : fd_(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {}

UdpSender::~UdpSender() {
  if (fd_ >= 0)
    ::close(fd_);
}

bool UdpSender::Send(std::uint16_t port, std::string_view payload) const {
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(port);
  const ssize_t n = ::sendto(fd_, payload.data(), payload.size(), 0,
                             reinterpret_cast<const sockaddr*>(&addr), sizeof addr);
  return n == static_cast<ssize_t>(payload.size());
}

std::string FileNotFoundText() {
  return "No such file or directory";
}

std::string PathNotFoundText() {
  return FileNotFoundText();
}

std::string IsADirectoryText() {
  return "Is a directory";
}

}  // namespace testing_support
