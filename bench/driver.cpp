// Floods Kestrune, and rsyslog where it is installed, with the same datagrams at a series of
// rates, checks what each captured, and prints one table.
//
//   kestrune_flood --kestrune PATH --sender PATH [--count N] [--size BYTES] [--rates R,R,...]
//                  [--repeat K] [--sender-cpu CPU] [--rsyslogd PATH | --no-rsyslog]
//                  [--rsyslog-rcvbuf SIZE]
//
// A rate of 0 is the sender's full speed. Every receiver runs in a fresh temporary folder on a
// loopback port and is stopped by the driver.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "bench/payload.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

struct Options {
  std::string kestrune;
  std::string sender;
  std::string rsyslogd = "/usr/sbin/rsyslogd";
  bool rsyslog = true;
  std::string rsyslog_rcvbuf;  // empty: rsyslog's own default
  long count = 200000;
  std::size_t size = 100;
  std::vector<long> rates = {50000, 100000, 150000, 200000, 0};
  int repeat = 1;
  int sender_cpu = 0;
};

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

void WriteAll(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

std::uint64_t FileSize(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 ? static_cast<std::uint64_t>(st.st_size) : 0;
}

bool WaitFor(const std::function<bool()>& pred, std::chrono::milliseconds deadline) {
  const auto end = Clock::now() + deadline;
  while (!pred()) {
    if (Clock::now() > end)
      return false;
    std::this_thread::sleep_for(10ms);
  }
  return true;
}

class TempFolder {
 public:
  TempFolder() {
    std::string pattern = (std::filesystem::temp_directory_path() / "kestrune-flood-XXXXXX");
    if (::mkdtemp(pattern.data()) == nullptr)
      throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
  }
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;
  ~TempFolder() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// A child process with its output in files; killed if still running at destruction.
class Child {
 public:
  Child(std::vector<std::string> args, const std::string& out_path, const std::string& err_path) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    posix_spawn_file_actions_addopen(&actions, 2, err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    std::vector<char*> argv;
    for (std::string& a : args)
      argv.push_back(a.data());
    argv.push_back(nullptr);
    // No display, no locale: the receivers run headless and plain.
    std::string path_env = "PATH=/usr/sbin:/usr/bin:/sbin:/bin";
    char* envp[] = {path_env.data(), nullptr};
    const int rc = ::posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), envp);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0)
      throw std::runtime_error("cannot start " + args[0] + ": " + std::strerror(rc));
  }
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;
  ~Child() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      Wait();
    }
  }

  pid_t pid() const { return pid_; }

  // CPU seconds the process has used so far, all threads, user and system.
  double CpuSeconds() const {
    std::string stat = ReadAll("/proc/" + std::to_string(pid_) + "/stat");
    const std::size_t close = stat.rfind(')');
    if (close == std::string::npos)
      return 0;
    std::istringstream fields(stat.substr(close + 2));
    std::string field;
    unsigned long long utime = 0, stime = 0;
    for (int i = 3; fields >> field; ++i) {
      if (i == 14)
        utime = std::stoull(field);
      if (i == 15) {
        stime = std::stoull(field);
        break;
      }
    }
    return static_cast<double>(utime + stime) / static_cast<double>(::sysconf(_SC_CLK_TCK));
  }

  int Stop(std::chrono::milliseconds deadline = 20s) {
    ::kill(pid_, SIGTERM);
    const auto end = Clock::now() + deadline;
    while (Clock::now() < end) {
      int status = 0;
      if (::waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        return status;
      }
      std::this_thread::sleep_for(10ms);
    }
    ::kill(pid_, SIGKILL);
    return Wait();
  }

  int Wait() {
    int status = 0;
    ::waitpid(pid_, &status, 0);
    pid_ = -1;
    return status;
  }

 private:
  pid_t pid_ = -1;
};

std::uint16_t FreeUdpPort() {
  const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  ::bind(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr);
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
  ::close(fd);
  return ntohs(addr.sin_port);
}

void SendOne(std::uint16_t port, const std::string& payload) {
  const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(port);
  ::sendto(fd, payload.data(), payload.size(), 0, reinterpret_cast<const sockaddr*>(&addr),
           sizeof addr);
  ::close(fd);
}

struct Capture {
  long captured = 0;      // lines that are one of the datagrams, byte for byte
  long out_of_order = 0;  // captured lines whose number is not above the one before
  long foreign = 0;       // lines that are neither a datagram nor the receiver's own
};

// Checks the payloads in the order the file holds them.
Capture Check(const std::vector<std::string>& payloads, const Options& o) {
  Capture c;
  long last = -1;
  for (const std::string& p : payloads) {
    std::uint32_t seq = 0;
    if (!bench::PayloadNumber(p, seq) || seq >= static_cast<std::uint32_t>(o.count) ||
        p != bench::Payload(seq, o.size)) {
      ++c.foreign;
      continue;
    }
    ++c.captured;
    if (static_cast<long>(seq) <= last)
      ++c.out_of_order;
    last = seq;
  }
  return c;
}

