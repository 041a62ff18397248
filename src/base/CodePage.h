#pragma once

#include <string>
#include <string_view>

#include "base/Text.h"

namespace relaybox {

// The single-byte code page that stands in for the system's one: Windows-1252. Decoding is
// total (the five unassigned bytes map to the control characters of the same value) and
// encoding gives "?" for every character the code page lacks.
Text AnsiToText(std::string_view bytes);
char16_t AnsiToChar(unsigned char byte);
std::string TextToAnsi(const Text& text);

} // namespace relaybox
