#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "protocol/ClientProtocolTypes.h"

namespace orlavonix {

// What the remote commands see of a channel and a player of the registry.
struct TRemoteChannel {
  uint32_t Id = 0;
  int32_t ParentId = -1; // -1: top-level
  uint16_t Codec = 0;
  uint16_t Flags = 0; // cf bits
  std::string Name;
};

struct TRemotePlayer {
  uint32_t Id = 0;
  uint32_t ChannelId = 0;
  uint16_t ChannelPrivileges = 0; // pcp bits, in the player's channel
  uint16_t Privileges = 0;        // pp bits
  uint16_t Flags = 0;             // pf bits
  std::string Nickname;
};

struct TRemoteServerInfo {
  std::string Name;
  std::string WelcomeMessage;
  uint8_t Version[4] = {0, 0, 0, 0};
  std::string Platform;
  std::string ResolvedAddress; // resolved IP, colon, port
  std::string EnteredAddress;  // host as the user entered it, colon, port
  uint16_t ServerType = 0;     // st bits
  int32_t MaxUsers = 0;
  uint32_t CodecMask = 0;
};

// The program as the remote commands drive it: the Qt main window and the
// console client implement it; tests use a fake. Everything runs on the
// user-interface thread.
class TRemoteProgram {
public:
  virtual ~TRemoteProgram() = default;

  // Deferred actions: a record for the program's own event road (kinds 41
  // and 42), handled after the reply has gone out.
  virtual void PostRecord(const void* Data, int32_t Size) = 0;
  // Closes the main window as the user would. Must not finish the program
  // before the current command has returned.
  virtual void Quit() = 0;
  virtual bool DisconnectEnabled() = 0;
  virtual void ToggleOutputMuted() = 0;
  virtual void ToggleInputMuted() = 0;

  // Connected and logged in.
  virtual bool Connected() = 0;
  // A channel name (with "/" separated sub-channels) as key actions resolve it.
  virtual std::optional<uint32_t> ResolveChannelName(const std::string& Name) = 0;
  // Registry order.
  virtual std::vector<TRemoteChannel> Channels() = 0;
  virtual std::vector<TRemotePlayer> Players() = 0;
  virtual std::optional<uint32_t> OwnPlayerId() = 0;
  virtual TRemoteServerInfo ServerInfo() = 0;
  // Players whose voice is being played now.
  virtual std::vector<uint32_t> Speakers() = 0;

  // Requests to the server.
  virtual void SwitchChannel(uint32_t ChannelId, const std::string& Password) = 0;
  virtual void SetOwnFlags(uint16_t Flags) = 0;
  virtual void SetVoiceRequestReason(const std::string& Reason) = 0;
  virtual void GrantOperator(uint32_t PlayerId, TGrantRevoke Grant) = 0;
  virtual void GrantVoice(uint32_t PlayerId, TGrantRevoke Grant) = 0;
  virtual void KickFromServer(uint32_t PlayerId, const std::string& Reason) = 0;
  virtual void KickFromChannel(uint32_t PlayerId, const std::string& Reason) = 0;
  // A text message to a channel (target kind channel, colour 0).
  virtual void SendChannelMessage(uint32_t ChannelId, const std::string& Text) = 0;
};

// Longest list reply, in characters.
constexpr size_t RemoteReplyLimit = 65536;

// Stores the program the commands drive; none until the main window exists.
void SetRemoteProgram(TRemoteProgram* Program);

// Runs one remote command on the user-interface thread and returns the
// reply: "OK..." or "ERROR <code> <message>". Never raises.
std::string ExecuteRemoteCommand(const std::string& Request);
// The same against a given program (none: "PROGRAM NOT READY").
std::string ExecuteRemoteCommand(TRemoteProgram* Program, const std::string& Request);

// Reply texts and lines, shared with tests.
std::string RemoteErrorMessage(int32_t Code);
std::string ChannelPrivilegeWords(uint16_t Set);
std::string ServerPrivilegeWords(uint16_t Set);
std::string PlayerFlagWords(uint16_t Set);
std::string ChannelFlagWords(uint16_t Set);
std::string ServerTypeWords(uint16_t Set);

} // namespace orlavonix
