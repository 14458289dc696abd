#include <gtest/gtest.h>

#include <functional>

#include "protocol/ClientProtocol.h"
#include "protocol/ClientProtocolTypes.h"
#include "support/ClientHarness.h"
#include "support/LogCapture.h"

using namespace orlavonix;
using namespace orlavonix::testing;

namespace {
constexpr uint32_t Me = TClientHarness::Me;
constexpr uint32_t Other = 9;  // registered, in Lobby
constexpr uint32_t Gamer = 10; // in Chess
constexpr uint32_t Actor = 11; // in Lobby

// A logged-in client whose handlers the test calls directly.
class Dispatch : public ::testing::Test {
protected:
  void Start(uint16_t ServerType = Bit(stClan)) {
    test::TLogCapture::Shared();
    TLoginReplySpec S;
    S.ServerType = ServerType;
    ASSERT_EQ(H->Login(S), 0);
    Cmd(6, ChannelList({ChannelWire(1, "Lobby", -1, 0, 5),
                        ChannelWire(2, "Games", -1, Bit(cfHierarchical), 6),
                        ChannelWire(3, "Chess", 2, 0, 7), ChannelWire(4, "Quiet", -1, 0, 8)}));
    Cmd(7, PlayerList({PlayerWire(Me, 1, "me"), PlayerWire(Other, 1, "other", Bit(ppRegistered)),
                       PlayerWire(Gamer, 3, "gamer"), PlayerWire(Actor, 1, "actor")}));
    Cmd(8, LoginDone());
    ASSERT_EQ(H->Client->State(), csConnected);
    H->Log.Clear();
    test::TLogCapture::Shared().Clear();
  }
  void Cmd(int16_t Type, const TBytes& Payload) {
    auto P = Command(Type, Me, TClientHarness::Conn, 0, Payload);
    H->Client->HandleCommand(*P);
  }
  std::vector<TRecord> Events() {
    std::vector<TRecord> Out;
    for (auto& R : H->Log.All())
      if (TEventLog::KindOf(R) != cb_SendPacket)
        Out.push_back(R);
    return Out;
  }
  template <typename T> T Only(int32_t Kind) {
    auto E = H->Log.OfKind(Kind);
    EXPECT_EQ(E.size(), 1u) << "kind " << Kind;
    return E.empty() ? T{} : TEventLog::As<T>(E[0]);
  }
  TPlayerRecord Player(uint32_t Id) {
    TPlayerRecord R{};
    EXPECT_TRUE(H->Client->GetPlayer(Id, R)) << Id;
    return R;
  }
  TChannelRecord Channel(uint32_t Id) {
    TChannelRecord R{};
    EXPECT_TRUE(H->Client->GetChannel(Id, R)) << Id;
    return R;
  }

  std::unique_ptr<TClientHarness> H = std::make_unique<TClientHarness>();
};

TBytes Switch(uint32_t Player, uint32_t Old, uint32_t New, uint16_t Privileges,
              const std::string& Reason = "", bool WithReason = false) {
  TByteWriter W;
  W.U32(Player).U32(Old).U32(New).U16(Privileges);
  if (WithReason)
    W.ShortString(Reason, 29);
  return W.Data();
}

TBytes Left(uint32_t Player, uint16_t Reason, uint32_t By, const std::string& Text) {
  TByteWriter W;
  W.U32(Player).U16(Reason).U32(By).ShortString(Text, 29);
  return W.Data();
}

TBytes Privilege(uint32_t Player, uint8_t GrantRevoke, uint8_t Ordinal, uint32_t By) {
  TByteWriter W;
  W.U32(Player).U8(GrantRevoke).U8(Ordinal).U32(By);
  return W.Data();
}
} // namespace

