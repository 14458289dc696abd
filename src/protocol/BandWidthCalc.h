#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <mutex>

#include "protocol/TimeTools.h"

namespace orlavonix {

// Counts bytes in 250 ms ticks: rates over the last second and minute, and,
// with a limit set, how long a sender has to wait.
class TBandWidthCalc {
public:
  static constexpr int32_t TickMs = 250;

  explicit TBandWidthCalc(bool ThreadSafe, const TClock* Clock = nullptr);
  virtual ~TBandWidthCalc() = default;

  void Add(int32_t Bytes, const TPerformanceTime* Now = nullptr);
  void AddCommand(int32_t Bytes, const TPerformanceTime* Now = nullptr);
  void SetLimit(int32_t BytesPerSecond);
  int32_t WaitTime(const TPerformanceTime* Now = nullptr);
  bool CanSendCommand() const;
  void GetRates(const TPerformanceTime* Now, float& PerSecond, float& PerMinute);

  int32_t Limit() const { return FLimit; }
  int32_t Quota() const { return FQuota; }
  int32_t Debt() const { return FDebt; }
  int32_t Current() const { return FCurrent; }
  int32_t TicksSinceCommand() const { return FTicksSinceCommand; }

protected:
  int32_t FTicksSinceCommand = 0;

private:
  // Brings the ticks up to date; returns the milliseconds left in this tick.
  int32_t Update(const TPerformanceTime* Now);
  void AddLocked(int32_t Bytes, const TPerformanceTime* Now);

  int32_t FLimit = 0;
  int32_t FQuota = 0;
  std::unique_ptr<TPerformanceTime> FTimer;
  int32_t FLeftover = 0;
  int32_t FCurrent = 0;
  int32_t FDebt = 0;
  std::array<int32_t, 4> FSecondRing{};
  int32_t FSecondIndex = 0;
  bool FSecondFull = false;
  int32_t FSecondSum = 0;
  std::array<int32_t, 240> FMinuteRing{};
  int32_t FMinuteIndex = 0;
  bool FMinuteFull = false;
  int32_t FMinuteSum = 0;
  std::unique_ptr<std::mutex> FLock;
};

// The per-connection limiter: the first command may go at once.
class TClientBandWidthCalc : public TBandWidthCalc {
public:
  explicit TClientBandWidthCalc(const TClock* Clock = nullptr) : TBandWidthCalc(false, Clock) {
    FTicksSinceCommand = 2;
  }
};

} // namespace orlavonix
