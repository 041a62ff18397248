#include "base/CodePage.h"

#include <array>

namespace relaybox {
namespace {

// Characters of bytes 0x80..0x9F; the unassigned ones keep their own value.
constexpr std::array<char16_t, 32> High1252 = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,
    0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

char EncodeChar(char16_t ch) {
  if (ch < 0x80 || (ch >= 0xA0 && ch <= 0xFF)) return static_cast<char>(ch);
  for (std::size_t i = 0; i < High1252.size(); ++i) {
    if (High1252[i] == ch) return static_cast<char>(0x80 + i);
  }
  return '?';
}

} // namespace

Text AnsiToText(std::string_view bytes) {
  Text out(bytes.size(), u'\0');
  for (std::size_t i = 0; i < bytes.size(); ++i) out[i] = AnsiToChar(static_cast<unsigned char>(bytes[i]));
  return out;
}

char16_t AnsiToChar(unsigned char byte) {
  return (byte >= 0x80 && byte <= 0x9F) ? High1252[byte - 0x80] : static_cast<char16_t>(byte);
}

std::string TextToAnsi(const Text& text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char16_t ch = text[i];
    // A surrogate pair is one character that the code page lacks: one "?".
    if (ch >= 0xD800 && ch <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
        text[i + 1] <= 0xDFFF) {
      ++i;
    }
    out.push_back(EncodeChar(ch));
  }
  return out;
}

} // namespace relaybox
