#pragma once

namespace relaybox {

// Lets Qt's event loop on the calling (main) thread dispatch the network components'
// messages: a post to this thread's queue wakes the loop, which drains the queue; and the
// components' pumps run Qt's own event processing.
void InstallMessageBridge();

} // namespace relaybox
