#pragma once

#include <atomic>
#include <cstdint>

#include "base/Text.h"

namespace relaybox {

// The hand-over between the send step and its worker. The main thread sets FetchBusy and
// FetchURL before it starts the worker and reads FetchResponse only once FetchBusy is false
// again; the worker writes FetchResponse and then clears FetchBusy with release order.
extern std::atomic<bool> FetchBusy;
extern Text FetchURL;
extern Text FetchResponse;

// Updates removed from the queue since the main window was first shown.
extern std::int32_t SentCount;

} // namespace relaybox
