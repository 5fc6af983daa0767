#include "app/MainFrm.h"

#include <cstdio>

#include "app/port_arg.h"

namespace app {

TForm1::TForm1(shell::Application& application, std::vector<std::string> params,
               logger::Logger& log)
    : params_(std::move(params)), log_(log) {
  shell::FormLayout layout;
  layout.Caption = "Запись лога обмена с БС";
  layout.Left = 0;
  layout.Top = 0;
  layout.ClientWidth = 392;
  layout.ClientHeight = 258;
  layout.FontName = "Tahoma";
  layout.FontHeight = -11;
  Form1 = application.CreateForm(layout);
  Memo1 = application.CreateMemo(*Form1);
  TrayIcon1 = application.CreateTrayIcon(*Form1, "Kestrune");
  TrayIcon1->OnClick = [this](shell::Component& s) { TrayIcon1Click(s); };
  TrayIcon1->OnDblClick = [this](shell::Component& s) { TrayIcon1DblClick(s); };
  Timer1 = application.CreateTimer(*Form1, kStartupDelayMs);
  Timer1->OnTimer = [this](shell::Component& s) { Timer1Timer(s); };

  IdUDPServer1.BufferSize = kReceiveBufferSize;
  IdUDPServer1.SocketBufferSize = kSocketBufferSize;
  IdUDPServer1.DefaultPort = kDefaultPort;
  IdUDPServer1.OnUDPRead = [this](net::UdpServer& s, std::string_view data,
                                  const net::SocketHandle& b) { IdUDPServer1UDPRead(s, data, b); };
  IdUDPServer1.OnUDPReadBatch = [this](net::UdpServer& s, std::span<const net::Datagram> batch,
                                       const net::SocketHandle& b) {
    IdUDPServer1UDPReadBatch(s, batch, b);
  };
}

TForm1::~TForm1() {
  if (!IdUDPServer1.Active())
    return;
  IdUDPServer1.SetActive(false);  // every datagram already received is written first
  const net::UdpStatistics stats = IdUDPServer1.Statistics();
  std::fprintf(stderr,
               "kestrune: stopped; %llu lines written, %llu datagrams dropped by the system, "
               "%llu oversize datagrams dropped\n",
               static_cast<unsigned long long>(log_.LinesWritten()),
               static_cast<unsigned long long>(stats.SystemDropped),
               static_cast<unsigned long long>(stats.Oversize));
  std::fflush(stderr);
}

// The writer is configured and initialised before the listener exists, so no datagram can
// reach it earlier.
void TForm1::Timer1Timer(shell::Component&) {
  Form1->Hide();
  Timer1->SetEnabled(false);
  log_.MaxLogSize = kMaxLogSize;
  log_.LogBackupCount = kLogBackupCount;
  log_.InitLog(kLogExtension);
  if (!params_.empty())
    IdUDPServer1.DefaultPort = ParsePort(params_[0]);
  IdUDPServer1.SetActive(true);

  const auto bindings = IdUDPServer1.Bindings();
  // The path goes last: it may hold any character, so readers take the rest of the line.
  std::fprintf(stderr,
               "kestrune: listening on UDP port %u (receive buffer %zu bytes), logging to %s\n",
               bindings.empty() ? 0u : static_cast<unsigned>(bindings.front().Port),
               IdUDPServer1.GrantedSocketBufferSize(), log_.FileName().c_str());
  std::fflush(stderr);
}

void TForm1::TrayIcon1Click(shell::Component&) {
  Form1->Hide();
}

void TForm1::TrayIcon1DblClick(shell::Component&) {
  Form1->Show();
}

void TForm1::IdUDPServer1UDPRead(net::UdpServer&, std::string_view AData,
                                 const net::SocketHandle&) {
  log_.WriteLog(1, AData);
}

// Each line carries its own datagram's arrival time. One datagram alone takes the ordinary
// write, which opens and closes the file; several share one open, closed before returning.
void TForm1::IdUDPServer1UDPReadBatch(net::UdpServer&, std::span<const net::Datagram> ADatagrams,
                                      const net::SocketHandle&) {
  if (ADatagrams.size() == 1) {
    log_.WriteLog(1, ADatagrams.front().Data, arrival_clock_(ADatagrams.front().Arrival));
    return;
  }
  logger::Logger::Burst burst(log_);
  for (const net::Datagram& d : ADatagrams) {
    try {
      burst.WriteLog(1, d.Data, arrival_clock_(d.Arrival));
    } catch (...) {
      // Memory exhaustion: this line is lost, not the ones after it.
    }
  }
}

}  // namespace app
