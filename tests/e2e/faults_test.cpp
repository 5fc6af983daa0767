// What the real world does to the running program: files changed under it, a second copy,
// floods of datagrams, a stop in the middle of one.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/e2e/kestrune_process.h"

namespace {

using namespace kestrune_e2e;
using namespace std::chrono_literals;

// "Ошибка открытия файла:" in Windows-1251.
const std::string kOpenError =
    "\xce\xf8\xe8\xe1\xea\xe0\x20\xee\xf2\xea\xf0\xfb\xf2\xe8\xff\x20\xf4\xe0\xe9\xeb\xe0\x3a";
const std::string kOpenErrorNotFound = kOpenError + "No such file or directory\r\n";
// "Потеряно строк: " in Windows-1251.
const std::string kLostLines = "\xcf\xee\xf2\xe5\xf0\xff\xed\xee \xf1\xf2\xf0\xee\xea: ";

// Checks that text is one data line per payload, in order, and nothing else.
void ExpectLines(std::string_view text, const std::vector<std::string>& payloads) {
  for (const std::string& payload : payloads) {
    ASSERT_GE(text.size(), DataLineSize(payload)) << payload;
    EXPECT_EQ(text.substr(0, 2), "+ ");
    EXPECT_EQ(text.substr(2 + kStampLength, DataLineSize(payload) - 2 - kStampLength),
              " [] " + payload + "\r\n");
    text.remove_prefix(DataLineSize(payload));
  }
  EXPECT_TRUE(text.empty()) << "unexpected tail: " << text.substr(0, 80);
}

class RunningKestrune : public ::testing::Test {
 protected:
  void SetUp() override {
    k.Start("0");
    ASSERT_TRUE(k.WaitUntilListening()) << k.Stderr();
  }
  void StopAndExpectCleanExit() {
    k.Signal(SIGTERM);
    EXPECT_TRUE(ExitedWith(k.WaitForExit(), 0)) << k.Stderr();
  }

  TempDir dir;
  Kestrune k{dir};
};

TEST_F(RunningKestrune, LogFileDeletedBetweenTwoLinesIsRecreatedStartingWithOpenErrorLine) {
  ASSERT_TRUE(SendAndWaitLogged(k, kFirstRunHead.size(), {"before"}));
  ASSERT_TRUE(std::filesystem::remove(k.log_path()));
  ASSERT_TRUE(SendAndWaitLogged(k, kOpenErrorNotFound.size(), {"after", "again"}));
  StopAndExpectCleanExit();
  const std::string log = k.Log();
  ASSERT_EQ(log.substr(0, kOpenErrorNotFound.size()), kOpenErrorNotFound);
  ExpectLines(std::string_view(log).substr(kOpenErrorNotFound.size()), {"after", "again"});
}

TEST(KestruneFaultsTest, SecondCopyOnTheSamePortFailsAndTheFirstGoesOnLogging) {
  TempDir first_dir;
  TempDir second_dir;
  Kestrune first(first_dir);
  Kestrune second(second_dir);
  first.Start("0");
  ASSERT_TRUE(first.WaitUntilListening()) << first.Stderr();
  ASSERT_TRUE(SendAndWaitLogged(first, kFirstRunHead.size(), {"before the second"}));

  second.Start(std::to_string(first.port()));
  EXPECT_TRUE(ExitedWith(second.WaitForExit(), 1));
  const std::string err = second.Stderr();
  EXPECT_NE(err.find("kestrune: Could not bind socket. Address and port are already in use.\n"),
            std::string::npos)
      << err;
  EXPECT_EQ(err.find("listening"), std::string::npos) << err;
  EXPECT_FALSE(Exists(second.log_path()));

  const std::size_t size = first.Log().size();
  ASSERT_TRUE(SendAndWaitLogged(first, size, {"after the second"}));
  first.Signal(SIGTERM);
  EXPECT_TRUE(ExitedWith(first.WaitForExit(), 0));
  const std::string log = first.Log();
  ASSERT_EQ(log.substr(0, kFirstRunHead.size()), kFirstRunHead);
  ExpectLines(std::string_view(log).substr(kFirstRunHead.size()),
              {"before the second", "after the second"});
}

// The real limit without writing 200 MiB: a sparse file one byte past it.
TEST(KestruneFaultsTest, RotationPastTheRealLimitFillsTheFirstGapAndKeepsTheOldest) {
  constexpr std::uintmax_t kLimit = 209715200;
  TempDir dir;
  Kestrune k(dir);
  const std::string log = k.log_path();
  testing_support::WriteFile(log, "");
  std::filesystem::resize_file(log, kLimit + 1);
  for (int n : {0, 2, 30})
    testing_support::WriteFile(log + "." + std::to_string(n), "backup " + std::to_string(n));

  k.Start("0");
  ASSERT_TRUE(k.WaitUntilListening()) << k.Stderr();
  ASSERT_TRUE(SendAndWaitLogged(k, kFirstRunHead.size(), {"first in the new file"}));
  k.Signal(SIGTERM);
  EXPECT_TRUE(ExitedWith(k.WaitForExit(), 0));

  EXPECT_EQ(FileSize(log + ".0"), kLimit + 1);
  EXPECT_EQ(ReadFile(log + ".1"), "backup 0");
  EXPECT_EQ(ReadFile(log + ".2"), "backup 2");
  EXPECT_EQ(ReadFile(log + ".30"), "backup 30");
  for (int n = 3; n < 30; ++n)
    EXPECT_FALSE(Exists(log + "." + std::to_string(n))) << n;
  const std::string text = k.Log();
  ASSERT_EQ(text.substr(0, kFirstRunHead.size()), kFirstRunHead);
  ExpectLines(std::string_view(text).substr(kFirstRunHead.size()), {"first in the new file"});
}

// ---- Floods ----

// One sending socket, so that the sender is as fast as the loopback lets it be.
class Sender {
 public:
  explicit Sender(std::uint16_t port) : fd_(::socket(AF_INET, SOCK_DGRAM, 0)) {
    addr_.sin_family = AF_INET;
    addr_.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr_.sin_port = htons(port);
  }
  Sender(const Sender&) = delete;
  Sender& operator=(const Sender&) = delete;
  ~Sender() {
    if (fd_ >= 0)
      ::close(fd_);
  }
  bool Send(std::string_view payload) const {
    return ::sendto(fd_, payload.data(), payload.size(), 0,
                    reinterpret_cast<const sockaddr*>(&addr_),
                    sizeof addr_) == static_cast<ssize_t>(payload.size());
  }

