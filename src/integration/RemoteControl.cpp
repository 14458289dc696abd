#include "integration/RemoteControl.h"

#include <exception>
#include <functional>
#include <map>

#include "base/Format.h"
#include "integration/CallbackInterface.h"
#include "protocol/logdebug.h"

namespace orlavonix {

namespace {

constexpr int ClientVersion[4] = {2, 0, 32, 60};
constexpr size_t RemoteTextMax = 255;

TRemoteProgram* GProgram = nullptr;

std::string Error(int32_t Code) {
  return Format("ERROR %d %s", Code, RemoteErrorMessage(Code));
}

// Text before and after the first Separator; the rest is empty without one.
std::pair<std::string, std::string> SplitAt(const std::string& S, char Separator) {
  auto At = S.find(Separator);
  if (At == std::string::npos)
    return {S, ""};
  return {S.substr(0, At), S.substr(At + 1)};
}

char LowerAscii(char C) {
  return (C >= 'A' && C <= 'Z') ? static_cast<char>(C - 'A' + 'a') : C;
}
bool SameText(const std::string& A, const std::string& B) {
  if (A.size() != B.size())
    return false;
  for (size_t I = 0; I < A.size(); ++I)
    if (LowerAscii(A[I]) != LowerAscii(B[I]))
      return false;
  return true;
}

std::string Words(uint16_t Set, std::initializer_list<std::pair<uint16_t, const char*>> Table) {
  std::string S;
  for (const auto& [Mask, Word] : Table)
    if (Set & Mask) {
      S += Word;
      S += ',';
    }
  if (S.empty())
    return "none";
  S.pop_back();
  return S;
}

class TDispatcher {
public:
  explicit TDispatcher(TRemoteProgram& P) : FP(P) {}

  std::string Run(const std::string& Request) {
    auto [Command, Param] = SplitAt(Request, ' ');
    using THandler = std::string (TDispatcher::*)(const std::string&);
    static const std::map<std::string, THandler> Commands = {
        {"CONNECT", &TDispatcher::Connect},
        {"DISCONNECT", &TDispatcher::Disconnect},
        {"QUIT", &TDispatcher::Quit},
        {"FOREGROUND", &TDispatcher::Foreground},
        {"SWITCH_CHANNEL_NAME", &TDispatcher::SwitchChannelName},
        {"SWITCH_CHANNEL_ID", &TDispatcher::SwitchChannelId},
        {"GET_VERSION", &TDispatcher::GetVersion},
        {"GET_SERVER_INFO", &TDispatcher::GetServerInfo},
        {"GET_USER_INFO", &TDispatcher::GetUserInfo},
        {"GET_CHANNEL_INFO_ID", &TDispatcher::GetChannelInfoId},
        {"GET_CHANNEL_INFO_NAME", &TDispatcher::GetChannelInfoName},
        {"GET_PLAYER_INFO_ID", &TDispatcher::GetPlayerInfoId},
        {"GET_PLAYER_INFO_NAME", &TDispatcher::GetPlayerInfoName},
        {"GET_CHANNELS", &TDispatcher::GetChannels},
        {"GET_PLAYERS", &TDispatcher::GetPlayers},
        {"GET_SPEAKERS", &TDispatcher::GetSpeakers},
        {"SET_PLAYER_FLAGS", &TDispatcher::SetPlayerFlags},
        {"SET_WANT_VOICE_REASON", &TDispatcher::SetWantVoiceReason},
        {"SET_OPERATOR", &TDispatcher::SetOperator},
        {"SET_VOICE", &TDispatcher::SetVoice},
        {"KICK_PLAYER_FROM_SERVER", &TDispatcher::KickFromServer},
        {"KICK_PLAYER_FROM_CHANNEL", &TDispatcher::KickFromChannel},
        {"SEND_TEXT_MESSAGE_TO_CHANNEL", &TDispatcher::SendTextToChannel},
        {"SEND_TEXT_MESSAGE", &TDispatcher::SendText},
    };
    auto It = Commands.find(Command);
    if (It == Commands.end())
      return Error(-3);
    return (this->*It->second)(Param);
  }

private:
  // --- registry views ---------------------------------------------------------
  std::optional<TRemoteChannel> Channel(uint32_t Id) {
    for (auto& C : Channels())
      if (C.Id == Id)
        return C;
    return std::nullopt;
  }
  std::optional<TRemotePlayer> Player(uint32_t Id) {
    for (auto& P : Players())
      if (P.Id == Id)
        return P;
    return std::nullopt;
  }
  std::optional<TRemotePlayer> Own() {
    auto Id = FP.OwnPlayerId();
    return Id ? Player(*Id) : std::nullopt;
  }
  const std::vector<TRemoteChannel>& Channels() {
    if (!FChannels)
      FChannels = FP.Channels();
    return *FChannels;
  }
  const std::vector<TRemotePlayer>& Players() {
    if (!FPlayers)
      FPlayers = FP.Players();
    return *FPlayers;
  }
  // A command that changes the program reads the registry anew afterwards.
  void Forget() {
    FChannels.reset();
    FPlayers.reset();
  }

