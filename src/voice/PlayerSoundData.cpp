#include "voice/PlayerSoundData.h"

#include <algorithm>

#include "protocol/logdebug.h"
#include "voice/HawkVoice.h"
#include "voice/SoundUtils.h"

namespace orlavonix {

TPlayerSoundData::TPlayerSoundData(int32_t InitialDelay)
    : FDelay(InitialDelay), FInitialDelay(InitialDelay) {
  FHawkDecoder = HawkVoice.hvdiNewDecState();
  zqSpeexInitDecoder(FSpeexDecoder);
}

TPlayerSoundData::~TPlayerSoundData() {
  FreeSlots();
  zqSpeexDoneDecoder(FSpeexDecoder);
  if (FHawkDecoder)
    HawkVoice.hvdiDeleteDecState(FHawkDecoder);
}

void TPlayerSoundData::FreeSlots() {
  for (auto& S : FSlots)
    S.reset();
  FSlotsFilled = 0;
}

bool TPlayerSoundData::StorePacket(TPacketPtr Packet) {
  if (!Packet || Packet->Size() < ServerVoiceHeaderSize)
    return false;
  const TServerVoiceHeader H = *Packet->ServerVoiceHeader();
  if (H.Codec == UnsupportedCodec)
    return false;
  if (FSlotsFilled == 0)
    RestartSlots(H.PacketNr, H.SpeakNr);

  int32_t Slot = -1;
  for (int32_t I = 0; I < SlotCount; ++I)
    if (FSlotNr[static_cast<size_t>(I)] == H.PacketNr) {
      Slot = I;
      break;
    }
  if (Slot < 0) {
    LogFmt(lkDebug, "TPlayerSoundData.StorePacket", "packet nr %1 (speak %2) was not stored",
           H.PacketNr, H.SpeakNr);
    return false;
  }
  auto& Entry = FSlots[static_cast<size_t>(Slot)];
  if (Entry) {
    LogFmt(lkDebug, "TPlayerSoundData.StorePacket", "packet nr %1 (speak %2) was already filled",
           H.PacketNr, H.SpeakNr);
    return false;
  }
  if (!IsSpeexCodec(H.Codec)) {
    const uint8_t* Payload = Packet->Memory() + ServerVoiceHeaderSize;
    int32_t Length = Packet->Size() - ServerVoiceHeaderSize;
    if (HawkVoice.hvdiPacketIsVoice(Payload, Length) != 1) {
      LogFmt(lkDebug, "TPlayerSoundData.StorePacket", "packet nr %1 (speak %2) was invalid",
             H.PacketNr, H.SpeakNr);
      return false;
    }
  }
  Entry = std::move(Packet);
  ++FSlotsFilled;

  if (FStatCount < StatRestart) {
    ++FStatCount;
  } else {
    FStatCount = 1;
    FDelayHistogram.fill(0);
  }
  if (H.Codec != FLastCodec) {
    FStatCount = 1;
    FDelayHistogram.fill(0);
    FMinDelay = InitialMinDelay;
    FDelay = FInitialDelay;
    FLastCodec = H.Codec;
  }
  if (H.SpeakNr != FLastSpeakNr)
    FLastSpeakNr = H.SpeakNr;

  if (FActive) {
    if (FSlotsFilled > 2 && FDelay > FMinDelay) {
      FDelay -= DelayStep;
    } else if (FSlotsFilled < 2 && FDelay < MaxDelay) {
      int32_t Bucket = FDelay / DelayStep;
      if (Bucket >= 0 && Bucket < HistogramBuckets) {
        uint32_t& Hits = FDelayHistogram[static_cast<size_t>(Bucket)];
        ++Hits;
        if (FStatCount > 10 && Hits > 2 && static_cast<double>(Hits) / FStatCount > 0.01 &&
            FMinDelay < MaxDelay && FDelay >= FMinDelay)
          FMinDelay = FDelay + DelayStep;
      }
      FDelay += DelayStep;
    }
  }
  return true;
}

void TPlayerSoundData::RestartSlots(uint16_t PacketNr, uint16_t SpeakNr) {
  FreeSlots();
  for (int32_t I = 0; I < SlotCount; ++I)
    FSlotNr[static_cast<size_t>(I)] = static_cast<uint16_t>(PacketNr + I);
  FNextSlot = 0;
  FSoundDataSize = 0;
  FReadPos = 0;
  if (SpeakNr != FLastSpeakNr || FActive)
    FPreBuffer = FDelay;
  FActive = true;
}

bool TPlayerSoundData::GetSoundDataBufferPointer(int32_t Count, const float*& First,
                                                 int32_t& FirstCount, const float*& Second,
                                                 int32_t& SecondCount) {
  if (Count > RingSize) {
    LogError("TPlayerSoundData.GetSoundDataBufferPointer",
             "Requested samples is bigger than buffer");
    throw Exception("Requested samples is bigger than buffer");
  }
  if (!FActive || Count <= 0)
    return false;
  if (Count <= FPreBuffer) {
    FPreBuffer -= Count;
    return false;
  }
  FLastRequested = Count;
  if (FPreBuffer > 0) {
    AddZeros(FPreBuffer);
    FPreBuffer = 0;
  }
  if (Count > FSoundDataSize) {
    if (FSlotsFilled == 0) {
      if (FSoundDataSize == 0) {
        FActive = false;
        FLastRequested = 0;
        return false;
      }
      AddZeros(Count - FSoundDataSize);
      FActive = false;
    } else {
      while (FSoundDataSize < Count)
        DecodeNextPacket();
    }
  }
  FirstCount = std::min(Count, RingSize - FReadPos);
  First = FRing.data() + FReadPos;
  Second = FRing.data();
  SecondCount = Count - FirstCount;
  return true;
}

void TPlayerSoundData::DataUsed() {
  FReadPos = (FReadPos + FLastRequested) % RingSize;
  FSoundDataSize -= FLastRequested;
  FLastRequested = 0;
}

void TPlayerSoundData::Clear() {
  FreeSlots();
  FNextSlot = 0;
  FSoundDataSize = 0;
  FReadPos = 0;
  FLastRequested = 0;
  FLastSpeakNr = -1;
  FActive = false;
}

void TPlayerSoundData::AppendSamples(const float* Samples, int32_t Count) {
  int32_t Pos = (FReadPos + FSoundDataSize) % RingSize;
  int32_t FirstPart = std::min(Count, RingSize - Pos);
  std::copy(Samples, Samples + FirstPart, FRing.begin() + Pos);
  std::copy(Samples + FirstPart, Samples + Count, FRing.begin());
  FSoundDataSize += Count;
}

void TPlayerSoundData::AddZeros(int32_t Count) {
  if (FSoundDataSize + Count > RingSize) {
    int32_t Excess = FSoundDataSize + Count - RingSize;
    Count -= Excess;
    GlobalLog().Log(lkWarning, llAll, "TPlayerSoundData.AddZeros",
                    Format("Buffer wrap %d", Excess));
  }
  if (Count <= 0)
    return;
  int32_t Pos = (FReadPos + FSoundDataSize) % RingSize;
  int32_t FirstPart = std::min(Count, RingSize - Pos);
  std::fill(FRing.begin() + Pos, FRing.begin() + Pos + FirstPart, 0.0f);
  std::fill(FRing.begin(), FRing.begin() + (Count - FirstPart), 0.0f);
  FSoundDataSize += Count;
}

bool TPlayerSoundData::DecodeNextPacket() {
  auto& Entry = FSlots[static_cast<size_t>(FNextSlot)];
  bool Result = false;
  if (!Entry) {
    AddZeros(LostPacketSamples);
    int32_t Counted = 0;
    for (const auto& S : FSlots)
      Counted += S ? 1 : 0;
    if (Counted != FSlotsFilled)
      LogFmt(lkError, "TPlayerSoundData.DecodeNextPacket", "FSlotsFilled is incorrect!!!  %1 vs %2",
             FSlotsFilled, Counted);
  } else {
    TPacketPtr Packet = std::move(Entry);
    --FSlotsFilled;
    const uint8_t Codec = Packet->ServerVoiceHeader()->Codec;
    const uint8_t* Payload = Packet->Memory() + ServerVoiceHeaderSize;
    const int32_t Length = Packet->Size() - ServerVoiceHeaderSize;
    int32_t Decoded = 0;
    try {
      if (IsSpeexCodec(Codec)) {
        Decoded = DecodeCapacity;
        zqSpeexDecode(FSpeexDecoder, Payload, Length, FDecodeBuffer.data(), Decoded);
      } else {
        int32_t N = HawkVoice.hvdiPacketDecode(Payload, Length, FHawkBuffer.data(), DecodeCapacity,
                                               nullptr, FHawkDecoder);
        Decoded = std::clamp(N, 0, DecodeCapacity);
        SmallIntsToFloats(FHawkBuffer.data(), FDecodeBuffer.data(), Decoded);
      }
      AppendSamples(FDecodeBuffer.data(), Decoded);
      Result = true;
    } catch (const std::exception& E) {
      // A payload that cannot be decoded counts as lost: its turn is silence.
      LogException("TPlayerSoundData.DecodeNextPacket", E);
      AddZeros(LostPacketSamples);
    }
    if (FSoundDataSize > RingSize) {
      int32_t Excess = FSoundDataSize - RingSize;
      LogFmt(lkWarning, "decode packet", "FSoundDataSize (%1)to big (%2 samples)", FSoundDataSize,
             Excess);
      // The newest samples overwrote the oldest; play on from the oldest kept.
      FReadPos = (FReadPos + Excess) % RingSize;
      FSoundDataSize = RingSize;
    }
  }
  FSlotNr[static_cast<size_t>(FNextSlot)] =
      static_cast<uint16_t>(FSlotNr[static_cast<size_t>(FNextSlot)] + SlotCount);
  FNextSlot = (FNextSlot + 1) % SlotCount;
  return Result;
}

} // namespace orlavonix
