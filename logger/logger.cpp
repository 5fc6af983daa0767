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
  const std::string line = BuildLine(env_.clock(), LogTag, message);
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
  const std::string_view key = std::string_view(line).substr(kStampLength);
  {
    std::lock_guard lock(LogLock);
    bool found = false;
    for (const std::string& entry : ErrorList) {
      if (std::string_view(entry).substr(kStampLength) == key) {
        found = true;
        break;
      }
    }
    if (!found)
      ErrorList.push_back(line);
  }
  ErrorEvent.Set();
}

void Logger::RotateLog(std::int32_t limit) {
  os::FileSystem& fs = *env_.fs;
  const auto size = fs.EntrySize(LogFileName);
  if (!size || static_cast<std::int64_t>(*size) <= static_cast<std::int64_t>(limit))
    return;
  // The current file is moved aside before the older ones shift. While another program holds it
  // (on Windows, any reader that does not share deletion) nothing moves, so retrying on every
  // line cannot walk the chain and delete one older file per line.
  const std::string aside = LogFileName + ".rotating";
  if (!fs.Rename(LogFileName, aside))
    return;
  fs.Delete(BackupName(LogFileName, LogBackupCount));
  for (int n = LogBackupCount - 1; n >= 0; --n)
    fs.Rename(BackupName(LogFileName, n), BackupName(LogFileName, n + 1));
  // A chain blocked at suffix 0 sends the file back to grow until a later line rotates it.
  if (!fs.Rename(aside, BackupName(LogFileName, 0)))
    fs.Rename(aside, LogFileName);
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
  RotateLog(MaxLogSize);

  os::FileSystem& fs = *env_.fs;
  os::OpenResult opened = fs.OpenAppend(LogFileName);
  if (!opened.file) {
    if (!open_error_queued_) {
      QueueLocked(OpenErrorLine(opened.error));
      open_error_queued_ = true;
    }
    opened = fs.Create(LogFileName);
    if (!opened.file) {
      QueueLocked(std::move(data_line));
      return;
    }
  }
  open_error_queued_ = false;
  os::File& file = *opened.file;

  if (FirstWrite) {
    if (!AppendWhole(file, kLineEnd)) {
      QueueLocked(std::move(data_line));
      return;
    }
    FirstWrite = false;
  }
  while (!PendingLines.empty()) {
    if (!AppendWhole(file, PendingLines.front())) {
      QueueLocked(std::move(data_line));
      return;
    }
    ForgetFirstPendingLocked();
  }
  if (dropped_lines_ > 0) {
    if (!AppendWhole(file, LostLinesLine(dropped_lines_))) {
      QueueLocked(std::move(data_line));
      return;
    }
    dropped_lines_ = 0;
  }
  if (!AppendWhole(file, data_line))
    QueueLocked(std::move(data_line));
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