  std::string PlayerLine(const TRemotePlayer& P) {
    return Format("%d %d %s %s %s %s\r", static_cast<int32_t>(P.Id),
                  static_cast<int32_t>(P.ChannelId), ChannelPrivilegeWords(P.ChannelPrivileges),
                  ServerPrivilegeWords(P.Privileges), PlayerFlagWords(P.Flags), P.Nickname);
  }
  std::string ChannelLine(const TRemoteChannel& C) {
    int32_t Count = 0;
    for (const auto& P : Players())
      if (P.ChannelId == C.Id)
        ++Count;
    return Format("%d %d %d %d %s %s\r", static_cast<int32_t>(C.Id), C.ParentId, Count, C.Codec,
                  ChannelFlagWords(C.Flags), C.Name);
  }
  static bool IsServerAdmin(const std::optional<TRemotePlayer>& P) {
    return P && HasFlag(P->Privileges, ppServerAdmin);
  }
  static bool IsChannelAdmin(const std::optional<TRemotePlayer>& P) {
    return P && HasFlag(P->ChannelPrivileges, pcpAdmin);
  }

  // --- commands -----------------------------------------------------------------
  std::string Connect(const std::string& Param) {
    auto R = MakeKindTextRecord(cb_RemoteConnect, std::string_view(Param).substr(0, RemoteTextMax));
    FP.PostRecord(&R, sizeof R);
    return "OK";
  }
  std::string Disconnect(const std::string&) {
    if (!FP.DisconnectEnabled())
      return Error(-1);
    auto R = MakeKindOnlyRecord(cb_RemoteDisconnect);
    FP.PostRecord(&R, sizeof R);
    return "OK";
  }
  std::string Quit(const std::string&) {
    FP.Quit();
    return "OK";
  }
  std::string Foreground(const std::string&) { return "OK"; }

