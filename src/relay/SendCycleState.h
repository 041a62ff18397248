#pragma once

#include <cstdint>

namespace relaybox {

// Updates removed from the queue since the main window was first shown.
extern std::int32_t SentCount;

} // namespace relaybox
