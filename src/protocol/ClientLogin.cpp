// Connecting and the login exchange.
#include <chrono>
#include <cstring>
#include <sys/utsname.h>
#include <thread>

#include "base/Bytes.h"
#include "base/Format.h"
#include "protocol/ClientProtocol.h"
#include "protocol/logdebug.h"

namespace orlavonix {

namespace {
constexpr const char* ClientName = "Orlavonix";
constexpr uint16_t ClientVersion[4] = {2, 0, 32, 60};

std::string Cut29(const std::string& S) {
  return S.substr(0, 29);
}

std::string ClientPlatform() {
  utsname U{};
  if (uname(&U) != 0)
    return std::string();
  return Cut29(std::string(U.sysname) + " " + U.release + " " + U.version);
}

int32_t ResolverOrResetResult(int Code) {
  switch (Code) {
  case seHostNotFound:
  case seTryAgain:
  case seNoRecovery:
  case seNoData:
    return -14;
  case seConnectionReset:
    return -20;
  default:
    return -16;
  }
}
} // namespace

TPacketPtr TClient::BuildLoginStep1(const TLoginRequest& R) {
  TByteWriter W;
  W.U16(PacketClassMaintenance).U16(mtLoginStep1).U32(0).U32(0).U32(1).U32(0);
  W.ShortString(ClientName, 29);
  W.ShortString(ClientPlatform(), 29);
  for (uint16_t V : ClientVersion)
    W.U16(V);
  W.U8(R.LoginFlag ? 1 : 0);
  W.U8(R.Anonymous ? 1 : 2);
  W.ShortString(R.Anonymous ? std::string() : R.LoginName, 29);
  W.ShortString(R.Password, 29);
  W.ShortString(R.Nickname, 29);
  auto P = std::make_unique<TPacket>(W.Data().data(), static_cast<int32_t>(W.Size()));
  return P;
}

void TClient::ResetSocket() {
  if (FUDP)
    FUDP->Close();
}

void TClient::CheckLoginReply(TPacket& Reply) {
  if (Reply.Size() != LoginReplySize)
    throw EProtocol("LoginStep 2 packet to short");
  if (!Reply.CheckCrc())
    throw EProtocol("LoginStep2 CRC error");
  if (!Reply.IsMaintenance())
    throw EProtocol("LoginStep2 not maint header");
  if (Reply.MaintenanceHeader()->PacketType != mtLoginStep2)
    throw EProtocol("Not LoginStep2 packet");
}

int32_t TClient::Connect(const std::string& Host, uint16_t Port, const std::string& Nickname,
                         const std::string& LoginName, const std::string& Password,
                         const std::string& Channel, const std::string& SubChannel,
                         const std::string& ChannelPassword, bool Anonymous, bool LoginFlag,
                         int32_t /*Reserved*/, std::string& ErrorText) {
  if (!(FOptions & coDoTransport))
    throw EProtocol("CoDoTransport not in Client OPtions. This function can not be called");
  int32_t Result = -50;
  uint8_t Idle = csIdle;
  if (!FState.compare_exchange_strong(Idle, csConnecting))
    return -50;
  TLoginRequest Request{Nickname,   LoginName,       Password,  Channel,
                        SubChannel, ChannelPassword, Anonymous, LoginFlag};
  TPacketPtr Reply;
  try {
    std::string Address = TUdpSocket::Resolve(Host);
    FUDP->Open(Address, Port);
    LogFmt(lkDebug, "Client Open", "host %1 resolved to %2", Host, Address);
    TPacketPtr Step1 = BuildLoginStep1(Request);
    FLogoutSent = false;
    LogDebug("Client Open", "Send LoginStep1");
    Step1->SetCrc();
    FLoginSocketError = 0;
    // Capture before sending: a server on the same machine can answer before
    // the next line runs, and a reply that finds no capture is dropped.
    FBuffer->SetCaptureLoginReply(true);
    FUDP->Send(Step1->Memory(), static_cast<size_t>(Step1->Size()));
    Step1.reset();
    LogDebug("Client Open", "Waiting for LoginStep2");
    int Error = 0;
    for (int I = 0; I < 61; ++I) {
      Reply = FBuffer->TakeLoginReply();
      if (Reply)
        break;
      // A closed port answers at once; no need to wait out the time.
      Error = FLoginSocketError.exchange(0);
      if (Error == seConnectionReset)
        break;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    FBuffer->SetCaptureLoginReply(false);
    if (!Reply && Error == seConnectionReset)
      throw MakeSocketError(Error);
    if (!Reply) {
      Result = -11;
      throw Exception("Timeout on recv LoginStep2 wait");
    }
    LogDebug("Client Open", "LoginStep2 received");
    CheckLoginReply(*Reply);
    std::vector<uint8_t> Copy(Reply->Memory(), Reply->Memory() + LoginReplySize);
    Reply.reset();
    return LoginStep3(Copy.data(), Host, Port, Request, ErrorText);
  } catch (const EProtocol& E) {
    Result = -16;
    LogError("Client Open", std::string("Eprotocol: ") + E.what());
  } catch (const ESocketError& E) {
    Result = ResolverOrResetResult(E.Code());
    LogError("Client Open", std::string("EidSocket: ") + E.what());
  } catch (const std::exception& E) {
    LogError("Client Open", std::string("Exception: ") + E.what());
  }
  FBuffer->SetCaptureLoginReply(false);
  Reply.reset();
  ResetSocket();
  FState = csIdle;
  return Result;
}

int32_t TClient::LoginWithReply(const void* Reply, size_t Size, const TLoginRequest& Request,
                                std::string& ErrorText) {
  uint8_t Idle = csIdle;
  if (!FState.compare_exchange_strong(Idle, csConnecting))
    return -50;
  FLogoutSent = false;
  try {
    if (Size != LoginReplySize)
      throw EProtocol("LoginStep 2 packet to short");
    TPacket P(Reply, static_cast<int32_t>(Size));
    CheckLoginReply(P);
    return LoginStep3(P.Memory(), "nohost", 0, Request, ErrorText);
  } catch (const EProtocol& E) {
    LogError("Client Open", std::string("Eprotocol: ") + E.what());
  }
  FState = csIdle;
  return -16;
}

int32_t TClient::LoginStep3(const uint8_t* R, const std::string& Host, uint16_t Port,
                            const TLoginRequest& Request, std::string& ErrorText) {
  int32_t Result = -50;
  const int32_t LoginResult = GetLE<int32_t>(R + 88);
  const uint32_t Me = GetLE<uint32_t>(R + 176);
  const uint32_t ConnectionId = GetLE<uint32_t>(R + 172);
  bool Added = false;
  std::unique_lock<std::mutex> Dispatch(FDispatchLock, std::defer_lock);
  try {
    if (LoginResult != 1) {
      std::string Text;
      switch (LoginResult) {
      case -1:
      case -21:
        Text = "Bad login", Result = -21;
        break;
      case -2:
        Text = "Server is full", Result = -13;
        break;
      case -3:
        Text = "No Anonymous", Result = -17;
        break;
      case -4:
        Text = "Nick in use", Result = -116;
        break;
      case -5:
        Text = "Client version not supported", Result = -18;
        break;
      case -6:
        Text = "Client ip banned", Result = -22;
        break;
      case -7:
        Text = "Login already in use", Result = -23;
        break;
      default:
        Text = Format("Bad Error code (%d)", LoginResult);
      }
      throw Exception(Text);
    }
    const std::string SocketHost = FUDP ? FUDP->RemoteHost() : std::string("0.0.0.0");
    const uint16_t SocketPort = FUDP ? FUDP->RemotePort() : 0;
    std::array<uint16_t, 4> Version;
    for (size_t I = 0; I < 4; ++I)
      Version[I] = GetLE<uint16_t>(R + 80 + 2 * I);
    if (Version[0] != 2 || Version[2] < 17) {
      Result = -19;
      TByteWriter W;
      W.U16(PacketClassCommand).I16(5).U32(0).U32(Me).U32(1).U16(0).U8(0).U8(0).U32(0);
      W.U8(0).Zeros(120 - 25);
      auto Refusal = std::make_unique<TPacket>(W.Data().data(), static_cast<int32_t>(W.Size()));
      Refusal->SetPeer(SocketHost, SocketPort, "");
      {
        std::lock_guard<std::mutex> G(FBufferLock);
        FBuffer->SendUnbound(std::move(Refusal));
      }
      // The socket is reset below: let the refusal leave first.
      for (int I = 0; I < 50 && FBuffer->UnboundCount() > 0; ++I)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      throw Exception("Server version not supported");
    }
    FPlayerId = Me;
    FChannelId = -1;
    FChannelParentId = -1;
    FLastWhisperer = -1;
    {
      std::lock_guard<std::mutex> G(FInfoLock);
      FServerName = GetShortString(R + 20, 29);
      FServerAddress = FUDP ? SocketHost + ":" + std::to_string(SocketPort) : "0.0.0.0:0";
      FServerHost = FUDP ? Host + ":" + std::to_string(Port) : "nohost:0";
      FServerPlatform = GetShortString(R + 50, 29);
      FServerVersion = Version;
      FWelcomeMessage = GetShortString(R + 180, 255);
    }
    FSupportedCodecs = GetLE<uint32_t>(R + 92);
    FServerValue2 = GetLE<uint32_t>(R + 96);
    FServerType = GetLE<uint16_t>(R + 100);
    StorePermissions(R + 102);
    FServerMaxUsers = GetLE<uint32_t>(R + 168);

    // Nothing the server sends for this connection is handled before kind 2.
    Dispatch.lock();
    {
      std::lock_guard<std::mutex> G(FBufferLock);
      FBuffer->AddConnection(Me, ConnectionId, SocketHost, SocketPort,
                             (FOptions & coClientDoesLogin) ? 1 : 0, "");
      Added = true;
      TByteWriter W;
      W.U16(PacketClassCommand).I16(5).U32(0).U32(Me).U32(0).U16(0).U8(0).U8(0).U32(0);
      W.U8(1).U8(0);
      W.ShortString(Request.Channel, 29);
      W.ShortString(Request.SubChannel, 29);
      W.ShortString(Request.ChannelPassword, 29);
      W.I32(FDownloadLimit);
      LogDebug("Client Open", "Sending LoginStep3");
      FBuffer->SendPacket(
          std::make_unique<TPacket>(W.Data().data(), static_cast<int32_t>(W.Size())));
      FBuffer->SetUploadLimit(Me, FUploadLimit);
    }
    Result = 0;
    FDisconnectReported = false;
    TcbConnecting E{};
    E.Kind = cb_connecting;
    SetField(E.ServerName, ServerName());
    SetField(E.WelcomeMessage, WelcomeMessage());
    Raise(E);
    return Result;
  } catch (const ESocketError& E) {
    Result = ResolverOrResetResult(E.Code());
    LogError("Client Open", std::string("EidSocket: ") + E.what());
  } catch (const std::exception& E) {
    if (LoginResult != 1) {
      std::string Text = GetShortString(R + 180, 255);
      if (!Text.empty())
        ErrorText = Text;
    }
    LogError("Client Open", std::string("Exception: ") + E.what());
  }
  // A connection left behind would time out later and report an end of a
  // connection that never began.
  if (Added) {
    std::lock_guard<std::mutex> G(FBufferLock);
    FBuffer->RemoveConnection(Me);
  }
  ResetSocket();
  FState = csIdle;
  return Result;
}

} // namespace orlavonix
