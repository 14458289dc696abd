#include "protocol/crc.h"

#include <array>

namespace orlavonix {

namespace {
constexpr std::array<uint32_t, 256> MakeTable() {
  std::array<uint32_t, 256> T{};
  for (uint32_t I = 0; I < 256; ++I) {
    uint32_t C = I;
    for (int K = 0; K < 8; ++K)
      C = (C & 1) ? 0xEDB88320u ^ (C >> 1) : C >> 1;
    T[I] = C;
  }
  return T;
}
constexpr auto CrcTable = MakeTable();
} // namespace

uint32_t Crc32(const void* Data, size_t Length) {
  if (Length > CrcMaxLength)
    return 0xFFFFFFFFu;
  auto* P = static_cast<const uint8_t*>(Data);
  uint32_t C = 0xFFFFFFFFu;
  for (size_t I = 0; I < Length; ++I)
    C = CrcTable[(C ^ P[I]) & 0xFF] ^ (C >> 8);
  return ~C;
}

} // namespace orlavonix