 private:
  int fd_;
  sockaddr_in addr_{};
};

// The payload of the flood's datagram number seq; its length varies from 8 to about 80 bytes.
std::string FloodPayload(std::uint64_t seq) {
  std::string s = "flood " + std::to_string(seq) + " ";
  s.append(seq * 7919 % 64, static_cast<char>('a' + seq % 26));
  return s;
}

// Every tenth datagram is longer than the program takes, so it must be dropped whole.
bool IsOversize(std::uint64_t i) {
  return i % 10 == 9;
}

struct FloodCounts {
  std::atomic<std::uint64_t> numbered{0};  // numbered datagrams sent, 0 .. numbered - 1
  std::atomic<std::uint64_t> oversize{0};
};

// Sends as fast as it can until stop, numbering the datagrams that fit.
void Flood(std::uint16_t port, const std::atomic<bool>& stop, FloodCounts& counts,
           bool with_oversize = true) {
  Sender sender(port);
  const std::string oversize(6000, 'O');
  for (std::uint64_t i = 0; !stop; ++i) {
    if (with_oversize && IsOversize(i)) {
      if (sender.Send(std::string_view(oversize).substr(0, 4097 + i % 1900)))
        ++counts.oversize;
    } else if (sender.Send(FloodPayload(counts.numbered))) {
      ++counts.numbered;
    }
  }
}

// The log and its rotated files, oldest first, each without the lines a new file starts with.
std::string AllDataLines(const std::string& log) {
  std::string all;
  for (int n = 30; n >= -1; --n) {
    const std::string path = n < 0 ? log : log + "." + std::to_string(n);
    if (!Exists(path))
      continue;
    std::string text = ReadFile(path);
    if (text.starts_with("\r\n"))
      text.erase(0, 2);
    if (text.starts_with(kOpenError))
      text.erase(0, text.find("\r\n") + 2);
    all += text;
  }
  return all;
}

// Sequence numbers of the flood's lines in text, in file order. Fails on any line that is not
// a whole data line carrying exactly its flood payload.
std::vector<std::uint64_t> FloodSequence(const std::string& text) {
  std::vector<std::uint64_t> seqs;
  std::size_t pos = 0;
  while (pos < text.size()) {
    const std::size_t end = text.find("\r\n", pos);
    if (end == std::string::npos) {
      ADD_FAILURE() << "torn last line: " << text.substr(pos, 80);
      break;
    }
    const std::string_view line(text.data() + pos, end - pos);
    const std::string_view head = "+ ";
    const std::size_t payload_at = head.size() + kStampLength + 4;
    std::uint64_t seq = 0;
    if (line.size() < payload_at || !line.starts_with(head) ||
        line.substr(head.size() + kStampLength, 4) != " [] " ||
        std::sscanf(std::string(line.substr(payload_at)).c_str(), "flood %lu", &seq) != 1 ||
        line.substr(payload_at) != FloodPayload(seq)) {
      ADD_FAILURE() << "malformed line: " << line.substr(0, 80);
      break;
    }
    seqs.push_back(seq);
    pos = end + 2;
  }
  return seqs;
}

// The line in /proc/net/udp of the socket on 0.0.0.0 and the port: its receive queue and the
// kernel's drops.
struct SocketCounters {
  std::uint64_t rx_queue = 0;
  std::uint64_t drops = 0;
};

std::optional<SocketCounters> UdpCounters(std::uint16_t port) {
  std::ifstream in("/proc/net/udp");
  std::string line;
  char wanted[32];
  std::snprintf(wanted, sizeof wanted, "00000000:%04X", port);
  std::getline(in, line);  // header
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    std::string slot, local, remote, state, queues, field;
    fields >> slot >> local >> remote >> state >> queues;
    if (local != wanted)
      continue;
    std::string last;
    while (fields >> field)
      last = field;
    SocketCounters c;
    c.rx_queue = std::stoull(queues.substr(queues.find(':') + 1), nullptr, 16);
    c.drops = std::stoull(last);
    return c;
  }
  return std::nullopt;
}

