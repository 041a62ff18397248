#include "relay/SendCycleState.h"

namespace relaybox {

std::int32_t SentCount = 0;

} // namespace relaybox
