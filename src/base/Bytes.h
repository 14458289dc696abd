#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "base/Exceptions.h"

namespace orlavonix {

static_assert(std::endian::native == std::endian::little,
              "wire and record layouts assume a little-endian host");

// Unaligned little-endian access into raw memory. Callers check bounds first.
template <typename T> inline T GetLE(const void* P) {
  T V;
  std::memcpy(&V, P, sizeof(T));
  return V;
}
template <typename T> inline void PutLE(void* P, T V) {
  std::memcpy(P, &V, sizeof(T));
}

// A reader over a byte range that refuses to read past its end: every read
// either succeeds completely or raises EReadError and leaves the position.
class TByteReader {
public:
  TByteReader(const void* Data, size_t Size)
      : FData(static_cast<const uint8_t*>(Data)), FSize(Size) {}
  explicit TByteReader(std::span<const uint8_t> Bytes) : TByteReader(Bytes.data(), Bytes.size()) {}

  size_t Position() const { return FPos; }
  size_t Size() const { return FSize; }
  size_t Remaining() const { return FSize - FPos; }
  bool AtEnd() const { return FPos >= FSize; }
  const uint8_t* Current() const { return FData + FPos; }

  void Seek(size_t Pos) {
    if (Pos > FSize)
      throw EReadError("Seek past end of data");
    FPos = Pos;
  }
  void Skip(size_t N) {
    Need(N);
    FPos += N;
  }

  uint8_t U8() { return Read<uint8_t>(); }
  uint16_t U16() { return Read<uint16_t>(); }
  uint32_t U32() { return Read<uint32_t>(); }
  int16_t I16() { return Read<int16_t>(); }
  int32_t I32() { return Read<int32_t>(); }
  int64_t I64() { return Read<int64_t>(); }
  float F32() { return Read<float>(); }

  void Bytes(void* Out, size_t N) {
    Need(N);
    std::memcpy(Out, FData + FPos, N);
    FPos += N;
  }
  std::span<const uint8_t> Take(size_t N) {
    Need(N);
    std::span<const uint8_t> S(FData + FPos, N);
    FPos += N;
    return S;
  }

  // string[N]: one length byte and N character bytes. A length above N is
  // clamped to N; the characters after the length are not read.
  std::string ShortString(size_t N) {
    Need(N + 1);
    size_t Len = FData[FPos];
    if (Len > N)
      Len = N;
    std::string S(reinterpret_cast<const char*>(FData + FPos + 1), Len);
    FPos += N + 1;
    return S;
  }

  // A zero-terminated text of at most Limit bytes including the zero. Returns
  // nothing (and keeps the position) when no zero lies within both bounds.
  std::optional<std::string> Terminated(size_t Limit) {
    size_t Max = std::min(Limit, Remaining());
    const void* Z = std::memchr(FData + FPos, 0, Max);
    if (!Z)
      return std::nullopt;
    size_t Len = static_cast<const uint8_t*>(Z) - (FData + FPos);
    std::string S(reinterpret_cast<const char*>(FData + FPos), Len);
    FPos += Len + 1;
    return S;
  }

private:
  void Need(size_t N) const {
    if (N > Remaining())
      throw EReadError("Read past end of data");
  }
  template <typename T> T Read() {
    Need(sizeof(T));
    T V = GetLE<T>(FData + FPos);
    FPos += sizeof(T);
    return V;
  }

  const uint8_t* FData;
  size_t FSize;
  size_t FPos = 0;
};

// Appends little-endian values to a byte vector.
class TByteWriter {
public:
  std::vector<uint8_t>& Data() { return FData; }
  const std::vector<uint8_t>& Data() const { return FData; }
  size_t Size() const { return FData.size(); }

  TByteWriter& U8(uint8_t V) { return Put(V); }
  TByteWriter& U16(uint16_t V) { return Put(V); }
  TByteWriter& U32(uint32_t V) { return Put(V); }
  TByteWriter& I16(int16_t V) { return Put(V); }
  TByteWriter& I32(int32_t V) { return Put(V); }
  TByteWriter& I64(int64_t V) { return Put(V); }
  TByteWriter& F32(float V) { return Put(V); }
  TByteWriter& Bytes(const void* P, size_t N) {
    auto* B = static_cast<const uint8_t*>(P);
    FData.insert(FData.end(), B, B + N);
    return *this;
  }
  TByteWriter& Zeros(size_t N) {
    FData.insert(FData.end(), N, 0);
    return *this;
  }
  // string[N]: the text is cut to N characters; unused bytes are zero.
  TByteWriter& ShortString(std::string_view S, size_t N) {
    size_t Len = std::min(S.size(), N);
    U8(static_cast<uint8_t>(Len));
    Bytes(S.data(), Len);
    return Zeros(N - Len);
  }
  // A zero-terminated text cut so that it fits in Limit bytes with its zero.
  TByteWriter& Terminated(std::string_view S, size_t Limit = SIZE_MAX) {
    size_t Len = Limit == 0 ? 0 : std::min(S.size(), Limit - 1);
    Bytes(S.data(), Len);
    return U8(0);
  }

private:
  template <typename T> TByteWriter& Put(T V) {
    size_t At = FData.size();
    FData.resize(At + sizeof(T));
    PutLE<T>(FData.data() + At, V);
    return *this;
  }
  std::vector<uint8_t> FData;
};

// string[N] into a fixed record field of N+1 bytes.
inline void SetShortString(uint8_t* Field, size_t N, std::string_view S) {
  size_t Len = std::min(S.size(), N);
  std::memset(Field, 0, N + 1);
  Field[0] = static_cast<uint8_t>(Len);
  if (Len) // an empty view may carry a null pointer
    std::memcpy(Field + 1, S.data(), Len);
}
inline std::string GetShortString(const uint8_t* Field, size_t N) {
  size_t Len = std::min<size_t>(Field[0], N);
  return std::string(reinterpret_cast<const char*>(Field + 1), Len);
}

} // namespace orlavonix
