#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "protocol/PacketBuffers.h"
#include "support/ServerPackets.h"

using namespace orlavonix;
using namespace orlavonix::testing;

namespace {
constexpr uint32_t Me = 7;
constexpr uint32_t Conn = 99;

// A buffer with one connection on a clock that moves only when told.
class PacketBufferTest : public ::testing::Test {
protected:
  void SetUp() override {
    Buf = std::make_unique<TCustomPacketBuffer>(pboClient | pboResend | pboKeepAlive, &Clock);
    Buf->AddConnection(Me, Conn, "127.0.0.1", 8767, 1, "");
  }

  std::vector<TPacketPtr> Sent() {
    std::vector<TPacketPtr> Out;
    while (TPacketPtr P = Buf->TryGetPacketToSend())
      Out.push_back(std::move(P));
    return Out;
  }
  std::vector<TPacketPtr> Delivered() {
    std::vector<TPacketPtr> Out;
    for (;;) {
      int32_t Kind;
      uint32_t Id;
      TPacketPtr P;
      Buf->TryGetEvent(Kind, Id, P);
      if (Kind != bekPacketReceived)
        return Out;
      Out.push_back(std::move(P));
    }
  }
  int32_t NextEventKind() {
    int32_t Kind;
    uint32_t Id = 0;
    TPacketPtr P;
    Buf->TryGetEvent(Kind, Id, P);
    return Kind;
  }
  void Receive(TPacketPtr P) { Buf->ReceivePacket(std::move(P)); }
  // Advances the clock in steps of one send pass until something is sent;
  // returns the milliseconds advanced, or -1.
  int StepUntilSent(std::vector<TPacketPtr>& Out, int MaxMs) {
    for (int T = 50; T <= MaxMs; T += 50) {
      Clock.AdvanceMs(50);
      Out = Sent();
      if (!Out.empty())
        return T;
    }
    return -1;
  }
  template <typename F> void Inspect(F&& Fn) { ASSERT_TRUE(Buf->InspectConnection(Me, Fn)); }
  // Moves the connection to its connected state as LoginStep6 does.
  void Connected() {
    Receive(Command(8, Me, Conn, 1, TBytes(256, 0)));
    Delivered();
    Sent();
  }

  TManualClock Clock;
  std::unique_ptr<TCustomPacketBuffer> Buf;
};

TPacketPtr ClientCommand(int16_t Type, size_t Size) {
  TBytes B = CommandBytes(Type, Me, 0, 0, TBytes(Size - 24));
  for (size_t I = 24; I < B.size(); ++I)
    B[I] = static_cast<uint8_t>(I);
  return ToPacket(B, false);
}

TPacketPtr ClientVoice(uint32_t Player, size_t Payload = 20) {
  TByteWriter W;
  W.U16(PacketClassClientVoice).U8(0).U8(5).U32(0).U32(Player).U16(0).U16(1);
  W.Zeros(Payload);
  return ToPacket(W.Data(), false);
}

std::string ReceiveError(TCustomPacketBuffer& B, TPacketPtr P) {
  try {
    B.ReceivePacket(std::move(P));
    return "";
  } catch (const Exception& E) {
    return std::string(E.ClassName()) + ": " + E.what();
  }
}
} // namespace

TEST_F(PacketBufferTest, ReorderWindowAcknowledgesAndHoldsOnlyInsideSixteen) {
  struct Case {
    uint32_t Seq;
    bool Acked;
  } Cases[] = {{1 + 15, true}, {1 + 16, false}, {0xFFFFFFFFu, false}, {0x80000000u, false}};
  for (const Case& C : Cases) {
    SetUp();
    Receive(Command(100, Me, Conn, C.Seq, TBytes(44)));
    auto Out = Sent();
    ASSERT_EQ(Out.size(), C.Acked ? 1u : 0u) << C.Seq;
    if (C.Acked) {
      ASSERT_TRUE(Out[0]->IsAck());
      EXPECT_EQ(Out[0]->AckHeader()->Sequence, V(C.Seq));
      EXPECT_EQ(Out[0]->AckHeader()->PlayerId, Me);
      EXPECT_EQ(Out[0]->AckHeader()->ConnectionId, Conn);
    }
    EXPECT_TRUE(Delivered().empty());
    // Filling the gap delivers what was held, in order.
    for (uint32_t S = 1; S < 16; ++S)
      Receive(Command(100, Me, Conn, S));
    auto D = Delivered();
    ASSERT_EQ(D.size(), C.Acked ? 16u : 15u) << C.Seq;
    for (size_t I = 0; I < D.size(); ++I)
      EXPECT_EQ(D[I]->CommandHeader()->Sequence, I + 1);
  }
}

