#include <gtest/gtest.h>

#include "protocol/ClientProtocolStrings.h"
#include "protocol/ClientProtocolTypes.h"

using namespace orlavonix;

TEST(ErrorCodeText, EveryCodeHasItsText) {
  const std::pair<int32_t, const char*> Cases[] = {
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
  for (const auto& [Code, Text] : Cases)
    EXPECT_EQ(ErrorCodeText(Code), Text) << Code;
  for (int32_t Code : {0, 1, -24, -1, -122, -1010, -99999, INT32_MIN})
    EXPECT_EQ(ErrorCodeText(Code), "") << Code;
}

TEST(ServerTypeText, CombinesKindAndLicence) {
  const std::pair<uint16_t, const char*> Cases[] = {
      {0, "unknown unknown"},          {1, "Clan Server unknown"},
      {2, "Public Server unknown"},    {3, "Clan Server unknown"},
      {12, "unknown Freeware"},        {8, "unknown Commercial"},
      {1 | 4, "Clan Server Freeware"}, {2 | 8, "Public Server Commercial"},
  };
  for (const auto& [Type, Text] : Cases)
    EXPECT_EQ(ServerTypeText(Type), Text) << Type;
}

TEST(FlagSets, OrdinalsAreBits) {
  EXPECT_EQ(Bit(cfDefault), 16);
  EXPECT_EQ(Bit(pfRecording), 64);
  EXPECT_EQ(Bit(ppSticky), 16);
  EXPECT_EQ(Bit(pcpAutoVoice), 16);
  EXPECT_EQ(static_cast<uint8_t>(pcpAutoVoice), 4) << "privilege requests send the ordinal";
  uint16_t All = 0x1F;
  for (auto P : {pcpAdmin, pcpOperator, pcpVoiced, pcpAutoOperator, pcpAutoVoice})
    EXPECT_TRUE(HasFlag(All, P));
  EXPECT_EQ(grGrant, 0);
  EXPECT_EQ(grRevoke, 2);
}
