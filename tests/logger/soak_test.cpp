// A million lines through the writer with a small limit and the real backup count.
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

#include "tests/logger/writer_fixture.h"

namespace logger::testing {
namespace {

using testing_support::Exists;
using testing_support::ReadFile;

std::string SoakMessage(int n) {
  return "soak " + std::to_string(n) + " " + std::string(static_cast<std::size_t>(n % 50), '.');
}

TEST_F(WriterTest, MillionLinesLeaveAContiguousOrderedTailInTheFiles) {
  constexpr int kLines = 1000000;
  constexpr std::int32_t kLimit = 1 << 20;
  constexpr int kBackups = 30;
  Logger log(Env());
  log.MaxLogSize = kLimit;
  log.LogBackupCount = kBackups;
  log.InitLog(".LOG");
  std::uint64_t bytes = 0;
  for (int n = 0; n < kLines; ++n) {
    log.WriteLog(1, SoakMessage(n));
    bytes += Line(SoakMessage(n)).size();
  }

  EXPECT_FALSE(Exists(BackupName(LogPath(), kBackups + 1)));
  const std::string open_error = OpenErrorLine(kNotFound);
  const std::string prefix = Line("");
  int first = -1;
  int next = -1;
  int files = 0;
  for (int suffix = kBackups; suffix >= -1; --suffix) {
    const std::string path = suffix < 0 ? LogPath() : BackupName(LogPath(), suffix);
    SCOPED_TRACE(path);
    ASSERT_TRUE(Exists(path));  // long enough to have filled every backup
    ++files;
    const std::string text = ReadFile(path);
    if (suffix >= 0) {
      EXPECT_GT(text.size(), static_cast<std::size_t>(kLimit));
    }
    ASSERT_EQ(text.substr(0, open_error.size()), open_error);
    std::string_view rest = std::string_view(text).substr(open_error.size());
    std::size_t last_line = 0;
    while (!rest.empty()) {
      int n = 0;
      ASSERT_EQ(rest.substr(0, prefix.size() - 2), prefix.substr(0, prefix.size() - 2));
      ASSERT_EQ(std::sscanf(rest.data() + prefix.size() - 2, "soak %d", &n), 1);
      if (next < 0)
        first = next = n;
      ASSERT_EQ(n, next) << "lines missing or out of order";
      const std::string line = Line(SoakMessage(n));
      ASSERT_EQ(rest.substr(0, line.size()), line);
      rest.remove_prefix(line.size());
      last_line = line.size();
      ++next;
    }
    // At most the limit before its last line went in.
    EXPECT_LE(text.size() - last_line, static_cast<std::size_t>(kLimit));
  }
  EXPECT_EQ(next, kLines);
  EXPECT_EQ(files, kBackups + 2);
  std::printf(
      "soak: %d lines (%llu bytes, about %llu rotations), lines %d to %d kept in %d files\n",
      kLines, static_cast<unsigned long long>(bytes),
      static_cast<unsigned long long>(bytes / kLimit), first, next - 1, files);
}

}  // namespace
}  // namespace logger::testing
