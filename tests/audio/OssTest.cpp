// The OSS device functions and the sound-card thread against a stand-in for
// the system calls: what is asked of the device, in which order, and what
// happens when the device gives less than a block per call.
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <string>
#include <vector>

#include "audio/FakeDevices.h"
#include "support/LogCapture.h"
#include "audio/OSS.h"
#include "audio/OSSioThread.h"
#include "audio/soundcard.h"

namespace orlavonix {
namespace {

using namespace std::chrono_literals;
using test::TDeviceTrace;
using test::TLogCapture;
using test::TTraceFactory;

// A sound card that answers every request, reads a rising sample count in
// pieces of varying size and remembers every request and every written byte.
class TFakeCard : public TOssSystem {
public:
  std::string Name = "Linux";
  int CapsWord = 0x3300 | 0x01; // duplex among the capabilities
  int BlockSizeAnswer = 4096;
  unsigned long FailRequest = 0; // a request code that fails with FailErrno
  bool FailOpen = false;
  int FailErrno = EIO;
  std::vector<size_t> ReadPieces{4096}; // bytes per read call, cycled
  std::vector<size_t> WritePieces{4096};

  int OpenFlags = -1;
  std::vector<std::pair<unsigned long, int>> Requests;
  std::atomic<int> Closed{0};
  std::atomic<int> Reads{0};
  std::vector<uint8_t> Written;
  uint16_t NextSample = 0;
  bool HighByteNext = false;

  int Open(const char*, int Flags) override {
    if (FailOpen) {
      errno = ENOENT;
      return -1;
    }
    OpenFlags = Flags;
    return 7;
  }
  int Ioctl(int, unsigned long Request, int* Arg) override {
    Requests.push_back({Request, Arg ? *Arg : 0});
    if (Request == FailRequest) {
      errno = FailErrno;
      return -1;
    }
    if (Request == soundcard::DspGetCaps)
      *Arg = CapsWord;
    if (Request == soundcard::DspGetBlkSize)
      *Arg = BlockSizeAnswer;
    return 0;
  }
  long Read(int, void* Buffer, size_t Bytes) override {
    size_t N = std::min(Bytes, ReadPieces[Reads++ % ReadPieces.size()]);
    auto* P = static_cast<uint8_t*>(Buffer);
    for (size_t I = 0; I < N; ++I) {
      P[I] = HighByteNext ? uint8_t(NextSample >> 8) : uint8_t(NextSample & 0xFF);
      if (HighByteNext)
        ++NextSample;
      HighByteNext = !HighByteNext;
    }
    return static_cast<long>(N);
  }
  long Write(int, const void* Buffer, size_t Bytes) override {
    size_t N = std::min(Bytes, WritePieces[Written.size() % WritePieces.size()]);
    auto* P = static_cast<const uint8_t*>(Buffer);
    Written.insert(Written.end(), P, P + N);
    return static_cast<long>(N);
  }
  int PollIn(int, int) override { return 1; }
  int Close(int) override {
    ++Closed;
    return 0;
  }
  std::string SystemName() override { return Name; }

