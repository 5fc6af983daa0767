#include "tests/support/temp_dir.h"

#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

namespace testing_support {
namespace {

// Paths are UTF-8 in our code; this makes them the platform's own.
std::filesystem::path Native(const std::string& utf8) {
  return std::filesystem::path(std::u8string(utf8.begin(), utf8.end()));
}

}  // namespace

std::string ReadFile(const std::string& path) {
  std::ifstream in(Native(path), std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

void WriteFile(const std::string& path, std::string_view bytes) {
  std::ofstream out(Native(path), std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

bool Exists(const std::string& path) {
  std::error_code ec;
  return std::filesystem::exists(Native(path), ec);
}

bool WaitUntil(const std::function<bool()>& pred, std::chrono::milliseconds deadline) {
  const auto end = std::chrono::steady_clock::now() + deadline;
  while (!pred()) {
    if (std::chrono::steady_clock::now() > end)
      return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

bool SendDatagram(std::uint16_t port, std::string_view payload) {
  return UdpSender().Send(port, payload);
}

}  // namespace testing_support
