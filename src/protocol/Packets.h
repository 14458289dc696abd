#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "base/Exceptions.h"

namespace orlavonix {

ORLAVONIX_DECLARE_EXCEPTION(EPacket, Exception);
// The stream's own failure when memory cannot be had.
ORLAVONIX_DECLARE_EXCEPTION(EStreamError, Exception);

constexpr uint16_t PacketClassCommand = 0xBEF0;
constexpr uint16_t PacketClassAck = 0xBEF1;
constexpr uint16_t PacketClassClientVoice = 0xBEF2;
constexpr uint16_t PacketClassServerVoice = 0xBEF3;
constexpr uint16_t PacketClassMaintenance = 0xBEF4;

constexpr int CommandHeaderSize = 24;
constexpr int AckHeaderSize = 16;
constexpr int ClientVoiceHeaderSize = 16;
constexpr int ServerVoiceHeaderSize = 22;
constexpr int MaintenanceHeaderSize = 20;

// Maintenance packet types.
constexpr uint16_t mtPing = 1;
constexpr uint16_t mtPong = 2;
constexpr uint16_t mtLoginStep1 = 3;
constexpr uint16_t mtLoginStep2 = 4;

#pragma pack(push, 1)
struct TCommandHeader {
  uint16_t Magic;
  int16_t PacketType;
  uint32_t ConnectionId;
  uint32_t PlayerId;
  uint32_t Sequence;
  uint16_t ResendCount;
  uint8_t FragmentsFollowing;
  uint8_t Reserved;
  uint32_t Crc;
};
struct TAckHeader {
  uint16_t Magic;
  uint16_t ResendCount;
  uint32_t ConnectionId;
  uint32_t PlayerId;
  uint32_t Sequence;
};
struct TClientVoiceHeader {
  uint16_t Magic;
  uint8_t Flags;
  uint8_t Codec;
  uint32_t ConnectionId;
  uint32_t PlayerId;
  uint16_t Sequence;
  uint16_t SpeakNr;
};
struct TServerVoiceHeader {
  uint16_t Magic;
  uint8_t Flags;
  uint8_t Codec;
  uint32_t ConnectionId;
  uint32_t PlayerId;
  uint16_t Sequence;
  uint16_t SpeakNr;
  uint32_t SenderId;
  uint16_t PacketNr;
};
struct TMaintenanceHeader {
  uint16_t Magic;
  uint16_t PacketType;
  uint32_t ConnectionId;
  uint32_t PlayerId;
  uint32_t Sequence;
  uint32_t Crc;
};
#pragma pack(pop)

static_assert(sizeof(TCommandHeader) == CommandHeaderSize);
static_assert(offsetof(TCommandHeader, Sequence) == 12);
static_assert(offsetof(TCommandHeader, FragmentsFollowing) == 18);
static_assert(offsetof(TCommandHeader, Crc) == 20);
static_assert(sizeof(TAckHeader) == AckHeaderSize);
static_assert(sizeof(TClientVoiceHeader) == ClientVoiceHeaderSize);
static_assert(offsetof(TClientVoiceHeader, SpeakNr) == 14);
static_assert(sizeof(TServerVoiceHeader) == ServerVoiceHeaderSize);
static_assert(offsetof(TServerVoiceHeader, SenderId) == 16);
static_assert(offsetof(TServerVoiceHeader, PacketNr) == 20);
static_assert(sizeof(TMaintenanceHeader) == MaintenanceHeaderSize);
static_assert(offsetof(TMaintenanceHeader, Crc) == 16);

enum class TSeekOrigin { soBeginning, soCurrent, soEnd };

// A growable memory stream: capacity grows in steps of 1024 bytes.
class TPacketMemoryStream {
public:
  static constexpr int32_t MemoryDelta = 1024;

  TPacketMemoryStream() = default;
  virtual ~TPacketMemoryStream();
  TPacketMemoryStream(const TPacketMemoryStream&) = delete;
  TPacketMemoryStream& operator=(const TPacketMemoryStream&) = delete;

  uint8_t* Memory() const { return FMemory; }
  int32_t Size() const { return FSize; }
  int32_t Position() const { return FPosition; }
  int32_t Capacity() const { return FCapacity; }

  virtual int32_t GetSize() const { return FSize; }
  virtual void SetSize(int32_t NewSize);
  virtual int32_t Read(void* Buffer, int32_t Count);
  virtual int32_t Write(const void* Buffer, int32_t Count);
  virtual int32_t Seek(int32_t Offset, TSeekOrigin Origin);
  void SetPosition(int32_t Pos) { Seek(Pos, TSeekOrigin::soBeginning); }

  // Reads exactly Count bytes or raises EStreamError.
  void ReadBuffer(void* Buffer, int32_t Count);
  void WriteBuffer(const void* Buffer, int32_t Count);
  void Clear();

protected:
  // Returns the memory for the wanted capacity (rounded in place).
  virtual uint8_t* Realloc(int32_t& NewCapacity);
  void SetCapacity(int32_t NewCapacity);

private:
  uint8_t* FMemory = nullptr;
  int32_t FSize = 0;
  int32_t FPosition = 0;
  int32_t FCapacity = 0;
};

// One packet, header first, exactly as on the wire.
class TPacket : public TPacketMemoryStream {
public:
  TPacket() = default;
  TPacket(const void* Data, int32_t Length);

  std::string PeerHost;
  uint16_t PeerPort = 0;
  std::string ConnectionName;

  bool IsCommand() const { return IsClass(PacketClassCommand, CommandHeaderSize); }
  bool IsAck() const { return IsClass(PacketClassAck, AckHeaderSize); }
  bool IsClientVoice() const { return IsClass(PacketClassClientVoice, ClientVoiceHeaderSize); }
  bool IsServerVoice() const { return IsClass(PacketClassServerVoice, ServerVoiceHeaderSize); }
  bool IsMaintenance() const { return IsClass(PacketClassMaintenance, MaintenanceHeaderSize); }
  bool HasClass() const;

  TCommandHeader* CommandHeader() const { return reinterpret_cast<TCommandHeader*>(Memory()); }
  TAckHeader* AckHeader() const { return reinterpret_cast<TAckHeader*>(Memory()); }
  TClientVoiceHeader* ClientVoiceHeader() const {
    return reinterpret_cast<TClientVoiceHeader*>(Memory());
  }
  TServerVoiceHeader* ServerVoiceHeader() const {
    return reinterpret_cast<TServerVoiceHeader*>(Memory());
  }
  TMaintenanceHeader* MaintenanceHeader() const {
    return reinterpret_cast<TMaintenanceHeader*>(Memory());
  }

  uint32_t GetPlayerId() const;
  uint32_t GetConnectionId() const;

  void SetCrc();
  bool CheckCrc();
  bool IsValid();

  void SetPeer(std::string Host, uint16_t Port, std::string Name);
  void Assign(const TPacket& Source);
  // A terminated text; nullptr appends just the zero byte.
  void WritePChar(const char* Text);
  void WritePChar(std::string_view Text);

private:
  bool IsClass(uint16_t Magic, int32_t HeaderSize) const;
  // Offset of the checksum field, or -1 for classes without one.
  int CrcOffset() const;
};

using TPacketPtr = std::unique_ptr<TPacket>;

} // namespace orlavonix
