// Conversions at the boundary to the Windows API.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "logger/format.h"
#include "os/error_text.h"
#include "os/path.h"
#include "os/text_win32.h"

namespace os {
namespace {

TEST(TextTest, LogCodePageGivesTheFixedTextsBytes) {
  EXPECT_EQ(WideToCodePage(L"Ошибка открытия файла:", kLogCodePage), logger::kOpenErrorText);
  EXPECT_EQ(WideToCodePage(L"Потеряно строк: ", kLogCodePage), logger::kLostLinesText);
  // A character Windows-1251 lacks must not swallow the rest of the text.
  EXPECT_EQ(WideToCodePage(L"a\u4e2db", kLogCodePage), "a?b");
}

TEST(TextTest, Utf8RoundTripAndInvalidBytes) {
  const std::string utf8 = "C:\\Журнал обмена с БС\\kestrune.exe";
  EXPECT_EQ(Utf8ToWide(utf8), L"C:\\Журнал обмена с БС\\kestrune.exe");
  EXPECT_EQ(WideToUtf8(Utf8ToWide(utf8)), utf8);
  EXPECT_EQ(Utf8ToWide("a\xff"
                       "b"),
            L"a\ufffdb");
  EXPECT_EQ(Utf8ToWide(""), L"");
}

TEST(TextTest, ErrorTextIsTheSystemsTextWithoutTheLineEnd) {
  const int codes[] = {ERROR_FILE_NOT_FOUND, ERROR_ACCESS_DENIED, 10048 /* WSAEADDRINUSE */};
  for (const int code : codes) {
    const std::string text = ErrorText(code);
    ASSERT_FALSE(text.empty()) << code;
    EXPECT_NE(text.back(), '\n') << code;
    EXPECT_NE(text.back(), '\r') << code;
    EXPECT_EQ(text.find('\n'), std::string::npos) << code;
  }
}

TEST(TextTest, ExecutablePathIsThisTestsFullPath) {
  const std::string path = ExecutablePath();
  ASSERT_GT(path.size(), 3u);
  EXPECT_EQ(path.substr(path.size() - 15), "win32_tests.exe");
  EXPECT_EQ(path[1], ':');
  EXPECT_NE(::GetFileAttributesW(Utf8ToWide(path).c_str()), INVALID_FILE_ATTRIBUTES);
}

}  // namespace
}  // namespace os
