#include "base/Thread.h"

#include <cstdio>
#include <exception>

namespace orlavonix {

namespace {
std::mutex GDispatcherLock;
TSyncDispatcher GDispatcher;
std::recursive_mutex GFallbackLock;
} // namespace

TThread::~TThread() {
  // A derived destructor should have stopped the thread already; this keeps a
  // forgotten one from terminating the process.
  Terminate();
  WaitFor();
}

void TThread::Start() {
  FThread = std::thread([this] {
    try {
      Execute();
    } catch (const std::exception& E) {
      std::fprintf(stderr, "unhandled exception in thread: %s\n", E.what());
    }
    FFinished.store(true, std::memory_order_release);
  });
}

void TThread::WaitFor() {
  std::lock_guard<std::mutex> G(FJoinLock);
  if (FThread.joinable() && FThread.get_id() != std::this_thread::get_id())
    FThread.join();
}

void TThread::Synchronize(const std::function<void()>& Fn) {
  TSyncDispatcher D;
  {
    std::lock_guard<std::mutex> G(GDispatcherLock);
    D = GDispatcher;
  }
  if (D) {
    D(Fn);
    return;
  }
  std::lock_guard<std::recursive_mutex> G(GFallbackLock);
  Fn();
}

void TThread::SetSyncDispatcher(TSyncDispatcher Dispatcher) {
  std::lock_guard<std::mutex> G(GDispatcherLock);
  GDispatcher = std::move(Dispatcher);
}

} // namespace orlavonix
