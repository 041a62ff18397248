#pragma once

#include <string>

#include "base/Text.h"

namespace relaybox {

// Why `url` is no address to send a request to, found before any connection: "no address"
// for an empty or blank one, "not an absolute http address" for one without a scheme ("/path",
// "example.org/x", "?q", "localhost:8080/x"); "" for any other, whose scheme the client judges.
std::string AddressProblem(const Text& url);

} // namespace relaybox
