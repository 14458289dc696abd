#include "protocol/ClientProtocol.h"

#include <chrono>
#include <cstring>
#include <thread>

#include "base/Bytes.h"
#include "base/Format.h"
#include "protocol/ClientProtocolStrings.h"
#include "protocol/logdebug.h"

namespace orlavonix {

namespace {
void Sleep(int Ms) {
  std::this_thread::sleep_for(std::chrono::milliseconds(Ms));
}

// Bits cleared in each user type's permission set when it is stored.
constexpr std::array<std::array<uint8_t, PermissionSetSize>, PermissionSetCount> PermissionMasks =
    [] {
      std::array<std::array<uint8_t, PermissionSetSize>, PermissionSetCount> M{};
      auto Set = [&M](int Type, int From, int To) {
        for (int B = From; B <= To; ++B)
          M[static_cast<size_t>(Type)][static_cast<size_t>(B / 8)] |=
              static_cast<uint8_t>(1u << (B % 8));
      };
      // Server Admin
      Set(0, 13, 16);
      Set(0, 19, 19);
      // Channel Admin, Operator, Voiced
      for (int T = 1; T <= 3; ++T) {
        Set(T, 0, 2);
        Set(T, 8, 27);
        Set(T, 33, 36);
        Set(T, 47, 47);
        Set(T, 49, 49);
        Set(T, 55, 56);
        Set(T, 62, 65);
        Set(T, 75, 75);
      }
      // Registered: none. Anonymous:
      Set(5, 0, 2);
      Set(5, 8, 24);
      Set(5, 26, 27);
      return M;
    }();
} // namespace

// ---------------------------------------------------------------------------
// Threads

TClientReadThread::~TClientReadThread() {
  Terminate();
  WaitFor();
}

void TClientReadThread::Execute() {
  uint8_t Data[580];
  while (!Terminated() && !FBuffer.Closing()) {
    try {
      const uint8_t S = FClient.State();
      if (FUDP && FUDP->Active() && (S == csConnecting || S == csConnected)) {
        std::string Host;
        uint16_t Port = 0;
        size_t N = FUDP->Receive(Data, sizeof Data, 100, Host, Port);
        if (N > 1 && !Terminated() && !FBuffer.Closing()) {
          auto P = std::make_unique<TPacket>(Data, static_cast<int32_t>(N));
          P->SetPeer(Host, Port, "");
          FBuffer.ReceivePacket(std::move(P));
        }
      } else {
        FIdle = true;
        Sleep(50);
      }
    } catch (const ESocketError& E) {
      if (E.Code() == seInvalidArgument)
        continue;
      if (E.Code() == seConnectionReset)
        FClient.FLoginSocketError = E.Code();
      LogError("procedure TClientReadThread.Execute", E.what());
    } catch (const std::exception& E) {
      LogError("procedure TClientReadThread.Execute", E.what());
    }
  }
  FIdle = true;
  LogDebug("TClientReadThread.Execute", "leaving");
}

TClientWriteThread::~TClientWriteThread() {
  Terminate();
  WaitFor();
}

void TClientWriteThread::Execute() {
  while (!Terminated() && !FBuffer.Closing()) {
    try {
      TPacketPtr P = FBuffer.GetPacketToSend(-1);
      if (!P)
        break;
      if (FClient.FOptions & coCallbackTransport)
        FClient.RaiseSendPacket(*P);
      else if (FUDP && FUDP->Active())
        FUDP->Send(P->Memory(), static_cast<size_t>(P->Size()));
    } catch (const std::exception& E) {
      LogError("procedure TClientWriteThread.Execute", E.what());
    }
  }
  FBuffer.ThreadStopped(tsSendThread);
  LogDebug("TClientWriteThread.Execute", "Close confirmed");
}

TClientEventThread::~TClientEventThread() {
  Terminate();
  WaitFor();
}

void TClientEventThread::Execute() {
  while (!Terminated() && !FBuffer.Closing()) {
    try {
      int32_t Kind = bekNone;
      uint32_t Id = 0;
      TPacketPtr P;
      FBuffer.WaitForEvent(Kind, Id, P);
      if (Kind == bekPacketReceived) {
        if (P->IsCommand())
          FClient.HandleCommand(*P);
        else if (P->IsServerVoice())
          FClient.HandleVoicePacket(std::move(P));
      } else if (Kind == bekConnectionTimedOut) {
        FClient.DisconnectWithReason(crTimedOut, 0, "");
      } else if (Kind == bekClosing) {
        break;
      }
    } catch (const std::exception& E) {
      LogError("procedure TClientEventThread.Execute", E.what());
    }
  }
  FBuffer.ThreadStopped(tsEventThread);
  LogDebug("TClientEventThread.Execute", "Close confirmed");
}

// ---------------------------------------------------------------------------
// Life cycle

TClient::TClient(TClientCallback Callback, uint8_t Options, const TClock* Clock) {
  if ((Options & coClientDoesLogin) && !(Options & coDoTransport))
    throw EProtocol("coClientDoesLogin needs coDoTransport");
  if ((Options & coDoTransport) && !(Options & coClientDoesLogin))
    throw EProtocol("coDoTransport needs coClientDoesLogin");
  FOptions = Options;
  OpenCodecLibraries();
  FCallback = std::move(Callback);
  if (FOptions & coDoTransport)
    FUDP = std::make_unique<TUdpSocket>();
  {
    std::lock_guard<std::mutex> G(FBufferLock);
    FBuffer = std::make_unique<TCustomPacketBuffer>(
        static_cast<uint8_t>(pboClient | (FOptions & coResend) | (FOptions & coKeepAlive)), Clock);
  }
  LogDebug("Client Open", "Creating and starting threads");
  if (FOptions & coDoTransport)
    FClientReadThread = std::make_unique<TClientReadThread>(FUDP.get(), *FBuffer, *this);
  if (FOptions & (coDoTransport | coCallbackTransport))
    FClientWriteThread = std::make_unique<TClientWriteThread>(FUDP.get(), *FBuffer, *this);
  else
    FBuffer->ThreadStopped(tsSendThread); // nobody to wait for when closing
  FClientEventThread = std::make_unique<TClientEventThread>(*FBuffer, *this);
  if (FClientReadThread)
    FClientReadThread->Start();
  if (FClientWriteThread)
    FClientWriteThread->Start();
  FClientEventThread->Start();
}

TClient::~TClient() {
  Shutdown();
}

void TClient::Shutdown() {
  if (FShutDown.exchange(true))
    return;
  try {
    const uint8_t S = State();
    if (S == csConnecting || S == csConnected)
      Disconnect();
  } catch (const std::exception& E) {
    LogException("TClient.Destroy", E);
  }
  if (FClientReadThread) {
    FClientReadThread->Terminate();
    LogDebug("TClient.Destroy", "active FClientReadThread.waitfor");
    FClientReadThread->WaitFor();
    LogDebug("TClient.Destroy", "active FClientReadThread.freeing");
    FClientReadThread.reset();
    LogDebug("TClient.Destroy", "active FClientReadThread.Freed");
  }
  {
    std::lock_guard<std::mutex> G(FBufferLock);
    FBuffer->Close();
  }
  LogDebug("TClient.Destroy", "active closed buffer");
  if (FClientWriteThread) {
    FClientWriteThread.reset();
    LogDebug("TClient.Destroy", "active FClientWriteThread.Freed;");
  }
  FClientEventThread.reset();
  LogDebug("TClient.Destroy", "active FClientEventThread.Freed");
  {
    std::lock_guard<std::mutex> G(FBufferLock);
    FBuffer.reset();
  }
  LogDebug("TClient.Destroy", "active destroyed buffer");
  FPlayers.Clear();
  FChannels.Clear();
  if (FUDP)
    FUDP->Close();
  CloseCodecLibraries();
}

// ---------------------------------------------------------------------------
// Ending a connection

void TClient::Disconnect() {
  const uint8_t S = State();
  if (S != csConnecting && S != csConnected)
    return;
  TByteWriter W = RequestFrame(300);
  SendRequest(W);
  FLogoutSent = true;
  if (FOptions & coClientDoesLogin) {
    // Give the send thread up to half a second to put the logout on the wire.
    const uint32_t Me = FPlayerId;
    for (int I = 0; I < 50; ++I) {
      bool Queued = false;
      {
        std::lock_guard<std::mutex> G(FBufferLock);
        if (FBuffer)
          FBuffer->InspectConnection(
              Me, [&](const TSingleConnection& C) { Queued = C.QueuedCommands() > 0; });
      }
      if (!Queued)
        break;
      Sleep(10);
    }
  }
  CloseCon();
}

void TClient::DisconnectWithReason(uint8_t Reason, uint32_t KickerId, std::string_view ReasonText) {
  {
    std::lock_guard<std::recursive_mutex> G(FReportLock);
    if (FDisconnectReported || State() == csIdle)
      return;
    FDisconnectReported = true;
    {
      std::lock_guard<std::mutex> B(FBufferLock);
      if (FBuffer)
        FBuffer->RemoveConnection(FPlayerId);
    }
    TcbClose R{};
    R.Kind = cb_close;
    R.KickerId = KickerId;
    SetField(R.KickerNick, FPlayers.GetNick(KickerId));
    R.Reason = Reason;
    SetField(R.ReasonText, ReasonText.substr(0, 29));
    Raise(R);
  }
  CloseCon();
}

void TClient::CloseCon() {
  LogDebug("TClient.CloseCon", "enter");
  {
    std::lock_guard<std::mutex> G(FCloseLock);
    const uint8_t S = State();
    if (S != csConnecting && S != csConnected) {
      LogDebug("TClient.CloseCon", "leave");
      return;
    }
    LogDebug("TClient.CloseCon", "active enter");
    FState = csClosing;
    if (FClientReadThread)
      FClientReadThread->FIdle = false;
  }
  try {
    std::lock_guard<std::recursive_mutex> G(FReportLock);
    DisconnectWithReason(crClosed, 0, "");
    LogDebug("TClient.CloseCon", "active Send close");
    if (FOptions & coDoTransport) {
      for (int I = 0; I < 50 && FClientReadThread && !FClientReadThread->FIdle; ++I)
        Sleep(10);
      FUDP->Close();
      LogDebug("TClient.CloseCon", "active UDP closed");
    }
    FPlayers.Clear();
    FChannels.Clear();
    LogDebug("TClient.CloseCon", "active cleared nodes");
    ResetTransmitPath();
    // Idle before it is announced, so that whoever reacts to kind 50 can
    // connect again at once.
    FState = csIdle;
    TcbKindOnly R{cb_Idle};
    Raise(R);
    LogDebug("TClient.CloseCon", "active leave");
  } catch (...) {
    FState = csIdle;
    LogDebug("TClient.CloseCon", "leave");
    throw;
  }
  LogDebug("TClient.CloseCon", "leave");
}

// ---------------------------------------------------------------------------

void TClient::SetConnectionTimeouts(int32_t LoginMs, int32_t ConnectedMs) {
  std::lock_guard<std::mutex> G(FBufferLock);
  if (FBuffer)
    FBuffer->SetTimeouts(LoginMs, ConnectedMs);
}

void TClient::GetBandwidth(int32_t& Upload, int32_t& Download) const {
  Upload = FUploadLimit;
  Download = FDownloadLimit;
}

void TClient::SetBandwidth(int32_t Upload, int32_t Download) {
  FUploadLimit = Upload;
  FDownloadLimit = Download;
  if (State() != csConnected)
    return;
  {
    std::lock_guard<std::mutex> G(FBufferLock);
    if (FBuffer)
      FBuffer->SetUploadLimit(FPlayerId, Upload);
  }
  SetDownloadLimit(Download);
}

bool TClient::CodecSupported(int32_t Codec) const {
  const uint8_t S = State();
  if (S == csConnecting || S == csConnected)
    return (FSupportedCodecs.load() >> (static_cast<uint32_t>(Codec) % 32)) & 1u;
  return Codec >= 0 && Codec <= 12 && Codec != 4;
}

std::string TClient::ServerTypeText() const {
  return orlavonix::ServerTypeText(FServerType);
}

std::string TClient::ServerVersionText() const {
  auto V = ServerVersion();
  return Format("%d.%d.%d.%d", V[0], V[1], V[2], V[3]);
}

TBufferStatistics TClient::GetStatistics() {
  std::lock_guard<std::mutex> G(FBufferLock);
  return FBuffer ? FBuffer->GetStatistics() : TBufferStatistics{};
}

bool TClient::DoCallback(const void* Data, int32_t Size) {
  if (!FCallback)
    return false;
  try {
    return FCallback(Data, Size);
  } catch (const std::exception& E) {
    LogFmt(lkError, "TClient.DoCallback", "exception %1: %2", ExceptionClassName(E), E.what());
    return false;
  }
}

void TClient::RaiseSendPacket(const TPacket& Packet) {
  TcbSendPacket R{};
  R.Kind = cb_SendPacket;
  R.Size = static_cast<uint32_t>(std::min<int32_t>(Packet.Size(), sizeof R.Data));
  const bool NeedsCare =
      Packet.IsCommand() || (Packet.IsMaintenance() && Packet.MaintenanceHeader()->PacketType >= 3);
  R.Reliable = NeedsCare && (FOptions & coResend) ? 1 : 0;
  std::memcpy(R.Data, Packet.Memory(), R.Size);
  Raise(R);
}

void TClient::ReceiveDatagram(const void* Data, size_t Size, const std::string& Host,
                              uint16_t Port) {
  if (Size <= 1 || Size > 65521)
    return;
  try {
    auto P = std::make_unique<TPacket>(Data, static_cast<int32_t>(Size));
    P->SetPeer(Host, Port, "");
    std::lock_guard<std::mutex> G(FBufferLock);
    if (FBuffer && !FBuffer->Closing())
      FBuffer->ReceivePacket(std::move(P));
  } catch (const std::exception& E) {
    LogError("TClient.ReceiveDatagram", E.what());
  }
}

// ---------------------------------------------------------------------------
// Own state

std::string TClient::ServerName() const {
  std::lock_guard<std::mutex> G(FInfoLock);
  return FServerName;
}
std::string TClient::ServerAddress() const {
  std::lock_guard<std::mutex> G(FInfoLock);
  return FServerAddress;
}
std::string TClient::ServerHost() const {
  std::lock_guard<std::mutex> G(FInfoLock);
  return FServerHost;
}
std::string TClient::ServerPlatform() const {
  std::lock_guard<std::mutex> G(FInfoLock);
  return FServerPlatform;
}
std::array<uint16_t, 4> TClient::ServerVersion() const {
  std::lock_guard<std::mutex> G(FInfoLock);
  return FServerVersion;
}
std::string TClient::WelcomeMessage() const {
  std::lock_guard<std::mutex> G(FInfoLock);
  return FWelcomeMessage;
}
std::string TClient::BannerUrl() const {
  std::lock_guard<std::mutex> G(FInfoLock);
  return FBannerUrl;
}
std::string TClient::BannerLinkUrl() const {
  std::lock_guard<std::mutex> G(FInfoLock);
  return FBannerLinkUrl;
}
TPermissions TClient::Permissions() const {
  std::lock_guard<std::mutex> G(FInfoLock);
  return FPermissions;
}

void TClient::StorePermissions(const uint8_t* Table) {
  std::lock_guard<std::mutex> G(FInfoLock);
  for (size_t T = 0; T < PermissionSetCount; ++T)
    for (size_t B = 0; B < PermissionSetSize; ++B)
      FPermissions[T][B] =
          static_cast<uint8_t>(Table[T * PermissionSetSize + B] & ~PermissionMasks[T][B]);
}


} // namespace orlavonix
