#pragma once

#include <string>

#include "base/Text.h"
#include "ui/MainForm.h"

namespace relaybox {

// What `relaybox --headless` prints, one line per event, in UTF-8. Records other than the
// status texts are fields separated by tabs, the first naming the record; control characters
// inside a field print as blanks, so a tab only ever separates.

// A status text on one line: each line break becomes a blank.
std::string StatusLine(const Text& text);
// "delivery", file, site, address, outcome ("200 OK" or "failed: refused"), "153 ms".
std::string DeliveryLine(const TDeliveryReport& report);
// "passed over", file, reason.
std::string PassedOverLine(const Text& name, const std::string& reason);

// Writes the line and its line end at once, so that a pipe or the journal has it as it happens.
void WriteLine(const std::string& line);

} // namespace relaybox
