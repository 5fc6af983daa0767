#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "logger/logger.h"
#include "net/udp_server.h"
#include "shell/application.h"

namespace app {

inline constexpr std::uint16_t kDefaultPort = 20090;
inline constexpr std::size_t kReceiveBufferSize = 4096;
inline constexpr std::int32_t kMaxLogSize = 209715200;
inline constexpr std::int32_t kLogBackupCount = 30;
inline constexpr std::string_view kLogExtension = ".LOG";
inline constexpr int kStartupDelayMs = 1000;

// The main form: owns every component for the life of the run.
class TForm1 {
 public:
  // params are the command-line arguments after the program name.
  TForm1(shell::Application& application, std::vector<std::string> params,
         logger::Logger& log = logger::Log());

  shell::Form& Form() { return *Form1; }

  void Timer1Timer(shell::Component& Sender);
  void TrayIcon1Click(shell::Component& Sender);
  void TrayIcon1DblClick(shell::Component& Sender);
  void IdUDPServer1UDPRead(net::UdpServer& Sender, std::string_view AData,
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
};

}  // namespace app
