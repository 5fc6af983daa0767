#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace testing_support {

// A fresh folder for one test, removed with everything in it at the end.
class TempDir {
 public:
  TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  ~TempDir();

  const std::string& path() const { return path_; }
  std::string operator/(std::string_view name) const { return path_ + "/" + std::string(name); }

 private:
  std::string path_;
};

std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, std::string_view bytes);
bool Exists(const std::string& path);

// Polls pred until it holds or the deadline passes; generous deadlines keep a loaded machine happy.
bool WaitUntil(const std::function<bool()>& pred,
               std::chrono::milliseconds deadline = std::chrono::seconds(20));

// What the writer logs after its open-error text when the file does not exist.
std::string FileNotFoundText();
// The same when the file's folder does not exist: Windows tells the two apart.
std::string PathNotFoundText();
// The same when a folder stands where the file should be.
std::string IsADirectoryText();

#ifdef _WIN32
using Socket = std::uintptr_t;  // SOCKET
#else
using Socket = int;
#endif

// One sending socket for many datagrams, so a burst is not slowed by a socket per datagram.
class UdpSender {
 public:
  UdpSender();
  UdpSender(const UdpSender&) = delete;
  UdpSender& operator=(const UdpSender&) = delete;
  ~UdpSender();

  // Sends one datagram to 127.0.0.1:port; false when the send failed.
  bool Send(std::uint16_t port, std::string_view payload) const;

 private:
  Socket fd_;
};

bool SendDatagram(std::uint16_t port, std::string_view payload);

}  // namespace testing_support
