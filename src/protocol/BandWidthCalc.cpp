#include "protocol/BandWidthCalc.h"

#include <algorithm>
#include <cmath>

namespace orlavonix {

namespace {
constexpr int32_t MaxElapsedMs = 7200000;

struct TOptionalLock {
  explicit TOptionalLock(std::mutex* M) : FM(M) {
    if (FM)
      FM->lock();
  }
  ~TOptionalLock() {
    if (FM)
      FM->unlock();
  }
  std::mutex* FM;
};

int32_t QuotaOf(int32_t BytesPerSecond) {
  // Rounded to nearest, halves to even.
  return static_cast<int32_t>(std::nearbyint(BytesPerSecond * 0.25)) + 1;
}
} // namespace

TBandWidthCalc::TBandWidthCalc(bool ThreadSafe, const TClock* Clock)
    : FTimer(NewPerformanceTime(Clock)) {
  if (ThreadSafe)
    FLock = std::make_unique<std::mutex>();
}

int32_t TBandWidthCalc::Update(const TPerformanceTime* Now) {
  int32_t Elapsed =
      Now ? FTimer->ElapsedSince(*Now, MaxElapsedMs) : FTimer->ElapsedMs(MaxElapsedMs, true);
  Elapsed += FLeftover;
  int32_t Ticks = Elapsed / TickMs;
  int32_t Remainder = Elapsed % TickMs;
  for (int32_t I = 0; I < Ticks; ++I) {
    FSecondSum -= FSecondRing[FSecondIndex];
    FSecondRing[FSecondIndex] = FCurrent;
    FSecondSum += FCurrent;
    if (++FSecondIndex == 4) {
      FSecondIndex = 0;
      FSecondFull = true;
    }
    FMinuteSum -= FMinuteRing[FMinuteIndex];
    FMinuteRing[FMinuteIndex] = FCurrent;
    FMinuteSum += FCurrent;
    if (++FMinuteIndex == 240) {
      FMinuteIndex = 0;
      FMinuteFull = true;
    }
    FDebt += FCurrent;
    FCurrent = 0;
    if (FLimit == 0)
      FDebt = 0;
    else
      FDebt -= std::min(FDebt, FQuota);
    ++FTicksSinceCommand;
  }
  if (Ticks > 0) {
    if (Now)
      FTimer->Assign(*Now);
    else
      FTimer->Restart();
    FLeftover = Remainder;
  }
  return TickMs - Remainder;
}

void TBandWidthCalc::AddLocked(int32_t Bytes, const TPerformanceTime* Now) {
  Update(Now);
  FCurrent += Bytes;
}

void TBandWidthCalc::Add(int32_t Bytes, const TPerformanceTime* Now) {
  TOptionalLock G(FLock.get());
  AddLocked(Bytes, Now);
}

void TBandWidthCalc::AddCommand(int32_t Bytes, const TPerformanceTime* Now) {
  TOptionalLock G(FLock.get());
  FTicksSinceCommand = 0;
  AddLocked(Bytes, Now);
}

void TBandWidthCalc::SetLimit(int32_t BytesPerSecond) {
  TOptionalLock G(FLock.get());
  FLimit = BytesPerSecond;
  FQuota = QuotaOf(BytesPerSecond);
}

int32_t TBandWidthCalc::WaitTime(const TPerformanceTime* Now) {
  TOptionalLock G(FLock.get());
  int32_t Left = Update(Now);
  if (FLimit == 0 || FCurrent + FDebt < FQuota)
    return 0;
  return Left;
}

bool TBandWidthCalc::CanSendCommand() const {
  return !(FLimit != 0 && FTicksSinceCommand < 2);
}

void TBandWidthCalc::GetRates(const TPerformanceTime* Now, float& PerSecond, float& PerMinute) {
  TOptionalLock G(FLock.get());
  Update(Now);
  if (FSecondFull)
    PerSecond = static_cast<float>(FSecondSum);
  else
    PerSecond = FSecondIndex == 0 ? 0.0f : static_cast<float>(FSecondSum) * 4 / FSecondIndex;
  if (FMinuteFull)
    PerMinute = static_cast<float>(FMinuteSum) / 60;
  else
    PerMinute = FMinuteIndex == 0 ? 0.0f : static_cast<float>(FMinuteSum) / 60 * 240 / FMinuteIndex;
}

} // namespace orlavonix
