// Requests to the server: one command packet each, fire and forget.
#include <string>

#include "base/Bytes.h"
#include "protocol/ClientProtocol.h"
#include "protocol/logdebug.h"

namespace orlavonix {

TByteWriter TClient::RequestFrame(int16_t Type) const {
  TByteWriter W;
  W.U16(PacketClassCommand).I16(Type).U32(0).U32(FPlayerId).U32(0).U16(0).U8(0).U8(0).U32(0);
  return W;
}

void TClient::SendRequest(TByteWriter& W) {
  std::lock_guard<std::mutex> G(FBufferLock);
  if (!FBuffer || FBuffer->Closing())
    return;
  try {
    FBuffer->SendPacket(std::make_unique<TPacket>(W.Data().data(), static_cast<int32_t>(W.Size())));
  } catch (const std::exception& E) {
    // The caller has no way to act on it; the request is lost like a packet.
    LogException("TClient.SendRequest", E);
  }
}

void TClient::ChannelCreate(uint16_t Flags, uint16_t Codec, uint16_t MaxUsers, uint16_t Order,
                            int32_t ParentId, std::string_view Name, std::string_view Topic,
                            std::string_view Password, std::string_view Description) {
  TByteWriter W = RequestFrame(201);
  W.U32(0).U16(Flags).U16(Codec).I32(ParentId).U16(Order).U16(MaxUsers);
  W.Terminated(Name, 31).Terminated(Topic, 257).Terminated(Description, 4097);
  W.Terminated(Password, 31);
  SendRequest(W);
}

void TClient::ChannelSetPassword(uint32_t ChannelId, std::string_view Password) {
  TByteWriter W = RequestFrame(203);
  W.U32(ChannelId).ShortString(Password, 29);
  SendRequest(W);
}

void TClient::ChannelSetFlagsCodec(uint32_t ChannelId, uint16_t Flags, uint16_t Codec) {
  TByteWriter W = RequestFrame(205);
  W.U32(ChannelId).U16(Flags).U16(Codec);
  SendRequest(W);
}

void TClient::ChannelSetName(uint32_t ChannelId, std::string_view Name) {
  TByteWriter W = RequestFrame(206);
  W.U32(ChannelId).Terminated(Name, 31);
  SendRequest(W);
}

void TClient::ChannelSetTopic(uint32_t ChannelId, std::string_view Topic) {
  TByteWriter W = RequestFrame(207);
  W.U32(ChannelId).Terminated(Topic, 257);
  SendRequest(W);
}

void TClient::ChannelSetDescription(uint32_t ChannelId, std::string_view Description) {
  TByteWriter W = RequestFrame(208);
  W.U32(ChannelId).Terminated(Description, 4097);
  SendRequest(W);
}

void TClient::ChannelDelete(uint32_t ChannelId) {
  TByteWriter W = RequestFrame(209);
  W.U32(ChannelId);
  SendRequest(W);
}

void TClient::ChannelSetMaxUsers(uint32_t ChannelId, uint16_t MaxUsers) {
  TByteWriter W = RequestFrame(210);
  W.U32(ChannelId).U16(MaxUsers);
  SendRequest(W);
}

void TClient::ChannelSetOrder(uint32_t ChannelId, uint16_t Order) {
  TByteWriter W = RequestFrame(212);
  W.U32(ChannelId).U16(Order);
  SendRequest(W);
}

void TClient::PlayerKickFromServer(uint32_t PlayerId, std::string_view Reason) {
  TByteWriter W = RequestFrame(301);
  W.U32(PlayerId).ShortString(Reason, 29);
  SendRequest(W);
}

void TClient::PlayerKickFromChannel(uint32_t PlayerId, std::string_view Reason) {
  TByteWriter W = RequestFrame(302);
  W.U32(PlayerId).ShortString(Reason, 29);
  SendRequest(W);
}

void TClient::PlayerSwitchChannel(uint32_t ChannelId, std::string_view Password) {
  TByteWriter W = RequestFrame(303);
  W.U32(ChannelId).ShortString(Password, 29);
  FChannels.SetPassword(ChannelId, Password.substr(0, 29));
  SendRequest(W);
}

void TClient::PlayerSetFlags(uint16_t Flags) {
  TByteWriter W = RequestFrame(304);
  W.U16(Flags);
  SendRequest(W);
}

void TClient::PlayerRequestVoice(std::string_view Reason) {
  TByteWriter W = RequestFrame(305);
  W.ShortString(Reason, 29);
  SendRequest(W);
}

void TClient::PlayerSetChannelPrivilege(uint32_t PlayerId, uint8_t GrantRevoke, uint8_t Privilege) {
  TByteWriter W = RequestFrame(306);
  W.U32(PlayerId).U8(GrantRevoke).U8(Privilege);
  SendRequest(W);
}

void TClient::PlayerSetPrivilege(uint32_t PlayerId, uint8_t GrantRevoke, uint8_t Privilege) {
  TByteWriter W = RequestFrame(307);
  W.U32(PlayerId).U8(GrantRevoke).U8(Privilege);
  SendRequest(W);
}

void TClient::PlayerRegister(std::string_view LoginName, std::string_view Password) {
  TByteWriter W = RequestFrame(308);
  W.ShortString(LoginName, 29).ShortString(Password, 29);
  SendRequest(W);
}

void TClient::PlayerAdminRegister(std::string_view LoginName, std::string_view Password,
                                  bool ServerAdmin) {
  TByteWriter W = RequestFrame(310);
  W.ShortString(LoginName, 29).ShortString(Password, 29).U8(ServerAdmin ? 1 : 0);
  SendRequest(W);
}

void TClient::PlayerMutePlayer(uint32_t PlayerId, bool Mute) {
  TByteWriter W = RequestFrame(320);
  W.U32(PlayerId).U8(Mute ? 1 : 0);
  SendRequest(W);
}

void TClient::BanIpAdd(uint16_t Minutes, std::string_view Address) {
  TByteWriter W = RequestFrame(324);
  W.U16(Minutes).Terminated(Address);
  SendRequest(W);
}

void TClient::PlayerBan(uint32_t PlayerId, uint16_t Minutes, std::string_view Reason) {
  TByteWriter W = RequestFrame(325);
  W.U32(PlayerId).U16(Minutes).ShortString(Reason, 29);
  SendRequest(W);
}

void TClient::BanIpDelete(std::string_view Address) {
  TByteWriter W = RequestFrame(326);
  W.Terminated(Address);
  SendRequest(W);
}

void TClient::PlayerMoveToChannel(uint32_t PlayerId, uint32_t ChannelId) {
  TByteWriter W = RequestFrame(330);
  W.U32(PlayerId).U32(ChannelId);
  SendRequest(W);
}

void TClient::SetDownloadLimit(int32_t Limit) {
  TByteWriter W = RequestFrame(340);
  W.I32(Limit);
  SendRequest(W);
}

void TClient::InfoRequestPlayerConnectionInfo(uint32_t PlayerId) {
  TByteWriter W = RequestFrame(400);
  W.U32(PlayerId);
  SendRequest(W);
}

void TClient::InfoRequestServerInfo() {
  TByteWriter W = RequestFrame(405);
  SendRequest(W);
}

void TClient::InfoRequestBanIpList() {
  TByteWriter W = RequestFrame(410);
  SendRequest(W);
}

void TClient::SendTextMessage(std::string_view Text, uint32_t Colour, uint8_t MessageKind,
                              uint32_t Target) {
  {
    std::lock_guard<std::mutex> G(FBufferLock);
    if (!FBuffer || FBuffer->Closing())
      return;
  }
  TByteWriter W = RequestFrame(430);
  W.U32(Colour).U8(MessageKind).U32(Target).Terminated(Text);
  SendRequest(W);
  std::string Echo;
  bool Copy = false;
  if (MessageKind == 2) {
    TPlayerRecord R;
    if (FPlayers.Get(Target, R)) {
      Echo = PlayerNick(R);
      Copy = true;
    }
  } else if (MessageKind == 1 && static_cast<int32_t>(Target) != FChannelId) {
    TChannelRecord C;
    if (FChannels.Get(Target, C)) {
      Echo = ChannelName(C.Info).substr(0, 29);
      Copy = true;
    }
  }
  if (!Copy)
    return;
  TcbTextMessage E{};
  E.Kind = cb_TextMessage;
  E.Colour = Colour;
  E.MessageKind = mkLocalCopy;
  SetField(E.Sender, Echo);
  SetField(E.Text, Text);
  Raise(E);
}

} // namespace orlavonix
