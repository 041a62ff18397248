#pragma once

#include <string_view>

#include "base/Text.h"

namespace relaybox {

// The text of a reply body as the relay shows it: decoded by its byte-order mark (UTF-16 LE,
// UTF-16 BE, UTF-8) or else in the single-byte code page, every line break made CR LF, and
// cut at the first U+0000.
Text ResponseText(std::string_view body);

} // namespace relaybox
