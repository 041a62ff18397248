#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "base/Text.h"

namespace relaybox {

// One pending update: the site text shown in the display and the address to fetch, and the
// name of the file it came from, for the record of its delivery.
struct UpdateEntry {
  Text Site;
  Text Request;
  Text FileName;
  // Its record in the journal of queued updates (see Journal.h); 0 when it has none.
  std::uint64_t JournalId = 0;
  // The file it came from as it was read (device, inode, size, modification time), so that a
  // file left behind by a relay that stopped before deleting it is told from a new one.
  std::string FileStamp{};
};

inline constexpr std::int32_t QueueCapacity = 2000;

// The process-wide queue of pending updates. Slots are numbered 1 to QueueCapacity as the
// display counts them (index 0 is unused); slots 1..QueueCount are occupied, slot 1 is the
// oldest. Touched by the main thread only.
extern std::array<UpdateEntry, QueueCapacity + 1> UpdateQueue;
extern std::int32_t QueueCount;

// Drops the head: every later slot moves down by one.
void RemoveQueueHead();

} // namespace relaybox
