#include "relay/ResponseText.h"

#include <gtest/gtest.h>

namespace relaybox {
namespace {

TEST(ResponseTextTest, DecodesByTheMarkAndMakesEveryLineBreakCrLf) {
  const std::pair<std::string, Text> cases[] = {
      {"one\ntwo\nthree", u"one\r\ntwo\r\nthree"},
      {"a\rb\r\nc\n\rd\n", u"a\r\nb\r\nc\r\n\r\nd\r\n"},
      {"caf\xe9 \x80", u"caf\u00e9 \u20ac"},
      {"\xEF\xBB\xBF" "caf\xc3\xa9", u"caf\u00e9"},
      {std::string("\xFF\xFE" "h\0i\0\n\0", 8), u"hi\r\n"},
      {std::string("\xFE\xFF\0h\0i\0", 7), u"hi"},
      {"\xFF", u"\u00ff"},
      {std::string("before\0after", 12), u"before"},
      {"\xEF\xBB\xBF", u""},
      {"", u""},
  };
  for (const auto& [body, text] : cases) EXPECT_EQ(ResponseText(body), text) << body;
}

} // namespace
} // namespace relaybox
