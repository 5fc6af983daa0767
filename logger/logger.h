#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "logger/format.h"
#include "os/fs.h"
#include "os/local_time.h"
#include "os/sync.h"

namespace logger {

// Bounds of PendingLines while the file cannot be written; past them lines are counted, not kept.
inline constexpr std::size_t kMaxPendingLines = 100000;
inline constexpr std::size_t kMaxPendingBytes = 64u << 20;

// What the writer takes from the platform; tests substitute any part.
struct Environment {
  os::FileSystem* fs;
  std::function<os::LocalTime()> clock;
  std::function<std::string()> executable_path;
};
Environment RealEnvironment();

// The log file writer. Settings are assigned before InitLog; after it, WriteLog may be called
// from any thread.
class Logger {
 public:
  Logger();
  explicit Logger(Environment env);
  Logger(const Logger&) = delete;
  Logger& operator=(const Logger&) = delete;

  // A longer than 10 characters is a full path, otherwise an extension for the executable's path.
  void InitLog(std::string_view a);
  // No failure of the file step reaches the caller.
  void WriteLog(Level level, std::string_view message);
  // Moves the file to suffix 0 once it is larger than limit. Runs under LogLock.
  void RotateLog(std::int32_t limit);

  std::int32_t MaxLogSize = 20971520;
  std::int32_t LogBackupCount = 20;
  std::string LogTag;

  std::string FileName();
  std::vector<std::string> Errors();
  os::AutoResetEvent& ErrorSignal() { return ErrorEvent; }
  std::size_t PendingCount();

 private:
  void RegisterError(const std::string& line);
  void WriteFileLocked(std::string data_line);
  void QueueLocked(std::string line);
  void ForgetFirstPendingLocked();

  Environment env_;

  std::string LogFileName;
  std::deque<std::string> PendingLines;
  std::vector<std::string> ErrorList;
  os::AutoResetEvent ErrorEvent;
  std::mutex LogLock;
  bool FirstWrite = true;

  std::size_t pending_bytes_ = 0;
  std::uint64_t dropped_lines_ = 0;  // lines lost since the last queued one
  bool open_error_queued_ = false;   // one open-error line per outage
};

// The process-wide writer.
Logger& Log();
void InitLog(std::string_view a);
void WriteLog(Level level, std::string_view message);

}  // namespace logger
