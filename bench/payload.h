#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

namespace bench {

// The payload of datagram seq: its number, then filler that depends on it, so that a captured
// line can be checked byte for byte. At least 16 bytes; printable ASCII only, so that every
// receiver stores it unchanged.
inline std::string Payload(std::uint32_t seq, std::size_t size) {
  char head[24];
  const int n = std::snprintf(head, sizeof head, "seq %010u ", seq);
  std::string out(head, static_cast<std::size_t>(n));
  for (std::size_t i = out.size(); i < size; ++i)
    out += static_cast<char>('a' + (seq + i) % 26);
  out.resize(size < out.size() ? out.size() : size);
  return out;
}

// The number at the start of a payload; false when the text is not one of ours.
inline bool PayloadNumber(const std::string& text, std::uint32_t& seq) {
  unsigned value = 0;
  if (text.size() < 15 || std::sscanf(text.c_str(), "seq %10u ", &value) != 1)
    return false;
  seq = value;
  return true;
}

}  // namespace bench
