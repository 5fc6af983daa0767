// The writer in a fresh folder with a small size limit and few backups: after every input each
// line written is in the files exactly once, in order, byte for byte, unless it was rotated past
// the oldest backup; every file starts as a new file does and was rotated only once it was over
// the limit.
//
// With faults switched on, each write may also find the file unopenable, the disk full on one of
// its writes, or every rename refused; the lines then wait and come out later, still each once.
//
// Input: limit byte, mode byte (backup count, faults on), then records of level byte, length
// byte, fault byte when faults are on, message bytes.
#include <stdlib.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "logger/logger.h"
#include "tests/support/faulty_file_system.h"

namespace {

void Check(bool condition) {
  if (!condition)
    std::abort();
}

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

bool Exists(const std::string& path) {
  std::error_code ec;
  return std::filesystem::exists(path, ec);
}

class Folder {
 public:
  Folder() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/kestrune-fuzz-XXXXXX";
    Check(::mkdtemp(pattern.data()) != nullptr);
    path_ = pattern;
  }
  Folder(const Folder&) = delete;
  Folder& operator=(const Folder&) = delete;
  ~Folder() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

os::LocalTime TimeAt(int tick) {
  return {2026,
          1 + tick / 100000 % 12,
          1 + tick / 10000 % 28,
          tick / 3600000 % 24,
          tick / 60000 % 60,
          tick / 1000 % 60,
          tick % 1000};
}

// The real file system with the faults of the current write.
class FaultyFileSystem final : public testing_support::FaultyFileSystem {
 public:
  // Bits: 1 append-open fails, 2 create fails, 4 renames fail, 8 a write fails halfway; which
  // write of the call is in the top three bits.
  std::uint8_t faults = 0;
  int writes = 0;

  FaultyFileSystem() {
    open_append_fails = [this](const std::string&) { return (faults & 1) != 0; };
    create_fails = [this](const std::string&) { return (faults & 2) != 0; };
    rename_fails = [this](const std::string&) { return (faults & 4) != 0; };
    write_fails = [this] { return (faults & 8) != 0 && writes++ == faults >> 5; };
  }
};

// With faults the files hold open-error lines anywhere and sizes follow no rule; what must hold
// is that, without them, the files are a tail of the lines written, each once, in order.
void CheckLinesKept(const std::vector<std::string>& files, const std::vector<std::string>& lines) {
  std::string kept;
  for (const std::string& file : files) {
    std::string_view text = file;
    while (!text.empty()) {
      const std::size_t end = text.find(logger::kLineEnd);
      Check(end != std::string_view::npos);
      const std::string_view line = text.substr(0, end + 2);
      text.remove_prefix(line.size());
      if (line == logger::kLineEnd || line == logger::OpenErrorLine("Permission denied") ||
          line == logger::OpenErrorLine("No such file or directory"))
        continue;
      kept += line;
    }
  }
  std::size_t first = lines.size();
  std::size_t tail_bytes = 0;
  while (first > 0 && tail_bytes < kept.size())
    tail_bytes += lines[--first].size();
  Check(tail_bytes == kept.size());
  std::string_view rest = kept;
  for (std::size_t i = first; i < lines.size(); ++i) {
    Check(rest.substr(0, lines[i].size()) == lines[i]);
    rest.remove_prefix(lines[i].size());
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2)
    return 0;
  const std::int32_t limit = 32 + data[0] * 8;
  const int backups = data[1] % 5;
  const bool with_faults = (data[1] & 0x80) != 0;
  const std::size_t head = with_faults ? 3 : 2;
  data += 2;
  size -= 2;

  Folder folder;
  int tick = 0;
  os::LocalTime last{};
  FaultyFileSystem fs;
  logger::Environment env{&fs, [&] { return last = TimeAt(++tick); },
                          [&] { return folder.path() + "/kestrune"; }};
  logger::Logger log(env);
  log.MaxLogSize = limit;
  log.LogBackupCount = backups;
  log.InitLog(".LOG");

  std::vector<std::string> lines;  // every data line written, in order
  while (size >= head) {
    const auto level = static_cast<logger::Level>(data[0] % 8);
    const std::size_t length = std::min<std::size_t>(data[1], size - head);
    std::string message(reinterpret_cast<const char*>(data) + head, length);
    fs.faults = with_faults ? data[2] : 0;
    fs.writes = 0;
    data += head + length;
    size -= head + length;
    // Faults leave open-error lines anywhere; lines without line ends keep them recognisable.
    if (with_faults)
      std::replace_if(
          message.begin(), message.end(), [](char c) { return c == '\r' || c == '\n'; }, '_');
    if (level >= logger::LevelMarks.size()) {
      bool refused = false;
      try {
        log.WriteLog(level, message);
      } catch (const std::out_of_range&) {
        refused = true;
      }
      Check(refused);
      continue;
    }
    log.WriteLog(level, message);
    lines.push_back(logger::DataLine(level, logger::BuildLine(last, "", message)));
  }
  if (with_faults) {
    // One write without faults brings out whatever waits.
    fs.faults = 0;
    log.WriteLog(1, "end");
    lines.push_back(logger::DataLine(1, logger::BuildLine(last, "", "end")));
  }
  Check(log.PendingCount() == 0);

  const std::string current = log.FileName();
  Check(!Exists(logger::BackupName(current, backups + 1)));
  std::vector<std::string> files;  // oldest first
  for (int n = backups; n >= 0; --n) {
    if (Exists(logger::BackupName(current, n)))
      files.push_back(ReadAll(logger::BackupName(current, n)));
  }
  if (Exists(current))
    files.push_back(ReadAll(current));
  if (lines.empty()) {
    Check(files.empty());
    return 0;
  }
  if (with_faults) {
    CheckLinesKept(files, lines);
    return 0;
  }

  // The lines still kept are a tail of everything written; find where it starts. Every file
  // begins with the open-error line; the run's first one has the separator before it.
  const std::string open_error = logger::OpenErrorLine("No such file or directory");
  const bool separator = files.front().substr(0, 2) == logger::kLineEnd;
  std::size_t body_bytes = 0;
  for (const std::string& file : files) {
    Check(file.size() > open_error.size() + 1);
    body_bytes += file.size() - open_error.size();
  }
  if (separator)
    body_bytes -= 2;
  std::size_t first = lines.size();
  std::size_t tail_bytes = 0;
  while (first > 0 && tail_bytes < body_bytes)
    tail_bytes += lines[--first].size();
  Check(tail_bytes == body_bytes);
  Check(!separator || first == 0);

  std::size_t next = first;
  for (std::size_t f = 0; f < files.size(); ++f) {
    std::string_view text = files[f];
    if (f == 0 && separator)
      text.remove_prefix(2);
    Check(text.substr(0, open_error.size()) == open_error);
    text.remove_prefix(open_error.size());
    Check(!text.empty());
    const std::size_t first_in_file = next;
    while (!text.empty()) {
      Check(next < lines.size());
      Check(text.substr(0, lines[next].size()) == lines[next]);
      text.remove_prefix(lines[next].size());
      ++next;
    }
    // The size check comes before each write: a file was at most the limit before its last
    // line went in (unless that line created it), and was rotated only once past the limit.
    if (next - first_in_file > 1)
      Check(files[f].size() - lines[next - 1].size() <= static_cast<std::size_t>(limit));
    if (f + 1 < files.size())
      Check(files[f].size() > static_cast<std::size_t>(limit));
  }
  Check(next == lines.size());
  // Lines are lost only by rotating past the oldest backup.
  if (first > 0)
    Check(files.size() == static_cast<std::size_t>(backups) + 2);
  return 0;
}
