#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <regex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/temp_dir.h"

extern char** environ;

namespace {

using testing_support::Exists;
using testing_support::ReadFile;
using testing_support::SendDatagram;
using testing_support::TempDir;
using testing_support::WaitUntil;
using namespace std::chrono_literals;

// "Ошибка открытия файла:" in Windows-1251, then the system's text for a missing file.
const std::string kFirstRunHead =
    "\r\n\xce\xf8\xe8\xe1\xea\xe0\x20\xee\xf2\xea\xf0\xfb\xf2\xe8\xff\x20\xf4\xe0\xe9\xeb\xe0\x3a"
    "No such file or directory\r\n";
constexpr std::size_t kStampLength = 18;

// The program copied into a folder of its own and run there, its standard error kept in a file.
class Kestrune {
 public:
  explicit Kestrune(const TempDir& dir)
      : binary_(dir / "kestrune"), log_(dir / "kestrune.LOG"), stderr_(dir / "stderr.txt") {
    if (!Exists(binary_))
      std::filesystem::copy_file(KESTRUNE_BINARY, binary_);
  }
  Kestrune(const Kestrune&) = delete;
  Kestrune& operator=(const Kestrune&) = delete;
  ~Kestrune() {
    if (pid_ > 0 && !status_) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
  }

  void Start(const std::string& argument) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, stderr_.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    // The test runner's signal state must not leak into the child.
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t none;
    sigset_t stops;
    sigemptyset(&none);
    sigemptyset(&stops);
    sigaddset(&stops, SIGINT);
    sigaddset(&stops, SIGTERM);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setsigdefault(&attr, &stops);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

    std::string program = binary_;
    std::string arg = argument;
    char* argv[] = {program.data(), arg.data(), nullptr};
    const int rc = ::posix_spawn(&pid_, binary_.c_str(), &actions, &attr, argv, environ);
    posix_spawnattr_destroy(&attr);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0)
      throw std::runtime_error("posix_spawn failed");
  }

  // Waits for the start-up report and takes the port and log path from it.
  bool WaitUntilListening() {
    static const std::regex kReport("kestrune: listening on UDP port ([0-9]+), logging to (.*)\n");
    return WaitUntil([&] {
      std::smatch m;
      const std::string err = Stderr();
      if (!std::regex_search(err, m, kReport))
        return false;
      port_ = static_cast<std::uint16_t>(std::stoul(m[1].str()));
      reported_log_ = m[2].str();
      return true;
    });
  }

  // Only ever the child itself: a pid of -1 would reach every process.
  void Signal(int signal) const {
    if (pid_ > 0 && !status_)
      ::kill(pid_, signal);
  }

  // The raw wait status, or nothing when the process is still running at the deadline.
  std::optional<int> WaitForExit() {
    if (pid_ <= 0)
      return status_;
    WaitUntil([&] {
      int status = 0;
      if (::waitpid(pid_, &status, WNOHANG) == pid_)
        status_ = status;
      return status_.has_value();
    });
    return status_;
  }

  std::string Stderr() const { return ReadFile(stderr_); }
  std::string Log() const { return ReadFile(log_); }
  const std::string& log_path() const { return log_; }
  const std::string& reported_log() const { return reported_log_; }
  std::uint16_t port() const { return port_; }

 private:
  std::string binary_;
  std::string log_;
  std::string stderr_;
  pid_t pid_ = -1;
  std::optional<int> status_;
  std::uint16_t port_ = 0;
  std::string reported_log_;
};

bool ExitedWith(const std::optional<int>& status, int code) {
  return status && WIFEXITED(*status) && WEXITSTATUS(*status) == code;
}

// Local time now as the log writes it.
std::string StampNow() {
  timespec ts{};
  ::clock_gettime(CLOCK_REALTIME, &ts);
  tm t{};
  ::localtime_r(&ts.tv_sec, &t);
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%02d.%02d %02d:%02d:%02d.%03d", t.tm_mday, t.tm_mon + 1,
                t.tm_hour, t.tm_min, t.tm_sec, static_cast<int>(ts.tv_nsec / 1000000));
  return buffer;
}

bool WellFormedStamp(const std::string& stamp) {
  static const std::regex kStamp(
      R"((0[1-9]|[12][0-9]|3[01])\.(0[1-9]|1[0-2]) ([01][0-9]|2[0-3]):[0-5][0-9]:[0-5][0-9]\.[0-9]{3})");
  return std::regex_match(stamp, kStamp);
}

// Stamps taken around a stretch of logging; within one day they order as plain strings.
struct TimeWindow {
  std::string earliest;
  std::string latest;
  bool Comparable() const { return earliest.substr(0, 5) == latest.substr(0, 5); }
};