TEST_F(Dispatch, ShortPacketsAreLoggedAndChangeNothing) {
  Start();
  struct Case {
    int16_t Type;
    int32_t MinSize;
    const char* Name;
  } Cases[] = {{6, 28, "DoLoginStep4"},
               {7, 468, "DoLoginStep5"},
               {8, 280, "DoLoginStep6"},
               {100, 68, "DoNotifyPlayerEnteredScope"},
               {101, 64, "DoNotifyPlayerLeftScope"},
               {102, 68, "DoNotifyPlayerKickedFromChannel"},
               {103, 38, "DoNotifyPlayerSwitchedChannel"},
               {104, 30, "DoNotifyPlayerFlagsChanged"},
               {105, 58, "DoNotifyPlayerRequestedVoice"},
               {106, 34, "DoNotifyPlayerChannelPrivilegeChanged"},
               {107, 34, "DoNotifyPlayerPrivilegesChanged"},
               {108, 468, "DoNotifyPlayersInSwitchedChannel"},
               {109, 42, "DoNotifyPlayerMovedToChannel"},
               {110, 44, "DoNotifyChannelCreated"},
               {111, 32, "DoNotifyChannelNameChanged"},
               {112, 32, "DoNotifyChannelTopicChanged"},
               {113, 36, "DoNotifyChannelPropertiesChanged"},
               {114, 32, "DoNotifyChannelDescriptionChanged"},
               {115, 30, "DoNotifyChannelDestroyed"},
               {116, 34, "DoNotifyChannelMaxUsersChanged"},
               {117, 34, "DoNotifyChannelOrderChanged"},
               {130, 59, "DoNotifyTextMessage"},
               {140, 390, "DoNotifyServerPropertiesChanged"},
               {204, 28, "DoChannelPasswordChanged"},
               {321, 29, "DoPlayerMutePlayerReply"},
               {404, 164, "DoInfoReplyPlayerConnectionInfo"},
               {406, 100, "DoInfoReplyServerInfo"},
               {411, 28, "DoInfoReplyBanIpList"},
               {-111, 30, "DoErrorPacket"}};
  for (const Case& C : Cases) {
    // Ids that exist, so that only the size stops the handler.
    TBytes Payload(static_cast<size_t>(C.MinSize - 1 - 24), 0);
    if (Payload.size() >= 4)
      PutLE<uint32_t>(Payload.data(), C.Type == 115 ? 1 : Other);
    Cmd(C.Type, Payload);
    EXPECT_TRUE(Events().empty()) << C.Type;
    EXPECT_TRUE(test::TLogCapture::Shared().Contains(std::string("TClientEventThread.") + C.Name +
                                                     "|invalid packet size"))
        << C.Name;
  }
  EXPECT_EQ(H->Client->ListPlayers().size(), 4u);
  EXPECT_EQ(H->Client->ListChannels().size(), 4u);
  EXPECT_EQ(H->Client->State(), csConnected);
  // Types without a handler are ignored.
  Cmd(999, TBytes(600, 1));
  Cmd(0, TBytes(600, 1));
  EXPECT_TRUE(Events().empty());
}

TEST_F(Dispatch, ChannelListStopsAtABrokenRecord) {
  test::TLogCapture::Shared();
  ASSERT_EQ(H->Login(), 0);
  test::TLogCapture::Shared().Clear();
  TBytes Broken = ChannelWire(2, "Two", -1, 0, 5, "topic");
  Broken.pop_back(); // the description's terminator
  Broken.push_back('d');
  Cmd(6, Concat({U32Bytes(3), ChannelWire(1, "One"), Broken}));
  EXPECT_EQ(H->Client->ListChannels().size(), 1u);
  EXPECT_EQ(H->Log.OfKind(cb_NewChannel).size(), 1u);
  EXPECT_TRUE(test::TLogCapture::Shared().Contains(
      "TClientEventThread.DoLoginStep4|Size error in loginstep4, iteration 1"));

  // A count far beyond what the packet holds ends at the packet's end.
  Cmd(6, Concat({U32Bytes(0xFFFFFFFFu), ChannelWire(5, "Five")}));
  EXPECT_EQ(H->Client->ListChannels().size(), 2u);
}

TEST_F(Dispatch, PlayerListCountsAndUnknownChannels) {
  test::TLogCapture::Shared();
  ASSERT_EQ(H->Login(), 0);
  Cmd(6, ChannelList({ChannelWire(1, "Lobby")}));
  for (int64_t Count : {int64_t(0), int64_t(11), int64_t(0xFFFFFFFFu)})
    Cmd(7, PlayerList({PlayerWire(Other, 1, "other")}, Count));
  EXPECT_TRUE(H->Client->ListPlayers().empty());
  test::TLogCapture::Shared().Clear();
  Cmd(7, PlayerList({PlayerWire(Other, 1, "other"), PlayerWire(Gamer, 42, "lost")}));
  EXPECT_EQ(H->Client->ListPlayers().size(), 1u);
  EXPECT_TRUE(test::TLogCapture::Shared().Contains(
      "TClientEventThread.DoLoginStep5|error adding player lost(10), channel id 42 not found"));
  // Once connected, the login list is no longer taken; the family list is.
  Cmd(8, LoginDone());
  Cmd(7, PlayerList({PlayerWire(Actor, 1, "late")}));
  EXPECT_FALSE(H->Client->GetPlayerNick(Actor).size());
  H->Log.Clear();
  Cmd(108, PlayerList({PlayerWire(Actor, 1, "late"), PlayerWire(Me, 1, "me")}));
  auto New = H->Log.OfKind(cb_NewPlayer);
  ASSERT_EQ(New.size(), 2u);
  EXPECT_EQ(V(TEventLog::As<TcbNewPlayer>(New[0]).AlreadyPresent), 1);
  EXPECT_EQ(H->Client->ChannelId(), -1) << "the family list does not touch the own fields";
}

