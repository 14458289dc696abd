#include "cli/EventJson.h"

#include <cstring>

#include "base/Bytes.h"
#include "cli/JsonLine.h"
#include "protocol/ClientEvents.h"

namespace orlavonix {

namespace {
template <size_t N> std::string_view Text(const char (&Field)[N]) {
  return std::string_view(Field, strnlen(Field, N));
}

void AddChannel(TJsonLine& J, const std::string& P, const TChannelInfo& C) {
  J.Add(P + "id", C.Id)
      .Add(P + "flags", C.Flags)
      .Add(P + "codec", C.Codec)
      .Add(P + "parentId", C.ParentId)
      .Add(P + "order", C.Order)
      .Add(P + "maxUsers", C.MaxUsers)
      .Add(P + "name", Text(C.Name))
      .Add(P + "topic", Text(C.Topic))
      .Add(P + "description", Text(C.Description));
}

// The fields a channel switch and a move by someone share.
template <typename T> TJsonLine& AddMove(TJsonLine& J, const T& R) {
  return J.Add("playerId", R.PlayerId)
      .Add("nick", Text(R.Nick))
      .Add("oldChannelId", R.OldChannelId)
      .Add("oldChannelName", Text(R.OldChannelName))
      .Add("newChannelId", R.NewChannelId)
      .Add("newChannelName", Text(R.NewChannelName))
      .Add("channelPrivileges", R.ChannelPrivileges);
}

std::string Hex(const uint8_t* P, size_t N) {
  static const char* Digits = "0123456789abcdef";
  std::string S;
  S.reserve(N * 2);
  for (size_t I = 0; I < N; ++I) {
    S += Digits[P[I] >> 4];
    S += Digits[P[I] & 15];
  }
  return S;
}

// Copies the record when it is long enough for T.
template <typename T> bool Get(const void* Data, size_t Size, T& Out) {
  if (Size < sizeof(T))
    return false;
  std::memcpy(&Out, Data, sizeof(T));
  return true;
}
} // namespace

const char* ClientEventName(int32_t Kind) {
  switch (Kind) {
  case cb_Error:
    return "cb_Error";
  case cb_close:
    return "cb_close";
  case cb_connecting:
    return "cb_connecting";
  case cb_NewChannel:
    return "cb_NewChannel";
  case cb_DeleteChannel:
    return "cb_DeleteChannel";
  case cb_NewPlayer:
    return "cb_NewPlayer";
  case cb_DeletePlayer:
    return "cb_DeletePlayer";
  case cb_PlayerSwitchChannel:
    return "cb_PlayerSwitchChannel";
  case cb_ChannelPasswordChanged:
    return "cb_ChannelPasswordChanged";
  case cb_initDone:
    return "cb_initDone";
  case cb_ChannelChanged:
    return "cb_ChannelChanged";
  case cb_RegisterOk:
    return "cb_RegisterOk";
  case cb_PlayerFlagsChanged:
    return "cb_PlayerFlagsChanged";
  case cb_ChannelPrivilegeChanged:
    return "cb_ChannelPrivilegeChanged";
  case cb_PlayerPrivilegeChanged:
    return "cb_PlayerPrivilegeChanged";
  case cb_TextMessage:
    return "cb_TextMessage";
  case cb_SpeakStartStop:
    return "cb_SpeakStartStop";
  case cb_ConnectionInfo:
    return "cb_ConnectionInfo";
  case cb_ServerInfo:
    return "cb_ServerInfo";
  case cb_MuteReply:
    return "cb_MuteReply";
  case cb_ServerPropertiesChanged:
    return "cb_ServerPropertiesChanged";
  case cb_BanList:
    return "cb_BanList";
  case cb_PlayerMovedToChannel:
    return "cb_PlayerMovedToChannel";
  case cb_SendPacket:
    return "cb_SendPacket";
  case cb_Idle:
    return "cb_Idle";
  default:
    return "unknown";
  }
}

std::string ClientEventToJson(const void* Data, size_t Size) {
  TJsonLine J;
  if (Size < 4)
    return J.Add("kind", -1).Add("error", "record too short").Str();
  int32_t Kind = GetLE<int32_t>(Data);
  J.Add("kind", Kind).Add("name", ClientEventName(Kind));
  bool Ok = true;
  switch (Kind) {
  case cb_Error: {
    TcbError R;
    if ((Ok = Get(Data, Size, R)))
      J.Add("errorCode", R.ErrorCode)
          .Add("requestType", R.RequestType)
          .Add("value1", R.Value1)
          .Add("value2", R.Value2);
    break;
  }
  case cb_close: {
    TcbClose R;
    if ((Ok = Get(Data, Size, R)))
      J.Add("kickerId", R.KickerId)
          .Add("kickerNick", Text(R.KickerNick))
          .Add("reason", R.Reason)
          .Add("reasonText", Text(R.ReasonText));
    break;
  }
  case cb_connecting: {
    TcbConnecting R;
    if ((Ok = Get(Data, Size, R)))
      J.Add("serverName", Text(R.ServerName)).Add("welcomeMessage", Text(R.WelcomeMessage));
    break;
  }
  case cb_NewChannel: {
    TcbNewChannel R;
    if ((Ok = Get(Data, Size, R)))
      AddChannel(J, "channel.", R.Channel);
    break;
  }
  case cb_DeleteChannel: {
    TcbDeleteChannel R;
    if ((Ok = Get(Data, Size, R)))
      J.Add("channelId", R.ChannelId)
          .Add("actorId", R.ActorId)
          .Add("channelName", Text(R.ChannelName))
          .Add("actorNick", Text(R.ActorNick));
    break;
  }
  case cb_NewPlayer: {
    TcbNewPlayer R;
    if ((Ok = Get(Data, Size, R)))
      J.Add("playerId", R.PlayerId)
          .Add("channelId", R.ChannelId)
          .Add("channelPrivileges", R.ChannelPrivileges)
          .Add("playerPrivileges", R.PlayerPrivileges)
          .Add("flags", R.Flags)
          .Add("nick", Text(R.Nick))
          .Add("voiceRequest", Text(R.VoiceRequest))
          .Add("alreadyPresent", R.AlreadyPresent);
    break;
  }
  case cb_DeletePlayer: {
    TcbDeletePlayer R;
    if ((Ok = Get(Data, Size, R)))
      J.Add("playerId", R.PlayerId)
          .Add("actorId", R.ActorId)
          .Add("reason", R.Reason)
          .Add("reasonText", Text(R.ReasonText))
          .Add("nick", Text(R.Nick))
          .Add("actorNick", Text(R.ActorNick))
          .Add("registered", R.Registered);
    break;
  }
  case cb_PlayerSwitchChannel: {
    TcbPlayerSwitchChannel R;
    if ((Ok = Get(Data, Size, R)))
      AddMove(J, R).Add("kicked", R.Kicked).Add("reasonText", Text(R.ReasonText));
    break;
  }
  case cb_ChannelPasswordChanged: {
    TcbChannelPasswordChanged R;
    if ((Ok = Get(Data, Size, R)))
      J.Add("channelId", R.ChannelId).Add("channelName", Text(R.ChannelName));
    break;
  }
  case cb_initDone: {
    TcbInitDone R;
    if ((Ok = Get(Data, Size, R)))
      J.Add("bannerUrl", Text(R.BannerUrl)).Add("bannerLinkUrl", Text(R.BannerLinkUrl));
    break;
  }
  case cb_ChannelChanged: {
    TcbChannelChanged R;
    if ((Ok = Get(Data, Size, R))) {
      AddChannel(J, "before.", R.Before);
      AddChannel(J, "after.", R.After);
    }
    break;
  }
  case cb_PlayerFlagsChanged: {
    TcbPlayerFlagsChanged R;
    if ((Ok = Get(Data, Size, R)))
      J.Add("playerId", R.PlayerId)
          .Add("nick", Text(R.Nick))
          .Add("oldFlags", R.OldFlags)
          .Add("newFlags", R.NewFlags)
          .Add("requestsVoice", R.RequestsVoice)
          .Add("voiceRequest", Text(R.VoiceRequest));
    break;
  }
  case cb_ChannelPrivilegeChanged:
  case cb_PlayerPrivilegeChanged: {
    TcbPrivilegeChanged R;
    if ((Ok = Get(Data, Size, R)))
      J.Add("playerId", R.PlayerId)
          .Add("nick", Text(R.Nick))
          .Add("actorId", R.ActorId)
          .Add("actorNick", Text(R.ActorNick))
          .Add("grantRevoke", R.GrantRevoke)
          .Add("privilege", R.Privilege);
    break;
  }
  case cb_TextMessage: {
    TcbTextMessage R;
    if ((Ok = Get(Data, Size, R)))
      J.Add("colour", R.Colour)
          .Add("messageKind", R.MessageKind)
          .Add("sender", Text(R.Sender))
          .Add("text", Text(R.Text));
    break;
  }
  case cb_SpeakStartStop: {
    TcbSpeakStartStop R;
    if ((Ok = Get(Data, Size, R)))
      J.Add("playerId", R.PlayerId).Add("talking", R.Talking);
    break;
  }
  case cb_ConnectionInfo: {
    TcbConnectionInfo R;
    if ((Ok = Get(Data, Size, R))) {
      std::string Version = std::to_string(R.ClientVersion[0]);
      for (int I = 1; I < 4; ++I)
        Version += "." + std::to_string(R.ClientVersion[I]);
      J.Add("playerId", R.PlayerId)
          .Add("connectedSeconds", R.ConnectedSeconds)
          .Add("packetLoss", R.PacketLoss)
          .Add("ping", R.Ping)
          .Add("idleSeconds", R.IdleSeconds)
          .Add("clientVersion", Version)
          .Add("packetsSent", R.PacketsSent)
          .Add("bytesSent", R.BytesSent)
          .Add("packetsReceived", R.PacketsReceived)
          .Add("bytesReceived", R.BytesReceived)
          .Add("clientAddress", Text(R.ClientAddress))
          .Add("clientPort", R.ClientPort)
          .Add("loginName", Text(R.LoginName))
          .Add("channelId", R.ChannelId)
          .Add("channelPrivileges", R.ChannelPrivileges)
          .Add("playerPrivileges", R.PlayerPrivileges)
          .Add("nick", Text(R.Nick))
          .Add("channelName", Text(R.ChannelName))
          .Add("clientPlatform", Text(R.ClientPlatform));
    }
    break;
  }
  case cb_ServerInfo: {
    TcbServerInfo R;
    if ((Ok = Get(Data, Size, R)))
      J.Add("info", Hex(R.Info, sizeof R.Info));
    break;
  }
  case cb_MuteReply: {
    TcbMuteReply R;
    if ((Ok = Get(Data, Size, R)))
      J.Add("playerId", R.PlayerId).Add("muted", R.Muted);
    break;
  }
  case cb_BanList: {
    TcbBanList R;
    if ((Ok = Get(Data, Size, R)))
      J.Add("count", R.Count)
          .Add("entries", Hex(static_cast<const uint8_t*>(Data) + sizeof R, Size - sizeof R));
    break;
  }
  case cb_PlayerMovedToChannel: {
    TcbPlayerMovedToChannel R;
    if ((Ok = Get(Data, Size, R)))
      AddMove(J, R).Add("actorNick", Text(R.ActorNick)).Add("actorId", R.ActorId);
    break;
  }
  case cb_SendPacket: {
    TcbSendPacket R;
    if ((Ok = Get(Data, Size, R)))
      J.Add("size", R.Size)
          .Add("reliable", R.Reliable)
          .Add("data", Hex(R.Data, std::min<size_t>(R.Size, sizeof R.Data)));
    break;
  }
  default:
    break; // kinds with no fields
  }
  if (!Ok)
    J.Add("error", "record too short");
  return J.Str();
}

} // namespace orlavonix