// Checks that text is exactly one data line per payload, in order, stamped within window.
void ExpectDataLines(std::string_view text, const std::vector<std::string>& payloads,
                     const TimeWindow& window) {
  for (const std::string& payload : payloads) {
    SCOPED_TRACE("payload of " + std::to_string(payload.size()) + " bytes");
    ASSERT_GE(text.size(), 2 + kStampLength);
    ASSERT_EQ(text.substr(0, 2), "+ ");
    const std::string stamp(text.substr(2, kStampLength));
    EXPECT_TRUE(WellFormedStamp(stamp)) << stamp;
    if (window.Comparable()) {
      EXPECT_LE(window.earliest, stamp);
      EXPECT_LE(stamp, window.latest);
    }
    text.remove_prefix(2 + kStampLength);
    const std::string rest = " [] " + payload + "\r\n";
    ASSERT_EQ(text.substr(0, rest.size()), rest);
    text.remove_prefix(rest.size());
  }
  EXPECT_TRUE(text.empty()) << "unexpected tail of " << text.size() << " bytes";
}

std::size_t DataLineSize(const std::string& payload) {
  return 2 + kStampLength + 4 + payload.size() + 2;
}

// Sends the payloads in order and waits until the log has grown by all their lines.
bool SendAndWaitLogged(const Kestrune& k, std::size_t log_size_before,
                       const std::vector<std::string>& payloads) {
  std::size_t expected = log_size_before;
  for (const std::string& p : payloads) {
    if (!SendDatagram(k.port(), p))
      return false;
    expected += DataLineSize(p);
  }
  return WaitUntil([&] { return k.Log().size() >= expected; });
}

TEST(BinaryTest, FirstRunLogsBreakOpenErrorAndExactPayloads) {
  TempDir dir;
  Kestrune k(dir);
  k.Start("0");
  ASSERT_TRUE(k.WaitUntilListening()) << k.Stderr();
  EXPECT_EQ(k.reported_log(), (std::filesystem::canonical(dir.path()) / "kestrune.LOG").string());

  TimeWindow window{StampNow(), ""};
  const std::vector<std::string> payloads = {
      "hello", std::string("nul\0inside", 10), "cr\rlf\ncrlf\r\n", "\xff\xfe\x80 high bytes \xff",
      "",      std::string(4096, 'z'),
  };
  // A datagram longer than the receive buffer is dropped, so it leaves no line.
  ASSERT_TRUE(SendDatagram(k.port(), std::string(4097, 'q')));
  ASSERT_TRUE(SendAndWaitLogged(k, kFirstRunHead.size(), payloads)) << k.Log().size();
  window.latest = StampNow();

  k.Signal(SIGTERM);
  EXPECT_TRUE(ExitedWith(k.WaitForExit(), 0));
  const std::string log = k.Log();
  ASSERT_EQ(log.substr(0, kFirstRunHead.size()), kFirstRunHead);
  ExpectDataLines(std::string_view(log).substr(kFirstRunHead.size()), payloads, window);
}

TEST(BinaryTest, SecondRunAppendsBreakAndDataWithoutOpenError) {
  TempDir dir;
  std::string after_first;
  {
    Kestrune k(dir);
    k.Start("0");
    ASSERT_TRUE(k.WaitUntilListening()) << k.Stderr();
    ASSERT_TRUE(SendAndWaitLogged(k, kFirstRunHead.size(), {"first run"}));
    k.Signal(SIGTERM);
    ASSERT_TRUE(ExitedWith(k.WaitForExit(), 0));
    after_first = k.Log();
  }

  Kestrune k(dir);
  k.Start("0");
  ASSERT_TRUE(k.WaitUntilListening()) << k.Stderr();
  TimeWindow window{StampNow(), ""};
  ASSERT_TRUE(SendAndWaitLogged(k, after_first.size() + 2, {"second run", "again"}));
  window.latest = StampNow();
  k.Signal(SIGTERM);
  EXPECT_TRUE(ExitedWith(k.WaitForExit(), 0));

  const std::string log = k.Log();
  ASSERT_EQ(log.substr(0, after_first.size()), after_first);
  const std::string_view added = std::string_view(log).substr(after_first.size());
  ASSERT_EQ(added.substr(0, 2), "\r\n");
  ExpectDataLines(added.substr(2), {"second run", "again"}, window);
}

TEST(BinaryTest, RejectsBadPortArguments) {
  const std::string arguments[] = {"abc", "70000", "-1", "", " 80", "99999999999", "0x50"};
  // All started at once: each waits out the start-up delay before it looks at its argument.
  std::vector<std::unique_ptr<TempDir>> dirs;
  std::vector<std::unique_ptr<Kestrune>> runs;
  for (const std::string& argument : arguments) {
    dirs.push_back(std::make_unique<TempDir>());
    runs.push_back(std::make_unique<Kestrune>(*dirs.back()));
    runs.back()->Start(argument);
  }
  for (std::size_t i = 0; i < runs.size(); ++i) {
    SCOPED_TRACE("argument \"" + arguments[i] + "\"");
    Kestrune& k = *runs[i];
    EXPECT_TRUE(ExitedWith(k.WaitForExit(), 1));
    const std::string err = k.Stderr();
    EXPECT_NE(
        err.find("kestrune: \"" + arguments[i] + "\" is not a valid port number (0 to 65535)\n"),
        std::string::npos)
        << err;
    EXPECT_EQ(err.find("listening"), std::string::npos) << err;
    if (Exists(k.log_path())) {
      EXPECT_EQ(k.Log().find("+ "), std::string::npos);
    }
  }
}

