#pragma once

#include <algorithm>
#include <cstdint>

namespace relaybox {

// The size of the client's next read: 1 to 64 bytes, drawn by a 16-bit xorshift from a state
// the input seeds, so that an input replays with the same cuts. A zero state leaves reads whole.
inline int SplitReadSize(std::uint16_t& state, int size) {
  if (state == 0) return size;
  state ^= static_cast<std::uint16_t>(state << 7);
  state ^= static_cast<std::uint16_t>(state >> 9);
  state ^= static_cast<std::uint16_t>(state << 8);
  return std::min(size, 1 + state % 64);
}

} // namespace relaybox
