// The network sound device: name parsing, pacing on a hand-driven clock, and
// the block exchange with a real TCP peer on the loopback interface.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstring>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

#include "audio/FakeDevices.h"
#include "support/LogCapture.h"
#include "audio/NetworkioThread.h"
#include "audio/TcpPeer.h"
#include "base/Exceptions.h"

namespace orlavonix {
namespace {

using namespace std::chrono_literals;
using test::TDeviceTrace;
using test::TLogCapture;
using test::TPeer;
using test::TTraceFactory;
using test::WaitUntil;

const std::string FormatError = "Wrong device format (port:B / port:L)";

TEST(NetworkDeviceName, PortAndByteOrderInEitherCase) {
  struct Case {
    std::string Name;
    int32_t Port;
    bool Little;
  } Cases[] = {{"8780:L", 8780, true},  {"8780:l", 8780, true}, {"8780:B", 8780, false},
               {"8780:b", 8780, false}, {"1:l", 1, true},       {"65536:B", 65536, false}};
  for (auto& C : Cases) {
    TNetworkDeviceName N = ParseNetworkDeviceName(C.Name);
    EXPECT_EQ(N.Port, C.Port) << C.Name;
    EXPECT_EQ(N.LittleEndian, C.Little) << C.Name;
  }
}

TEST(NetworkDeviceName, MalformedNamesAreRefusedBeforeAnyThreadStarts) {
  TDeviceTrace Trace;
  TTraceFactory Factory(Trace);
  for (std::string Bad : {"8780", "8780:X", "abc:L", ":L", "87x0:B", "", " 8780:L", "port:b"}) {
    try {
      ParseNetworkDeviceName(Bad);
      ADD_FAILURE() << "accepted " << Bad;
    } catch (const Exception& E) {
      EXPECT_EQ(E.Message(), FormatError) << Bad;
      EXPECT_STREQ(E.ClassName(), "Exception");
    }
    try {
      TNetworkioThread T(Bad, 2048, Factory);
      ADD_FAILURE() << "thread made for " << Bad;
    } catch (const Exception& E) {
      EXPECT_EQ(E.Message(), FormatError) << Bad;
    }
  }
  EXPECT_EQ(Trace.OutputsCreated, 0);
}

TEST(NetworkByteOrder, BigEndianSwapsEachSampleLittleEndianKeepsIt) {
  uint8_t Big[] = {0x01, 0x02, 0xAB, 0xCD};
  ConvertByteOrder(Big, sizeof Big, false);
  EXPECT_EQ(std::vector<uint8_t>(Big, Big + 4), (std::vector<uint8_t>{0x02, 0x01, 0xCD, 0xAB}));
  uint8_t Little[] = {0x01, 0x02, 0xAB, 0xCD};
  ConvertByteOrder(Little, sizeof Little, true);
  EXPECT_EQ(std::vector<uint8_t>(Little, Little + 4),
            (std::vector<uint8_t>{0x01, 0x02, 0xAB, 0xCD}));
}

// The pacer on a clock that moves only when told. Clock steps carry half a
// millisecond more so that whole-millisecond truncation cannot land one short.
class Pacing : public ::testing::Test {
protected:
  TManualClock Clock;
  std::unique_ptr<TPerformanceTime> Watch = NewPerformanceTime(&Clock);
  // Milliseconds since the stopwatch was last restarted, as the test sees it.
  double Since = 0;
  void Advance(double Ms) {
    Clock.AdvanceMs(Ms);
    Since += Ms;
  }
  void Begin(TBlockPacer& P) {
    P.Begin();
    Since = 0;
  }
  // Moves the clock to the due time plus Late ms and takes the block step.
  void StepLate(TBlockPacer& P, int32_t Late) {
    Advance(P.Due() + Late + 0.5 - Since);
    int32_t T = P.TimeToNext();
    EXPECT_EQ(T, -Late);
    P.BlockStep(T);
    if (P.BlockNumber() == 1)
      Since = 0; // the step restarted the stopwatch
  }
};

TEST_F(Pacing, BlocksFallDueAtWholeBlockPeriods) {
  struct Case {
    int BlockSize;
    std::vector<int32_t> Dues;
  } Cases[] = {{2048, {46, 93, 139, 186}}, {1024, {23, 46, 70, 93}}, {4096, {93, 186, 279}}};
  for (auto& C : Cases) {
    TBlockPacer P(C.BlockSize, *Watch);
    Begin(P);
    for (int32_t Due : C.Dues) {
      EXPECT_EQ(P.Due(), Due) << C.BlockSize;
      EXPECT_EQ(P.TimeToNext(), Due - int32_t(Since)) << C.BlockSize;
      StepLate(P, 0);
    }
  }
}

TEST_F(Pacing, ReBaseAtTheSixtyFourthBlockTakesTheLatenessOff) {
  struct Case {
    int32_t Late, NextDue;
  } Cases[] = {{0, 46}, {10, 36}, {46, 0}, {60, 0}};
  for (auto& C : Cases) {
    TBlockPacer P(2048, *Watch);
    EXPECT_EQ(P.RebaseAt(), 64);
    Begin(P);
    for (int K = 1; K < 64; ++K)
      StepLate(P, 0);
    EXPECT_EQ(P.BlockNumber(), 64);
    StepLate(P, C.Late);
    EXPECT_EQ(P.BlockNumber(), 1);
    EXPECT_EQ(P.Due(), C.NextDue) << "late " << C.Late;
    // Measured from the re-base: the stopwatch was restarted.
    EXPECT_EQ(P.TimeToNext(), C.NextDue);
  }
}

TEST_F(Pacing, BlocksKeepFlowingAtEverySizeOverManyReBases) {
  for (int BlockSize : {1024, 2048, 4096}) {
    TBlockPacer P(BlockSize, *Watch);
    P.Begin();
    const double Period = 1000.0 * BlockSize / 44100;
    double Now = 0, First = 0;
    const int Blocks = 400; // several minutes' worth of re-bases at 4096
    for (int I = 0; I < Blocks; ++I) {
      int32_t Left = P.TimeToNext();
      // A due block is never far away: no stall while the stopwatch is out of range.
      ASSERT_LE(Left, 2 * std::lround(Period)) << BlockSize << " block " << I;
      double Step = std::max(0, Left) + 0.5 + (I % 3); // a little late now and then
      Advance(Step);
      Now += Step;
      if (I == 0)
        First = Now;
      P.BlockStep(P.TimeToNext());
    }
    // The average rate stays within a few per cent of real time.
    double Average = (Now - First) / (Blocks - 1);
    EXPECT_NEAR(Average, Period, Period * 0.05) << BlockSize;
  }
  EXPECT_LE(TBlockPacer(4096, *Watch).DueOf(TBlockPacer(4096, *Watch).RebaseAt()), 4000);
}

TEST_F(Pacing, ClockOutOfRangeRestartsFromTheCurrentBlock) {
  TBlockPacer P(2048, *Watch);
  Begin(P);
  StepLate(P, 0);
  StepLate(P, 0); // k = 3, due at 139
  Advance(-500);  // the clock went back
  EXPECT_EQ(P.TimeToNext(), 139);
  Advance(6000.5); // or jumped far ahead
  EXPECT_EQ(P.TimeToNext(), 139);
}

class NetworkDevice : public ::testing::Test {
protected:
  void SetUp() override { Log = &TLogCapture::Install(); }
  std::unique_ptr<TNetworkioThread> Open(const std::string& Letter, int BlockSize) {
    auto T = std::make_unique<TNetworkioThread>("0:" + Letter, BlockSize, Factory);
    EXPECT_TRUE(WaitUntil([&] { return T->Initialized(); }, 2s));
    return T;
  }
  TLogCapture* Log = nullptr;
  TDeviceTrace Trace;
  TTraceFactory Factory{Trace};
};

TEST_F(NetworkDevice, ByteOrderOfTheStreamBothWays) {
  struct Case {
    std::string Letter;
    uint16_t CapturedValue;
    std::vector<uint8_t> SentBytes;
  } Cases[] = {{"B", 0x0102, {0x01, 0x02}},
               {"b", 0x0102, {0x01, 0x02}},
               {"L", 0x0201, {0x02, 0x01}},
               {"l", 0x0201, {0x02, 0x01}}};
  for (auto& C : Cases) {
    TDeviceTrace T;
    T.Generator = [](uint64_t) { return int16_t(0x0102); };
    TTraceFactory F(T);
    TNetworkioThread Thread("0:" + C.Letter, 1024, F);
    ASSERT_TRUE(WaitUntil([&] { return Thread.Initialized(); }, 2s));
    EXPECT_EQ(Thread.LittleEndian(), C.Letter == "L" || C.Letter == "l");
    TPeer Peer(Thread.BoundPort());
    ASSERT_TRUE(Peer.Ok);
    std::vector<uint8_t> Block;
    for (int I = 0; I < 512 * 2; ++I)
      Block.insert(Block.end(), {0x01, 0x02});
    ASSERT_TRUE(Peer.SendAll(Block));
    std::vector<uint8_t> Got = Peer.Read(2048, 3s);
    ASSERT_EQ(Got.size(), 2048u) << C.Letter;
    for (size_t I = 0; I < Got.size(); I += 2)
      ASSERT_EQ((std::vector<uint8_t>{Got[I], Got[I + 1]}), C.SentBytes) << C.Letter << " " << I;
    ASSERT_TRUE(WaitUntil([&] { return T.InputBlocks >= 2; }, 3s)) << C.Letter;
    std::lock_guard<std::mutex> G(T.Lock);
    for (int16_t S : T.Captured)
      ASSERT_EQ(uint16_t(S), C.CapturedValue) << C.Letter;
    EXPECT_EQ(T.CaptureCounts, (std::vector<int>{512, 512}));
  }
}

TEST_F(NetworkDevice, SilentPeerGetsPlaybackAtBlockPaceAndEachPeriodLogsAnEmptyInbuffer) {
  for (int BlockSize : {1024, 2048, 4096}) {
    Log->Clear();
    TDeviceTrace T;
    T.Generator = [](uint64_t I) { return int16_t(I); };
    TTraceFactory F(T);
    const int Blocks = BlockSize == 4096 ? 8 : 12;
    {
      TNetworkioThread Thread("0:L", BlockSize, F);
      ASSERT_TRUE(WaitUntil([&] { return Thread.Initialized(); }, 2s));
      // Nobody connected: the voice path stands still.
      EXPECT_EQ(T.OutputBlocks, 0);
      TPeer Peer(Thread.BoundPort());
      ASSERT_TRUE(Peer.Ok);
      std::vector<uint8_t> Got = Peer.Read(size_t(Blocks) * BlockSize, 5s);
      ASSERT_EQ(Got.size(), size_t(Blocks) * BlockSize) << BlockSize;
      for (size_t I = 0; I < Got.size(); I += 2)
        ASSERT_EQ(uint16_t(Got[I] | Got[I + 1] << 8), uint16_t(I / 2)) << BlockSize;
      EXPECT_TRUE(Thread.Connected());
    }
    EXPECT_EQ(T.InputBlocks, 0);
    EXPECT_EQ(Log->Count("inbuffer empty!", "TNetworkioThread.execute"), size_t(T.OutputBlocks))
        << BlockSize;
    EXPECT_EQ(Log->Count("Connection opend", "TNetworkioThread.execute"), 1u);
    EXPECT_EQ(Log->Count("outbuffer full!"), 0u);
    // Blocks came at the block period, not as fast as the socket allows.
    std::lock_guard<std::mutex> G(T.Lock);
    ASSERT_GE(T.OutputTimes.size(), size_t(Blocks));
    double Ms =
        std::chrono::duration<double, std::milli>(T.OutputTimes[Blocks - 1] - T.OutputTimes[0])
            .count();
    double Period = 1000.0 * BlockSize / 44100;
    EXPECT_GT(Ms, (Blocks - 1) * Period * 0.8) << BlockSize;
    EXPECT_LT(Ms, (Blocks - 1) * Period * 1.5 + 100) << BlockSize;
  }
}

TEST_F(NetworkDevice, ANewPeerIsServedAfterTheLastOneLeaves) {
  for (bool Abrupt : {false, true}) {
    Log->Clear();
    TDeviceTrace T;
    TTraceFactory F(T);
    TNetworkioThread Thread("0:B", 1024, F);
    ASSERT_TRUE(WaitUntil([&] { return Thread.Initialized(); }, 2s));
    {
      TPeer First(Thread.BoundPort());
      ASSERT_TRUE(First.Ok);
      ASSERT_EQ(First.Read(2048, 3s).size(), 2048u);
      if (Abrupt)
        First.Reset();
    }
    // Sending into the closed connection must not end the process.
    ASSERT_TRUE(Log->WaitFor("Closed connection", 1, 5s, "TNetworkioThread.CloseConnection"))
        << (Abrupt ? "reset" : "closed");
    TPeer Second(Thread.BoundPort());
    ASSERT_TRUE(Second.Ok);
    std::vector<uint8_t> Block(1024, 0x11);
    ASSERT_TRUE(Second.SendAll(Block));
    EXPECT_EQ(Second.Read(2048, 3s).size(), 2048u);
    ASSERT_TRUE(WaitUntil([&] { return T.InputBlocks >= 1; }, 3s));
    EXPECT_EQ(Log->Count("Connection opend"), 2u);
    EXPECT_EQ(T.InputsCreated, 1); // the same devices served both
    std::lock_guard<std::mutex> G(T.Lock);
    EXPECT_EQ(T.Captured.front(), 0x1111);
  }
}

TEST_F(NetworkDevice, PortHeldByAnotherProgramFailsWithTheSystemError) {
  int Holder = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in A{};
  A.sin_family = AF_INET;
  A.sin_addr.s_addr = htonl(INADDR_ANY);
  ASSERT_EQ(::bind(Holder, reinterpret_cast<sockaddr*>(&A), sizeof A), 0);
  ASSERT_EQ(::listen(Holder, 1), 0);
  socklen_t Len = sizeof A;
  ::getsockname(Holder, reinterpret_cast<sockaddr*>(&A), &Len);
  int Port = ntohs(A.sin_port);
  {
    TNetworkioThread Thread(std::to_string(Port) + ":L", 2048, Factory);
    ASSERT_TRUE(WaitUntil([&] { return Thread.Finished(); }, 2s));
    EXPECT_FALSE(Thread.Initialized());
  }
  ::close(Holder);
  std::string Expected = "Exception Exception: Opening network socket failed with error: " +
                         std::to_string(EADDRINUSE) + " (" + std::strerror(EADDRINUSE) + ")";
  EXPECT_EQ(Log->Count(Expected, "TNetworkioThread.Initialize"), 1u);
  EXPECT_EQ(Trace.OutputsCreated, 0);
}

TEST_F(NetworkDevice, BlocksSplitAcrossManySegmentsArriveWhole) {
  TDeviceTrace T;
  TTraceFactory F(T);
  TNetworkioThread Thread("0:L", 2048, F);
  ASSERT_TRUE(WaitUntil([&] { return Thread.Initialized(); }, 2s));
  TPeer Peer(Thread.BoundPort());
  ASSERT_TRUE(Peer.Ok);
  std::vector<uint8_t> Stream;
  for (int I = 0; I < 3 * 1024; ++I) {
    Stream.push_back(uint8_t(I & 0xFF));
    Stream.push_back(uint8_t(I >> 8));
  }
  // Uneven pieces, as a real sender's segments would fall.
  for (size_t At = 0; At < Stream.size();) {
    size_t N = std::min<size_t>(Stream.size() - At, 777);
    ASSERT_TRUE(Peer.SendAll({Stream.begin() + long(At), Stream.begin() + long(At + N)}));
    At += N;
  }
  ASSERT_TRUE(WaitUntil([&] { return T.InputBlocks >= 3; }, 3s));
  std::lock_guard<std::mutex> G(T.Lock);
  ASSERT_GE(T.Captured.size(), 3u * 1024);
  for (int I = 0; I < 3 * 1024; ++I)
    ASSERT_EQ(T.Captured[I], I);
}

} // namespace
} // namespace orlavonix
