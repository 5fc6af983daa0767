#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "os/local_time.h"

namespace logger {

using Level = std::uint8_t;

// Marker character of each level, indexed by level 0 to 6.
inline constexpr std::string_view LevelMarks = "-+?!#$^";
inline constexpr std::size_t kStampLength = 18;
inline constexpr std::string_view kLineEnd = "\r\n";

// "Ошибка открытия файла:" in Windows-1251.
inline constexpr std::string_view kOpenErrorText =
    "\xce\xf8\xe8\xe1\xea\xe0\x20\xee\xf2\xea\xf0\xfb\xf2\xe8\xff\x20\xf4\xe0\xe9\xeb\xe0\x3a";
// "Потеряно строк: " in Windows-1251.
inline constexpr std::string_view kLostLinesText =
    "\xcf\xee\xf2\xe5\xf0\xff\xed\xee\x20\xf1\xf2\xf0\xee\xea\x3a\x20";

// "dd.mm hh:mm:ss.zzz"
std::string FormatTimeStamp(const os::LocalTime& t);

// Time stamp, " [", tag, "] ", message: the part of a data line after the marker.
std::string BuildLine(const os::LocalTime& t, std::string_view tag, std::string_view message);

// Marker, space, line, CR LF. Throws std::out_of_range for a level past the marker table.
std::string DataLine(Level level, std::string_view line);

// Replaces out with DataLine(level, BuildLine(t, tag, message)), reusing out's storage.
void AssignDataLine(std::string& out, Level level, const os::LocalTime& t, std::string_view tag,
                    std::string_view message);

// True for a line that DataLine built, as opposed to an open-error or lost-lines line.
bool IsDataLine(std::string_view line);

std::string OpenErrorLine(std::string_view error_text);
std::string LostLinesLine(std::uint64_t count);

// Name of the rotated file with suffix n.
std::string BackupName(const std::string& file, int n);

// Replaces the extension of path's file name (from its last dot on) with ext, or appends ext.
std::string ChangeFileExt(const std::string& path, std::string_view ext);

// The directory part of path without its trailing separator; empty when path has none.
std::string DirectoryOf(const std::string& path);

}  // namespace logger