  std::string SwitchChannelName(const std::string& Param) {
    if (!FP.Connected())
      return Error(-1);
    auto [Name, Password] = SplitAt(Param, '\r');
    auto Id = FP.ResolveChannelName(Name);
    if (!Id)
      return Error(-20);
    FP.SwitchChannel(*Id, Password.substr(0, RemoteTextMax));
    return "OK";
  }
  std::string SwitchChannelId(const std::string& Param) {
    if (!FP.Connected())
      return Error(-1);
    auto [IdText, Password] = SplitAt(Param, ' ');
    auto Id = ParseInt32(IdText);
    if (!Id)
      return Error(-2);
    if (!Channel(static_cast<uint32_t>(*Id)))
      return Error(-20);
    FP.SwitchChannel(static_cast<uint32_t>(*Id), Password.substr(0, RemoteTextMax));
    return "OK";
  }
  std::string GetVersion(const std::string&) {
    return Format("OK\r%d.%d.%d.%d", ClientVersion[0], ClientVersion[1], ClientVersion[2],
                  ClientVersion[3]);
  }
  std::string GetServerInfo(const std::string&) {
    if (!FP.Connected())
      return Error(-1);
    auto S = FP.ServerInfo();
    return Format("OK\r%s\r%s\r%s\r%s\r%s\r%s\r%s\r%d\r%d\r%d\r%d", S.Name, S.WelcomeMessage,
                  Format("%d.%d.%d.%d", S.Version[0], S.Version[1], S.Version[2], S.Version[3]),
                  S.Platform, S.ResolvedAddress, S.EnteredAddress, ServerTypeWords(S.ServerType),
                  S.MaxUsers, static_cast<int32_t>(S.CodecMask),
                  static_cast<int32_t>(Channels().size()), static_cast<int32_t>(Players().size()));
  }
  std::string GetUserInfo(const std::string&) {
    if (!FP.Connected())
      return Error(-1);
    auto Me = Own();
    if (!Me)
      return Error(-40);
    auto Mine = Channel(Me->ChannelId);
    if (!Mine)
      return Error(-20);
    TRemoteChannel Parent;
    if (Mine->ParentId == -1) {
      // A top-level channel: an empty parent line.
      Parent.Id = static_cast<uint32_t>(-1);
      Parent.ParentId = 0;
    } else {
      auto Found = Channel(static_cast<uint32_t>(Mine->ParentId));
      if (!Found)
        return Error(-21);
      Parent = *Found;
    }
    return "OK\r" + PlayerLine(*Me) + ChannelLine(*Mine) + ChannelLine(Parent);
  }
  std::string ChannelInfo(uint32_t Id, const std::string& Option) {
    if (!FP.Connected())
      return Error(-1);
    auto C = Channel(Id);
    if (!C)
      return Error(-20);
    std::string Reply = "OK\r" + ChannelLine(*C);
    if (Option == "GET_PLAYERS_TOO") {
      std::string Lines;
      for (const auto& P : Players()) {
        if (P.ChannelId != Id)
          continue;
        std::string Line = PlayerLine(P);
        if (Reply.size() + Lines.size() + Line.size() >= RemoteReplyLimit)
          break;
        Lines += Line;
      }
      Reply += Lines;
    }
    return Reply;
  }
  std::string GetChannelInfoId(const std::string& Param) {
    auto [IdText, Option] = SplitAt(Param, ' ');
    auto Id = ParseInt32(IdText);
    if (!Id)
      return Error(-2);
    return ChannelInfo(static_cast<uint32_t>(*Id), Option);
  }
  std::string GetChannelInfoName(const std::string& Param) {
    if (!FP.Connected())
      return Error(-1);
    auto [Name, Option] = SplitAt(Param, '\r');
    auto Id = FP.ResolveChannelName(Name);
    if (!Id)
      return Error(-20);
    return ChannelInfo(*Id, Option);
  }
  std::string PlayerInfo(uint32_t Id) {
    auto P = Player(Id);
    if (!P)
      return Error(-40);
    return "OK\r" + PlayerLine(*P);
  }
  std::string GetPlayerInfoId(const std::string& Param) {
    auto Id = ParseInt32(Param);
    if (!Id)
      return Error(-2);
    if (!FP.Connected())
      return Error(-1);
    return PlayerInfo(static_cast<uint32_t>(*Id));
  }
  std::string GetPlayerInfoName(const std::string& Param) {
    if (!FP.Connected())
      return Error(-1);
    for (const auto& P : Players())
      if (SameText(P.Nickname, Param))
        return PlayerInfo(P.Id);
    return Error(-40);
  }
  template <typename T, typename Fn> std::string List(const std::vector<T>& Items, Fn&& LineOf) {
    if (!FP.Connected())
      return Error(-1);
    std::string Reply = "OK\r";
    for (const auto& I : Items) {
      std::string Line = LineOf(I);
      if (Reply.size() + Line.size() >= RemoteReplyLimit)
        break;
      Reply += Line;
    }
    return Reply;
  }
  std::string GetChannels(const std::string&) {
    return List(Channels(), [this](const TRemoteChannel& C) { return ChannelLine(C); });
  }
  std::string GetPlayers(const std::string&) {
    return List(Players(), [this](const TRemotePlayer& P) { return PlayerLine(P); });
  }
  std::string GetSpeakers(const std::string&) {
    if (!FP.Connected())
      return Error(-1);
    std::string Reply = "OK\r";
    for (uint32_t Id : FP.Speakers())
      Reply += Format("%d;", static_cast<int32_t>(Id));
    return Reply;
  }
  uint16_t OwnFlags() {
    auto Me = Own();
    return Me ? Me->Flags : 0;
  }
  std::string SetPlayerFlags(const std::string& Param) {
    if (!FP.Connected())
      return Error(-1);
    auto Has = [&](const char* Word) { return Param.find(Word) != std::string::npos; };
    if (Has("pfOutputMuted") != HasFlag(OwnFlags(), pfOutputMuted))
      FP.ToggleOutputMuted();
    Forget();
    if (Has("pfInputMuted") != HasFlag(OwnFlags(), pfInputMuted))
      FP.ToggleInputMuted();
    Forget();
    uint16_t Now = OwnFlags();
    uint16_t New = Now & (Bit(pfOutputMuted) | Bit(pfInputMuted) | Bit(pfRecording));
    if (Has("pfChannelCommander"))
      New |= Bit(pfChannelCommander);
    if (Has("pfNoWhisper"))
      New |= Bit(pfNoWhisper);
    if (Has("pfAway"))
      New |= Bit(pfAway);
    if (Has("pfWantVoice"))
      New |= Bit(pfWantVoice);
    FP.SetOwnFlags(New);
    return "OK\r";
  }
  std::string SetWantVoiceReason(const std::string& Param) {
    if (!FP.Connected())
      return Error(-1);
    if (Param.empty())
      return Error(-6);
    FP.SetVoiceRequestReason(Param.substr(0, RemoteTextMax));
    return "OK\r";
  }
  std::string GrantOrRevoke(const std::string& Param, bool Operator) {
    if (!FP.Connected())
      return Error(-1);
    if (Param.find(' ') == std::string::npos)
      return Error(-6);
    auto [IdText, What] = SplitAt(Param, ' ');
    auto Id = ParseInt32(IdText);
    if (!Id)
      return Error(-2);
    What = What.substr(0, RemoteTextMax);
    if (What != "grGrant" && What != "grRevoke")
      return Error(-7);
    auto P = Player(static_cast<uint32_t>(*Id));
    if (!P)
      return Error(-40);
    auto Me = Own();
    if (!Me || P->ChannelId != Me->ChannelId)
      return Error(-22);
    auto Mine = Channel(Me->ChannelId);
    if (!Mine)
      return Error(-20);
    if (!HasFlag(Mine->Flags, cfModerated))
      return Error(-23);
    if (!HasFlag(Me->ChannelPrivileges, pcpAdmin) && !HasFlag(Me->ChannelPrivileges, pcpOperator) &&
        !IsServerAdmin(Me))
      return Error(-4);
    TGrantRevoke G = What == "grGrant" ? grGrant : grRevoke;
    if (Operator)
      FP.GrantOperator(P->Id, G);
    else
      FP.GrantVoice(P->Id, G);
    return "OK\r";
  }
  std::string SetOperator(const std::string& Param) { return GrantOrRevoke(Param, true); }
  std::string SetVoice(const std::string& Param) { return GrantOrRevoke(Param, false); }

