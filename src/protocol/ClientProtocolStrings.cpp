#include "protocol/ClientProtocolStrings.h"

#include <unordered_map>

#include "protocol/ClientProtocolTypes.h"

namespace orlavonix {

std::string ErrorCodeText(int32_t Code) {
  static const std::unordered_map<int32_t, const char*> Texts = {
      {-10, "Connection Timed out"},
      {-11, "No reply from server\r\nMaybe the server is offline\r\nor maybe orlavonix is not "
            "running on it"},
      {-12, "Wrong Password"},
      {-13, "Server is full"},
      {-14, "Unable to resolve hostname to ip number"},
      {-15, "Port on the server is closed"},
      {-16, "Got a bad response from the server"},
      {-17, "This server does not allow anonymous login's"},
      {-18, "Server does not support this client version"},
      {-19, "This Client does not support the server version"},
      {-20, "Connection reset by peer.\r\nMaybe there is no server running"},
      {-21, "Bad Login (name and/or password wrong)"},
      {-22, "Unable to login. Your IP has been banned."},
      {-23, "This user is already logged in on the server"},
      {-50, "Undefined internal error"},
      {-100, "Playerid does not exist"},
      {-101, "loginName does not exist"},
      {-102, "ChannelId does not exist"},
      {-103, "Parent channel does not exist"},
      {-104, "Invalid Codec"},
      {-105, "Codec not supported"},
      {-106, "Player is not connected"},
      {-107, "Bad argument"},
      {-108, "Codec is disabled"},
      {-109, "Channel is not empty"},
      {-110, "Channel is password protected"},
      {-111, "Wrong password"},
      {-112, "Channel uses an unsupported codec"},
      {-113, "Maximum players reached for this channel"},
      {-114, "Channel already exists"},
      {-115, "Channel is not hierarchical"},
      {-116, "Nickname already in use"},
      {-117, "Default channel cannot be deleted"},
      {-118, "Cant remove flag, subchannels are still present"},
      {-119, "Allready member of channel"},
      {-120, "Subchannels cannot have a password"},
      {-121, "Subchannel limit reached"},
      {-130, "Command not valid in unmoderated channels"},
      {-131, "Already has this privilege"},
      {-140, "Not allowed to register"},
      {-141, "Loginname already in use"},
      {-142, "Bad user password"},
      {-143, "Already registered"},
      {-1000, "Need server admin rights to complete operation"},
      {-1001, "Need Channel admin rights to complete operation"},
      {-1002, "Need to be a registered player to complete operation"},
      {-1003, "Need to be a channel operator to grant voice"},
      {-1004, "Need to be a channel operator to grant op"},
      {-1005, "Need to be a channel operator to devoice"},
      {-1006, "Need to be a channel operator to deop"},
      {-1007, "Need server admin, channel admin or channel operator rights to complete operation"},
      {-1008, "Need server admin or channel admin rights to complete operation"},
      {-1009, "Insufficient permission rights!"},
      {-1020, "Already server admin"},
      {-1021, "Already channel admin"},
      {-1022, "Already channel operator"},
      {-1023, "Already channel voice"},
      {-1024, "Already is allowed to register"},
      {-1030, "Not a server admin"},
      {-1031, "Not a channel admin"},
      {-1032, "Not a channel operator"},
      {-1033, "Hasn't got channel voice"},
      {-1034, "Is not allowed to register"},
      {-1035, "Is not registered"},
      {-1036, "Cant revoke inherited rights"},
  };
  auto It = Texts.find(Code);
  return It == Texts.end() ? std::string() : std::string(It->second);
}

std::string ServerTypeText(uint16_t ServerType) {
  std::string S;
  if (HasFlag(ServerType, stClan))
    S = "Clan Server";
  else if (HasFlag(ServerType, stPublic))
    S = "Public Server";
  else
    S = "unknown";
  S += ' ';
  if (HasFlag(ServerType, stFreeware))
    S += "Freeware";
  else if (HasFlag(ServerType, stCommercial))
    S += "Commercial";
  else
    S += "unknown";
  return S;
}

} // namespace orlavonix