// Datagrams the kernel dropped before they reached any socket: the per-CPU input backlogs.
std::uint64_t BacklogDrops() {
  std::ifstream in("/proc/net/softnet_stat");
  std::uint64_t drops = 0;
  std::string processed, dropped, rest;
  while (in >> processed >> dropped && std::getline(in, rest))
    drops += std::stoull(dropped, nullptr, 16);
  return drops;
}

std::uint64_t ResidentKiB(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.starts_with("VmRSS:"))
      return std::stoull(line.substr(6));
  }
  return 0;
}

TEST_F(RunningKestrune, FloodWithOversizeDatagramsLosesOnlyWhatTheKernelDropped) {
  constexpr auto kFloodTime = 10s;
  // Nothing is queued while the file is writable, so the program needs little memory whatever
  // the rate; far below this even with the pending-line bound reached.
  constexpr std::uint64_t kMaxResidentKiB = 100 * 1024;
  const auto before = UdpCounters(k.port());
  ASSERT_TRUE(before.has_value());
  const std::uint64_t backlog_before = BacklogDrops();

  std::atomic<bool> stop{false};
  FloodCounts sent;
  std::thread flood([&] { Flood(k.port(), stop, sent); });
  std::uint64_t peak_kib = ResidentKiB(k.pid());
  const auto end = std::chrono::steady_clock::now() + kFloodTime;
  while (std::chrono::steady_clock::now() < end) {
    std::this_thread::sleep_for(50ms);
    peak_kib = std::max(peak_kib, ResidentKiB(k.pid()));
  }
  stop = true;
  flood.join();

  // Once the socket's queue is empty the kernel drops nothing more; a stop then writes what the
  // listener has read.
  std::optional<SocketCounters> counters;
  ASSERT_TRUE(WaitUntil([&] {
    counters = UdpCounters(k.port());
    return counters && counters->rx_queue == 0;
  }));
  StopAndExpectCleanExit();

  const std::vector<std::uint64_t> seqs = FloodSequence(AllDataLines(k.log_path()));
  for (std::size_t i = 1; i < seqs.size(); ++i)
    ASSERT_LT(seqs[i - 1], seqs[i]) << "out of order or twice at line " << i;
  const std::uint64_t logged = seqs.size();
  const std::uint64_t dropped = counters->drops - before->drops + (BacklogDrops() - backlog_before);
  const std::uint64_t total = sent.numbered + sent.oversize;
  std::printf(
      "flood: %llu datagrams in %lld s (%llu oversize), %llu logged, %llu dropped by the kernel, "
      "peak resident memory %llu KiB\n",
      static_cast<unsigned long long>(total), static_cast<long long>(kFloodTime.count()),
      static_cast<unsigned long long>(sent.oversize.load()),
      static_cast<unsigned long long>(logged), static_cast<unsigned long long>(dropped),
      static_cast<unsigned long long>(peak_kib));
  RecordProperty("datagrams_sent", std::to_string(total));
  RecordProperty("lines_logged", std::to_string(logged));
  RecordProperty("kernel_drops", std::to_string(dropped));
  RecordProperty("peak_rss_kib", std::to_string(peak_kib));

  ASSERT_GT(logged, 0u);
  // Every numbered datagram the kernel delivered is in the log; the kernel's drops (the socket's,
  // and its backlogs', which are nearly always none) cover the rest, and the oversize ones it
  // delivered are the only others missing.
  EXPECT_LE(sent.numbered - logged, dropped);
  EXPECT_LE(dropped, total - logged);
  EXPECT_LT(peak_kib, kMaxResidentKiB);
}

