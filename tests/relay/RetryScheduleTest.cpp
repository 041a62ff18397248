#include "relay/RetrySchedule.h"

#include <gtest/gtest.h>

#include <vector>

namespace relaybox {
namespace {

using std::chrono::seconds;
using TOutcome = THttpFetchForm::TOutcome;

TOutcome Failed(const char* failure, bool noReply) {
  TOutcome outcome;
  outcome.Failure = failure;
  outcome.NoReply = noReply;
  return outcome;
}

TOutcome Replied(std::int32_t status, std::optional<seconds> retryAfter = std::nullopt) {
  TOutcome outcome;
  outcome.StatusCode = status;
  outcome.RetryAfter = retryAfter;
  return outcome;
}

TEST(RetryScheduleTest, DurationsAreReadAsWrittenAndNothingElse) {
  const struct {
    const char* Text;
    std::int64_t Seconds;  // 0: refused
  } cases[] = {{"90s", 90}, {"30m", 1800}, {"2h", 7200}, {"1h30m", 5400}, {"1d", 86400}, {"45", 45},
               {"", 0},     {"0", 0},      {"0m", 0},    {"m", 0},        {"1h30", 0},  {"-5m", 0},
               {"5 m", 0},  {"1.5h", 0},   {"2w", 0},    {"99999999999999999999s", 0}};
  for (const auto& c : cases) {
    const auto parsed = ParseRetryDuration(c.Text);
    EXPECT_EQ(parsed ? parsed->count() : 0, c.Seconds) << c.Text;
  }
  EXPECT_EQ(DurationText(seconds(5400)), "1h30m");
  EXPECT_EQ(DurationText(seconds(0)), "0s");
}

TEST(RetryScheduleTest, OnlyFailuresThatMayPassAreTriedAgain) {
  const struct {
    TOutcome Outcome;
    bool Transient;
  } cases[] = {
      {Failed("refused", true), true},
      {Failed("timed out after 10 s", true), true},
      {Failed("bad reply (Invalid status code)", false), false},
      {Failed("no address", false), false},
      {Replied(200), false},
      {Replied(404), false},
      {Replied(500), false},
      {Replied(429), true},
      {Replied(502), true},
      {Replied(503), true},
      {Replied(504), true},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(IsTransient(c.Outcome), c.Transient) << c.Outcome.StatusCode << c.Outcome.Failure;
  }
}

TEST(RetryScheduleTest, WaitsDoubleToTheCapAndEndWhenTheTimeIsUp) {
  const auto start = TRetrySchedule::TClock::time_point();
  const TOutcome refused = Failed("refused", true);
  TRetrySchedule schedule(seconds(3600));
  std::vector<std::int64_t> waits;
  auto now = start;
  for (int i = 0; i < 12; ++i) {
    const auto wait = schedule.AfterTry(refused, now, now);
    ASSERT_TRUE(wait);
    waits.push_back(wait->count());
    now += *wait;
  }
  EXPECT_EQ(waits, (std::vector<std::int64_t>{1, 2, 4, 8, 16, 32, 64, 128, 256, 300, 300, 300}));

  // The last try comes when the hour is up, and then it is given up.
  now = start + seconds(3590);
  EXPECT_EQ(schedule.AfterTry(refused, now, now), seconds(10));
  EXPECT_FALSE(schedule.AfterTry(refused, start + seconds(3600), start + seconds(3600)));
  EXPECT_TRUE(schedule.GaveUp());
  EXPECT_EQ(schedule.Tries(), 14);
  EXPECT_EQ(schedule.TriedFor(), seconds(3600));

  // The next update starts afresh; a success ends it at once; Retry-After is honoured up to the cap.
  EXPECT_EQ(schedule.AfterTry(Replied(503, seconds(20)), now, now), seconds(20));
  EXPECT_EQ(schedule.AfterTry(Replied(503, seconds(86400)), now, now), seconds(300));
  EXPECT_FALSE(schedule.AfterTry(Replied(200), now, now));
  EXPECT_FALSE(schedule.GaveUp());

  // Without retries asked for, every try is final.
  TRetrySchedule once(seconds(0));
  EXPECT_FALSE(once.AfterTry(refused, start, start));
  EXPECT_FALSE(once.GaveUp());
}

} // namespace
} // namespace relaybox
