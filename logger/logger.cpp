#include "logger/logger.h"

#include "os/path.h"

namespace logger {

Environment RealEnvironment() {
  return {&os::RealFileSystem(), os::LocalNow, os::ExecutablePath};
}

Logger::Logger() : Logger(RealEnvironment()) {}

Logger::Logger(Environment env) : env_(std::move(env)) {}

void Logger::InitLog(std::string_view a) {
  std::lock_guard lock(LogLock);
  if (a.size() > 10) {
    LogFileName = std::string(a);
    const std::string dir = DirectoryOf(LogFileName);
    if (!dir.empty())
      env_.fs->CreateDirectories(dir);
  } else {
    LogFileName = ChangeFileExt(env_.executable_path(), a);
  }
  PendingLines.clear();
  ErrorList.clear();
  pending_bytes_ = 0;
  dropped_lines_ = 0;
  open_error_queued_ = false;
}

void Logger::WriteLog(Level level, std::string_view message) {
  WriteLog(level, message, env_.clock());
}

void Logger::WriteLog(Level level, std::string_view message, const os::LocalTime& stamp) {
  const std::string line = BuildLine(stamp, LogTag, message);
  std::string data_line = DataLine(level, line);
  if (level == 3)
    RegisterError(line);

  std::lock_guard lock(LogLock);
  if (LogFileName.empty())
    return;
  try {
    WriteFileLocked(std::move(data_line));
  } catch (...) {
    // Only memory exhaustion gets here; the line is given up rather than the listener.
  }
}

void Logger::RegisterError(const std::string& line) {
  {
    std::lock_guard lock(LogLock);
    RegisterErrorLocked(line);
  }
  ErrorEvent.Set();
}

void Logger::RegisterErrorLocked(const std::string& line) {
  const std::string_view key = std::string_view(line).substr(kStampLength);
  for (const std::string& entry : ErrorList) {
    if (std::string_view(entry).substr(kStampLength) == key)
      return;
  }
  ErrorList.push_back(line);
}

void Logger::RotateLog(std::int32_t limit) {
  os::FileSystem& fs = *env_.fs;
  const auto size = fs.EntrySize(LogFileName);
  if (!size || static_cast<std::int64_t>(*size) <= static_cast<std::int64_t>(limit))
    return;
  // The older files shift up only as far as the first free suffix, and the oldest goes only when
  // none is free. Otherwise a file held elsewhere, whose rename fails on every write, would cost
  // one backup per write until none were left.
  int free_suffix = 0;
  while (free_suffix < LogBackupCount && fs.EntrySize(BackupName(LogFileName, free_suffix)))
    ++free_suffix;
  if (free_suffix == LogBackupCount)
    fs.Delete(BackupName(LogFileName, LogBackupCount));
  for (int n = free_suffix - 1; n >= 0; --n)
    fs.Rename(BackupName(LogFileName, n), BackupName(LogFileName, n + 1));
  fs.Rename(LogFileName, BackupName(LogFileName, 0));
}

namespace {

// Writes all of bytes or, failing that, cuts the file back so no torn line stays.
bool AppendWhole(os::File& file, std::string_view bytes) {
  const os::File::WriteResult r = file.Write(bytes);
  if (r.ok)
    return true;
  if (r.written > 0) {
    if (const auto size = file.Size(); size && *size >= r.written)
      file.Truncate(*size - r.written);
  }
  return false;
}

}  // namespace

// Runs under LogLock. A line leaves the queue, or counts as written, only once all its bytes
// are in the file; whatever could not be written is queued for the next call.
void Logger::WriteFileLocked(std::string data_line) {
  std::unique_ptr<os::File> file = OpenLocked();
  if (!file) {
    QueueLocked(std::move(data_line));
    return;
  }
  std::uint64_t written = 0;
  WriteLinesLocked(*file, data_line, written);
}

std::unique_ptr<os::File> Logger::OpenLocked() {
  RotateLog(MaxLogSize);

  os::FileSystem& fs = *env_.fs;
  os::OpenResult opened = fs.OpenAppend(LogFileName);
  if (!opened.file) {
    if (!open_error_queued_) {
      QueueLocked(OpenErrorLine(opened.error));
      open_error_queued_ = true;
    }
    opened = fs.Create(LogFileName);
    if (!opened.file)
      return nullptr;
  }
  open_error_queued_ = false;
  return std::move(opened.file);
}

bool Logger::WriteLinesLocked(os::File& file, std::string_view data_line, std::uint64_t& written) {
  const auto append = [&](std::string_view bytes) {
    if (!AppendWhole(file, bytes))
      return false;
    written += bytes.size();
    return true;
  };
  const auto give_up = [&] {
    QueueLocked(std::string(data_line));
    return false;
  };

  if (FirstWrite) {
    if (!append(kLineEnd))
      return give_up();
    FirstWrite = false;
  }
  while (!PendingLines.empty()) {
    if (!append(PendingLines.front()))
      return give_up();
    if (IsDataLine(PendingLines.front()))
      ++lines_written_;
    ForgetFirstPendingLocked();
  }
  if (dropped_lines_ > 0) {
    if (!append(LostLinesLine(dropped_lines_)))
      return give_up();
    dropped_lines_ = 0;
  }
  if (!append(data_line))
    return give_up();
  ++lines_written_;
  return true;
}

namespace {

// Gathered lines are written once this much is waiting, and always when the burst ends.
constexpr std::size_t kMaxGathered = 64u << 10;

}  // namespace

Logger::Burst::Burst(Logger& log) : log_(log), lock_(log.LogLock) {}

Logger::Burst::~Burst() {
  try {
    CloseLocked();
  } catch (...) {
    // Memory exhaustion while queuing what could not be written; the file is closed regardless.
  }
  file_.reset();
}

void Logger::Burst::WriteLog(Level level, std::string_view message, const os::LocalTime& stamp) {
  AssignDataLine(line_, level, stamp, log_.LogTag, message);
  if (level == 3) {
    // The register keys on the line without its marker and line end, as a single write does.
    log_.RegisterErrorLocked(line_.substr(2, line_.size() - 2 - kLineEnd.size()));
    log_.ErrorEvent.Set();
  }
  if (log_.LogFileName.empty())
    return;
  try {
    WriteFileLocked();
  } catch (...) {
    // As in a single write: only memory exhaustion gets here, and the line is given up.
    gathered_.clear();
    line_ends_.clear();
    file_.reset();
  }
}

void Logger::Burst::WriteFileLocked() {
  if (file_ && (!size_known_ ||
                static_cast<std::int64_t>(size_) > static_cast<std::int64_t>(log_.MaxLogSize))) {
    CloseLocked();  // a rotation renames, which must never meet our own open handle
  }
  if (!file_) {
    file_ = log_.OpenLocked();
    if (!file_) {
      log_.QueueLocked(line_);
      return;
    }
    const auto size = file_->Size();
    size_known_ = size.has_value();
    size_ = size.value_or(0);
  }
  // With nothing to go before it, a data line only needs appending: gather it.
  if (!log_.FirstWrite && log_.PendingLines.empty() && log_.dropped_lines_ == 0) {
    gathered_ += line_;
    line_ends_.push_back(gathered_.size());
    size_ += line_.size();
    if (gathered_.size() >= kMaxGathered)
      FlushLocked();
    return;
  }
  FlushLocked();
  if (!file_) {
    log_.WriteFileLocked(line_);
    return;
  }
  if (!log_.WriteLinesLocked(*file_, line_, size_))
    file_.reset();
}

void Logger::Burst::FlushLocked() {
  if (gathered_.empty())
    return;
  const os::File::WriteResult r = file_->Write(gathered_);
  if (r.ok) {
    log_.lines_written_ += line_ends_.size();
    gathered_.clear();
    line_ends_.clear();
    return;
  }
  if (r.written > 0) {
    if (const auto size = file_->Size(); size && *size >= r.written)
      file_->Truncate(*size - r.written);
  }
  // One line at a time now: those that fit stay; from the first that does not, each line takes
  // the single-write path, which queues it or, if things change, rotates and writes it.
  std::string gathered = std::move(gathered_);
  const std::vector<std::size_t> ends = std::move(line_ends_);
  gathered_.clear();
  line_ends_.clear();
  std::size_t from = 0;
  for (const std::size_t end : ends) {
    const std::string_view line = std::string_view(gathered).substr(from, end - from);
    from = end;
    if (file_) {
      if (AppendWhole(*file_, line)) {
        ++log_.lines_written_;
        continue;
      }
      file_.reset();
      log_.QueueLocked(std::string(line));
      continue;
    }
    log_.WriteFileLocked(std::string(line));
  }
}

void Logger::Burst::CloseLocked() {
  if (file_)
    FlushLocked();
  file_.reset();
}

void Logger::QueueLocked(std::string line) {
  if (PendingLines.size() >= kMaxPendingLines || pending_bytes_ + line.size() > kMaxPendingBytes) {
    ++dropped_lines_;
    return;
  }
  if (dropped_lines_ > 0) {
    // The gap is marked where it happened, ahead of the lines that came after it.
    std::string lost = LostLinesLine(dropped_lines_);
    pending_bytes_ += lost.size();
    PendingLines.push_back(std::move(lost));
    dropped_lines_ = 0;
  }
  pending_bytes_ += line.size();
  PendingLines.push_back(std::move(line));
}

void Logger::ForgetFirstPendingLocked() {
  pending_bytes_ -= PendingLines.front().size();
  PendingLines.pop_front();
}

std::string Logger::FileName() {
  std::lock_guard lock(LogLock);
  return LogFileName;
}

std::vector<std::string> Logger::Errors() {
  std::lock_guard lock(LogLock);
  return ErrorList;
}

std::size_t Logger::PendingCount() {
  std::lock_guard lock(LogLock);
  return PendingLines.size();
}

std::uint64_t Logger::LinesWritten() {
  std::lock_guard lock(LogLock);
  return lines_written_;
}

Logger& Log() {
  static Logger instance;
  return instance;
}

void InitLog(std::string_view a) {
  Log().InitLog(a);
}

void WriteLog(Level level, std::string_view message) {
  Log().WriteLog(level, message);
}

}  // namespace logger
