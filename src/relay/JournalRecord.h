#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "relay/UpdateQueue.h"

namespace relaybox {

// The lines of the journal of queued updates. After the header line every line is one record:
//   taken<TAB>id<TAB>file<TAB>site<TAB>request<TAB>stamp<TAB>crc
//   ended<TAB>id<TAB>crc
// in UTF-8, with backslash, tab, CR, LF, other control characters and unpaired surrogates
// escaped (\\ \t \r \n \uXXXX), so a record is always one line whatever the texts hold. The
// crc (CRC-32, 8 hex digits) covers the line between its kind and its last tab: a record torn
// by a crash or changed by hand is told from a good one, and a taken record whose kind is
// overwritten with "ended" (when the disk has no room for another record) is an ended one.
inline constexpr std::string_view JournalHeader = "relaybox journal 1";

struct TJournalRecord {
  bool Taken = false;  // else ended
  std::uint64_t Id = 0;
  UpdateEntry Entry;   // for a taken record
};

// Each with its closing "\n".
std::string TakenRecord(std::uint64_t id, const UpdateEntry& entry);
std::string EndedRecord(std::uint64_t id);

// `line` without its "\n"; nothing when it is not a whole, unaltered record.
std::optional<TJournalRecord> ReadRecord(std::string_view line);

} // namespace relaybox
