#include "config/MemoryStream.h"

#include <algorithm>
#include <cstring>

#include "base/Bytes.h"

namespace orlavonix {

void TMemoryStream::Read(void* Out, size_t N) {
  if (N > Remaining())
    throw EReadError("Stream read error");
  if (N)
    std::memcpy(Out, FData.data() + FPos, N);
  FPos += N;
}

void TMemoryStream::Write(const void* In, size_t N) {
  if (N == 0)
    return;
  if (FPos + N > FData.size())
    FData.resize(FPos + N);
  std::memcpy(FData.data() + FPos, In, N);
  FPos += N;
}

uint8_t TMemoryStream::ReadU8() {
  uint8_t V;
  Read(&V, 1);
  return V;
}

int32_t TMemoryStream::ReadI32() {
  uint8_t B[4];
  Read(B, 4);
  return GetLE<int32_t>(B);
}

void TMemoryStream::WriteI32(int32_t V) {
  uint8_t B[4];
  PutLE<int32_t>(B, V);
  Write(B, 4);
}

std::string TMemoryStream::ReadShortString(size_t N) {
  std::vector<uint8_t> Field(N + 1);
  Read(Field.data(), N + 1);
  return GetShortString(Field.data(), N);
}

void TMemoryStream::WriteShortString(std::string_view S, size_t N) {
  std::vector<uint8_t> Field(N + 1);
  SetShortString(Field.data(), N, S);
  Write(Field.data(), N + 1);
}

} // namespace orlavonix
