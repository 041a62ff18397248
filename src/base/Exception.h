#pragma once

#include <stdexcept>

namespace relaybox {

// The common base of the program's own exceptions. The network layers catch exceptions of
// this family that escape event handlers; any other exception goes on up.
class EException : public std::runtime_error {
public:
  using std::runtime_error::runtime_error;
};

} // namespace relaybox