  std::vector<unsigned long> Codes() const {
    std::vector<unsigned long> C;
    for (auto& R : Requests)
      C.push_back(R.first);
    return C;
  }
};

TEST(OssFunctions, FragmentArgumentForEachCountAndSize) {
  struct Case {
    int Count, Size, Expected;
  } Cases[] = {
      {3, 4096, (3 << 16) | 12},    {3, 1024, (3 << 16) | 10},    {3, 2048, (3 << 16) | 11},
      {2, 1, (2 << 16) | 0},        {16, 32768, (16 << 16) | 15}, {1, 4096, (65535 << 16) | 12},
      {17, 256, (65535 << 16) | 8}, {0, 512, (65535 << 16) | 9},
  };
  for (auto& C : Cases) {
    EXPECT_EQ(FragmentArgument(C.Count, C.Size), C.Expected) << C.Count << " x " << C.Size;
    TFakeCard Card;
    SetFragmentSize(7, C.Count, C.Size, Card);
    ASSERT_EQ(Card.Requests.size(), 1u);
    EXPECT_EQ(Card.Requests[0].first, soundcard::DspSetFragment);
    EXPECT_EQ(Card.Requests[0].second, C.Expected);
  }
}

TEST(OssFunctions, RefusedValuesNameThemselvesAndIssueNoRequest) {
  struct Case {
    std::function<void(TOssSystem&)> Call;
    std::string Text;
  } Cases[] = {
      {[](TOssSystem& S) { SetFragmentSize(7, 3, 3000, S); },
       "OSS error in SetFragmentSize: 3000 fragment size not supported"},
      {[](TOssSystem& S) { SetFragmentSize(7, 3, 65536, S); },
       "OSS error in SetFragmentSize: 65536 fragment size not supported"},
      {[](TOssSystem& S) { SetFragmentSize(7, 3, 0, S); },
       "OSS error in SetFragmentSize: 0 fragment size not supported"},
      {[](TOssSystem& S) { SetSoundFormat(7, 48000, 16, 1, S); },
       "OSS error in SetSoundFormat: 48000 SampleRate not supported"},
      {[](TOssSystem& S) { SetSoundFormat(7, 22050, 24, 1, S); },
       "OSS error in SetSoundFormat: 24 BitsPerSample not supported"},
      {[](TOssSystem& S) { SetSoundFormat(7, 22050, 16, 3, S); },
       "OSS error in SetSoundFormat: 3 Channels not supported"},
      // Sample size is checked first, then channels, then rate.
      {[](TOssSystem& S) { SetSoundFormat(7, 48000, 12, 6, S); },
       "OSS error in SetSoundFormat: 12 BitsPerSample not supported"},
      {[](TOssSystem& S) { SetSoundFormat(7, 48000, 8, 6, S); },
       "OSS error in SetSoundFormat: 6 Channels not supported"},
  };
  for (auto& C : Cases) {
    TFakeCard Card;
    try {
      C.Call(Card);
      ADD_FAILURE() << "no error for " << C.Text;
    } catch (const EOSSException& E) {
      EXPECT_EQ(E.Message(), C.Text);
      EXPECT_EQ(E.ErrorNumber(), 0);
      EXPECT_STREQ(E.ClassName(), "EOSSException");
    }
    EXPECT_TRUE(Card.Requests.empty()) << C.Text;
  }
}

TEST(OssFunctions, SoundFormatRequestsInOrder) {
  struct Case {
    int Rate, Bits, Channels, Format;
  } Cases[] = {{22050, 16, 1, 16}, {8000, 8, 2, 64}, {44100, 16, 2, 16}, {11025, 8, 1, 64}};
  for (auto& C : Cases) {
    TFakeCard Card;
    SetSoundFormat(7, C.Rate, C.Bits, C.Channels, Card);
    std::vector<std::pair<unsigned long, int>> Expected = {{soundcard::DspSetFmt, C.Format},
                                                           {soundcard::DspChannels, C.Channels},
                                                           {soundcard::DspSpeed, C.Rate}};
    EXPECT_EQ(Card.Requests, Expected) << C.Rate;
  }
}

TEST(OssFunctions, OpenAsksForDuplexOnlyWhereItMayAndOnlyForBothDirections) {
  struct Case {
    std::string System;
    int Mode;
    int Flags;
    bool Duplex;
  } Cases[] = {
      {"Linux", 2, O_RDWR, true},    {"FreeBSD", 2, O_RDWR, false}, {"freebsd", 2, O_RDWR, false},
      {"Linux", 0, O_RDONLY, false}, {"Linux", 1, O_WRONLY, false}, {"Linux", 5, O_RDWR, false},
  };
  for (auto& C : Cases) {
    TFakeCard Card;
    Card.Name = C.System;
    EXPECT_EQ(OpenSoundDevice("/dev/dsp", C.Mode, Card), 7);
    EXPECT_EQ(Card.OpenFlags, C.Flags) << C.System << " " << C.Mode;
    std::vector<unsigned long> Expected{soundcard::DspReset};
    if (C.Duplex)
      Expected.push_back(soundcard::DspSetDuplex);
    EXPECT_EQ(Card.Codes(), Expected) << C.System << " " << C.Mode;
  }
}

TEST(OssFunctions, SystemFailuresCarryContextTextAndErrorNumber) {
  const std::string Eio = std::strerror(EIO);
  struct Case {
    unsigned long Failing;
    std::function<void(TOssSystem&)> Call;
    std::string Text;
  } Cases[] = {
      {soundcard::DspReset, [](TOssSystem& S) { OpenSoundDevice("/dev/dsp", 2, S); },
       "OSS error in OpenSoundDevice-reset (/dev/dsp): " + Eio},
      {soundcard::DspSetDuplex, [](TOssSystem& S) { OpenSoundDevice("/dev/dsp", 2, S); },
       "OSS error in OpenSoundDevice-fullduplex (/dev/dsp): " + Eio},
      {soundcard::DspGetCaps,
       [](TOssSystem& S) {
         int R, C;
         GetDeviceCaps(7, R, C, S);
       },
       "OSS error in GetDeviceCaps: " + Eio},
      {soundcard::DspSetFragment, [](TOssSystem& S) { SetFragmentSize(7, 3, 4096, S); },
       "OSS error in SetFragmentSize: " + Eio},
      {soundcard::DspSetFmt, [](TOssSystem& S) { SetSoundFormat(7, 22050, 16, 1, S); },
       "OSS error in SetSoundFormat(SetFormat): " + Eio},
      {soundcard::DspChannels, [](TOssSystem& S) { SetSoundFormat(7, 22050, 16, 1, S); },
       "OSS error in SetSoundFormat(SetChannels): " + Eio},
      {soundcard::DspSpeed, [](TOssSystem& S) { SetSoundFormat(7, 22050, 16, 1, S); },
       "OSS error in SetSoundFormat(SetSpeed): " + Eio},
      {soundcard::DspGetBlkSize,
       [](TOssSystem& S) {
         int Size;
         GetSoundBufferSize(7, Size, S);
       },
       "OSS error in GetSoundBufferSize: " + Eio},
  };
  for (auto& C : Cases) {
    TFakeCard Card;
    Card.FailRequest = C.Failing;
    try {
      C.Call(Card);
      ADD_FAILURE() << "no error for " << C.Text;
    } catch (const EOSSException& E) {
      EXPECT_EQ(E.Message(), C.Text);
      EXPECT_EQ(E.ErrorNumber(), EIO);
    }
  }
  // A device that opened but failed its reset is not left open.
  TFakeCard Card;
  Card.FailRequest = soundcard::DspReset;
  EXPECT_THROW(OpenSoundDevice("/dev/dsp", 2, Card), EOSSException);
  EXPECT_EQ(Card.Closed, 1);

  TFakeCard Missing;
  Missing.FailOpen = true;
  try {
    OpenSoundDevice("/dev/nodsp", 2, Missing);
    ADD_FAILURE();
  } catch (const EOSSException& E) {
    EXPECT_EQ(E.Message(),
              std::string("OSS error in OpenSoundDevice (/dev/nodsp): ") + std::strerror(ENOENT));
    EXPECT_EQ(E.ErrorNumber(), ENOENT);
  }
}

TEST(OssFunctions, CapabilityWordSplitsIntoRevisionAndCaps) {
  TFakeCard Card;
  Card.CapsWord = 0x3102;
  int Revision = -1, Caps = -1;
  GetDeviceCaps(7, Revision, Caps, Card);
  EXPECT_EQ(Revision, 2);
  EXPECT_EQ(Caps, 0x31);
  EXPECT_TRUE((Caps << 8) & soundcard::CapDuplex);
}

TEST(OssFunctions, ShortTransfersContinueUntilTheWholeBlockHasPassed) {
  for (std::vector<size_t> Pieces : {std::vector<size_t>{4096}, {1000}, {1, 7, 333}, {3}}) {
    TFakeCard Card;
    Card.ReadPieces = Pieces;
    Card.WritePieces = Pieces;
    std::vector<int16_t> In(2048, -1);
    EXPECT_EQ(InputSound(7, In.data(), 4096, Card), 4096u);
    for (int I = 0; I < 2048; ++I)
      ASSERT_EQ(In[I], I) << "piece " << Pieces[0];
    std::vector<uint8_t> Out(4096);
    for (size_t I = 0; I < Out.size(); ++I)
      Out[I] = static_cast<uint8_t>(I * 7);
    EXPECT_EQ(OutputSound(7, Out.data(), Out.size(), Card), 4096u);
    EXPECT_EQ(Card.Written, Out);
  }
}

TEST(OssFunctions, ReadAndWriteFailuresRaise) {
  struct TFailing : TFakeCard {
    long Read(int, void*, size_t) override {
      errno = EBADF;
      return -1;
    }
    long Write(int, const void*, size_t) override {
      errno = ENOSPC;
      return -1;
    }
    int Close(int) override {
      errno = EBADF;
      return -1;
    }
  } Card;
  uint8_t B[16];
  try {
    InputSound(7, B, 16, Card);
    ADD_FAILURE();
  } catch (const EOSSException& E) {
    EXPECT_EQ(E.Message(), std::string("OSS error in InputSound: ") + std::strerror(EBADF));
  }
  try {
    OutputSound(7, B, 16, Card);
    ADD_FAILURE();
  } catch (const EOSSException& E) {
    EXPECT_EQ(E.Message(), std::string("OSS error in OutputSound: ") + std::strerror(ENOSPC));
    EXPECT_EQ(E.ErrorNumber(), ENOSPC);
  }
  EXPECT_THROW(CloseDevice(7, Card), EOSSException);
}

class OssThread : public ::testing::Test {
protected:
  void SetUp() override { Log = &TLogCapture::Install(); }
  TLogCapture* Log = nullptr;
  TDeviceTrace Trace;
  TTraceFactory Factory{Trace};
};

TEST_F(OssThread, InitialisesTheCardAndKeepsTheCapturedSignalWhole) {
  TFakeCard Card;
  Card.ReadPieces = {4096, 1500, 10, 2586, 2}; // as an emulated device delivers
  Card.WritePieces = {1000};
  Trace.Generator = [](uint64_t I) { return int16_t(I * 3); };
  {
    TOSSioThread Thread("/dev/dsp", 4096, Factory, Card);
    ASSERT_TRUE(test::WaitUntil([&] { return Trace.InputBlocks >= 6; }, 5s));
    EXPECT_TRUE(Thread.Initialized());
    EXPECT_TRUE(Thread.Duplex());
    EXPECT_NE(Thread.InputDevice(), nullptr);
    EXPECT_NE(Thread.OutputDevice(), nullptr);
    EXPECT_EQ(Thread.BlockSize(), 4096);
  }
  std::vector<std::pair<unsigned long, int>> Init(Card.Requests.begin(), Card.Requests.begin() + 8);
  std::vector<std::pair<unsigned long, int>> Expected = {
      {soundcard::DspReset, 0},     {soundcard::DspSetDuplex, 0},
      {soundcard::DspGetCaps, 0},   {soundcard::DspSetFragment, (3 << 16) | 12},
      {soundcard::DspSetFmt, 16},   {soundcard::DspChannels, 1},
      {soundcard::DspSpeed, 22050}, {soundcard::DspGetBlkSize, 0}};
  EXPECT_EQ(Init, Expected);
  EXPECT_EQ(Card.OpenFlags, O_RDWR);
  EXPECT_EQ(Card.Closed, 1);
  EXPECT_EQ(Trace.DevicesFreed, 2);
  // Every captured block is full and continues where the last one ended.
  ASSERT_GE(Trace.Captured.size(), 6u * 2048);
  for (int C : Trace.CaptureCounts)
    EXPECT_EQ(C, 2048);
  for (size_t I = 0; I < Trace.Captured.size(); ++I)
    ASSERT_EQ(uint16_t(Trace.Captured[I]), uint16_t(I)) << "sample " << I;
  // Every produced block reached the device whole, in order.
  ASSERT_GE(Card.Written.size(), 2u * 4096);
  for (size_t I = 0; I + 1 < Card.Written.size(); I += 2)
    ASSERT_EQ(int16_t(Card.Written[I] | (Card.Written[I + 1] << 8)), int16_t((I / 2) * 3));
}

TEST_F(OssThread, DriverBlockSizeIsTakenOnlyWhenTheDevicesCanHandleIt) {
  struct Case {
    int Requested, Answer, Used;
  } Cases[] = {{4096, 2048, 2048}, {1024, 1024, 1024}, {4096, 32768, 4096}, {2048, 0, 2048}};
  for (auto& C : Cases) {
    TFakeCard Card;
    Card.BlockSizeAnswer = C.Answer;
    TDeviceTrace T;
    TTraceFactory F(T);
    {
      TOSSioThread Thread("/dev/dsp", C.Requested, F, Card);
      ASSERT_TRUE(test::WaitUntil([&] { return T.InputBlocks >= 2; }, 5s));
      EXPECT_EQ(Thread.BlockSize(), C.Used);
    }
    std::lock_guard<std::mutex> G(T.Lock);
    EXPECT_EQ(T.CaptureCounts.front(), C.Used / 2);
    EXPECT_EQ(T.OutputCounts.front(), C.Used / 2);
  }
}

TEST_F(OssThread, CardWithoutDuplexOnlyPlays) {
  TFakeCard Card;
  Card.CapsWord = 0x0001;
  {
    TOSSioThread Thread("/dev/dsp", 2048, Factory, Card);
    ASSERT_TRUE(test::WaitUntil([&] { return Trace.OutputBlocks >= 3; }, 5s));
    EXPECT_TRUE(Thread.Initialized());
    EXPECT_FALSE(Thread.Duplex());
    EXPECT_EQ(Thread.InputDevice(), nullptr);
  }
  EXPECT_EQ(Trace.InputsCreated, 0);
  EXPECT_EQ(Card.Reads, 0);
  EXPECT_GE(Card.Written.size(), 3u * 2048);
}

TEST_F(OssThread, FailedInitialisationIsLoggedAndEndsTheThread) {
  struct Case {
    bool FailOpen;
    unsigned long FailRequest;
    int BlockSize;
    std::string Text;
  } Cases[] = {
      {true, 0, 4096,
       std::string("Exception EOSSException: OSS error in OpenSoundDevice (/dev/dsp): ") +
           std::strerror(ENOENT)},
      {false, soundcard::DspSpeed, 4096,
       std::string("Exception EOSSException: OSS error in SetSoundFormat(SetSpeed): ") +
           std::strerror(EIO)},
      {false, 0, 3000,
       "Exception EOSSException: OSS error in SetFragmentSize: 3000 fragment size not "
       "supported"},
  };
  for (auto& C : Cases) {
    Log->Clear();
    TFakeCard Card;
    Card.FailOpen = C.FailOpen;
    Card.FailRequest = C.FailRequest;
    TDeviceTrace T;
    TTraceFactory F(T);
    TOSSioThread Thread("/dev/dsp", C.BlockSize, F, Card);
    ASSERT_TRUE(test::WaitUntil([&] { return Thread.Finished(); }, 5s)) << C.Text;
    EXPECT_FALSE(Thread.Initialized());
    EXPECT_TRUE(Thread.Terminated());
    EXPECT_EQ(Log->Count(C.Text, "TOSSioThread.Initialize"), 1u) << C.Text;
    EXPECT_EQ(T.OutputsCreated, 0);
    // An opened device is closed again.
    EXPECT_EQ(Card.Closed, C.FailOpen ? 0 : 1);
  }
}

TEST_F(OssThread, PassErrorsAreLoggedAndTheLoopGoesOn) {
  struct TFlaky : TFakeCard {
    std::atomic<int> Calls{0};
    long Write(int Fd, const void* B, size_t N) override {
      if (++Calls % 2 == 0) {
        errno = EIO;
        return -1;
      }
      return TFakeCard::Write(Fd, B, N);
    }
  } Card;
  {
    TOSSioThread Thread("/dev/dsp", 1024, Factory, Card);
    ASSERT_TRUE(Log->WaitFor(std::string("Exception EOSSException: OSS error in OutputSound: ") +
                                 std::strerror(EIO),
                             3, 5s, "TOSSioThread.execute"));
    ASSERT_TRUE(test::WaitUntil([&] { return Trace.OutputBlocks >= 8; }, 5s));
  }
}

} // namespace
} // namespace orlavonix
