// What the server tells the client: the command dispatcher and the voice
// handler, run by the event thread.
#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include "base/Bytes.h"
#include "base/Format.h"
#include "protocol/ClientProtocol.h"
#include "protocol/ClientProtocolTypes.h"
#include "protocol/logdebug.h"

namespace orlavonix {

namespace {
constexpr const char* TheServer = "The Server";

struct THandler {
  int16_t Type;
  int32_t MinSize;
  const char* Name;
};

constexpr THandler Handlers[] = {
    {6, 28, "DoLoginStep4"},
    {7, 468, "DoLoginStep5"},
    {8, 280, "DoLoginStep6"},
    {100, 68, "DoNotifyPlayerEnteredScope"},
    {101, 64, "DoNotifyPlayerLeftScope"},
    {102, 68, "DoNotifyPlayerKickedFromChannel"},
    {103, 38, "DoNotifyPlayerSwitchedChannel"},
    {104, 30, "DoNotifyPlayerFlagsChanged"},
    {105, 58, "DoNotifyPlayerRequestedVoice"},
    {106, 34, "DoNotifyPlayerChannelPrivilegeChanged"},
    {107, 34, "DoNotifyPlayerPrivilegesChanged"},
    {108, 468, "DoNotifyPlayersInSwitchedChannel"},
    {109, 42, "DoNotifyPlayerMovedToChannel"},
    {110, 44, "DoNotifyChannelCreated"},
    {111, 32, "DoNotifyChannelNameChanged"},
    {112, 32, "DoNotifyChannelTopicChanged"},
    {113, 36, "DoNotifyChannelPropertiesChanged"},
    {114, 32, "DoNotifyChannelDescriptionChanged"},
    {115, 30, "DoNotifyChannelDestroyed"},
    {116, 34, "DoNotifyChannelMaxUsersChanged"},
    {117, 34, "DoNotifyChannelOrderChanged"},
    {130, 59, "DoNotifyTextMessage"},
    {140, 390, "DoNotifyServerPropertiesChanged"},
    {204, 28, "DoChannelPasswordChanged"},
    {311, 24, "DoPlayerAdminRegisterok"},
    {321, 29, "DoPlayerMutePlayerReply"},
    {404, 164, "DoInfoReplyPlayerConnectionInfo"},
    {406, 100, "DoInfoReplyServerInfo"},
    {411, 28, "DoInfoReplyBanIpList"},
};
constexpr THandler ErrorHandler{-1, 30, "DoErrorPacket"};

const THandler* HandlerOf(int16_t Type) {
  if (Type < 0)
    return &ErrorHandler;
  for (const THandler& H : Handlers)
    if (H.Type == Type)
      return &H;
  return nullptr;
}

std::string Context(const char* Handler) {
  return std::string("TClientEventThread.") + Handler;
}

uint32_t U32(const TPacket& P, size_t At) {
  return GetLE<uint32_t>(P.Memory() + At);
}
uint16_t U16(const TPacket& P, size_t At) {
  return GetLE<uint16_t>(P.Memory() + At);
}
uint8_t U8(const TPacket& P, size_t At) {
  return P.Memory()[At];
}
std::string Short29(const TPacket& P, size_t At) {
  return GetShortString(P.Memory() + At, 29);
}

// A terminated text from At, read within min(what the packet holds, Limit)
// bytes; without a terminator it ends at that bound. Cut to Limit - 1.
std::string BoundedText(const TPacket& P, size_t At, size_t Limit) {
  const size_t Size = static_cast<size_t>(P.Size());
  if (At >= Size)
    return std::string();
  const size_t Max = std::min(Size - At, Limit);
  const char* S = reinterpret_cast<const char*>(P.Memory() + At);
  const void* Z = std::memchr(S, 0, Max);
  size_t Len = Z ? static_cast<size_t>(static_cast<const char*>(Z) - S) : Max;
  return std::string(S, std::min(Len, Limit - 1));
}

std::string Cut29(std::string S) {
  if (S.size() > 29)
    S.resize(29);
  return S;
}
} // namespace

void TClient::HandleCommand(const TPacket& P) {
  if (!P.IsCommand())
    return;
  const int16_t Type = P.CommandHeader()->PacketType;
  const THandler* H = HandlerOf(Type);
  if (!H)
    return;
  if (P.Size() < H->MinSize) {
    LogError(Context(H->Name), "invalid packet size");
    return;
  }
  std::lock_guard<std::mutex> D(FDispatchLock);
  // Handlers that change the own channel reconfigure the encoders under the
  // sound lock; taking it first keeps the order sound, channels, players.
  std::lock_guard<std::recursive_mutex> S(FSoundLock);
  if (Type < 0) {
    DoErrorPacket(P);
    return;
  }
  switch (Type) {
  case 6:
    DoLoginStep4(P);
    break;
  case 7:
    DoLoginStep5(P, false);
    break;
  case 8:
    DoLoginStep6(P);
    break;
  case 100:
    DoNotifyPlayerEnteredScope(P);
    break;
  case 101:
    DoNotifyPlayerLeftScope(P);
    break;
  case 102:
    DoNotifyPlayerSwitched(P, true);
    break;
  case 103:
    DoNotifyPlayerSwitched(P, false);
    break;
  case 104:
    DoNotifyPlayerFlagsChanged(P);
    break;
  case 105:
    DoNotifyPlayerRequestedVoice(P);
    break;
  case 106:
    DoNotifyPrivilegeChanged(P, true);
    break;
  case 107:
    DoNotifyPrivilegeChanged(P, false);
    break;
  case 108:
    DoLoginStep5(P, true);
    break;
  case 109:
    DoNotifyPlayerMovedToChannel(P);
    break;
  case 110:
    DoNotifyChannelCreated(P);
    break;
  case 111:
    DoNotifyChannelTextChanged(P, 0);
    break;
  case 112:
    DoNotifyChannelTextChanged(P, 1);
    break;
  case 113:
    DoNotifyChannelPropertiesChanged(P);
    break;
  case 114:
    DoNotifyChannelTextChanged(P, 2);
    break;
  case 115:
    DoNotifyChannelDestroyed(P);
    break;
  case 116:
    DoNotifyChannelNumberChanged(P, true);
    break;
  case 117:
    DoNotifyChannelNumberChanged(P, false);
    break;
  case 130:
    DoNotifyTextMessage(P);
    break;
  case 140:
    DoNotifyServerPropertiesChanged(P);
    break;
  case 204:
    DoChannelPasswordChanged(P);
    break;
  case 311: {
    TcbKindOnly R{cb_RegisterOk};
    Raise(R);
    break;
  }
  case 321:
    DoPlayerMutePlayerReply(P);
    break;
  case 404:
    DoInfoReplyPlayerConnectionInfo(P);
    break;
  case 406:
    DoInfoReplyServerInfo(P);
    break;
  case 411:
    DoInfoReplyBanIpList(P);
    break;
  default:
    break;
  }
}

// ---------------------------------------------------------------------------
// Login lists

void TClient::DoLoginStep4(const TPacket& P) {
  if (State() != csConnecting)
    return;
  const uint32_t Count = U32(P, 24);
  const size_t Size = static_cast<size_t>(P.Size());
  std::lock_guard<std::recursive_mutex> CL(FChannels.Mutex());
  size_t Pos = 28;
  for (uint32_t I = 0; I < Count; ++I) {
    TChannelRecord Rec;
    size_t Used = 0;
    if (!ReadChannelRecord(P.Memory() + Pos, Size - Pos, Rec, Used)) {
      LogFmt(lkError, Context("DoLoginStep4"), "Size error in loginstep4, iteration %1", I);
      break;
    }
    Pos += Used;
    if (!FChannels.Add(Rec)) {
      LogError(Context("DoLoginStep4"), "too many channels");
      break;
    }
    TcbNewChannel E{};
    E.Kind = cb_NewChannel;
    E.Channel = Rec.Info;
    Raise(E);
  }
}

void TClient::DoLoginStep5(const TPacket& P, bool AlreadyPresent) {
  const char* Name = AlreadyPresent ? "DoNotifyPlayersInSwitchedChannel" : "DoLoginStep5";
  if (!AlreadyPresent && State() != csConnecting)
    return;
  const uint32_t Count = U32(P, 24);
  if (Count < 1 || Count > 10)
    return;
  std::lock_guard<std::recursive_mutex> S(FSoundLock);
  std::lock_guard<std::recursive_mutex> CL(FChannels.Mutex());
  std::lock_guard<std::recursive_mutex> PL(FPlayers.Mutex());
  for (uint32_t I = 0; I < Count; ++I) {
    TPlayerEntry E;
    std::memcpy(&E, P.Memory() + 28 + 44 * I, sizeof E);
    LogFmt(lkDebug, Context(Name), "loginstep5 finding Channel %1", E.ChannelId);
    const TChannelRecord* Ch = FChannels.Find(E.ChannelId);
    if (!Ch) {
      LogError(Context(Name), Format("error adding player %s(%u), channel id %u not found",
                                     GetShortString(E.Nick, 29), E.Id, E.ChannelId));
      continue;
    }
    TPlayerRecord R = PlayerFromEntry(E);
    if (!FPlayers.Add(R)) {
      LogError(Context(Name), "too many players");
      break;
    }
    if (!AlreadyPresent && E.Id == FPlayerId) {
      FChannelId = static_cast<int32_t>(E.ChannelId);
      FChannelParentId = Ch->Info.ParentId;
      FPlayerFlags = E.Flags;
      FChannelPrivileges = E.ChannelPrivileges;
      FPlayerPrivileges = E.PlayerPrivileges;
      LogDebug(Context(Name), "Setting Codec");
      SetTransmitCodec(Ch->Info.Codec);
    }
    TcbNewPlayer N{};
    N.Kind = cb_NewPlayer;
    N.PlayerId = E.Id;
    N.ChannelId = E.ChannelId;
    N.ChannelPrivileges = E.ChannelPrivileges;
    N.PlayerPrivileges = E.PlayerPrivileges;
    N.Flags = E.Flags;
    SetField(N.Nick, PlayerNick(R));
    N.AlreadyPresent = AlreadyPresent ? 1 : 0;
    Raise(N);
  }
  LogDebug(Context(Name), "loginstep5 player packet done");
}

void TClient::DoLoginStep6(const TPacket& P) {
  uint8_t Connecting = csConnecting;
  FState.compare_exchange_strong(Connecting, csConnected);
  const std::string Banner = GetShortString(P.Memory() + 24, 255);
  const std::string Link = BoundedText(P, 280, 257);
  {
    std::lock_guard<std::mutex> G(FInfoLock);
    FBannerUrl = Banner;
    FBannerLinkUrl = Link;
  }
  TcbInitDone R{};
  R.Kind = cb_initDone;
  SetField(R.BannerUrl, Banner);
  SetField(R.BannerLinkUrl, Link);
  Raise(R);
}

// ---------------------------------------------------------------------------
// Players

void TClient::DoNotifyPlayerEnteredScope(const TPacket& P) {
  TPlayerEntry E;
  std::memcpy(&E, P.Memory() + 24, sizeof E);
  TPlayerRecord R = PlayerFromEntry(E);
  if (!FPlayers.Add(R)) {
    LogError(Context("DoNotifyPlayerEnteredScope"), "too many players");
    return;
  }
  TcbNewPlayer N{};
  N.Kind = cb_NewPlayer;
  N.PlayerId = E.Id;
  N.ChannelId = E.ChannelId;
  N.ChannelPrivileges = E.ChannelPrivileges;
  N.PlayerPrivileges = E.PlayerPrivileges;
  N.Flags = E.Flags;
  SetField(N.Nick, PlayerNick(R));
  Raise(N);
}

namespace {
void FillDeleted(TcbDeletePlayer& D, const TPlayerRecord& R, uint32_t Actor, uint16_t Reason,
                 const std::string& Text, const std::string& ActorNick) {
  D.Kind = cb_DeletePlayer;
  D.PlayerId = R.Id;
  D.ActorId = Actor;
  D.Reason = Reason;
  SetField(D.ReasonText, Cut29(Text));
  SetField(D.Nick, PlayerNick(R));
  if (Reason == lrKickedFromServer || Reason == lrKickedFromChannel)
    SetField(D.ActorNick, ActorNick);
  D.Registered = HasFlag(R.PlayerPrivileges, ppRegistered) ? 1 : 0;
}
} // namespace

void TClient::DoNotifyPlayerLeftScope(const TPacket& P) {
  const uint32_t Id = U32(P, 24);
  const uint16_t Reason = U16(P, 28);
  const uint32_t Actor = U32(P, 30);
  const std::string Text = Short29(P, 34);
  if (Id == FPlayerId) {
    std::this_thread::sleep_for(std::chrono::milliseconds(FOwnLeaveDelayMs.load()));
    DisconnectWithReason(static_cast<uint8_t>(Reason), Actor, Text);
    return;
  }
  TPlayerRecord R;
  if (!FPlayers.Get(Id, R))
    return;
  TcbDeletePlayer D{};
  FillDeleted(D, R, Actor, Reason, Text, FPlayers.GetNick(Actor));
  Raise(D);
  FPlayers.Remove(Id);
}

void TClient::SetOwnChannel(uint32_t ChannelId, uint16_t ChannelPrivileges) {
  FChannelId = static_cast<int32_t>(ChannelId);
  FChannelPrivileges = ChannelPrivileges;
  TChannelRecord Ch;
  if (FChannels.Get(ChannelId, Ch)) {
    FChannelParentId = Ch.Info.ParentId;
    SetTransmitCodec(Ch.Info.Codec);
  } else {
    FChannelParentId = -1;
    LogFmt(lkError, "TClientEventThread.SetOwnChannel", "ChannelID %1 not found", ChannelId);
  }
}

void TClient::ClearScope() {
  std::lock_guard<std::recursive_mutex> PL(FPlayers.Mutex());
  const uint32_t Me = FPlayerId;
  for (const TPlayerRecord& R : FPlayers.List()) {
    if (R.Id == Me)
      continue;
    TcbDeletePlayer D{};
    FillDeleted(D, R, 0, lrScopeCleared, "", "");
    Raise(D);
    FPlayers.Remove(R.Id);
  }
}

bool TClient::MovePlayer(uint32_t PlayerId, uint32_t NewChannel, uint16_t ChannelPrivileges,
                         bool ClearWantVoice, TPlayerRecord& Before) {
  std::lock_guard<std::recursive_mutex> PL(FPlayers.Mutex());
  TPlayerItem* Item = FPlayers.Find(PlayerId);
  if (!Item)
    return false;
  Before = Item->Record;
  Item->Record.ChannelId = NewChannel;
  Item->Record.ChannelPrivileges = ChannelPrivileges;
  SetShortString(Item->Record.VoiceRequest, 29, "");
  if (ClearWantVoice)
    Item->Record.Flags = static_cast<uint16_t>(Item->Record.Flags & ~Bit(pfWantVoice));
  return true;
}

void TClient::DoNotifyPlayerSwitched(const TPacket& P, bool Kicked) {
  const uint32_t Id = U32(P, 24);
  const uint32_t Old = U32(P, 28);
  const uint32_t New = U32(P, 32);
  const uint16_t Privileges = U16(P, 36);
  const std::string Text = Kicked ? Short29(P, 38) : std::string();
  TPlayerRecord R;
  if (!FPlayers.Get(Id, R))
    return;
  const bool Own = Id == FPlayerId;
  const bool Public = HasFlag(FServerType.load(), stPublic);
  if (Kicked && !Own && Public && !FChannels.SameFamily(Old, New)) {
    TcbDeletePlayer D{};
    FillDeleted(D, R, 0xFFFFFFFFu, lrKickedFromChannel, Text, FPlayers.GetNick(0xFFFFFFFFu));
    Raise(D);
    FPlayers.Remove(Id);
    return;
  }
  TcbPlayerSwitchChannel E{};
  E.Kind = cb_PlayerSwitchChannel;
  E.PlayerId = Id;
  SetField(E.Nick, PlayerNick(R));
  E.OldChannelId = Old;
  SetField(E.OldChannelName, FChannels.GetName(Old));
  E.NewChannelId = New;
  SetField(E.NewChannelName, FChannels.GetName(New));
  E.ChannelPrivileges = Privileges;
  E.Kicked = Kicked ? 1 : 0;
  SetField(E.ReasonText, Text);
  Raise(E);
  TPlayerRecord Before;
  MovePlayer(Id, New, Privileges, false, Before);
  if (Own) {
    SetOwnChannel(New, Privileges);
    if (Public && !FChannels.SameFamily(Old, New))
      ClearScope();
  }
}

void TClient::DoNotifyPlayerMovedToChannel(const TPacket& P) {
  const uint32_t Id = U32(P, 24);
  const uint32_t Old = U32(P, 28);
  const uint32_t New = U32(P, 32);
  const uint32_t Actor = U32(P, 36);
  const uint16_t Privileges = U16(P, 40);
  TPlayerRecord R;
  if (!FPlayers.Get(Id, R))
    return;
  TcbPlayerMovedToChannel E{};
  E.Kind = cb_PlayerMovedToChannel;
  E.PlayerId = Id;
  SetField(E.Nick, PlayerNick(R));
  E.OldChannelId = Old;
  SetField(E.OldChannelName, FChannels.GetName(Old));
  E.NewChannelId = New;
  SetField(E.NewChannelName, FChannels.GetName(New));
  E.ChannelPrivileges = Privileges;
  SetField(E.ActorNick, Actor == 0 ? std::string(TheServer) : FPlayers.GetNick(Actor));
  E.ActorId = Actor;
  Raise(E);
  TPlayerRecord Before;
  MovePlayer(Id, New, Privileges, true, Before);
  if (Id == FPlayerId) {
    SetOwnChannel(New, Privileges);
    if (HasFlag(FServerType.load(), stPublic) && !FChannels.SameFamily(Old, New))
      ClearScope();
  }
}

void TClient::DoNotifyPlayerFlagsChanged(const TPacket& P) {
  const uint32_t Id = U32(P, 24);
  const uint16_t New = U16(P, 28);
  std::lock_guard<std::recursive_mutex> PL(FPlayers.Mutex());
  TPlayerItem* Item = FPlayers.Find(Id);
  if (!Item)
    return;
  const uint16_t Old = Item->Record.Flags;
  TcbPlayerFlagsChanged E{};
  E.Kind = cb_PlayerFlagsChanged;
  E.PlayerId = Id;
  SetField(E.Nick, PlayerNick(Item->Record));
  E.OldFlags = Old;
  E.NewFlags = New;
  E.RequestsVoice = HasFlag(New, pfWantVoice) && !HasFlag(Old, pfWantVoice) ? 1 : 0;
  Raise(E);
  if (!HasFlag(New, pfWantVoice))
    SetShortString(Item->Record.VoiceRequest, 29, "");
  Item->Record.Flags = New;
  if (Id == FPlayerId)
    FPlayerFlags = New;
}

void TClient::DoNotifyPlayerRequestedVoice(const TPacket& P) {
  const uint32_t Id = U32(P, 24);
  const std::string Text = Short29(P, 28);
  std::lock_guard<std::recursive_mutex> PL(FPlayers.Mutex());
  TPlayerItem* Item = FPlayers.Find(Id);
  if (!Item)
    return;
  SetShortString(Item->Record.VoiceRequest, 29, Text);
  TcbPlayerFlagsChanged E{};
  E.Kind = cb_PlayerFlagsChanged;
  E.PlayerId = Id;
  SetField(E.Nick, PlayerNick(Item->Record));
  E.OldFlags = Item->Record.Flags;
  E.NewFlags = Item->Record.Flags;
  E.RequestsVoice = 1;
  SetField(E.VoiceRequest, Text);
  Raise(E);
}

void TClient::DoNotifyPrivilegeChanged(const TPacket& P, bool ChannelPrivilege) {
  const uint32_t Id = U32(P, 24);
  const uint8_t GrantRevoke = U8(P, 28);
  const uint8_t Privilege = U8(P, 29);
  const uint32_t Actor = U32(P, 30);
  TPlayerRecord R;
  {
    std::lock_guard<std::recursive_mutex> PL(FPlayers.Mutex());
    TPlayerItem* Item = FPlayers.Find(Id);
    if (!Item)
      return;
    // Packed fields: work on a copy.
    uint16_t Set =
        ChannelPrivilege ? Item->Record.ChannelPrivileges : Item->Record.PlayerPrivileges;
    if (Privilege <= 15) {
      const uint16_t B = static_cast<uint16_t>(1u << Privilege);
      if (GrantRevoke < 2) {
        Set = static_cast<uint16_t>(Set | B);
        if (!ChannelPrivilege && Privilege == ppRegistered)
          Set = static_cast<uint16_t>(Set & ~Bit(ppCanRegister));
      } else {
        Set = static_cast<uint16_t>(Set & ~B);
      }
    }
    if (ChannelPrivilege)
      Item->Record.ChannelPrivileges = Set;
    else
      Item->Record.PlayerPrivileges = Set;
    if (Id == FPlayerId) {
      if (ChannelPrivilege)
        FChannelPrivileges = Set;
      else
        FPlayerPrivileges = Set;
    }
    R = Item->Record;
  }
  TcbPrivilegeChanged E{};
  E.Kind = ChannelPrivilege ? cb_ChannelPrivilegeChanged : cb_PlayerPrivilegeChanged;
  E.PlayerId = Id;
  SetField(E.Nick, PlayerNick(R));
  E.ActorId = Actor;
  SetField(E.ActorNick, Actor == 0 ? std::string(TheServer) : FPlayers.GetNick(Actor));
  E.GrantRevoke = GrantRevoke;
  E.Privilege = Privilege;
  Raise(E);
}

// ---------------------------------------------------------------------------
// Channels

void TClient::DoNotifyChannelCreated(const TPacket& P) {
  TChannelRecord Rec;
  size_t Used = 0;
  if (!ReadChannelRecord(P.Memory() + 28, static_cast<size_t>(P.Size()) - 28, Rec, Used)) {
    LogError(Context("DoNotifyChannelCreated"), "invalid channel record");
    return;
  }
  if (!FChannels.Add(Rec)) {
    LogError(Context("DoNotifyChannelCreated"), "too many channels");
    return;
  }
  TcbNewChannel E{};
  E.Kind = cb_NewChannel;
  E.Channel = Rec.Info;
  Raise(E);
}

void TClient::DoNotifyChannelTextChanged(const TPacket& P, int Which) {
  const uint32_t Id = U32(P, 24);
  std::lock_guard<std::recursive_mutex> CL(FChannels.Mutex());
  TChannelRecord* Ch = FChannels.Find(Id);
  if (!Ch)
    return;
  TcbChannelChanged E{};
  E.Kind = cb_ChannelChanged;
  E.Before = Ch->Info;
  if (Which == 0)
    SetField(Ch->Info.Name, BoundedText(P, 32, sizeof Ch->Info.Name));
  else if (Which == 1)
    SetField(Ch->Info.Topic, BoundedText(P, 32, sizeof Ch->Info.Topic));
  else
    SetField(Ch->Info.Description, BoundedText(P, 32, sizeof Ch->Info.Description));
  E.After = Ch->Info;
  Raise(E);
}

void TClient::DoNotifyChannelPropertiesChanged(const TPacket& P) {
  const uint32_t Id = U32(P, 24);
  std::lock_guard<std::recursive_mutex> CL(FChannels.Mutex());
  TChannelRecord* Ch = FChannels.Find(Id);
  if (!Ch)
    return;
  TcbChannelChanged E{};
  E.Kind = cb_ChannelChanged;
  E.Before = Ch->Info;
  Ch->Info.Flags = U16(P, 28);
  Ch->Info.Codec = U16(P, 30);
  if (static_cast<int32_t>(Id) == FChannelId)
    SetTransmitCodec(Ch->Info.Codec);
  E.After = Ch->Info;
  Raise(E);
}

void TClient::DoNotifyChannelNumberChanged(const TPacket& P, bool MaxUsers) {
  const uint32_t Id = U32(P, 24);
  std::lock_guard<std::recursive_mutex> CL(FChannels.Mutex());
  TChannelRecord* Ch = FChannels.Find(Id);
  if (!Ch)
    return;
  TcbChannelChanged E{};
  E.Kind = cb_ChannelChanged;
  E.Before = Ch->Info;
  if (MaxUsers)
    Ch->Info.MaxUsers = U16(P, 28);
  else
    Ch->Info.Order = U16(P, 28);
  E.After = Ch->Info;
  Raise(E);
}

void TClient::DoNotifyChannelDestroyed(const TPacket& P) {
  // The id travels in 16 bits; read unsigned so that ids from 32768 on still
  // name their channel.
  const uint32_t Id = U16(P, 24);
  const uint32_t Actor = U32(P, 26);
  TcbDeleteChannel E{};
  E.Kind = cb_DeleteChannel;
  E.ChannelId = static_cast<int32_t>(Id);
  E.ActorId = Actor;
  SetField(E.ChannelName, FChannels.GetName(Id));
  SetField(E.ActorNick, FPlayers.GetNick(Actor));
  Raise(E);
  FChannels.Delete(Id);
}

void TClient::DoChannelPasswordChanged(const TPacket& P) {
  const uint32_t Id = U32(P, 24);
  if (!FChannels.Exists(Id))
    return;
  TcbChannelPasswordChanged E{};
  E.Kind = cb_ChannelPasswordChanged;
  E.ChannelId = Id;
  SetField(E.ChannelName, FChannels.GetName(Id));
  Raise(E);
}

// ---------------------------------------------------------------------------
// Messages, server properties and replies

void TClient::DoNotifyTextMessage(const TPacket& P) {
  TcbTextMessage E{};
  E.Kind = cb_TextMessage;
  E.Colour = U32(P, 24);
  E.MessageKind = U8(P, 28);
  SetField(E.Sender, Short29(P, 29));
  SetField(E.Text, BoundedText(P, 59, sizeof E.Text));
  Raise(E);
}

void TClient::DoNotifyServerPropertiesChanged(const TPacket& P) {
  const uint16_t OldType = FServerType;
  const uint16_t NewType = U16(P, 32);
  FSupportedCodecs = U32(P, 24);
  FServerValue2 = U32(P, 28);
  FServerType = NewType;
  StorePermissions(P.Memory() + 34);
  FServerMaxUsers = U32(P, 100);
  {
    std::lock_guard<std::mutex> G(FInfoLock);
    FWelcomeMessage = GetShortString(P.Memory() + 104, 255);
    FServerName = Short29(P, 360);
  }
  TcbKindOnly K{cb_ServerPropertiesChanged};
  Raise(K);
  if (!(HasFlag(OldType, stClan) && HasFlag(NewType, stPublic) && OldType != NewType))
    return;
  std::lock_guard<std::recursive_mutex> CL(FChannels.Mutex());
  std::lock_guard<std::recursive_mutex> PL(FPlayers.Mutex());
  const uint32_t Me = FPlayerId;
  const uint32_t Own = static_cast<uint32_t>(FChannelId.load());
  for (const TPlayerRecord& R : FPlayers.List()) {
    if (R.Id == Me || FChannels.SameFamily(Own, R.ChannelId))
      continue;
    TcbDeletePlayer D{};
    FillDeleted(D, R, 0, lrScopeCleared, "", "");
    Raise(D);
    FPlayers.Remove(R.Id);
  }
}

void TClient::DoPlayerMutePlayerReply(const TPacket& P) {
  const uint32_t Id = U32(P, 24);
  const uint8_t Muted = U8(P, 28);
  {
    std::lock_guard<std::recursive_mutex> PL(FPlayers.Mutex());
    TPlayerItem* Item = FPlayers.Find(Id);
    if (!Item)
      return;
    Item->Record.Muted = Muted;
  }
  TcbMuteReply E{};
  E.Kind = cb_MuteReply;
  E.PlayerId = Id;
  E.Muted = Muted;
  Raise(E);
}

void TClient::DoInfoReplyPlayerConnectionInfo(const TPacket& P) {
  const uint32_t Id = U32(P, 24);
  TPlayerRecord R;
  if (!FPlayers.Get(Id, R))
    return;
  TcbConnectionInfo E{};
  E.Kind = cb_ConnectionInfo;
  E.PlayerId = Id;
  E.ConnectedSeconds = U32(P, 28);
  E.PacketLoss = U16(P, 32);
  E.Ping = U16(P, 34);
  E.IdleSeconds = U32(P, 36);
  for (size_t I = 0; I < 4; ++I)
    E.ClientVersion[I] = U16(P, 40 + 2 * I);
  E.PacketsSent = U32(P, 48);
  E.BytesSent = U32(P, 52);
  E.PacketsReceived = U32(P, 56);
  E.BytesReceived = U32(P, 60);
  SetField(E.ClientAddress, Short29(P, 64));
  E.ClientPort = U16(P, 94);
  SetField(E.LoginName, Short29(P, 96));
  E.ChannelId = U32(P, 126);
  E.ChannelPrivileges = U16(P, 130);
  E.PlayerPrivileges = U16(P, 132);
  SetField(E.Nick, PlayerNick(R));
  SetField(E.ChannelName, FChannels.GetName(E.ChannelId));
  SetField(E.ClientPlatform, Short29(P, 134));
  Raise(E);
}

void TClient::DoInfoReplyServerInfo(const TPacket& P) {
  TcbServerInfo E{};
  E.Kind = cb_ServerInfo;
  std::memcpy(E.Info, P.Memory() + 24, sizeof E.Info);
  Raise(E);
}

void TClient::DoInfoReplyBanIpList(const TPacket& P) {
  const size_t Entries = static_cast<size_t>(P.Size()) - 28;
  std::vector<uint8_t> Record(sizeof(TcbBanList) + Entries);
  TcbBanList Head{cb_BanList, U32(P, 24)};
  std::memcpy(Record.data(), &Head, sizeof Head);
  std::memcpy(Record.data() + sizeof Head, P.Memory() + 28, Entries);
  DoCallback(Record.data(), static_cast<int32_t>(Record.size()));
}

void TClient::DoErrorPacket(const TPacket& P) {
  TcbError E{};
  E.Kind = cb_Error;
  E.ErrorCode = P.CommandHeader()->PacketType;
  E.RequestType = static_cast<int16_t>(U16(P, 24));
  E.Value1 = U32(P, 26);
  E.Value2 = P.Size() >= 34 ? U32(P, 30) : 0x7FFFFFFFu;
  Raise(E);
}

// ---------------------------------------------------------------------------
// Voice

void TClient::HandleVoicePacket(TPacketPtr Packet) {
  if (!Packet || !Packet->IsServerVoice())
    return;
  const TServerVoiceHeader H = *Packet->ServerVoiceHeader();
  std::lock_guard<std::recursive_mutex> S(FSoundLock);
  if (!VoiceOutputWanted(H.Codec))
    return;
  LogFmt(lkDebug, "TClientEventThread.HandleVoicePacket",
         "attemting to storing packet %1 from client %2", H.PacketNr, H.SenderId);
  std::lock_guard<std::recursive_mutex> PL(FPlayers.Mutex());
  TPlayerItem* Item = FPlayers.Find(H.SenderId);
  if (!Item)
    return;
  std::span<const uint8_t> Payload(Packet->Memory() + ServerVoiceHeaderSize,
                                   static_cast<size_t>(Packet->Size() - ServerVoiceHeaderSize));
  if (StoreVoice(*Item, Payload, H.Codec, H.PacketNr, H.SpeakNr) && (H.Flags & 1))
    FLastWhisperer = static_cast<int32_t>(H.SenderId);
}

} // namespace orlavonix