  std::string Kick(const std::string& Param, bool FromServer) {
    if (Param.empty())
      return Error(-6);
    auto [IdText, Reason] = SplitAt(Param, ' ');
    auto Id = ParseInt32(IdText);
    if (!Id)
      return Error(-2);
    if (!FP.Connected())
      return Error(-1);
    auto Me = Own();
    bool Admin = IsServerAdmin(Me);
    if (FromServer ? !Admin : !(Admin || IsChannelAdmin(Me)))
      return Error(-4);
    auto P = Player(static_cast<uint32_t>(*Id));
    if (!P)
      return Error(-40);
    if (!FromServer && !Admin && P->ChannelId != Me->ChannelId)
      return Error(-4);
    Reason = Reason.substr(0, RemoteTextMax);
    if (FromServer)
      FP.KickFromServer(P->Id, Reason);
    else
      FP.KickFromChannel(P->Id, Reason);
    return "OK\r";
  }
  std::string KickFromServer(const std::string& Param) { return Kick(Param, true); }
  std::string KickFromChannel(const std::string& Param) { return Kick(Param, false); }

  std::string SendTextToChannel(const std::string& Param) {
    if (!FP.Connected())
      return Error(-1);
    auto Me = Own();
    if (!IsServerAdmin(Me) && !IsChannelAdmin(Me))
      return Error(-4);
    if (Param.find(' ') == std::string::npos)
      return Error(-6);
    auto [IdText, Text] = SplitAt(Param, ' ');
    auto Id = ParseInt32(IdText);
    if (!Id)
      return Error(-2);
    if (Text.empty())
      return Error(-6);
    FP.SendChannelMessage(static_cast<uint32_t>(*Id), Text);
    return "OK\r";
  }
  std::string SendText(const std::string& Param) {
    if (!FP.Connected())
      return Error(-1);
    if (!IsServerAdmin(Own()))
      return Error(-4);
    return SendTextToChannel("-1 " + Param);
  }

