#include "relay/Lib.h"

#include <gtest/gtest.h>

#include <cstdint>

namespace relaybox {
namespace {

TEST(LibTest, TrimSpacesAndAllDigits) {
  EXPECT_EQ(TrimSpaces(u"  a b  "), u"a b");
  EXPECT_EQ(TrimSpaces(u"   "), u"");
  EXPECT_EQ(TrimSpaces(u"\ta\t"), u"\ta\t");  // spaces only
  EXPECT_TRUE(AllDigits(u""));
  EXPECT_TRUE(AllDigits(u" 0123 "));
  EXPECT_FALSE(AllDigits(u"1 2"));
  EXPECT_FALSE(AllDigits(u"\t1"));
  EXPECT_FALSE(AllDigits(u"-1"));
}

TEST(LibTest, IntValueOrZero) {
  const Text minus99 = u"-" + Text(99, u'9');
  const struct {
    Text Input;
    std::int32_t Expected;
  } cases[] = {
      {u"", 0},
      {u"   ", 0},
      {u"000123", 123},
      {u"  12  ", 12},
      {u"\t7\n", 7},
      {u"999999999", 999999999},
      {u"0000000001", 0},  // ten characters
      {u"12a", 0},
      {u"12.txt", 0},
      {u"1 2", 0},
      {u"+5", 0},
      {u"-", 0},
      {u"-0", 0},
      {u"-42", -42},
      {u"-0000000000007", -7},  // the negative form has no length limit
      {u"-2147483648", INT32_MIN},
      {u"-2147483649", INT32_MIN},
      {minus99, INT32_MIN},
      {minus99 + u"9", INT32_MIN},
      {minus99 + u"x", 0},
      {u"- 5", 0},
      {u"-5 ", -5},
      {u"--5", 0},
      {Text{u'1', 0x0661}, 0},  // a non-ASCII digit
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.Input));
    EXPECT_EQ(IntValueOrZero(c.Input), c.Expected);
  }
}

} // namespace
} // namespace relaybox
