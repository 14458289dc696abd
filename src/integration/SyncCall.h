#pragma once

#include <condition_variable>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

#include "base/Exceptions.h"
#include "base/Thread.h"

namespace orlavonix {

// Raised in a worker whose synchronous call was dropped because the user
// interface is closing; the call did not run.
ORLAVONIX_DECLARE_EXCEPTION(ESyncCancelled, Exception);

// The synchronous-call road: a worker thread hands a function to the
// user-interface thread and waits until it has run there. Installed as the
// dispatcher behind TThread::Synchronize.
class TSyncCallRoad {
public:
  // Asks the user-interface loop to call RunPending soon; called on the
  // worker's thread, once per queued call.
  using TWakeHook = std::function<void()>;

  // The calling thread becomes the user-interface thread.
  explicit TSyncCallRoad(TWakeHook Wake);
  // Shuts down; never destroy the road while a worker may still call it.
  ~TSyncCallRoad();
  TSyncCallRoad(const TSyncCallRoad&) = delete;
  TSyncCallRoad& operator=(const TSyncCallRoad&) = delete;

  // Runs Fn on the user-interface thread and returns when it has run; on that
  // thread itself Fn runs at once. An exception of Fn is raised again here.
  void Call(const std::function<void()>& Fn);
  // A dispatcher for TThread::SetSyncDispatcher that calls this road.
  TSyncDispatcher Dispatcher() {
    return [this](const std::function<void()>& Fn) { Call(Fn); };
  }

  // User-interface thread: runs every call queued so far.
  void RunPending();
  // User-interface thread, when it stops serving calls (the main window is
  // closing): waiting and later calls raise ESyncCancelled without running,
  // so a worker can always be waited for.
  void Shutdown();

  bool IsUiThread() const { return std::this_thread::get_id() == FUiThread; }

private:
  struct TRequest {
    std::function<void()> Fn;
    std::exception_ptr Error;
    bool Done = false;
    bool Cancelled = false;
  };

  TWakeHook FWake;
  std::thread::id FUiThread;
  std::mutex FLock;
  std::condition_variable FDoneSignal;
  std::deque<std::shared_ptr<TRequest>> FQueue;
  bool FShutdown = false;
};

} // namespace orlavonix
