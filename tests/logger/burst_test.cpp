// Writing several lines during one open must leave exactly the files that writing them one
// call at a time leaves.
#include <filesystem>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "tests/logger/writer_fixture.h"

namespace logger::testing {
namespace {

using testing_support::ReadFile;
using testing_support::TempDir;
using testing_support::WriteFile;

// The real file system with outages a test switches on and off, and a watch on the writer's
// own handles: a rename while one of them is open would break on some systems.
class OutageFileSystem final : public os::FileSystem {
 public:
  bool refuse_opens = false;  // both open for appending and create fail
  // Room left on the disk: a write stores what fits and fails; cutting or deleting gives it back.
  std::optional<std::uint64_t> free_space;
  int open_files = 0;
  int opens = 0;
  int renames_with_open_file = 0;

  std::optional<std::uint64_t> EntrySize(const std::string& path) override {
    return real_.EntrySize(path);
  }
  os::OpenResult OpenAppend(const std::string& path) override {
    ++opens;
    if (refuse_opens)
      return {nullptr, "Permission denied"};
    return Wrap(real_.OpenAppend(path));
  }
  os::OpenResult Create(const std::string& path) override {
    if (refuse_opens)
      return {nullptr, "Permission denied"};
    GiveBack(real_.EntrySize(path).value_or(0));
    return Wrap(real_.Create(path));
  }
  bool Rename(const std::string& from, const std::string& to) override {
    if (open_files > 0)
      ++renames_with_open_file;
    return real_.Rename(from, to);
  }
  bool Delete(const std::string& path) override {
    const auto size = real_.EntrySize(path);
    if (!real_.Delete(path))
      return false;
    GiveBack(size.value_or(0));
    return true;
  }
  bool CreateDirectories(const std::string& dir) override { return real_.CreateDirectories(dir); }

 private:
  class File final : public os::File {
   public:
    File(OutageFileSystem& fs, std::unique_ptr<os::File> real) : fs_(fs), real_(std::move(real)) {
      ++fs_.open_files;
    }
    ~File() override { --fs_.open_files; }
    WriteResult Write(std::string_view bytes) override {
      if (!fs_.free_space || *fs_.free_space >= bytes.size()) {
        if (fs_.free_space)
          *fs_.free_space -= bytes.size();
        return real_->Write(bytes);
      }
      const WriteResult part = real_->Write(bytes.substr(0, *fs_.free_space));
      *fs_.free_space -= part.written;
      return {false, part.written};
    }
    std::optional<std::uint64_t> Size() override { return real_->Size(); }
    bool Truncate(std::uint64_t length) override {
      const std::uint64_t before = real_->Size().value_or(length);
      if (!real_->Truncate(length))
        return false;
      fs_.GiveBack(before > length ? before - length : 0);
      return true;
    }

   private:
    OutageFileSystem& fs_;
    std::unique_ptr<os::File> real_;
  };

  void GiveBack(std::uint64_t bytes) {
    if (free_space)
      *free_space += bytes;
  }

  os::OpenResult Wrap(os::OpenResult r) {
    if (r.file)
      r.file = std::make_unique<File>(*this, std::move(r.file));
    return r;
  }

  os::FileSystem& real_ = os::RealFileSystem();
};

// One writer in a folder of its own.
struct Side {
  explicit Side(std::int32_t max_size) {
    log.MaxLogSize = max_size;
    log.LogBackupCount = 3;
  }
  std::map<std::string, std::string> Files() const {
    std::map<std::string, std::string> files;
    for (const auto& entry : std::filesystem::directory_iterator(dir.path()))
      files[entry.path().filename().string()] = ReadFile(entry.path().string());
    return files;
  }

