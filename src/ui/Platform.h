#pragma once

namespace relaybox {

// Chooses the windowing platform before the application object is made. Headless: the
// offscreen platform, and the toolkit's own messages, which a user cannot act on, are dropped.
// Otherwise the usual platform, with a last fallback, so that a display that is named but
// cannot be reached is noticed (DisplayReached) instead of ending the program in an abort.
void PreparePlatform(bool headless);

// After the application object is made: whether a display was reached.
bool DisplayReached();

} // namespace relaybox
