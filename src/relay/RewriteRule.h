#pragma once

#include "base/Text.h"

namespace relaybox {

// The update service's domain name; addresses that contain it are sent to the test script.
inline constexpr char16_t UpdateServiceDomain[] = u"hoofline.example";

// Replaces the script part of an address on the update service's domain by
// "testHLRelaybox.php", keeping what stands before "update" and the query from "?" on.
// Other addresses are returned unchanged.
Text RewriteRequest(const Text& request);

} // namespace relaybox