TEST_F(Dispatch, OwnPlayerLeavingTheScopeEndsTheConnection) {
  Start();
  Cmd(101, Left(Me, crKickedFromServer, Other, "bye"));
  auto K = H->Log.Kinds();
  ASSERT_EQ(K.size(), 2u);
  EXPECT_EQ(K[0], cb_close);
  EXPECT_EQ(K[1], cb_Idle);
  auto C = Only<TcbClose>(cb_close);
  EXPECT_EQ(V(C.Reason), crKickedFromServer);
  EXPECT_EQ(V(C.KickerId), Other);
  EXPECT_STREQ(C.KickerNick, "other");
  EXPECT_STREQ(C.ReasonText, "bye");
  EXPECT_EQ(H->Client->State(), csIdle);
}

TEST_F(Dispatch, OtherPlayersLeavingTheScope) {
  struct Case {
    uint32_t Player;
    uint16_t Reason;
    const char* ActorNick;
    uint8_t Registered;
  } Cases[] = {{Other, lrQuit, "", 1},
               {Gamer, lrKickedFromServer, "actor", 0},
               {Other, lrKickedFromChannel, "actor", 1},
               {Gamer, lrTimedOut, "", 0}};
  for (const Case& C : Cases) {
    H = std::make_unique<TClientHarness>();
    Start();
    Cmd(101, Left(C.Player, C.Reason, Actor, "why"));
    auto D = Only<TcbDeletePlayer>(cb_DeletePlayer);
    EXPECT_EQ(V(D.PlayerId), V(C.Player));
    EXPECT_EQ(V(D.ActorId), Actor);
    EXPECT_EQ(V(D.Reason), V(C.Reason));
    EXPECT_STREQ(D.ReasonText, "why");
    EXPECT_STREQ(D.ActorNick, C.ActorNick) << C.Reason;
    EXPECT_EQ(V(D.Registered), V(C.Registered));
    EXPECT_FALSE(H->Client->Players().Exists(C.Player));
  }
  // An unknown player changes nothing.
  H->Log.Clear();
  Cmd(101, Left(4242, 1, 0, ""));
  EXPECT_TRUE(Events().empty());
}

TEST_F(Dispatch, KickAndSwitchOnAClanServer) {
  Start();
  {
    TPlayerRecord R = Player(Other);
    SetShortString(R.VoiceRequest, 29, "let me talk");
    H->Client->Players().Update(R);
  }
  Cmd(102, Switch(Other, 1, 4, Bit(pcpVoiced), "out", true));
  auto E = Only<TcbPlayerSwitchChannel>(cb_PlayerSwitchChannel);
  EXPECT_EQ(V(E.PlayerId), Other);
  EXPECT_STREQ(E.Nick, "other");
  EXPECT_EQ(V(E.OldChannelId), 1u);
  EXPECT_STREQ(E.OldChannelName, "Lobby");
  EXPECT_EQ(V(E.NewChannelId), 4u);
  EXPECT_STREQ(E.NewChannelName, "Quiet");
  EXPECT_EQ(V(E.ChannelPrivileges), Bit(pcpVoiced));
  EXPECT_EQ(V(E.Kicked), 1);
  EXPECT_STREQ(E.ReasonText, "out");
  TPlayerRecord R = Player(Other);
  EXPECT_EQ(V(R.ChannelId), 4u);
  EXPECT_EQ(V(R.ChannelPrivileges), Bit(pcpVoiced));
  EXPECT_EQ(PlayerVoiceRequest(R), "");

  H->Log.Clear();
  Cmd(103, Switch(Me, 1, 3, Bit(pcpOperator)));
  E = Only<TcbPlayerSwitchChannel>(cb_PlayerSwitchChannel);
  EXPECT_EQ(V(E.Kicked), 0);
  EXPECT_STREQ(E.ReasonText, "");
  EXPECT_EQ(H->Client->ChannelId(), 3);
  EXPECT_EQ(H->Client->ChannelParentId(), 2);
  EXPECT_EQ(H->Client->ChannelPrivileges(), Bit(pcpOperator));
  EXPECT_EQ(H->Client->TransmitCodec(), 7);
  EXPECT_EQ(H->Client->ListPlayers().size(), 4u) << "no scope on a clan server";

  // A channel the client does not know: no parent.
  Cmd(103, Switch(Me, 3, 77, 0));
  EXPECT_EQ(H->Client->ChannelId(), 77);
  EXPECT_EQ(H->Client->ChannelParentId(), -1);
}

