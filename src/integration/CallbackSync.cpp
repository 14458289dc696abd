#include "integration/CallbackSync.h"

#include <cstring>

#include "protocol/logdebug.h"

namespace orlavonix {

TEventRecord::TEventRecord(const void* Data, size_t Size) : FData(new uint8_t[Size]), FSize(Size) {
  std::memcpy(FData.get(), Data, Size);
}

TCallbackSynchronizer::TCallbackSynchronizer(THandler Handler, TWakeHook Wake)
    : FHandler(std::move(Handler)), FWake(std::move(Wake)) {}

void TCallbackSynchronizer::Post(std::unique_ptr<TEventRecord> Item) {
  if (!Item || Item->Size() < sizeof(int32_t))
    return;
  {
    std::lock_guard<std::mutex> G(FLock);
    FList.push_back(std::move(Item));
  }
  if (FWake)
    FWake();
}

bool TCallbackSynchronizer::PostCopy(const void* Data, int32_t Size) {
  if (!Data || Size < static_cast<int32_t>(sizeof(int32_t)))
    return false;
  Post(std::make_unique<TEventRecord>(Data, static_cast<size_t>(Size)));
  return true;
}

void TCallbackSynchronizer::DoIt() {
  std::unique_ptr<TEventRecord> Item;
  int32_t Kind = 0;
  bool Taken = false;
  try {
    {
      std::lock_guard<std::mutex> G(FLock);
      if (!FList.empty()) {
        Item = std::move(FList.front());
        FList.pop_front();
      }
    }
    if (!Item)
      return;
    Kind = Item->Kind();
    Taken = true;
    FHandler(std::move(Item));
  } catch (const std::exception& E) {
    if (Taken)
      LogFmt(lkError, "TCallbackSynchronizer.DoIt", "Exception %1: %2 ##doing %3##",
             ExceptionClassName(E), E.what(), Kind);
    else
      LogFmt(lkError, "TCallbackSynchronizer.DoIt", "Exception %1: %2", ExceptionClassName(E),
             E.what());
  }
}

size_t TCallbackSynchronizer::Pending() const {
  std::lock_guard<std::mutex> G(FLock);
  return FList.size();
}

} // namespace orlavonix
