#include "protocol/Packets.h"

#include <cstdlib>
#include <cstring>

#include "base/Bytes.h"
#include "protocol/crc.h"

namespace orlavonix {

TPacketMemoryStream::~TPacketMemoryStream() {
  std::free(FMemory);
}

uint8_t* TPacketMemoryStream::Realloc(int32_t& NewCapacity) {
  if (NewCapacity > 0 && NewCapacity != FSize)
    NewCapacity = (NewCapacity + (MemoryDelta - 1)) & ~(MemoryDelta - 1);
  if (NewCapacity == FCapacity)
    return FMemory;
  if (NewCapacity == 0) {
    std::free(FMemory);
    return nullptr;
  }
  void* P = std::realloc(FMemory, static_cast<size_t>(NewCapacity));
  if (!P)
    throw EStreamError("SPacketMemoryStreamError");
  return static_cast<uint8_t*>(P);
}

void TPacketMemoryStream::SetCapacity(int32_t NewCapacity) {
  uint8_t* P = Realloc(NewCapacity);
  if (NewCapacity > 0 && !P)
    throw EStreamError("Result=nil");
  FMemory = P;
  FCapacity = NewCapacity;
}

void TPacketMemoryStream::SetSize(int32_t NewSize) {
  if (NewSize < 0)
    NewSize = 0;
  SetCapacity(NewSize);
  FSize = NewSize;
  if (FPosition > NewSize)
    FPosition = NewSize;
}

void TPacketMemoryStream::Clear() {
  SetCapacity(0);
  FSize = 0;
  FPosition = 0;
}

int32_t TPacketMemoryStream::Read(void* Buffer, int32_t Count) {
  if (FPosition < 0 || Count <= 0)
    return 0;
  int32_t N = FSize - FPosition;
  if (N <= 0)
    return 0;
  if (N > Count)
    N = Count;
  std::memcpy(Buffer, FMemory + FPosition, static_cast<size_t>(N));
  FPosition += N;
  return N;
}

int32_t TPacketMemoryStream::Write(const void* Buffer, int32_t Count) {
  if (FPosition < 0 || Count <= 0)
    return 0;
  int64_t End = int64_t(FPosition) + Count;
  if (End > INT32_MAX)
    throw EStreamError("SPacketMemoryStreamError");
  if (End > FSize) {
    if (End > FCapacity)
      SetCapacity(static_cast<int32_t>(End));
    FSize = static_cast<int32_t>(End);
  }
  std::memcpy(FMemory + FPosition, Buffer, static_cast<size_t>(Count));
  FPosition = static_cast<int32_t>(End);
  return Count;
}

int32_t TPacketMemoryStream::Seek(int32_t Offset, TSeekOrigin Origin) {
  switch (Origin) {
  case TSeekOrigin::soBeginning:
    FPosition = Offset;
    break;
  case TSeekOrigin::soCurrent:
    FPosition += Offset;
    break;
  case TSeekOrigin::soEnd:
    FPosition = FSize + Offset;
    break;
  }
  return FPosition;
}

void TPacketMemoryStream::ReadBuffer(void* Buffer, int32_t Count) {
  if (Count != 0 && Read(Buffer, Count) != Count)
    throw EStreamError("Stream read error");
}

void TPacketMemoryStream::WriteBuffer(const void* Buffer, int32_t Count) {
  if (Count != 0 && Write(Buffer, Count) != Count)
    throw EStreamError("Stream write error");
}

TPacket::TPacket(const void* Data, int32_t Length) {
  WriteBuffer(Data, Length);
  SetPosition(0);
}

bool TPacket::IsClass(uint16_t Magic, int32_t HeaderSize) const {
  return Size() >= HeaderSize && GetLE<uint16_t>(Memory()) == Magic;
}

bool TPacket::HasClass() const {
  return IsCommand() || IsAck() || IsClientVoice() || IsServerVoice() || IsMaintenance();
}

uint32_t TPacket::GetPlayerId() const {
  if (!HasClass())
    throw EPacket("Invalid Packet");
  return GetLE<uint32_t>(Memory() + 8);
}

uint32_t TPacket::GetConnectionId() const {
  if (!HasClass())
    throw EPacket("Invalid Packet");
  return GetLE<uint32_t>(Memory() + 4);
}

int TPacket::CrcOffset() const {
  if (IsCommand())
    return 20;
  if (IsMaintenance())
    return 16;
  if (!HasClass())
    throw EPacket("Invalid Packet");
  return -1;
}

void TPacket::SetCrc() {
  int At = CrcOffset();
  if (At < 0)
    return;
  PutLE<uint32_t>(Memory() + At, 0);
  PutLE<uint32_t>(Memory() + At, Crc32(Memory(), static_cast<size_t>(Size())));
}

bool TPacket::CheckCrc() {
  int At = CrcOffset();
  if (At < 0)
    return true;
  uint32_t Saved = GetLE<uint32_t>(Memory() + At);
  PutLE<uint32_t>(Memory() + At, 0);
  uint32_t Computed = Crc32(Memory(), static_cast<size_t>(Size()));
  PutLE<uint32_t>(Memory() + At, Saved);
  return Saved == Computed;
}

bool TPacket::IsValid() {
  if (!HasClass())
    return false;
  return CheckCrc();
}

void TPacket::SetPeer(std::string Host, uint16_t Port, std::string Name) {
  PeerHost = std::move(Host);
  PeerPort = Port;
  ConnectionName = std::move(Name);
}

void TPacket::Assign(const TPacket& Source) {
  if (&Source == this)
    return;
  SetSize(Source.Size());
  if (Source.Size() > 0)
    std::memcpy(Memory(), Source.Memory(), static_cast<size_t>(Source.Size()));
  PeerHost = Source.PeerHost;
  PeerPort = Source.PeerPort;
  ConnectionName = Source.ConnectionName;
  SetPosition(0);
}

void TPacket::WritePChar(const char* Text) {
  if (Text)
    WriteBuffer(Text, static_cast<int32_t>(std::strlen(Text)));
  const uint8_t Zero = 0;
  WriteBuffer(&Zero, 1);
}

void TPacket::WritePChar(std::string_view Text) {
  WriteBuffer(Text.data(), static_cast<int32_t>(Text.size()));
  const uint8_t Zero = 0;
  WriteBuffer(&Zero, 1);
}

} // namespace orlavonix
