#include "base/TextLineReader.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <vector>

namespace relaybox {
namespace {

// Reads every line of `data`, handed out at most `chunk` bytes per read.
std::vector<std::string> Lines(const std::string& data, std::size_t chunk) {
  std::size_t pos = 0;
  TTextLineReader reader([&](char* buffer, std::size_t size) {
    const std::size_t n = std::min({size, chunk, data.size() - pos});
    std::memcpy(buffer, data.data() + pos, n);
    pos += n;
    return n;
  });
  std::vector<std::string> lines;
  for (std::size_t i = 0; i <= data.size() && !reader.Eof(); ++i) lines.push_back(reader.ReadLine());
  EXPECT_TRUE(reader.Eof());
  EXPECT_EQ(reader.ReadLine(), "");
  return lines;
}

using TLines = std::vector<std::string>;

TEST(TextLineReaderTest, LineRules) {
  const struct {
    std::string Data;
    TLines Expected;
  } cases[] = {
      {"", {}},
      {"site\nhttp://x/\n", {"site", "http://x/"}},
      {"site\r\nhttp://x/\r\n", {"site", "http://x/"}},
      {"site\nlast", {"site", "last"}},
      {"\n\n", {"", ""}},
      {"a\rb\nc", {"ab", "c"}},               // a lone CR is dropped and joins
      {"a\r\r\nb\r", {"a", "b"}},
      {"\x1A" "a\nb", {}},                     // 0x1A first: no lines at all
      {"a\n\x1A" "b\nc\n", {"a"}},             // 0x1A at a line start ends the file
      {"ab\x1A" "cd\nef", {"ab", "ef"}},       // inside a line: rest of that line skipped
      {"ab\x1A\x1A\rcd\x1A", {"ab"}},
      {"\r\x1A" "x\ny", {"", "y"}},            // after a dropped CR it is inside the line
      {"\xEF\xBB\xBFsite\n", {"\xEF\xBB\xBFsite"}},  // no byte-order mark handling
      {std::string("a\0b\n", 4), {std::string("a\0b", 3)}},
  };
  for (const auto& c : cases) {
    for (const std::size_t chunk : {std::size_t{1}, std::size_t{2}, std::size_t{1} << 20}) {
      SCOPED_TRACE(testing::PrintToString(c.Data) + " chunk " + std::to_string(chunk));
      EXPECT_EQ(Lines(c.Data, chunk), c.Expected);
    }
  }
}

TEST(TextLineReaderTest, LinesLongerThanOneReadBuffer) {
  const std::string big(300 * 1024, 'x');
  EXPECT_EQ(Lines(big + "\r\n" + big, 1 << 20), (TLines{big, big}));
  EXPECT_EQ(Lines(big + "\x1A" + big + "\nz", 1 << 20), (TLines{big, "z"}));
}

TEST(TextLineReaderTest, ReadErrorsPropagate) {
  TTextLineReader reader([](char*, std::size_t) -> std::size_t { throw std::runtime_error("read"); });
  EXPECT_THROW(reader.ReadLine(), std::runtime_error);
}

} // namespace
} // namespace relaybox
