// Failures a real file system cannot produce on demand, through the writer's file-system seam.
#include <filesystem>
#include <ostream>
#include <string>
#include <vector>

#include "tests/logger/writer_fixture.h"
#include "tests/support/faulty_file_system.h"

namespace logger::testing {
namespace {

using testing_support::Exists;
using testing_support::ReadFile;
using testing_support::WriteFile;

// Failures the test arms by count or by name.
class FaultyFileSystem final : public testing_support::FaultyFileSystem {
 public:
  int refuse_open_append = 0;  // the next n calls fail
  int refuse_create = 0;
  int fail_write_number = 0;  // this write (counted from 1) stops halfway and fails
  int fail_write_count = 1;  // and so do this many writes in all from it on: a disk that stays full
  bool read_only_folder = false;  // existing files stay writable; nothing is created or renamed
  std::string refused_rename_from;
  std::string refused_delete;
  int writes = 0;

  FaultyFileSystem() {
    open_append_fails = [this](const std::string&) { return Take(refuse_open_append); };
    create_fails = [this](const std::string& path) {
      return Take(refuse_create) || (read_only_folder && !EntrySize(path));
    };
    rename_fails = [this](const std::string& from) {
      return read_only_folder || from == refused_rename_from;
    };
    delete_fails = [this](const std::string& path) {
      return read_only_folder || path == refused_delete;
    };
    write_fails = [this] {
      ++writes;
      return fail_write_number > 0 && writes >= fail_write_number &&
             writes < fail_write_number + fail_write_count;
    };
  }

 private:
  static bool Take(int& armed) {
    if (armed <= 0)
      return false;
    --armed;
    return true;
  }
};

class WriterFaultTest : public WriterTest {
 protected:
  void SetUp() override {
    log.MaxLogSize = 1 << 30;
    log.LogBackupCount = 30;
    log.InitLog(".LOG");
  }
  std::string Backup(int n) const { return BackupName(LogPath(), n); }

