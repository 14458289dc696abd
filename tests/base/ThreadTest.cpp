#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>

#include "base/Thread.h"

using namespace orlavonix;

namespace {
class TCountingThread : public TThread {
public:
  std::atomic<int> Loops{0};
  ~TCountingThread() override {
    Terminate();
    WaitFor();
  }

protected:
  void Execute() override {
    while (!Terminated())
      if (Loops.fetch_add(1) > 1000000)
        break;
  }
};
} // namespace

TEST(Thread, TerminateAndWaitForEndTheLoop) {
  TCountingThread T;
  T.Start();
  auto Deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (T.Loops.load() == 0 && std::chrono::steady_clock::now() < Deadline)
    std::this_thread::yield();
  T.Terminate();
  T.WaitFor();
  EXPECT_TRUE(T.Finished());
  T.WaitFor(); // a second wait returns at once
}

TEST(Thread, SynchronizeRunsThroughTheInstalledDispatcher) {
  // A dispatcher that hands work to this (the "user-interface") thread.
  std::mutex M;
  std::condition_variable Cv;
  std::deque<std::function<void()>> Queue;
  std::thread::id UiThread = std::this_thread::get_id();
  TThread::SetSyncDispatcher([&](const std::function<void()>& Fn) {
    std::atomic<bool> Done{false};
    {
      std::lock_guard<std::mutex> G(M);
      Queue.push_back([&] {
        Fn();
        Done = true;
      });
    }
    Cv.notify_all();
    std::unique_lock<std::mutex> L(M);
    Cv.wait(L, [&] { return Done.load(); });
  });

  std::thread::id RanOn;
  std::thread Worker([&] { TThread::Synchronize([&] { RanOn = std::this_thread::get_id(); }); });
  {
    std::unique_lock<std::mutex> L(M);
    ASSERT_TRUE(Cv.wait_for(L, std::chrono::seconds(10), [&] { return !Queue.empty(); }));
    auto Fn = std::move(Queue.front());
    Queue.pop_front();
    L.unlock();
    Fn();
    Cv.notify_all();
  }
  Worker.join();
  TThread::SetSyncDispatcher(nullptr);
  EXPECT_EQ(RanOn, UiThread);
}

TEST(Thread, SynchronizeWithoutDispatcherRunsInPlace) {
  int Ran = 0;
  TThread::Synchronize([&] { ++Ran; });
  EXPECT_EQ(Ran, 1);
}
