#include "integration/KeyNotifyRoad.h"

#include <exception>
#include <utility>

#include "protocol/logdebug.h"

namespace orlavonix {

TKeyNotificationRoad::TKeyNotificationRoad(THandler Handler, TWakeHook Wake)
    : FHandler(std::move(Handler)), FWake(std::move(Wake)) {}

void TKeyNotificationRoad::Post() {
  {
    std::lock_guard<std::mutex> G(FLock);
    ++FOutstanding;
  }
  if (FWake)
    FWake();
}

void TKeyNotificationRoad::DoIt() {
  {
    std::lock_guard<std::mutex> G(FLock);
    if (FOutstanding == 0)
      return;
    --FOutstanding;
  }
  if (Closed() || !FHandler)
    return;
  try {
    FHandler();
    FHandled.fetch_add(1, std::memory_order_acq_rel);
  } catch (const std::exception& E) {
    LogException("TKeyNotificationRoad.DoIt", E);
  }
}

size_t TKeyNotificationRoad::Outstanding() const {
  std::lock_guard<std::mutex> G(FLock);
  return FOutstanding;
}

} // namespace orlavonix
