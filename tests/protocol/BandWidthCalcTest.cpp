#include <gtest/gtest.h>

#include "protocol/BandWidthCalc.h"

using namespace orlavonix;

namespace {
struct Meter {
  TManualClock Clock;
  std::unique_ptr<TPerformanceTime> At(double Ms) {
    Clock.AdvanceMs(Ms);
    return NewPerformanceTime(&Clock);
  }
};
} // namespace

TEST(BandWidthCalc, RatesAfterTwoTicks) {
  Meter M;
  TBandWidthCalc Calc(true, &M.Clock);
  Calc.Add(1000, M.At(100).get());
  float PerSecond = 0, PerMinute = 0;
  Calc.GetRates(M.At(500).get(), PerSecond, PerMinute); // 600 ms after creation
  EXPECT_FLOAT_EQ(PerSecond, 2000);
  EXPECT_NEAR(PerMinute, 2000, 0.01);
}

TEST(BandWidthCalc, MinuteRateStaysExactAsRingWraps) {
  Meter M;
  TBandWidthCalc Calc(false, &M.Clock);
  for (int Tick = 0; Tick < 240 * 2; ++Tick)
    Calc.Add(250, M.At(250).get()); // 1000 bytes per second
  float PerSecond = 0, PerMinute = 0;
  Calc.GetRates(M.At(250).get(), PerSecond, PerMinute);
  EXPECT_FLOAT_EQ(PerSecond, 1000);
  EXPECT_NEAR(PerMinute, 1000, 0.01);
}

TEST(BandWidthCalc, LimitDebtAndWait) {
  Meter M;
  TBandWidthCalc Calc(false, &M.Clock);
  Calc.SetLimit(768);
  EXPECT_EQ(Calc.Quota(), 193);
  auto Now = M.At(50);
  Calc.Add(1000, Now.get());
  EXPECT_EQ(Calc.WaitTime(Now.get()), 200) << "rest of the current tick";
  Calc.WaitTime(M.At(200).get());
  EXPECT_EQ(Calc.Debt(), 807);
  // Blocked until the debt falls below one quota: 807 -> 614 -> 421 -> 228 -> 35.
  int Ticks = 0;
  while (Calc.WaitTime(M.At(250).get()) != 0)
    ++Ticks;
  EXPECT_EQ(Ticks, 3);
  EXPECT_EQ(Calc.Debt(), 35);
}

TEST(BandWidthCalc, NoLimitMeansNoWaitAndNoDebt) {
  Meter M;
  TBandWidthCalc Calc(false, &M.Clock);
  Calc.SetLimit(768);
  Calc.Add(5000, M.At(10).get());
  Calc.SetLimit(0);
  EXPECT_EQ(Calc.WaitTime(M.At(10).get()), 0);
  EXPECT_TRUE(Calc.CanSendCommand());
  Calc.WaitTime(M.At(250).get());
  EXPECT_EQ(Calc.Debt(), 0);
}

TEST(BandWidthCalc, ClockStepBeyondTwoHoursCountsNoTicks) {
  Meter M;
  TBandWidthCalc Calc(false, &M.Clock);
  Calc.Add(100, M.At(10).get());
  float PerSecond = 0, PerMinute = 0;
  Calc.GetRates(M.At(3.0 * 3600 * 1000).get(), PerSecond, PerMinute);
  EXPECT_FLOAT_EQ(PerSecond, 0) << "the step completes no tick";
  Calc.GetRates(M.At(-20000).get(), PerSecond, PerMinute); // backwards
  EXPECT_FLOAT_EQ(PerSecond, 0);
  EXPECT_EQ(Calc.Current(), 100);
}

TEST(ClientBandWidthCalc, CommandsEveryTwoTicksUnderLimit) {
  Meter M;
  TClientBandWidthCalc Calc(&M.Clock);
  Calc.SetLimit(768);
  EXPECT_TRUE(Calc.CanSendCommand()) << "the first command goes at once";
  Calc.AddCommand(100, M.At(10).get());
  EXPECT_FALSE(Calc.CanSendCommand());
  Calc.WaitTime(M.At(250).get());
  EXPECT_FALSE(Calc.CanSendCommand());
  Calc.WaitTime(M.At(250).get());
  EXPECT_TRUE(Calc.CanSendCommand());
}
