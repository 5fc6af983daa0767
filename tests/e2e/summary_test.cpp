// The headless binary reports its receive queue at start and what it wrote and lost at stop.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <regex>
#include <string>

#include "tests/support/temp_dir.h"

namespace {

using testing_support::ReadFile;
using testing_support::SendDatagram;
using testing_support::TempDir;
using testing_support::WaitUntil;

TEST(HeadlessSummary, StartLineGivesTheQueueAndStopLineTheCounts) {
  TempDir dir;
  const std::string binary = dir / "kestrune";
  std::filesystem::copy_file(KESTRUNE_BINARY, binary);
  const std::string err_path = dir / "stderr";

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 2, err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0644);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  std::string arg0 = binary, arg1 = "0";
  char* argv[] = {arg0.data(), arg1.data(), nullptr};
  char* envp[] = {nullptr};
  pid_t pid = 0;
  ASSERT_EQ(posix_spawn(&pid, binary.c_str(), &actions, nullptr, argv, envp), 0);
  posix_spawn_file_actions_destroy(&actions);

  std::smatch start;
  const std::regex start_line(
      "kestrune: listening on UDP port ([0-9]+) \\(receive buffer ([0-9]+) bytes\\), logging to "
      ".*\n");
  std::string err;
  const bool started = WaitUntil([&] {
    err = ReadFile(err_path);
    return std::regex_search(err, start, start_line);
  });
  if (!started)
    ::kill(pid, SIGKILL);
  ASSERT_TRUE(started) << err;
  const auto port = static_cast<std::uint16_t>(std::stoi(start[1]));
  EXPECT_GT(std::stoull(start[2]), 0u);

  for (const std::string& payload : {std::string("one"), std::string(4097, 'x'), std::string("two"),
                                     std::string(70000 / 2, 'y')}) {
    ASSERT_TRUE(SendDatagram(port, payload));
  }
  ASSERT_TRUE(SendDatagram(port, "three"));
  const std::string log = dir / "kestrune.LOG";
  EXPECT_TRUE(WaitUntil([&] { return ReadFile(log).find("] three\r\n") != std::string::npos; }));
  ASSERT_EQ(::kill(pid, SIGTERM), 0);
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);

  err = ReadFile(err_path);
  EXPECT_NE(err.find("kestrune: stopped; 3 lines written, 0 datagrams dropped by the system, 2 "
                     "oversize datagrams dropped\n"),
            std::string::npos)
      << err;
}

}  // namespace
