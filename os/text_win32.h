#pragma once

// Text conversions at the boundary to the Windows API, which speaks UTF-16. Our 8-bit paths and
// messages are UTF-8 inside the program; the log's fixed texts are Windows-1251.

#include <string>
#include <string_view>

namespace os {

inline constexpr unsigned kLogCodePage = 1251;

// Invalid UTF-8 becomes U+FFFD, so a bad byte never makes a whole path or message vanish.
std::wstring Utf8ToWide(std::string_view utf8);
std::string WideToUtf8(std::wstring_view wide);
// Characters the code page lacks become '?'.
std::string WideToCodePage(std::wstring_view wide, unsigned code_page);

}  // namespace os
