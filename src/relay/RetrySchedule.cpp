#include "relay/RetrySchedule.h"

#include <algorithm>
#include <cctype>
#include <utility>

namespace relaybox {

std::optional<std::chrono::seconds> ParseRetryDuration(std::string_view text) {
  constexpr std::int64_t Limit = 100LL * 365 * 24 * 3600;  // a century: far past any use, far from overflow
  std::int64_t total = 0;
  std::size_t i = 0;
  while (i < text.size()) {
    std::int64_t number = 0;
    const std::size_t start = i;
    for (; i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])); ++i) {
      number = number * 10 + (text[i] - '0');
      if (number > Limit) return std::nullopt;
    }
    if (i == start) return std::nullopt;
    std::int64_t unit = 1;
    if (i < text.size()) {
      switch (text[i++]) {
        case 's': unit = 1; break;
        case 'm': unit = 60; break;
        case 'h': unit = 3600; break;
        case 'd': unit = 86400; break;
        default: return std::nullopt;
      }
    } else if (start > 0) {
      return std::nullopt;  // "1h30": the last number needs its unit too
    }
    total += number * unit;
    if (total > Limit) return std::nullopt;
  }
  if (total == 0) return std::nullopt;
  return std::chrono::seconds(total);
}

std::string DurationText(std::chrono::seconds duration) {
  std::int64_t left = std::max<std::int64_t>(duration.count(), 0);
  std::string text;
  for (const auto& [size, unit] : {std::pair{86400, 'd'}, {3600, 'h'}, {60, 'm'}, {1, 's'}}) {
    if (left >= size) text += std::to_string(left / size) + unit;
    left %= size;
  }
  return text.empty() ? "0s" : text;
}

bool IsTransient(const THttpFetchForm::TOutcome& outcome) {
  if (!outcome.Failure.empty()) return outcome.NoReply;
  const int status = outcome.StatusCode;
  return status == 429 || status == 502 || status == 503 || status == 504;
}

std::optional<std::chrono::seconds> TRetrySchedule::AfterTry(const THttpFetchForm::TOutcome& outcome,
                                                             TClock::time_point started, TClock::time_point now) {
  if (std::exchange(FDone, false)) {
    FFirstTry = started;
    FTries = 0;
  }
  ++FTries;
  FLastTry = now;
  FGaveUp = false;
  if (FRetryFor.count() > 0 && IsTransient(outcome)) {
    const auto deadline = FFirstTry + FRetryFor;
    if (now < deadline) {
      std::chrono::seconds wait = FirstWait * (1 << std::min(FTries - 1, 9));
      if (outcome.RetryAfter) wait = *outcome.RetryAfter;
      wait = std::clamp(wait, FirstWait, LongestWait);
      // The last try comes when the time is up, not after it.
      return std::min(wait, std::chrono::ceil<std::chrono::seconds>(deadline - now));
    }
    FGaveUp = true;
  }
  FDone = true;
  return std::nullopt;
}

std::chrono::seconds TRetrySchedule::TriedFor() const {
  return std::chrono::floor<std::chrono::seconds>(FLastTry - FFirstTry);
}

} // namespace relaybox
