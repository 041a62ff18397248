#pragma once

#include "base/Text.h"

namespace relaybox {

struct TUrlParts {
  Text Proto;
  Text User;
  Text Pass;
  Text Host;
  Text Port;
  Text Path;
};

// Takes a URL apart into protocol, user, password, host, port and path. Nothing is decoded
// or validated and every input gives some split. A bracketed IPv6 host keeps its brackets
// ("http://[::1]:8080/" has host "[::1]", port "8080"). `currentPath` serves the relative forms
// "./" and "../".
TUrlParts SplitURL(const Text& url, const Text& currentPath);

// The port a scheme uses when the address names none.
inline Text DefaultPort(const Text& protocol) { return protocol == u"https" ? u"443" : u"80"; }

} // namespace relaybox