TEST_F(PacketBufferTest, OutOfOrderAndDuplicatesDeliverOnceInOrderAndReacknowledge) {
  Receive(Command(100, Me, Conn, 2));
  Receive(Command(100, Me, Conn, 3));
  EXPECT_TRUE(Delivered().empty());
  Receive(Command(100, Me, Conn, 1));
  auto D = Delivered();
  ASSERT_EQ(D.size(), 3u);
  for (uint32_t I = 0; I < 3; ++I)
    EXPECT_EQ(D[I]->CommandHeader()->Sequence, I + 1);
  EXPECT_EQ(Sent().size(), 3u);

  // A copy resent by the server after it missed our acknowledgement.
  Receive(Command(100, Me, Conn, 2, {}, 1));
  EXPECT_TRUE(Delivered().empty());
  auto A = Sent();
  ASSERT_EQ(A.size(), 1u);
  EXPECT_EQ(A[0]->AckHeader()->Sequence, 2u);
  EXPECT_EQ(A[0]->AckHeader()->ResendCount, 1u);
  Inspect([](const TSingleConnection& C) { EXPECT_EQ(C.ExpectedReliable(), 4u); });
}

TEST_F(PacketBufferTest, LongCommandIsSplitAndJoinedAgain) {
  Buf->SendPacket(ClientCommand(430, 1200));
  auto Out = Sent();
  ASSERT_EQ(Out.size(), 3u);
  const int32_t Payload[] = {536, 536, 104};
  TBytes Joined;
  for (int I = 0; I < 3; ++I) {
    EXPECT_EQ(Out[I]->Size(), 24 + Payload[I]);
    EXPECT_EQ(Out[I]->CommandHeader()->FragmentsFollowing, 2 - I);
    EXPECT_EQ(Out[I]->CommandHeader()->Sequence, static_cast<uint32_t>(I + 1));
    EXPECT_EQ(Out[I]->CommandHeader()->ConnectionId, Conn);
    EXPECT_EQ(Out[I]->CommandHeader()->PacketType, 430);
    EXPECT_TRUE(Out[I]->CheckCrc());
    Joined.insert(Joined.end(), Out[I]->Memory() + 24, Out[I]->Memory() + Out[I]->Size());
  }
  // The same fragments coming from the server are delivered as one packet.
  for (int I = 0; I < 3; ++I) {
    TBytes F(Out[I]->Memory(), Out[I]->Memory() + Out[I]->Size());
    PutLE<uint32_t>(F.data() + 8, Me);
    Receive(ToPacket(F));
    if (I < 2) {
      EXPECT_TRUE(Delivered().empty());
    }
  }
  auto D = Delivered();
  ASSERT_EQ(D.size(), 1u);
  ASSERT_EQ(D[0]->Size(), 24 + 1176);
  EXPECT_EQ(TBytes(D[0]->Memory() + 24, D[0]->Memory() + 1200), Joined);
  EXPECT_EQ(Joined[0], 24);
}

TEST_F(PacketBufferTest, FragmentsThatNeverEndAreCutAtTheGuard) {
  uint32_t Seq = 1;
  size_t Delivered_ = 0;
  for (; Seq <= 250 && Delivered_ == 0; ++Seq) {
    Receive(Command(130, Me, Conn, Seq, TBytes(536, 'x'), 0, 255));
    Delivered_ = Delivered().size();
    Sent();
  }
  EXPECT_EQ(Delivered_, 1u);
  // 560 bytes, then 536 more a fragment: 200 fragments make 107224 > 107200.
  EXPECT_EQ(Seq - 1, 200u);
  Inspect([](const TSingleConnection& C) { EXPECT_EQ(C.PartialSize(), 0); });
}

TEST_F(PacketBufferTest, WindowOfEightHoldsTheNinthUntilAnAcknowledgement) {
  for (int I = 0; I < 9; ++I)
    Buf->SendPacket(ClientCommand(304, 26));
  auto Out = Sent();
  ASSERT_EQ(Out.size(), 8u);
  EXPECT_EQ(Out.back()->CommandHeader()->Sequence, 8u);
  Receive(Ack(Me, Conn, 1));
  Out = Sent();
  ASSERT_EQ(Out.size(), 1u);
  EXPECT_EQ(Out[0]->CommandHeader()->Sequence, 9u);
}

