// The real program run as a child process in a folder of its own, for end-to-end tests.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <optional>
#include <regex>
#include <stdexcept>
#include <string>
#include <system_error>
#include <vector>

#include "tests/support/temp_dir.h"

extern char** environ;

namespace kestrune_e2e {

using testing_support::Exists;
using testing_support::ReadFile;
using testing_support::SendDatagram;
using testing_support::TempDir;
using testing_support::WaitUntil;

// "Ошибка открытия файла:" in Windows-1251, then the system's text for a missing file.
inline const std::string kFirstRunHead =
    "\r\n\xce\xf8\xe8\xe1\xea\xe0\x20\xee\xf2\xea\xf0\xfb\xf2\xe8\xff\x20\xf4\xe0\xe9\xeb\xe0\x3a"
    "No such file or directory\r\n";
inline constexpr std::size_t kStampLength = 18;

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
    static const std::regex kReport(
        "kestrune: listening on UDP port ([0-9]+) \\(receive buffer [0-9]+ bytes\\), logging to "
        "(.*)\n");
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
  pid_t pid() const { return pid_; }
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

inline bool ExitedWith(const std::optional<int>& status, int code) {
  return status && WIFEXITED(*status) && WEXITSTATUS(*status) == code;
}

inline std::size_t DataLineSize(const std::string& payload) {
  return 2 + kStampLength + 4 + payload.size() + 2;
}

// Sends the payloads in order and waits until the log has grown by all their lines.
inline bool SendAndWaitLogged(const Kestrune& k, std::size_t log_size_before,
                              const std::vector<std::string>& payloads) {
  std::size_t expected = log_size_before;
  for (const std::string& p : payloads) {
    if (!SendDatagram(k.port(), p))
      return false;
    expected += DataLineSize(p);
  }
  return WaitUntil([&] { return k.Log().size() >= expected; });
}

inline std::uintmax_t FileSize(const std::string& path) {
  std::error_code ec;
  const std::uintmax_t size = std::filesystem::file_size(path, ec);
  return ec ? 0 : size;
}

}  // namespace kestrune_e2e
