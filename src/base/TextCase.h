#pragma once

#include <string_view>

#include "base/Text.h"

namespace relaybox {

// ASCII letter case only, as protocol names and header fields use it.
Text LowerCase(Text text);
bool StartsWithNoCase(const Text& text, std::u16string_view prefix);
// Removes the characters with codes up to 32 from both ends.
Text Trim(const Text& text);

} // namespace relaybox
