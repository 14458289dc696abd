#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "base/Bytes.h"
#include "base/Exceptions.h"
#include "base/Thread.h"
#include "protocol/ClientEvents.h"
#include "protocol/ClientRegistry.h"
#include "protocol/PacketBuffers.h"
#include "protocol/TimeTools.h"
#include "protocol/UdpSocket.h"
#include "voice/ClientSoundBase.h"

struct hvdi_enc_state;

namespace orlavonix {

ORLAVONIX_DECLARE_EXCEPTION(EProtocol, Exception);
struct TSpeexCodec;

// Client options.
constexpr uint8_t coResend = 1;
constexpr uint8_t coKeepAlive = 2;
constexpr uint8_t coDoTransport = 4;
constexpr uint8_t coClientDoesLogin = 8;
constexpr uint8_t coCallbackTransport = 16;

// Connection states.
constexpr uint8_t csIdle = 0;
constexpr uint8_t csConnecting = 1;
constexpr uint8_t csConnected = 2;
constexpr uint8_t csClosing = 3;

constexpr int LoginReplySize = 436;
constexpr int PermissionSetSize = 11;
constexpr int PermissionSetCount = 6;
using TPermissions = std::array<std::array<uint8_t, PermissionSetSize>, PermissionSetCount>;

// The event callback: a record and its size; the record is valid only during
// the call.
using TClientCallback = std::function<bool(const void* Data, int32_t Size)>;

// What the login needs besides the server's address.
struct TLoginRequest {
  std::string Nickname;
  std::string LoginName;
  std::string Password;
  std::string Channel;
  std::string SubChannel;
  std::string ChannelPassword;
  bool Anonymous = true;
  bool LoginFlag = false;
};

class TClient;

class TUDPClientThread : public TThread {
public:
  TUDPClientThread(TUdpSocket* UDP, TCustomPacketBuffer& Buffer, TClient& Client)
      : FUDP(UDP), FBuffer(Buffer), FClient(Client) {}

protected:
  TUdpSocket* FUDP;
  TCustomPacketBuffer& FBuffer;
  TClient& FClient;
};

class TClientReadThread : public TUDPClientThread {
public:
  using TUDPClientThread::TUDPClientThread;
  ~TClientReadThread() override;
  std::atomic<bool> FIdle{false};

protected:
  void Execute() override;
};

class TClientWriteThread : public TUDPClientThread {
public:
  using TUDPClientThread::TUDPClientThread;
  ~TClientWriteThread() override;

protected:
  void Execute() override;
};

class TClientEventThread : public TThread {
public:
  TClientEventThread(TCustomPacketBuffer& Buffer, TClient& Client)
      : FBuffer(Buffer), FClient(Client) {}
  ~TClientEventThread() override;

protected:
  void Execute() override;

private:
  TCustomPacketBuffer& FBuffer;
  TClient& FClient;
};

// The client side of one connection to a voice server at a time.
class TClient : public TSoundClient {
public:
  // Clock: the time base of the packet buffer (tests pass a manual one).
  TClient(TClientCallback Callback, uint8_t Options, const TClock* Clock = nullptr);
  virtual ~TClient();
  TClient(const TClient&) = delete;
  TClient& operator=(const TClient&) = delete;

  // Stops the threads and frees the buffer; the destructor calls it. A class
  // that overrides the hooks calls it in its own destructor.
  void Shutdown();

  uint8_t State() const { return FState.load(); }
  uint8_t Options() const { return FOptions; }

  int32_t Connect(const std::string& Host, uint16_t Port, const std::string& Nickname,
                  const std::string& LoginName, const std::string& Password,
                  const std::string& Channel, const std::string& SubChannel,
                  const std::string& ChannelPassword, bool Anonymous, bool LoginFlag,
                  int32_t Reserved, std::string& ErrorText);
  // The login for a carrier of our packets (without coDoTransport): Reply is
  // the login reply the carrier received. Same results as Connect.
  int32_t LoginWithReply(const void* Reply, size_t Size, const TLoginRequest& Request,
                         std::string& ErrorText);
  // A datagram the carrier received from the server.
  void ReceiveDatagram(const void* Data, size_t Size, const std::string& Host = std::string(),
                       uint16_t Port = 0);

  void Disconnect();
  void CloseCon();
  void DisconnectWithReason(uint8_t Reason, uint32_t KickerId, std::string_view ReasonText);

  void GetBandwidth(int32_t& Upload, int32_t& Download) const;
  void SetBandwidth(int32_t Upload, int32_t Download);
  bool CodecSupported(int32_t Codec) const;
  std::string ServerTypeText() const;
  std::string ServerVersionText() const;
  TBufferStatistics GetStatistics();

