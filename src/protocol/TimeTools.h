#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

namespace orlavonix {

// Source of wall-clock time as a day count (days since 1899-12-30, the
// fraction being the time of day). Tests install a clock they advance by hand.
class TClock {
public:
  virtual ~TClock() = default;
  virtual double Now() const = 0;
};

// The system clock.
const TClock& SystemClock();

// A clock that moves only when told to.
class TManualClock : public TClock {
public:
  explicit TManualClock(double StartDays = 46000.0) : FNow(StartDays) {}
  double Now() const override { return FNow.load(); }
  void AdvanceMs(double Ms) { FNow.store(FNow.load() + Ms / MsPerDay); }
  void SetDays(double Days) { FNow.store(Days); }
  static constexpr double MsPerDay = 24.0 * 60 * 60 * 1000;

private:
  std::atomic<double> FNow;
};

class TPerformanceTime {
public:
  virtual ~TPerformanceTime() = default;
  virtual bool HasElapsed(int32_t Milliseconds, int32_t Max, bool RestartIfOutside) = 0;
  virtual int32_t ElapsedMs(int32_t Max, bool RestartIfOutside) = 0;
  virtual int32_t ElapsedSince(const TPerformanceTime& Now, int32_t Max) = 0;
  virtual void Assign(const TPerformanceTime& Other) = 0;
  virtual void Restart() = 0;
  virtual double Start() const = 0;
};

class TDefaultPerformanceTime : public TPerformanceTime {
public:
  explicit TDefaultPerformanceTime(const TClock* Clock = nullptr)
      : FClock(Clock ? Clock : &SystemClock()) {}

  bool HasElapsed(int32_t Milliseconds, int32_t Max, bool RestartIfOutside) override;
  int32_t ElapsedMs(int32_t Max, bool RestartIfOutside) override;
  int32_t ElapsedSince(const TPerformanceTime& Now, int32_t Max) override;
  void Assign(const TPerformanceTime& Other) override { FStart = Other.Start(); }
  void Restart() override { FStart = FClock->Now(); }
  double Start() const override { return FStart; }
  const TClock* Clock() const { return FClock; }

private:
  double ElapsedRaw() const;
  const TClock* FClock;
  double FStart = 0;
};

// A new timer, restarted now.
std::unique_ptr<TPerformanceTime> NewPerformanceTime(const TClock* Clock = nullptr);

} // namespace orlavonix