TEST_F(Dispatch, ScopeRulesOnAPublicServer) {
  Start(Bit(stPublic));
  // Another player kicked out of the own family leaves the scope.
  Cmd(102, Switch(Other, 1, 4, 0, "go", true));
  auto D = Only<TcbDeletePlayer>(cb_DeletePlayer);
  EXPECT_EQ(V(D.Reason), lrKickedFromChannel);
  EXPECT_EQ(V(D.ActorId), 0xFFFFFFFFu);
  EXPECT_STREQ(D.ReasonText, "go");
  EXPECT_FALSE(H->Client->Players().Exists(Other));
  EXPECT_TRUE(H->Log.OfKind(cb_PlayerSwitchChannel).empty());

  // Inside one family (Chess is under Games) a kick is an ordinary move.
  H->Log.Clear();
  Cmd(102, Switch(Gamer, 3, 2, 0, "", true));
  EXPECT_EQ(H->Log.OfKind(cb_PlayerSwitchChannel).size(), 1u);

  // The own player switching to another family clears the scope.
  H->Log.Clear();
  Cmd(103, Switch(Me, 1, 3, 0));
  auto Removed = H->Log.OfKind(cb_DeletePlayer);
  ASSERT_EQ(Removed.size(), 2u);
  for (auto& R : Removed) {
    auto Del = TEventLog::As<TcbDeletePlayer>(R);
    EXPECT_EQ(V(Del.Reason), lrScopeCleared);
    EXPECT_EQ(V(Del.ActorId), 0u);
    EXPECT_NE(V(Del.PlayerId), Me);
  }
  EXPECT_EQ(H->Log.Kinds().front(), cb_PlayerSwitchChannel);
  ASSERT_EQ(H->Client->ListPlayers().size(), 1u);
  EXPECT_EQ(V(H->Client->ListPlayers()[0].Id), Me);
}

TEST_F(Dispatch, FlagsAndVoiceRequests) {
  Start();
  struct Case {
    uint16_t Old, New;
    uint8_t RequestsVoice;
    bool KeepsText;
  } Cases[] = {{0, Bit(pfWantVoice), 1, true},
               {Bit(pfWantVoice), Bit(pfWantVoice) | Bit(pfAway), 0, true},
               {Bit(pfWantVoice), Bit(pfAway), 0, false},
               {0, 0, 0, false}};
  for (const Case& C : Cases) {
    TPlayerRecord R = Player(Other);
    R.Flags = C.Old;
    SetShortString(R.VoiceRequest, 29, "please");
    H->Client->Players().Update(R);
    H->Log.Clear();
    TByteWriter W;
    W.U32(Other).U16(C.New);
    Cmd(104, W.Data());
    auto E = Only<TcbPlayerFlagsChanged>(cb_PlayerFlagsChanged);
    EXPECT_EQ(V(E.OldFlags), V(C.Old));
    EXPECT_EQ(V(E.NewFlags), V(C.New));
    EXPECT_EQ(V(E.RequestsVoice), V(C.RequestsVoice));
    EXPECT_STREQ(E.VoiceRequest, "");
    EXPECT_EQ(V(Player(Other).Flags), V(C.New));
    EXPECT_EQ(PlayerVoiceRequest(Player(Other)), C.KeepsText ? "please" : "");
  }
  TByteWriter W;
  W.U32(Me).U16(Bit(pfAway));
  Cmd(104, W.Data());
  EXPECT_EQ(H->Client->PlayerFlags(), Bit(pfAway));

  H->Log.Clear();
  TByteWriter Ask;
  Ask.U32(Gamer).ShortString("may I speak", 29);
  Cmd(105, Ask.Data());
  auto E = Only<TcbPlayerFlagsChanged>(cb_PlayerFlagsChanged);
  EXPECT_EQ(V(E.RequestsVoice), 1);
  EXPECT_EQ(V(E.OldFlags), V(E.NewFlags));
  EXPECT_STREQ(E.VoiceRequest, "may I speak");
  EXPECT_EQ(PlayerVoiceRequest(Player(Gamer)), "may I speak");
}

