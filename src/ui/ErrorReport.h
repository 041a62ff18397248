#pragma once

#include <functional>

#include "base/Text.h"

namespace relaybox {

// The application's default error report: a modal error box with an OK button, captioned
// with the application title. Timers keep firing while it is open. Without a windowed
// application, a line on the standard error.
void ShowErrorReport(const Text& message);

// Runs a window-event or timer handler; an error that escapes it goes to the error report.
void RunEventHandler(const std::function<void()>& handler);

} // namespace relaybox
