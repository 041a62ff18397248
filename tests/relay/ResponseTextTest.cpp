#include "relay/ResponseText.h"

#include <gtest/gtest.h>

namespace relaybox {
namespace {

TEST(ResponseTextTest, DecodesByTheMarkAndMakesEveryLineBreakCrLf) {
  // The Content-Type value, and whether the body is only the start of a longer one.
  struct TCase {
    std::string Body;
    Text Shown;
    Text ContentType = u"";
    bool Truncated = false;
  };
  const TCase cases[] = {
      {"one\ntwo\nthree", u"one\r\ntwo\r\nthree"},
      {"a\rb\r\nc\n\rd\n", u"a\r\nb\r\nc\r\n\r\nd\r\n"},
      {"caf\xe9 \x80", u"caf\u00e9 \u20ac"},
      {"\xEF\xBB\xBF" "caf\xc3\xa9", u"caf\u00e9"},
      {std::string("\xFF\xFE" "h\0i\0\n\0", 8), u"hi\r\n"},
      {std::string("\xFE\xFF\0h\0i\0", 7), u"hi"},
      {"\xFF", u"\u00ff"},
      {std::string("before\0after", 12), u"before after"},
      {std::string("\xFF\xFE" "a\0\0\0b\0", 8), u"a b"},
      {"\xEF\xBB\xBF", u""},
      {"", u""},
      // Valid UTF-8 is UTF-8 unless a charset says otherwise; anything less is Windows-1252.
      {"Caf\xC3\xA9 r\xC3\xA9sum\xC3\xA9 \xE2\x9C\x93\nok", u"Caf\u00e9 r\u00e9sum\u00e9 \u2713\r\nok"},
      {"\xF0\x9F\x98\x80\xF4\x8F\xBF\xBF\xEF\xBF\xBF", u"\U0001F600\U0010FFFF\uFFFF", u"text/plain"},
      {"\xC0\xAF\xC3\xA9", u"\u00c0\u00af\u00c3\u00a9"},              // overlong
      {"\xED\xA0\x80\xC3\xA9", u"\u00ed\u00a0\u20ac\u00c3\u00a9"},  // surrogate
      {"\xF4\x90\x80\x80\xC3\xA9", u"\u00f4\u0090\u20ac\u20ac\u00c3\u00a9"},  // above U+10FFFF
      {"caf\xC3\xA9\xE2\x9C", u"caf\u00c3\u00a9\u00e2\u0153"},
      {"caf\xC3\xA9\xE2\x9C", u"caf\u00e9", u"", true},
      {"caf\xC3\xA9\xE2\x9C", u"caf\u00e9", u"text/plain; charset=utf-8", true},
      {"caf\xE9 \xC3", u"caf\uFFFD \uFFFD", u"text/plain; charset=UTF-8"},
      {"caf\xC3\xA9", u"caf\u00e9", u"text/html;charset=\"Utf-8\""},
      {"caf\xC3\xA9", u"caf\u00e9", u"text/html ; CHARSET = utf-8 ;level=1"},
      {"caf\xC3\xA9", u"caf\u00c3\u00a9", u"text/plain; charset=iso-8859-1"},
      {"caf\xC3\xA9", u"caf\u00c3\u00a9", u"text/plain; title=\"a;charset=utf-8\"; charset=windows-1252"},
      {std::string("\xFF\xFE\xE9\0", 4), u"\u00e9", u"text/plain; charset=utf-8"},
  };
  for (const TCase& c : cases) {
    EXPECT_EQ(ResponseText(c.Body, c.ContentType, c.Truncated), c.Shown) << c.Body << " " << TextToUtf8(c.ContentType);
  }
}

} // namespace
} // namespace relaybox
