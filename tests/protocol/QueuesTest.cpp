#include <gtest/gtest.h>

#include <thread>

#include "base/Bytes.h"
#include "protocol/HashList.h"
#include "protocol/PacketBuffers.h"
#include "protocol/events.h"

using namespace orlavonix;

namespace {
TPacketPtr PacketWithPlayer(uint32_t Player, int Size = 24) {
  std::vector<uint8_t> B(static_cast<size_t>(Size), 0);
  PutLE<uint16_t>(B.data(), PacketClassCommand);
  PutLE<uint32_t>(B.data() + 8, Player);
  return std::make_unique<TPacket>(B.data(), Size);
}

std::string CreateError(int32_t Start, int32_t Grow, int32_t Max) {
  try {
    TFIFOList L(Start, Grow, Max);
    return "";
  } catch (const EFIFOList& E) {
    return E.what();
  }
}
} // namespace

TEST(FIFOList, CreateChecksInOrder) {
  EXPECT_EQ(CreateError(16, 4, 1024), "");
  EXPECT_EQ(CreateError(16, 4, 8), "StartItems if more than MaxItems");
  EXPECT_EQ(CreateError(16, 4, 100001),
            "100001 Items is to much. A FifoList can contain 100.000 items");
  EXPECT_EQ(CreateError(16, 10001, 100),
            "10001 Items is to much. A FifoList can grow with 10.000 items at a time max");
  EXPECT_EQ(CreateError(-2, 4, 8), "Negative parameter is not allowed");
  EXPECT_EQ(CreateError(0, 0, 0), "");
}

TEST(FIFOList, GrowsToCeilingThenRaises) {
  TFIFOList L(16, 4, 24);
  for (uint32_t I = 1; I <= 24; ++I)
    L.Add(PacketWithPlayer(I, 24 + static_cast<int>(I)));
  EXPECT_EQ(L.Capacity(), 24);
  EXPECT_EQ(L.Count(), 24);
  try {
    L.Add(PacketWithPlayer(25));
    FAIL();
  } catch (const EFIFOList& E) {
    EXPECT_STREQ(E.what(), "TFIFOList max items reached( 24, 4, 24)");
  }
  int32_t Bytes = 0;
  for (uint32_t I = 1; I <= 24; ++I)
    Bytes += 24 + static_cast<int32_t>(I);
  EXPECT_EQ(L.TotalBytes(), Bytes);
}

TEST(FIFOList, KeepsOrderAcrossWrapAndGrowth) {
  TFIFOList L(4, 3, 100);
  uint32_t Next = 1, Expect = 1;
  // Interleave adds and gets so that growth happens while the ring is wrapped.
  for (int Round = 0; Round < 20; ++Round) {
    for (int I = 0; I < 3; ++I)
      L.Add(PacketWithPlayer(Next++));
    auto P = L.Get();
    ASSERT_TRUE(P);
    EXPECT_EQ(P->GetPlayerId(), Expect++);
  }
  while (auto P = L.Get())
    EXPECT_EQ(P->GetPlayerId(), Expect++);
  EXPECT_EQ(Expect, Next);
  EXPECT_EQ(L.TotalBytes(), 0);
  L.Add(nullptr);
  EXPECT_EQ(L.Count(), 0);
}

TEST(FIFOList, PeekPlayerIdUsesSenderForServerVoice) {
  TFIFOList L(2, 2, 8);
  uint32_t Id = 99;
  EXPECT_FALSE(L.PeekPlayerId(Id));
  std::vector<uint8_t> B(30, 0);
  PutLE<uint16_t>(B.data(), PacketClassServerVoice);
  PutLE<uint32_t>(B.data() + 8, 5);
  PutLE<uint32_t>(B.data() + 16, 42);
  L.Add(std::make_unique<TPacket>(B.data(), 30));
  EXPECT_TRUE(L.PeekPlayerId(Id));
  EXPECT_EQ(Id, 42u);
  L.Get();
  L.Add(PacketWithPlayer(0));
  EXPECT_FALSE(L.PeekPlayerId(Id));
  EXPECT_EQ(Id, 0u);
}

TEST(FIFOListPlayerid, AddUniqueSkipsHeldIds) {
  TFIFOList_Playerid L(4, 4, 16);
  for (uint32_t Id : {1u, 2u, 1u, 3u, 2u})
    L.AddUnique(Id);
  EXPECT_EQ(L.Count(), 3);
  uint32_t Id;
  std::vector<uint32_t> Got;
  while (L.Get(Id))
    Got.push_back(Id);
  EXPECT_EQ(Got, (std::vector<uint32_t>{1, 2, 3}));
  // Exactly full: no scan, the id is appended after growing.
  for (uint32_t I : {7u, 8u, 9u, 10u})
    L.AddUnique(I);
  L.AddUnique(7);
  EXPECT_EQ(L.Count(), 5);
}

TEST(HashList, CreateRules) {
  auto Err = [](int32_t Size) -> std::string {
    try {
      THashList H(Size);
      return "";
    } catch (const EHashList& E) {
      return E.what();
    }
  };
  EXPECT_EQ(Err(1000), "1000 is not a power of 2");
  EXPECT_EQ(Err(0), "0 is not a positive number");
  EXPECT_EQ(Err(-4), "-4 is not a positive number");
  EXPECT_EQ(Err(1024), "");
  EXPECT_EQ(Err(1), "");
}

TEST(HashList, SharedBucketAddFindRemove) {
  THashList H(1024);
  int A = 1, B = 2, C = 3;
  ASSERT_EQ(H.BucketOf(5), H.BucketOf(1029));
  H.Add(5, &A);
  H.Add(1029, &B);
  H.Add(2053, &C);
  EXPECT_EQ(H.Find(5), &A);
  EXPECT_EQ(H.Find(1029), &B);
  EXPECT_EQ(H.Find(6), nullptr);
  try {
    H.Add(5, &C);
    FAIL();
  } catch (const EHashList& E) {
    EXPECT_STREQ(E.what(), "Item nr 5 already exists");
  }
  H.Remove(1029); // the middle of the chain
  EXPECT_EQ(H.Find(1029), nullptr);
  EXPECT_EQ(H.Find(5), &A);
  EXPECT_EQ(H.Find(2053), &C);
  try {
    H.Remove(1029);
    FAIL();
  } catch (const EHashList& E) {
    EXPECT_STREQ(E.what(), "Item nr 1029 does not exist");
  }
  H.Add(-7, &A); // negative keys land in a valid bucket
  EXPECT_EQ(H.Find(-7), &A);
}

TEST(WindowsEvent, SignalOnceSemantics) {
  TWindowsEvent E;
  EXPECT_EQ(E.WaitFor(0), wrTimeout);
  E.SetEvent();
  E.SetEvent();
  EXPECT_EQ(E.WaitFor(0), wrSignaled);
  EXPECT_EQ(E.WaitFor(0), wrTimeout);
  E.SetEvent();
  E.ResetEvent();
  EXPECT_EQ(E.WaitFor(0), wrTimeout);
}

TEST(WindowsEvent, WakesAWaitingThread) {
  TWindowsEvent E;
  std::thread T([&] { E.SetEvent(); });
  EXPECT_EQ(E.WaitFor(10000), wrSignaled);
  T.join();
}
