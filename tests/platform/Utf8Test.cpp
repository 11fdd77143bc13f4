#include "platform/Utf8.h"

#include <gtest/gtest.h>

#include <string>

namespace velbor {
namespace {

TEST(Utf8Test, AcceptsWellFormedText) {
  EXPECT_TRUE(isValidUtf8(""));
  EXPECT_TRUE(isValidUtf8("plain ascii"));
  EXPECT_TRUE(isValidUtf8(std::string("a\0b", 3)));
  EXPECT_TRUE(isValidUtf8("\xC2\x80"));                // U+0080
  EXPECT_TRUE(isValidUtf8("\xDF\xBF"));                // U+07FF
  EXPECT_TRUE(isValidUtf8("\xE0\xA0\x80"));            // U+0800
  EXPECT_TRUE(isValidUtf8("\xED\x9F\xBF"));            // U+D7FF
  EXPECT_TRUE(isValidUtf8("\xEE\x80\x80"));            // U+E000
  EXPECT_TRUE(isValidUtf8("\xEF\xBF\xBF"));            // U+FFFF
  EXPECT_TRUE(isValidUtf8("\xF0\x90\x80\x80"));        // U+10000
  EXPECT_TRUE(isValidUtf8("\xF4\x8F\xBF\xBF"));        // U+10FFFF
  EXPECT_TRUE(isValidUtf8("caf\xC3\xA9 \xE2\x82\xAC"));
}

TEST(Utf8Test, RejectsOverlongForms) {
  EXPECT_FALSE(isValidUtf8("\xC0\x80"));
  EXPECT_FALSE(isValidUtf8("\xC1\xBF"));
  EXPECT_FALSE(isValidUtf8("\xE0\x80\x80"));
  EXPECT_FALSE(isValidUtf8("\xE0\x9F\xBF"));
  EXPECT_FALSE(isValidUtf8("\xF0\x80\x80\x80"));
  EXPECT_FALSE(isValidUtf8("\xF0\x8F\xBF\xBF"));
}

TEST(Utf8Test, RejectsSurrogatesAndValuesBeyondUnicode) {
  EXPECT_FALSE(isValidUtf8("\xED\xA0\x80"));      // U+D800
  EXPECT_FALSE(isValidUtf8("\xED\xBF\xBF"));      // U+DFFF
  EXPECT_FALSE(isValidUtf8("\xF4\x90\x80\x80"));  // U+110000
  EXPECT_FALSE(isValidUtf8("\xF5\x80\x80\x80"));
  EXPECT_FALSE(isValidUtf8("\xF8\x88\x80\x80\x80"));
  EXPECT_FALSE(isValidUtf8("\xFF"));
}

TEST(Utf8Test, RejectsBrokenSequences) {
  EXPECT_FALSE(isValidUtf8("\x80"));               // stray continuation
  EXPECT_FALSE(isValidUtf8("\xC3"));               // cut short
  EXPECT_FALSE(isValidUtf8("\xE2\x82"));           // cut short
  EXPECT_FALSE(isValidUtf8("\xF0\x9F\x98"));       // cut short
  EXPECT_FALSE(isValidUtf8("\xC3\x28"));           // bad continuation
  EXPECT_FALSE(isValidUtf8("\xE2\x28\xA1"));       // bad second byte
  EXPECT_FALSE(isValidUtf8("\xE2\x82\x28"));       // bad third byte
  EXPECT_FALSE(isValidUtf8("\xF0\x9F\x98\x28"));   // bad fourth byte
  EXPECT_FALSE(isValidUtf8("ok\xC3"));
}

}  // namespace
}  // namespace velbor
