// The writer against a real temporary folder.
#include <unistd.h>

#include <filesystem>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "tests/logger/writer_fixture.h"

namespace logger::testing {
namespace {

using testing_support::Exists;
using testing_support::ReadFile;
using testing_support::WriteFile;

TEST_F(WriterTest, FirstRunStartsWithSeparatorThenOpenErrorThenData) {
  Logger log(Env());
  log.InitLog(".LOG");
  log.WriteLog(1, "hello");
  now.millisecond = 513;
  log.WriteLog(1, "");
  EXPECT_EQ(LogText(), "\r\n" + OpenErrorLine(kNotFound) + "+ 21.03 08:02:08.512 [] hello\r\n" +
                           "+ 21.03 08:02:08.513 [] \r\n");
}

TEST_F(WriterTest, SecondRunAddsSeparatorAndNoOpenErrorLine) {
  WriteFile(LogPath(), "earlier run\r\n");
  Logger log(Env());
  log.InitLog(".LOG");
  log.WriteLog(1, "a");
  log.WriteLog(1, "b");
  EXPECT_EQ(LogText(), "earlier run\r\n\r\n" + Line("a") + Line("b"));
}

TEST_F(WriterTest, NothingIsWrittenBeforeInitLog) {
  Logger log(Env());
  log.WriteLog(1, "lost");
  EXPECT_FALSE(Exists(LogPath()));
}

// InitLog's argument: up to 10 characters it is an extension, past that a full path.
class InitLogPathTest : public WriterTest {
 protected:
  void SetUp() override {
    ASSERT_EQ(::getcwd(saved_cwd_, sizeof saved_cwd_), saved_cwd_);
    ASSERT_EQ(::chdir(dir.path().c_str()), 0);
  }
  void TearDown() override { ASSERT_EQ(::chdir(saved_cwd_), 0); }
  char saved_cwd_[4096];
};

TEST_F(InitLogPathTest, ShortArgumentIsAnExtensionLongOneAPath) {
  struct Case {
    std::string argument;
    std::string expected;
  } const cases[] = {
      {".LOG", dir / "kestrune.LOG"},
      {".txt", dir / "kestrune.txt"},
      {"abcdefghij", dir / "kestruneabcdefghij"},
      {"d/e/f/x.LOG", "d/e/f/x.LOG"},
      {dir / "a/b/c/k.LOG", dir / "a/b/c/k.LOG"},
  };
  for (const auto& c : cases) {
    Logger log(Env());
    log.InitLog(c.argument);
    EXPECT_EQ(log.FileName(), c.expected) << c.argument;
  }
  EXPECT_TRUE(std::filesystem::is_directory(dir / "d/e/f"));
  EXPECT_TRUE(std::filesystem::is_directory(dir / "a/b/c"));
}

TEST_F(InitLogPathTest, ExecutableWithoutExtensionGetsOneAppended) {
  Environment env = Env();
  env.executable_path = [this] { return dir / "v1.2/kestrune"; };
  Logger log(env);
  log.InitLog(".LOG");
  EXPECT_EQ(log.FileName(), dir / "v1.2/kestrune.LOG");
}

class RotationTest : public WriterTest {
 protected:
  static constexpr std::int32_t kLimit = 1000;
  void SetUp() override {
    log.MaxLogSize = kLimit;
    log.LogBackupCount = 30;
    log.InitLog(".LOG");
  }
  std::string Backup(int n) const { return BackupName(LogPath(), n); }
  Logger log{Env()};
};

TEST_F(RotationTest, FileOfExactlyTheLimitIsNotRotated) {
  const std::string old(kLimit, 'x');
  WriteFile(LogPath(), old);
  log.WriteLog(1, "a");
  EXPECT_FALSE(Exists(Backup(0)));
  EXPECT_EQ(LogText(), old + "\r\n" + Line("a"));
}

TEST_F(RotationTest, OneBytePastTheLimitMovesTheFileToSuffixZero) {
  const std::string old(kLimit + 1, 'x');
  WriteFile(LogPath(), old);
  log.WriteLog(1, "a");
  EXPECT_EQ(ReadFile(Backup(0)), old);
  // The first write of the run: the separator comes before the open-error line.
  EXPECT_EQ(LogText(), "\r\n" + OpenErrorLine(kNotFound) + Line("a"));
}

TEST_F(RotationTest, LaterRotationStartsTheNewFileWithOpenErrorLineOnly) {
  log.WriteLog(1, "first");
  const std::string before = LogText() + std::string(kLimit, 'y');
  WriteFile(LogPath(), before);
  log.WriteLog(1, "second");
  EXPECT_EQ(ReadFile(Backup(0)), before);
  EXPECT_EQ(LogText(), OpenErrorLine(kNotFound) + Line("second"));
}

TEST_F(RotationTest, FullChainDropsTheOldestAndShiftsEveryOther) {
  for (int n = 0; n <= 30; ++n)
    WriteFile(Backup(n), "backup " + std::to_string(n));
  const std::string current(kLimit + 1, 'c');
  WriteFile(LogPath(), current);
  log.WriteLog(1, "a");
  EXPECT_EQ(ReadFile(Backup(0)), current);
  for (int n = 1; n <= 30; ++n)
    EXPECT_EQ(ReadFile(Backup(n)), "backup " + std::to_string(n - 1));
  EXPECT_FALSE(Exists(Backup(31)));
  EXPECT_EQ(LogText(), "\r\n" + OpenErrorLine(kNotFound) + Line("a"));
}

// Only the files below the first free suffix move; nothing is deleted while there is room.
TEST_F(RotationTest, GapInTheChainIsFilledAndNothingDropped) {
  struct Case {
    std::vector<int> present;
    std::vector<std::pair<int, int>> moved;  // old suffix, new suffix
  } const cases[] = {
      {{1, 2, 30}, {{1, 1}, {2, 2}, {30, 30}}},
      {{0, 2, 5, 30}, {{0, 1}, {2, 2}, {5, 5}, {30, 30}}},
      {{0, 1, 2, 4, 30}, {{0, 1}, {1, 2}, {2, 3}, {4, 4}, {30, 30}}},
      {{0,  1,  2,  3,  4,  5,  6,  7,  8,  9,  10, 11, 12, 13, 14,
        15, 16, 17, 18, 19, 20, 21, 22, 23, 24, 25, 26, 27, 28, 29},
       {{0, 1},   {1, 2},   {2, 3},   {3, 4},   {4, 5},   {5, 6},   {6, 7},   {7, 8},
        {8, 9},   {9, 10},  {10, 11}, {11, 12}, {12, 13}, {13, 14}, {14, 15}, {15, 16},
        {16, 17}, {17, 18}, {18, 19}, {19, 20}, {20, 21}, {21, 22}, {22, 23}, {23, 24},
        {24, 25}, {25, 26}, {26, 27}, {27, 28}, {28, 29}, {29, 30}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.present));
    for (int n = 0; n <= 31; ++n)
      std::filesystem::remove(Backup(n));
    for (int n : c.present)
      WriteFile(Backup(n), "backup " + std::to_string(n));
    const std::string current(kLimit + 1, 'c');
    WriteFile(LogPath(), current);
    log.WriteLog(1, "a");
    EXPECT_EQ(ReadFile(Backup(0)), current);
    int files = 1;
    for (const auto& [from, to] : c.moved) {
      EXPECT_EQ(ReadFile(Backup(to)), "backup " + std::to_string(from)) << to;
      ++files;
    }
    for (int n = 0; n <= 31; ++n)
      files -= Exists(Backup(n)) ? 1 : 0;
    EXPECT_EQ(files, 0);
  }
}

TEST_F(RotationTest, BackupCountSetsTheOldestSuffix) {
  log.LogBackupCount = 2;
  for (int n = 0; n <= 2; ++n)
    WriteFile(Backup(n), std::to_string(n));
  WriteFile(LogPath(), std::string(kLimit + 1, 'c'));
  log.WriteLog(1, "a");
  EXPECT_EQ(ReadFile(Backup(1)), "0");
  EXPECT_EQ(ReadFile(Backup(2)), "1");
  EXPECT_FALSE(Exists(Backup(3)));
}

TEST_F(WriterTest, FolderMissingForAWhileQueuesLinesAndWritesThemInOrderLater) {
  const std::string sub = dir / "sub";
  Logger log(Env());
  log.InitLog(sub + "/kestrune.LOG");
  std::filesystem::remove(sub);
  log.WriteLog(1, "one");
  log.WriteLog(1, "two");
  EXPECT_EQ(log.PendingCount(), 3u);  // one open-error line for the whole outage
  EXPECT_EQ(log.FileName(), sub + "/kestrune.LOG");
  std::filesystem::create_directory(sub);
  log.WriteLog(1, "three");
  EXPECT_EQ(ReadFile(sub + "/kestrune.LOG"),
            "\r\n" + OpenErrorLine(testing_support::PathNotFoundText()) + Line("one") +
                Line("two") + Line("three"));
  EXPECT_EQ(log.PendingCount(), 0u);
}

// Another program puts a folder where the log was: lines wait, in order, until it is gone.
TEST_F(WriterTest, LogFileReplacedByAFolderQueuesLinesUntilTheFolderGoes) {
  Logger log(Env());
  log.InitLog(".LOG");
  log.WriteLog(1, "a");
  std::filesystem::remove(LogPath());
  std::filesystem::create_directory(LogPath());
  for (const char* m : {"b", "c", "d"})
    log.WriteLog(1, m);
  EXPECT_EQ(log.PendingCount(), 4u);
  EXPECT_EQ(log.FileName(), LogPath());
  std::filesystem::remove(LogPath());
  log.WriteLog(1, "e");
  EXPECT_EQ(LogText(), OpenErrorLine(testing_support::IsADirectoryText()) + Line("b") + Line("c") +
                           Line("d") + Line("e"));
  EXPECT_EQ(log.PendingCount(), 0u);
}

TEST_F(WriterTest, LevelThreeRegisterKeepsFirstOfEachDistinctMessage) {
  Logger log(Env());
  log.InitLog(".LOG");
  log.WriteLog(3, "link down");
  EXPECT_TRUE(log.ErrorSignal().WaitFor(0));
  now.second = 40;
  log.WriteLog(3, "link down");
  EXPECT_TRUE(log.ErrorSignal().WaitFor(0));
  log.WriteLog(3, "Link down");
  log.WriteLog(1, "link down");
  EXPECT_TRUE(log.ErrorSignal().WaitFor(0));
  EXPECT_FALSE(log.ErrorSignal().WaitFor(0));  // the level-1 line did not signal
  EXPECT_EQ(log.Errors(), (std::vector<std::string>{"21.03 08:02:08.512 [] link down",
                                                    "21.03 08:02:40.512 [] Link down"}));
}

TEST_F(WriterTest, ManyThreadsWritingAtOnceLeaveEveryLineWholeAndInOrderPerThread) {
  constexpr int kThreads = 8;
  constexpr int kLines = 2000;
  Logger log(Env());
  log.MaxLogSize = 1 << 30;
  log.InitLog(".LOG");
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&log, t] {
      for (int i = 0; i < kLines; ++i)
        log.WriteLog(1, "t" + std::to_string(t) + " #" + std::to_string(i) + " payload");
    });
  }
  for (auto& th : threads)
    th.join();

  std::string text = LogText();
  const std::string head = "\r\n" + OpenErrorLine(kNotFound);
  ASSERT_EQ(text.substr(0, head.size()), head);
  text.erase(0, head.size());
  std::vector<int> next(kThreads, 0);
  const std::string prefix = "+ 21.03 08:02:08.512 [] t";
  std::size_t pos = 0;
  while (pos < text.size()) {
    const std::size_t end = text.find("\r\n", pos);
    ASSERT_NE(end, std::string::npos);
    const std::string line = text.substr(pos, end - pos);
    ASSERT_EQ(line.substr(0, prefix.size()), prefix) << line;
    int t = -1, i = -1;
    ASSERT_EQ(std::sscanf(line.c_str() + prefix.size(), "%d #%d payload", &t, &i), 2) << line;
    ASSERT_TRUE(t >= 0 && t < kThreads) << line;
    EXPECT_EQ(i, next[t]) << line;
    next[t] = i + 1;
    pos = end + 2;
  }
  for (int t = 0; t < kThreads; ++t)
    EXPECT_EQ(next[t], kLines);
}

}  // namespace
}  // namespace logger::testing
