#include "relay/UpdateQueue.h"

namespace relaybox {

std::array<UpdateEntry, QueueCapacity + 1> UpdateQueue;
std::int32_t QueueCount = 0;

} // namespace relaybox
