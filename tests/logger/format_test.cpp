#include "logger/format.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

namespace logger {
namespace {

using namespace std::string_literals;

struct StampCase {
  os::LocalTime time;
  std::string expected;
};

TEST(FormatTimeStamp, AlwaysEighteenCharactersDayFirst) {
  const StampCase cases[] = {
      {{2026, 3, 21, 8, 2, 8, 512}, "21.03 08:02:08.512"},
      {{2026, 1, 1, 0, 0, 0, 0}, "01.01 00:00:00.000"},
      {{2026, 12, 31, 23, 59, 59, 999}, "31.12 23:59:59.999"},
      {{2024, 2, 29, 12, 0, 0, 7}, "29.02 12:00:00.007"},
      {{2026, 4, 30, 9, 5, 3, 70}, "30.04 09:05:03.070"},
  };
  for (const auto& c : cases) {
    const std::string stamp = FormatTimeStamp(c.time);
    EXPECT_EQ(stamp, c.expected);
    EXPECT_EQ(stamp.size(), kStampLength);
  }
}

struct LineCase {
  Level level;
  std::string tag;
  std::string message;
  std::string expected;
};

TEST(DataLine, MarkerSpaceStampTagMessageCrLf) {
  const os::LocalTime t{2026, 3, 21, 8, 2, 8, 512};
  const LineCase cases[] = {
      {0, "", "a", "- 21.03 08:02:08.512 [] a\r\n"},
      {1, "", "hello", "+ 21.03 08:02:08.512 [] hello\r\n"},
      {2, "", "x", "? 21.03 08:02:08.512 [] x\r\n"},
      {3, "", "x", "! 21.03 08:02:08.512 [] x\r\n"},
      {4, "", "x", "# 21.03 08:02:08.512 [] x\r\n"},
      {5, "", "x", "$ 21.03 08:02:08.512 [] x\r\n"},
      {6, "", "x", "^ 21.03 08:02:08.512 [] x\r\n"},
      {1, "", "", "+ 21.03 08:02:08.512 [] \r\n"},
      {1, "", "a\r\nb", "+ 21.03 08:02:08.512 [] a\r\nb\r\n"},
      {1, "", "\0\xff\x80 "s, "+ 21.03 08:02:08.512 [] \0\xff\x80 \r\n"s},
      {1, "BS", "m", "+ 21.03 08:02:08.512 [BS] m\r\n"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(DataLine(c.level, BuildLine(t, c.tag, c.message)), c.expected)
        << "level " << int{c.level};
  }
}

TEST(DataLine, LevelPastTheTableIsRefused) {
  EXPECT_THROW(DataLine(7, "x"), std::out_of_range);
  EXPECT_THROW(DataLine(255, "x"), std::out_of_range);
}

TEST(FixedLines, AreWindows1251Bytes) {
  EXPECT_EQ(OpenErrorLine("No such file or directory"),
            "\xce\xf8\xe8\xe1\xea\xe0 \xee\xf2\xea\xf0\xfb\xf2\xe8\xff \xf4\xe0\xe9\xeb\xe0:"
            "No such file or directory\r\n");
  EXPECT_EQ(LostLinesLine(12345),
            "\xcf\xee\xf2\xe5\xf0\xff\xed\xee \xf1\xf2\xf0\xee\xea: 12345\r\n");
}

struct ExtCase {
  std::string path;
  std::string ext;
  std::string expected;
};

TEST(ChangeFileExt, ReplacesFromTheLastDotOfTheFileName) {
  const ExtCase cases[] = {
      {"/opt/kestrune/kestrune", ".LOG", "/opt/kestrune/kestrune.LOG"},
      {"/opt/kestrune/kestrune.exe", ".LOG", "/opt/kestrune/kestrune.LOG"},
      {"/opt/kestrune/kestrune.tar.gz", ".LOG", "/opt/kestrune/kestrune.tar.LOG"},
      {"/opt/v1.2/kestrune", ".LOG", "/opt/v1.2/kestrune.LOG"},
      {"/opt/app/.hidden", ".LOG", "/opt/app/.LOG"},
      {"kestrune", ".txt", "kestrune.txt"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(ChangeFileExt(c.path, c.ext), c.expected) << c.path;
}

TEST(BackupName, AppendsDotAndPlainNumber) {
  EXPECT_EQ(BackupName("/d/k.LOG", 0), "/d/k.LOG.0");
  EXPECT_EQ(BackupName("/d/k.LOG", 30), "/d/k.LOG.30");
}

}  // namespace
}  // namespace logger
