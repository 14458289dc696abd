// The records TClient hands to its event callback. Each starts with the kind;
// layouts are fixed byte for byte because the user interface builds against
// them.
#pragma once

#include <cstddef>
#include <cstdint>

#include "protocol/ClientRegistry.h"

namespace orlavonix {

enum TClientEventKind : int32_t {
  cb_Error = 0,
  cb_close = 1,
  cb_connecting = 2,
  cb_NewChannel = 3,
  cb_DeleteChannel = 4,
  cb_NewPlayer = 5,
  cb_DeletePlayer = 6,
  cb_PlayerSwitchChannel = 7,
  cb_ChannelPasswordChanged = 8,
  cb_initDone = 9,
  cb_ChannelChanged = 10,
  cb_RegisterOk = 12,
  cb_PlayerFlagsChanged = 13,
  cb_ChannelPrivilegeChanged = 14,
  cb_PlayerPrivilegeChanged = 15,
  cb_TextMessage = 16,
  cb_SpeakStartStop = 17,
  cb_ConnectionInfo = 19,
  cb_ServerInfo = 20,
  cb_MuteReply = 21,
  cb_ServerPropertiesChanged = 22,
  cb_BanList = 23,
  cb_PlayerMovedToChannel = 24,
  cb_SendPacket = 30,
  cb_Idle = 50,
};

// Reasons of cb_close.
enum TCloseReason : uint16_t {
  crClosed = 1,
  crKickedFromServer = 2,
  crTimedOut = 3,
  crServerShutDown = 4,
};

// Reasons of cb_DeletePlayer.
enum TLeaveReason : uint16_t {
  lrQuit = 1,
  lrKickedFromServer = 2,
  lrTimedOut = 3,
  lrServerShutDown = 4,
  lrKickedFromChannel = 5,
  lrLeftChannel = 6,
  lrScopeCleared = 7,
};

// Message kind of the local copy of a text the own user sent.
constexpr uint8_t mkLocalCopy = 250;

#pragma pack(push, 1)
struct TcbKindOnly {
  int32_t Kind;
};

struct TcbError {
  int32_t Kind;
  int16_t ErrorCode;
  int16_t RequestType;
  uint32_t Value1;
  uint32_t Value2;
};

struct TcbClose {
  int32_t Kind;
  uint32_t KickerId;
  char KickerNick[30];
  uint16_t Reason;
  char ReasonText[30];
};

struct TcbConnecting {
  int32_t Kind;
  char ServerName[30];
  char WelcomeMessage[256];
};

struct TcbNewChannel {
  int32_t Kind;
  TChannelInfo Channel;
};

struct TcbDeleteChannel {
  int32_t Kind;
  int32_t ChannelId;
  uint32_t ActorId;
  char ChannelName[30];
  char ActorNick[30];
};

struct TcbNewPlayer {
  int32_t Kind;
  uint32_t PlayerId;
  uint32_t ChannelId;
  uint16_t ChannelPrivileges;
  uint16_t PlayerPrivileges;
  uint16_t Flags;
  char Nick[30];
  char VoiceRequest[30];
  uint32_t Zero;
  uint8_t AlreadyPresent;
};

struct TcbDeletePlayer {
  int32_t Kind;
  uint32_t PlayerId;
  uint32_t ActorId;
  uint16_t Reason;
  char ReasonText[30];
  char Nick[30];
  char ActorNick[30];
  uint8_t Registered;
};

struct TcbPlayerSwitchChannel {
  int32_t Kind;
  uint32_t PlayerId;
  char Nick[30];
  uint32_t OldChannelId;
  char OldChannelName[30];
  uint32_t NewChannelId;
  char NewChannelName[30];
  uint16_t ChannelPrivileges;
  uint8_t Kicked;
  char ReasonText[30];
};

struct TcbChannelPasswordChanged {
  int32_t Kind;
  uint32_t ChannelId;
  char ChannelName[30];
};

struct TcbInitDone {
  int32_t Kind;
  char BannerUrl[257];
  char BannerLinkUrl[257];
};

struct TcbChannelChanged {
  int32_t Kind;
  TChannelInfo Before;
  TChannelInfo After;
};

struct TcbPlayerFlagsChanged {
  int32_t Kind;
  uint32_t PlayerId;
  char Nick[30];
  uint16_t OldFlags;
  uint16_t NewFlags;
  uint8_t RequestsVoice;
  char VoiceRequest[30];
};

// cb_ChannelPrivilegeChanged and cb_PlayerPrivilegeChanged.
struct TcbPrivilegeChanged {
  int32_t Kind;
  uint32_t PlayerId;
  char Nick[30];
  uint32_t ActorId;
  char ActorNick[30];
  uint8_t GrantRevoke;
  uint8_t Privilege;
};

struct TcbTextMessage {
  int32_t Kind;
  uint32_t Colour;
  uint8_t MessageKind;
  char Sender[30];
  char Text[4097];
};

struct TcbSpeakStartStop {
  int32_t Kind;
  uint32_t PlayerId;
  uint8_t Talking;
};

struct TcbConnectionInfo {
  int32_t Kind;
  uint32_t PlayerId;
  uint32_t ConnectedSeconds;
  uint16_t PacketLoss;
  uint16_t Ping;
  uint32_t IdleSeconds;
  uint16_t ClientVersion[4];
  uint32_t PacketsSent;
  uint32_t BytesSent;
  uint32_t PacketsReceived;
  uint32_t BytesReceived;
  char ClientAddress[30];
  uint16_t ClientPort;
  char LoginName[30];
  uint32_t ChannelId;
  uint16_t ChannelPrivileges;
  uint16_t PlayerPrivileges;
  char Nick[30];
  char ChannelName[30];
  char ClientPlatform[30];
};

struct TcbServerInfo {
  int32_t Kind;
  uint8_t Info[76];
};

struct TcbMuteReply {
  int32_t Kind;
  uint32_t PlayerId;
  uint8_t Muted;
};

// Followed by the entry bytes of the reply.
struct TcbBanList {
  int32_t Kind;
  uint32_t Count;
};

struct TcbPlayerMovedToChannel {
  int32_t Kind;
  uint32_t PlayerId;
  char Nick[30];
  uint32_t OldChannelId;
  char OldChannelName[30];
  uint32_t NewChannelId;
  char NewChannelName[30];
  uint16_t ChannelPrivileges;
  char ActorNick[30];
  uint32_t ActorId;
};

struct TcbSendPacket {
  int32_t Kind;
  uint32_t Size;
  uint8_t Reliable;
  uint8_t Data[560];
};
#pragma pack(pop)

static_assert(sizeof(TcbKindOnly) == 4);
static_assert(sizeof(TcbError) == 16);
static_assert(offsetof(TcbError, Value1) == 8 && offsetof(TcbError, Value2) == 12);
static_assert(sizeof(TcbClose) == 70);
static_assert(offsetof(TcbClose, KickerNick) == 8 && offsetof(TcbClose, Reason) == 38 &&
              offsetof(TcbClose, ReasonText) == 40);
static_assert(sizeof(TcbConnecting) == 290 && offsetof(TcbConnecting, WelcomeMessage) == 34);
static_assert(sizeof(TcbNewChannel) == 4408);
static_assert(sizeof(TcbDeleteChannel) == 72);
static_assert(offsetof(TcbDeleteChannel, ChannelName) == 12 &&
              offsetof(TcbDeleteChannel, ActorNick) == 42);
static_assert(sizeof(TcbNewPlayer) == 83);
static_assert(offsetof(TcbNewPlayer, Flags) == 16 && offsetof(TcbNewPlayer, Nick) == 18 &&
              offsetof(TcbNewPlayer, VoiceRequest) == 48 && offsetof(TcbNewPlayer, Zero) == 78 &&
              offsetof(TcbNewPlayer, AlreadyPresent) == 82);
static_assert(sizeof(TcbDeletePlayer) == 105);
static_assert(offsetof(TcbDeletePlayer, Reason) == 12 &&
              offsetof(TcbDeletePlayer, ReasonText) == 14 &&
              offsetof(TcbDeletePlayer, Nick) == 44 && offsetof(TcbDeletePlayer, ActorNick) == 74 &&
              offsetof(TcbDeletePlayer, Registered) == 104);
static_assert(sizeof(TcbPlayerSwitchChannel) == 139);
static_assert(offsetof(TcbPlayerSwitchChannel, OldChannelId) == 38 &&
              offsetof(TcbPlayerSwitchChannel, OldChannelName) == 42 &&
              offsetof(TcbPlayerSwitchChannel, NewChannelId) == 72 &&
              offsetof(TcbPlayerSwitchChannel, NewChannelName) == 76 &&
              offsetof(TcbPlayerSwitchChannel, ChannelPrivileges) == 106 &&
              offsetof(TcbPlayerSwitchChannel, Kicked) == 108 &&
              offsetof(TcbPlayerSwitchChannel, ReasonText) == 109);
static_assert(sizeof(TcbChannelPasswordChanged) == 38);
static_assert(sizeof(TcbInitDone) == 518 && offsetof(TcbInitDone, BannerLinkUrl) == 261);
static_assert(sizeof(TcbChannelChanged) == 8812 && offsetof(TcbChannelChanged, After) == 4408);
static_assert(sizeof(TcbPlayerFlagsChanged) == 73);
static_assert(offsetof(TcbPlayerFlagsChanged, OldFlags) == 38 &&
              offsetof(TcbPlayerFlagsChanged, RequestsVoice) == 42 &&
              offsetof(TcbPlayerFlagsChanged, VoiceRequest) == 43);
static_assert(sizeof(TcbPrivilegeChanged) == 74);
static_assert(offsetof(TcbPrivilegeChanged, ActorId) == 38 &&
              offsetof(TcbPrivilegeChanged, ActorNick) == 42 &&
              offsetof(TcbPrivilegeChanged, GrantRevoke) == 72 &&
              offsetof(TcbPrivilegeChanged, Privilege) == 73);
static_assert(sizeof(TcbTextMessage) == 4136);
static_assert(offsetof(TcbTextMessage, MessageKind) == 8 && offsetof(TcbTextMessage, Sender) == 9 &&
              offsetof(TcbTextMessage, Text) == 39);
static_assert(sizeof(TcbSpeakStartStop) == 9);
static_assert(sizeof(TcbConnectionInfo) == 204);
static_assert(offsetof(TcbConnectionInfo, ClientVersion) == 20 &&
              offsetof(TcbConnectionInfo, PacketsSent) == 28 &&
              offsetof(TcbConnectionInfo, ClientAddress) == 44 &&
              offsetof(TcbConnectionInfo, ClientPort) == 74 &&
              offsetof(TcbConnectionInfo, LoginName) == 76 &&
              offsetof(TcbConnectionInfo, ChannelId) == 106 &&
              offsetof(TcbConnectionInfo, PlayerPrivileges) == 112 &&
              offsetof(TcbConnectionInfo, Nick) == 114 &&
              offsetof(TcbConnectionInfo, ChannelName) == 144 &&
              offsetof(TcbConnectionInfo, ClientPlatform) == 174);
static_assert(sizeof(TcbServerInfo) == 80);
static_assert(sizeof(TcbMuteReply) == 9);
static_assert(sizeof(TcbBanList) == 8);
static_assert(sizeof(TcbPlayerMovedToChannel) == 142);
static_assert(offsetof(TcbPlayerMovedToChannel, ChannelPrivileges) == 106 &&
              offsetof(TcbPlayerMovedToChannel, ActorNick) == 108 &&
              offsetof(TcbPlayerMovedToChannel, ActorId) == 138);
static_assert(sizeof(TcbSendPacket) == 569 && offsetof(TcbSendPacket, Data) == 9);

} // namespace orlavonix