TEST_F(Dispatch, PrivilegesGrantedAndRevoked) {
  Start();
  struct Case {
    int16_t Type;
    uint32_t Player;
    uint16_t Before;
    uint8_t GrantRevoke, Ordinal;
    uint32_t By;
    uint16_t After;
    const char* ByNick;
  } Cases[] = {
      {107, Gamer, Bit(ppCanRegister), grGrant, ppRegistered, Actor, Bit(ppRegistered), "actor"},
      {107, Gamer, Bit(ppCanRegister), grGrant, ppServerAdmin, 0,
       Bit(ppCanRegister) | Bit(ppServerAdmin), "The Server"},
      {107, Gamer, Bit(ppServerAdmin), grRevoke, ppServerAdmin, 0, 0, "The Server"},
      {107, Gamer, 0, grGrant, 16, 0, 0, "The Server"},
      {106, Gamer, 0, grGrant, pcpAutoVoice, Actor, Bit(pcpAutoVoice), "actor"},
      {106, Gamer, 0x1F, grRevoke, pcpAdmin, Actor, 0x1E, "actor"},
      {106, Gamer, 0x1F, 1, pcpAdmin, Actor, 0x1F, "actor"},
  };
  for (const Case& C : Cases) {
    TPlayerRecord R = Player(C.Player);
    (C.Type == 107 ? R.PlayerPrivileges : R.ChannelPrivileges) = C.Before;
    H->Client->Players().Update(R);
    H->Log.Clear();
    Cmd(C.Type, Privilege(C.Player, C.GrantRevoke, C.Ordinal, C.By));
    R = Player(C.Player);
    EXPECT_EQ(C.Type == 107 ? R.PlayerPrivileges : R.ChannelPrivileges, V(C.After))
        << C.Type << " " << int(C.Ordinal);
    auto E = Only<TcbPrivilegeChanged>(C.Type == 107 ? cb_PlayerPrivilegeChanged
                                                     : cb_ChannelPrivilegeChanged);
    EXPECT_EQ(V(E.PlayerId), V(C.Player));
    EXPECT_STREQ(E.Nick, "gamer");
    EXPECT_EQ(V(E.ActorId), V(C.By));
    EXPECT_STREQ(E.ActorNick, C.ByNick);
    EXPECT_EQ(V(E.GrantRevoke), V(C.GrantRevoke));
    EXPECT_EQ(V(E.Privilege), V(C.Ordinal));
  }
  Cmd(107, Privilege(Me, grGrant, ppServerAdmin, 0));
  Cmd(106, Privilege(Me, grGrant, pcpOperator, 0));
  EXPECT_EQ(H->Client->PlayerPrivileges(), Bit(ppServerAdmin));
  EXPECT_EQ(H->Client->ChannelPrivileges(), Bit(pcpOperator));
}

TEST_F(Dispatch, PlayerMovedBySomeone) {
  Start();
  TPlayerRecord R = Player(Gamer);
  R.Flags = Bit(pfWantVoice) | Bit(pfAway);
  SetShortString(R.VoiceRequest, 29, "x");
  H->Client->Players().Update(R);
  TByteWriter W;
  W.U32(Gamer).U32(3).U32(1).U32(Actor).U16(Bit(pcpVoiced));
  Cmd(109, W.Data());
  auto E = Only<TcbPlayerMovedToChannel>(cb_PlayerMovedToChannel);
  EXPECT_STREQ(E.Nick, "gamer");
  EXPECT_STREQ(E.OldChannelName, "Chess");
  EXPECT_STREQ(E.NewChannelName, "Lobby");
  EXPECT_STREQ(E.ActorNick, "actor");
  EXPECT_EQ(V(E.ActorId), Actor);
  R = Player(Gamer);
  EXPECT_EQ(V(R.ChannelId), 1u);
  EXPECT_EQ(V(R.Flags), Bit(pfAway));
  EXPECT_EQ(PlayerVoiceRequest(R), "");

  H->Log.Clear();
  TByteWriter M;
  M.U32(Me).U32(1).U32(4).U32(0).U16(0);
  Cmd(109, M.Data());
  EXPECT_STREQ(Only<TcbPlayerMovedToChannel>(cb_PlayerMovedToChannel).ActorNick, "The Server");
  EXPECT_EQ(H->Client->ChannelId(), 4);
  EXPECT_EQ(H->Client->TransmitCodec(), 8);
}

