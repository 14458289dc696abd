#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>

namespace orlavonix {

// A toolkit-free user-interface loop for the console client and tests: a
// queue of tasks that any thread may post and the owning thread runs in
// posting order. The wake hooks of the callback road and of the synchronous
// road post their "run once" tasks here, as the Qt program posts events.
class TUiLoop {
public:
  using TTask = std::function<void()>;

  // Any thread.
  void Post(TTask Task) {
    {
      std::lock_guard<std::mutex> G(FLock);
      FTasks.push_back(std::move(Task));
    }
    FSignal.notify_one();
  }

  // Runs the tasks that are waiting now (not those they post); returns how
  // many ran.
  size_t ProcessPending() {
    std::deque<TTask> Batch;
    {
      std::lock_guard<std::mutex> G(FLock);
      Batch.swap(FTasks);
    }
    for (auto& T : Batch)
      T();
    return Batch.size();
  }

  // Runs tasks as they arrive until Done() holds or the time is up; returns
  // whether Done() held.
  template <typename Pred> bool RunUntil(Pred&& Done, std::chrono::milliseconds Timeout) {
    auto Deadline = std::chrono::steady_clock::now() + Timeout;
    for (;;) {
      ProcessPending();
      if (Done())
        return true;
      std::unique_lock<std::mutex> G(FLock);
      if (!FSignal.wait_until(G, Deadline, [&] { return !FTasks.empty(); }))
        return Done();
    }
  }

  size_t Waiting() const {
    std::lock_guard<std::mutex> G(FLock);
    return FTasks.size();
  }

private:
  mutable std::mutex FLock;
  std::condition_variable FSignal;
  std::deque<TTask> FTasks;
};

} // namespace orlavonix
