#include "logger/LoggerServiceName.h"

#include <cstdint>

#include "platform/Utf8.h"

namespace velbor {

namespace {

// Base letters of U+00C0..U+017F; '.' keeps the character (Æ, ß, Œ, ×, ...).
constexpr std::string_view kLatinBase =
    "aaaaaa.ceeeeiiiidnooooo.ouuuuy.."
    "aaaaaa.ceeeeiiiidnooooo.ouuuuy.y"
    "aaaaaaccccccccddddeeeeeeeeeegggggggghhhhiiiiiiiiii..jjkk."
    "llllllllllnnnnnn.nnoooooo..rrrrrrsssssssstttttt"
    "uuuuuuuuuuuuwwyyyzzzzzzs";
static_assert(kLatinBase.size() == 0x180 - 0xC0);

uint32_t decode(std::string_view bytes) {
  auto b = [&](size_t i) { return static_cast<uint32_t>(static_cast<unsigned char>(bytes[i])); };
  switch (bytes.size()) {
    case 1:
      return b(0);
    case 2:
      return ((b(0) & 0x1F) << 6) | (b(1) & 0x3F);
    case 3:
      return ((b(0) & 0x0F) << 12) | ((b(1) & 0x3F) << 6) | (b(2) & 0x3F);
    default:
      return ((b(0) & 0x07) << 18) | ((b(1) & 0x3F) << 12) | ((b(2) & 0x3F) << 6) | (b(3) & 0x3F);
  }
}

}  // namespace

std::string LoggerFoldServiceName(std::string_view name) {
  std::string folded;
  for (size_t pos = 0; pos < name.size();) {
    size_t length = utf8SequenceLength(name, pos);
    if (length == 0) {  // not UTF-8: compared as it is
      folded.push_back(name[pos++]);
      continue;
    }
    std::string_view bytes = name.substr(pos, length);
    pos += length;
    uint32_t c = decode(bytes);
    if (c < 0x80) {
      folded.push_back(c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : static_cast<char>(c));
    } else if (c >= 0x300 && c <= 0x36F) {
      // a combining mark of a decomposed letter
    } else if (c >= 0xC0 && c < 0x180 && kLatinBase[c - 0xC0] != '.') {
      folded.push_back(kLatinBase[c - 0xC0]);
    } else {
      folded.append(bytes);
    }
  }
  return folded;
}

bool LoggerServiceNameMatches(std::string_view found, std::string_view configured) {
  return LoggerFoldServiceName(found) == LoggerFoldServiceName(configured);
}

}  // namespace velbor
