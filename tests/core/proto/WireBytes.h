#pragma once

#include <string>
#include <string_view>

#include <fmt/format.h>

namespace velbor::test {

// "08 13 10 02" -> the four bytes; spaces are ignored.
inline std::string bytes(std::string_view hexText) {
  std::string out;
  std::string digits;
  for (char c : hexText) {
    if (c == ' ') continue;
    digits += c;
    if (digits.size() == 2) {
      out += static_cast<char>(std::stoi(digits, nullptr, 16));
      digits.clear();
    }
  }
  return out;
}

// The bytes as upper-case hex pairs separated by spaces, for readable failures.
inline std::string hex(std::string_view data) {
  std::string out;
  for (unsigned char c : data) {
    if (!out.empty()) out += ' ';
    out += fmt::format("{:02X}", c);
  }
  return out;
}

}  // namespace velbor::test