TEST_F(PacketBufferTest, ResendAfterTimeoutAndLossFromAcknowledgement) {
  Buf->SendPacket(ClientCommand(304, 26));
  ASSERT_EQ(Sent().size(), 1u);
  // Passes run every 50 ms; at 100 ms the time-out has not been exceeded yet.
  std::vector<TPacketPtr> R;
  EXPECT_EQ(StepUntilSent(R, 1000), 150);
  ASSERT_EQ(R.size(), 1u);
  EXPECT_EQ(R[0]->CommandHeader()->Sequence, 1u);
  EXPECT_EQ(R[0]->CommandHeader()->ResendCount, 1u);
  EXPECT_TRUE(R[0]->CheckCrc());
  EXPECT_EQ(StepUntilSent(R, 1000), 150);
  ASSERT_EQ(R.size(), 1u);
  EXPECT_EQ(R[0]->CommandHeader()->ResendCount, 2u);

  Receive(Ack(Me, Conn, 1, 2));
  Inspect([](const TSingleConnection& C) {
    EXPECT_EQ(C.PacketsLost(), 2);
    EXPECT_EQ(C.InFlightCount(), 0);
    EXPECT_EQ(C.ResendTimeout(), 100) << "a resent copy gives no ping sample";
  });
  // An acknowledgement for nothing in flight changes nothing.
  Receive(Ack(Me, Conn, 1, 0));
  Inspect([](const TSingleConnection& C) { EXPECT_EQ(C.PacketsLost(), 2); });
}

TEST_F(PacketBufferTest, PingSamplesSetTheResendTimeout) {
  struct Case {
    double Ms;
    int32_t Average;
    int32_t Timeout;
  } Cases[] = {{300.5, 300, 450}, {20.5, 20, 100}, {100.5, 100, 150}};
  for (const Case& C : Cases) {
    SetUp();
    for (uint32_t I = 1; I <= 16; ++I) {
      Buf->SendPacket(ClientCommand(304, 26));
      ASSERT_EQ(Sent().size(), 1u);
      Clock.AdvanceMs(C.Ms);
      Receive(Ack(Me, Conn, I, 0));
    }
    Inspect([&](const TSingleConnection& T) {
      EXPECT_EQ(T.AveragePing(), V(C.Average));
      EXPECT_EQ(T.ResendTimeout(), V(C.Timeout));
    });
  }
}

TEST_F(PacketBufferTest, VoiceLossAccountingWithWrapAround) {
  struct Case {
    uint32_t Expected;
    uint16_t Seq;
    int64_t Lost;
    uint32_t NextExpected;
  } Cases[] = {
      {65534, 3, 0, 4}, {10, 14, 4, 15}, {10, 65534, 0, 65535},
      {10, 5, 0, 10},   {1, 1, 0, 2},    {65535, 65535, 0, 0},
  };
  for (const Case& C : Cases) {
    SetUp();
    Connected();
    if (C.Expected != 1) {
      // Bring the expectation where the case wants it.
      Receive(ServerVoice(Me, Conn, static_cast<uint16_t>(C.Expected - 1), 3));
    }
    int64_t Before = 0;
    Inspect([&](const TSingleConnection& T) {
      ASSERT_EQ(T.ExpectedVoice(), V(C.Expected));
      Before = T.PacketsLost();
    });
    Receive(ServerVoice(Me, Conn, C.Seq, 3));
    Inspect([&](const TSingleConnection& T) {
      EXPECT_EQ(T.PacketsLost() - Before, V(C.Lost)) << C.Expected << " " << C.Seq;
      EXPECT_EQ(T.ExpectedVoice(), V(C.NextExpected)) << C.Expected << " " << C.Seq;
    });
    EXPECT_EQ(Delivered().size(), C.Expected != 1 ? 2u : 1u) << "voice is always delivered";
  }
}

