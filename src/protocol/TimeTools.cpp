#include "protocol/TimeTools.h"

#include <chrono>
#include <cmath>

namespace orlavonix {

namespace {
class TSystemClock : public TClock {
public:
  double Now() const override {
    using namespace std::chrono;
    // Unix epoch is day 25569 of the day count.
    auto Us = duration_cast<microseconds>(system_clock::now().time_since_epoch()).count();
    return 25569.0 + static_cast<double>(Us) / (TManualClock::MsPerDay * 1000.0);
  }
};
} // namespace

const TClock& SystemClock() {
  static const TSystemClock Clock;
  return Clock;
}

double TDefaultPerformanceTime::ElapsedRaw() const {
  return (FClock->Now() - FStart) * TManualClock::MsPerDay;
}

int32_t TDefaultPerformanceTime::ElapsedMs(int32_t Max, bool RestartIfOutside) {
  double Ms = std::trunc(ElapsedRaw());
  if (Ms < 0 || Ms > Max) {
    if (RestartIfOutside) {
      Restart();
      return 0;
    }
    return -1;
  }
  return static_cast<int32_t>(Ms);
}

int32_t TDefaultPerformanceTime::ElapsedSince(const TPerformanceTime& Now, int32_t Max) {
  double Ms = std::nearbyint((Now.Start() - FStart) * TManualClock::MsPerDay);
  if (Ms < 0 || Ms > Max) {
    Restart();
    return 0;
  }
  return static_cast<int32_t>(Ms);
}

bool TDefaultPerformanceTime::HasElapsed(int32_t Milliseconds, int32_t Max, bool RestartIfOutside) {
  double Ms = ElapsedRaw();
  if (Ms >= 0 && Ms <= Max)
    return Ms > Milliseconds;
  if (!RestartIfOutside)
    return true;
  Restart();
  return false;
}

std::unique_ptr<TPerformanceTime> NewPerformanceTime(const TClock* Clock) {
  auto T = std::make_unique<TDefaultPerformanceTime>(Clock);
  T->Restart();
  return T;
}

} // namespace orlavonix
