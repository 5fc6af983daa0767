#include <locale.h>
#include <string.h>

#include "os/error_text.h"

namespace os {

std::string ErrorText(int code) {
  // The desktop toolkit switches the process to the user's locale; the log wants plain ASCII.
  static const locale_t c_locale = ::newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
  if (c_locale == static_cast<locale_t>(nullptr))
    return "error " + std::to_string(code);
  return ::strerror_l(code, c_locale);
}

}  // namespace os

namespace os {

// The C locale's texts are ASCII, which is UTF-8 as it stands.
std::string ErrorMessage(int code) {
  return ErrorText(code);
}

}  // namespace os
