#include <gtest/gtest.h>

#include <cstring>
#include <stdexcept>

#include "cli/CliOptions.h"
#include "cli/EventJson.h"
#include "cli/JsonLine.h"
#include "protocol/ClientEvents.h"

using namespace orlavonix;

TEST(CliOptions, ParsesSoundBufferAndLink) {
  auto O = ParseCliOptions({"--sound", "net:8780:L", "--buffer", "4096", "--debug",
                            "orlavonix://127.0.0.1:8767?nickname=bot"});
  EXPECT_EQ(O.Sound, TSoundChoice::Network);
  EXPECT_EQ(O.SoundName, "8780:L");
  EXPECT_EQ(O.BufferSize, 4096);
  EXPECT_TRUE(O.Debug);
  EXPECT_EQ(O.Link, "orlavonix://127.0.0.1:8767?nickname=bot");
  O = ParseCliOptions({"--sound", "oss:/dev/dsp", "x"});
  EXPECT_EQ(O.Sound, TSoundChoice::Oss);
  EXPECT_EQ(O.SoundName, "/dev/dsp");
}

TEST(CliOptions, RefusesBadArguments) {
  const std::vector<std::vector<std::string>> Bad = {
      {},
      {"--buffer", "3000", "x"},
      {"--sound", "alsa:hw0", "x"},
      {"--sound", "oss:", "x"},
      {"--sound"},
      {"--frobnicate", "x"},
      {"link1", "link2"},
  };
  for (const auto& Args : Bad)
    EXPECT_THROW(ParseCliOptions(Args), std::invalid_argument) << testing::PrintToString(Args);
  EXPECT_TRUE(ParseCliOptions({"--help"}).Help);
}

TEST(JsonLine, EscapesAndConvertsLatin1) {
  TJsonLine J;
  J.Add("a", "q\"b\\\n\x01").Add("n", -5).AddBool("t", true);
  EXPECT_EQ(J.Str(), R"({"a":"q\"b\\\n\u0001","n":-5,"t":true})");
  EXPECT_EQ(TJsonLine::Quote("caf\xe9"), "\"caf\xc3\xa9\"") << "Latin-1 becomes UTF-8";
  EXPECT_EQ(TJsonLine::Quote("caf\xc3\xa9"), "\"caf\xc3\xa9\"") << "UTF-8 stays";
}

TEST(EventJson, EveryFieldOfARecord) {
  TcbDeletePlayer R{};
  R.Kind = cb_DeletePlayer;
  R.PlayerId = 7;
  R.ActorId = 0xFFFFFFFF;
  R.Reason = 5;
  std::strcpy(R.ReasonText, "bye");
  std::strcpy(R.Nick, "Ann");
  std::strcpy(R.ActorNick, "Op");
  R.Registered = 1;
  EXPECT_EQ(ClientEventToJson(&R, sizeof R),
            R"({"kind":6,"name":"cb_DeletePlayer","playerId":7,"actorId":4294967295,"reason":5,)"
            R"("reasonText":"bye","nick":"Ann","actorNick":"Op","registered":1})");
}

TEST(EventJson, UnterminatedTextStaysInsideItsField) {
  TcbClose R{};
  R.Kind = cb_close;
  std::memset(R.KickerNick, 'k', sizeof R.KickerNick); // no terminator
  R.Reason = 3;
  std::string J = ClientEventToJson(&R, sizeof R);
  EXPECT_NE(J.find("\"kickerNick\":\"" + std::string(30, 'k') + "\""), std::string::npos) << J;
  EXPECT_NE(J.find("\"reason\":3"), std::string::npos) << J;
}

TEST(EventJson, ShortRecordsAreReportedNotRead) {
  TcbSpeakStartStop R{};
  R.Kind = cb_SpeakStartStop;
  EXPECT_EQ(ClientEventToJson(&R, 6),
            R"({"kind":17,"name":"cb_SpeakStartStop","error":"record too short"})");
  EXPECT_EQ(ClientEventToJson(&R, 2), R"({"kind":-1,"error":"record too short"})");
  int32_t Idle = cb_Idle;
  EXPECT_EQ(ClientEventToJson(&Idle, 4), R"({"kind":50,"name":"cb_Idle"})");
}

TEST(EventJson, BanListCarriesEntryBytes) {
  uint8_t Rec[8 + 3] = {};
  int32_t Kind = cb_BanList;
  uint32_t Count = 1;
  std::memcpy(Rec, &Kind, 4);
  std::memcpy(Rec + 4, &Count, 4);
  Rec[8] = 0xAB;
  Rec[10] = 0x01;
  EXPECT_EQ(ClientEventToJson(Rec, sizeof Rec),
            R"({"kind":23,"name":"cb_BanList","count":1,"entries":"ab0001"})");
}

TEST(EventJson, SwitchAndMoveShareTheirChannelFields) {
  TcbPlayerMovedToChannel M{};
  M.Kind = cb_PlayerMovedToChannel;
  M.PlayerId = 3;
  std::strcpy(M.Nick, "Ann");
  M.OldChannelId = 1;
  std::strcpy(M.OldChannelName, "Lobby");
  M.NewChannelId = 4;
  std::strcpy(M.NewChannelName, "Red");
  M.ChannelPrivileges = 2;
  std::strcpy(M.ActorNick, "The Server");
  EXPECT_EQ(ClientEventToJson(&M, sizeof M),
            R"({"kind":24,"name":"cb_PlayerMovedToChannel","playerId":3,"nick":"Ann",)"
            R"("oldChannelId":1,"oldChannelName":"Lobby","newChannelId":4,"newChannelName":"Red",)"
            R"("channelPrivileges":2,"actorNick":"The Server","actorId":0})");
  TcbPlayerSwitchChannel S{};
  S.Kind = cb_PlayerSwitchChannel;
  S.PlayerId = 3;
  S.NewChannelId = 4;
  S.Kicked = 1;
  std::strcpy(S.ReasonText, "out");
  EXPECT_EQ(ClientEventToJson(&S, sizeof S),
            R"({"kind":7,"name":"cb_PlayerSwitchChannel","playerId":3,"nick":"",)"
            R"("oldChannelId":0,"oldChannelName":"","newChannelId":4,"newChannelName":"",)"
            R"("channelPrivileges":0,"kicked":1,"reasonText":"out"})");
}