// The log cannot be written while the flood goes on: the lines kept in memory stop at their
// bound, memory with them, and the mark of the gap counts every line the program received.
TEST_F(RunningKestrune, FloodDuringAnOutageKeepsMemoryBoundedAndCountsTheLostLines) {
  constexpr std::uint64_t kKeptLines = 100000 - 1;  // the open-error line takes one place
  constexpr std::uint64_t kMaxResidentKiB = 100 * 1024;
  ASSERT_TRUE(SendAndWaitLogged(k, kFirstRunHead.size(), {"before"}));
  ASSERT_TRUE(std::filesystem::remove(k.log_path()));
  ASSERT_TRUE(std::filesystem::create_directory(k.log_path()));
  const auto before = UdpCounters(k.port());
  ASSERT_TRUE(before.has_value());
  const std::uint64_t backlog_before = BacklogDrops();
  const auto dropped = [&] {
    const auto now = UdpCounters(k.port());
    return (now ? now->drops - before->drops : 0) + (BacklogDrops() - backlog_before);
  };

  std::atomic<bool> stop{false};
  FloodCounts sent;
  std::thread flood([&] { Flood(k.port(), stop, sent, false); });
  std::uint64_t peak_kib = 0;
  // Well past the bound, counting only what the kernel delivered.
  const bool past_bound = WaitUntil(
      [&] {
        peak_kib = std::max(peak_kib, ResidentKiB(k.pid()));
        return sent.numbered - std::min<std::uint64_t>(sent.numbered, dropped()) > 3 * kKeptLines;
      },
      60s);
  stop = true;
  flood.join();
  ASSERT_TRUE(past_bound);
  ASSERT_TRUE(WaitUntil([&] {
    peak_kib = std::max(peak_kib, ResidentKiB(k.pid()));
    const auto c = UdpCounters(k.port());
    return c && c->rx_queue == 0;
  }));
  const std::uint64_t delivered = sent.numbered - dropped();

  std::filesystem::remove(k.log_path());
  ASSERT_TRUE(SendDatagram(k.port(), "after"));
  ASSERT_TRUE(WaitUntil([&] { return k.Log().ends_with(" [] after\r\n"); }));
  StopAndExpectCleanExit();
  std::printf("outage: %llu datagrams delivered, peak resident memory %llu KiB\n",
              static_cast<unsigned long long>(delivered),
              static_cast<unsigned long long>(peak_kib));
  RecordProperty("outage_peak_rss_kib", std::to_string(peak_kib));
  EXPECT_LT(peak_kib, kMaxResidentKiB);

  const std::string log = k.Log();
  const std::string head = kOpenError + "Is a directory\r\n";
  ASSERT_EQ(log.substr(0, head.size()), head);
  const std::string lost = kLostLines + std::to_string(delivered - kKeptLines) + "\r\n";
  const std::size_t lost_at = log.find(kLostLines);
  ASSERT_NE(lost_at, std::string::npos);
  EXPECT_EQ(log.substr(lost_at, lost.size()), lost);
  const std::vector<std::uint64_t> seqs =
      FloodSequence(log.substr(head.size(), lost_at - head.size()));
  EXPECT_EQ(seqs.size(), kKeptLines);
  for (std::size_t i = 1; i < seqs.size(); ++i)
    ASSERT_LT(seqs[i - 1], seqs[i]) << "out of order or twice at line " << i;
  ExpectLines(std::string_view(log).substr(lost_at + lost.size()), {"after"});
}

TEST_F(RunningKestrune, SigtermDuringAFloodStopsPromptlyWithNoTornLine) {
  std::atomic<bool> stop{false};
  FloodCounts sent;
  std::thread flood([&] { Flood(k.port(), stop, sent); });
  const bool flooding = WaitUntil([&] { return FileSize(k.log_path()) > 100000; });
  const auto signalled = std::chrono::steady_clock::now();
  k.Signal(SIGTERM);
  const std::optional<int> status = k.WaitForExit();
  const auto exit_time = std::chrono::steady_clock::now() - signalled;
  stop = true;
  flood.join();
  ASSERT_TRUE(flooding);
  EXPECT_TRUE(ExitedWith(status, 0));
  std::printf("stop during a flood took %lld ms\n",
              static_cast<long long>(
                  std::chrono::duration_cast<std::chrono::milliseconds>(exit_time).count()));

  const std::string log = k.Log();
  ASSERT_EQ(log.substr(0, kFirstRunHead.size()), kFirstRunHead);
  const std::vector<std::uint64_t> seqs = FloodSequence(log.substr(kFirstRunHead.size()));
  ASSERT_FALSE(seqs.empty());
  for (std::size_t i = 1; i < seqs.size(); ++i)
    ASSERT_LT(seqs[i - 1], seqs[i]) << "out of order or twice at line " << i;
}

}  // namespace
