#pragma once

#include <string_view>

#include "base/Text.h"

namespace relaybox {

// The text of the default error report: the message with a full stop appended unless its
// last character is a full stop or sorts before one.
Text ErrorReportText(const Text& message);

// The application title: the executable's file name up to its first full stop, first
// letter in upper case and every later letter in lower case ("relaybox" gives "Relaybox").
Text ApplicationTitle(std::string_view executablePath);

} // namespace relaybox
