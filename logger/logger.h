#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
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
  // The same, stamped with the given time rather than now (a datagram's arrival, for one).
  void WriteLog(Level level, std::string_view message, const os::LocalTime& stamp);
  // Moves the file to suffix 0 once it is larger than limit. Runs under LogLock.
  void RotateLog(std::int32_t limit);

  std::int32_t MaxLogSize = 20971520;
  std::int32_t LogBackupCount = 20;
  std::string LogTag;

  std::string FileName();
  std::vector<std::string> Errors();
  os::AutoResetEvent& ErrorSignal() { return ErrorEvent; }
  std::size_t PendingCount();
  // Data lines that have reached the file in this run, whether at once or from the queue.
  std::uint64_t LinesWritten();

  // Writes several lines during one open of the file, for when several are waiting at once.
  // Holds LogLock from construction to destruction and closes the file before releasing it.
  // The file bytes are exactly those of the same WriteLog calls one by one: before every line
  // the size is checked against MaxLogSize (tracked from the open rather than looked up) and
  // the file closed ahead of a rotation. Data lines are gathered and written together, at the
  // latest when the burst ends; should that write fail, it is cut back and the lines written
  // one at a time as single writes would, so the ones that fit stay and the rest are handled
  // exactly as single writes would handle them. Keep a burst short: nothing else can write
  // meanwhile, and a WriteLog on the burst's own thread would wait for it forever.
  class Burst {
   public:
    explicit Burst(Logger& log);
    Burst(const Burst&) = delete;
    Burst& operator=(const Burst&) = delete;
    ~Burst();

    void WriteLog(Level level, std::string_view message, const os::LocalTime& stamp);

   private:
    void WriteFileLocked();
    void FlushLocked();
    void CloseLocked();

    Logger& log_;
    std::unique_lock<std::mutex> lock_;
    std::unique_ptr<os::File> file_;
    std::uint64_t size_ = 0;  // of the file, gathered lines included
    bool size_known_ = false;
    std::string line_;
    std::string gathered_;                // data lines not yet written
    std::vector<std::size_t> line_ends_;  // where each gathered line ends
  };

 private:
  void RegisterError(const std::string& line);
  void RegisterErrorLocked(const std::string& line);
  void WriteFileLocked(std::string data_line);
  // Rotates when due, then opens the file for appending, or creates it after queuing the
  // open-error line. Null when both failed; the caller then queues its data line.
  std::unique_ptr<os::File> OpenLocked();
  // Separator, pending lines, lost-lines mark and data line; false when a write failed, with
  // the data line queued. written grows by every byte that stayed in the file.
  bool WriteLinesLocked(os::File& file, std::string_view data_line, std::uint64_t& written);
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
  std::uint64_t lines_written_ = 0;
};

// The process-wide writer.
Logger& Log();
void InitLog(std::string_view a);
void WriteLog(Level level, std::string_view message);

}  // namespace logger
