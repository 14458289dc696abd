#include <gtest/gtest.h>

#include "protocol/TimeTools.h"

using namespace orlavonix;

TEST(PerformanceTime, ElapsedMsTruncatesAndHandlesRange) {
  TManualClock Clock;
  TDefaultPerformanceTime T(&Clock);
  T.Restart();
  Clock.AdvanceMs(10.9);
  EXPECT_EQ(T.ElapsedMs(1000, false), 10);
  Clock.AdvanceMs(2000);
  EXPECT_EQ(T.ElapsedMs(1000, false), -1) << "above max without restart";
  EXPECT_EQ(T.ElapsedMs(1000, true), 0);
  EXPECT_EQ(T.ElapsedMs(1000, false), 0) << "restarted now";
  Clock.AdvanceMs(-5); // clock went back
  EXPECT_EQ(T.ElapsedMs(1000, false), -1);
}

TEST(PerformanceTime, ElapsedSinceRoundsAndRestartsWhenNegative) {
  TManualClock Clock;
  auto Earlier = NewPerformanceTime(&Clock);
  Clock.AdvanceMs(100.6);
  auto Now = NewPerformanceTime(&Clock);
  EXPECT_EQ(Earlier->ElapsedSince(*Now, 1000), 101);
  // This timer started after Now: negative difference restarts it.
  Clock.AdvanceMs(50);
  auto Later = NewPerformanceTime(&Clock);
  EXPECT_EQ(Later->ElapsedSince(*Now, 1000), 0);
  EXPECT_DOUBLE_EQ(Later->Start(), Clock.Now());
  EXPECT_EQ(Earlier->ElapsedSince(*Now, 50), 0) << "above max restarts too";
}

TEST(PerformanceTime, HasElapsed) {
  TManualClock Clock;
  auto T = NewPerformanceTime(&Clock);
  Clock.AdvanceMs(99.9);
  EXPECT_FALSE(T->HasElapsed(100, 1000, false));
  Clock.AdvanceMs(0.2);
  EXPECT_TRUE(T->HasElapsed(100, 1000, false));
  Clock.AdvanceMs(5000);
  EXPECT_TRUE(T->HasElapsed(100, 1000, false)) << "outside without restart: true";
  EXPECT_FALSE(T->HasElapsed(100, 1000, true)) << "outside with restart: false";
  EXPECT_EQ(T->ElapsedMs(1000, false), 0);
}

TEST(PerformanceTime, AssignCopiesStart) {
  TManualClock Clock;
  auto A = NewPerformanceTime(&Clock);
  Clock.AdvanceMs(30);
  auto B = NewPerformanceTime(&Clock);
  A->Assign(*B);
  EXPECT_EQ(A->ElapsedMs(1000, false), 0);
}

TEST(PerformanceTime, SystemClockAdvances) {
  auto T = NewPerformanceTime();
  double Start = T->Start();
  EXPECT_GT(Start, 40000.0); // a day count after the year 2009
  EXPECT_GE(T->ElapsedMs(1000, false), 0);
}
