#pragma once

#include "base/Text.h"

namespace relaybox {

// The update service's domain name; addresses on it, or on a host below it, go to the test
// script.
inline constexpr char16_t UpdateServiceDomain[] = u"hoofline.example";

// On an address whose host is the update service's domain or a host below it (in any letter
// case), and whose path holds "update", replaces the path from that "update" on by
// "testHLRelaybox.php", keeping the query. Other addresses are returned unchanged.
Text RewriteRequest(const Text& request);

} // namespace relaybox