TEST_F(Dispatch, ChannelChanges) {
  Start();
  auto Text = [](uint32_t Id, const TBytes& Tail) {
    return Concat({U32Bytes(Id), U32Bytes(0), Tail});
  };
  auto Str = [](const std::string& S, bool Terminated = true) {
    TBytes B(S.begin(), S.end());
    if (Terminated)
      B.push_back(0);
    return B;
  };
  struct Case {
    int16_t Type;
    TBytes Payload;
    std::function<void(const TChannelInfo&)> Check;
  };
  std::vector<Case> Cases;
  Cases.push_back({111, Text(1, Str("Hall")), [](auto& C) { EXPECT_STREQ(C.Name, "Hall"); }});
  Cases.push_back({111, Text(1, Str(std::string(40, 'n'))),
                   [](auto& C) { EXPECT_EQ(ChannelName(C), std::string(30, 'n')); }});
  Cases.push_back({111, Text(1, Str("abc", false)),
                   [](auto& C) { EXPECT_STREQ(C.Name, "abc") << "bounded by the packet"; }});
  Cases.push_back({112, Text(1, Str("Topic")), [](auto& C) { EXPECT_STREQ(C.Topic, "Topic"); }});
  Cases.push_back({114, Text(1, Str(std::string(5000, 'd'))),
                   [](auto& C) { EXPECT_EQ(ChannelDescription(C), std::string(4096, 'd')); }});
  {
    TByteWriter W;
    W.U32(1).U16(Bit(cfModerated)).U16(9).U32(0);
    Cases.push_back({113, W.Data(), [](auto& C) {
                       EXPECT_EQ(V(C.Flags), Bit(cfModerated));
                       EXPECT_EQ(V(C.Codec), 9);
                     }});
  }
  Cases.push_back({116, Concat({U32Bytes(1), TBytes{40, 0}, TBytes(4, 0)}),
                   [](auto& C) { EXPECT_EQ(V(C.MaxUsers), 40); }});
  Cases.push_back({117, Concat({U32Bytes(1), TBytes{7, 1}, TBytes(4, 0)}),
                   [](auto& C) { EXPECT_EQ(V(C.Order), 0x107); }});
  for (auto& C : Cases) {
    TChannelRecord Before = Channel(1);
    H->Log.Clear();
    Cmd(C.Type, C.Payload);
    auto E = Only<TcbChannelChanged>(cb_ChannelChanged);
    EXPECT_EQ(std::memcmp(&E.Before, &Before.Info, sizeof E.Before), 0) << C.Type;
    C.Check(E.After);
    TChannelRecord After = Channel(1);
    EXPECT_EQ(std::memcmp(&E.After, &After.Info, sizeof E.After), 0) << C.Type;
  }
  EXPECT_EQ(H->Client->TransmitCodec(), 9) << "the own channel's codec changed";

  // Created, then destroyed; an unknown id is still reported.
  H->Log.Clear();
  Cmd(110, Concat({U32Bytes(0), ChannelWire(300, "New", 2, 0, 5, "t", "d")}));
  EXPECT_STREQ(Only<TcbNewChannel>(cb_NewChannel).Channel.Name, "New");
  struct Gone {
    uint16_t Id;
    const char* Name;
  } Destroyed[] = {{300, "New"}, {301, ""}};
  for (auto& G : Destroyed) {
    H->Log.Clear();
    TByteWriter W;
    W.U16(G.Id).U32(Actor);
    Cmd(115, W.Data());
    auto D = Only<TcbDeleteChannel>(cb_DeleteChannel);
    EXPECT_EQ(V(D.ChannelId), V(G.Id));
    EXPECT_STREQ(D.ChannelName, G.Name);
    EXPECT_STREQ(D.ActorNick, "actor");
    EXPECT_FALSE(H->Client->Channels().Exists(G.Id));
  }
  // A record without its terminators is not added.
  H->Log.Clear();
  Cmd(110, Concat({U32Bytes(0), TBytes(16, 1), TBytes(40, 'x')}));
  EXPECT_TRUE(Events().empty());
}

