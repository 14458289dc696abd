// Arbitrary server voice payloads of every codec through the receive buffer
// and the Speex wrapper: nothing may crash or read out of bounds, and the
// ring never holds more than it can.
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "voice/HawkVoice.h"
#include "voice/PlayerSoundData.h"
#include "voice/libspeex.h"

using namespace orlavonix;

namespace {
bool LoadLibraries() {
  if (LoadHawkVoice() != 0 || LoadSpeex() != 0)
    std::abort();
  return true;
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  static bool Loaded = LoadLibraries();
  (void)Loaded;
  if (Size < 1 || Size > 1200)
    return 0;
  const uint8_t Codec = Data[0] % 13;
  const uint8_t* Payload = Data + 1;
  const int32_t Length = static_cast<int32_t>(Size - 1);

  {
    TSpeexCodec Dec;
    zqSpeexInitDecoder(Dec);
    std::vector<float> Out(4096);
    int32_t Count = 4096;
    try {
      zqSpeexDecode(Dec, Payload, Length, Out.data(), Count);
      if (Count < 0 || Count > 4096 || Count % 160 != 0)
        __builtin_trap();
    } catch (const ESpeexError&) {
    }
    zqSpeexDoneDecoder(Dec);
  }

  TPlayerSoundData Buffer(0);
  for (uint16_t Nr = 0; Nr < 3; ++Nr) {
    TServerVoiceHeader H{};
    H.Magic = PacketClassServerVoice;
    H.Codec = Codec;
    H.SpeakNr = 1;
    H.PacketNr = Nr;
    auto P = std::make_unique<TPacket>();
    P->WriteBuffer(&H, sizeof(H));
    if (Length > 0)
      P->WriteBuffer(Payload, Length);
    Buffer.StorePacket(std::move(P));
  }
  const float *First, *Second;
  int32_t FirstCount, SecondCount;
  for (int I = 0; I < 8; ++I) {
    if (Buffer.GetSoundDataBufferPointer(1000, First, FirstCount, Second, SecondCount)) {
      if (FirstCount + SecondCount != 1000)
        __builtin_trap();
      volatile float Sum = 0;
      for (int32_t K = 0; K < FirstCount; ++K)
        Sum = Sum + First[K];
      for (int32_t K = 0; K < SecondCount; ++K)
        Sum = Sum + Second[K];
    }
    Buffer.DataUsed();
  }
  if (Buffer.SoundDataSize() < 0 || Buffer.SoundDataSize() > TPlayerSoundData::RingSize)
    __builtin_trap();
  return 0;
}