std::vector<std::string> SplitLines(const std::string& text, const std::string& end) {
  std::vector<std::string> lines;
  std::size_t from = 0;
  for (std::size_t at; (at = text.find(end, from)) != std::string::npos; from = at + end.size())
    lines.push_back(text.substr(from, at - from));
  return lines;
}

struct Result {
  long sent = 0;
  double send_seconds = 0;
  Capture capture;
  double cpu = 0;
  std::string note;
};

// Runs the sender to completion and waits until the receiver's file stops growing.
void Flood(const Options& o, long rate, std::uint16_t port, const TempFolder& dir,
           const Child& receiver, const std::string& file, Result& r) {
  const double cpu_before = receiver.CpuSeconds();
  {
    Child sender({o.sender, std::to_string(port), std::to_string(o.count), std::to_string(rate),
                  std::to_string(o.size), "60", std::to_string(o.sender_cpu)},
                 dir / "sender.out", dir / "sender.err");
    sender.Wait();
  }
  std::istringstream(ReadAll(dir / "sender.out")) >> r.sent >> r.send_seconds;
  // Settled once the file has not grown for half a second.
  std::uint64_t size = FileSize(file);
  auto changed = Clock::now();
  const auto give_up = Clock::now() + 60s;
  while (Clock::now() - changed < 500ms && Clock::now() < give_up) {
    std::this_thread::sleep_for(20ms);
    if (const std::uint64_t now = FileSize(file); now != size) {
      size = now;
      changed = Clock::now();
    }
  }
  r.cpu = receiver.CpuSeconds() - cpu_before;
}

Result RunKestrune(const Options& o, long rate) {
  TempFolder dir;
  const std::string binary = dir / "kestrune";
  std::filesystem::copy_file(o.kestrune, binary);
  Child k({binary, "0"}, dir / "out", dir / "err");
  std::uint16_t port = 0;
  if (!WaitFor(
          [&] {
            const std::string err = ReadAll(dir / "err");
            const std::size_t at = err.find("port ");
            if (at == std::string::npos)
              return false;
            port = static_cast<std::uint16_t>(std::atoi(err.c_str() + at + 5));
            return port != 0;
          },
          30s))
    throw std::runtime_error("kestrune did not start: " + ReadAll(dir / "err"));

  Result r;
  const std::string log = dir / "kestrune.LOG";
  Flood(o, rate, port, dir, k, log, r);
  k.Stop();

  // Data lines: marker, space, 18-character stamp, " [] ", payload.
  std::vector<std::string> payloads;
  for (const std::string& line : SplitLines(ReadAll(log), "\r\n")) {
    if (line.size() >= 24 && line[0] == '+')
      payloads.push_back(line.substr(24));
  }
  r.capture = Check(payloads, o);
  const std::string err = ReadAll(dir / "err");
  if (const std::size_t at = err.find("stopped; "); at != std::string::npos)
    r.note = err.substr(at + 9, err.find('\n', at) - at - 9);
  return r;
}

Result RunRsyslog(const Options& o, long rate) {
  TempFolder dir;
  std::filesystem::create_directory(dir / "work");
  const std::uint16_t port = FreeUdpPort();
  const std::string out = dir / "messages";
  std::string conf;
  conf += "global(workDirectory=\"" + (dir / "work") + "\")\n";
  conf += "module(load=\"imudp\" batchSize=\"128\")\n";
  conf += "input(type=\"imudp\" address=\"127.0.0.1\" port=\"" + std::to_string(port) + "\"";
  if (!o.rsyslog_rcvbuf.empty())
    conf += " rcvbufSize=\"" + o.rsyslog_rcvbuf + "\"";
  conf += ")\n";
  conf += "template(name=\"raw\" type=\"string\" string=\"%rawmsg%\\n\")\n";
  conf += "action(type=\"omfile\" file=\"" + out + "\" template=\"raw\")\n";
  WriteAll(dir / "rsyslog.conf", conf);

  Child rs({o.rsyslogd, "-n", "-f", dir / "rsyslog.conf", "-i", dir / "rsyslog.pid"}, dir / "out",
           dir / "err");
  // Ready once a probe comes through.
  if (!WaitFor(
          [&] {
            SendOne(port, "probe");
            std::this_thread::sleep_for(50ms);
            return ReadAll(out).find("probe") != std::string::npos;
          },
          30s))
    throw std::runtime_error("rsyslogd did not start: " + ReadAll(dir / "err"));

  Result r;
  Flood(o, rate, port, dir, rs, out, r);
  rs.Stop();
  std::vector<std::string> payloads;
  for (std::string& line : SplitLines(ReadAll(out), "\n")) {
    if (line != "probe")
      payloads.push_back(std::move(line));
  }
  r.capture = Check(payloads, o);
  return r;
}