TEST_F(Dispatch, TextMessages) {
  Start();
  struct Case {
    TBytes Tail;
    std::string Text;
  } Cases[] = {{{}, ""},
               {{'h', 'i', 0, 'x'}, "hi"},
               {{'n', 'o', 'z'}, "noz"},
               {TBytes(5000, 'a'), std::string(4096, 'a')}};
  for (auto& C : Cases) {
    H->Log.Clear();
    TByteWriter W;
    W.U32(0x0000FF).U8(1).ShortString(std::string(29, 's'), 29);
    W.Bytes(C.Tail.data(), C.Tail.size());
    Cmd(130, W.Data());
    auto E = Only<TcbTextMessage>(cb_TextMessage);
    EXPECT_EQ(V(E.Colour), 0xFFu);
    EXPECT_EQ(V(E.MessageKind), 1);
    EXPECT_EQ(std::string(E.Sender), std::string(29, 's'));
    EXPECT_EQ(V(E.Sender[29]), 0) << "29 characters fill the field with its terminator";
    EXPECT_EQ(std::string(E.Text), V(C.Text));
  }
}

TEST_F(Dispatch, ServerPropertiesFromClanToPublic) {
  Start(Bit(stClan));
  TByteWriter W;
  W.U32(0x1FFF).U32(0).U16(Bit(stPublic));
  TBytes Perm(66, 0xFF);
  W.Bytes(Perm.data(), Perm.size());
  W.U32(99).ShortString("Welcome back", 255).ShortString("Renamed", 29);
  Cmd(140, W.Data());
  EXPECT_EQ(H->Log.Kinds().front(), cb_ServerPropertiesChanged);
  EXPECT_EQ(H->Client->ServerName(), "Renamed");
  EXPECT_EQ(H->Client->WelcomeMessage(), "Welcome back");
  EXPECT_EQ(H->Client->ServerMaxUsers(), 99u);
  EXPECT_EQ(H->Client->ServerType(), Bit(stPublic));
  EXPECT_EQ(H->Client->Permissions()[5][0], 0xF8);
  // Own channel Lobby is top-level without sub-channels: nobody else is of
  // its family, so everyone else goes.
  auto Removed = H->Log.OfKind(cb_DeletePlayer);
  EXPECT_EQ(Removed.size(), 3u);
  for (auto& R : Removed)
    EXPECT_EQ(V(TEventLog::As<TcbDeletePlayer>(R).Reason), lrScopeCleared);
  EXPECT_EQ(H->Client->ListPlayers().size(), 1u);
}

TEST_F(Dispatch, RepliesAndErrors) {
  Start();
  struct Case {
    size_t Size;
    uint32_t Second;
  } Errors[] = {{30, 0x7FFFFFFFu}, {33, 0x7FFFFFFFu}, {34, 12}};
  for (auto& C : Errors) {
    H->Log.Clear();
    TByteWriter W;
    W.I16(303).U32(0xAABBCCDD).U32(12);
    TBytes B = W.Data();
    B.resize(C.Size - 24);
    Cmd(-111, B);
    auto E = Only<TcbError>(cb_Error);
    EXPECT_EQ(V(E.ErrorCode), -111);
    EXPECT_EQ(V(E.RequestType), 303);
    EXPECT_EQ(V(E.Value1), 0xAABBCCDDu);
    EXPECT_EQ(V(E.Value2), V(C.Second)) << C.Size;
  }

  H->Log.Clear();
  Cmd(411, U32Bytes(3));
  auto Bans = H->Log.OfKind(cb_BanList);
  ASSERT_EQ(Bans.size(), 1u);
  EXPECT_EQ(Bans[0].size(), 8u);
  EXPECT_EQ(GetLE<uint32_t>(Bans[0].data() + 4), 3u);
  H->Log.Clear();
  TBytes Entry = {'1', '.', '2', 0, 5, 0, 'r', 0};
  Cmd(411, Concat({U32Bytes(1), Entry}));
  Bans = H->Log.OfKind(cb_BanList);
  ASSERT_EQ(Bans.size(), 1u);
  EXPECT_EQ(TBytes(Bans[0].begin() + 8, Bans[0].end()), Entry);

  H->Log.Clear();
  Cmd(321, Concat({U32Bytes(Other), TBytes{1}}));
  EXPECT_EQ(V(Only<TcbMuteReply>(cb_MuteReply).Muted), 1);
  EXPECT_EQ(V(Player(Other).Muted), 1);

  H->Log.Clear();
  TBytes Info(76);
  for (size_t I = 0; I < Info.size(); ++I)
    Info[I] = static_cast<uint8_t>(I);
  Cmd(406, Info);
  auto S = Only<TcbServerInfo>(cb_ServerInfo);
  EXPECT_EQ(TBytes(S.Info, S.Info + 76), Info);

  H->Log.Clear();
  TByteWriter C;
  C.U32(Other).U32(100).U16(250).U16(40).U32(7).U16(2).U16(0).U16(32).U16(60);
  C.U32(1).U32(2).U32(3).U32(4).ShortString("10.0.0.1", 29).U16(5000);
  C.ShortString("login", 29).U32(1).U16(3).U16(4).ShortString("Linux", 29);
  Cmd(404, C.Data());
  auto I = Only<TcbConnectionInfo>(cb_ConnectionInfo);
  EXPECT_EQ(V(I.ConnectedSeconds), 100u);
  EXPECT_EQ(V(I.PacketLoss), 250);
  EXPECT_EQ(V(I.Ping), 40);
  EXPECT_EQ(V(I.ClientVersion[3]), 60);
  EXPECT_EQ(V(I.BytesReceived), 4u);
  EXPECT_STREQ(I.ClientAddress, "10.0.0.1");
  EXPECT_EQ(V(I.ClientPort), 5000);
  EXPECT_STREQ(I.LoginName, "login");
  EXPECT_STREQ(I.Nick, "other");
  EXPECT_STREQ(I.ChannelName, "Lobby");
  EXPECT_STREQ(I.ClientPlatform, "Linux");

  H->Log.Clear();
  Cmd(204, U32Bytes(2));
  EXPECT_STREQ(Only<TcbChannelPasswordChanged>(cb_ChannelPasswordChanged).ChannelName, "Games");
  H->Log.Clear();
  Cmd(311, {});
  EXPECT_EQ(H->Log.Kinds(), std::vector<int32_t>{cb_RegisterOk});
}

