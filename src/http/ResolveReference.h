#pragma once

#include <optional>

#include "base/Text.h"
#include "http/SplitURL.h"

namespace relaybox {

// Where a Location value leads from `base` (the current request: protocol, host, port and a
// path that starts with "/" and may hold a query), resolved as RFC 3986 section 5 resolves a
// reference: "?q" keeps the path, "../x" and "./x" lose their dot segments, "//host/x" keeps
// the protocol. Blanks around the value are ignored and its fragment is dropped. The result's
// path starts with "/"; its port is empty when the value names none and leaves the host.
// Nothing when the value is not to be followed: empty, or with a protocol other than http and
// https.
std::optional<TUrlParts> ResolveReference(const TUrlParts& base, const Text& reference);

// The path with its "." and ".." segments resolved (RFC 3986 section 5.2.4).
Text RemoveDotSegments(const Text& path);

} // namespace relaybox
