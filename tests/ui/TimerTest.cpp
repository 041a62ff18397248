#include "ui/Timer.h"

#include <gtest/gtest.h>

#include <QTest>

namespace relaybox {
namespace {

TEST(TimerTest, FiresRepeatedlyWhileEnabledAndStopsWhenDisabled) {
  TTimer timer(10, false);
  int ticks = 0;
  timer.OnTimer = [&] { ++ticks; };
  QTest::qWait(50);
  EXPECT_EQ(ticks, 0);

  timer.SetEnabled(true);
  EXPECT_TRUE(QTest::qWaitFor([&] { return ticks >= 3; }, 5000));

  timer.SetEnabled(false);
  const int stoppedAt = ticks;
  QTest::qWait(50);
  EXPECT_EQ(ticks, stoppedAt);
}

TEST(TimerTest, AHandlerMayStopAndRestartItsOwnTimer) {
  TTimer timer(10, true);
  int ticks = 0;
  timer.OnTimer = [&] {
    timer.SetEnabled(false);
    ++ticks;
    timer.SetEnabled(true);
  };
  EXPECT_TRUE(QTest::qWaitFor([&] { return ticks >= 3; }, 5000));
  EXPECT_TRUE(timer.Enabled());
}

TEST(TimerTest, AZeroIntervalNeverFires) {
  TTimer timer(0, true);
  int ticks = 0;
  timer.OnTimer = [&] { ++ticks; };
  QTest::qWait(50);
  EXPECT_EQ(ticks, 0);
  timer.SetInterval(10);
  EXPECT_TRUE(QTest::qWaitFor([&] { return ticks >= 1; }, 5000));
}

} // namespace
} // namespace relaybox
