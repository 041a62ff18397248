#pragma once

#include <string>

namespace relaybox {

// The watch folder: the user's documents folder followed by Quintel/Hoofline/Relaybox/,
// with the trailing "/". Found once at start-up.
std::string UpdateFolder();

} // namespace relaybox
