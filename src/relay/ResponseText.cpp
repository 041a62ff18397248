#include "relay/ResponseText.h"

#include "base/CodePage.h"

namespace relaybox {
namespace {

Text Utf16(std::string_view bytes, bool bigEndian) {
  Text text;
  text.reserve(bytes.size() / 2);
  for (std::size_t i = 0; i + 1 < bytes.size(); i += 2) {  // an odd last byte is no character
    const auto first = static_cast<unsigned char>(bytes[i]);
    const auto second = static_cast<unsigned char>(bytes[i + 1]);
    text.push_back(static_cast<char16_t>(bigEndian ? first << 8 | second : second << 8 | first));
  }
  return text;
}

Text Decode(std::string_view body) {
  if (body.starts_with("\xFF\xFE")) return Utf16(body.substr(2), false);
  if (body.starts_with("\xFE\xFF")) return Utf16(body.substr(2), true);
  if (body.starts_with("\xEF\xBB\xBF")) return Utf8ToText(body.substr(3));
  return AnsiToText(body);
}

} // namespace

Text ResponseText(std::string_view body) {
  const Text decoded = Decode(body);
  Text text;
  text.reserve(decoded.size() + decoded.size() / 16);
  for (std::size_t i = 0; i < decoded.size(); ++i) {
    const char16_t c = decoded[i];
    if (c == u'\0') break;
    if (c == u'\r' || c == u'\n') {
      text += u"\r\n";
      if (c == u'\r' && i + 1 < decoded.size() && decoded[i + 1] == u'\n') ++i;
    } else {
      text.push_back(c);
    }
  }
  return text;
}

} // namespace relaybox
