#include "core/utils/DataHex.h"

#include <gtest/gtest.h>

#include <string>

namespace velbor {
namespace {

TEST(DataHexTest, BytesPrintAsLowerCaseHexPairs) {
  EXPECT_EQ(dataDescription(std::string("\x00\xab", 2)), "00ab");
  EXPECT_EQ(dataDescription(""), "");
  EXPECT_EQ(dataDescription("\x01\x10\x7f\x80\xff"), "01107f80ff");
}

TEST(DataHexTest, VclockBytesPrintAsCounters) {
  EXPECT_EQ(descriptionForVclock("3|0|5"), "3|0|5");
  EXPECT_EQ(descriptionForVclock(""), "");
  EXPECT_EQ(descriptionForVclock("\xff"), "");
}

}  // namespace
}  // namespace velbor
