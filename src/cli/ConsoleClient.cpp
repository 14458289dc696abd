#include "cli/ConsoleClient.h"

#include <cerrno>
#include <cstring>
#include <poll.h>
#include <unistd.h>

#include "audio/SoundBackends.h"
#include "cli/EventJson.h"
#include "cli/JsonLine.h"
#include "config/ConfigFile.h"
#include "config/ConfigSections.h"
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
  FSound.reset(); // the I/O thread stops before the client it feeds goes
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

std::string TConsoleClient::SetUpSound() {
  int32_t Kind = FOptions.Sound == TSoundChoice::Oss       ? 0
                 : FOptions.Sound == TSoundChoice::Network ? 1
                                                           : -1;
  std::string Name = FOptions.SoundName;
  int32_t BufferSize = FOptions.BufferSize;
  if (!FOptions.ConfigFile.empty()) {
    TConfigFile Config(FOptions.ConfigFile);
    try {
      if (auto B = ReadBandwidthSettings(Config))
        FClient->SetBandwidth(B->Upload, B->Download);
      if (auto V = ReadVolumeSettings(Config))
        FClient->snd_SetVolume(static_cast<float>(V->OutputVolume) / 10.0f);
      // The command line's device wins over the file's.
      auto D = ReadSoundDeviceSettings(Config);
      if (D && FOptions.Sound == TSoundChoice::None && !FOptions.SoundGiven) {
        Kind = D->OutputKind;
        Name = D->OutputDevice;
        BufferSize = D->BufferSize;
      }
    } catch (const std::exception& E) {
      return "settings file " + FOptions.ConfigFile + ": " + E.what();
    }
  }
  if (FOptions.VoxLevel >= 0) {
    FClient->snd_SetPushToTalk(false);
    FClient->snd_SetVoxLevel(FOptions.VoxLevel);
  } else {
    FClient->snd_SetPushToTalk(true);
  }
  if (Kind < 0)
    return "";
  FSound = std::make_unique<TLinuxSound>(FClient.get(), nullptr, CreateSoundBackend);
  FSound->SetBufferSize(BufferSize);
  try {
    if (!FSound->OpenDevice(Kind, Name, false))
      return "cannot open the sound device " + Name;
  } catch (const std::exception& E) {
    return "sound device " + Name + ": " + E.what();
  }
  return "";
}

int TConsoleClient::Run(int InputFd) {
  std::string SoundError = SetUpSound();
  if (!SoundError.empty()) {
    std::fprintf(FErr, "orlavonix-cli: %s\n", SoundError.c_str());
    return 1;
  }
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

std::vector<uint8_t> TConsoleClient::WhisperTargets(const std::string& Text, std::string& Error) {
  std::vector<uint8_t> Block{0};
  size_t Start = 0;
  while (Start <= Text.size()) {
    size_t End = Text.find(';', Start);
    std::string Item =
        Text.substr(Start, End == std::string::npos ? std::string::npos : End - Start);
    Start = End == std::string::npos ? Text.size() + 1 : End + 1;
    size_t Space = Item.find(' ');
    std::string What = Item.substr(0, Space),
                Name = Space == std::string::npos ? "" : Item.substr(Space + 1);
    std::optional<uint32_t> Id;
    uint8_t TargetKind;
    if (What == "PLAYER") {
      TargetKind = 1;
      for (const auto& P : Players())
        if (P.Nickname == Name)
          Id = P.Id;
    } else if (What == "CHANNEL") {
      TargetKind = 0;
      Id = ResolveChannelName(Name);
    } else {
      Error = "ERROR -7 PARAM IS NOT VALID";
      return {};
    }
    if (!Id) {
      Error = What == "PLAYER" ? "ERROR -40 PLAYER NOT FOUND" : "ERROR -20 CHANNEL NOT FOUND";
      return {};
    }
    if (Block[0] == 255)
      break;
    Block[0]++;
    Block.push_back(TargetKind);
    for (int I = 0; I < 4; ++I)
      Block.push_back(static_cast<uint8_t>(*Id >> (8 * I)));
  }
  return Block;
}

// The console's own words for scripts: push-to-talk and whispering.
bool TConsoleClient::ScriptCommand(const std::string& Line, std::string& Reply) {
  if (Line == "TALK ON" || Line == "TALK OFF") {
    FClient->snd_SetPushToTalkPressed(Line == "TALK ON");
    Reply = "OK";
    return true;
  }
  if (Line == "WHISPER OFF") {
    FClient->snd_SetWhisper({}, false);
    Reply = "OK";
    return true;
  }
  if (Line.rfind("WHISPER ", 0) == 0) {
    if (!Connected()) {
      Reply = "ERROR -1 NOT CONNECTED";
      return true;
    }
    std::string Error;
    auto Block = WhisperTargets(Line.substr(8), Error);
    if (Block.empty()) {
      Reply = Error;
      return true;
    }
    FClient->snd_SetWhisper(std::move(Block), true);
    Reply = "OK";
    return true;
  }
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
  FClient->snd_SetOutputMuted(!FClient->OutputMuted());
}
void TConsoleClient::ToggleInputMuted() {
  FClient->snd_SetInputMuted(!FClient->InputMuted());
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
