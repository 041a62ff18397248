#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace relaybox {

// A text is a sequence of UTF-16 code units; lengths and positions count code units.
using Text = std::u16string;

// UTF-8 conversions for the boundaries that speak UTF-8 (file names, exception messages).
// Malformed input becomes U+FFFD instead of failing.
Text Utf8ToText(std::string_view utf8);
std::string TextToUtf8(const Text& text);
// The halves of a surrogate pair, which together code one character beyond U+FFFF.
constexpr bool IsHighSurrogate(char16_t c) { return c >= 0xD800 && c <= 0xDBFF; }
constexpr bool IsLowSurrogate(char16_t c) { return c >= 0xDC00 && c <= 0xDFFF; }

// Appends one code point as UTF-8.
void AppendUtf8(std::string& out, char32_t cp);

Text IntToText(std::int64_t value);

} // namespace relaybox