TEST(BinaryTest, PortInUseEndsWithTheBindError) {
  const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
  ASSERT_GE(fd, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_ANY);
  socklen_t len = sizeof addr;
  ASSERT_EQ(::bind(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr), 0);
  ASSERT_EQ(::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len), 0);
  const std::uint16_t port = ntohs(addr.sin_port);

  TempDir dir;
  Kestrune k(dir);
  k.Start(std::to_string(port));
  EXPECT_TRUE(ExitedWith(k.WaitForExit(), 1));
  ::close(fd);
  const std::string err = k.Stderr();
  EXPECT_NE(err.find("kestrune: Could not bind socket. Address and port are already in use.\n"),
            std::string::npos)
      << err;
  EXPECT_EQ(err.find("listening"), std::string::npos) << err;
}

TEST(BinaryTest, StopSignalsEndWithStatusZeroKeepingLoggedLines) {
  for (const int signal : {SIGINT, SIGTERM}) {
    SCOPED_TRACE("signal " + std::to_string(signal));
    TempDir dir;
    Kestrune k(dir);
    k.Start("0");
    ASSERT_TRUE(k.WaitUntilListening()) << k.Stderr();
    TimeWindow window{StampNow(), ""};
    ASSERT_TRUE(SendAndWaitLogged(k, kFirstRunHead.size(), {"before stop"}));
    window.latest = StampNow();
    k.Signal(signal);
    EXPECT_TRUE(ExitedWith(k.WaitForExit(), 0));
    const std::string log = k.Log();
    ASSERT_EQ(log.substr(0, kFirstRunHead.size()), kFirstRunHead);
    ExpectDataLines(std::string_view(log).substr(kFirstRunHead.size()), {"before stop"}, window);
  }
}

// Sequence number of each data line in text; fails on anything but whole, well-formed lines.
std::vector<int> SequenceNumbers(const std::string& text) {
  static const std::regex kLine(R"(\+ (.{18}) \[\] seq ([0-9]+)\r\n)");
  std::vector<int> numbers;
  std::smatch m;
  for (auto it = text.cbegin(); it != text.cend(); it = m[0].second) {
    if (!std::regex_search(it, text.cend(), m, kLine, std::regex_constants::match_continuous)) {
      ADD_FAILURE() << "malformed line at \"" << std::string(it, text.cend()).substr(0, 80) << "\"";
      break;
    }
    EXPECT_TRUE(WellFormedStamp(m[1].str())) << m[1].str();
    numbers.push_back(std::stoi(m[2].str()));
  }
  return numbers;
}

std::uintmax_t FileSize(const std::string& path) {
  std::error_code ec;
  const std::uintmax_t size = std::filesystem::file_size(path, ec);
  return ec ? 0 : size;
}

TEST(BinaryTest, SigtermDuringTrafficLogsEverythingSentBeforeIt) {
  // At most this many datagrams are unlogged at any time, far fewer than the default receive
  // buffer holds, so none is lost to overflow and every gap would be the program's doing.
  constexpr int kInFlight = 50;
  constexpr int kMaxDatagrams = 5000;
  TempDir dir;
  Kestrune k(dir);
  k.Start("0");
  ASSERT_TRUE(k.WaitUntilListening()) << k.Stderr();

  std::atomic<bool> stop{false};
  std::atomic<int> sent{0};
  std::thread sender([&] {
    // logged_size[i]: the log's size once datagrams 0..i-1 are in it.
    std::vector<std::uintmax_t> logged_size{kFirstRunHead.size()};
    for (int i = 0; i < kMaxDatagrams && !stop; ++i) {
      const std::string payload = "seq " + std::to_string(i);
      logged_size.push_back(logged_size.back() + DataLineSize(payload));
      if (i >= kInFlight) {
        const std::uintmax_t needed = logged_size[static_cast<std::size_t>(i - kInFlight)];
        WaitUntil([&] { return stop || FileSize(k.log_path()) >= needed; });
      }
      if (stop)
        break;
      SendDatagram(k.port(), payload);
      sent = i + 1;
      std::this_thread::sleep_for(1ms);
    }
  });
  const bool enough_sent = WaitUntil([&] { return sent >= 200; });
  const int sent_before_signal = sent;
  k.Signal(SIGTERM);
  const std::optional<int> status = k.WaitForExit();
  stop = true;
  sender.join();
  ASSERT_TRUE(enough_sent);
  EXPECT_TRUE(ExitedWith(status, 0));

  const std::string log = k.Log();
  ASSERT_EQ(log.substr(0, kFirstRunHead.size()), kFirstRunHead);
  EXPECT_EQ(log.substr(log.size() - 2), "\r\n");
  const std::vector<int> numbers = SequenceNumbers(log.substr(kFirstRunHead.size()));
  // Everything queued before the signal, then possibly a few that arrived before the socket closed.
  ASSERT_GE(numbers.size(), static_cast<std::size_t>(sent_before_signal));
  for (std::size_t i = 0; i < numbers.size(); ++i)
    ASSERT_EQ(numbers[i], static_cast<int>(i));
}

}  // namespace