  bool DoCallback(const void* Data, int32_t Size);

  // The login request as it goes on the wire (CRC not yet set).
  static TPacketPtr BuildLoginStep1(const TLoginRequest& Request);

  // Registry queries.
  bool GetChannel(uint32_t Id, TChannelRecord& Record) const { return FChannels.Get(Id, Record); }
  bool GetPlayer(uint32_t Id, TPlayerRecord& Record) const { return FPlayers.Get(Id, Record); }
  std::string GetChannelName(uint32_t Id) const { return FChannels.GetName(Id); }
  std::string GetPlayerNick(uint32_t Id) const { return FPlayers.GetNick(Id); }
  bool FindChannel(std::string_view Name, int32_t ParentId, uint32_t& Id) const {
    return FChannels.FindByName(Name, ParentId, Id);
  }
  std::vector<TChannelRecord> ListChannels() const { return FChannels.List(); }
  std::vector<TPlayerRecord> ListPlayers() const { return FPlayers.List(); }
  TChannels& Channels() { return FChannels; }
  TPlayers& Players() { return FPlayers; }

  // Own state.
  uint32_t PlayerId() const { return FPlayerId; }
  int32_t ChannelId() const { return FChannelId; }
  int32_t ChannelParentId() const { return FChannelParentId; }
  int32_t LastWhisperer() const { return FLastWhisperer; }
  uint16_t PlayerFlags() const { return FPlayerFlags; }
  uint16_t PlayerPrivileges() const { return FPlayerPrivileges; }
  uint16_t ChannelPrivileges() const { return FChannelPrivileges; }
  uint32_t SupportedCodecs() const { return FSupportedCodecs; }
  uint16_t ServerType() const { return FServerType; }
  uint32_t ServerMaxUsers() const { return FServerMaxUsers; }
  bool LogoutSent() const { return FLogoutSent; }
  std::string ServerName() const;
  std::string ServerAddress() const;
  std::string ServerHost() const;
  std::string ServerPlatform() const;
  std::array<uint16_t, 4> ServerVersion() const;
  std::string WelcomeMessage() const;
  std::string BannerUrl() const;
  std::string BannerLinkUrl() const;
  TPermissions Permissions() const;
  // The codec the transmit path uses: the own channel's.
  uint16_t TransmitCodec() const { return FTransmitCodec; }

  // Requests.
  void ChannelCreate(uint16_t Flags, uint16_t Codec, uint16_t MaxUsers, uint16_t Order,
                     int32_t ParentId, std::string_view Name, std::string_view Topic,
                     std::string_view Password, std::string_view Description);
  void ChannelSetPassword(uint32_t ChannelId, std::string_view Password);
  void ChannelSetFlagsCodec(uint32_t ChannelId, uint16_t Flags, uint16_t Codec);
  void ChannelSetName(uint32_t ChannelId, std::string_view Name);
  void ChannelSetTopic(uint32_t ChannelId, std::string_view Topic);
  void ChannelSetDescription(uint32_t ChannelId, std::string_view Description);
  void ChannelDelete(uint32_t ChannelId);
  void ChannelSetMaxUsers(uint32_t ChannelId, uint16_t MaxUsers);
  void ChannelSetOrder(uint32_t ChannelId, uint16_t Order);
  void PlayerKickFromServer(uint32_t PlayerId, std::string_view Reason);
  void PlayerKickFromChannel(uint32_t PlayerId, std::string_view Reason);
  void PlayerSwitchChannel(uint32_t ChannelId, std::string_view Password);
  void PlayerSetFlags(uint16_t Flags);
  void PlayerRequestVoice(std::string_view Reason);
  void PlayerSetChannelPrivilege(uint32_t PlayerId, uint8_t GrantRevoke, uint8_t Privilege);
  void PlayerSetPrivilege(uint32_t PlayerId, uint8_t GrantRevoke, uint8_t Privilege);
  void PlayerRegister(std::string_view LoginName, std::string_view Password);
  void PlayerAdminRegister(std::string_view LoginName, std::string_view Password, bool ServerAdmin);
  void PlayerMutePlayer(uint32_t PlayerId, bool Mute);
  void BanIpAdd(uint16_t Minutes, std::string_view Address);
  void PlayerBan(uint32_t PlayerId, uint16_t Minutes, std::string_view Reason);
  void BanIpDelete(std::string_view Address);
  void PlayerMoveToChannel(uint32_t PlayerId, uint32_t ChannelId);
  void SetDownloadLimit(int32_t Limit);
  void InfoRequestPlayerConnectionInfo(uint32_t PlayerId);
  void InfoRequestServerInfo();
  void InfoRequestBanIpList();
  void SendTextMessage(std::string_view Text, uint32_t Colour, uint8_t MessageKind,
                       uint32_t Target);

