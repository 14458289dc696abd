// Arbitrary datagrams through classification, header access and CRC checks.
#include <cstdint>
#include <cstring>

#include "protocol/PacketBuffers.h"
#include "protocol/Packets.h"

using namespace orlavonix;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  if (Size < 2 || Size > 4096)
    return 0;
  TPacket P(Data, static_cast<int32_t>(Size));
  std::vector<uint8_t> Before(Data, Data + Size);
  bool Valid = P.IsValid();
  if (std::memcmp(P.Memory(), Before.data(), Size) != 0)
    __builtin_trap(); // checking must never change the packet
  if (P.HasClass()) {
    (void)P.GetPlayerId();
    (void)P.GetConnectionId();
    P.SetCrc();
    if (!P.CheckCrc())
      __builtin_trap(); // a freshly set checksum must verify
  } else {
    if (Valid)
      __builtin_trap();
    try {
      P.GetPlayerId();
      __builtin_trap();
    } catch (const EPacket&) {
    }
  }
  TFIFOList L(1, 1, 2);
  L.Add(std::make_unique<TPacket>(Data, static_cast<int32_t>(Size)));
  uint32_t Id;
  try {
    L.PeekPlayerId(Id);
  } catch (const EPacket&) {
  }
  return 0;
}
