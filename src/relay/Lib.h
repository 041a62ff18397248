#pragma once

#include <cstdint>
#include <string>

#include "base/Text.h"

namespace relaybox {

// Removes leading and trailing spaces (code 32 only).
Text TrimSpaces(const Text& s);

// True when every character of TrimSpaces(s) is a decimal digit; true for the empty text.
bool AllDigits(const Text& s);

// The integer value of s once trimmed of characters up to code 32 at both ends: up to nine
// digits, or "-" followed by digits. Anything else gives 0. Negative values beyond the
// 32-bit range give the nearest 32-bit value.
std::int32_t IntValueOrZero(const Text& s);

// Inside a catch: the error being handled as a reason, "error (<what>)", or "error".
std::string CurrentErrorText();

} // namespace relaybox
