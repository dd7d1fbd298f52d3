#include "app/FreeTime.h"

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace stillnook {
namespace {

TEST(FreeTimeTest, StepperPositionsWalkTheSixLengthsAndNothingBeyond) {
  std::vector<int> lengths;
  for (double position = 0; position < 6; ++position) lengths.push_back(freeTimeAt(position).value_or(-1));
  EXPECT_EQ(lengths, (std::vector<int>{5, 10, 15, 30, 45, 60}));
  EXPECT_EQ(freeTimeAt(2.7), 15);  // the fraction is dropped
  for (double outside : {-1.0, 6.0, 1e300, -1e300, std::nan(""), std::numeric_limits<double>::infinity()}) {
    EXPECT_EQ(freeTimeAt(outside), std::nullopt) << outside;
  }
}

TEST(FreeTimeTest, OnlyADecimalIntegerWithAnOptionalSignIsALength) {
  EXPECT_EQ(parseMinutes("15"), 15);
  EXPECT_EQ(parseMinutes("+15"), 15);
  EXPECT_EQ(parseMinutes("-5"), -5);
  EXPECT_EQ(parseMinutes("007"), 7);
  for (const char* text : {"", "abc", "3.5", "12a", " 5", "5 ", "+", "-", "+-5", "--5", "99999999999", "0x10"}) {
    EXPECT_EQ(parseMinutes(text), std::nullopt) << '"' << text << '"';
  }
}

}  // namespace
}  // namespace stillnook
