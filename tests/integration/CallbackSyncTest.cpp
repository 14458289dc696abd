#include <atomic>
#include <chrono>
#include <gtest/gtest.h>
#include <thread>

#include "integration/CallbackSync.h"
#include "integration/SyncCall.h"
#include "integration/UiLoop.h"
#include "support/LogCapture.h"

using namespace orlavonix;
using namespace orlavonix::test;
using namespace std::chrono_literals;

namespace {

#pragma pack(push, 1)
struct TTagged {
  int32_t Kind;
  int32_t Thread;
  int32_t Seq;
};
#pragma pack(pop)

ORLAVONIX_DECLARE_EXCEPTION(EHandlerFailed, Exception);

// The wiring the console client uses: every post queues one DoIt task on
// the loop, as the Qt program queues one custom event.
struct TBridge {
  TUiLoop Loop;
  std::vector<std::vector<uint8_t>> Handled;
  std::function<void(const TEventRecord&)> OnRecord;
  std::atomic<int> Wakes{0};
  TCallbackSynchronizer Sync{[this](std::unique_ptr<TEventRecord> R) {
                               Handled.emplace_back(R->Data(), R->Data() + R->Size());
                               if (OnRecord)
                                 OnRecord(*R);
                             },
                             [this] {
                               ++Wakes;
                               Loop.Post([this] { Sync.DoIt(); });
                             }};
};

TEST(CallbackSynchronizer, RecordsFromTwoThreadsAreHandledInAppendOrderOnePerDoIt) {
  TBridge B;
  std::mutex OrderLock;
  std::vector<std::pair<int, int>> Appended;
  constexpr int PerThread = 500;
  auto Poster = [&](int Thread) {
    for (int I = 0; I < PerThread; ++I) {
      TTagged T{7, Thread, I};
      // The test's lock makes the append order observable.
      std::lock_guard<std::mutex> G(OrderLock);
      ASSERT_TRUE(B.Sync.PostCopy(&T, sizeof T));
      Appended.emplace_back(Thread, I);
      T.Seq = -1; // the caller's buffer may be reused at once
    }
  };
  std::thread A(Poster, 1), C(Poster, 2);
  ASSERT_TRUE(B.Loop.RunUntil([&] { return B.Handled.size() == 2 * PerThread; }, 20s));
  A.join();
  C.join();
  B.Loop.ProcessPending();
  ASSERT_EQ(B.Handled.size(), Appended.size());
  for (size_t I = 0; I < Appended.size(); ++I) {
    TTagged T;
    ASSERT_EQ(B.Handled[I].size(), sizeof T);
    std::memcpy(&T, B.Handled[I].data(), sizeof T);
    ASSERT_EQ(std::make_pair(T.Thread, T.Seq), Appended[I]) << "at " << I;
  }
  EXPECT_EQ(B.Wakes.load(), 2 * PerThread) << "one wake-up per post";
  EXPECT_EQ(B.Sync.Pending(), 0u);
}

TEST(CallbackSynchronizer, RecordPostedByAHandlerRunsAfterItAndAfterWaitingRecords) {
  TBridge B;
  std::vector<int32_t> Order;
  bool InHandler = false;
  B.OnRecord = [&](const TEventRecord& R) {
    EXPECT_FALSE(InHandler) << "handlers never nest";
    InHandler = true;
    Order.push_back(R.Kind());
    if (R.Kind() == 1) {
      auto Deferred = MakeKindOnlyRecord(cb_NextChannel);
      B.Sync.PostCopy(&Deferred, sizeof Deferred);
      EXPECT_EQ(Order.back(), 1) << "not handled while the poster runs";
    }
    InHandler = false;
  };
  for (int32_t K : {1, 2, 3}) {
    auto R = MakeKindOnlyRecord(K);
    B.Sync.PostCopy(&R, sizeof R);
  }
  ASSERT_TRUE(B.Loop.RunUntil([&] { return Order.size() == 4; }, 5s));
  EXPECT_EQ(Order, (std::vector<int32_t>{1, 2, 3, cb_NextChannel}));
}

TEST(CallbackSynchronizer, AHandlerThatRaisesIsLoggedWithTheKindAndTheNextRecordRuns) {
  test::TLogCaptureScope Log;
  TBridge B;
  B.OnRecord = [](const TEventRecord& R) {
    if (R.Kind() == 13)
      throw EHandlerFailed("tree node missing");
  };
  for (int32_t K : {13, 14}) {
    auto R = MakeKindOnlyRecord(K);
    B.Sync.PostCopy(&R, sizeof R);
  }
  B.Loop.ProcessPending();
  ASSERT_EQ(B.Handled.size(), 2u);
  EXPECT_EQ(GetLE<int32_t>(B.Handled[1].data()), 14);
  EXPECT_EQ(Log->Joined(), std::vector<std::string>{
                               "TCallbackSynchronizer.DoIt|Exception EHandlerFailed: tree node "
                               "missing ##doing 13##"});
}

TEST(CallbackSynchronizer, EmptyQueueShortRecordsAndDestructionWithWaitingRecords) {
  int Handled = 0;
  int Wakes = 0;
  {
    TCallbackSynchronizer S([&](std::unique_ptr<TEventRecord>) { ++Handled; }, [&] { ++Wakes; });
    S.DoIt();
    EXPECT_EQ(Handled, 0) << "DoIt on an empty queue does nothing";
    uint8_t Three[3] = {1, 2, 3};
    EXPECT_FALSE(S.PostCopy(Three, 3));
    EXPECT_FALSE(S.PostCopy(nullptr, 4));
    EXPECT_FALSE(S.PostCopy(Three, -1));
    EXPECT_EQ(Wakes, 0);
    auto Text = MakeKindTextRecord(cb_RemoteConnect, std::string(300, 'h'));
    EXPECT_EQ(Text.Text[0], 255);
    EXPECT_TRUE(S.PostCopy(&Text, sizeof Text));
    EXPECT_TRUE(S.PostCopy(&Text, sizeof Text));
    EXPECT_EQ(S.Pending(), 2u);
    EXPECT_EQ(Wakes, 2);
    // Leaving the scope frees both records without handling them; the leak
    // checker of the sanitizer build sees it if they are not freed.
  }
  EXPECT_EQ(Handled, 0);
}

TEST(SyncCallRoad, WorkerCallsRunOnTheUiThreadAndWait) {
  TUiLoop Loop;
  TSyncCallRoad Road([&] { Loop.Post([&] { Road.RunPending(); }); });
  const auto Ui = std::this_thread::get_id();
  std::atomic<int> Ran{0};
  std::atomic<bool> WorkerDone{false};
  std::thread Worker([&] {
    for (int I = 0; I < 50; ++I) {
      int Before = Ran.load();
      Road.Call([&] {
        EXPECT_EQ(std::this_thread::get_id(), Ui);
        ++Ran;
      });
      EXPECT_EQ(Ran.load(), Before + 1) << "Call returns only after the function ran";
    }
    try {
      Road.Call([] { throw EHandlerFailed("from the ui"); });
      ADD_FAILURE() << "the exception must reach the worker";
    } catch (const EHandlerFailed& E) {
      EXPECT_EQ(E.Message(), "from the ui");
    }
    WorkerDone = true;
    Loop.Post([] {});
  });
  EXPECT_TRUE(Loop.RunUntil([&] { return WorkerDone.load(); }, 20s));
  Worker.join();
  EXPECT_EQ(Ran.load(), 50);
  bool RanHere = false;
  Road.Call([&] { RanHere = true; });
  EXPECT_TRUE(RanHere) << "on the ui thread a call runs at once";
}

TEST(SyncCallRoad, ShutdownReleasesAWaitingWorkerWithoutRunningItsCall) {
  TUiLoop Loop;
  bool Queued = false; // set on the ui thread once the call waits in the road
  TSyncCallRoad Road([&] { Loop.Post([&] { Queued = true; }); });
  std::atomic<int> Outcome{0};
  bool Ran = false;
  std::thread Worker([&] {
    try {
      Road.Call([&] { Ran = true; });
      Outcome = 1;
    } catch (const ESyncCancelled&) {
      Outcome = 2;
    }
  });
  ASSERT_TRUE(Loop.RunUntil([&] { return Queued; }, 5s));
  EXPECT_EQ(Outcome.load(), 0) << "the worker still waits";
  Road.Shutdown();
  Worker.join();
  EXPECT_EQ(Outcome.load(), 2);
  EXPECT_FALSE(Ran);
  std::thread Late([&] { EXPECT_THROW(Road.Call([&] { Ran = true; }), ESyncCancelled); });
  Late.join();
  EXPECT_FALSE(Ran);
}

TEST(SyncCallRoad, InstalledAsTheThreadSynchronizeDispatcher) {
  TUiLoop Loop;
  TSyncCallRoad Road([&] { Loop.Post([&] { Road.RunPending(); }); });
  TThread::SetSyncDispatcher(Road.Dispatcher());
  const auto Ui = std::this_thread::get_id();
  std::atomic<bool> Done{false};
  std::thread::id RanOn;
  std::thread Worker([&] {
    TThread::Synchronize([&] { RanOn = std::this_thread::get_id(); });
    Done = true;
    Loop.Post([] {});
  });
  EXPECT_TRUE(Loop.RunUntil([&] { return Done.load(); }, 5s));
  Worker.join();
  TThread::SetSyncDispatcher(nullptr);
  EXPECT_EQ(RanOn, Ui);
}

} // namespace
