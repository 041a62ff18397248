#include "base/Text.h"

#include <gtest/gtest.h>

namespace relaybox {
namespace {

TEST(TextTest, Utf8RoundTripsAllPlanes) {
  const std::string utf8 = "A\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80";  // A é € and an emoji
  const Text text = Utf8ToText(utf8);
  EXPECT_EQ(text, (Text{u'A', 0x00E9, 0x20AC, 0xD83D, 0xDE00}));
  EXPECT_EQ(TextToUtf8(text), utf8);
}

TEST(TextTest, MalformedInputBecomesReplacement) {
  EXPECT_EQ(Utf8ToText("\xC3"), u"\uFFFD");            // truncated
  EXPECT_EQ(Utf8ToText("\xC0\xAF"), u"\uFFFD");        // overlong
  EXPECT_EQ(Utf8ToText("\xED\xA0\x80x"), u"\uFFFDx");  // encoded surrogate
  EXPECT_EQ(Utf8ToText("\x80z"), u"\uFFFDz");          // stray continuation
  EXPECT_EQ(TextToUtf8(Text{0xD800, u'a'}), "\xEF\xBF\xBD" "a");
}

TEST(TextTest, IntToText) {
  EXPECT_EQ(IntToText(0), u"0");
  EXPECT_EQ(IntToText(-2147483648LL), u"-2147483648");
}

} // namespace
} // namespace relaybox
