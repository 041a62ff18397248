// Feeds arbitrary bytes through the update-file reading path: line splitting, the
// single-byte code page and the number routine. The first input byte chooses how the data
// is handed out per read (0: all at once), the rest is the file.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "base/CodePage.h"
#include "base/Text.h"
#include "base/TextLineReader.h"
#include "relay/Lib.h"

namespace relaybox {
namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

// Values the number routine must agree with: up to nine plain digits.
void CheckNumber(const Text& text) {
  const std::int32_t value = IntValueOrZero(text);
  if (!text.empty() && text.size() <= 9 && std::all_of(text.begin(), text.end(), [](char16_t c) {
        return c >= u'0' && c <= u'9';
      })) {
    Check(value == std::stoi(std::string(text.begin(), text.end())));
  }
}

void CheckLine(const std::string& line) {
  Check(line.find('\n') == std::string::npos && line.find('\r') == std::string::npos);
  const Text text = AnsiToText(line);
  Check(text.size() == line.size());
  Check(TextToAnsi(text) == line);

  CheckNumber(text);
  // The sequence number of a name is the six characters after the first.
  const std::size_t starts = std::min<std::size_t>(text.size(), 64);
  for (std::size_t i = 0; i < starts; ++i) CheckNumber(text.substr(i, 6));
  if (text.size() <= 256) {
    for (std::size_t i = 0; i < text.size(); ++i) CheckNumber(text.substr(i));
  }

  // Cleaning an arbitrary byte string as UTF-8 reaches a fixed point at once.
  const Text clean = Utf8ToText(line);
  Check(Utf8ToText(TextToUtf8(clean)) == clean);
  TextToAnsi(clean);
}

} // namespace
} // namespace relaybox

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  std::uint32_t state = data[0];
  const std::string_view file(reinterpret_cast<const char*>(data + 1), size - 1);
  std::size_t pos = 0;
  relaybox::TTextLineReader reader([&](char* buffer, std::size_t room) {
    std::size_t n = file.size() - pos;
    if (state != 0) {
      state = state * 1103515245u + 12345u;
      n = std::min<std::size_t>(n, 1 + (state >> 16) % 37);
    }
    n = std::min(n, room);
    std::memcpy(buffer, file.data() + pos, n);
    pos += n;
    return n;
  });

  // Every line that is not the end consumes at least one byte.
  std::size_t lineBytes = 0;
  for (std::size_t lines = 0; !reader.Eof(); ++lines) {
    relaybox::Check(lines <= file.size());
    const std::string line = reader.ReadLine();
    lineBytes += line.size();
    relaybox::CheckLine(line);
  }
  relaybox::Check(lineBytes <= file.size());
  relaybox::Check(reader.ReadLine().empty());
  return 0;
}
