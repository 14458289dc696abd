// The key notification road: a poster thread queues values in its own list
// and posts one wake-up each; the user-interface loop answers each wake-up
// by letting the handler take one value.
#include <gtest/gtest.h>

#include <chrono>
#include <deque>
#include <mutex>
#include <stdexcept>
#include <thread>

#include "integration/KeyNotifyRoad.h"
#include "integration/UiLoop.h"
#include "support/LogCapture.h"

using namespace orlavonix;
using namespace orlavonix::test;
using namespace std::chrono_literals;

namespace {

// Stands in for the sampler's list of waiting values.
struct TValues {
  std::mutex Lock;
  std::deque<int> Waiting;
  void Push(int V) {
    std::lock_guard<std::mutex> G(Lock);
    Waiting.push_back(V);
  }
  bool Take(int& V) {
    std::lock_guard<std::mutex> G(Lock);
    if (Waiting.empty())
      return false;
    V = Waiting.front();
    Waiting.pop_front();
    return true;
  }
};

struct TRoadRig {
  TUiLoop Loop;
  TValues Values;
  std::vector<int> Taken; // user-interface thread only
  std::thread::id UiThread = std::this_thread::get_id();
  bool OffThread = false;
  std::function<void(int)> OnValue;
  TKeyNotificationRoad Road{[this] {
                              OffThread |= std::this_thread::get_id() != UiThread;
                              int V;
                              if (Values.Take(V)) {
                                Taken.push_back(V);
                                if (OnValue)
                                  OnValue(V);
                              }
                            },
                            [this] { Loop.Post([this] { Road.DoIt(); }); }};
};

TEST(KeyNotificationRoad, EveryValueIsTakenOnceInOrderOnTheUserInterfaceThread) {
  TRoadRig R;
  constexpr int Count = 2000;
  std::thread Poster([&] {
    auto Notify = R.Road.Notifier();
    for (int I = 0; I < Count; ++I) {
      R.Values.Push(I);
      Notify();
    }
  });
  EXPECT_TRUE(R.Loop.RunUntil([&] { return R.Taken.size() == size_t(Count); }, 20s));
  Poster.join();
  R.Loop.ProcessPending();
  ASSERT_EQ(R.Taken.size(), size_t(Count));
  for (int I = 0; I < Count; ++I)
    ASSERT_EQ(R.Taken[size_t(I)], I);
  EXPECT_FALSE(R.OffThread);
  EXPECT_EQ(R.Road.Outstanding(), 0u);
  EXPECT_EQ(R.Road.Handled(), uint64_t(Count));
}

TEST(KeyNotificationRoad, OneWakeUpTakesOneValueAndSpareCallsDoNothing) {
  TRoadRig R;
  R.Values.Push(1);
  R.Values.Push(2);
  R.Road.Post();
  R.Road.Post();
  EXPECT_EQ(R.Road.Outstanding(), 2u);
  R.Road.DoIt();
  EXPECT_EQ(R.Taken, (std::vector<int>{1}));
  R.Road.DoIt();
  R.Road.DoIt(); // no wake-up left: the handler is not asked
  R.Road.DoIt();
  EXPECT_EQ(R.Taken, (std::vector<int>{1, 2}));
  EXPECT_EQ(R.Road.Handled(), 2u);
  EXPECT_EQ(R.Loop.ProcessPending(), 2u); // the queued wake-ups find nothing
  EXPECT_EQ(R.Road.Handled(), 2u);
}

TEST(KeyNotificationRoad, HandlerFailureIsLoggedAndTheNextValueIsStillHandled) {
  test::TLogCaptureScope Log;
  TRoadRig R;
  R.OnValue = [](int V) {
    if (V == 1)
      throw std::runtime_error("bad key");
  };
  for (int V : {1, 2}) {
    R.Values.Push(V);
    R.Road.Post();
  }
  R.Loop.ProcessPending();
  EXPECT_EQ(R.Taken, (std::vector<int>{1, 2}));
  EXPECT_EQ(R.Road.Handled(), 1u);
  auto Lines = Log->Joined();
  ASSERT_EQ(Lines.size(), 1u);
  EXPECT_NE(Lines[0].find("TKeyNotificationRoad.DoIt|Exception "), std::string::npos) << Lines[0];
  EXPECT_NE(Lines[0].find("bad key"), std::string::npos) << Lines[0];
}

TEST(KeyNotificationRoad, AfterClosingWakeUpsAreConsumedWithoutHandling) {
  TRoadRig R;
  R.Values.Push(1);
  R.Road.Post();
  R.Road.Close();
  R.Values.Push(2);
  R.Road.Post();
  EXPECT_EQ(R.Loop.ProcessPending(), 2u);
  EXPECT_TRUE(R.Taken.empty());
  EXPECT_EQ(R.Road.Outstanding(), 0u);
  EXPECT_EQ(R.Values.Waiting.size(), 2u) << "waiting values stay, unhandled";
}

} // namespace
