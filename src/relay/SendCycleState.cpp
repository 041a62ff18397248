#include "relay/SendCycleState.h"

namespace relaybox {

std::atomic<bool> FetchBusy{false};
Text FetchURL;
Text FetchResponse;
std::int32_t SentCount = 0;

} // namespace relaybox