namespace {
// Records what the voice hook is given.
class TRecordingClient : public TClient {
public:
  using TClient::TClient;
  ~TRecordingClient() override { Shutdown(); }
  struct TCall {
    uint32_t Player;
    TBytes Payload;
    uint8_t Codec;
    uint16_t PacketNr, SpeakNr;
  };
  std::vector<TCall> Calls;
  bool Accept = true;

protected:
  bool StoreVoice(TPlayerItem& P, std::span<const uint8_t> Payload, uint8_t Codec,
                  uint16_t PacketNr, uint16_t SpeakNr) override {
    Calls.push_back(
        {P.Record.Id, TBytes(Payload.begin(), Payload.end()), Codec, PacketNr, SpeakNr});
    return Accept;
  }
};
} // namespace

TEST(ClientVoice, VoiceReachesTheSpeakersHookAndMarksWhisperers) {
  TEventLog Log;
  TManualClock Clock;
  TRecordingClient C(Log.Callback(), coCallbackTransport, &Clock);
  TLoginReplySpec S;
  S.PlayerId = 5;
  S.ConnectionId = 77;
  TBytes Reply = LoginReplyBytes(S);
  std::string Err;
  ASSERT_EQ(C.LoginWithReply(Reply.data(), Reply.size(), {}, Err), 0);
  C.HandleCommand(*Command(6, 5, 77, 0, ChannelList({ChannelWire(1, "Lobby")})));
  C.HandleCommand(*Command(7, 5, 77, 0, PlayerList({PlayerWire(9, 1, "talker")})));
  struct Case {
    uint32_t Sender;
    uint8_t Flags;
    bool Accept;
    int32_t Whisperer;
    size_t Calls;
  } Cases[] = {{9, 0, true, -1, 1}, {9, 1, false, -1, 2}, {9, 1, true, 9, 3}, {44, 1, true, 9, 3}};
  for (auto& K : Cases) {
    C.Accept = K.Accept;
    C.HandleVoicePacket(ServerVoice(5, 77, 1, K.Sender, 6, K.Flags, 3, 12, TBytes{1, 2, 3}));
    EXPECT_EQ(C.LastWhisperer(), V(K.Whisperer));
    ASSERT_EQ(C.Calls.size(), V(K.Calls));
  }
  EXPECT_EQ(V(C.Calls[0].Player), 9u);
  EXPECT_EQ(V(C.Calls[0].Payload), (TBytes{1, 2, 3}));
  EXPECT_EQ(V(C.Calls[0].Codec), 6);
  EXPECT_EQ(V(C.Calls[0].PacketNr), 12);
  EXPECT_EQ(V(C.Calls[0].SpeakNr), 3);
}
