#include "platform/Utf8.h"

#include <gtest/gtest.h>

#include <string>

namespace velbor {
namespace {

TEST(Utf8Test, AcceptsWellFormedTextAtEveryRangeBoundary) {
  for (const std::string& text : {std::string(), std::string("plain ascii"), std::string("a\0b", 3),
                                  std::string("\xC2\x80"),          // U+0080
                                  std::string("\xDF\xBF"),          // U+07FF
                                  std::string("\xE0\xA0\x80"),      // U+0800
                                  std::string("\xED\x9F\xBF"),      // U+D7FF
                                  std::string("\xEE\x80\x80"),      // U+E000
                                  std::string("\xEF\xBF\xBF"),      // U+FFFF
                                  std::string("\xF0\x90\x80\x80"),  // U+10000
                                  std::string("\xF4\x8F\xBF\xBF"),  // U+10FFFF
                                  std::string("caf\xC3\xA9 \xE2\x82\xAC")}) {
    EXPECT_TRUE(isValidUtf8(text)) << testing::PrintToString(text);
  }
}

TEST(Utf8Test, RejectsOverlongSurrogateOutOfRangeAndBrokenSequences) {
  for (const char* text : {
           "\xC0\x80",
           "\xC1\xBF",
           "\xE0\x80\x80",
           "\xE0\x9F\xBF",
           "\xF0\x80\x80\x80",
           "\xF0\x8F\xBF\xBF",  // overlong
           "\xED\xA0\x80",
           "\xED\xBF\xBF",  // U+D800, U+DFFF
           "\xF4\x90\x80\x80",
           "\xF5\x80\x80\x80",
           "\xF8\x88\x80\x80\x80",
           "\xFF",  // beyond U+10FFFF
           "\x80",  // stray continuation
           "\xC3",
           "\xE2\x82",
           "\xF0\x9F\x98",
           "ok\xC3",  // cut short
           "\xC3\x28",
           "\xE2\x28\xA1",
           "\xE2\x82\x28",
           "\xF0\x9F\x98\x28",  // bad continuation byte
       }) {
    EXPECT_FALSE(isValidUtf8(text)) << testing::PrintToString(std::string(text));
  }
}

}  // namespace
}  // namespace velbor
