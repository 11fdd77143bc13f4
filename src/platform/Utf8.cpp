#include "platform/Utf8.h"

namespace velbor {

namespace {

// Sequence length announced by a lead byte, with the allowed range of the second byte:
// narrowing that range per lead byte rules out overlongs, surrogates and values beyond
// U+10FFFF. 0 for a byte that cannot start a sequence.
int leadLength(unsigned char c, unsigned char& lo, unsigned char& hi) {
  lo = 0x80;
  hi = 0xBF;
  if (c < 0x80) return 1;
  if (c >= 0xC2 && c <= 0xDF) return 2;
  if (c >= 0xE0 && c <= 0xEF) {
    if (c == 0xE0) lo = 0xA0;
    if (c == 0xED) hi = 0x9F;
    return 3;
  }
  if (c >= 0xF0 && c <= 0xF4) {
    if (c == 0xF0) lo = 0x90;
    if (c == 0xF4) hi = 0x8F;
    return 4;
  }
  return 0;
}

// How many bytes from `pos` agree with a well-formed sequence, up to its announced length.
size_t matchingBytes(std::string_view text, size_t pos, int& length) {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data()) + pos;
  size_t available = text.size() - pos;
  unsigned char lo, hi;
  length = leadLength(p[0], lo, hi);
  if (length == 0) return 0;
  size_t matched = 1;
  for (int k = 1; k < length && matched < available; ++k, ++matched) {
    unsigned char min = k == 1 ? lo : 0x80, max = k == 1 ? hi : 0xBF;
    if (p[k] < min || p[k] > max) return matched;
  }
  return matched;
}

}  // namespace

size_t utf8SequenceLength(std::string_view text, size_t pos) {
  if (pos >= text.size()) return 0;
  int length = 0;
  size_t matched = matchingBytes(text, pos, length);
  return length > 0 && matched == static_cast<size_t>(length) ? matched : 0;
}

bool isValidUtf8(std::string_view text) {
  size_t pos = 0;
  while (pos < text.size()) {
    size_t length = utf8SequenceLength(text, pos);
    if (length == 0) return false;
    pos += length;
  }
  return true;
}

size_t incompleteUtf8Tail(std::string_view text) {
  // A split sequence starts at most three bytes before the end.
  for (size_t back = 1; back <= 3 && back <= text.size(); ++back) {
    size_t pos = text.size() - back;
    int length = 0;
    size_t matched = matchingBytes(text, pos, length);
    if (length == 0) continue;  // a continuation byte: look further back
    return matched == back && static_cast<size_t>(length) > back ? back : 0;
  }
  return 0;
}

}  // namespace velbor
