#include "base/TextCase.h"

#include <algorithm>

namespace relaybox {

Text LowerCase(Text text) {
  std::transform(text.begin(), text.end(), text.begin(), [](char16_t c) {
    return c >= u'A' && c <= u'Z' ? static_cast<char16_t>(c - u'A' + u'a') : c;
  });
  return text;
}

bool StartsWithNoCase(const Text& text, std::u16string_view prefix) {
  return text.size() >= prefix.size() && LowerCase(text.substr(0, prefix.size())) == prefix;
}

Text Trim(const Text& text) {
  const auto blank = [](char16_t c) { return c <= u' '; };
  const auto first = std::find_if_not(text.begin(), text.end(), blank);
  const auto last = std::find_if_not(text.rbegin(), text.rend(), blank).base();
  return first < last ? Text(first, last) : Text();
}

} // namespace relaybox
