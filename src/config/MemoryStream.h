#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "base/Exceptions.h"

namespace orlavonix {

// A growable in-memory byte stream with a position, the unit of storage of
// one configuration section. Reads never pass the end: a short read raises
// EReadError and leaves the position where it was.
class TMemoryStream {
public:
  TMemoryStream() = default;
  explicit TMemoryStream(std::vector<uint8_t> Bytes) : FData(std::move(Bytes)) {}

  size_t Size() const { return FData.size(); }
  // Growing fills with zeros; shrinking pulls the position back to the end.
  void SetSize(size_t N) {
    FData.resize(N);
    if (FPos > N)
      FPos = N;
  }
  size_t Position() const { return FPos; }
  // Seeking past the end is allowed; a later write fills the gap with zeros.
  void Seek(size_t Pos) { FPos = Pos; }
  size_t Remaining() const { return FPos < FData.size() ? FData.size() - FPos : 0; }

  void Read(void* Out, size_t N);
  void Write(const void* In, size_t N);

  uint8_t ReadU8();
  int32_t ReadI32();
  bool ReadBool() { return ReadU8() != 0; }
  // string[N]: a length byte (clamped to N) and N character bytes.
  std::string ReadShortString(size_t N);

  void WriteU8(uint8_t V) { Write(&V, 1); }
  void WriteI32(int32_t V);
  void WriteBool(bool V) { WriteU8(V ? 1 : 0); }
  // string[N]: the text is cut to N characters; unused bytes are zero.
  void WriteShortString(std::string_view S, size_t N);

  const std::vector<uint8_t>& Bytes() const { return FData; }
  std::span<const uint8_t> View() const { return FData; }

private:
  std::vector<uint8_t> FData;
  size_t FPos = 0;
};

} // namespace orlavonix