TEST_F(PacketBufferTest, KeepAlivePingAndPongSamples) {
  Connected();
  std::vector<TPacketPtr> P;
  EXPECT_EQ(StepUntilSent(P, 5000), 1050) << "the first pass at least 1010 ms after the last send";
  ASSERT_EQ(P.size(), 1u);
  ASSERT_TRUE(P[0]->IsMaintenance());
  EXPECT_EQ(P[0]->MaintenanceHeader()->PacketType, mtPing);
  EXPECT_EQ(P[0]->Size(), 20);
  EXPECT_TRUE(P[0]->CheckCrc());
  const uint32_t PingSeq = P[0]->MaintenanceHeader()->Sequence;

  Clock.AdvanceMs(80.5);
  Receive(Maintenance(mtPong, Me, Conn, 10, U32Bytes(PingSeq + 1)));
  Inspect([](const TSingleConnection& T) { EXPECT_EQ(T.AveragePing(), 50); });
  Receive(Maintenance(mtPong, Me, Conn, 11, U32Bytes(PingSeq)));
  // One sample of 80 among fifteen of 50.
  Inspect([](const TSingleConnection& T) { EXPECT_EQ(T.AveragePing(), (15 * 50 + 80) / 16); });
  // A pong without its payload is not read past its end.
  Receive(Maintenance(mtPong, Me, Conn, 12));

  // The server's ping is answered with a pong carrying its sequence.
  Receive(Maintenance(mtPing, Me, Conn, 40));
  auto A = Sent();
  ASSERT_EQ(A.size(), 1u);
  EXPECT_EQ(A[0]->MaintenanceHeader()->PacketType, mtPong);
  ASSERT_EQ(A[0]->Size(), 24);
  EXPECT_EQ(GetLE<uint32_t>(A[0]->Memory() + 20), 40u);
  EXPECT_TRUE(A[0]->CheckCrc());
}

TEST_F(PacketBufferTest, ConnectionTimesOutAfterSilence) {
  struct Case {
    bool Connected;
    double Quiet;
  } Cases[] = {{false, 2000}, {true, 30000}};
  for (const Case& C : Cases) {
    SetUp();
    if (C.Connected)
      Connected();
    Clock.AdvanceMs(C.Quiet - 60);
    EXPECT_EQ(NextEventKind(), bekNone);
    Clock.AdvanceMs(61);
    EXPECT_EQ(NextEventKind(), bekConnectionTimedOut);
  }
}

TEST_F(PacketBufferTest, ReceivingRejectsBadPackets) {
  Connected();
  TBytes BadCrc = CommandBytes(100, Me, Conn, 2);
  struct Case {
    TPacketPtr Packet;
    std::string Error;
  };
  std::vector<Case> Cases;
  Cases.push_back({ToPacket(BadCrc, false), "ECustomPacketBuffer: Invalid Packet"});
  Cases.push_back({ToPacket(TBytes{0xF0, 0xBE, 1}), "ECustomPacketBuffer: Invalid Packet"});
  Cases.push_back({ClientVoice(Me), "ECustomPacketBuffer: C2S recv on Client"});
  Cases.push_back(
      {Command(100, Me, Conn + 1, 2), "ECustomPacketBuffer: wrong Connection + player combo"});
  Cases.push_back({Command(100, Me + 1, Conn, 2), ""});
  for (auto& C : Cases)
    EXPECT_EQ(ReceiveError(*Buf, std::move(C.Packet)), V(C.Error));

  SetUp(); // still logging in
  EXPECT_EQ(ReceiveError(*Buf, ServerVoice(Me, Conn, 1, 3)),
            "ECustomPacketBuffer: Recv voice data during login");
  EXPECT_TRUE(Delivered().empty());
}

TEST_F(PacketBufferTest, QueuingRejectsWhatCannotBeSent) {
  try {
    Buf->SendPacket(ClientVoice(Me));
    FAIL();
  } catch (const ECustomPacketBuffer& E) {
    EXPECT_STREQ(E.what(), "Sending voice packet to pre connected, closing or closed connection");
  }
  try {
    Buf->SendPacket(Ack(Me, Conn, 1));
    FAIL();
  } catch (const ECustomPacketBuffer& E) {
    EXPECT_STREQ(E.what(), "Invalid packet on buffer");
  }
  // No connection for the player: dropped silently.
  Buf->SendPacket(Command(300, Me + 1, 0, 0));
  EXPECT_TRUE(Sent().empty());
}

