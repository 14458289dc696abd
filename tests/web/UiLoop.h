#pragma once

// Stands in for the user-interface thread: synchronised calls from worker
// threads queue here and the test's own thread runs them, while the worker
// waits, as the program's event loop would.
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <stdexcept>

#include "base/Thread.h"

namespace orlavonix::test {

class TUiLoop {
public:
  TUiLoop() {
    TThread::SetSyncDispatcher([this](const std::function<void()>& Fn) { Post(Fn); });
  }
  ~TUiLoop() { TThread::SetSyncDispatcher({}); }

  // Runs one queued call; false when none came within TimeoutMs.
  bool RunOne(int TimeoutMs) {
    std::unique_lock<std::mutex> L(FLock);
    if (!FWake.wait_for(L, std::chrono::milliseconds(TimeoutMs), [this] { return !FJobs.empty(); }))
      return false;
    TJob* J = FJobs.front();
    FJobs.pop_front();
    L.unlock();
    try {
      (*J->Fn)();
    } catch (...) {
      J->Error = std::current_exception();
    }
    L.lock();
    J->Done = true;
    FWake.notify_all();
    return true;
  }

  // True when a call is waiting right now.
  bool Pending() {
    std::lock_guard<std::mutex> L(FLock);
    return !FJobs.empty();
  }

private:
  struct TJob {
    const std::function<void()>* Fn;
    bool Done = false;
    std::exception_ptr Error;
  };

  void Post(const std::function<void()>& Fn) {
    TJob J{&Fn, false, nullptr};
    std::unique_lock<std::mutex> L(FLock);
    FJobs.push_back(&J);
    FWake.notify_all();
    // Bounded so that a test that stops running the loop fails instead of hanging.
    if (!FWake.wait_for(L, std::chrono::seconds(30), [&] { return J.Done; })) {
      if (std::erase(FJobs, &J) > 0)
        throw std::runtime_error("synchronised call was not run within 30 s");
      FWake.wait(L, [&] { return J.Done; }); // already running: let it finish
    }
    if (J.Error)
      std::rethrow_exception(J.Error);
  }

  std::mutex FLock;
  std::condition_variable FWake;
  std::deque<TJob*> FJobs;
};

} // namespace orlavonix::test
