#pragma once

#include <array>
#include <cstdint>

#include "hvdi/hvdi.h"
#include "protocol/Packets.h"
#include "voice/libspeex.h"

namespace orlavonix {

// One speaking player's jitter buffer: 16 numbered packet slots, lazy decoding
// into a ring of 8192 samples at 8000 Hz, silence for lost packets and an
// adaptive pre-buffer delay at the start of each talk burst. Not locked: the
// owner's sound lock serialises every call. Both codec libraries must be open.
class TPlayerSoundData {
public:
  static constexpr int32_t SlotCount = 16;
  static constexpr int32_t RingSize = 8192;
  static constexpr int32_t LostPacketSamples = 256;
  static constexpr int32_t DecodeCapacity = 4096;
  static constexpr int32_t DelayStep = 128;
  static constexpr int32_t InitialMinDelay = 512;
  static constexpr int32_t MaxDelay = 4096;
  static constexpr int32_t HistogramBuckets = 32;
  static constexpr uint32_t StatRestart = 10000;

  explicit TPlayerSoundData(int32_t InitialDelay);
  ~TPlayerSoundData();
  TPlayerSoundData(const TPlayerSoundData&) = delete;
  TPlayerSoundData& operator=(const TPlayerSoundData&) = delete;

  // Takes the server voice packet; true when it was kept in a slot.
  bool StorePacket(TPacketPtr Packet);
  // The next Count samples as up to two runs of the ring; false when the
  // player contributes nothing this time. Raises for Count above 8192.
  bool GetSoundDataBufferPointer(int32_t Count, const float*& First, int32_t& FirstCount,
                                 const float*& Second, int32_t& SecondCount);
  void DataUsed();
  void Clear();

  // Read-only views for tests and statistics.
  int32_t Delay() const { return FDelay; }
  int32_t MinDelay() const { return FMinDelay; }
  int32_t PreBuffer() const { return FPreBuffer; }
  bool Active() const { return FActive; }
  int32_t SlotsFilled() const { return FSlotsFilled; }
  int32_t SoundDataSize() const { return FSoundDataSize; }
  uint16_t SlotNr(int32_t Slot) const { return FSlotNr[static_cast<size_t>(Slot)]; }
  bool SlotHoldsPacket(int32_t Slot) const { return FSlots[static_cast<size_t>(Slot)] != nullptr; }
  int32_t NextSlot() const { return FNextSlot; }
  uint32_t StatCount() const { return FStatCount; }
  uint32_t HistogramBucket(int32_t I) const { return FDelayHistogram[static_cast<size_t>(I)]; }

private:
  void AddZeros(int32_t Count);
  bool DecodeNextPacket();
  void RestartSlots(uint16_t PacketNr, uint16_t SpeakNr);
  void FreeSlots();
  void AppendSamples(const float* Samples, int32_t Count);

  std::array<uint16_t, SlotCount> FSlotNr{};
  std::array<TPacketPtr, SlotCount> FSlots;
  int32_t FNextSlot = 0;
  int32_t FSlotsFilled = 0;
  std::array<float, RingSize> FRing{};
  int32_t FSoundDataSize = 0;
  int32_t FReadPos = 0;
  int32_t FLastRequested = 0;
  hvdi_dec_state* FHawkDecoder = nullptr;
  TSpeexCodec FSpeexDecoder;
  int32_t FDelay;
  int32_t FPreBuffer = 0;
  int32_t FMinDelay = InitialMinDelay;
  uint32_t FStatCount = 0;
  std::array<uint32_t, HistogramBuckets> FDelayHistogram{};
  int32_t FInitialDelay;
  int32_t FLastSpeakNr = -1;
  uint8_t FLastCodec = 0;
  bool FActive = false;
  // Decode scratch, kept here so that mixing allocates nothing.
  std::array<float, DecodeCapacity> FDecodeBuffer{};
  std::array<int16_t, DecodeCapacity> FHawkBuffer{};
};

} // namespace orlavonix
