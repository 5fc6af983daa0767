#include <winsock2.h>

#include <windows.h>

#include <atomic>
#include <filesystem>
#include <stdexcept>

#include "os/error_text.h"
#include "os/text_win32.h"
#include "tests/support/temp_dir.h"

namespace testing_support {
namespace {

// Paths are UTF-8 in our code; the file system wants them wide.
std::filesystem::path Native(const std::string& utf8) {
  return std::filesystem::path(os::Utf8ToWide(utf8));
}

}  // namespace

TempDir::TempDir() {
  wchar_t base[MAX_PATH + 1] = {};
  const DWORD n = ::GetTempPathW(MAX_PATH + 1, base);
  if (n == 0 || n > MAX_PATH)
    throw std::runtime_error("GetTempPathW failed");
  static std::atomic<unsigned> counter{0};
  for (int attempt = 0; attempt < 1000; ++attempt) {
    const std::wstring candidate = std::wstring(base, n) + L"kestrune-test-" +
                                   std::to_wstring(::GetCurrentProcessId()) + L"-" +
                                   std::to_wstring(counter++);
    if (::CreateDirectoryW(candidate.c_str(), nullptr)) {
      path_ = os::WideToUtf8(candidate);
      if (!path_.empty() && (path_.back() == '\\' || path_.back() == '/'))
        path_.pop_back();
      return;
    }
  }
  throw std::runtime_error("cannot create a temporary folder");
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(Native(path_), ec);
}

namespace {

bool StartWinsock() {
  static const bool started = [] {
    WSADATA data{};
    return ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }();
  return started;
}

}  // namespace

UdpSender::UdpSender()
    : fd_(StartWinsock() ? ::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP) : INVALID_SOCKET) {}

UdpSender::~UdpSender() {
  if (fd_ != INVALID_SOCKET)
    ::closesocket(fd_);
}

bool UdpSender::Send(std::uint16_t port, std::string_view payload) const {
  if (fd_ == INVALID_SOCKET)
    return false;
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(port);
  const int n = ::sendto(fd_, payload.data(), static_cast<int>(payload.size()), 0,
                         reinterpret_cast<const sockaddr*>(&addr), sizeof addr);
  return n == static_cast<int>(payload.size());
}

std::string FileNotFoundText() {
  return os::ErrorText(ERROR_FILE_NOT_FOUND);
}

std::string PathNotFoundText() {
  return os::ErrorText(ERROR_PATH_NOT_FOUND);
}

std::string IsADirectoryText() {
  return os::ErrorText(ERROR_ACCESS_DENIED);
}

}  // namespace testing_support
