// Voice engine costs: the receive side per second of audio for 1, 8 and 32
// speakers next to the codec decode calls alone, the transmit side per codec,
// and the resamplers in samples per second.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <mutex>
#include <numbers>
#include <vector>

#include "voice/ClientSoundBase.h"
#include "voice/HawkVoice.h"
#include "voice/PlayerSoundData.h"
#include "voice/SoundUtils.h"
#include "voice/libspeex.h"
#include "voice/resample.h"

using namespace orlavonix;

namespace {

void OpenLibraries() {
  static bool Open = [] {
    if (LoadHawkVoice() != 0 || LoadSpeex() != 0)
      std::abort();
    return true;
  }();
  (void)Open;
}

// A voiced signal: a 140 Hz harmonic series with a slow level change.
std::vector<float> Speechlike(int Count) {
  std::vector<float> S(static_cast<size_t>(Count));
  for (int I = 0; I < Count; ++I) {
    double T = I / 8000.0, V = 0;
    for (int K = 1; K <= 20; ++K)
      V += std::sin(2 * std::numbers::pi * 140 * K * T + K) / K;
    S[static_cast<size_t>(I)] =
        float(6000 * V * (0.6 + 0.4 * std::sin(2 * std::numbers::pi * 3 * T)));
  }
  return S;
}

// Ten Speex payloads per second of the signal above.
std::vector<std::vector<uint8_t>> SpeexPayloads(int32_t Codec, int Packets) {
  auto Signal = Speechlike(800 * Packets);
  TSpeexCodec Enc;
  zqSpeexInitEncoder(Enc);
  zqSpeexSetMode(Enc, Codec - 5);
  std::vector<std::vector<uint8_t>> Out;
  for (int P = 0; P < Packets; ++P) {
    uint8_t Buf[1024];
    int32_t Length = sizeof(Buf);
    zqSpeexEncode(Enc, 800, Signal.data() + 800 * P, Length, Buf);
    Out.emplace_back(Buf, Buf + Length);
  }
  zqSpeexDoneEncoder(Enc);
  return Out;
}

TPacketPtr VoicePacket(uint8_t Codec, uint16_t PacketNr, const std::vector<uint8_t>& Payload) {
  TServerVoiceHeader H{};
  H.Magic = PacketClassServerVoice;
  H.Codec = Codec;
  H.SpeakNr = 1;
  H.PacketNr = PacketNr;
  auto P = std::make_unique<TPacket>();
  P->WriteBuffer(&H, sizeof(H));
  P->WriteBuffer(Payload.data(), int32_t(Payload.size()));
  return P;
}

// The client's mixing round as the protocol object runs it: sound lock,
// collect under the player lock, sum, consume under the player lock.
class TReceiveSide : public TSoundClient {
public:
  TReceiveSide(int Speakers, const std::vector<std::vector<uint8_t>>* Payloads)
      : FPayloads(Payloads) {
    for (int I = 0; I < Speakers; ++I)
      FBuffers.push_back(std::make_unique<TPlayerSoundData>(4096));
    FNext.assign(size_t(Speakers), 0);
  }
  // Packets arrive as the senders make them: keep three waiting per speaker.
  void Arrive() {
    std::lock_guard S(FSoundLock);
    std::lock_guard P(FPlayerLock);
    for (size_t I = 0; I < FBuffers.size(); ++I)
      while (FBuffers[I]->SlotsFilled() < 3) {
        uint16_t Nr = FNext[I]++;
        FBuffers[I]->StorePacket(VoicePacket(12, Nr, (*FPayloads)[Nr % FPayloads->size()]));
      }
  }
  bool snd_GetSoundData(float* Buffer, int32_t Count) override {
    std::lock_guard S(FSoundLock);
    {
      std::lock_guard P(FPlayerLock);
      FMixer.Begin(Count);
      for (size_t I = FBuffers.size(); I-- > 0;)
        FMixer.Collect(*FBuffers[I], uint32_t(I + 1));
    }
    bool Any = FMixer.Mix(Buffer, 1.0f);
    std::lock_guard P(FPlayerLock);
    for (auto& B : FBuffers)
      B->DataUsed();
    return Any;
  }
  bool snd_StoreSoundData(float*, int32_t, float& Level) override {
    Level = 0;
    return false;
  }

private:
  const std::vector<std::vector<uint8_t>>* FPayloads;
  std::vector<std::unique_ptr<TPlayerSoundData>> FBuffers;
  std::vector<uint16_t> FNext;
  std::mutex FSoundLock, FPlayerLock;
  TVoiceMixer FMixer;
};

// One second at 22050 Hz in 21 device blocks of 1050 samples.
constexpr int BlocksPerSecond = 21;
constexpr int BlockSamples = 1050;

double ThreadCpuMicros() {
  timespec T{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &T);
  return double(T.tv_sec) * 1e6 + double(T.tv_nsec) / 1e3;
}

// Each iteration plays one second through the receive side, then runs the
// same number of decode calls (ten payloads per speaker) on their own. The
// two are interleaved so that the load of a shared machine affects both
// alike; the counters give both CPU times per second of audio and the share
// of the full cycle that is not codec work.
void BM_ReceiveSecond_Codec12(benchmark::State& State) {
  OpenLibraries();
  static auto Payloads = SpeexPayloads(12, 50);
  const int Speakers = int(State.range(0));
  TReceiveSide Client(Speakers, &Payloads);
  TSoundOutDevice Out(&Client, 0.7f, nullptr);
  std::vector<int16_t> Block(BlockSamples);
  for (int I = 0; I < 3 * BlocksPerSecond; ++I) { // past the pre-buffer
    Client.Arrive();
    Out.ProduceOutput(Block.data(), BlockSamples);
  }
  std::vector<TSpeexCodec> Decoders(static_cast<size_t>(Speakers));
  for (auto& D : Decoders)
    zqSpeexInitDecoder(D);
  std::vector<float> Decoded(4096);
  size_t Next = 0;
  double FullUs = 0, DecodeUs = 0;
  for (auto _ : State) {
    double T0 = ThreadCpuMicros();
    for (int I = 0; I < BlocksPerSecond; ++I) {
      Client.Arrive();
      Out.ProduceOutput(Block.data(), BlockSamples);
      benchmark::DoNotOptimize(Block.data());
    }
    double T1 = ThreadCpuMicros();
    for (int P = 0; P < 10; ++P)
      for (auto& D : Decoders) {
        auto& Payload = Payloads[Next++ % Payloads.size()];
        int32_t Count = 4096;
        zqSpeexDecode(D, Payload.data(), int32_t(Payload.size()), Decoded.data(), Count);
        benchmark::DoNotOptimize(Decoded.data());
      }
    double T2 = ThreadCpuMicros();
    FullUs += T1 - T0;
    DecodeUs += T2 - T1;
  }
  for (auto& D : Decoders)
    zqSpeexDoneDecoder(D);
  double N = double(State.iterations());
  State.counters["speakers"] = Speakers;
  State.counters["full_us"] = FullUs / N;
  State.counters["decode_only_us"] = DecodeUs / N;
  State.counters["engine_share_pct"] = 100.0 * (FullUs - DecodeUs) / FullUs;
}
BENCHMARK(BM_ReceiveSecond_Codec12)->Arg(1)->Arg(8)->Arg(32)->Unit(benchmark::kMicrosecond);

// One second of captured voice at 8000 Hz: normalise, cut into the codec's
// blocks, encode, build the packets.
void BM_TransmitSecond(benchmark::State& State) {
  OpenLibraries();
  const int32_t Codec = int32_t(State.range(0));
  const int32_t N = GetSendSamples(Codec);
  auto Signal = Speechlike(8000 * 3);
  TSpeexCodec Speex;
  zqSpeexInitEncoder(Speex);
  hvdi_enc_state* Hawk = HawkVoice.hvdiNewEncState();
  if (IsSpeexCodec(Codec))
    zqSpeexSetMode(Speex, Codec - 5);
  else
    HawkVoice.hvdiEncStateSetCodec(Hawk, uint8_t(Codecs[Codec].Setting));
  TVoiceNormalizer Normalizer;
  std::vector<float> Send(8192);
  std::vector<int16_t> Pcm(static_cast<size_t>(N));
  int32_t SendCount = 0;
  size_t Pos = 0;
  int64_t Packets = 0;
  for (auto _ : State) {
    for (int B = 0; B < 8000 / 400; ++B) { // capture blocks of 400 samples
      if (Pos + 400 > Signal.size())
        Pos = 0;
      std::copy(Signal.begin() + long(Pos), Signal.begin() + long(Pos + 400),
                Send.begin() + SendCount);
      Pos += 400;
      Normalizer.Process(Send.data() + SendCount, 400);
      SendCount += 400;
      while (SendCount >= N) {
        auto P = std::make_unique<TPacket>();
        TClientVoiceHeader H{PacketClassClientVoice, 0, uint8_t(Codec), 0, 1, 0, 0};
        P->WriteBuffer(&H, sizeof(H));
        uint8_t Payload[1024];
        int32_t Length = sizeof(Payload);
        if (IsSpeexCodec(Codec)) {
          zqSpeexEncode(Speex, N, Send.data(), Length, Payload);
        } else {
          FloatsToSmallInts(Send.data(), Pcm.data(), N);
          Length = HawkVoice.hvdiPacketEncode(Payload, N, Pcm.data(), 1024, nullptr, Hawk);
        }
        P->WriteBuffer(Payload, Length);
        benchmark::DoNotOptimize(P->Memory());
        std::copy(Send.begin() + N, Send.begin() + SendCount, Send.begin());
        SendCount -= N;
        ++Packets;
      }
    }
  }
  zqSpeexDoneEncoder(Speex);
  HawkVoice.hvdiDeleteEncState(Hawk);
  State.counters["packets_per_s"] =
      benchmark::Counter(double(Packets) / double(State.iterations()));
}
BENCHMARK(BM_TransmitSecond)->DenseRange(0, 3)->DenseRange(5, 12)->Unit(benchmark::kMicrosecond);

template <bool Sse> void BM_Upsample(benchmark::State& State) {
  alignas(16) static float In[8000];
  static float Out[22000];
  for (int I = 0; I < 8000; ++I)
    In[I] = float(std::sin(I * 0.7) * 10000);
  TUpsampler U;
  InitUpsampler(U);
  for (auto _ : State) {
    int32_t Count = 8000;
    benchmark::DoNotOptimize(Sse ? UpsampleSSE(U, Count, In, Out)
                                 : UpsampleScalar(U, Count, In, Out));
    benchmark::ClobberMemory();
  }
  State.SetItemsProcessed(int64_t(State.iterations()) * 8000);
}
BENCHMARK(BM_Upsample<true>)->Name("BM_Upsample_SSE");
BENCHMARK(BM_Upsample<false>)->Name("BM_Upsample_Scalar");

template <bool Sse> void BM_Downsample(benchmark::State& State) {
  static float In[22000];
  static float Out[8000];
  for (int I = 0; I < 22000; ++I)
    In[I] = float(std::sin(I * 0.3) * 10000);
  TDownsampler D;
  InitDownsampler(D);
  for (auto _ : State) {
    int32_t Count = 22000;
    benchmark::DoNotOptimize(Sse ? DownsampleSSE(D, Count, In, Out)
                                 : DownsampleScalar(D, Count, In, Out));
    benchmark::ClobberMemory();
  }
  State.SetItemsProcessed(int64_t(State.iterations()) * 22000);
}
BENCHMARK(BM_Downsample<true>)->Name("BM_Downsample_SSE");
BENCHMARK(BM_Downsample<false>)->Name("BM_Downsample_Scalar");

} // namespace

BENCHMARK_MAIN();
