#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <thread>

#include "VoiceTestUtil.h"
#include "base/Thread.h"
#include "voice/ClientSoundBase.h"
#include "voice/LinuxSound.h"

namespace orlavonix {
namespace {

// The client side of the engine reduced to a signal source and a sink: the
// protocol object itself is tested with the transmit path.
class TToneClient : public TSoundClient {
public:
  double Hz = 1000, Amplitude = 8000;
  bool Voice = true;
  bool Accept = true;
  float GivenLevel = 2.5f;
  int64_t Produced = 0;
  std::vector<float> Stored;
  std::atomic<int> GetCalls{0};

  bool snd_GetSoundData(float* Buffer, int32_t Count) override {
    ++GetCalls;
    if (!Voice)
      return false;
    auto T = test::Tone(Hz, Amplitude, Count, int(Produced));
    std::copy(T.begin(), T.end(), Buffer);
    Produced += Count;
    return true;
  }
  bool snd_StoreSoundData(float* Samples, int32_t Count, float& Level) override {
    Stored.insert(Stored.end(), Samples, Samples + Count);
    Level = Accept ? GivenLevel : 0.0f;
    return Accept;
  }
};

class TListRecorder : public TSoundRecorder {
public:
  struct TInput {
    bool Silent;
    int32_t Count;
    float Gain;
    int16_t First;
  };
  std::vector<TInput> Inputs;
  std::vector<int16_t> Output;
  void AddInput(const int16_t* S, int32_t Count, float Gain) override {
    Inputs.push_back({S == nullptr, Count, Gain, S ? S[0] : int16_t(0)});
  }
  void AddOutput(const int16_t* S, int32_t Count) override {
    Output.insert(Output.end(), S, S + Count);
  }
};

std::vector<float> ToFloats(const std::vector<int16_t>& V) {
  return std::vector<float>(V.begin(), V.end());
}

TEST(SoundOutDevice, PacesVoiceAndKeepsTheBacklogSmall) {
  for (int32_t N : {512, 1024, 2048}) {
    auto& Log = test::TCaptureLog::Install();
    TToneClient Client;
    TListRecorder Rec;
    TSoundOutDevice Out(&Client, 0.7f, &Rec);
    std::vector<int16_t> Block(static_cast<size_t>(N));
    int MaxBacklog = 0;
    for (int I = 0; I < 200; ++I) {
      Out.ProduceOutput(Block.data(), N);
      if (I > 10)
        MaxBacklog = std::max(MaxBacklog, Out.Buffered22k());
    }
    EXPECT_LT(MaxBacklog, 150) << N;
    EXPECT_EQ(Log.CountContaining("22k buffer"), 0) << N;
    // Voice comes out at the device rate: 8000 samples per 22050 played.
    double Ratio = double(Client.Produced) / double(200 * N);
    EXPECT_NEAR(Ratio, 8000.0 / 22050.0, 0.003) << N;
    ASSERT_EQ(Rec.Output.size(), size_t(200 * N));
    auto F = ToFloats(Rec.Output);
    EXPECT_NEAR(test::DominantFrequency(F.data() + F.size() / 2, F.size() / 2, 22050), 1000, 10);
    EXPECT_NEAR(
        test::LevelDb(test::Rms(F.data() + F.size() / 2, F.size() / 2), 8000 / std::sqrt(2)), 0.0,
        0.5);
  }
}

TEST(SoundOutDevice, EventSoundsMixWithTheirGainAndLeaveWhenPlayed) {
  TToneClient Client;
  Client.Voice = false;
  TSoundOutDevice Out(&Client, 0.7f, nullptr);
  std::vector<int16_t> Sound(1000, 1000);
  Out.QueueSound(Sound.data(), 1000);
  EXPECT_TRUE(Out.IsPlayingSounds());
  std::vector<int16_t> Block(512);
  Out.ProduceOutput(Block.data(), 512);
  EXPECT_EQ(Block[0], 700);
  EXPECT_EQ(Block[511], 700);
  EXPECT_TRUE(Out.IsPlayingSounds());
  Out.ProduceOutput(Block.data(), 512);
  EXPECT_EQ(Block[487], 700);
  EXPECT_EQ(Block[488], 0); // the sound ran out inside the second block
  EXPECT_FALSE(Out.IsPlayingSounds());

  // Gain 0: consumed at normal speed, inaudible.
  Out.SetSoundsVolume(0.0f);
  Out.QueueSound(Sound.data(), 1000);
  Out.ProduceOutput(Block.data(), 512);
  Out.ProduceOutput(Block.data(), 512);
  EXPECT_FALSE(Out.IsPlayingSounds());
  EXPECT_TRUE(std::all_of(Block.begin(), Block.end(), [](int16_t S) { return S == 0; }));

  // Two sounds at once sum before the gain; rounding is to nearest, ties to even.
  Out.SetSoundsVolume(0.5f);
  std::vector<int16_t> A(10, 3), B(10, 2);
  Out.QueueSound(A.data(), 10);
  Out.QueueSound(B.data(), 10);
  Out.ProduceOutput(Block.data(), 512);
  EXPECT_EQ(Block[0], 2); // (3 + 2) * 0.5 = 2.5 -> 2
  Out.QueueSound(Sound.data(), 1000);
  Out.ClearSounds();
  EXPECT_FALSE(Out.IsPlayingSounds());
}

TEST(SoundOutDevice, LoudVoicePlusEventSoundClipsOnlyAtTheEnd) {
  TToneClient Client;
  Client.Amplitude = 40000; // beyond 16 bits: clipped at the conversion
  TSoundOutDevice Out(&Client, 1.0f, nullptr);
  std::vector<int16_t> Sound(2048, 30000), Block(2048);
  Out.QueueSound(Sound.data(), 2048);
  Out.ProduceOutput(Block.data(), 2048);
  int16_t Max = *std::max_element(Block.begin(), Block.end());
  int16_t Min = *std::min_element(Block.begin(), Block.end());
  EXPECT_EQ(Max, 32767);
  EXPECT_EQ(Min, -2768); // voice clipped to -32768, plus 30000
}

TEST(SoundInDevice, DecimatesFiltersAndHandsOverWithTheRecorder) {
  TToneClient Client;
  TListRecorder Rec;
  TSoundInDevice In(&Client, false, &Rec);
  auto Tone = test::Tone(1000, 8000, 1024 * 40, 0, 22050);
  std::vector<int16_t> Pcm(Tone.size());
  for (size_t I = 0; I < Tone.size(); ++I)
    Pcm[I] = int16_t(std::lrint(Tone[I]));
  for (int B = 0; B < 20; ++B)
    In.ProcessInput(Pcm.data() + B * 1024, 1024);
  Client.Accept = false;
  for (int B = 20; B < 40; ++B)
    In.ProcessInput(Pcm.data() + B * 1024, 1024);
  EXPECT_EQ(Client.Stored.size(), size_t(1024 * 40 / 11 * 4));
  size_t Half = Client.Stored.size() / 2;
  EXPECT_NEAR(test::DominantFrequency(Client.Stored.data() + Half, Half, 8000), 1000, 10);
  // Decimator gain about 0.85 times the filter's gain at 1 kHz.
  double Db = test::LevelDb(test::Rms(Client.Stored.data() + Half, Half), 8000 / std::sqrt(2));
  EXPECT_NEAR(Db, 20 * std::log10(0.8515), 1.5);
  ASSERT_EQ(Rec.Inputs.size(), 40u);
  EXPECT_FALSE(Rec.Inputs[0].Silent);
  EXPECT_EQ(Rec.Inputs[0].Gain, 2.5f);
  EXPECT_EQ(Rec.Inputs[19].First, Pcm[19 * 1024]);
  EXPECT_TRUE(Rec.Inputs[20].Silent);
  EXPECT_EQ(Rec.Inputs[20].Count, 1024);
  EXPECT_EQ(Rec.Inputs[20].Gain, 0.0f);
}

TEST(HighPass, RemovesDcAndKeepsSpeechBand) {
  struct {
    double Hz;
    double MinGain, MaxGain;
  } Cases[] = {{0, 0, 0.001}, {20, 0, 0.05}, {1000, 0.9, 1.3}, {3000, 0.9, 1.3}};
  for (auto& C : Cases) {
    float X[6] = {}, Y[6] = {};
    std::vector<float> S(16000);
    for (size_t I = 0; I < S.size(); ++I)
      S[I] = C.Hz == 0 ? 10000.0f
                       : float(10000 * std::sin(2 * std::numbers::pi * C.Hz * double(I) / 8000));
    // Split into uneven blocks: the state carries over.
    for (size_t Pos = 0; Pos < S.size(); Pos += 333)
      HighPassFilter(X, Y, S.data() + Pos, int32_t(std::min<size_t>(333, S.size() - Pos)));
    double Gain = test::Rms(S.data() + 8000, 8000) / (C.Hz == 0 ? 10000 : 10000 / std::sqrt(2));
    EXPECT_GE(Gain, C.MinGain) << C.Hz;
    EXPECT_LE(Gain, C.MaxGain) << C.Hz;
  }
}

TEST(TalkingList, KeepsOrderMovesTheLastIntoAGapAndGrowsBySixteen) {
  TTalkingList L;
  EXPECT_EQ(L.Text(), "");
  for (uint32_t Id : {5u, 6u, 7u, 8u})
    EXPECT_TRUE(L.Start(Id));
  EXPECT_FALSE(L.Start(6));
  EXPECT_EQ(L.Capacity(), 16u);
  EXPECT_TRUE(L.Stop(6));
  EXPECT_FALSE(L.Stop(6));
  EXPECT_EQ(L.Text(), "5;8;7;");
  for (uint32_t Id = 100; Id < 114; ++Id)
    L.Start(Id);
  EXPECT_EQ(L.Capacity(), 32u);
  L.Clear();
  EXPECT_EQ(L.Count(), 0);
  EXPECT_EQ(L.Capacity(), 0u);
}

// A backend I/O thread for tests: drives the devices in blocks from a real
// thread, paced by nothing but the test's own waits.
class TFakeIOThread : public TSoundIOThread, public TThread {
public:
  TFakeIOThread(const TSoundBackendParams& P, bool Works) : FParams(P), FWorks(Works) { Start(); }
  ~TFakeIOThread() override {
    Terminate();
    WaitFor();
  }
  bool Initialized() const override { return FInitialized.load(); }
  bool Finished() const override { return TThread::Finished(); }
  TSoundInDevice* InputDevice() const override { return FIn.get(); }
  TSoundOutDevice* OutputDevice() const override { return FOut.get(); }
  int Blocks() const { return FBlocks.load(); }
  const TSoundBackendParams& Params() const { return FParams; }

protected:
  void Execute() override {
    if (!FWorks)
      return; // initialisation failed: end by ourselves
    FIn = std::make_unique<TSoundInDevice>(FParams.Client, FParams.Flag, FParams.Recorder);
    FOut =
        std::make_unique<TSoundOutDevice>(FParams.Client, FParams.SoundsVolume, FParams.Recorder);
    FInitialized = true;
    std::vector<int16_t> Block(size_t(FParams.BufferSize / 2));
    while (!Terminated()) {
      FIn->ProcessInput(Block.data(), int32_t(Block.size()));
      FOut->ProduceOutput(Block.data(), int32_t(Block.size()));
      ++FBlocks;
      std::this_thread::yield();
    }
    FOut.reset();
    FIn.reset();
  }

private:
  TSoundBackendParams FParams;
  bool FWorks;
  std::atomic<bool> FInitialized{false};
  std::atomic<int> FBlocks{0};
  std::unique_ptr<TSoundInDevice> FIn;
  std::unique_ptr<TSoundOutDevice> FOut;
};

class TQuietClient : public TSoundClient {
public:
  bool snd_GetSoundData(float*, int32_t) override { return false; }
  bool snd_StoreSoundData(float*, int32_t, float& Level) override {
    Level = 0;
    return false;
  }
};

TEST(LinuxSound, OpensClosesAndReportsBackends) {
  TQuietClient Client;
  std::vector<TSoundBackendParams> Made;
  TFakeIOThread* Last = nullptr;
  TLinuxSound Sound(
      &Client, nullptr,
      [&](int32_t Kind, const TSoundBackendParams& P) -> std::unique_ptr<TSoundIOThread> {
        if (Kind != 0 && Kind != 1)
          return nullptr;
        Made.push_back(P);
        auto T = std::make_unique<TFakeIOThread>(P, P.Name != "broken");
        Last = T.get();
        return T;
      });
  EXPECT_FALSE(Sound.HasOutput());
  Sound.SetBufferSize(3000);
  Sound.SetSoundsVolume(0.3f);
  ASSERT_TRUE(Sound.OpenDevice(0, "/dev/dsp", true));
  EXPECT_TRUE(Sound.HasInput());
  EXPECT_TRUE(Sound.HasOutput());
  EXPECT_EQ(Sound.OutKind(), 0);
  EXPECT_EQ(Sound.InName(), "/dev/dsp");
  EXPECT_EQ(Made.back().BufferSize, 4096);
  EXPECT_EQ(Made.back().SoundsVolume, 0.3f);
  EXPECT_TRUE(Made.back().Flag);
  EXPECT_EQ(Made.back().Client, &Client);

  // Event sounds cross from this thread to the I/O thread.
  std::vector<int16_t> Beep(3000, 100);
  Sound.PlaySound(Beep.data(), 3000);
  auto Deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (Sound.IsPlayingSounds() && std::chrono::steady_clock::now() < Deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  EXPECT_FALSE(Sound.IsPlayingSounds());
  EXPECT_GT(Last->Blocks(), 0);

  Sound.SetBufferSize(1024);
  ASSERT_TRUE(Sound.OpenDevice(1, "8780:L", false));
  EXPECT_EQ(Made.back().BufferSize, 1024);
  EXPECT_EQ(Sound.InKind(), 1);

  EXPECT_FALSE(Sound.OpenDevice(7, "x", false)); // unknown kind: nothing recorded
  EXPECT_FALSE(Sound.HasOutput());
  EXPECT_EQ(Sound.OutKind(), -1);
  EXPECT_EQ(Sound.OutName(), "");

  EXPECT_FALSE(Sound.OpenDevice(0, "broken", false)); // thread ends without initialising
  EXPECT_FALSE(Sound.HasOutput());
  EXPECT_EQ(Sound.OutKind(), 0); // the request is remembered for the settings
  EXPECT_EQ(Sound.OutName(), "broken");
  Sound.PlaySound(Beep.data(), 3000); // no device: dropped
  EXPECT_FALSE(Sound.IsPlayingSounds());

  std::vector<std::string> Devices{"a"};
  Sound.GetDevices(Devices);
  EXPECT_TRUE(Devices.empty());
}

} // namespace
} // namespace orlavonix