  FaultyFileSystem fs;
  Logger log{Env(fs)};
};

TEST_F(WriterFaultTest, OutageKeepsFileOutputOnAndQueuesOneOpenErrorLine) {
  WriteFile(LogPath(), "old\r\n");
  fs.refuse_open_append = 3;
  fs.refuse_create = 3;
  for (const char* m : {"1", "2", "3"})
    log.WriteLog(1, m);
  EXPECT_EQ(LogText(), "old\r\n");
  EXPECT_EQ(log.FileName(), LogPath());
  log.WriteLog(1, "4");
  EXPECT_EQ(LogText(), "old\r\n\r\n" + OpenErrorLine("Permission denied") + Line("1") + Line("2") +
                           Line("3") + Line("4"));
  EXPECT_EQ(log.PendingCount(), 0u);
}

TEST_F(WriterFaultTest, EachOutageGetsItsOwnOpenErrorLine) {
  log.WriteLog(1, "a");
  fs.refuse_open_append = 1;
  fs.refuse_create = 1;
  log.WriteLog(1, "b");
  log.WriteLog(1, "c");
  fs.refuse_open_append = 1;
  fs.refuse_create = 1;
  log.WriteLog(1, "d");
  log.WriteLog(1, "e");
  EXPECT_EQ(LogText(), "\r\n" + OpenErrorLine(kNotFound) + Line("a") +
                           OpenErrorLine("Permission denied") + Line("b") + Line("c") +
                           OpenErrorLine("Permission denied") + Line("d") + Line("e"));
}

struct DiskFullCase {
  const char* what;
  int failing_write;  // counted over the whole test
};

void PrintTo(const DiskFullCase& c, std::ostream* out) {
  *out << c.what;
}

class DiskFullTest : public WriterFaultTest, public ::testing::WithParamInterface<DiskFullCase> {};

// Writes of the first call: separator, open-error line, "a"; of the second: "b".
TEST_P(DiskFullTest, FailedWriteLeavesNoTornLineAndKeepsTheLine) {
  fs.fail_write_number = GetParam().failing_write;
  log.WriteLog(1, "a");
  log.WriteLog(1, "b");
  log.WriteLog(1, "c");
  EXPECT_EQ(LogText(), "\r\n" + OpenErrorLine(kNotFound) + Line("a") + Line("b") + Line("c"));
  EXPECT_EQ(log.PendingCount(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Writer, DiskFullTest,
                         ::testing::Values(DiskFullCase{"Separator", 1},
                                           DiskFullCase{"OpenErrorLine", 2},
                                           DiskFullCase{"FirstDataLine", 3},
                                           DiskFullCase{"LaterDataLine", 4}),
                         [](const auto& param_info) { return param_info.param.what; });

TEST_F(WriterFaultTest, RefusedRenameLetsTheFileGrowUntilTheNextWriteRotates) {
  log.MaxLogSize = 100;
  const std::string big(150, 'x');
  WriteFile(LogPath(), big);
  fs.refused_rename_from = LogPath();
  log.WriteLog(1, "a");
  EXPECT_FALSE(Exists(Backup(0)));
  EXPECT_EQ(LogText(), big + "\r\n" + Line("a"));
  fs.refused_rename_from.clear();
  log.WriteLog(1, "b");
  EXPECT_EQ(ReadFile(Backup(0)), big + "\r\n" + Line("a"));
  EXPECT_EQ(LogText(), OpenErrorLine(kNotFound) + Line("b"));
}

TEST_F(WriterFaultTest, OldestBackupThatCannotBeDeletedOverwritesNothing) {
  log.MaxLogSize = 100;
  for (int n = 0; n <= 30; ++n)
    WriteFile(Backup(n), "backup " + std::to_string(n));
  const std::string big(150, 'x');
  WriteFile(LogPath(), big);
  fs.refused_delete = Backup(30);
  log.WriteLog(1, "a");
  for (int n = 0; n <= 30; ++n)
    EXPECT_EQ(ReadFile(Backup(n)), "backup " + std::to_string(n));
  EXPECT_EQ(LogText(), big + "\r\n" + Line("a"));
}

// A log viewer on Windows typically holds the file without sharing deletion, for hours.
TEST_F(WriterFaultTest, LinesPastTheQueueBoundAreCountedAndTheGapMarked) {
  const int kWrites = static_cast<int>(kMaxPendingLines) + 10;
  fs.refuse_open_append = kWrites;
  fs.refuse_create = kWrites;
  for (int i = 1; i <= kWrites; ++i)
    log.WriteLog(1, std::to_string(i));
  EXPECT_EQ(log.PendingCount(), kMaxPendingLines);
  log.WriteLog(1, "back");

  // The queue held the open-error line and the first kMaxPendingLines - 1 data lines.
  std::string expected = "\r\n" + OpenErrorLine("Permission denied");
  for (int i = 1; i < static_cast<int>(kMaxPendingLines); ++i)
    expected += Line(std::to_string(i));
  expected += LostLinesLine(11) + Line("back");
  EXPECT_TRUE(SameBytes(LogText(), expected));
}

TEST_F(WriterFaultTest, GapMarkStaysBeforeLinesQueuedAfterIt) {
  const int kWrites = static_cast<int>(kMaxPendingLines) + 5;
  fs.refuse_open_append = kWrites;
  fs.refuse_create = kWrites;
  for (int i = 1; i <= kWrites; ++i)
    log.WriteLog(1, std::to_string(i));
  // Writing resumes but the disk fills while the queue is half written out.
  fs.writes = 0;
  fs.fail_write_number = 50000;
  log.WriteLog(1, "x");
  log.WriteLog(1, "y");

  std::string expected = "\r\n" + OpenErrorLine("Permission denied");
  for (int i = 1; i < static_cast<int>(kMaxPendingLines); ++i)
    expected += Line(std::to_string(i));
  expected += LostLinesLine(6) + Line("x") + Line("y");
  EXPECT_TRUE(SameBytes(LogText(), expected));
}

TEST_F(WriterFaultTest, QueueIsBoundedByBytesToo) {
  const std::string big(1 << 20, 'm');
  const std::size_t line_size = Line(big).size();
  const std::size_t fits =
      (kMaxPendingBytes - OpenErrorLine("Permission denied").size()) / line_size;
  const int kWrites = static_cast<int>(fits) + 3;
  fs.refuse_open_append = kWrites;
  fs.refuse_create = kWrites;
  for (int i = 0; i < kWrites; ++i)
    log.WriteLog(1, big);
  EXPECT_EQ(log.PendingCount(), fits + 1);
  log.WriteLog(1, "back");
  const std::string text = LogText();
  EXPECT_EQ(text.size(), 2 + OpenErrorLine("Permission denied").size() + fits * line_size +
                             LostLinesLine(3).size() + Line("back").size());
  EXPECT_EQ(text.substr(text.size() - LostLinesLine(3).size() - Line("back").size()),
            LostLinesLine(3) + Line("back"));
}

// Whatever made the append-open fail, the file that is there after all is never emptied.
TEST_F(WriterFaultTest, CreateAfterAFailedAppendOpenKeepsAnExistingFile) {
  WriteFile(LogPath(), "kept\r\n");
  fs.refuse_open_append = 1;
  log.WriteLog(1, "a");
  log.WriteLog(1, "b");
  EXPECT_EQ(LogText(), "kept\r\n\r\n" + OpenErrorLine("Permission denied") + Line("a") + Line("b"));
}

TEST_F(WriterFaultTest, ReadOnlyFolderWithoutTheFileQueuesManyWritesUntilWritable) {
  constexpr int kWrites = 1000;
  fs.read_only_folder = true;
  std::string expected = "\r\n" + OpenErrorLine(kNotFound);
  for (int i = 0; i < kWrites; ++i) {
    log.WriteLog(1, std::to_string(i));
    expected += Line(std::to_string(i));
  }
  EXPECT_FALSE(Exists(LogPath()));
  EXPECT_EQ(log.PendingCount(), kWrites + 1u);
  EXPECT_EQ(log.FileName(), LogPath());
  fs.read_only_folder = false;
  log.WriteLog(1, "writable");
  EXPECT_TRUE(SameBytes(LogText(), expected + Line("writable")));
  EXPECT_EQ(log.PendingCount(), 0u);
}

// The file itself stays writable, so lines go on into it past the limit; rotation waits.
TEST_F(WriterFaultTest, ReadOnlyFolderKeepsAppendingPastTheLimitAndRotatesOnceWritable) {
  constexpr int kWrites = 1000;
  log.MaxLogSize = 100;
  for (int n = 0; n <= 30; ++n)
    WriteFile(Backup(n), "backup " + std::to_string(n));
  std::string expected(150, 'x');
  WriteFile(LogPath(), expected);
  expected += "\r\n";
  fs.read_only_folder = true;
  for (int i = 0; i < kWrites; ++i) {
    log.WriteLog(1, std::to_string(i));
    expected += Line(std::to_string(i));
  }
  EXPECT_TRUE(SameBytes(LogText(), expected));
  for (int n = 0; n <= 30; ++n)
    EXPECT_EQ(ReadFile(Backup(n)), "backup " + std::to_string(n));
  fs.read_only_folder = false;
  log.WriteLog(1, "writable");
  EXPECT_TRUE(SameBytes(ReadFile(Backup(0)), expected));
  for (int n = 1; n <= 30; ++n)
    EXPECT_EQ(ReadFile(Backup(n)), "backup " + std::to_string(n - 1));
  EXPECT_EQ(LogText(), OpenErrorLine(kNotFound) + Line("writable"));
}

struct BurstFaultCase {
  int failing_write;  // counted over the burst: separator, open-error line, five queued, "6"
  int failing_writes;
};

void PrintTo(const BurstFaultCase& c, std::ostream* out) {
  *out << "write " << c.failing_write << " of 8, " << c.failing_writes << " failing";
}

class DiskFullDuringBurstTest : public WriterFaultTest,
                                public ::testing::WithParamInterface<BurstFaultCase> {};

// Five lines queued during an outage go out in one burst when writing works again; the disk
// fills on one of its writes, maybe for a few writes more. Every line still lands once, whole.
TEST_P(DiskFullDuringBurstTest, EveryLineLandsOnceInOrder) {
  fs.refuse_open_append = 5;
  fs.refuse_create = 5;
  for (int i = 1; i <= 5; ++i)
    log.WriteLog(1, std::to_string(i));
  ASSERT_EQ(log.PendingCount(), 6u);
  fs.fail_write_number = GetParam().failing_write;
  fs.fail_write_count = GetParam().failing_writes;
  std::string expected = "\r\n" + OpenErrorLine("Permission denied");
  for (int i = 1; i <= 5; ++i)
    expected += Line(std::to_string(i));
  // Each call with the disk still full stops at its first write.
  for (int i = 6; i <= 6 + GetParam().failing_writes; ++i) {
    log.WriteLog(1, std::to_string(i));
    expected += Line(std::to_string(i));
  }
  EXPECT_EQ(LogText(), expected);
  EXPECT_EQ(log.PendingCount(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Writer, DiskFullDuringBurstTest, ::testing::ValuesIn([] {
                           std::vector<BurstFaultCase> cases;
                           for (int k = 1; k <= 8; ++k) {
                             cases.push_back({k, 1});
                             cases.push_back({k, 3});
                           }
                           return cases;
                         }()));

// A file held elsewhere refuses its rename on every write for a while. The first attempt makes
// room as any rotation does; the later ones must not eat the backups one by one.
TEST_F(WriterFaultTest, RenameRefusedForManyWritesDropsNoMoreThanOneRotationDoes) {
  struct Case {
    const char* what;
    int held;  // suffix of the held file, -1 for the current file
  } const cases[] = {{"current file", -1}, {"suffix 0", 0}, {"suffix 5", 5}, {"suffix 29", 29}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Logger held{Env(fs)};
    held.MaxLogSize = 100;
    held.LogBackupCount = 30;
    held.InitLog(".LOG");
    for (int n = 0; n <= 30; ++n)
      WriteFile(Backup(n), "backup " + std::to_string(n));
    std::string current(150, 'x');
    WriteFile(LogPath(), current);
    current += "\r\n";  // the run's first write
    fs.refused_rename_from = c.held < 0 ? LogPath() : Backup(c.held);
    for (int i = 0; i < 40; ++i) {
      held.WriteLog(1, std::to_string(i));
      current += Line(std::to_string(i));
    }
    EXPECT_TRUE(SameBytes(LogText(), current));
    fs.refused_rename_from.clear();
    held.WriteLog(1, "released");

    EXPECT_TRUE(SameBytes(ReadFile(Backup(0)), current));
    for (int n = 1; n <= 30; ++n)
      EXPECT_EQ(ReadFile(Backup(n)), "backup " + std::to_string(n - 1)) << n;
    EXPECT_EQ(LogText(), OpenErrorLine(kNotFound) + Line("released"));
    for (int n = 0; n <= 31; ++n)
      std::filesystem::remove(Backup(n));
  }
}

}  // namespace
}  // namespace logger::testing
