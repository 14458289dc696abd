#include <functional>
#include <gtest/gtest.h>

#include "FakeRemoteProgram.h"

using namespace orlavonix;
using namespace orlavonix::test;

namespace {

using TCalls = std::vector<std::string>;
constexpr uint16_t AllPlayerFlags = 0x7F;

// Channels 1 "Lobby" (top), 2 "Sub" (under 1, moderated), 3 "Orphan" (its
// parent is unknown), 4 "Top" (top, moderated). The own player 10 sits in 2.
TFakeRemoteProgram World() {
  TFakeRemoteProgram F;
  F.ChannelList = {
      {1, -1, 5, Bit(cfDefault), "Lobby"},
      {2, 1, 3, static_cast<uint16_t>(Bit(cfModerated) | Bit(cfHierarchical)), "Sub"},
      {3, 99, 0, 0, "Orphan"},
      {4, -1, 1, Bit(cfModerated), "Top"},
  };
  F.PlayerList = {
      {10, 2, 0, 0, 0, "Me"},
      {11, 2, Bit(pcpVoiced), Bit(ppRegistered), Bit(pfAway), "Ann"},
      {12, 1, 0, 0, 0, "bob"},
      {13, 4, 0, 0, 0, "Carl"},
  };
  F.Me = 10;
  F.ChannelNames = {{"Lobby", 1}, {"Lobby/Sub", 2}};
  F.Speaking = {11, 12};
  F.Server = {"Srv",
              "Hello",
              {2, 0, 20, 1},
              "Linux",
              "10.0.0.1:8767",
              "voice.lan:8767",
              static_cast<uint16_t>(Bit(stPublic) | Bit(stFreeware)),
              32,
              0x1FEF};
  return F;
}

struct TCase {
  std::string Request;
  std::function<void(TFakeRemoteProgram&)> Setup;
  std::string Reply;
  TCalls Calls = {};
};

void Disconnected(TFakeRemoteProgram& F) {
  F.IsConnected = false;
}
void None(TFakeRemoteProgram&) {}
std::function<void(TFakeRemoteProgram&)> Own(uint16_t ChannelPrivileges, uint16_t Privileges,
                                             uint32_t Channel = 2) {
  return [=](TFakeRemoteProgram& F) {
    auto* Me = F.Find(10);
    Me->ChannelPrivileges = ChannelPrivileges;
    Me->Privileges = Privileges;
    Me->ChannelId = Channel;
  };
}
const uint16_t Admin = Bit(ppServerAdmin);
const uint16_t ChanAdmin = Bit(pcpAdmin);

// Every command, each failing check in its order, and the successes.
TEST(RemoteControl, CommandsChecksAndReplies) {
  const std::string Ann = "11 2 pcpVoiced ppRegistered pfAway Ann\r";
  const std::string Me = "10 2 none ppUnregistered none Me\r";
  const std::string Sub = "2 1 2 3 cfModerated,cfHierarchical Sub\r";
  const std::string Lobby = "1 -1 1 5 cfDefault Lobby\r";
  const std::vector<TCase> Cases = {
      // dispatch
      {"get_version", None, "ERROR -3 UNKNOWN COMMANDS"},
      {"GET_VERSION\n", None, "ERROR -3 UNKNOWN COMMANDS"},
      {"", None, "ERROR -3 UNKNOWN COMMANDS"},
      {"GET_VERSION", Disconnected, "OK\r2.0.32.60"},
      {"GET_VERSION ignored", None, "OK\r2.0.32.60"},
      // program actions
      {"CONNECT host:1?nickname=A B",
       Disconnected,
       "OK",
       {"post 42 size 260 \"host:1?nickname=A B\""}},
      {"CONNECT", None, "OK", {"post 42 size 260 \"\""}},
      {"DISCONNECT", [](TFakeRemoteProgram& F) { F.CanDisconnect = false; },
       "ERROR -1 NOT CONNECTED"},
      {"DISCONNECT", None, "OK", {"post 41 size 4"}},
      {"QUIT", None, "OK", {"quit"}},
      {"FOREGROUND", Disconnected, "OK"},
      // switching
      {"SWITCH_CHANNEL_NAME Lobby", Disconnected, "ERROR -1 NOT CONNECTED"},
      {"SWITCH_CHANNEL_NAME Nowhere", None, "ERROR -20 CHANNEL NOT FOUND"},
      {"SWITCH_CHANNEL_NAME Lobby/Sub\rsecret word", None, "OK", {"switch 2 \"secret word\""}},
      {"SWITCH_CHANNEL_NAME Lobby", None, "OK", {"switch 1 \"\""}},
      {"SWITCH_CHANNEL_ID x", Disconnected, "ERROR -1 NOT CONNECTED"},
      {"SWITCH_CHANNEL_ID x", None, "ERROR -2 PARAM IS NOT VALID INTEGER"},
      {"SWITCH_CHANNEL_ID 7", None, "ERROR -20 CHANNEL NOT FOUND"},
      {"SWITCH_CHANNEL_ID 4 pass word", None, "OK", {"switch 4 \"pass word\""}},
      // server
      {"GET_SERVER_INFO", Disconnected, "ERROR -1 NOT CONNECTED"},
      {"GET_SERVER_INFO", None,
       "OK\rSrv\rHello\r2.0.20.1\rLinux\r10.0.0.1:8767\rvoice.lan:8767\rstPublic,"
       "stFreeware\r32\r8175"
       "\r4\r4"},
      // own info
      {"GET_USER_INFO", Disconnected, "ERROR -1 NOT CONNECTED"},
      {"GET_USER_INFO", [](TFakeRemoteProgram& F) { F.Me.reset(); }, "ERROR -40 PLAYER NOT FOUND"},
      {"GET_USER_INFO", Own(0, 0, 77), "ERROR -20 CHANNEL NOT FOUND"},
      {"GET_USER_INFO", Own(0, 0, 3), "ERROR -21 PARENT CHANNEL NOT FOUND"},
      {"GET_USER_INFO", None, "OK\r" + Me + Sub + Lobby},
      {"GET_USER_INFO", Own(0, 0, 1),
       "OK\r10 1 none ppUnregistered none Me\r1 -1 2 5 cfDefault Lobby\r-1 0 0 0 none \r"},
      // channel info
      {"GET_CHANNEL_INFO_ID abc", Disconnected, "ERROR -2 PARAM IS NOT VALID INTEGER"},
      {"GET_CHANNEL_INFO_ID 2", Disconnected, "ERROR -1 NOT CONNECTED"},
      {"GET_CHANNEL_INFO_ID 9", None, "ERROR -20 CHANNEL NOT FOUND"},
      {"GET_CHANNEL_INFO_ID 2", None, "OK\r" + Sub},
      {"GET_CHANNEL_INFO_ID 2 GET_PLAYERS_TOO", None, "OK\r" + Sub + Me + Ann},
      {"GET_CHANNEL_INFO_ID 2 get_players_too", None, "OK\r" + Sub},
      {"GET_CHANNEL_INFO_NAME Lobby", Disconnected, "ERROR -1 NOT CONNECTED"},
      {"GET_CHANNEL_INFO_NAME Lobby/Su", None, "ERROR -20 CHANNEL NOT FOUND"},
      {"GET_CHANNEL_INFO_NAME Lobby/Sub\rGET_PLAYERS_TOO", None, "OK\r" + Sub + Me + Ann},
      // player info
      {"GET_PLAYER_INFO_ID 1x", Disconnected, "ERROR -2 PARAM IS NOT VALID INTEGER"},
      {"GET_PLAYER_INFO_ID 11", Disconnected, "ERROR -1 NOT CONNECTED"},
      {"GET_PLAYER_INFO_ID 99", None, "ERROR -40 PLAYER NOT FOUND"},
      {"GET_PLAYER_INFO_ID 11", None, "OK\r" + Ann},
      {"GET_PLAYER_INFO_ID +11", None, "OK\r" + Ann},
      {"GET_PLAYER_INFO_ID 11 ", None, "ERROR -2 PARAM IS NOT VALID INTEGER"},
      {"GET_PLAYER_INFO_NAME ann", Disconnected, "ERROR -1 NOT CONNECTED"},
      {"GET_PLAYER_INFO_NAME aNN", None, "OK\r" + Ann},
      {"GET_PLAYER_INFO_NAME An", None, "ERROR -40 PLAYER NOT FOUND"},
      // lists
      {"GET_CHANNELS", Disconnected, "ERROR -1 NOT CONNECTED"},
      {"GET_CHANNELS", None,
       "OK\r" + Lobby + Sub + "3 99 0 0 none Orphan\r4 -1 1 1 cfModerated Top\r"},
      {"GET_PLAYERS", Disconnected, "ERROR -1 NOT CONNECTED"},
      {"GET_PLAYERS", None,
       "OK\r" + Me + Ann +
           "12 1 none ppUnregistered none bob\r13 4 none ppUnregistered none Carl\r"},
      {"GET_SPEAKERS", Disconnected, "ERROR -1 NOT CONNECTED"},
      {"GET_SPEAKERS", None, "OK\r11;12;"},
      // own flags
      {"SET_PLAYER_FLAGS pfAway", Disconnected, "ERROR -1 NOT CONNECTED"},
      {"SET_PLAYER_FLAGS pfAway",
       [](TFakeRemoteProgram& F) { F.Find(10)->Flags = AllPlayerFlags; },
       "OK\r",
       {"toggle output", "toggle input", Format("flags %d", Bit(pfAway) | Bit(pfRecording))}},
      {"SET_PLAYER_FLAGS pfInputMuted,pfOutputMuted pfNoWhisper pfWantVoice pfChannelCommander",
       None,
       "OK\r",
       {"toggle output", "toggle input",
        Format("flags %d", AllPlayerFlags & ~Bit(pfAway) & ~Bit(pfRecording))}},
      {"SET_PLAYER_FLAGS", None, "OK\r", {"flags 0"}},
      {"SET_WANT_VOICE_REASON x", Disconnected, "ERROR -1 NOT CONNECTED"},
      {"SET_WANT_VOICE_REASON", None, "ERROR -6 PARAMETER EXPECTED"},
      {"SET_WANT_VOICE_REASON " + std::string(300, 'r'),
       None,
       "OK\r",
       {"reason \"" + std::string(255, 'r') + "\""}},
      // grant and revoke
      {"SET_OPERATOR 11 grGrant", Disconnected, "ERROR -1 NOT CONNECTED"},
      {"SET_OPERATOR 11", None, "ERROR -6 PARAMETER EXPECTED"},
      {"SET_OPERATOR x grGrant", None, "ERROR -2 PARAM IS NOT VALID INTEGER"},
      {"SET_OPERATOR 5 grant", None, "ERROR -7 PARAM IS NOT VALID"},
      {"SET_OPERATOR 5 grGrant ", None, "ERROR -7 PARAM IS NOT VALID"},
      {"SET_OPERATOR 5 grGrant", None, "ERROR -40 PLAYER NOT FOUND"},
      {"SET_OPERATOR 12 grGrant", Own(ChanAdmin, 0), "ERROR -22 NOT IN CHANNEL"},
      {"SET_OPERATOR 12 grGrant", Own(ChanAdmin, 0, 1), "ERROR -23 CHANNEL IS NOT MODERATED"},
      {"SET_OPERATOR 11 grGrant", Own(Bit(pcpVoiced), 0), "ERROR -4 PERMISSION DENIED"},
      {"SET_OPERATOR 11 grGrant", Own(ChanAdmin, 0), "OK\r", {"operator 11 0"}},
      {"SET_OPERATOR 11 grRevoke", Own(Bit(pcpOperator), 0), "OK\r", {"operator 11 2"}},
      {"SET_VOICE 11 grGrant", Own(0, Admin), "OK\r", {"voice 11 0"}},
      {"SET_VOICE 13 grRevoke", Own(0, Admin, 4), "OK\r", {"voice 13 2"}},
      // kicks
      {"KICK_PLAYER_FROM_SERVER", Disconnected, "ERROR -6 PARAMETER EXPECTED"},
      {"KICK_PLAYER_FROM_SERVER x", Disconnected, "ERROR -2 PARAM IS NOT VALID INTEGER"},
      {"KICK_PLAYER_FROM_SERVER 11", Disconnected, "ERROR -1 NOT CONNECTED"},
      {"KICK_PLAYER_FROM_SERVER 11", Own(ChanAdmin, 0), "ERROR -4 PERMISSION DENIED"},
      {"KICK_PLAYER_FROM_SERVER 99", Own(0, Admin), "ERROR -40 PLAYER NOT FOUND"},
      {"KICK_PLAYER_FROM_SERVER 11 go away", Own(0, Admin), "OK\r", {"kick server 11 \"go away\""}},
      {"KICK_PLAYER_FROM_CHANNEL 12", Own(0, 0), "ERROR -4 PERMISSION DENIED"},
      {"KICK_PLAYER_FROM_CHANNEL 99", Own(ChanAdmin, 0), "ERROR -40 PLAYER NOT FOUND"},
      {"KICK_PLAYER_FROM_CHANNEL 12", Own(ChanAdmin, 0), "ERROR -4 PERMISSION DENIED"},
      {"KICK_PLAYER_FROM_CHANNEL 11", Own(ChanAdmin, 0), "OK\r", {"kick channel 11 \"\""}},
      {"KICK_PLAYER_FROM_CHANNEL 12 out", Own(0, Admin), "OK\r", {"kick channel 12 \"out\""}},
      // text messages
      {"SEND_TEXT_MESSAGE_TO_CHANNEL 2 hi", Disconnected, "ERROR -1 NOT CONNECTED"},
      {"SEND_TEXT_MESSAGE_TO_CHANNEL 2 hi", Own(Bit(pcpOperator), 0), "ERROR -4 PERMISSION DENIED"},
      {"SEND_TEXT_MESSAGE_TO_CHANNEL 2", Own(ChanAdmin, 0), "ERROR -6 PARAMETER EXPECTED"},
      {"SEND_TEXT_MESSAGE_TO_CHANNEL x hi", Own(ChanAdmin, 0),
       "ERROR -2 PARAM IS NOT VALID INTEGER"},
      {"SEND_TEXT_MESSAGE_TO_CHANNEL 2 ", Own(ChanAdmin, 0), "ERROR -6 PARAMETER EXPECTED"},
      {"SEND_TEXT_MESSAGE_TO_CHANNEL 2 hi all", Own(ChanAdmin, 0), "OK\r", {"text 2 \"hi all\""}},
      {"SEND_TEXT_MESSAGE hi", Disconnected, "ERROR -1 NOT CONNECTED"},
      {"SEND_TEXT_MESSAGE hi", Own(ChanAdmin, 0), "ERROR -4 PERMISSION DENIED"},
      {"SEND_TEXT_MESSAGE", Own(0, Admin), "ERROR -6 PARAMETER EXPECTED"},
      {"SEND_TEXT_MESSAGE to all", Own(0, Admin), "OK\r", {"text 4294967295 \"to all\""}},
  };
  for (const auto& C : Cases) {
    SCOPED_TRACE(C.Request);
    auto F = World();
    C.Setup(F);
    EXPECT_EQ(ExecuteRemoteCommand(&F, C.Request), C.Reply);
    EXPECT_EQ(F.Calls, C.Calls);
  }
}

TEST(RemoteControl, NoProgramYetIsNotReady) {
  SetRemoteProgram(nullptr);
  EXPECT_EQ(ExecuteRemoteCommand("GET_VERSION"), "ERROR -5 PROGRAM NOT READY");
  auto F = World();
  SetRemoteProgram(&F);
  EXPECT_EQ(ExecuteRemoteCommand("GET_VERSION"), "OK\r2.0.32.60");
  SetRemoteProgram(nullptr);
}

TEST(RemoteControl, ListRepliesStayBelowTheLimit) {
  auto F = World();
  F.PlayerList.clear();
  for (uint32_t I = 0; I < 3000; ++I)
    F.PlayerList.push_back({1000 + I, 2, 0, 0, 0, std::string(29, 'n')});
  for (const char* Request : {"GET_PLAYERS", "GET_CHANNEL_INFO_ID 2 GET_PLAYERS_TOO"}) {
    SCOPED_TRACE(Request);
    std::string Reply = ExecuteRemoteCommand(&F, Request);
    EXPECT_LT(Reply.size(), RemoteReplyLimit);
    const std::string Line = "1000 2 none ppUnregistered none " + std::string(29, 'n') + "\r";
    EXPECT_GT(Reply.size() + Line.size(), RemoteReplyLimit - 2) << "no room for another line";
    EXPECT_EQ(Reply.back(), '\r') << "whole lines only";
  }
  F.ChannelList.clear();
  for (uint32_t I = 0; I < 3000; ++I)
    F.ChannelList.push_back({I, -1, 0, 0, std::string(40, 'c')});
  std::string Reply = ExecuteRemoteCommand(&F, "GET_CHANNELS");
  EXPECT_LT(Reply.size(), RemoteReplyLimit);
  EXPECT_GT(Reply.size(), RemoteReplyLimit - 80);
}

TEST(RemoteControl, FlagWords) {
  EXPECT_EQ(ChannelPrivilegeWords(0), "none");
  EXPECT_EQ(ChannelPrivilegeWords(31),
            "pcpAdmin,pcpOperator,pcpAutoOperator,pcpVoiced,pcpAutoVoice");
  EXPECT_EQ(ServerPrivilegeWords(0), "ppUnregistered");
  EXPECT_EQ(ServerPrivilegeWords(7), "ppServerAdmin,ppCanRegister,ppRegistered");
  EXPECT_EQ(PlayerFlagWords(AllPlayerFlags),
            "pfChannelCommander,pfWantVoice,pfNoWhisper,pfAway,pfInputMuted,pfOutputMuted,"
            "pfRecording");
  EXPECT_EQ(ChannelFlagWords(31), "cfUnregistered,cfModerated,cfPassword,cfHierarchical,cfDefault");
  EXPECT_EQ(ServerTypeWords(0), "stClan,");
  EXPECT_EQ(ServerTypeWords(Bit(stPublic) | Bit(stCommercial)), "stPublic,stCommercial");
  EXPECT_EQ(RemoteErrorMessage(-8), "");
}

} // namespace