  // The event thread's handlers; public so that a carrier or a test can drive
  // them without the thread.
  void HandleCommand(const TPacket& Packet);
  void HandleVoicePacket(TPacketPtr Packet);

  // How long a left-scope notice for the own player waits before the
  // connection is ended (tests shorten it).
  void SetOwnLeaveDelayMs(int32_t Ms) { FOwnLeaveDelayMs = Ms; }
  // The silence after which a connection counts as lost (2000 ms while
  // logging in, 30000 ms when connected); for the next connection.
  void SetConnectionTimeouts(int32_t LoginMs, int32_t ConnectedMs);

  // The sound side's lock; taken before the channel and player lists.
  std::recursive_mutex FSoundLock;

  // Sound side (ClientSound.cpp): mixing for the output device, the
  // transmit path for the input device, and the user's sound switches.
  bool snd_GetSoundData(float* Buffer, int32_t Count) override;
  bool snd_StoreSoundData(float* Samples, int32_t Count, float& Level) override;
  void snd_SetInputMuted(bool Muted);
  void snd_SetOutputMuted(bool Muted);
  void snd_MuteBoth();
  void snd_SetPushToTalk(bool Enabled);
  void snd_SetPushToTalkPressed(bool Pressed);
  void snd_SetVoxLevel(int32_t Level);
  void snd_SetVolume(float Gain);
  // Targets: the whisper target block (count byte, then 5-byte entries); empty for none.
  void snd_SetWhisper(std::vector<uint8_t> Targets, bool Whispering);
  void snd_SetLoopback(bool Enabled);
  // Raises "illegal loopback codec" outside 0 to 12.
  void snd_SetLoopbackCodec(int32_t Codec);
  void snd_GetSpeakers(std::string& Text);
  // Configures the send encoders for the own channel's codec (event thread).
  void sndi_ChangeCodec(int32_t Codec);
  bool sndi_UpdateFlags();
  // Read-only views of the sound state, for the user interface and tests.
  bool InputMuted();
  bool OutputMuted();
  bool CodecUnsupported();
  int32_t SpeakNr();
  int32_t CurrentCodec();
  bool IsTalking(uint32_t Id);

protected:
  // Sound-side hooks, filled in by the voice code.
  // Whether received voice is wanted at all (output not muted, codec usable).
  virtual bool VoiceOutputWanted(uint8_t Codec);
  // Stores one received voice payload into the player's receive buffer
  // (Player.SoundData, created on the first packet); true when stored.
  // Called under FSoundLock and the player list lock.
  virtual bool StoreVoice(TPlayerItem& Player, std::span<const uint8_t> Payload, uint8_t Codec,
                          uint16_t PacketNr, uint16_t SpeakNr);
  // The own channel's codec changed; the transmit path follows it.
  virtual void SetTransmitCodec(uint16_t Codec);
  // The connection ended: drop captured and encoded sound and the whisper list.
  virtual void ResetTransmitPath();
  // Codec libraries are opened when the client is created and closed last.
  virtual void OpenCodecLibraries();
  virtual void CloseCodecLibraries();

  template <typename T> bool Raise(const T& Record) {
    return DoCallback(&Record, static_cast<int32_t>(sizeof Record));
  }

private:
  struct TSoundState;
  struct TSoundStateDeleter {
    void operator()(TSoundState* State) const;
  };
  bool sndi_SetCodec(int32_t Codec, hvdi_enc_state* HawkEncoder, TSpeexCodec& SpeexEncoder);
  void StartTalking(uint32_t Id);
  void StopTalking(uint32_t Id);
  bool ChannelHasFlags(int32_t ChannelId, uint16_t Flags);
  void AppendSendBlock(const float* Samples, int32_t Count, float& Level);
  void LoopbackStep(int32_t N);
  int32_t EncodeBlock(int32_t Codec, hvdi_enc_state* Hawk, TSpeexCodec& Speex, uint8_t* Out);
  void ClearReceiveBuffers();

  friend class TClientReadThread;
  friend class TClientWriteThread;
  friend class TClientEventThread;

  int32_t LoginStep3(const uint8_t* Reply, const std::string& Host, uint16_t Port,
                     const TLoginRequest& Request, std::string& ErrorText);
  void CheckLoginReply(TPacket& Reply);
  void ResetSocket();
  void SendRequest(TByteWriter& Packet);
  TByteWriter RequestFrame(int16_t Type) const;
  void StorePermissions(const uint8_t* Table);
  void SetOwnChannel(uint32_t ChannelId, uint16_t ChannelPrivileges);
  void ClearScope();
  void RaiseSendPacket(const TPacket& Packet);