  TRemoteProgram& FP;
  std::optional<std::vector<TRemoteChannel>> FChannels;
  std::optional<std::vector<TRemotePlayer>> FPlayers;
};

} // namespace

std::string RemoteErrorMessage(int32_t Code) {
  switch (Code) {
  case -1:
    return "NOT CONNECTED";
  case -2:
    return "PARAM IS NOT VALID INTEGER";
  case -3:
    return "UNKNOWN COMMANDS";
  case -4:
    return "PERMISSION DENIED";
  case -5:
    return "PROGRAM NOT READY";
  case -6:
    return "PARAMETER EXPECTED";
  case -7:
    return "PARAM IS NOT VALID";
  case -20:
    return "CHANNEL NOT FOUND";
  case -21:
    return "PARENT CHANNEL NOT FOUND";
  case -22:
    return "NOT IN CHANNEL";
  case -23:
    return "CHANNEL IS NOT MODERATED";
  case -40:
    return "PLAYER NOT FOUND";
  default:
    return "";
  }
}

std::string ChannelPrivilegeWords(uint16_t Set) {
  return Words(Set, {{Bit(pcpAdmin), "pcpAdmin"},
                     {Bit(pcpOperator), "pcpOperator"},
                     {Bit(pcpAutoOperator), "pcpAutoOperator"},
                     {Bit(pcpVoiced), "pcpVoiced"},
                     {Bit(pcpAutoVoice), "pcpAutoVoice"}});
}

std::string ServerPrivilegeWords(uint16_t Set) {
  std::string S;
  if (HasFlag(Set, ppServerAdmin))
    S += "ppServerAdmin,";
  if (HasFlag(Set, ppCanRegister))
    S += "ppCanRegister,";
  S += HasFlag(Set, ppRegistered) ? "ppRegistered" : "ppUnregistered";
  return S;
}

std::string PlayerFlagWords(uint16_t Set) {
  return Words(Set, {{Bit(pfChannelCommander), "pfChannelCommander"},
                     {Bit(pfWantVoice), "pfWantVoice"},
                     {Bit(pfNoWhisper), "pfNoWhisper"},
                     {Bit(pfAway), "pfAway"},
                     {Bit(pfInputMuted), "pfInputMuted"},
                     {Bit(pfOutputMuted), "pfOutputMuted"},
                     {Bit(pfRecording), "pfRecording"}});
}

std::string ChannelFlagWords(uint16_t Set) {
  return Words(Set, {{Bit(cfUnregistered), "cfUnregistered"},
                     {Bit(cfModerated), "cfModerated"},
                     {Bit(cfPassword), "cfPassword"},
                     {Bit(cfHierarchical), "cfHierarchical"},
                     {Bit(cfDefault), "cfDefault"}});
}

std::string ServerTypeWords(uint16_t Set) {
  std::string S = HasFlag(Set, stPublic) ? "stPublic," : "stClan,";
  if (HasFlag(Set, stFreeware))
    S += "stFreeware";
  if (HasFlag(Set, stCommercial))
    S += "stCommercial";
  return S;
}

void SetRemoteProgram(TRemoteProgram* Program) {
  GProgram = Program;
}

std::string ExecuteRemoteCommand(const std::string& Request) {
  return ExecuteRemoteCommand(GProgram, Request);
}

std::string ExecuteRemoteCommand(TRemoteProgram* Program, const std::string& Request) {
  if (!Program)
    return Error(-5);
  try {
    return TDispatcher(*Program).Run(Request);
  } catch (const std::exception& E) {
    LogException("ExecuteRemoteCommand", E);
    return Error(-5);
  }
}

} // namespace orlavonix
