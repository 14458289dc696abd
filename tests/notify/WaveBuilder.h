#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "base/Bytes.h"

namespace orlavonix::test {

// Builds WAV files byte by byte, with every field open to change.
struct TWaveSpec {
  std::string Riff = "RIFF", Wave = "WAVE";
  uint32_t FmtSize = 16;
  uint16_t Tag = 1, Channels = 1;
  uint32_t Rate = 22050;
  uint16_t Align = 2, Bits = 16;
  std::vector<std::pair<std::string, std::vector<uint8_t>>> Before;  // chunks before "fmt "
  std::vector<std::pair<std::string, std::vector<uint8_t>>> Between; // chunks after it
  std::vector<int16_t> Samples{1, -2, 300, -32768, 32767};
  int64_t DeclaredData = -1; // data chunk size written, -1 for the real one
};

inline std::vector<uint8_t> MakeWave(const TWaveSpec& S) {
  TByteWriter W;
  W.Bytes(S.Riff.data(), 4).U32(0).Bytes(S.Wave.data(), 4);
  for (auto& [Id, Body] : S.Before)
    W.Bytes(Id.data(), 4).U32(uint32_t(Body.size())).Bytes(Body.data(), Body.size());
  W.Bytes("fmt ", 4).U32(S.FmtSize);
  W.U16(S.Tag).U16(S.Channels).U32(S.Rate).U32(S.Rate * S.Align).U16(S.Align).U16(S.Bits);
  if (S.FmtSize > 16)
    W.Zeros(S.FmtSize - 16);
  for (auto& [Id, Body] : S.Between)
    W.Bytes(Id.data(), 4).U32(uint32_t(Body.size())).Bytes(Body.data(), Body.size());
  uint32_t Bytes = uint32_t(S.Samples.size() * 2);
  W.Bytes("data", 4).U32(S.DeclaredData < 0 ? Bytes : uint32_t(S.DeclaredData));
  W.Bytes(S.Samples.data(), Bytes);
  auto D = W.Data();
  PutLE<uint32_t>(D.data() + 4, uint32_t(D.size() - 8));
  return D;
}

} // namespace orlavonix::test
