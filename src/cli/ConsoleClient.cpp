#include "cli/ConsoleClient.h"

#include <cerrno>
#include <cstring>
#include <poll.h>
#include <unistd.h>

#include "cli/EventJson.h"
#include "cli/JsonLine.h"
#include "config/ServerLink.h"
#include "integration/CallbackInterface.h"
#include "keys/ClientKeyPressBase.h"
#include "protocol/ClientProtocolStrings.h"
#include "protocol/logdebug.h"

namespace orlavonix {

namespace {
constexpr uint8_t ConsoleClientOptions = coResend | coKeepAlive | coDoTransport | coClientDoesLogin;
// How long an orderly disconnect may take before the program ends anyway.
constexpr auto DisconnectGrace = std::chrono::seconds(5);

} // namespace

TConsoleClient::TConsoleClient(TCliOptions Options, std::FILE* Out, std::FILE* Err)
    : FOptions(std::move(Options)), FOut(Out), FErr(Err) {
  FSync = std::make_unique<TSyncCallRoad>([this] { FLoop.Post([this] { FSync->RunPending(); }); });
  TThread::SetSyncDispatcher(FSync->Dispatcher());
  FEvents = std::make_unique<TCallbackSynchronizer>(
      [this](std::unique_ptr<TEventRecord> R) { HandleEvent(std::move(R)); },
      [this] { FLoop.Post([this] { FEvents->DoIt(); }); });
  FClient = std::make_unique<TClient>(FEvents->Callback(), ConsoleClientOptions);
  SetRemoteProgram(this);
}

TConsoleClient::~TConsoleClient() {
  SetRemoteProgram(nullptr);
  FStopInput = true;
  if (FInputThread.joinable())
    FInputThread.join();
  FClient.reset();
  FSync->Shutdown();
  TThread::SetSyncDispatcher(nullptr);
  // Tasks still queued refer to objects that are going away.
  FLoop.ProcessPending();
}

void TConsoleClient::Print(const std::string& Line) {
  std::fputs(Line.c_str(), FOut);
  std::fputc('\n', FOut);
  std::fflush(FOut);
}

int TConsoleClient::Run(int InputFd) {
  TConnectInfo Info{};
  ParseServerLink(FOptions.Link, Info, "orlavonix-cli");
  int32_t Result = ConnectTo(Info);
  if (Result != 0) {
    std::string Text = ErrorCodeText(Result);
    std::fprintf(FErr, "orlavonix-cli: cannot connect to %s: %s\n", Info.GetServerAddress().c_str(),
                 Text.empty() ? "error" : Text.c_str());
    return 1;
  }
  FInputThread = std::thread([this, InputFd] { ReadInput(InputFd); });
  while (!FDone) {
    FLoop.RunUntil([this] { return FDone; }, std::chrono::milliseconds(200));
    if (FQuitting && std::chrono::steady_clock::now() > FQuitDeadline)
      FDone = true;
  }
  return 0;
}

// Standard input is read on its own thread and handed over line by line, so
// that the loop keeps serving events while nothing is typed.
void TConsoleClient::ReadInput(int Fd) {
  std::string Pending;
  char Buf[4096];
  while (!FStopInput) {
    pollfd P{Fd, POLLIN, 0};
    int R = poll(&P, 1, 100);
    if (R < 0 && errno == EINTR)
      continue;
    if (R == 0)
      continue;
    ssize_t N = R > 0 ? read(Fd, Buf, sizeof Buf) : -1;
    if (N < 0 && (errno == EINTR || errno == EAGAIN))
      continue;
    if (N <= 0) {
      if (!Pending.empty())
        FLoop.Post([this, L = Pending] { HandleLine(L); });
      FLoop.Post([this] { HandleInputEnd(); });
      return;
    }
    Pending.append(Buf, static_cast<size_t>(N));
    size_t Eol;
    while ((Eol = Pending.find('\n')) != std::string::npos) {
      std::string Line = Pending.substr(0, Eol);
      if (!Line.empty() && Line.back() == '\r')
        Line.pop_back();
      Pending.erase(0, Eol + 1);
      FLoop.Post([this, Line] { HandleLine(Line); });
    }
  }
}

int32_t TConsoleClient::ConnectTo(const TConnectInfo& Info) {
  FInfo = Info;
  std::string Address = Info.GetServerAddress();
  int32_t Port;
  try {
    Port = PortOfAddress(Address);
  } catch (const EConvertError& E) {
    Print(TJsonLine().Add("connect", Address).Add("result", -14).Add("text", E.Message()).Str());
    return -14;
  }
  std::string ErrorText;
  int32_t Result = FClient->Connect(
      HostOfAddress(Address), static_cast<uint16_t>(Port), Info.GetNickname(), Info.GetLoginName(),
      Info.GetPassword(), Info.GetChannel(), Info.GetSubChannel(), Info.GetChannelPassword(),
      Info.Anonymous != 0, Info.AllowServerNickname != 0, 0, ErrorText);
  TJsonLine J;
  J.Add("connect", Address).Add("result", Result);
  if (Result != 0)
    J.Add("text", ErrorCodeText(Result)).Add("serverText", ErrorText);
  Print(J.Str());
  return Result;
}

void TConsoleClient::ConnectToAddress(const std::string& Text) {
  TConnectInfo Info = FInfo;
  if (!ParseServerLink(Text, Info, FInfo.GetNickname()))
    Info.SetServerAddress(Text); // a plain host[:port]
  ConnectTo(Info);
}

void TConsoleClient::HandleEvent(std::unique_ptr<TEventRecord> Record) {
  int32_t Kind = Record->Kind();
  if (Kind == cb_RemoteDisconnect) {
    if (DisconnectEnabled())
      FClient->Disconnect();
    return;
  }
  if (Kind == cb_RemoteConnect) {
    if (Record->Size() < sizeof(TKindTextRecord))
      return;
    TKindTextRecord R;
    std::memcpy(&R, Record->Data(), sizeof R);
    if (FClient->State() == csIdle)
      ConnectToAddress(R.GetText());
    else {
      FPendingConnect = R.GetText(); // once the disconnection is complete
      FClient->Disconnect();
    }
    return;
  }
  Print(ClientEventToJson(Record->Data(), Record->Size()));
  if (Kind == cb_SpeakStartStop && Record->Size() >= sizeof(TcbSpeakStartStop)) {
    TcbSpeakStartStop S;
    std::memcpy(&S, Record->Data(), sizeof S);
    if (S.Talking)
      FSpeakers.insert(S.PlayerId);
    else
      FSpeakers.erase(S.PlayerId);
  }
  if (Kind == cb_Idle) {
    FSpeakers.clear();
    if (FQuitting)
      FDone = true;
    else if (!FPendingConnect.empty()) {
      std::string Address = std::move(FPendingConnect);
      FPendingConnect.clear();
      ConnectToAddress(Address);
    }
  }
}

void TConsoleClient::HandleLine(const std::string& Line) {
  if (Line.empty())
    return;
  std::string Reply;
  if (!ScriptCommand(Line, Reply))
    Reply = ExecuteRemoteCommand(this, Line);
  Print(TJsonLine().Add("command", Line).Add("reply", Reply).Str());
}

void TConsoleClient::HandleInputEnd() {
  BeginQuit();
}

void TConsoleClient::BeginQuit() {
  if (FQuitting)
    return;
  FQuitting = true;
  if (FClient->State() == csIdle) {
    FDone = true;
    return;
  }
  // Disconnect raises the closing kinds and the loop ends on kind 50; a
  // client that never reports idle must not keep the program alive.
  FQuitDeadline = std::chrono::steady_clock::now() + DisconnectGrace;
  FClient->Disconnect();
}

bool TConsoleClient::ScriptCommand(const std::string& Line, std::string& Reply) {
  (void)Line;
  (void)Reply;
  return false;
}

void TConsoleClient::PostRecord(const void* Data, int32_t Size) {
  FEvents->PostCopy(Data, Size);
}

void TConsoleClient::Quit() {
  // Finish after the reply of the current command has been printed.
  FLoop.Post([this] { BeginQuit(); });
}

bool TConsoleClient::DisconnectEnabled() {
  uint8_t S = FClient->State();
  return S == csConnecting || S == csConnected;
}

void TConsoleClient::ToggleOutputMuted() {
  FClient->PlayerSetFlags(FClient->PlayerFlags() ^ Bit(pfOutputMuted));
}
void TConsoleClient::ToggleInputMuted() {
  FClient->PlayerSetFlags(FClient->PlayerFlags() ^ Bit(pfInputMuted));
}

bool TConsoleClient::Connected() {
  return FClient->State() == csConnected;
}

std::optional<uint32_t> TConsoleClient::ResolveChannelName(const std::string& Name) {
  std::vector<TKeyChannel> List;
  for (const auto& C : FClient->ListChannels())
    List.push_back({C.Info.Id, C.Info.ParentId,
                    std::string(C.Info.Name, strnlen(C.Info.Name, sizeof C.Info.Name))});
  int64_t Id =
      orlavonix::ResolveChannelName(List, FClient->ChannelId(), FClient->ChannelParentId(), Name);
  if (Id < 0)
    return std::nullopt;
  return static_cast<uint32_t>(Id);
}

std::vector<TRemoteChannel> TConsoleClient::Channels() {
  std::vector<TRemoteChannel> Out;
  for (const auto& C : FClient->ListChannels())
    Out.push_back({C.Info.Id, C.Info.ParentId, C.Info.Codec, C.Info.Flags,
                   std::string(C.Info.Name, strnlen(C.Info.Name, sizeof C.Info.Name))});
  return Out;
}

std::vector<TRemotePlayer> TConsoleClient::Players() {
  std::vector<TRemotePlayer> Out;
  for (const auto& P : FClient->ListPlayers())
    Out.push_back({P.Id, P.ChannelId, P.ChannelPrivileges, P.PlayerPrivileges, P.Flags,
                   GetShortString(P.Nick, 29)});
  return Out;
}

std::optional<uint32_t> TConsoleClient::OwnPlayerId() {
  if (FClient->State() != csConnected)
    return std::nullopt;
  return FClient->PlayerId();
}

TRemoteServerInfo TConsoleClient::ServerInfo() {
  TRemoteServerInfo S;
  S.Name = FClient->ServerName();
  S.WelcomeMessage = FClient->WelcomeMessage();
  auto V = FClient->ServerVersion();
  for (int I = 0; I < 4; ++I)
    S.Version[I] = static_cast<uint8_t>(V[static_cast<size_t>(I)]);
  S.Platform = FClient->ServerPlatform();
  S.ResolvedAddress = FClient->ServerAddress();
  S.EnteredAddress = FClient->ServerHost();
  S.ServerType = FClient->ServerType();
  S.MaxUsers = static_cast<int32_t>(FClient->ServerMaxUsers());
  S.CodecMask = FClient->SupportedCodecs();
  return S;
}

std::vector<uint32_t> TConsoleClient::Speakers() {
  return std::vector<uint32_t>(FSpeakers.begin(), FSpeakers.end());
}

void TConsoleClient::SwitchChannel(uint32_t ChannelId, const std::string& Password) {
  FClient->PlayerSwitchChannel(ChannelId, Password);
}
void TConsoleClient::SetOwnFlags(uint16_t Flags) {
  FClient->PlayerSetFlags(Flags);
}
void TConsoleClient::SetVoiceRequestReason(const std::string& Reason) {
  FClient->PlayerRequestVoice(Reason);
}
void TConsoleClient::GrantOperator(uint32_t PlayerId, TGrantRevoke Grant) {
  FClient->PlayerSetChannelPrivilege(PlayerId, Grant, pcpOperator);
}
void TConsoleClient::GrantVoice(uint32_t PlayerId, TGrantRevoke Grant) {
  FClient->PlayerSetChannelPrivilege(PlayerId, Grant, pcpVoiced);
}
void TConsoleClient::KickFromServer(uint32_t PlayerId, const std::string& Reason) {
  FClient->PlayerKickFromServer(PlayerId, Reason);
}
void TConsoleClient::KickFromChannel(uint32_t PlayerId, const std::string& Reason) {
  FClient->PlayerKickFromChannel(PlayerId, Reason);
}
void TConsoleClient::SendChannelMessage(uint32_t ChannelId, const std::string& Text) {
  FClient->SendTextMessage(Text, 0, 1, ChannelId);
}

} // namespace orlavonix
