#pragma once

#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "logger/logger.h"
#include "net/udp_server.h"
#include "os/wall_clock.h"
#include "shell/application.h"

namespace app {

inline constexpr std::uint16_t kDefaultPort = 20090;
inline constexpr std::size_t kReceiveBufferSize = 4096;
inline constexpr std::int32_t kMaxLogSize = 209715200;
inline constexpr std::int32_t kLogBackupCount = 30;
inline constexpr std::string_view kLogExtension = ".LOG";
inline constexpr int kStartupDelayMs = 1000;
// Room for bursts of datagrams while a line is being written.
inline constexpr std::size_t kSocketBufferSize = 4u << 20;

// The main form: owns every component for the life of the run.
class TForm1 {
 public:
  // params are the command-line arguments after the program name.
  TForm1(shell::Application& application, std::vector<std::string> params,
         logger::Logger& log = logger::Log());
  TForm1(const TForm1&) = delete;
  TForm1& operator=(const TForm1&) = delete;
  // Stops the listener, then reports on standard error what the run received and lost.
  ~TForm1();

  shell::Form& Form() { return *Form1; }

  void Timer1Timer(shell::Component& Sender);
  void TrayIcon1Click(shell::Component& Sender);
  void TrayIcon1DblClick(shell::Component& Sender);
  void IdUDPServer1UDPRead(net::UdpServer& Sender, std::string_view AData,
                           const net::SocketHandle& ABinding);
  // Datagrams that were waiting together: their lines are written during one open of the file.
  void IdUDPServer1UDPReadBatch(net::UdpServer& Sender, std::span<const net::Datagram> ADatagrams,
                                const net::SocketHandle& ABinding);

  std::unique_ptr<shell::Form> Form1;
  std::unique_ptr<shell::Memo> Memo1;
  std::unique_ptr<shell::TrayIcon> TrayIcon1;
  std::unique_ptr<shell::Timer> Timer1;
  // Last, so that it is destroyed first: the listener stops before anything it uses goes away.
  net::UdpServer IdUDPServer1;

 private:
  std::vector<std::string> params_;
  logger::Logger& log_;
  os::LocalTimeConverter arrival_clock_;  // the listener thread's own
};

}  // namespace app
