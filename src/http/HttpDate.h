#pragma once

#include "base/Text.h"

namespace relaybox {

// "Wdy, DD Mon YYYY HH:MM:SS" for a date-time given in days since 30 December 1899, as it
// stands (no conversion to universal time).
Text FormatHttpDate(double t);

} // namespace relaybox
