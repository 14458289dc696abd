#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace orlavonix {

// Runs a function on the user-interface thread and returns when it has run.
// The program installs one that posts to its event loop; without one,
// Synchronize runs the function on the calling thread under one process-wide
// lock, which keeps synchronised calls from overlapping.
using TSyncDispatcher = std::function<void(const std::function<void()>&)>;

class TThread {
public:
  TThread() = default;
  virtual ~TThread();
  TThread(const TThread&) = delete;
  TThread& operator=(const TThread&) = delete;

  void Start();
  void Terminate() { FTerminated.store(true, std::memory_order_release); }
  bool Terminated() const { return FTerminated.load(std::memory_order_acquire); }
  // Waits for Execute to return; safe to call more than once.
  void WaitFor();
  bool Started() const { return FThread.joinable() || FFinished.load(); }
  bool Finished() const { return FFinished.load(std::memory_order_acquire); }

  static void Synchronize(const std::function<void()>& Fn);
  static void SetSyncDispatcher(TSyncDispatcher Dispatcher);

protected:
  virtual void Execute() = 0;

private:
  std::thread FThread;
  std::atomic<bool> FTerminated{false};
  std::atomic<bool> FFinished{false};
  std::mutex FJoinLock;
};

} // namespace orlavonix
