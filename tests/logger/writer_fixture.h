#pragma once

#include <gtest/gtest.h>

#include <string>

#include "logger/logger.h"
#include "os/fs.h"
#include "tests/support/temp_dir.h"

namespace logger::testing {

// A writer whose executable lives in a fresh folder and whose clock the test sets.
class WriterTest : public ::testing::Test {
 protected:
  Environment Env(os::FileSystem& fs = os::RealFileSystem()) {
    return {&fs, [this] { return now; }, [this] { return dir / "kestrune"; }};
  }
  std::string LogPath() const { return dir / "kestrune.LOG"; }
  std::string LogText() const { return testing_support::ReadFile(LogPath()); }
  std::string Line(std::string_view message, Level level = 1) const {
    return DataLine(level, BuildLine(now, "", message));
  }

  testing_support::TempDir dir;
  os::LocalTime now{2026, 3, 21, 8, 2, 8, 512};
};

// For large files: gtest's diff of two big texts takes memory quadratic in their length.
inline ::testing::AssertionResult SameBytes(const std::string& actual,
                                            const std::string& expected) {
  if (actual == expected)
    return ::testing::AssertionSuccess();
  std::size_t i = 0;
  while (i < actual.size() && i < expected.size() && actual[i] == expected[i])
    ++i;
  const std::size_t from = i < 40 ? 0 : i - 40;
  return ::testing::AssertionFailure()
         << "sizes " << actual.size() << " and " << expected.size() << ", first difference at " << i
         << "\n  actual:   ..." << ::testing::PrintToString(actual.substr(from, 80))
         << "\n  expected: ..." << ::testing::PrintToString(expected.substr(from, 80));
}

inline const std::string kNotFound = testing_support::FileNotFoundText();

}  // namespace logger::testing