  TempDir dir;
  OutageFileSystem fs;
  Logger log{{&fs, os::LocalNow, [this] { return dir / "kestrune"; }}};
};

// Outages change only between bursts: a file already open keeps working when opens start to
// fail, and the disk fills up while lines are written, not by magic.
struct Entry {
  Level level;
  std::string message;
  os::LocalTime stamp;
  bool starts_burst;
  bool ends_burst;
  bool refuse_opens;
  std::optional<std::uint64_t> free_space;  // set as the burst starts
};

// A reproducible mix: messages of every length up to past the size limit, CR LF and NUL
// inside, level-3 repeats, stamps that cross seconds, bursts of 1 to 40 lines, outages.
std::vector<Entry> Script(unsigned seed, int count, int longest, bool with_outages) {
  std::mt19937 rng(seed);
  auto below = [&](int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); };
  std::vector<Entry> script;
  os::LocalTime t{2026, 12, 31, 23, 59, 58, 990};
  bool refuse = false;
  int burst_left = 0;
  for (int i = 0; i < count; ++i) {
    t.millisecond += below(7);
    if (t.millisecond >= 1000) {
      t.millisecond -= 1000;
      t.second = (t.second + 1) % 60;
    }
    std::string message = "#" + std::to_string(i) + " ";
    message.append(static_cast<std::size_t>(below(4) == 0 ? below(longest) : below(40)),
                   static_cast<char>('a' + i % 26));
    if (below(10) == 0)
      message += std::string("\r\n\0tail", 7);
    const Level level = below(8) == 0 ? 3 : 1;
    const bool starts_burst = burst_left == 0;
    std::optional<std::uint64_t> free_space;
    if (starts_burst) {
      burst_left = 1 + (below(3) == 0 ? 0 : below(40));
      if (with_outages && below(6) == 0)
        refuse = !refuse;
      if (with_outages && below(4) == 0)
        free_space = static_cast<std::uint64_t>(below(3000));
    }
    const bool ends_burst = --burst_left == 0;
    script.push_back(Entry{level, level == 3 ? "repeat" : message, t, starts_burst, ends_burst,
                           refuse, free_space});
  }
  return script;
}

struct EquivalenceCase {
  const char* name;
  unsigned seed;
  std::int32_t max_size;
  int longest;  // message
  bool existing_file;
  bool with_outages;
};

void PrintTo(const EquivalenceCase& c, std::ostream* out) {
  *out << c.name;
}

class BurstEquivalenceTest : public ::testing::TestWithParam<EquivalenceCase> {};

TEST_P(BurstEquivalenceTest, FilesAreByteIdenticalToOneCallPerLine) {
  const EquivalenceCase& c = GetParam();
  const std::vector<Entry> script = Script(c.seed, 1500, c.longest, c.with_outages);
  Side single(c.max_size);
  Side burst(c.max_size);
  for (Side* side : {&single, &burst}) {
    if (c.existing_file)
      WriteFile(side->dir / "kestrune.LOG", "earlier run\r\n");
    side->log.InitLog(".LOG");
  }

  for (const Entry& e : script) {
    if (e.starts_burst) {
      single.fs.refuse_opens = e.refuse_opens;
      single.fs.free_space = e.free_space;
    }
    single.log.WriteLog(e.level, e.message, e.stamp);
  }
  std::optional<Logger::Burst> open_burst;
  for (const Entry& e : script) {
    if (e.starts_burst) {
      burst.fs.refuse_opens = e.refuse_opens;
      burst.fs.free_space = e.free_space;
      open_burst.emplace(burst.log);
    }
    open_burst->WriteLog(e.level, e.message, e.stamp);
    if (e.ends_burst)
      open_burst.reset();
  }
  open_burst.reset();

  const auto expected = single.Files();
  const auto actual = burst.Files();
  ASSERT_GT(expected.size(), 2u) << "the script should rotate";
  ASSERT_EQ(actual.size(), expected.size());
  for (const auto& [name, bytes] : expected) {
    ASSERT_TRUE(actual.contains(name)) << name;
    EXPECT_TRUE(SameBytes(actual.at(name), bytes)) << name;
  }
  EXPECT_EQ(burst.log.PendingCount(), single.log.PendingCount());
  EXPECT_EQ(burst.log.LinesWritten(), single.log.LinesWritten());
  EXPECT_EQ(burst.log.Errors(), single.log.Errors());
  EXPECT_EQ(burst.fs.renames_with_open_file, 0);
  EXPECT_EQ(burst.fs.open_files, 0);
  if (c.max_size > 100) {  // below that every line rotates, and so reopens
    EXPECT_LT(burst.fs.opens, single.fs.opens) << "bursts should share opens";
  }
}

INSTANTIATE_TEST_SUITE_P(
    Writer, BurstEquivalenceTest,
    ::testing::Values(EquivalenceCase{"FirstRunSmallLimit", 1, 2000, 400, false, false},
                      EquivalenceCase{"SecondRunTinyLimit", 2, 300, 400, true, false},
                      EquivalenceCase{"LongLinesPastTheGatherLimit", 5, 400000, 8000, false, false},
                      EquivalenceCase{"OutagesAndDiskFull", 3, 1500, 400, false, true},
                      EquivalenceCase{"OutagesLimitBelowOneLine", 4, 10, 400, true, true},
                      EquivalenceCase{"OutagesLongLines", 6, 20000, 4000, false, true}),
    [](const auto& param_info) { return param_info.param.name; });

TEST_F(WriterTest, BurstHoldsOneOpenAndClosesWhenItEnds) {
  OutageFileSystem fs;
  Logger log(Env(fs));
  log.InitLog(".LOG");
  {
    Logger::Burst burst(log);
    for (const char* m : {"a", "b", "c"})
      burst.WriteLog(1, m, now);
    EXPECT_EQ(fs.open_files, 1);
  }
  EXPECT_EQ(fs.open_files, 0);
  EXPECT_EQ(fs.opens, 1);
  EXPECT_EQ(LogText(), "\r\n" + OpenErrorLine(kNotFound) + Line("a") + Line("b") + Line("c"));
  EXPECT_EQ(log.LinesWritten(), 3u);
}

}  // namespace
}  // namespace logger::testing
