// Arbitrary payloads through the codec library's check and decoder.
#include <cstdint>
#include <cstring>
#include <vector>

#include "hvdi/hvdi.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  if (Size < 1 || Size > 2048)
    return 0;
  // The first byte picks the caller's capacity; the rest is the payload.
  const int Capacity = Data[0] * 24;
  const unsigned char* Payload = Data + 1;
  const int Length = static_cast<int>(Size - 1);
  std::vector<short> Out(static_cast<size_t>(Capacity) + 1, 0x1234);
  int IsVoice = hvdiPacketIsVoice(Payload, Length);
  if (IsVoice != 0 && IsVoice != 1)
    __builtin_trap();
  hvdi_dec_state* Dec = hvdiNewDecState();
  int N = hvdiPacketDecode(Payload, Length, Out.data(), Capacity, nullptr, Dec);
  if (N < 0 || N > Capacity || (IsVoice == 0 && N != 0))
    __builtin_trap(); // only our own payloads decode, never beyond the room given
  if (Out[static_cast<size_t>(Capacity)] != 0x1234)
    __builtin_trap();
  // Decoding again with the same state must stay within bounds too.
  N = hvdiPacketDecode(Payload, Length, Out.data(), Capacity, nullptr, Dec);
  if (N < 0 || N > Capacity)
    __builtin_trap();
  hvdiDeleteDecState(Dec);
  return 0;
}
