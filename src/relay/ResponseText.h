#pragma once

#include <string_view>

#include "base/Text.h"

namespace relaybox {

// The text of a reply body as the relay shows it. A byte-order mark decides the encoding
// (UTF-16 LE, UTF-16 BE, UTF-8); without one, a `contentType` whose charset is UTF-8 means
// UTF-8, one that names another charset means the single-byte code page, and one that names
// none means UTF-8 when the body is valid UTF-8, else the code page. Every line break becomes
// CR LF and every U+0000 a blank. `truncated` says the body is only the start of a longer one:
// a character cut off at its end is then dropped instead of being malformed.
Text ResponseText(std::string_view body, std::u16string_view contentType = {}, bool truncated = false);

} // namespace relaybox
