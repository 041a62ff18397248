#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

#include "relay/HttpFetch.h"

namespace relaybox {

// A retry time as a person writes it: "90s", "30m", "2h", "1h30m", "1d"; a bare number is
// seconds. Nothing for anything else or for zero.
std::optional<std::chrono::seconds> ParseRetryDuration(std::string_view text);
// The other way round, shortest form: 90 s is "1m30s", 2 h is "2h".
std::string DurationText(std::chrono::seconds duration);

// Whether a delivery that ended so is worth another try: it got no reply at all (refused,
// unresolvable, timed out, reset, cut short), or the server said it cannot take it now (429,
// 502, 503, 504). Replies that will not change by asking again are final.
bool IsTransient(const THttpFetchForm::TOutcome& outcome);

// When the update at the head of the queue is tried again after a transient failure: 1 s,
// doubling to 5 minutes (a Retry-After in seconds instead, up to the same cap), until the time
// asked for has passed since its first try. Order is kept: nothing behind it goes first.
class TRetrySchedule {
public:
  using TClock = std::chrono::steady_clock;
  static constexpr std::chrono::seconds FirstWait{1};
  static constexpr std::chrono::seconds LongestWait{300};

  // `retryFor` zero: every delivery is final after one try.
  explicit TRetrySchedule(std::chrono::seconds retryFor) : FRetryFor(retryFor) {}

  // One try of the head, started at `started`, ended at `now`. Returns the wait before the next
  // try, or nothing: the update is done with (delivered, failed for good, or given up when
  // GaveUp()).
  std::optional<std::chrono::seconds> AfterTry(const THttpFetchForm::TOutcome& outcome, TClock::time_point started,
                                               TClock::time_point now);
  // The last AfterTry ended the retries of a transient failure because time ran out.
  bool GaveUp() const { return FGaveUp; }
  // Tries of the latest head, and how long it was tried: for the record of giving up.
  int Tries() const { return FTries; }
  std::chrono::seconds TriedFor() const;

private:
  std::chrono::seconds FRetryFor;
  TClock::time_point FFirstTry, FLastTry;  // of the latest head
  int FTries = 0;
  bool FDone = true;  // the latest head is done with: the next try is another update's first
  bool FGaveUp = false;
};

} // namespace relaybox
