#include "voice/ClientSoundBase.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "protocol/logdebug.h"
#include "voice/PlayerSoundData.h"
#include "voice/SoundUtils.h"

namespace orlavonix {

namespace {
// Largest block handled in one pass; longer blocks are processed in pieces so
// that the fixed buffers always suffice.
constexpr int32_t MaxOutBlock = 4096;
constexpr int32_t MaxInBlock = 11000;
} // namespace

TSoundOutDevice::TSoundOutDevice(TSoundClient* Client, float SoundsVolume, TSoundRecorder* Recorder)
    : TSoundDevice(Client, Recorder), FSoundsVolume(SoundsVolume) {
  InitUpsampler(FUpsampler);
}

void TSoundOutDevice::ProduceOutput(int16_t* Block, int32_t Count) {
  while (Count > 0) {
    int32_t N = std::min(Count, MaxOutBlock);
    ProduceBlock(Block, N);
    Block += N;
    Count -= N;
  }
}

void TSoundOutDevice::ProduceBlock(int16_t* Block, int32_t N) {
  // Ask for just enough voice that the 22 kHz backlog settles at a few dozen
  // samples; the 11/4 interpolator runs slightly slower than the card.
  double Want = ((2.0 * N - F22kbufsize) / 2.75625 + 24.0) / 2.0;
  int32_t Ask = static_cast<int32_t>(std::nearbyint(Want));
  int32_t Room8k = Buffer8kSize - F8kCount;
  int32_t Room22k = (Buffer22kSize - F22kbufsize) / 22 * 8 - F8kCount;
  Ask = std::clamp(Ask, 0, std::max(0, std::min(Room8k, Room22k)));
  if (Ask > 0) {
    float* Dest = F8kBuffer + F8kCount;
    if (!FClient || !FClient->snd_GetSoundData(Dest, Ask))
      std::fill(Dest, Dest + Ask, 0.0f);
    F8kCount += Ask;
  }

  int32_t Consumed = F8kCount;
  int32_t Produced = Upsample(FUpsampler, Consumed, F8kBuffer, FUpsampled);
  std::memmove(F8kBuffer, F8kBuffer + Consumed,
               static_cast<size_t>(F8kCount - Consumed) * sizeof(float));
  F8kCount -= Consumed;
  FloatsToSmallInts(FUpsampled, F22kBuffer + F22kbufsize, Produced);
  F22kbufsize += Produced;

  if (N > F22kbufsize) {
    LogFmt(lkDebug, "TSoundOutDevice.UpsampleMixAndOutput", "22k buffer: %1, Samples: %2 ",
           F22kbufsize, N);
    std::fill(F22kBuffer + F22kbufsize, F22kBuffer + N, int16_t(0));
    F22kbufsize = N;
  }

  bool AnySound = false;
  {
    std::lock_guard G(FSoundQueueLock);
    if (!FSoundQueue.empty()) {
      AnySound = true;
      std::fill(FEventMix, FEventMix + N, 0);
      for (auto It = FSoundQueue.begin(); It != FSoundQueue.end();) {
        int32_t Take = std::min(N, It->Total - It->Played);
        const int16_t* Src = It->Samples + It->Played;
        for (int32_t I = 0; I < Take; ++I)
          FEventMix[I] += Src[I];
        It->Played += Take;
        if (It->Played >= It->Total)
          It = FSoundQueue.erase(It);
        else
          ++It;
      }
    }
  }
  if (AnySound) {
    float Volume = SoundsVolume();
    for (int32_t I = 0; I < N; ++I) {
      float Event = std::nearbyint(static_cast<float>(FEventMix[I]) * Volume);
      float Sum = Event + F22kBuffer[I];
      Block[I] = static_cast<int16_t>(std::clamp(Sum, -32768.0f, 32767.0f));
    }
  } else {
    std::memcpy(Block, F22kBuffer, static_cast<size_t>(N) * sizeof(int16_t));
  }

  std::memmove(F22kBuffer, F22kBuffer + N, static_cast<size_t>(F22kbufsize - N) * sizeof(int16_t));
  F22kbufsize -= N;
  if (F22kbufsize > 5000)
    LogFmt(lkDebug, "TSoundOutDevice.UpsampleMixAndOutput", "F22kbufsize= %1", F22kbufsize);
  if (FRecorder)
    FRecorder->AddOutput(Block, N);
}

void TSoundOutDevice::QueueSound(const int16_t* Samples, int32_t Count) {
  if (!Samples || Count <= 0)
    return;
  std::lock_guard G(FSoundQueueLock);
  FSoundQueue.push_back({Samples, Count, 0});
}

void TSoundOutDevice::ClearSounds() {
  std::lock_guard G(FSoundQueueLock);
  FSoundQueue.clear();
}

bool TSoundOutDevice::IsPlayingSounds() {
  std::lock_guard G(FSoundQueueLock);
  return !FSoundQueue.empty();
}

TSoundInDevice::TSoundInDevice(TSoundClient* Client, bool Flag, TSoundRecorder* Recorder)
    : TSoundDevice(Client, Recorder), FFlag(Flag) {
  InitDownsampler(FDownsampler);
}

void TSoundInDevice::ProcessInput(const int16_t* Block, int32_t Count) {
  while (Count > 0) {
    int32_t N = std::min(Count, MaxInBlock);
    ProcessChunk(Block, N);
    Block += N;
    Count -= N;
  }
}

void TSoundInDevice::ProcessChunk(const int16_t* Block, int32_t N) {
  std::memcpy(FRawInput, Block, static_cast<size_t>(N) * sizeof(int16_t));
  FRawCount = N;
  SmallIntsToFloats(Block, FFloatInput + FFloatCount, N);
  FFloatCount += N;

  int32_t Consumed = FFloatCount;
  F8kOutputCount = Downsample(FDownsampler, Consumed, FFloatInput, F8kOutput);
  std::memmove(FFloatInput, FFloatInput + Consumed,
               static_cast<size_t>(FFloatCount - Consumed) * sizeof(float));
  FFloatCount -= Consumed;

  HighPass(F8kOutput, F8kOutputCount);

  float Level = 0.0f;
  bool Sent = FClient && FClient->snd_StoreSoundData(F8kOutput, F8kOutputCount, Level);
  if (FRecorder)
    FRecorder->AddInput(Sent ? FRawInput : nullptr, FRawCount, Level);
}

void HighPassFilter(float* X, float* Y, float* Samples, int32_t Count) {
  // X[k] holds x[n-1-k], Y[k] holds y[n-1-k].
  for (int32_t I = 0; I < Count; ++I) {
    float In = Samples[I];
    float Out = (In - X[4]) + 5.0f * (X[3] - X[0]) + 10.0f * (X[1] - X[2]) + 0.6887935776f * Y[4] -
                3.7169785064f * Y[3] + 8.0128310802f * Y[2] - 8.629688886f * Y[1] +
                4.6450223865f * Y[0];
    for (int K = 5; K > 0; --K) {
      X[K] = X[K - 1];
      Y[K] = Y[K - 1];
    }
    X[0] = In;
    Y[0] = Out;
    Samples[I] = Out;
  }
}

void TSoundInDevice::HighPass(float* Samples, int32_t Count) {
  HighPassFilter(FHighPassX, FHighPassY, Samples, Count);
}

bool TTalkingList::IsTalking(uint32_t Id) const {
  return std::find(FIds.begin(), FIds.end(), Id) != FIds.end();
}

bool TTalkingList::Start(uint32_t Id) {
  if (IsTalking(Id))
    return false;
  if (FIds.size() == FIds.capacity())
    FIds.reserve(FIds.capacity() + 16);
  FIds.push_back(Id);
  return true;
}

bool TTalkingList::Stop(uint32_t Id) {
  for (size_t I = FIds.size(); I-- > 0;)
    if (FIds[I] == Id) {
      FIds[I] = FIds.back();
      FIds.pop_back();
      return true;
    }
  return false;
}

void TTalkingList::Clear() {
  std::vector<uint32_t>().swap(FIds);
}

std::string TTalkingList::Text() const {
  std::string S;
  for (auto Id : FIds)
    S += std::to_string(Id) + ";";
  return S;
}

void TVoiceMixer::Begin(int32_t Count) {
  FSamples = Count;
  FCount = 0;
}

bool TVoiceMixer::Collect(TPlayerSoundData& Buffer, uint32_t Id) {
  TSource S{Id, nullptr, 0, nullptr, 0};
  if (!Buffer.GetSoundDataBufferPointer(FSamples, S.First, S.FirstCount, S.Second, S.SecondCount))
    return false;
  if (FCount == static_cast<int32_t>(FSources.size()))
    FSources.resize(FSources.size() + 16);
  FSources[static_cast<size_t>(FCount++)] = S;
  return true;
}

bool TVoiceMixer::Contains(uint32_t Id) const {
  for (int32_t I = 0; I < FCount; ++I)
    if (FSources[static_cast<size_t>(I)].Id == Id)
      return true;
  return false;
}

bool TVoiceMixer::Mix(float* Out, float Volume) const {
  if (FCount == 0)
    return false;
  // Sum source by source over whole runs: the inner loops stay simple.
  const TSource& S0 = FSources[0];
  std::copy(S0.First, S0.First + S0.FirstCount, Out);
  std::copy(S0.Second, S0.Second + S0.SecondCount, Out + S0.FirstCount);
  for (int32_t K = 1; K < FCount; ++K) {
    const TSource& S = FSources[static_cast<size_t>(K)];
    for (int32_t I = 0; I < S.FirstCount; ++I)
      Out[I] += S.First[I];
    float* Rest = Out + S.FirstCount;
    for (int32_t I = 0; I < S.SecondCount; ++I)
      Rest[I] += S.Second[I];
  }
  for (int32_t I = 0; I < FSamples; ++I)
    Out[I] *= Volume;
  return true;
}

bool TSoundBase::IsPlayingSounds() {
  return FOut && FOut->IsPlayingSounds();
}

void TSoundBase::PlaySound(const int16_t* Samples, int32_t Count) {
  if (FOut)
    FOut->QueueSound(Samples, Count);
}

void TSoundBase::ClearSounds() {
  if (FOut)
    FOut->ClearSounds();
}

void TSoundBase::SetSoundsVolume(float Gain) {
  FSoundsVolume = Gain;
  if (FOut)
    FOut->SetSoundsVolume(Gain);
}

} // namespace orlavonix