  // Dispatcher handlers (ClientDispatcher.cpp).
  void DoLoginStep4(const TPacket& P);
  void DoLoginStep5(const TPacket& P, bool AlreadyPresent);
  void DoLoginStep6(const TPacket& P);
  void DoNotifyPlayerEnteredScope(const TPacket& P);
  void DoNotifyPlayerLeftScope(const TPacket& P);
  void DoNotifyPlayerSwitched(const TPacket& P, bool Kicked);
  void DoNotifyPlayerFlagsChanged(const TPacket& P);
  void DoNotifyPlayerRequestedVoice(const TPacket& P);
  void DoNotifyPrivilegeChanged(const TPacket& P, bool ChannelPrivilege);
  void DoNotifyPlayerMovedToChannel(const TPacket& P);
  void DoNotifyChannelCreated(const TPacket& P);
  void DoNotifyChannelTextChanged(const TPacket& P, int Which);
  void DoNotifyChannelPropertiesChanged(const TPacket& P);
  void DoNotifyChannelDestroyed(const TPacket& P);
  void DoNotifyChannelNumberChanged(const TPacket& P, bool MaxUsers);
  void DoNotifyTextMessage(const TPacket& P);
  void DoNotifyServerPropertiesChanged(const TPacket& P);
  void DoChannelPasswordChanged(const TPacket& P);
  void DoPlayerMutePlayerReply(const TPacket& P);
  void DoInfoReplyPlayerConnectionInfo(const TPacket& P);
  void DoInfoReplyServerInfo(const TPacket& P);
  void DoInfoReplyBanIpList(const TPacket& P);
  void DoErrorPacket(const TPacket& P);
  // Common part of the switch, kick and move handlers for a player's new
  // channel; returns false when the player is not registered.
  bool MovePlayer(uint32_t PlayerId, uint32_t NewChannel, uint16_t ChannelPrivileges,
                  bool ClearWantVoice, TPlayerRecord& Before);

  std::atomic<uint8_t> FState{csIdle};
  std::atomic<bool> FDisconnectReported{false};
  uint8_t FOptions;
  TChannels FChannels;
  TPlayers FPlayers;
  std::unique_ptr<TUdpSocket> FUDP;
  std::mutex FBufferLock;
  std::unique_ptr<TCustomPacketBuffer> FBuffer;
  TClientCallback FCallback;
  std::unique_ptr<TClientReadThread> FClientReadThread;
  std::unique_ptr<TClientWriteThread> FClientWriteThread;
  std::unique_ptr<TClientEventThread> FClientEventThread;
  std::atomic<bool> FLogoutSent{false};
  std::atomic<uint32_t> FPlayerId{0};
  std::atomic<int32_t> FChannelId{-1};
  std::atomic<int32_t> FChannelParentId{-1};
  std::atomic<int32_t> FLastWhisperer{-1};
  std::atomic<uint16_t> FPlayerFlags{0};
  std::atomic<uint16_t> FPlayerPrivileges{0};
  std::atomic<uint16_t> FChannelPrivileges{0};
  mutable std::mutex FInfoLock; // the texts and tables below
  std::string FServerName;
  std::string FServerAddress;
  std::string FServerHost;
  std::string FServerPlatform;
  std::array<uint16_t, 4> FServerVersion{};
  std::atomic<uint32_t> FSupportedCodecs{0};
  std::atomic<uint32_t> FServerValue2{0};
  std::atomic<uint16_t> FServerType{0};
  TPermissions FPermissions{};
  std::atomic<uint32_t> FServerMaxUsers{0};
  std::string FWelcomeMessage;
  std::string FBannerUrl;
  std::string FBannerLinkUrl;
  std::atomic<int32_t> FUploadLimit{-1};
  std::atomic<int32_t> FDownloadLimit{-1};
  std::mutex FCloseLock;
  // Makes the report of a connection's end and everything after it happen in
  // order, whichever thread reports.
  std::recursive_mutex FReportLock;
  // Held by a login from queuing LoginStep3 until kind 2 is raised, and by the
  // dispatcher, so that the login lists never overtake kind 2.
  std::mutex FDispatchLock;
  std::atomic<int> FLoginSocketError{0};
  std::atomic<uint16_t> FTransmitCodec{0};
  std::atomic<int32_t> FOwnLeaveDelayMs{500};
  std::atomic<bool> FShutDown{false};
  std::unique_ptr<TSoundState, TSoundStateDeleter> FSnd;
};

} // namespace orlavonix
