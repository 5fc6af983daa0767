#include "logger/format.h"

#include <stdexcept>

#include "os/path.h"

namespace logger {
namespace {

void AppendTwoDigits(std::string& out, int v) {
  out += static_cast<char>('0' + (v / 10) % 10);
  out += static_cast<char>('0' + v % 10);
}

void AppendTimeStamp(std::string& s, const os::LocalTime& t) {
  AppendTwoDigits(s, t.day);
  s += '.';
  AppendTwoDigits(s, t.month);
  s += ' ';
  AppendTwoDigits(s, t.hour);
  s += ':';
  AppendTwoDigits(s, t.minute);
  s += ':';
  AppendTwoDigits(s, t.second);
  s += '.';
  s += static_cast<char>('0' + (t.millisecond / 100) % 10);
  AppendTwoDigits(s, t.millisecond % 100);
}

}  // namespace

std::string FormatTimeStamp(const os::LocalTime& t) {
  std::string s;
  s.reserve(kStampLength);
  AppendTimeStamp(s, t);
  return s;
}

std::string BuildLine(const os::LocalTime& t, std::string_view tag, std::string_view message) {
  std::string line;
  line.reserve(kStampLength + 4 + tag.size() + message.size());
  line += FormatTimeStamp(t);
  line += " [";
  line += tag;
  line += "] ";
  line += message;
  return line;
}

std::string DataLine(Level level, std::string_view line) {
  if (level >= LevelMarks.size())
    throw std::out_of_range("log level out of range");
  std::string out;
  out.reserve(2 + line.size() + kLineEnd.size());
  out += LevelMarks[level];
  out += ' ';
  out += line;
  out += kLineEnd;
  return out;
}

void AssignDataLine(std::string& out, Level level, const os::LocalTime& t, std::string_view tag,
                    std::string_view message) {
  if (level >= LevelMarks.size())
    throw std::out_of_range("log level out of range");
  out.clear();
  out.reserve(2 + kStampLength + 4 + tag.size() + message.size() + kLineEnd.size());
  out += LevelMarks[level];
  out += ' ';
  AppendTimeStamp(out, t);
  out += " [";
  out += tag;
  out += "] ";
  out += message;
  out += kLineEnd;
}

bool IsDataLine(std::string_view line) {
  return !line.empty() && LevelMarks.find(line.front()) != std::string_view::npos;
}

std::string OpenErrorLine(std::string_view error_text) {
  std::string out(kOpenErrorText);
  out += error_text;
  out += kLineEnd;
  return out;
}

std::string LostLinesLine(std::uint64_t count) {
  std::string out(kLostLinesText);
  out += std::to_string(count);
  out += kLineEnd;
  return out;
}

std::string BackupName(const std::string& file, int n) {
  return file + "." + std::to_string(n);
}

std::string ChangeFileExt(const std::string& path, std::string_view ext) {
  for (std::size_t i = path.size(); i-- > 0;) {
    if (path[i] == '.')
      return path.substr(0, i) + std::string(ext);
    if (os::IsPathSeparator(path[i]))
      break;
  }
  return path + std::string(ext);
}

std::string DirectoryOf(const std::string& path) {
  for (std::size_t i = path.size(); i-- > 0;) {
    if (os::IsPathSeparator(path[i]))
      return path.substr(0, i);
  }
  return {};
}

}  // namespace logger