TEST_F(PacketBufferTest, VoiceIsNumberedAndThrottledUnderTheUploadLimit) {
  Connected();
  for (int I = 0; I < 3; ++I)
    Buf->SendPacket(ClientVoice(Me));
  auto V = Sent();
  ASSERT_EQ(V.size(), 3u);
  for (uint16_t I = 0; I < 3; ++I) {
    EXPECT_EQ(V[I]->ClientVoiceHeader()->Sequence, I + 1);
    EXPECT_EQ(V[I]->ClientVoiceHeader()->ConnectionId, Conn);
  }
  Clock.AdvanceMs(1000); // the ticks of those packets are over
  // 1 kbit/s = 128 bytes a second: quota 33 bytes a tick.
  Buf->SetUploadLimit(Me, 1);
  for (int I = 0; I < 10; ++I)
    Buf->SendPacket(ClientVoice(Me, 64));
  EXPECT_EQ(Sent().size(), 1u) << "the first packet uses the tick, then the limiter waits";
  bool Throttled = false;
  Inspect([&](const TSingleConnection& T) { Throttled = T.Throttled(); });
  EXPECT_TRUE(Throttled);
  // While throttled, voice beyond twice the limit is dropped on queuing.
  int32_t Before = 0;
  Inspect([&](const TSingleConnection& T) { Before = T.VoiceQueueCount(); });
  Buf->SendPacket(ClientVoice(Me, 64));
  Inspect([&](const TSingleConnection& T) { EXPECT_EQ(T.VoiceQueueCount(), Before); });
  // Acknowledgements are never held back by the limiter.
  Receive(Command(100, Me, Conn, 2));
  auto A = Sent();
  ASSERT_EQ(A.size(), 1u);
  EXPECT_TRUE(A[0]->IsAck());
}

TEST_F(PacketBufferTest, LoginReplyIsCapturedOnlyWhenAskedFor) {
  TLoginReplySpec S;
  Receive(ToPacket(LoginReplyBytes(S)));
  EXPECT_EQ(Buf->TakeLoginReply(), nullptr);
  Buf->SetCaptureLoginReply(true);
  Receive(ToPacket(LoginReplyBytes(S)));
  auto R = Buf->TakeLoginReply();
  ASSERT_NE(R, nullptr);
  EXPECT_EQ(R->Size(), 436);
  Receive(ToPacket(LoginReplyBytes(S)));
  Buf->SetCaptureLoginReply(false);
  EXPECT_EQ(Buf->TakeLoginReply(), nullptr) << "switching drops a reply not taken";
}

TEST_F(PacketBufferTest, UnboundPacketsGoOutWithChecksum) {
  Buf->SendUnbound(Command(5, 3, 0, 1, TBytes(96)));
  auto Out = Sent();
  ASSERT_EQ(Out.size(), 1u);
  EXPECT_EQ(Out[0]->CommandHeader()->PacketType, 5);
  EXPECT_TRUE(Out[0]->CheckCrc());
  auto S = Buf->GetStatistics();
  EXPECT_EQ(V(S.PacketsSent), 1);
  EXPECT_EQ(V(S.BytesSent), 120);
}

TEST_F(PacketBufferTest, OverfullCommandQueueEndsTheConnection) {
  for (int I = 0; I < 521; ++I)
    Buf->SendPacket(ClientCommand(304, 26));
  EXPECT_EQ(NextEventKind(), bekConnectionTimedOut);
}

TEST(PacketBufferThreads, CloseWakesBothWaitersAndWaitsForTheirStop) {
  TCustomPacketBuffer Buf(pboClient | pboResend | pboKeepAlive);
  Buf.AddConnection(Me, Conn, "127.0.0.1", 1, 1, "");
  std::atomic<int> Sent{0}, Events{0};
  std::thread Sender([&] {
    while (TPacketPtr P = Buf.GetPacketToSend(-1))
      ++Sent;
    Buf.ThreadStopped(tsSendThread);
  });
  std::thread Eventer([&] {
    for (;;) {
      int32_t Kind;
      uint32_t Id;
      TPacketPtr P;
      Buf.WaitForEvent(Kind, Id, P);
      if (Kind == bekClosing)
        break;
      if (Kind == bekPacketReceived)
        ++Events;
    }
    Buf.ThreadStopped(tsEventThread);
  });
  Buf.SendPacket(ClientCommand(304, 26));
  Buf.ReceivePacket(Command(100, Me, Conn, 1));
  auto Deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while ((Sent < 2 || Events < 1) && std::chrono::steady_clock::now() < Deadline)
    std::this_thread::yield();
  EXPECT_EQ(Sent.load(), 2) << "the command and the acknowledgement";
  EXPECT_EQ(Events.load(), 1);
  auto Start = std::chrono::steady_clock::now();
  Buf.Close();
  auto Took = std::chrono::steady_clock::now() - Start;
  Sender.join();
  Eventer.join();
  EXPECT_LT(Took, std::chrono::milliseconds(1900)) << "both threads reported their stop";
  EXPECT_EQ(Buf.GetPacketToSend(-1), nullptr);
}
