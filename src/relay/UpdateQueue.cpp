#include "relay/UpdateQueue.h"

namespace relaybox {

std::array<UpdateEntry, QueueCapacity + 1> UpdateQueue;
std::int32_t QueueCount = 0;

void RemoveQueueHead() {
  for (std::int32_t i = 1; i < QueueCount; ++i) UpdateQueue[i] = std::move(UpdateQueue[i + 1]);
  // The slot left behind gives its texts back at once.
  if (QueueCount > 0) UpdateQueue[QueueCount--] = UpdateEntry{};
}

} // namespace relaybox