std::vector<long> ParseRates(const std::string& text) {
  std::vector<long> rates;
  std::istringstream in(text);
  for (std::string item; std::getline(in, item, ',');)
    rates.push_back(std::atol(item.c_str()));
  return rates;
}

Options Parse(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc)
        throw std::runtime_error(a + " needs a value");
      return argv[++i];
    };
    if (a == "--kestrune")
      o.kestrune = value();
    else if (a == "--sender")
      o.sender = value();
    else if (a == "--rsyslogd")
      o.rsyslogd = value();
    else if (a == "--no-rsyslog")
      o.rsyslog = false;
    else if (a == "--rsyslog-rcvbuf")
      o.rsyslog_rcvbuf = value();
    else if (a == "--count")
      o.count = std::atol(value().c_str());
    else if (a == "--size")
      o.size = static_cast<std::size_t>(std::atol(value().c_str()));
    else if (a == "--rates")
      o.rates = ParseRates(value());
    else if (a == "--repeat")
      o.repeat = std::atoi(value().c_str());
    else if (a == "--sender-cpu")
      o.sender_cpu = std::atoi(value().c_str());
    else
      throw std::runtime_error("unknown argument " + a);
  }
  if (o.kestrune.empty() || o.sender.empty())
    throw std::runtime_error(
        "usage: kestrune_flood --kestrune PATH --sender PATH [--count N] [--size BYTES]\n"
        "         [--rates R,R,...] [--repeat K] [--sender-cpu CPU]\n"
        "         [--rsyslogd PATH | --no-rsyslog] [--rsyslog-rcvbuf SIZE]\n"
        "a rate of 0 is the sender's full speed");
  if (o.size < 16)
    o.size = 16;
  if (o.rsyslog && ::access(o.rsyslogd.c_str(), X_OK) != 0) {
    std::fprintf(stderr, "note: %s not found, measuring Kestrune alone\n", o.rsyslogd.c_str());
    o.rsyslog = false;
  }
  return o;
}

std::string Percent(const Result& r) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.3f%%",
                r.sent > 0
                    ? 100.0 * static_cast<double>(r.capture.captured) / static_cast<double>(r.sent)
                    : 0.0);
  return buf;
}

std::string CpuPer100k(const Result& r) {
  char buf[32];
  std::snprintf(
      buf, sizeof buf, "%.3f",
      r.capture.captured > 0 ? r.cpu * 100000.0 / static_cast<double>(r.capture.captured) : 0.0);
  return buf;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    const Options o = Parse(argc, argv);
    std::printf("%ld datagrams of %zu bytes per run; CPU is the receiver's, per 100,000 captured\n",
                o.count, o.size);
    std::printf("%-8s %8s %10s | %10s %10s | %10s %10s\n", "rate/s", "sent", "sent/s", "kestrune",
                "CPU s", o.rsyslog ? "rsyslog" : "", o.rsyslog ? "CPU s" : "");
    std::fflush(stdout);
    bool faithful = true;
    for (int run = 0; run < o.repeat; ++run) {
      for (const long rate : o.rates) {
        const Result k = RunKestrune(o, rate);
        std::optional<Result> rs;
        if (o.rsyslog)
          rs = RunRsyslog(o, rate);
        std::printf("%-8s %8ld %10.0f | %10s %10s | %10s %10s\n",
                    rate > 0 ? std::to_string(rate).c_str() : "full", k.sent,
                    k.send_seconds > 0 ? static_cast<double>(k.sent) / k.send_seconds : 0.0,
                    Percent(k).c_str(), CpuPer100k(k).c_str(), rs ? Percent(*rs).c_str() : "",
                    rs ? CpuPer100k(*rs).c_str() : "");
        if (rs && rs->sent != k.sent)
          std::printf("         (rsyslog's run sent %ld)\n", rs->sent);
        if (!k.note.empty())
          std::printf("         kestrune: %s\n", k.note.c_str());
        std::vector<std::pair<std::string, const Result*>> checked{{"kestrune", &k}};
        if (rs)
          checked.emplace_back("rsyslog", &*rs);
        for (const auto& [name, r] : checked) {
          if (r->capture.out_of_order == 0 && r->capture.foreign == 0)
            continue;
          std::printf("         %s: %ld lines out of order, %ld lines not as sent\n", name.c_str(),
                      r->capture.out_of_order, r->capture.foreign);
          if (name == "kestrune")
            faithful = false;
        }
        std::fflush(stdout);
      }
    }
    return faithful ? 0 : 1;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "kestrune_flood: %s\n", e.what());
    return 2;
  }
}
