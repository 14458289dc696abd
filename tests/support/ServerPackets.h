// Hand-built packets as a voice server sends them, for tests and fuzzers.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "base/Bytes.h"
#include "protocol/Packets.h"

namespace orlavonix::testing {

using TBytes = std::vector<uint8_t>;

// A copy of a value, so that checks never bind a reference to a packed field.
template <typename T> T V(T Value) {
  return Value;
}

inline TPacketPtr ToPacket(const TBytes& B, bool WithCrc = true) {
  auto P = std::make_unique<TPacket>(B.data(), static_cast<int32_t>(B.size()));
  if (WithCrc && (P->IsCommand() || P->IsMaintenance()))
    P->SetCrc();
  return P;
}

inline TBytes CommandBytes(int16_t Type, uint32_t Player, uint32_t Connection, uint32_t Sequence,
                           const TBytes& Payload = {}, uint16_t ResendCount = 0,
                           uint8_t FragmentsFollowing = 0) {
  TByteWriter W;
  W.U16(PacketClassCommand).I16(Type).U32(Connection).U32(Player).U32(Sequence);
  W.U16(ResendCount).U8(FragmentsFollowing).U8(0).U32(0);
  W.Bytes(Payload.data(), Payload.size());
  return W.Data();
}

inline TPacketPtr Command(int16_t Type, uint32_t Player, uint32_t Connection, uint32_t Sequence,
                          const TBytes& Payload = {}, uint16_t ResendCount = 0,
                          uint8_t FragmentsFollowing = 0) {
  return ToPacket(
      CommandBytes(Type, Player, Connection, Sequence, Payload, ResendCount, FragmentsFollowing));
}

inline TPacketPtr Ack(uint32_t Player, uint32_t Connection, uint32_t Sequence,
                      uint16_t ResendCount = 0) {
  TByteWriter W;
  W.U16(PacketClassAck).U16(ResendCount).U32(Connection).U32(Player).U32(Sequence);
  return ToPacket(W.Data());
}

inline TPacketPtr ServerVoice(uint32_t Player, uint32_t Connection, uint16_t Sequence,
                              uint32_t Sender, uint8_t Codec = 0, uint8_t Flags = 0,
                              uint16_t SpeakNr = 0, uint16_t PacketNr = 0,
                              const TBytes& Payload = {}) {
  TByteWriter W;
  W.U16(PacketClassServerVoice).U8(Flags).U8(Codec).U32(Connection).U32(Player);
  W.U16(Sequence).U16(SpeakNr).U32(Sender).U16(PacketNr);
  W.Bytes(Payload.data(), Payload.size());
  return ToPacket(W.Data());
}

inline TPacketPtr Maintenance(uint16_t Type, uint32_t Player, uint32_t Connection,
                              uint32_t Sequence, const TBytes& Payload = {}) {
  TByteWriter W;
  W.U16(PacketClassMaintenance).U16(Type).U32(Connection).U32(Player).U32(Sequence).U32(0);
  W.Bytes(Payload.data(), Payload.size());
  return ToPacket(W.Data());
}

inline TBytes U32Bytes(uint32_t V) {
  TByteWriter W;
  W.U32(V);
  return W.Data();
}

// The login reply; Size other than 436 makes a malformed one.
struct TLoginReplySpec {
  std::string ServerName = "Test Server";
  std::string Platform = "Linux";
  uint16_t Version[4] = {2, 0, 20, 1};
  int32_t Result = 1;
  uint32_t Codecs = 0x1FEF;
  uint32_t Value2 = 0;
  uint16_t ServerType = 0x5; // clan, freeware
  uint8_t Permissions[66] = {};
  uint32_t MaxUsers = 32;
  uint32_t ConnectionId = 77;
  uint32_t PlayerId = 5;
  std::string Message = "Welcome";
  size_t Size = 436;
};

inline TBytes LoginReplyBytes(const TLoginReplySpec& S) {
  TByteWriter W;
  W.U16(PacketClassMaintenance).U16(mtLoginStep2).U32(0).U32(0).U32(1).U32(0);
  W.ShortString(S.ServerName, 29).ShortString(S.Platform, 29);
  for (uint16_t V : S.Version)
    W.U16(V);
  W.I32(S.Result).U32(S.Codecs).U32(S.Value2).U16(S.ServerType);
  W.Bytes(S.Permissions, sizeof S.Permissions);
  W.U32(S.MaxUsers).U32(S.ConnectionId).U32(S.PlayerId);
  W.ShortString(S.Message, 255);
  TBytes B = W.Data();
  B.resize(S.Size, 0);
  TPacket P(B.data(), static_cast<int32_t>(B.size()));
  if (P.IsMaintenance())
    P.SetCrc();
  return TBytes(P.Memory(), P.Memory() + P.Size());
}

} // namespace orlavonix::testing
