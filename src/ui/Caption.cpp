#include "ui/Caption.h"

namespace relaybox {

void SetCaption(QLabel& label, const Text& text) {
  label.setText(QString::fromStdU16String(text));
  label.adjustSize();
}

bool IsControlCharacter(char16_t c) {
  return c < u' ' || (c >= u'\x7F' && c <= u'\x9F') || c == u'\u2028' || c == u'\u2029';
}

Text OneLine(const Text& text) {
  Text line;
  line.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == u'\r' && i + 1 < text.size() && text[i + 1] == u'\n') continue;  // one blank for CR LF
    line.push_back(IsControlCharacter(text[i]) ? u' ' : text[i]);
  }
  return line;
}

} // namespace relaybox
