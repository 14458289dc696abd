#include "integration/SyncCall.h"

namespace orlavonix {

TSyncCallRoad::TSyncCallRoad(TWakeHook Wake)
    : FWake(std::move(Wake)), FUiThread(std::this_thread::get_id()) {}

TSyncCallRoad::~TSyncCallRoad() {
  Shutdown();
}

void TSyncCallRoad::Call(const std::function<void()>& Fn) {
  if (IsUiThread()) {
    Fn();
    return;
  }
  auto R = std::make_shared<TRequest>();
  R->Fn = Fn;
  {
    std::lock_guard<std::mutex> G(FLock);
    if (FShutdown)
      throw ESyncCancelled("The user interface no longer runs synchronous calls");
    FQueue.push_back(R);
  }
  if (FWake)
    FWake();
  std::unique_lock<std::mutex> G(FLock);
  FDoneSignal.wait(G, [&] { return R->Done || R->Cancelled; });
  if (R->Cancelled)
    throw ESyncCancelled("The user interface no longer runs synchronous calls");
  if (R->Error)
    std::rethrow_exception(R->Error);
}

void TSyncCallRoad::RunPending() {
  std::deque<std::shared_ptr<TRequest>> Batch;
  {
    std::lock_guard<std::mutex> G(FLock);
    Batch.swap(FQueue);
  }
  for (auto& Held : Batch) {
    // The waiting worker keeps the request alive until Done; dropping this
    // reference first leaves the last one, and the exception it may carry,
    // to the worker, so nothing is freed here that the worker still reads.
    TRequest* R = Held.get();
    std::function<void()> Fn = std::move(R->Fn);
    Held.reset();
    std::exception_ptr Error;
    try {
      Fn();
    } catch (...) {
      Error = std::current_exception();
    }
    {
      std::lock_guard<std::mutex> G(FLock);
      R->Error = std::move(Error);
      R->Done = true;
    }
    FDoneSignal.notify_all();
  }
}

void TSyncCallRoad::Shutdown() {
  {
    std::lock_guard<std::mutex> G(FLock);
    FShutdown = true;
    for (auto& R : FQueue)
      R->Cancelled = true;
    FQueue.clear();
  }
  FDoneSignal.notify_all();
}

} // namespace orlavonix
