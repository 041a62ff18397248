#include "base/CodePage.h"

#include <gtest/gtest.h>

namespace relaybox {
namespace {

TEST(CodePageTest, EveryByteRoundTrips) {
  std::string all;
  for (int b = 0; b < 256; ++b) all.push_back(static_cast<char>(b));
  const Text text = AnsiToText(all);
  ASSERT_EQ(text.size(), 256u);
  EXPECT_EQ(TextToAnsi(text), all);
}

TEST(CodePageTest, HighBytesMapTo1252Characters) {
  const struct {
    unsigned char Byte;
    char16_t Char;
  } cases[] = {{0x41, u'A'},    {0x80, 0x20AC}, {0x81, 0x0081}, {0x8A, 0x0160}, {0x8D, 0x008D},
               {0x8F, 0x008F},  {0x90, 0x0090}, {0x96, 0x2013}, {0x9D, 0x009D}, {0x9F, 0x0178},
               {0xA0, 0x00A0},  {0xEF, 0x00EF}, {0xFF, 0x00FF}};
  for (const auto& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.Byte));
    const std::string byte(1, static_cast<char>(c.Byte));
    EXPECT_EQ(AnsiToText(byte), Text(1, c.Char));
    EXPECT_EQ(TextToAnsi(Text(1, c.Char)), byte);
  }
}

TEST(CodePageTest, MissingCharactersBecomeQuestionMarks) {
  EXPECT_EQ(TextToAnsi(Text{0x0080}), "?");  // a C1 control that 1252 assigns elsewhere
  EXPECT_EQ(TextToAnsi(Text{0x0100, 0x4E2D}), "??");
  EXPECT_EQ(TextToAnsi(Text{u'a', 0xD83D, 0xDE00, u'b'}), "a?b");  // one character, one "?"
  EXPECT_EQ(TextToAnsi(Text{0xDE00, 0xD83D}), "??");               // unpaired halves
}

} // namespace
} // namespace relaybox
